#include "identity_patch.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "firmware_image.h"
#include "test_support.h"

namespace {

using mirovane::FirmwareImage;
using pipeline_test::RecordingBoxes;

void Put(FirmwareImage& image, std::int32_t addr, const std::string& bytes) {
    std::memcpy(&image.FWImage[addr], bytes.data(), bytes.size());
}

// A reset image with a well-formed identity block whose slots hold placeholders.
FirmwareImage IdentityImage() {
    FirmwareImage image;
    Put(image, 0x1000, std::string("KORVALIMEX\0\0\0\0\0\0", 16));
    Put(image, 0x1010, std::string("kLOV-VR\0", 8));
    Put(image, 0x1020, std::string("SERIAL\0--------\0", 16));
    Put(image, 0x1030, std::string("2.1.0\0", 6));
    Put(image, 0x1040, std::string("PRDATE\0++++++++\0", 16));
    return image;
}

const char* const kSignature = "Could not find a valid signature in the firmware image file";
const char* const kProduct = "Could not find a valid product name in the firmware image file";
const char* const kSerialName =
    "Could not find the serial number location name in the firmware image file";
const char* const kDateName =
    "Could not find the production date location name in the firmware image file";

TEST(PatchInfo, ChecksTheBlockAndWritesOnlyTheSlots) {
    const std::function<void(FirmwareImage&)> none = [](FirmwareImage&) {};
    const struct {
        const char* name;
        std::function<void(FirmwareImage&)> setup;
        std::int32_t sn;
        std::string pd;
        std::string message;  // empty: success expected
        std::string serial;   // the nine slot bytes expected afterwards, empty: untouched
        std::string date;
    } cases[] = {
        {"serial and date", none, 1234, "20121228", "", std::string("00001234\0", 9),
         std::string("20121228\0", 9)},
        {"nine digits keep the first eight", none, 123456789, "", "", std::string("12345678\0", 9),
         ""},
        {"negative keeps sign and seven digits", none, -5, "", "", std::string("-0000000\0", 9),
         ""},
        {"most negative", none, INT32_MIN, "", "", std::string("-2147483\0", 9), ""},
        {"zero", none, 0, "", "", std::string("00000000\0", 9), ""},
        {"empty date, date slot name not looked at",
         [](FirmwareImage& i) { Put(i, 0x1040, "XXXXXX"); }, 7, "", "",
         std::string("00000007\0", 9), ""},
        {"seven-character date", [](FirmwareImage& i) { Put(i, 0x1040, "XXXXXX"); }, 7, "2012122",
         "", std::string("00000007\0", 9), ""},
        {"nine-character date", none, 7, "201212281", "", std::string("00000007\0", 9), ""},
        {"longer product name", [](FirmwareImage& i) { Put(i, 0x1010, "kLOVX"); }, 1, "", "",
         std::string("00000001\0", 9), ""},
        {"reset image has no signature", [](FirmwareImage& i) { i.ResetImage(); }, 1, "20121228",
         kSignature, "", ""},
        {"signature without its 0 byte",
         [](FirmwareImage& i) { Put(i, 0x1000, "KORVALIMEX      "); }, 1, "", kSignature, "", ""},
        {"signature too long", [](FirmwareImage& i) { Put(i, 0x1000, "KORVALIMEXX"); }, 1, "",
         kSignature, "", ""},
        {"product name in other case",
         [](FirmwareImage& i) { Put(i, 0x1010, std::string("KLOV-VR\0", 8)); }, 1, "", kProduct, "",
         ""},
        {"product name of three letters",
         [](FirmwareImage& i) { Put(i, 0x1010, std::string("kLO\0", 4)); }, 1, "", kProduct, "",
         ""},
        {"serial name without its 0 byte", [](FirmwareImage& i) { Put(i, 0x1020, "SERIALX"); }, 1,
         "20121228", kSerialName, "", ""},
        {"serial name misspelt", [](FirmwareImage& i) { Put(i, 0x1020, "SERIAl"); }, 1, "",
         kSerialName, "", ""},
        {"date name missing after the serial was written",
         [](FirmwareImage& i) { Put(i, 0x1040, std::string("PRDATX\0", 7)); }, 42, "20121228",
         kDateName, std::string("00000042\0", 9), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FirmwareImage image = IdentityImage();
        c.setup(image);
        FirmwareImage expected = image;
        if (!c.serial.empty()) {
            Put(expected, 0x1027, c.serial);
        }
        if (!c.date.empty()) {
            Put(expected, 0x1047, c.date);
        }
        RecordingBoxes boxes;
        EXPECT_EQ(mirovane::PatchInfo(image, c.sn, c.pd, boxes), c.message.empty());
        EXPECT_EQ(boxes.messages,
                  c.message.empty() ? std::vector<std::string>{} : std::vector{c.message});
        EXPECT_EQ(image.FWImage, expected.FWImage);
        EXPECT_EQ(image.FWConfig, expected.FWConfig);
        EXPECT_EQ(image.FWHighAddr, expected.FWHighAddr);
    }
}

TEST(PatchInfo, ImageTextStopsAtZeroOrSixteenBytes) {
    FirmwareImage image = IdentityImage();
    EXPECT_EQ(mirovane::ImageText(image, 0x1000), "KORVALIMEX");
    EXPECT_EQ(mirovane::ImageText(image, 0x1030), "2.1.0");
    image.ResetImage();
    EXPECT_EQ(mirovane::ImageText(image, 0x1000), std::string(16, '\xFF'));
}

}  // namespace
