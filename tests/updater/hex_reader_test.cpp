#include "hex_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "firmware_image.h"
#include "test_support.h"

namespace {

using mirovane::FirmwareImage;
using pipeline_test::EncodeModule;
using pipeline_test::Eof;
using pipeline_test::Extended;
using pipeline_test::Record;
using pipeline_test::RecordingBoxes;

std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t first) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t k = 0; k < count; ++k) {
        bytes.push_back(static_cast<std::uint8_t>(first + k));
    }
    return bytes;
}

// Reads plain record lines as an encoded module. The generator is disturbed first: the reader
// must restart it on its own.
bool Read(FirmwareImage& image, const std::vector<std::string>& lines, RecordingBoxes& boxes) {
    const std::vector<std::string> module = EncodeModule(lines);
    mirovane::codec("disturb", 1);
    return mirovane::ReadFWFile(image, module, boxes);
}

std::string WithChecksum(std::string record, std::uint8_t checksum) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    record.resize(record.size() - 2);
    record += kDigits[checksum >> 4];
    record += kDigits[checksum & 15];
    return record;
}

const char* const kLength = "Invalid record length in firmware file at line ";
const char* const kAddress = "Address out of range in firmware file at line ";
const char* const kConfig = "Config address out of range in firmware file at line ";
const char* const kType = "Unknown record type in firmware file at line ";
const char* const kExtended = "Invalid extended address in firmware file at line ";
const char* const kChecksum = "Invalid record checksum in firmware file at line ";

