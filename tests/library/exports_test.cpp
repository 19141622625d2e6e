// The shipping library through its exported functions, against the simulated probe: the exact
// bytes on the wire, the failure results, handle checks, and a whole reprogramming.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ardellix.h"
#include "klovsim/sim.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using klovsim::Bus;
using klovsim::Clock;
using klovsim::Fault;
using klovsim::FaultRule;
using klovsim::LogEntry;
using klovsim::Mode;
using klovsim::ProbeConfig;

Bus& bus() {
    return Bus::instance();
}

std::vector<LogEntry> Calls(const std::string& name) {
    std::vector<LogEntry> out;
    for (const LogEntry& e : bus().log()) {
        if (e.call == name) {
            out.push_back(e);
        }
    }
    return out;
}

std::vector<Bytes> Written() {
    std::vector<Bytes> out;
    for (const LogEntry& e : Calls("usb_bulk_write")) {
        out.push_back(e.data);
    }
    return out;
}

std::vector<int> ReadSizes() {
    std::vector<int> out;
    for (const LogEntry& e : Calls("usb_bulk_read")) {
        out.push_back(e.size);
    }
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes Fill(std::size_t n, std::uint8_t value) {
    return Bytes(n, value);
}

// The text a zero-filled caller buffer holds after a call: up to its first zero byte.
std::string Text(const char* buffer, std::size_t size) {
    return std::string(buffer, strnlen(buffer, size));
}

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override { Fresh(); }
    void TearDown() override {
        for (ScaHandle h : open_) {
            CloseSCA(h);
        }
        bus().reset();
    }
    void Fresh() {
        for (ScaHandle h : open_) {
            CloseSCA(h);
        }
        open_.clear();
        bus().reset();
        Clock::setVirtual(true);
    }
    ScaHandle Keep(ScaHandle h) {
        if (h != 0) {
            open_.push_back(h);
        }
        return h;
    }
    ScaHandle Open(std::int32_t index = 0) { return Keep(OpenSCA(index)); }
    ScaHandle OpenBoot(std::int32_t index = 0) { return Keep(OpenSCABootloader(index)); }
    std::int32_t Close(ScaHandle h) {
        open_.erase(std::remove(open_.begin(), open_.end(), h), open_.end());
        return CloseSCA(h);
    }
    static ProbeConfig InBootloader() {
        ProbeConfig config;
        config.mode = Mode::Bootloader;
        return config;
    }

    std::vector<ScaHandle> open_;
};

// Tests with several probes run under both directory orders of the simulated bus.
class LibraryOrderTest : public LibraryTest,
                         public ::testing::WithParamInterface<klovsim::DirectoryOrder> {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        bus().setDirectoryOrder(GetParam());
    }
    bool NewestFirst() const { return GetParam() == klovsim::DirectoryOrder::NewestFirst; }
};

INSTANTIATE_TEST_SUITE_P(, LibraryOrderTest,
                         ::testing::Values(klovsim::DirectoryOrder::NewestFirst,
                                           klovsim::DirectoryOrder::OldestFirst),
                         [](const auto& param) {
                             return param.param == klovsim::DirectoryOrder::NewestFirst
                                        ? "NewestFirst"
                                        : "OldestFirst";
                         });

// Every bulk transfer runs inside its own claim of interface 0 on the same handle.
void ExpectClaimPerTransfer(const std::vector<LogEntry>& log) {
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].call != "usb_bulk_write" && log[i].call != "usb_bulk_read") {
            continue;
        }
        ASSERT_TRUE(i > 0 && i + 1 < log.size()) << log[i].call;
        EXPECT_EQ(log[i - 1].call, "usb_claim_interface");
        EXPECT_EQ(log[i - 1].handle, log[i].handle);
        EXPECT_EQ(log[i - 1].value, 0);
        EXPECT_EQ(log[i + 1].call, "usb_release_interface");
        EXPECT_EQ(log[i + 1].handle, log[i].handle);
        EXPECT_EQ(log[i + 1].value, 0);
        EXPECT_EQ(log[i].timeout, 100);
    }
}

// ----- connection and identity ------------------------------------------------------------

