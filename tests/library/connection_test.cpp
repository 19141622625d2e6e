// Opening and closing connections, handles and threads, and the identity reads.
#include "library_fixture.h"

namespace librarytest {
namespace {

INSTANTIATE_TEST_SUITE_P(, LibraryOrderTest,
                         ::testing::Values(klovsim::DirectoryOrder::NewestFirst,
                                           klovsim::DirectoryOrder::OldestFirst),
                         [](const auto& param) {
                             return param.param == klovsim::DirectoryOrder::NewestFirst
                                        ? "NewestFirst"
                                        : "OldestFirst";
                         });

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

// The other way round: the probe the first channel opened leaves before the second channel's
// listing. The second channel opens nothing (the probe now at that index is another one), and
// the failed opening leaves nothing open.
TEST_P(LibraryOrderTest, TheSecondChannelOpensNothingWhenTheFirstOnesProbeHasLeft) {
    ProbeConfig first, second;
    first.serial = "11111111";
    second.serial = "22222222";
    klovsim::Probe older = bus().addProbe(first);
    klovsim::Probe newer = bus().addProbe(second);
    klovsim::Probe& atIndex0 = NewestFirst() ? newer : older;
    bus().beforeListing([&](std::int64_t listing) {
        if (listing == 1) {
            atIndex0.unplug();
        }
    });

    EXPECT_EQ(Open(0), 0u);
    EXPECT_EQ(Calls("usb_open").size(), 1u);
    EXPECT_EQ(bus().openHandles(), 0);
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
    // Each transfer takes a millisecond, so the call below lasts about half a second: ample
    // time for the close to land in its middle even on a loaded machine or under valgrind,
    // which only switches threads at a blocking call.
    probe.setLatency(1ms);
    const auto flash = probe.flash();
    const ScaHandle h = OpenSCABootloader(0);
    ASSERT_NE(h, 0u);
    bus().clearLog();
    const std::int64_t before = bus().exchanges();
    constexpr std::int32_t kBytes = 0x1000;
    constexpr std::int64_t kChunks = kBytes / 16;
    std::int32_t result = -1;
    std::thread user([&] { result = VerifyFlash(h, 0x0800, &flash[0x0800], kBytes); });
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

}  // namespace
}  // namespace librarytest
