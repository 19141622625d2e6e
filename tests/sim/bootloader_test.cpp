// The bootloader: flash physics, configuration bytes, the boot flag, reset and re-enumeration.
#include <algorithm>
#include <cstring>

#include "sim_fixture.h"

namespace {

using namespace simtest;
using klovsim::Mode;
using klovsim::ProbeConfig;
using std::chrono::milliseconds;

Bytes addr(std::uint8_t cmd, std::uint8_t n, std::uint32_t a) {
    return {cmd, n, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8),
            static_cast<std::uint8_t>(a >> 16)};
}

Bytes row(std::uint32_t a, std::uint8_t fill) {
    Bytes r = addr(0x02, 0x10, a);
    r.insert(r.end(), 16, fill);
    return r;
}

// The replies' unexamined bytes of the probe under test, each its own value.
constexpr std::uint8_t kFlagAck = 0xA5;
constexpr std::uint8_t kEraseAck = 0x3C;
constexpr std::uint8_t kWriteAck = 0xFF;
constexpr std::uint8_t kConfigAck = 0x07;  // the command byte is a possible value too
const Bytes kHeader = {0x10, 0x20, 0x30, 0x40, 0x50};

class SimBootloader : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ProbeConfig c;
        c.mode = Mode::Bootloader;
        c.resetDelay = milliseconds(1500);
        c.unexamined.bootFlagAck = kFlagAck;
        c.unexamined.eraseAck = kEraseAck;
        c.unexamined.writeAck = kWriteAck;
        c.unexamined.configAck = kConfigAck;
        std::copy(kHeader.begin(), kHeader.end(), c.unexamined.readFlashHeader.begin());
        probe_ = bus().addProbe(c);
        h_ = openProbe();
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override {
        usb_close(h_);
        SimTest::TearDown();
    }
    Bytes flashAt(std::uint32_t a, std::uint8_t n) {
        auto reply = exchange(h_, addr(0x01, n, a), n + 5);
        return reply ? *reply : Bytes{};
    }
    std::optional<klovsim::Probe> probe_;
    usb_dev_handle* h_ = nullptr;
};

TEST_F(SimBootloader, ReadFlashSendsTheHeaderThenTheBytes) {
    const auto flash = probe_->flash();
    Bytes want = kHeader;
    want.insert(want.end(), flash.begin() + 0x1000, flash.begin() + 0x1010);
    EXPECT_EQ(flashAt(0x1000, 16), want);
    EXPECT_EQ(Bytes(want.begin() + 5, want.begin() + 15),
              Bytes({'K', 'O', 'R', 'V', 'A', 'L', 'I', 'M', 'E', 'X'}));

    const auto config = probe_->config();
    Bytes cwant = kHeader;
    cwant.insert(cwant.end(), config.begin() + 12, config.end());
    EXPECT_EQ(flashAt(0x30000C, 4), cwant);

    // Outside the memories, or more than 64 bytes: no reply, recorded.
    for (const Bytes& bad : {addr(0x01, 16, 0x7FF8), addr(0x01, 65, 0x0800),
                             addr(0x01, 1, 0x300010), addr(0x01, 1, 0x200000)}) {
        ASSERT_EQ(write(h_, bad), 5);
        EXPECT_FALSE(read(h_));
    }
    EXPECT_EQ(probe_->protocolViolations().size(), 4u);
    EXPECT_TRUE(probe_->writeViolations().empty());
}

TEST_F(SimBootloader, EraseThenWriteProgramsTheRow) {
    EXPECT_EQ(exchange(h_, addr(0x03, 1, 0x0800), 1), (Bytes{kEraseAck}));  // 0x0800-0x083F
    const auto flash = probe_->flash();
    EXPECT_TRUE(std::all_of(flash.begin() + 0x0800, flash.begin() + 0x0840,
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_NE(flash[0x0840], 0xFF);  // the next block is untouched

    Bytes r = addr(0x02, 0x10, 0x0810);
    for (std::uint8_t i = 0; i < 16; ++i) {
        r.push_back(static_cast<std::uint8_t>(i * 17));
    }
    EXPECT_EQ(exchange(h_, r, 1), (Bytes{kWriteAck}));
    const Bytes back = flashAt(0x0810, 16);
    ASSERT_EQ(back.size(), 21u);
    EXPECT_EQ(Bytes(back.begin() + 5, back.end()), Bytes(r.begin() + 5, r.end()));
    EXPECT_TRUE(probe_->writeViolations().empty());
    EXPECT_TRUE(probe_->protocolViolations().empty());
}

// The flash erases whole blocks: an address inside one erases it, and the host that sent it
// broke its side of the contract.
TEST_F(SimBootloader, AnUnalignedEraseErasesItsBlockAndIsRecorded) {
    EXPECT_EQ(exchange(h_, addr(0x03, 1, 0x0815), 1), (Bytes{kEraseAck}));
    const auto flash = probe_->flash();
    EXPECT_TRUE(std::all_of(flash.begin() + 0x0800, flash.begin() + 0x0840,
                            [](std::uint8_t b) { return b == 0xFF; }));
    ASSERT_EQ(probe_->protocolViolations().size(), 1u);
    EXPECT_NE(probe_->protocolViolations()[0].what.find("0x815"), std::string::npos);
}

TEST_F(SimBootloader, WriteOverUnerasedBytesOnlyClearsBits) {
    auto flash = probe_->flash();
    flash[0x0900] = 0xF0;
    flash[0x0901] = 0x0F;
    probe_->setFlash(flash);
    Bytes r = addr(0x02, 0x10, 0x0900);
    r.push_back(0x30);            // needs no bit 0xF0 lacks: fine
    r.push_back(0xF0);            // needs bits 0x0F lacks: violation
    r.insert(r.end(), 14, 0xFF);  // padding: leaves the programmed bytes as they are
    r[5 + 14] = 0x00;             // byte 0x090E cleared outright: fine
    EXPECT_EQ(exchange(h_, r, 1), (Bytes{kWriteAck}));

    const auto after = probe_->flash();
    EXPECT_EQ(after[0x0900], 0x30);
    EXPECT_EQ(after[0x0901], 0x00);  // 0x0F AND 0xF0
    EXPECT_EQ(after[0x090E], 0x00);
    for (std::uint32_t a = 0x0902; a < 0x0910; ++a) {
        if (a != 0x090E) {
            EXPECT_EQ(after[a], flash[a]) << std::hex << a;
        }
    }
    // Only the byte that asked for a 1 where the flash holds a 0 is a violation.
    const auto v = probe_->writeViolations();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].address, 0x0901u);
    EXPECT_EQ(v[0].before, 0x0F);
    EXPECT_EQ(v[0].attempted, 0xF0);
}

