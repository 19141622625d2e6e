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

class SimBootloader : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ProbeConfig c;
        c.mode = Mode::Bootloader;
        c.resetDelay = milliseconds(1500);
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

TEST_F(SimBootloader, ReadFlashEchoesTheHeaderThenTheBytes) {
    const auto flash = probe_->flash();
    Bytes want = addr(0x01, 16, 0x1000);
    want.insert(want.end(), flash.begin() + 0x1000, flash.begin() + 0x1010);
    EXPECT_EQ(flashAt(0x1000, 16), want);
    EXPECT_EQ(Bytes(want.begin() + 5, want.begin() + 15),
              Bytes({'K', 'O', 'R', 'V', 'A', 'L', 'I', 'M', 'E', 'X'}));

    const auto config = probe_->config();
    Bytes cwant = addr(0x01, 4, 0x30000C);
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
    EXPECT_EQ(exchange(h_, addr(0x03, 1, 0x0815), 1), (Bytes{0x03}));  // block 0x0800-0x083F
    const auto flash = probe_->flash();
    EXPECT_TRUE(std::all_of(flash.begin() + 0x0800, flash.begin() + 0x0840,
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_NE(flash[0x0840], 0xFF);  // the next block is untouched

    Bytes r = addr(0x02, 0x10, 0x0810);
    for (std::uint8_t i = 0; i < 16; ++i) {
        r.push_back(static_cast<std::uint8_t>(i * 17));
    }
    EXPECT_EQ(exchange(h_, r, 1), (Bytes{0x02}));
    const Bytes back = flashAt(0x0810, 16);
    ASSERT_EQ(back.size(), 21u);
    EXPECT_EQ(Bytes(back.begin() + 5, back.end()), Bytes(r.begin() + 5, r.end()));
    EXPECT_TRUE(probe_->writeViolations().empty());
}

TEST_F(SimBootloader, WriteOverUnerasedBytesIsAViolationAndOnlyClearsBits) {
    auto flash = probe_->flash();
    flash[0x0900] = 0xF0;
    flash[0x0901] = 0x0F;
    probe_->setFlash(flash);
    Bytes r = addr(0x02, 0x10, 0x0900);
    r.push_back(0x30);  // needs no bit 0xF0 lacks: fine
    r.push_back(0xF0);  // needs bits 0x0F lacks: violation
    r.insert(r.end(), 14, 0xFF);
    r[5 + 14] = 0x00;  // byte 0x090E cleared outright: fine
    EXPECT_EQ(exchange(h_, r, 1), (Bytes{0x02}));

    const auto after = probe_->flash();
    EXPECT_EQ(after[0x0900], 0x30);
    EXPECT_EQ(after[0x0901], 0x00);  // 0x0F AND 0xF0
    EXPECT_EQ(after[0x090E], 0x00);
    const auto v = probe_->writeViolations();
    ASSERT_GE(v.size(), 1u);
    EXPECT_EQ(v[0].address, 0x0901u);
    EXPECT_EQ(v[0].before, 0x0F);
    EXPECT_EQ(v[0].attempted, 0xF0);
    // Bytes 2..15 were the program pattern and 0xFF asks for bits it lacks.
    for (std::uint32_t a = 0x0902; a < 0x0910; ++a) {
        const bool expected = a != 0x090E && (flash[a] != 0xFF);
        const bool recorded =
            std::any_of(v.begin(), v.end(), [&](auto& w) { return w.address == a; });
        EXPECT_EQ(recorded, expected) << std::hex << a;
    }
}

TEST_F(SimBootloader, TheBootloaderAreaNeverChanges) {
    const auto before = probe_->flash();
    EXPECT_EQ(exchange(h_, addr(0x03, 1, 0x07C0), 1), (Bytes{0x03}));
    EXPECT_EQ(exchange(h_, row(0x07F0, 0x00), 1), (Bytes{0x02}));
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
          Bytes{0x07, 1, 0x10, 0, 0x30, 0}, Bytes{0xE0}, Bytes{0x51, 0}}) {
        ASSERT_EQ(write(h_, bad), static_cast<int>(bad.size()));
        EXPECT_FALSE(read(h_)) << bad.size();
    }
    EXPECT_EQ(probe_->flash(), before);
    EXPECT_EQ(probe_->protocolViolations().size(), 8u);
    // The identify command is how a host tells the modes apart: no reply, no violation.
    ASSERT_EQ(write(h_, {0x40}), 1);
    EXPECT_FALSE(read(h_, 32));
    EXPECT_EQ(probe_->protocolViolations().size(), 8u);
}

TEST_F(SimBootloader, ConfigurationBytes) {
    EXPECT_EQ(exchange(h_, {0x07, 0x01, 0x0F, 0x00, 0x30, 0x5A}, 1), (Bytes{0x07}));
    EXPECT_EQ(probe_->config()[15], 0x5A);
    EXPECT_EQ(flashAt(0x30000F, 1).back(), 0x5A);
}

TEST_F(SimBootloader, ResetLeavesTheBusAndComesBackAsANewDeviceInTheFlaggedMode) {
    struct usb_device* old = findProbe();
    ASSERT_NE(old, nullptr);
    const std::string oldName = old->filename;
    ASSERT_EQ(exchange(h_, {0x05, 0x01, 0xFF, 0x00, 0x00, 0xC5}, 1), (Bytes{0x05}));
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
    ASSERT_EQ(exchange(h_, addr(0x03, 1, 0x1000), 1), (Bytes{0x03}));  // the identity block
    EXPECT_FALSE(probe_->applicationValid());
    ASSERT_EQ(exchange(h_, {0x05, 0x01, 0xFF, 0x00, 0x00, 0xC5}, 1), (Bytes{0x05}));
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
