// Firmware input the updater cannot use, at its extremes (empty, huge, binary, lines of 32768
// characters and more): a clear message, and nothing reaches the probe.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fake_host.h"
#include "mkinline.h"
#include "test_firmware.h"

namespace apptest {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Repeated(const std::string& line, std::size_t count) {
    return EncodedLines(std::vector<std::string>(count, line));
}

class BadInputTest : public AppTest {};

TEST_F(BadInputTest, UnusableModulesEndTheUpdateBeforeTheProbe) {
    const std::string noSignature = "Could not find a valid signature";
    const std::string length = "Invalid record length in firmware file at line ";
    std::string binary;
    for (int c = 0; c < 256; ++c) {
        binary.push_back(static_cast<char>(c));
    }
    struct Case {
        const char* name;
        std::vector<std::string> module;
        std::string message;  // the start of the one message expected
    };
    const Case cases[] = {
        {"no lines at all", {}, noSignature},
        {"only end-of-file records, 40000 of them", Repeated(":00000001FF", 40000), noSignature},
        {"binary elements", {binary, std::string(3, '\0')}, length + "0"},
        {"a line of 32768 characters", {std::string(32768, 'q')}, length + "0"},
        {"a line of 100000 characters after a good one",
         {EncodedLines({":00000001FF"})[0], std::string(100000, 'T')},
         length + "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        klovsim::Probe probe = AddProbe();
        top().cmdConnect_Click();
        ASSERT_NE(top().DeviceHandle, 0U);
        const auto flash = probe.flash();
        host().api.calls.clear();
        top().FirmwareInit = [m = c.module] { FWFile = m; };

        top().cmdUpload_Click();

        ASSERT_EQ(host().boxes.size(), 1U);
        EXPECT_EQ(host().boxes[0].message.rfind(c.message, 0), 0U) << host().boxes[0].message;
        EXPECT_EQ(host().api.Count("SetBootloaderFlag") + host().api.Count("EraseFlashBlock"), 0);
        EXPECT_EQ(probe.flash(), flash);
        EXPECT_EQ(probe.bootFlag(), klovsim::kBootFlagApplication);
        EXPECT_TRUE(top().cmdUpload.Enabled);
        EXPECT_FALSE(top().ProgressBar.Visible);
    }
}

// The generator carries a line of any length into the module unchanged, and the reader then
// names it; binary input is refused at its first line. Nothing of a refused file is kept.
TEST(BadInputFiles, GeneratorAndReaderOnExtremeFiles) {
    const fs::path dir = fs::temp_directory_path() / ("bad_input_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path hex = dir / "fw.hex";
    struct RecordingBoxes : MessageBoxes {
        std::vector<std::string> messages;
        void ErrorBox(const std::string& m) override { messages.push_back(m); }
    };
    struct Case {
        const char* name;
        std::string file;
        bool generated;
        std::string message;  // the generator's, or the reader's on the generated module
    };
    const Case cases[] = {
        {"binary",
         std::string("\x7F"
                     "ELF\0\0\x01\xFF\n:00000001FF\n",
                     18),
         false, "Invalid record in file at line 1"},
        {"a record line of 40000 digits", ":00000001FF\r\n:" + std::string(40000, '0') + "\r\n",
         true, "Invalid record length in firmware file at line 1"},
        {"a line of 32768 digits and no end", ":" + std::string(32768, 'A'), true,
         "Invalid record length in firmware file at line 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::ofstream out(hex, std::ios::binary | std::ios::trunc);
            out << c.file;
        }
        RecordingBoxes boxes;
        EXPECT_EQ(MkInline(hex.string(), boxes), c.generated);
        if (!c.generated) {
            EXPECT_EQ(boxes.messages, std::vector<std::string>{c.message});
            continue;
        }
        ASSERT_TRUE(boxes.messages.empty());
        // The module's elements, in order, as the build would compile them in.
        std::ifstream in(hex.string() + ".bas", std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
        std::vector<std::string> module;
        const std::string head = ") = \"";
        for (std::size_t at = text.find(head); at != std::string::npos;
             at = text.find(head, at + 1)) {
            const std::size_t from = at + head.size();
            module.push_back(text.substr(from, text.find('"', from) - from));
        }
        std::size_t lines = 0;
        for (std::size_t at = c.file.find(':'); at != std::string::npos;
             at = c.file.find(':', at + 1)) {
            ++lines;
        }
        ASSERT_EQ(module.size(), lines);
        FirmwareImage image;
        EXPECT_FALSE(ReadFWFile(image, module, boxes));
        EXPECT_EQ(boxes.messages, std::vector<std::string>{c.message});
        EXPECT_EQ(image.FWHighAddr, 2048);
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace apptest