TEST_F(LibraryTest, OpensIdentifiesReadsIdentityAndCloses) {
    bus().addProbe();
    const ScaHandle h = Open();
    ASSERT_NE(h, 0u);

    const auto configs = Calls("usb_set_configuration");
    ASSERT_EQ(Calls("usb_open").size(), 2u);
    ASSERT_EQ(configs.size(), 2u);
    EXPECT_EQ(configs[0].value, 1);
    EXPECT_EQ(configs[1].value, 1);
    const int outHandle = configs[0].handle;
    const int inHandle = configs[1].handle;
    EXPECT_NE(outHandle, inHandle);
    EXPECT_EQ(Written(), std::vector<Bytes>{{0x40}});
    EXPECT_EQ(ReadSizes(), std::vector<int>{32});
    ExpectClaimPerTransfer(bus().log());
    EXPECT_EQ(bus().claimedInterfaces(), 0);

    bus().clearLog();
    char serial[10];
    std::memset(serial, 'Z', sizeof serial);
    ASSERT_EQ(ReadSerialNo(h, serial), 1);
    EXPECT_EQ(std::string(serial, 10), std::string("04124008\0Z", 10));  // nine bytes written

    const char* texts[] = {"kLOV-VR", "KORVALIMEX", "04124008", "2.0.3", "20121228"};
    for (std::int32_t selector = 0; selector < 5; ++selector) {
        char text[32] = {};
        ASSERT_EQ(ReadDeviceInfo(h, selector, text), 1) << selector;
        EXPECT_EQ(Text(text, sizeof text), texts[selector]);
    }
    EXPECT_EQ(Written(),
              (std::vector<Bytes>{{0xE0}, {0xE1, 0}, {0xE1, 1}, {0xE1, 2}, {0xE1, 3}, {0xE1, 4}}));
    EXPECT_EQ(ReadSizes(), (std::vector<int>{10, 32, 32, 32, 32, 32}));
    for (const LogEntry& e : Calls("usb_bulk_write")) {
        EXPECT_EQ(e.endpoint, 0x01);
        EXPECT_EQ(e.handle, outHandle);
    }
    for (const LogEntry& e : Calls("usb_bulk_read")) {
        EXPECT_EQ(e.endpoint, 0x81);
        EXPECT_EQ(e.handle, inHandle);
    }
    ExpectClaimPerTransfer(bus().log());

    EXPECT_EQ(Close(h), 1);
    const auto closes = Calls("usb_close");
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[0].handle, outHandle);
    EXPECT_EQ(closes[1].handle, inHandle);
    EXPECT_EQ(bus().openHandles(), 0);
    EXPECT_EQ(bus().claimedInterfaces(), 0);
}

TEST_P(LibraryOrderTest, ProbesAreChosenByIndexAmongMatchingDevices) {
    ProbeConfig first, second;
    first.serial = "11111111";
    second.serial = "22222222";
    bus().addForeignDevice(0x1234, 0x5678, 0);
    bus().addForeignDevice(0x04D8, 0x000A, 0);
    bus().addProbe(first, 0);
    bus().addForeignDevice(0x0001, 0xF85D, 1);
    bus().addProbe(second, 1);

    const ScaHandle a = Open(0);
    const ScaHandle b = Open(1);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(Open(2), 0u);
    char serial[10] = {};
    ASSERT_EQ(ReadSerialNo(b, serial), 1);
    EXPECT_EQ(Text(serial, 10), "22222222");
    ASSERT_EQ(ReadSerialNo(a, serial), 1);
    EXPECT_EQ(Text(serial, 10), "11111111");
    EXPECT_EQ(Close(a), 1);
    ASSERT_EQ(ReadSerialNo(b, serial), 1);  // the other connection is unaffected
    EXPECT_EQ(Text(serial, 10), "22222222");
}

