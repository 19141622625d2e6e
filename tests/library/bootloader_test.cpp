// The bootloader commands on the wire, flash series, and whole reprogrammings of the probe.
#include "library_fixture.h"

namespace librarytest {
namespace {

TEST_F(LibraryTest, BootloaderRequests) {
    const std::uint8_t* d = kRow.data();
    const Bytes flagHeader = {0x05, 0x01, 0xFF, 0x00, 0x00};
    const WireCase cases[] = {
        {"flag 1",
         [](ScaHandle h) { return SetBootloaderFlag(h, 1); },
         1,
         {Cat({flagHeader, {0x3A}})},
         {1}},
        {"flag -1",
         [](ScaHandle h) { return SetBootloaderFlag(h, -1); },
         1,
         {Cat({flagHeader, {0x3A}})},
         {1}},
        {"flag 7",
         [](ScaHandle h) { return SetBootloaderFlag(h, 7); },
         1,
         {Cat({flagHeader, {0x3A}})},
         {1}},
        {"flag 0",
         [](ScaHandle h) { return SetBootloaderFlag(h, 0); },
         1,
         {Cat({flagHeader, {0xC5}})},
         {1}},
        {"erase below window", [](ScaHandle h) { return EraseFlashBlock(h, 0x07FF); }, 0, {}, {}},
        {"erase past window", [](ScaHandle h) { return EraseFlashBlock(h, 0x8000); }, 0, {}, {}},
        {"erase aliasing the window",
         [](ScaHandle h) { return EraseFlashBlock(h, 0x01000800); },
         0,
         {},
         {}},
        {"erase first",
         [](ScaHandle h) { return EraseFlashBlock(h, 0x0800); },
         1,
         {{0x03, 0x01, 0x00, 0x08, 0x00}},
         {1}},
        {"erase last",
         [](ScaHandle h) { return EraseFlashBlock(h, 0x7FFF); },
         1,
         {{0x03, 0x01, 0xFF, 0x7F, 0x00}},
         {1}},
        {"write one row",
         [d](ScaHandle h) { return WriteFlash(h, 0x0800, d, 16); },
         1,
         {Cat({{0x02, 0x10, 0x00, 0x08, 0x00}, kRow})},
         {1}},
        {"write inside a row",
         [d](ScaHandle h) { return WriteFlash(h, 0x0805, d, 3); },
         1,
         {Cat({{0x02, 0x10, 0x00, 0x08, 0x00}, Fill(5, 0xFF), {0x10, 0x11, 0x12}, Fill(8, 0xFF)})},
         {1}},
        {"write across rows",
         [d](ScaHandle h) { return WriteFlash(h, 0x080C, d, 8); },
         1,
         {Cat({{0x02, 0x10, 0x00, 0x08, 0x00}, Fill(12, 0xFF), {0x10, 0x11, 0x12, 0x13}}),
          Cat({{0x02, 0x10, 0x10, 0x08, 0x00}, {0x14, 0x15, 0x16, 0x17}, Fill(12, 0xFF)})},
         {1, 1}},
        {"write last row",
         [d](ScaHandle h) { return WriteFlash(h, 0x7FF0, d, 16); },
         1,
         {Cat({{0x02, 0x10, 0xF0, 0x7F, 0x00}, kRow})},
         {1}},
        {"write past window", [d](ScaHandle h) { return WriteFlash(h, 0x7FF8, d, 16); }, 0, {}, {}},
        {"write below window",
         [d](ScaHandle h) { return WriteFlash(h, 0x07F8, d, 16); },
         0,
         {},
         {}},
        {"write wrapping round",
         [d](ScaHandle h) { return WriteFlash(h, 0xFFFFFFF8, d, 16); },
         0,
         {},
         {}},
        {"write nothing", [d](ScaHandle h) { return WriteFlash(h, 0x0800, d, 0); }, 1, {}, {}},
        {"write negative", [d](ScaHandle h) { return WriteFlash(h, 0x0800, d, -4); }, 1, {}, {}},
        {"write no data",
         [](ScaHandle h) { return WriteFlash(h, 0x0800, nullptr, 16); },
         0,
         {},
         {}},
        {"verify nothing", [d](ScaHandle h) { return VerifyFlash(h, 0x0800, d, 0); }, 1, {}, {}},
        {"verify past window",
         [d](ScaHandle h) { return VerifyFlash(h, 0x7FF8, d, 16); },
         0,
         {},
         {}},
        {"verify below window",
         [d](ScaHandle h) { return VerifyFlash(h, 0x07FF, d, 2); },
         0,
         {},
         {}},
        {"config window end",
         [d](ScaHandle h) { return WriteConfig(h, 0x30000E, d, 4); },
         1,
         {{0x07, 0x01, 0x0E, 0x00, 0x30, 0x10}, {0x07, 0x01, 0x0F, 0x00, 0x30, 0x11}},
         {1, 1}},
        {"config window start",
         [d](ScaHandle h) { return WriteConfig(h, 0x2FFFFE, d, 4); },
         1,
         {{0x07, 0x01, 0x00, 0x00, 0x30, 0x12}, {0x07, 0x01, 0x01, 0x00, 0x30, 0x13}},
         {1, 1}},
        {"config outside", [d](ScaHandle h) { return WriteConfig(h, 0x200000, d, 4); }, 1, {}, {}},
        {"config nothing", [d](ScaHandle h) { return WriteConfig(h, 0x300000, d, 0); }, 1, {}, {}},
        // No data is needed where no byte is sent; where one would be, none is sent at all.
        {"config no data outside",
         [](ScaHandle h) { return WriteConfig(h, 0x200000, nullptr, 4); },
         1,
         {},
         {}},
        {"config no data past the window",
         [](ScaHandle h) { return WriteConfig(h, 0x300010, nullptr, 16); },
         1,
         {},
         {}},
        {"config no data, nothing",
         [](ScaHandle h) { return WriteConfig(h, 0x300000, nullptr, 0); },
         1,
         {},
         {}},
        {"config no data reaching the window",
         [](ScaHandle h) { return WriteConfig(h, 0x2FFFFE, nullptr, 4); },
         0,
         {},
         {}},
        {"config no data inside",
         [](ScaHandle h) { return WriteConfig(h, 0x30000F, nullptr, 1); },
         0,
         {},
         {}},
        {"reset", [](ScaHandle h) { return ResetController(h); }, 1, {{0xFF}}, {}},
    };
    for (const WireCase& c : cases) {
        Fresh();
        bus().addProbe(InBootloader());
        const ScaHandle h = OpenBoot();
        ASSERT_NE(h, 0u);
        CheckWire(c, h);
    }
}

TEST_F(LibraryTest, VerifyReadsChunksFromTheStartAddress) {
    auto probe = bus().addProbe(InBootloader());
    const auto flash = probe.flash();
    const ScaHandle h = OpenBoot();
    ASSERT_NE(h, 0u);
    Bytes expected(flash.begin() + 0x0805, flash.begin() + 0x0805 + 40);
    CheckWire({"matches",
               [&](ScaHandle c) { return VerifyFlash(c, 0x0805, expected.data(), 20); },
               1,
               {{0x01, 0x10, 0x05, 0x08, 0x00}, {0x01, 0x04, 0x15, 0x08, 0x00}},
               {21, 9}},
              h);
    expected[17] ^= 0x01;  // inside the second chunk: the third is never asked for
    CheckWire({"mismatch stops",
               [&](ScaHandle c) { return VerifyFlash(c, 0x0805, expected.data(), 40); },
               0,
               {{0x01, 0x10, 0x05, 0x08, 0x00}, {0x01, 0x10, 0x15, 0x08, 0x00}},
               {21, 21}},
              h);
    bus().inject({Fault::ReadShort, 0});
    CheckWire({"short chunk",
               [&](ScaHandle c) { return VerifyFlash(c, 0x0805, expected.data(), 16); },
               0,
               {{0x01, 0x10, 0x05, 0x08, 0x00}},
               {21}},
              h);
    bus().clearFaults();
    bus().inject({Fault::GarbleData, 0});  // the last flash byte of the reply
    CheckWire({"corrupted byte",
               [&](ScaHandle c) { return VerifyFlash(c, 0x0805, expected.data(), 16); },
               0,
               {{0x01, 0x10, 0x05, 0x08, 0x00}},
               {21}},
              h);
}

TEST_F(LibraryTest, FlashSeriesStopAtTheFirstTransferFailure) {
    bus().addProbe(InBootloader());
    const ScaHandle h = OpenBoot();
    ASSERT_NE(h, 0u);
    const Bytes data(48, 0x00);
    bus().clearLog();
    bus().inject({Fault::ReadTimeout, 1});  // the second row's acknowledgement
    EXPECT_EQ(WriteFlash(h, 0x0800, data.data(), 48), 0);
    EXPECT_EQ(Written().size(), 2u);
    bus().clearFaults();
    bus().clearLog();
    bus().inject({Fault::WriteFails, 0});
    const std::uint8_t config[2] = {1, 2};
    EXPECT_EQ(WriteConfig(h, 0x300000, config, 2), 0);
    EXPECT_EQ(Written().size(), 1u);
    bus().clearFaults();
    bus().inject({Fault::WriteShort, 0});
    EXPECT_EQ(ResetController(h), 0);
    bus().inject({Fault::ReadFails, 0});
    EXPECT_EQ(SetBootloaderFlag(h, 1), 0);
    bus().inject({Fault::ClaimFails, 0});
    EXPECT_EQ(EraseFlashBlock(h, 0x0800), 0);
}

// ----- reprogramming ------------------------------------------------------------------------

TEST_F(LibraryTest, ReprogramsTheProbeEndToEnd) {
    ProbeConfig config;
    config.resetDelay = 1500ms;
    auto probe = bus().addProbe(config);
    // The new firmware: the same image with a new version text and new code.
    auto image = probe.flash();
    const std::string version = "3.1.0";
    std::fill(image.begin() + 0x1030, image.begin() + 0x1040, 0);
    std::copy(version.begin(), version.end(), image.begin() + 0x1030);
    for (std::size_t a = 0x2000; a < 0x2400; ++a) {
        image[a] = static_cast<std::uint8_t>(a * 7);
    }

    ScaHandle h = Open();
    ASSERT_NE(h, 0u);
    ASSERT_EQ(SetBootloaderFlag(h, 1), 1);
    ASSERT_EQ(ResetController(h), 1);
    ASSERT_EQ(Close(h), 1);
    EXPECT_EQ(OpenBoot(), 0u);  // still restarting
    Clock::advance(2s);
    h = OpenBoot();
    ASSERT_NE(h, 0u);
    EXPECT_EQ(probe.mode(), Mode::Bootloader);
    EXPECT_EQ(Open(), 0u);  // the bootloader does not identify

    for (std::uint32_t a = 0x0800; a < 0x8000; a += 64) {
        ASSERT_EQ(EraseFlashBlock(h, a), 1) << a;
    }
    for (std::uint32_t a = 0x0800; a < 0x8000; a += 16) {
        ASSERT_EQ(WriteFlash(h, a, &image[a], 16), 1) << a;
    }
    for (std::uint32_t a = 0x0800; a < 0x8000; a += 16) {
        ASSERT_EQ(VerifyFlash(h, a, &image[a], 16), 1) << a;
    }
    ASSERT_EQ(SetBootloaderFlag(h, 0), 1);
    ASSERT_EQ(ResetController(h), 1);
    ASSERT_EQ(Close(h), 1);
    Clock::advance(2s);

    h = Open();
    ASSERT_NE(h, 0u);
    char text[32] = {};
    ASSERT_EQ(ReadDeviceInfo(h, 3, text), 1);
    EXPECT_EQ(Text(text, sizeof text), version);
    EXPECT_EQ(probe.mode(), Mode::Application);
    EXPECT_TRUE(probe.flash() == image);
    EXPECT_EQ(probe.bootFlag(), 0xC5);
    EXPECT_EQ(probe.eeprom()[0xFF], 0xC5);
    EXPECT_FALSE(probe.bricked());
    EXPECT_TRUE(probe.writeViolations().empty());
    EXPECT_TRUE(probe.protocolViolations().empty());
}

// The acknowledgements, the read-flash header and bytes 1-4 of the identify reply are the
// probe's own business: whatever their values, every call succeeds and does its work. A library
// that examines any of them fails here.
TEST_F(LibraryTest, UnexaminedReplyBytesNeverDecideAResult) {
    struct Case {
        const char* name;
        std::array<std::uint8_t, 4> identify;
        std::array<std::uint8_t, 4> acks;  // flag, erase, write, configuration
        std::array<std::uint8_t, 5> header;
    };
    const Case cases[] = {
        {"equal to the command",
         {0x40, 0x40, 0x40, 0x40},
         {0x05, 0x03, 0x02, 0x07},
         {0x01, 0x10, 0x00, 0x08, 0x00}},
        {"other than the command",
         {0x02, 0x01, 0x11, 0x00},
         {0xFA, 0xFC, 0xFD, 0xF8},
         {0xFE, 0xEF, 0xFF, 0xF7, 0xFF}},
        {"zero", {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0, 0}},
        {"0xFF",
         {0xFF, 0xFF, 0xFF, 0xFF},
         {0xFF, 0xFF, 0xFF, 0xFF},
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"one command's for another's",
         {0xE0, 0xE1, 0x01, 0x05},
         {0x03, 0x02, 0x07, 0x05},
         {0x02, 0x05, 0x10, 0x08, 0x00}},
    };
    const Bytes row = kRow;
    const std::uint8_t configByte = 0x5A;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        ProbeConfig config;
        config.unexamined.identify = c.identify;
        config.unexamined.bootFlagAck = c.acks[0];
        config.unexamined.eraseAck = c.acks[1];
        config.unexamined.writeAck = c.acks[2];
        config.unexamined.configAck = c.acks[3];
        config.unexamined.readFlashHeader = c.header;
        auto probe = bus().addProbe(config);

        ScaHandle h = Open();
        ASSERT_NE(h, 0u);
        EXPECT_EQ(SetBootloaderFlag(h, 1), 1);
        EXPECT_EQ(ResetController(h), 1);
        EXPECT_EQ(Close(h), 1);
        Clock::advance(2s);
        h = OpenBoot();
        ASSERT_NE(h, 0u);
        ASSERT_EQ(probe.mode(), Mode::Bootloader);
        EXPECT_EQ(EraseFlashBlock(h, 0x0800), 1);
        EXPECT_EQ(WriteFlash(h, 0x0800, row.data(), 16), 1);
        EXPECT_EQ(VerifyFlash(h, 0x0800, row.data(), 16), 1);
        EXPECT_EQ(WriteConfig(h, 0x300003, &configByte, 1), 1);
        EXPECT_EQ(SetBootloaderFlag(h, 0), 1);
        EXPECT_EQ(Close(h), 1);

        const auto flash = probe.flash();
        EXPECT_EQ(Bytes(flash.begin() + 0x0800, flash.begin() + 0x0810), row);
        EXPECT_TRUE(std::all_of(flash.begin() + 0x0810, flash.begin() + 0x0840,
                                [](std::uint8_t b) { return b == 0xFF; }));
        EXPECT_EQ(probe.config()[3], configByte);
        EXPECT_EQ(probe.bootFlag(), 0xC5);
        EXPECT_TRUE(probe.writeViolations().empty());
        EXPECT_TRUE(probe.protocolViolations().empty());
    }
}

TEST_F(LibraryTest, TheSimulatorCatchesCarelessProgramming) {
    auto probe = bus().addProbe(InBootloader());
    ScaHandle h = OpenBoot();
    ASSERT_NE(h, 0u);
    const std::uint8_t* d = kRow.data();
    ASSERT_EQ(EraseFlashBlock(h, 0x2000), 1);
    ASSERT_EQ(WriteFlash(h, 0x2000, d, 16), 1);
    EXPECT_TRUE(probe.writeViolations().empty());
    // Without erasing first the bootloader still acknowledges, but the probe records it.
    EXPECT_EQ(WriteFlash(h, 0x1000, d, 16), 1);
    EXPECT_FALSE(probe.writeViolations().empty());

    // An erased application, started anyway, never comes back.
    for (std::uint32_t a = 0x0800; a < 0x8000; a += 64) {
        ASSERT_EQ(EraseFlashBlock(h, a), 1);
    }
    ASSERT_EQ(SetBootloaderFlag(h, 0), 1);
    ASSERT_EQ(ResetController(h), 1);
    ASSERT_EQ(Close(h), 1);
    Clock::advance(5s);
    EXPECT_TRUE(probe.bricked());
    EXPECT_EQ(Open(), 0u);
}

}  // namespace
}  // namespace librarytest