TEST_F(SimBootloader, TheBootloaderAreaNeverChanges) {
    const auto before = probe_->flash();
    EXPECT_EQ(exchange(h_, addr(0x03, 1, 0x07C0), 1), (Bytes{kEraseAck}));
    EXPECT_EQ(exchange(h_, row(0x07F0, 0x00), 1), (Bytes{kWriteAck}));
    EXPECT_EQ(probe_->flash(), before);
    const auto v = probe_->writeViolations();
    EXPECT_EQ(v.size(), 1u + 16u);
    EXPECT_TRUE(std::all_of(v.begin(), v.end(), [](auto& w) { return w.address < 0x0800; }));
}

TEST_F(SimBootloader, MalformedWritesAreRefusedWithoutReply) {
    const auto before = probe_->flash();
    Bytes shortRow = row(0x0800, 0);
    shortRow.pop_back();
    for (const Bytes& bad :
         {row(0x0808, 0), row(0x8000, 0), shortRow, addr(0x03, 1, 0x8000), addr(0x03, 2, 0x0800),
          Bytes{0x07, 1, 0x10, 0, 0x30, 0}, Bytes{0x56}, Bytes{0x51, 0}}) {
        ASSERT_EQ(write(h_, bad), static_cast<int>(bad.size()));
        EXPECT_FALSE(read(h_)) << bad.size();
    }
    EXPECT_EQ(probe_->flash(), before);
    EXPECT_EQ(probe_->protocolViolations().size(), 8u);
    // The identity commands are how a host tells the modes apart: no reply, no violation.
    for (const Bytes& ask : {Bytes{0x40}, Bytes{0xE0}, Bytes{0xE1, 0x04}}) {
        ASSERT_EQ(write(h_, ask), static_cast<int>(ask.size()));
        EXPECT_FALSE(read(h_, 32));
    }
    EXPECT_EQ(probe_->protocolViolations().size(), 8u);
}

TEST_F(SimBootloader, ConfigurationBytes) {
    EXPECT_EQ(exchange(h_, {0x07, 0x01, 0x0F, 0x00, 0x30, 0x5A}, 1), (Bytes{kConfigAck}));
    EXPECT_EQ(probe_->config()[15], 0x5A);
    EXPECT_EQ(flashAt(0x30000F, 1).back(), 0x5A);
}

TEST_F(SimBootloader, ResetLeavesTheBusAndComesBackAsANewDeviceInTheFlaggedMode) {
    struct usb_device* old = findProbe();
    ASSERT_NE(old, nullptr);
    const std::string oldName = old->filename;
    ASSERT_EQ(exchange(h_, {0x05, 0x01, 0xFF, 0x00, 0x00, 0xC5}, 1), (Bytes{kFlagAck}));
    ASSERT_EQ(write(h_, {0xFF}), 1);

    // Gone at once: the old handle fails, the old device cannot be opened.
    EXPECT_FALSE(probe_->onBus());
    EXPECT_EQ(usb_claim_interface(h_, 0), -ENODEV);
    EXPECT_EQ(usb_bulk_write(h_, 0x01, "\x40", 1, 100), -ENODEV);
    EXPECT_EQ(usb_open(old), nullptr);
    EXPECT_EQ(findProbe(), nullptr);

    klovsim::Clock::advance(milliseconds(1499));
    EXPECT_EQ(findProbe(), nullptr);
    klovsim::Clock::advance(milliseconds(1));
    struct usb_device* back = findProbe();
    ASSERT_NE(back, nullptr);
    EXPECT_NE(back, old);
    EXPECT_NE(std::string(back->filename), oldName);
    EXPECT_EQ(old->filename, oldName);  // the host's stale pointer still reads
    EXPECT_EQ(probe_->mode(), Mode::Application);

    usb_dev_handle* again = openProbe();
    ASSERT_NE(again, nullptr);
    const auto id = exchange(again, {0x40}, 32);
    ASSERT_TRUE(id);
    EXPECT_EQ(Bytes(id->begin() + 5, id->begin() + 9), (Bytes{'k', 'L', 'O', 'V'}));
    EXPECT_EQ(usb_close(again), 0);
    EXPECT_EQ(usb_close(h_), 0);  // a stale handle still closes
    h_ = openProbe();
}