// A connection's two channels open one after the other, each after its own listing. A probe
// that arrives in between goes to the front of the list and moves every index up by one: the
// second channel must still open the device the first one did, not whatever now sits at the
// index.
TEST_P(LibraryOrderTest, BothChannelsOpenTheSameProbeWhenAnotherArrivesInBetween) {
    ProbeConfig first, second, late;
    first.serial = "11111111";
    second.serial = "22222222";
    late.serial = "33333333";
    bus().addProbe(first);
    bus().addProbe(second);
    klovsim::Probe arriving = bus().addProbe(late);
    arriving.unplug();
    bus().beforeListing([&](std::int64_t listing) {
        if (listing == 1) {
            arriving.plug();
        }
    });

    // Index 1 of the first listing: the older probe when the newest come first, else the newer.
    const std::string atIndex1 = NewestFirst() ? "11111111" : "22222222";
    const ScaHandle h = Open(1);
    ASSERT_NE(h, 0u);
    const auto opens = Calls("usb_open");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].probe, opens[1].probe);
    char serial[10] = {};
    ASSERT_EQ(ReadSerialNo(h, serial), 1);
    EXPECT_EQ(Text(serial, 10), atIndex1);
    EXPECT_EQ(arriving.protocolViolations().size(), 0u);
}

TEST_F(LibraryTest, FailedOpeningsLeaveNothingOpen) {
    struct Case {
        const char* name;
        std::optional<FaultRule> fault;
        std::int32_t index;
        bool bootloaderOpenFails;  // OpenSCABootloader makes no exchange, so exchange faults pass
    };
    const Case cases[] = {
        {"no probe at index 1", std::nullopt, 1, true},
        {"out open refused", FaultRule{Fault::OpenFails, 0}, 0, true},
        {"in open refused", FaultRule{Fault::OpenFails, 1}, 0, true},
        {"out configuration refused", FaultRule{Fault::ConfigFails, 0}, 0, true},
        {"in configuration refused", FaultRule{Fault::ConfigFails, 1}, 0, true},
        {"claim refused", FaultRule{Fault::ClaimFails, 0}, 0, false},
        {"write fails", FaultRule{Fault::WriteFails, 0}, 0, false},
        {"write times out", FaultRule{Fault::WriteTimeout, 0}, 0, false},
        {"write short", FaultRule{Fault::WriteShort, 0}, 0, false},
        {"read fails", FaultRule{Fault::ReadFails, 0}, 0, false},
        {"read times out", FaultRule{Fault::ReadTimeout, 0}, 0, false},
        {"echo garbled", FaultRule{Fault::GarbleEcho, 0}, 0, false},
    };
    for (const Case& c : cases) {
        for (bool bootloader : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (bootloader ? " (bootloader open)" : ""));
            Fresh();
            bus().addProbe();
            if (c.fault) {
                bus().inject(*c.fault);
            }
            const ScaHandle h = bootloader ? OpenBoot(c.index) : Open(c.index);
            EXPECT_EQ(h == 0, !bootloader || c.bootloaderOpenFails);
            if (h != 0) {
                continue;
            }
            EXPECT_EQ(bus().openHandles(), 0);
            EXPECT_EQ(bus().claimedInterfaces(), 0);
        }
    }
}

TEST_F(LibraryTest, ApplicationOpenRefusesABootloaderWhichTheBootloaderOpenAccepts) {
    bus().addProbe(InBootloader());
    EXPECT_EQ(Open(), 0u);
    EXPECT_EQ(bus().openHandles(), 0);
    bus().clearLog();
    EXPECT_NE(OpenBoot(), 0u);
    EXPECT_TRUE(Written().empty());
}

TEST_F(LibraryTest, IdentityReadFailuresKeepTheConnection) {
    struct Case {
        const char* name;
        FaultRule fault;
        bool serial;  // ReadSerialNo, else ReadDeviceInfo
    };
    const Case cases[] = {
        {"claim refused", {Fault::ClaimFails, 0}, true},
        {"write fails", {Fault::WriteFails, 0}, true},
        {"write times out", {Fault::WriteTimeout, 0}, false},
        {"write short", {Fault::WriteShort, 0}, false},
        {"read fails", {Fault::ReadFails, 0}, false},
        {"read times out", {Fault::ReadTimeout, 0}, true},
        {"reply short of the serial", {Fault::ReadShort, 0}, true},
        {"echo garbled", {Fault::GarbleEcho, 0}, true},
        {"echo garbled", {Fault::GarbleEcho, 0}, false},
        {"selector garbled", {Fault::GarbleSelector, 0}, false},
    };
    bus().addProbe();
    const ScaHandle h = Open();
    ASSERT_NE(h, 0u);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.serial ? " (serial)" : " (info)"));
        char buffer[32];
        std::memset(buffer, '#', sizeof buffer);
        bus().inject(c.fault);
        EXPECT_EQ(c.serial ? ReadSerialNo(h, buffer) : ReadDeviceInfo(h, 4, buffer), 0);
        EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(32, '#'));
        bus().clearFaults();
        EXPECT_EQ(ReadSerialNo(h, buffer), 1);  // the next command is answered normally
    }
}

