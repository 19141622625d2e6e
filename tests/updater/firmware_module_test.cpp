// The compiled-in firmware module against the shipped HEX file it was generated from.
#include "firmware_module.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <sstream>
#include <string>

#include "firmware_image.h"
#include "hex_reader.h"
#include "identity_patch.h"
#include "test_support.h"

namespace {

using pipeline_test::ReadFile;
using pipeline_test::RecordingBoxes;

// The shipped file parsed on its own terms, without the reader: what the image must hold.
struct ExpectedImage {
    std::array<std::uint8_t, 32768> program;
    std::array<std::uint8_t, 64> config;
    std::int32_t highest = -1;
    std::size_t lines = 0;
};

ExpectedImage ParseShippedHex() {
    ExpectedImage e;
    e.program.fill(0xFF);
    e.config.fill(0xFF);
    std::istringstream in(ReadFile(KLOV_SHIPPED_HEX));
    std::uint32_t upper = 0;
    for (std::string line; std::getline(in, line);) {
        ++e.lines;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        auto byte = [&](std::size_t k) {
            return static_cast<std::uint32_t>(std::stoul(line.substr(1 + 2 * k, 2), nullptr, 16));
        };
        const std::uint32_t count = byte(0);
        const std::uint32_t offset = byte(1) << 8 | byte(2);
        const std::uint32_t type = byte(3);
        if (type == 4) {
            upper = byte(4) << 8 | byte(5);
        } else if (type == 0) {
            for (std::uint32_t k = 0; k < count; ++k) {
                const std::uint32_t linear = (upper << 16) + offset + k;
                if (linear >= 0x300000) {
                    e.config.at(linear - 0x300000) = static_cast<std::uint8_t>(byte(4 + k));
                } else {
                    e.program.at(linear) = static_cast<std::uint8_t>(byte(4 + k));
                    e.highest =
                        std::max<std::int32_t>(e.highest, static_cast<std::int32_t>(linear));
                }
            }
        }
    }
    return e;
}

// The module as the program found it, taken before the first test runs (any test may run
// FWFileInit, and tests run in any order).
class ModuleAtStart : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!taken) {
            taken = true;
            lines = mirovane::FWFile.size();
            assigned = static_cast<std::size_t>(
                std::count_if(mirovane::FWFile.begin(), mirovane::FWFile.end(),
                              [](const std::string& element) { return !element.empty(); }));
        }
    }
    bool taken = false;
    std::size_t lines = 0;
    std::size_t assigned = 0;
};

ModuleAtStart* const atStart = static_cast<ModuleAtStart*>(
    ::testing::AddGlobalTestEnvironment(new ModuleAtStart));  // owned by GoogleTest

TEST(FirmwareModule, ReadsBackAsTheShippedHexFile) {
    const ExpectedImage expected = ParseShippedHex();
    ASSERT_EQ(expected.lines, 779u);
    ASSERT_TRUE(atStart->taken);
    EXPECT_EQ(atStart->lines, expected.lines);
    EXPECT_EQ(atStart->assigned, 0u);  // nothing assigned before FWFileInit
    ASSERT_EQ(mirovane::FWFile.size(), expected.lines);

    mirovane::FWFileInit();
    const auto first = mirovane::FWFile;
    mirovane::FWFileInit();
    EXPECT_EQ(mirovane::FWFile, first);

    mirovane::FirmwareImage image;
    RecordingBoxes boxes;
    ASSERT_TRUE(mirovane::ReadFWFile(image, mirovane::FWFile, boxes));
    EXPECT_TRUE(boxes.messages.empty());
    EXPECT_EQ(image.FWImage, expected.program);
    EXPECT_EQ(image.FWConfig, expected.config);
    EXPECT_EQ(image.FWHighAddr, expected.highest);
    EXPECT_EQ(mirovane::ImageText(image, mirovane::kFirmwareVersionAddr), "2.1.0");
}

TEST(FirmwareModule, ShippedImageTakesAnIdentity) {
    mirovane::FWFileInit();
    mirovane::FirmwareImage image;
    RecordingBoxes boxes;
    ASSERT_TRUE(mirovane::ReadFWFile(image, mirovane::FWFile, boxes));
    ASSERT_TRUE(mirovane::PatchInfo(image, 4124008, "20121228", boxes));
    EXPECT_TRUE(boxes.messages.empty());
    EXPECT_EQ(mirovane::ImageText(image, 0x1020), "SERIAL");
    EXPECT_EQ(mirovane::ImageText(image, mirovane::kSerialValueAddr), "04124008");
    EXPECT_EQ(mirovane::ImageText(image, mirovane::kProdDateValueAddr), "20121228");
    EXPECT_EQ(mirovane::ImageText(image, mirovane::kProductNameAddr), "kLOV-VR");
}

}  // namespace