TEST(HexReader, RejectsBadRecordsNamingTheElementIndex) {
    const std::string data = Record(0x0800, 0, Bytes(4, 1));
    const struct {
        const char* name;
        std::vector<std::string> lines;
        std::string message;
    } cases[] = {
        {"length field 0x10 on a 40-character line, bad type too",
         {"1008000007" + std::string(30, '0')},
         std::string(kLength) + "0"},
        {"unfilled element", {data, ""}, std::string(kLength) + "1"},
        {"one character short", {data, Eof().substr(1)}, std::string(kLength) + "1"},
        {"data past 0x7FFF",
         {Extended(0), Record(0x7FF8, 0, Bytes(16, 0))},
         std::string(kAddress) + "1"},
        {"config offset past 63",
         {Extended(0x30), Record(0x003F, 0, Bytes(2, 0))},
         std::string(kConfig) + "1"},
        {"segment address record", {data, Record(0, 2, {0x10, 0x00})}, std::string(kType) + "1"},
        {"start segment address record", {Record(0, 3, Bytes(4, 0))}, std::string(kType) + "0"},
        {"start linear address record",
         {data, data, Record(0, 5, Bytes(4, 0))},
         std::string(kType) + "2"},
        {"type tested before checksum",
         {WithChecksum(Record(0, 7, {}), 0x00)},
         std::string(kType) + "0"},
        {"extended address 0x0001", {Extended(0x0001)}, std::string(kExtended) + "0"},
        {"extended address 0x00F0", {data, Extended(0x00F0)}, std::string(kExtended) + "1"},
        {"extended address 0x3000", {Extended(0x3000)}, std::string(kExtended) + "0"},
        {"data checksum", {data, WithChecksum(data, 0x00)}, std::string(kChecksum) + "1"},
        {"end-of-file checksum", {WithChecksum(Eof(), 0xFE)}, std::string(kChecksum) + "0"},
        {"extended address checksum",
         {WithChecksum(Extended(0x30), 0xCB)},
         std::string(kChecksum) + "0"},
        {"range tested before checksum",
         {WithChecksum(Record(0x7FFF, 0, Bytes(2, 0)), 0x00)},
         std::string(kAddress) + "0"},
        {"error after end of file",
         {data, Eof(), WithChecksum(data, 0x11)},
         std::string(kChecksum) + "2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FirmwareImage image;
        RecordingBoxes boxes;
        EXPECT_FALSE(Read(image, c.lines, boxes));
        EXPECT_EQ(boxes.messages, std::vector<std::string>{c.message});
    }
}

TEST(HexReader, EndOfFileOnlyLeavesTheResetImage) {
    FirmwareImage image;
    const FirmwareImage reset;
    RecordingBoxes boxes;
    EXPECT_TRUE(Read(image, {Eof()}, boxes));
    EXPECT_TRUE(boxes.messages.empty());
    EXPECT_EQ(image.FWImage, reset.FWImage);
    EXPECT_EQ(image.FWConfig, reset.FWConfig);
    EXPECT_EQ(image.FWHighAddr, 2048);
}

TEST(HexReader, SwitchesRegionsAndTracksTheHighestProgramAddress) {
    FirmwareImage image;
    image.FWImage[0x0100] = 0x5A;  // the reader does not reset the image
    RecordingBoxes boxes;
    ASSERT_TRUE(
        Read(image,
             {Record(0x0010, 0, {0xA1}),  // no extended record yet: program memory
              Extended(0x30), Record(0x0000, 0, Bytes(14, 0x40)), Record(0x003F, 0, {0xC3}),
              Extended(0x0000), Record(0x2000, 0, Bytes(16, 0x80)), Record(0x0900, 0, {0x11}),
              Eof(), Record(0x3000, 0, {0x22})},  // still read after end of file
             boxes));
    EXPECT_EQ(image.FWImage[0x0010], 0xA1);  // below 2048: stored, but not the high address
    EXPECT_EQ(image.FWImage[0x0100], 0x5A);
    for (int k = 0; k < 14; ++k) {
        EXPECT_EQ(image.FWConfig[k], 0x40 + k);
        EXPECT_EQ(image.FWImage[k], 0xFF);
    }
    EXPECT_EQ(image.FWConfig[14], 0xFF);
    EXPECT_EQ(image.FWConfig[0x3F], 0xC3);
    EXPECT_EQ(image.FWImage[0x2000], 0x80);
    EXPECT_EQ(image.FWImage[0x200F], 0x8F);
    EXPECT_EQ(image.FWImage[0x0900], 0x11);
    EXPECT_EQ(image.FWImage[0x3000], 0x22);
    EXPECT_EQ(image.FWHighAddr, 0x3000);
}

TEST(HexReader, DataBelowTheApplicationAreaKeepsHighAddressAt2048) {
    FirmwareImage image;
    RecordingBoxes boxes;
    ASSERT_TRUE(
        Read(image, {Record(0x0000, 0, Bytes(16, 1)), Record(0x07F0, 0, Bytes(16, 1))}, boxes));
    EXPECT_EQ(image.FWImage[0x0000], 1);
    EXPECT_EQ(image.FWImage[0x07FF], 16);
    EXPECT_EQ(image.FWHighAddr, 2048);
}

TEST(HexReader, LeavesThePartialStateOfAFailingRead) {
    {  // bytes up to the end of program memory are stored before the range error
        FirmwareImage image;
        RecordingBoxes boxes;
        EXPECT_FALSE(
            Read(image, {Record(0x0800, 0, {0x01}), Record(0x7FF8, 0, Bytes(16, 0x30))}, boxes));
        EXPECT_EQ(image.FWImage[0x0800], 0x01);
        EXPECT_EQ(image.FWImage[0x7FF8], 0x30);
        EXPECT_EQ(image.FWImage[0x7FFF], 0x37);
        EXPECT_EQ(image.FWHighAddr, 0x7FFF);
    }
    {  // the first byte of a config record reaching past offset 63 is stored
        FirmwareImage image;
        RecordingBoxes boxes;
        EXPECT_FALSE(Read(image, {Extended(0x30), Record(0x003F, 0, {0x12, 0x34})}, boxes));
        EXPECT_EQ(image.FWConfig[0x3F], 0x12);
    }
    {  // a data record with a bad checksum has stored its bytes; the next record is not read
        FirmwareImage image;
        RecordingBoxes boxes;
        EXPECT_FALSE(Read(
            image, {WithChecksum(Record(0x1234, 0, {0xAB, 0xCD}), 0x00), Record(0x2000, 0, {0x01})},
            boxes));
        EXPECT_EQ(image.FWImage[0x1234], 0xAB);
        EXPECT_EQ(image.FWImage[0x1235], 0xCD);
        EXPECT_EQ(image.FWHighAddr, 0x1235);
        EXPECT_EQ(image.FWImage[0x2000], 0xFF);
    }
}

TEST(HexReader, ResetImageRestoresFillAndHighAddress) {
    FirmwareImage image;
    RecordingBoxes boxes;
    ASSERT_TRUE(Read(image, {Record(0x3000, 0, {0}), Extended(0x30), Record(0, 0, {0})}, boxes));
    image.ResetImage();
    const FirmwareImage fresh;
    EXPECT_EQ(image.FWImage, fresh.FWImage);
    EXPECT_EQ(image.FWConfig, fresh.FWConfig);
    EXPECT_EQ(image.FWHighAddr, 2048);
    for (std::uint8_t b : fresh.FWImage) {
        ASSERT_EQ(b, 0xFF);
    }
    for (std::uint8_t b : fresh.FWConfig) {
        ASSERT_EQ(b, 0xFF);
    }
}

}  // namespace