TEST_F(LibraryTest, CloseEndsTheConnectionEvenWhenUsbCloseFails) {
    bus().addProbe();
    const ScaHandle h = Open();
    ASSERT_NE(h, 0u);
    bus().inject({Fault::CloseFails, 0, 2});
    EXPECT_EQ(Close(h), 1);
    EXPECT_EQ(Calls("usb_close").size(), 2u);
    EXPECT_EQ(bus().openHandles(), 0);
    EXPECT_EQ(Close(h), 0);
}

// Every export that takes a handle, called with some valid-looking arguments.
const std::vector<std::pair<const char*, std::function<std::int32_t(ScaHandle)>>>& HandleExports() {
    static char text[32];
    static std::int32_t value;
    static const std::uint8_t data[16] = {};
    static const std::vector<std::pair<const char*, std::function<std::int32_t(ScaHandle)>>> all = {
        {"CloseSCA", [](ScaHandle h) { return CloseSCA(h); }},
        {"ReadSerialNo", [](ScaHandle h) { return ReadSerialNo(h, text); }},
        {"ReadDeviceInfo", [](ScaHandle h) { return ReadDeviceInfo(h, 0, text); }},
        {"SetBootloaderFlag", [](ScaHandle h) { return SetBootloaderFlag(h, 1); }},
        {"ResetController", [](ScaHandle h) { return ResetController(h); }},
        {"EraseFlashBlock", [](ScaHandle h) { return EraseFlashBlock(h, 0x0800); }},
        {"WriteFlash", [](ScaHandle h) { return WriteFlash(h, 0x0800, data, 16); }},
        {"VerifyFlash", [](ScaHandle h) { return VerifyFlash(h, 0x0800, data, 16); }},
        {"WriteConfig", [](ScaHandle h) { return WriteConfig(h, 0x300000, data, 16); }},
        {"SetHV", [](ScaHandle h) { return SetHV(h, 1); }},
        {"ReadHV", [](ScaHandle h) { return ReadHV(h, &value); }},
        {"SetGain", [](ScaHandle h) { return SetGain(h, 1); }},
        {"ReadGain", [](ScaHandle h) { return ReadGain(h, &value); }},
        {"SetLLD", [](ScaHandle h) { return SetLLD(h, 1); }},
        {"ReadLLD", [](ScaHandle h) { return ReadLLD(h, &value); }},
        {"SetULD", [](ScaHandle h) { return SetULD(h, 1); }},
        {"ReadULD", [](ScaHandle h) { return ReadULD(h, &value); }},
        {"SetIntegralMode", [](ScaHandle h) { return SetIntegralMode(h, 1); }},
        {"ReadIntegralMode", [](ScaHandle h) { return ReadIntegralMode(h, &value); }},
        {"SetAnalogOutputMode", [](ScaHandle h) { return SetAnalogOutputMode(h, 1); }},
        {"ReadAnalogOutputMode", [](ScaHandle h) { return ReadAnalogOutputMode(h, &value); }},
        {"SetCPSGain", [](ScaHandle h) { return SetCPSGain(h, 1); }},
        {"ReadCPSGain", [](ScaHandle h) { return ReadCPSGain(h, &value); }},
        {"SetResponseTime", [](ScaHandle h) { return SetResponseTime(h, 1); }},
        {"ReadResponseTime", [](ScaHandle h) { return ReadResponseTime(h, &value); }},
        {"SaveSettings", [](ScaHandle h) { return SaveSettings(h); }},
        {"ReadCPS", [](ScaHandle h) { return ReadCPS(h, &value, &value); }},
    };
    return all;
}