TEST_F(SimBootloader, AProbeWithoutAValidApplicationNeverComesBack) {
    EXPECT_FALSE(probe_->bricked());  // the flag still selects the bootloader
    ASSERT_EQ(exchange(h_, addr(0x03, 1, 0x1000), 1), (Bytes{kEraseAck}));  // the identity block
    EXPECT_FALSE(probe_->applicationValid());
    ASSERT_EQ(exchange(h_, {0x05, 0x01, 0xFF, 0x00, 0x00, 0xC5}, 1), (Bytes{kFlagAck}));
    EXPECT_TRUE(probe_->bricked());
    ASSERT_EQ(write(h_, {0xFF}), 1);
    klovsim::Clock::advance(std::chrono::seconds(60));
    EXPECT_FALSE(probe_->onBus());
    EXPECT_EQ(findProbe(), nullptr);

    ProbeConfig blank;
    blank.blankApplication = true;
    klovsim::Probe dead = bus().addProbe(blank);
    EXPECT_TRUE(dead.bricked());
    EXPECT_FALSE(dead.onBus());
}

TEST_F(SimBootloader, UnplugAndPlug) {
    probe_->unplug();
    EXPECT_EQ(usb_bulk_write(h_, 0x01, "\x01", 1, 100), -ENODEV);
    klovsim::Clock::advance(std::chrono::seconds(10));
    EXPECT_EQ(findProbe(), nullptr);
    probe_->plug();
    EXPECT_EQ(probe_->mode(), Mode::Bootloader);
    EXPECT_NE(findProbe(), nullptr);
}

}  // namespace

namespace {

// A probe left to its defaults answers no command with its own byte where the host must not
// look, so a host that compares them fails against it.
using SimReplies = SimTest;

TEST_F(SimReplies, UnexaminedBytesByDefaultDifferFromTheCommand) {
    klovsim::Probe app = bus().addProbe();
    usb_dev_handle* h = openProbe();
    ASSERT_NE(h, nullptr);
    const auto identify = exchange(h, {0x40}, 32);
    ASSERT_TRUE(identify && identify->size() >= 9);
    for (int i = 1; i <= 4; ++i) {
        EXPECT_NE((*identify)[static_cast<std::size_t>(i)], 0x40) << i;
    }
    const Bytes flag = {0x05, 0x01, 0xFF, 0x00, 0x00, 0x3A};
    const auto flagAck = exchange(h, flag, 1);
    ASSERT_TRUE(flagAck && flagAck->size() == 1);
    EXPECT_NE(flagAck->front(), 0x05);
    ASSERT_EQ(write(h, {0xFF}), 1);
    usb_close(h);
    klovsim::Clock::advance(std::chrono::seconds(2));
    ASSERT_EQ(app.mode(), Mode::Bootloader);
    h = openProbe();
    ASSERT_NE(h, nullptr);
    const std::vector<Bytes> commands{
        addr(0x03, 1, 0x0800), row(0x0800, 0xFF), {0x07, 0x01, 0x00, 0x00, 0x30, 0x24}, flag};
    for (const Bytes& c : commands) {
        const auto ack = exchange(h, c, 1);
        ASSERT_TRUE(ack && ack->size() == 1) << int(c[0]);
        EXPECT_NE(ack->front(), c[0]) << int(c[0]);
    }
    const auto read = exchange(h, addr(0x01, 16, 0x0800), 21);
    ASSERT_TRUE(read && read->size() == 21);
    EXPECT_NE(Bytes(read->begin(), read->begin() + 5), addr(0x01, 16, 0x0800));
    EXPECT_NE(read->front(), 0x01);
    usb_close(h);
    EXPECT_TRUE(app.protocolViolations().empty());
}

TEST_F(SimReplies, IdentifyBytesComeFromTheConfiguration) {
    ProbeConfig c;
    c.unexamined.identify = std::array<std::uint8_t, 4>{0x40, 0x00, 0xFF, 0x40};
    bus().addProbe(c);
    usb_dev_handle* h = openProbe();
    ASSERT_NE(h, nullptr);
    const auto identify = exchange(h, {0x40}, 32);
    ASSERT_TRUE(identify);
    EXPECT_EQ(Bytes(identify->begin(), identify->begin() + 9),
              (Bytes{0x40, 0x40, 0x00, 0xFF, 0x40, 'k', 'L', 'O', 'V'}));
    usb_close(h);
}

}  // namespace