TEST_F(LibraryTest, NullClosedAndUnknownHandlesAreRefusedWithoutTraffic) {
    bus().addProbe();
    const ScaHandle closed = Open();
    ASSERT_NE(closed, 0u);
    ASSERT_EQ(Close(closed), 1);
    const ScaHandle live = Open();
    ASSERT_NE(live, 0u);
    EXPECT_NE(live, closed);  // a closed id is not handed out again at once

    for (ScaHandle h : {ScaHandle{0}, closed, ScaHandle{0xDEADBEEF}, live + 1, ~live}) {
        for (const auto& [name, call] : HandleExports()) {
            bus().clearLog();
            EXPECT_EQ(call(h), 0) << name << " with handle " << h;
            EXPECT_TRUE(bus().log().empty()) << name << " with handle " << h;
        }
    }
    char serial[10] = {};
    EXPECT_EQ(ReadSerialNo(live, serial), 1);  // the live connection was never disturbed
}

TEST_P(LibraryOrderTest, ConnectionsOnSeparateThreadsStayIndependent) {
    ProbeConfig first, second;
    first.serial = "11111111";
    second.serial = "22222222";
    bus().addProbe(first);
    bus().addProbe(second);
    // A fresh listing of one bus follows its directory.
    const std::string atZero = NewestFirst() ? "22222222" : "11111111";
    const std::string atOne = NewestFirst() ? "11111111" : "22222222";
    std::atomic<int> failures{0};
    auto worker = [&failures](std::int32_t index, const std::string serial) {
        for (int i = 0; i < 40; ++i) {
            const ScaHandle h = OpenSCA(index);
            char text[10] = {};
            if (h == 0 || ReadSerialNo(h, text) != 1 || Text(text, 10) != serial ||
                CloseSCA(h) != 1) {
                ++failures;
            }
        }
    };
    std::thread a(worker, 0, atZero);
    std::thread b(worker, 1, atOne);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(bus().openHandles(), 0);
}

// CloseSCA from another thread while a long call runs on the handle: the call runs to its end
// on a connection kept open for it, and the connection is closed once, after its last
// transfer. The clock is real and every transfer takes a little time, so the close lands in
// the middle of the call.
TEST_F(LibraryTest, ClosingWhileAnotherThreadUsesTheHandleIsSafe) {
    Clock::setVirtual(false);
    auto probe = bus().addProbe(InBootloader());
    probe.setLatency(20us);
    const auto flash = probe.flash();
    const ScaHandle h = OpenSCABootloader(0);
    ASSERT_NE(h, 0u);
    bus().clearLog();
    const std::int64_t before = bus().exchanges();
    constexpr std::int64_t kChunks = 0x7800 / 16;
    std::int32_t result = -1;
    std::thread user([&] { result = VerifyFlash(h, 0x0800, &flash[0x0800], 0x7800); });
    while (bus().exchanges() == before) {
        std::this_thread::yield();
    }
    const std::int64_t atClose = bus().exchanges() - before;
    EXPECT_EQ(CloseSCA(h), 1);
    user.join();

    EXPECT_EQ(result, 1);
    EXPECT_EQ(bus().exchanges() - before, kChunks);
    EXPECT_LT(atClose, kChunks) << "the call had ended before the close: nothing was tested";
    const auto log = bus().log();
    std::vector<std::size_t> closes;
    std::size_t lastTransfer = 0;
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].call == "usb_close") {
            closes.push_back(i);
        } else if (log[i].call == "usb_bulk_write" || log[i].call == "usb_bulk_read") {
            lastTransfer = i;
        }
    }
    ASSERT_EQ(closes.size(), 2u);  // one per channel
    EXPECT_GT(closes.front(), lastTransfer);
    EXPECT_EQ(bus().openHandles(), 0);
    EXPECT_EQ(bus().claimedInterfaces(), 0);
    EXPECT_TRUE(probe.protocolViolations().empty());

    // The closed handle is refused without traffic.
    bus().clearLog();
    char serial[10] = {};
    EXPECT_EQ(ReadSerialNo(h, serial), 0);
    EXPECT_EQ(CloseSCA(h), 0);
    EXPECT_TRUE(bus().log().empty());
}

// ----- bootloader commands ------------------------------------------------------------------

struct WireCase {
    const char* name;
    std::function<std::int32_t(ScaHandle)> call;
    std::int32_t result;
    std::vector<Bytes> writes;
    std::vector<int> reads;
};

void CheckWire(const WireCase& c, ScaHandle h) {
    SCOPED_TRACE(c.name);
    bus().clearLog();
    EXPECT_EQ(c.call(h), c.result);
    EXPECT_EQ(Written(), c.writes);
    EXPECT_EQ(ReadSizes(), c.reads);
    for (const LogEntry& e : Calls("usb_bulk_read")) {
        EXPECT_EQ(e.endpoint, 0x81);
    }
    ExpectClaimPerTransfer(bus().log());
}

const Bytes kRow = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                    0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};

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

// ----- settings and count rate --------------------------------------------------------------

TEST_F(LibraryTest, SettingsRequests) {
    static std::int32_t v;
    const WireCase cases[] = {
        {"SetHV 1000", [](ScaHandle h) { return SetHV(h, 1000); }, 1, {{0x52, 0, 0xE8, 0x03}}, {}},
        {"SetHV 70000",
         [](ScaHandle h) { return SetHV(h, 70000); },
         1,
         {{0x52, 0, 0x70, 0x11}},
         {}},
        {"SetGain", [](ScaHandle h) { return SetGain(h, 0x0201); }, 1, {{0x52, 1, 0x01, 0x02}}, {}},
        {"SetLLD -1", [](ScaHandle h) { return SetLLD(h, -1); }, 1, {{0x52, 2, 0xFF, 0xFF}}, {}},
        {"SetULD", [](ScaHandle h) { return SetULD(h, 0x1234); }, 1, {{0x52, 3, 0x34, 0x12}}, {}},
        {"SetIntegralMode 5",
         [](ScaHandle h) { return SetIntegralMode(h, 5); },
         1,
         {{0x55, 1}},
         {}},
        {"SetIntegralMode 0",
         [](ScaHandle h) { return SetIntegralMode(h, 0); },
         1,
         {{0x55, 0}},
         {}},
        {"SetAnalogOutputMode -2",
         [](ScaHandle h) { return SetAnalogOutputMode(h, -2); },
         1,
         {{0x58, 1}},
         {}},
        {"SetCPSGain 300", [](ScaHandle h) { return SetCPSGain(h, 300); }, 1, {{0x5A, 0x2C}}, {}},
        {"SetResponseTime 10",
         [](ScaHandle h) { return SetResponseTime(h, 10); },
         1,
         {{0x5C, 0x0A}},
         {}},
        {"SaveSettings", [](ScaHandle h) { return SaveSettings(h); }, 1, {{0x53}}, {}},
        {"ReadHV", [](ScaHandle h) { return ReadHV(h, &v); }, 1, {{0x51, 0}}, {4}},
        {"ReadGain", [](ScaHandle h) { return ReadGain(h, &v); }, 1, {{0x51, 1}}, {4}},
        {"ReadLLD", [](ScaHandle h) { return ReadLLD(h, &v); }, 1, {{0x51, 2}}, {4}},
        {"ReadULD null", [](ScaHandle h) { return ReadULD(h, nullptr); }, 1, {{0x51, 3}}, {4}},
        {"ReadIntegralMode", [](ScaHandle h) { return ReadIntegralMode(h, &v); }, 1, {{0x54}}, {2}},
        {"ReadAnalogOutputMode",
         [](ScaHandle h) { return ReadAnalogOutputMode(h, &v); },
         1,
         {{0x57}},
         {2}},
        {"ReadCPSGain null", [](ScaHandle h) { return ReadCPSGain(h, nullptr); }, 1, {{0x59}}, {2}},
        {"ReadResponseTime", [](ScaHandle h) { return ReadResponseTime(h, &v); }, 1, {{0x5B}}, {2}},
        {"ReadCPS", [](ScaHandle h) { return ReadCPS(h, &v, &v); }, 1, {{0x56}}, {4}},
        {"ReadCPS null",
         [](ScaHandle h) { return ReadCPS(h, nullptr, nullptr); },
         1,
         {{0x56}},
         {4}},
    };
    bus().addProbe();
    const ScaHandle h = Open();
    ASSERT_NE(h, 0u);
    for (const WireCase& c : cases) {
        CheckWire(c, h);
    }
}

TEST_F(LibraryTest, SettingsReachTheProbeAndReadBack) {
    using Set = std::int32_t (*)(ScaHandle, std::int32_t);
    using Read = std::int32_t (*)(ScaHandle, std::int32_t*);
    struct Case {
        const char* name;
        Set set;
        Read read;
        std::int32_t sent, readBack;
    };
    const Case cases[] = {
        {"HV", SetHV, ReadHV, 70000, 0x1170},
        {"gain", SetGain, ReadGain, 513, 513},
        {"LLD", SetLLD, ReadLLD, -1, 65535},
        {"ULD", SetULD, ReadULD, 0x1234, 4660},
        {"integral mode", SetIntegralMode, ReadIntegralMode, 5, 1},
        {"analog output mode", SetAnalogOutputMode, ReadAnalogOutputMode, 1, 1},
        {"CPS gain", SetCPSGain, ReadCPSGain, 300, 44},
        {"response time", SetResponseTime, ReadResponseTime, 255, 255},
    };
    auto probe = bus().addProbe();
    const ScaHandle h = Open();
    ASSERT_NE(h, 0u);
    for (const Case& c : cases) {
        std::int32_t value = -7;
        EXPECT_EQ(c.set(h, c.sent), 1) << c.name;
        EXPECT_EQ(c.read(h, &value), 1) << c.name;
        EXPECT_EQ(value, c.readBack) << c.name;
    }
    klovsim::Settings expected{0x1170, 513, 65535, 0x1234, 1, 1, 44, 255};
    EXPECT_EQ(probe.settings(), expected);
    EXPECT_NE(probe.savedSettings(), expected);
    EXPECT_EQ(SaveSettings(h), 1);
    EXPECT_EQ(probe.savedSettings(), expected);

    struct Rate {
        std::uint16_t rate;
        bool flag;
    };
    for (const Rate r : {Rate{10000, false}, Rate{65535, true}, Rate{0, true}}) {
        probe.setCountRate(r.rate, r.flag);
        std::int32_t rate = -7, flag = -7;
        EXPECT_EQ(ReadCPS(h, &rate, &flag), 1);
        EXPECT_EQ(rate, r.rate);
        EXPECT_EQ(flag, r.flag ? 1 : 0);
    }
}

TEST_F(LibraryTest, BadValueRepliesLeaveOutputsAlone) {
    struct Case {
        const char* name;
        FaultRule fault;
        std::function<std::int32_t(ScaHandle, std::int32_t*)> call;
    };
    const Case cases[] = {
        {"index garbled", {Fault::GarbleSelector, 0}, ReadGain},
        {"echo garbled", {Fault::GarbleEcho, 0}, ReadHV},
        {"parameter short", {Fault::ReadShort, 0}, ReadULD},
        {"byte short", {Fault::ReadShort, 0}, ReadCPSGain},
        {"mode echo garbled", {Fault::GarbleEcho, 0}, ReadIntegralMode},
        {"read times out", {Fault::ReadTimeout, 0}, ReadResponseTime},
        {"write fails", {Fault::WriteFails, 0}, ReadAnalogOutputMode},
        {"rate short",
         {Fault::ReadShort, 0},
         [](ScaHandle h, std::int32_t* v) { return ReadCPS(h, v, v); }},
        {"rate echo garbled",
         {Fault::GarbleEcho, 0},
         [](ScaHandle h, std::int32_t* v) { return ReadCPS(h, v, v); }},
    };
    bus().addProbe();
    const ScaHandle h = Open();
    ASSERT_NE(h, 0u);
    for (const Case& c : cases) {
        std::int32_t value = -7;
        bus().inject(c.fault);
        EXPECT_EQ(c.call(h, &value), 0) << c.name;
        EXPECT_EQ(value, -7) << c.name;
        bus().clearFaults();
        EXPECT_EQ(c.call(h, &value), 1) << c.name;
    }
    bus().inject({Fault::WriteTimeout, 0});
    EXPECT_EQ(SetHV(h, 5), 0);
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
