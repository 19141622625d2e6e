// Several probes on one bus. The window refuses to update while a second probe answers. The
// update sequence with a proven link finds its probe again after every restart by proof,
// whatever index the bus gives it then, stops before erasing when the proof is missing or
// names two probes, and runs for several probes at once. Every case runs under both directory
// orders of the simulator's libusb 0.1 device lists.
#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

#include "bus_directory.h"
#include "fake_host.h"
#include "list_order.h"
#include "proven_link.h"
#include "test_firmware.h"
#include "update_sequence.h"

namespace apptest {
namespace {

using klovsim::Mode;
using klovsim::ProbeConfig;

const std::vector<std::string>& Module() {
    static const std::vector<std::string> module = ShippedModule();
    return module;
}

// The shipped firmware, decoded once: the decoder keeps its state in one place, so updates
// that run at once each take a copy.
const FirmwareImage& Decoded() {
    static const FirmwareImage image = [] {
        FirmwareImage i;
        IgnoreBoxes boxes;
        ReadFWFile(i, Module(), boxes);
        return i;
    }();
    return image;
}

// Both are taken before any test runs: other tests put firmware of their own in the module's
// place.
struct ShippedFirmware : ::testing::Environment {
    void SetUp() override { Decoded(); }
};
[[maybe_unused]] ::testing::Environment* const kShipped =
    ::testing::AddGlobalTestEnvironment(new ShippedFirmware);

// The events of a run without a front end: messages and waits kept, waits on the virtual
// clock, the serial number answered from what the caller knows.
class Events final : public UpdateEvents {
  public:
    std::vector<std::string> messages;
    std::vector<int> waits;
    std::optional<std::string> serial;

    void ErrorBox(const std::string& message) override { messages.push_back(message); }
    void Phase(UpdatePhase) override {}
    void Progress(UpdatePhase, std::int32_t, double) override {}
    void Status(const std::string&) override {}
    std::optional<std::string> AskSerialNumber() override { return std::exchange(serial, {}); }
    void Wait(int milliseconds) override {
        waits.push_back(milliseconds);
        klovsim::Clock::advance(std::chrono::milliseconds(milliseconds));
    }
};

// Requests that change a probe (flash row, erase, boot flag, configuration, reset), by probe.
std::map<int, int> ChangingRequests() {
    std::map<int, int> n;
    for (const klovsim::LogEntry& e : klovsim::Bus::instance().log()) {
        if (e.call == "usb_bulk_write" && e.probe >= 0 && !e.data.empty()) {
            const std::uint8_t command = e.data[0];
            if (command == 0x02 || command == 0x03 || command == 0x05 || command == 0x07 ||
                command == 0xFF) {
                ++n[e.probe];
            }
        }
    }
    return n;
}

std::string SerialInFlash(const klovsim::Probe& p) {
    const auto flash = p.flash();
    return std::string(reinterpret_cast<const char*>(flash.data() + klovsim::kIdentitySerial), 8);
}

class MultiProbeTest : public ::testing::TestWithParam<klovsim::DirectoryOrder> {
  protected:
    void SetUp() override { Fresh(); }
    void TearDown() override { klovsim::Bus::instance().reset(); }

    void Fresh() {
        klovsim::Bus::instance().reset();
        klovsim::Clock::setVirtual(true);
        klovsim::Bus::instance().setDirectoryOrder(GetParam());
    }

    klovsim::Probe Add(const std::string& serial, Mode mode, bool erased = false) {
        ProbeConfig c;
        c.serial = serial;
        c.mode = mode;
        c.blankApplication = erased;
        c.resetDelay = std::chrono::milliseconds(700);
        return klovsim::Bus::instance().addProbe(c);
    }

    // One update of the device found at `index` by a scan, as klov runs it.
    struct Run {
        UpdateResult result;
        std::vector<std::string> messages;
        std::vector<int> waits;
    };
    Run UpdateAt(BusDirectory& bus, std::int32_t index) {
        std::vector<DeviceFacts> scan = bus.Scan(UpdatableProbes(), false);
        const auto it = std::find_if(scan.begin(), scan.end(),
                                     [&](const DeviceFacts& d) { return d.index == index; });
        EXPECT_NE(it, scan.end());
        if (it == scan.end()) {
            return {};
        }
        const DeviceFacts device = *it;
        it->handle = 0;
        bus.Release(scan);
        return UpdateDevice(bus, device);
    }

    Run UpdateDevice(BusDirectory& bus, const DeviceFacts& device, bool identityFirst = true) {
        ProvenLink link(bus, device);
        Events events;
        events.serial = device.serial;
        FirmwareImage image;
        UpdateSequence seq(UpdateSetup{bus.Owned(), link, image,
                                       [](FirmwareImage& out, MessageBoxes&) {
                                           out = Decoded();
                                           return true;
                                       },
                                       UpdatableProbes(), device.index, events,
                                       WaitPolicy::Polling(), identityFirst});
        Run r;
        r.result = seq.Run();
        r.messages = events.messages;
        r.waits = events.waits;
        return r;
    }

    // The probe holds the firmware with its serial number, and the production date it
    // reported or, when it could not (bootloader mode), the listed one.
    void ExpectUpdated(const klovsim::Probe& p, const std::string& serial, Mode startedIn) {
        const std::string date = startedIn == Mode::Application
                                     ? ProbeConfig{}.productionDate
                                     : FindSerial(UpdatableProbes(), serial)->ProdDate;
        const FirmwareImage expected = PatchedImage(Module(), NumericValue(serial), date);
        const auto flash = p.flash();
        for (std::size_t a = 0x800; a < static_cast<std::size_t>(expected.FWHighAddr | 15); ++a) {
            ASSERT_EQ(flash[a], expected.FWImage[a]) << "probe " << p.id() << " at " << a;
        }
        EXPECT_EQ(p.mode(), Mode::Application);
        EXPECT_TRUE(p.writeViolations().empty());
    }

    ArdellixLibrary real_;
};

// Whichever probe is updated, and in whichever mode it starts, it is the one found after each
// restart, although by then its device index names another probe; no other probe receives a
// single changing request. This fails an update that reopens its probe by device index.
TEST_P(MultiProbeTest, EachProbeIsFoundByProofAfterItsRestarts) {
    const std::vector<std::pair<std::string, Mode>> probes = {
        {"04124008", Mode::Application},
        {"04124009", Mode::Bootloader},
        {"04124010", Mode::Application},
    };
    for (std::int32_t target = 0; target < 3; ++target) {
        SCOPED_TRACE("target at device index " + std::to_string(target));
        Fresh();
        std::vector<klovsim::Probe> p;
        for (const auto& [serial, mode] : probes) {
            p.push_back(Add(serial, mode));
        }
        // Put the probes where this order lists them before the run starts.
        const int id = ProbeAt(real_, target);
        ASSERT_GE(id, 0);
        const std::string serial = probes[static_cast<std::size_t>(id)].first;
        const Mode startMode = probes[static_cast<std::size_t>(id)].second;
        BusDirectory bus(real_);
        klovsim::Bus::instance().clearLog();
        const Run r = UpdateAt(bus, target);

        EXPECT_TRUE(r.result.completed) << (r.messages.empty() ? "" : r.messages.front());
        EXPECT_EQ(r.messages, std::vector<std::string>{});
        ExpectUpdated(p[static_cast<std::size_t>(id)], serial, startMode);
        const std::map<int, int> changed = ChangingRequests();
        for (const auto& [probe, n] : changed) {
            EXPECT_EQ(probe, id) << n << " changing requests reached probe " << probe;
        }
        for (std::size_t k = 0; k < p.size(); ++k) {
            EXPECT_EQ(SerialInFlash(p[k]), probes[k].first);
        }
        if (target > 0) {
            // The fixture did move the probe: its old index names another one now.
            EXPECT_NE(ProbeAt(real_, target), id);
        }
    }
}

// The look after the restart into the bootloader proves nothing: two probes in bootloader
// mode carry the identity (one written with another's serial number by an earlier updater),
// or the probe never comes back. The run stops before erasing and says what it found; klov's
// looks came every 50 ms up to the limit.
TEST_P(MultiProbeTest, NoUpdateWithoutASingleProof) {
    struct Case {
        const char* name;
        bool twin;   // a second probe in bootloader mode carrying the same identity
        bool never;  // the probe does not come back from its restart
        std::string message;
    };
    const Case cases[] = {
        {"two carry the identity", true, false,
         "Failed to reconnect to kLOV in bootloader mode\r\n2 probes in bootloader mode carry "
         "the identity of S/N 04124008; nothing was erased."},
        {"never back", false, true,
         "Failed to reconnect to kLOV in bootloader mode\r\nno probe in bootloader mode carries "
         "the identity of S/N 04124008 (found 1 probe: 1 in application mode, 0 in bootloader "
         "mode); nothing was erased."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        klovsim::Probe target = Add("04124008", Mode::Application);
        klovsim::Probe other =
            c.twin ? Add("04124008", Mode::Bootloader) : Add("04124009", Mode::Application);
        if (c.never) {
            target.setResetDelay(std::chrono::hours(1));
        }
        const auto before = other.flash();
        BusDirectory bus(real_);
        std::vector<DeviceFacts> scan = bus.Scan(UpdatableProbes(), false);
        const auto it = std::find_if(scan.begin(), scan.end(), [](const DeviceFacts& d) {
            return !d.bootloader && d.serial == "04124008";
        });
        ASSERT_NE(it, scan.end());
        const DeviceFacts device = *it;
        it->handle = 0;
        bus.Release(scan);
        klovsim::Bus::instance().clearLog();

        const Run r = UpdateDevice(bus, device);

        EXPECT_FALSE(r.result.completed);
        EXPECT_EQ(r.result.failedIn, UpdatePhase::SwitchToBootloader);
        EXPECT_EQ(r.result.ambiguous, c.twin);
        EXPECT_EQ(r.messages, std::vector<std::string>{c.message});
        EXPECT_EQ(ChangingRequests(), (std::map<int, int>{{target.id(), 2}}));  // flag, reset
        EXPECT_EQ(other.flash(), before);
        EXPECT_EQ(r.waits.front(), 50);
        EXPECT_TRUE(std::all_of(r.waits.begin(), r.waits.end(), [](int w) { return w == 50; }));
        if (c.never) {
            EXPECT_EQ(r.waits.size(), 1U + 1240U);
        }
    }
}

// The library, with the probe whose serial number is 04124009 reporting 04124008 followed by a
// ninth character, as a probe would whose reply carries no 0 byte after its eight characters.
class NinthCharacter final : public ArdellixApi {
  public:
    explicit NinthCharacter(ArdellixApi& next) : next_(next) {}

    ScaHandle OpenSCA(std::int32_t i) override { return next_.OpenSCA(i); }
    ScaHandle OpenSCABootloader(std::int32_t i) override { return next_.OpenSCABootloader(i); }
    std::int32_t CloseSCA(ScaHandle h) override { return next_.CloseSCA(h); }
    std::int32_t ReadSerialNo(ScaHandle h, char* s) override {
        const std::int32_t ok = next_.ReadSerialNo(h, s);
        if (ok != 0 && std::string(s, 8) == "04124009") {
            std::memcpy(s, "04124008", 8);
            s[8] = '7';
        }
        return ok;
    }
    std::int32_t ReadDeviceInfo(ScaHandle h, std::int32_t sel, char* t) override {
        return next_.ReadDeviceInfo(h, sel, t);
    }
    std::int32_t SetBootloaderFlag(ScaHandle h, std::int32_t b) override {
        return next_.SetBootloaderFlag(h, b);
    }
    std::int32_t ResetController(ScaHandle h) override { return next_.ResetController(h); }
    std::int32_t EraseFlashBlock(ScaHandle h, std::uint32_t a) override {
        return next_.EraseFlashBlock(h, a);
    }
    std::int32_t WriteFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                            std::int32_t n) override {
        return next_.WriteFlash(h, a, d, n);
    }
    std::int32_t VerifyFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                             std::int32_t n) override {
        return next_.VerifyFlash(h, a, d, n);
    }

  private:
    ArdellixApi& next_;
};

// A probe that sends a ninth character after its serial number is listed under the serial
// number that proves it after a restart: the eight characters. Listed under a name of its own
// it would let an update of the other probe start, which after its restart finds two probes
// answering to the one serial number and must stop, saying so.
TEST_P(MultiProbeTest, ANinthCharacterIsNotPartOfTheSerialNumber) {
    const klovsim::Probe target = Add("04124008", Mode::Application);
    Add("04124009", Mode::Application);
    const int targetIndex = ProbeAt(real_, 0) == target.id() ? 0 : 1;
    NinthCharacter lib(real_);
    BusDirectory bus(lib);
    std::vector<DeviceFacts> scan = bus.Scan(UpdatableProbes(), false);
    ASSERT_EQ(scan.size(), 2U);
    EXPECT_EQ(scan[0].serial, "04124008");
    EXPECT_EQ(scan[1].serial, "04124008");
    const auto it = std::find_if(scan.begin(), scan.end(),
                                 [&](const DeviceFacts& d) { return d.index == targetIndex; });
    ASSERT_NE(it, scan.end());
    const DeviceFacts device = *it;
    it->handle = 0;
    bus.Release(scan);

    const Run r = UpdateDevice(bus, device);

    EXPECT_FALSE(r.result.completed);
    EXPECT_EQ(r.result.failedIn, UpdatePhase::BackToApplication);
    EXPECT_TRUE(r.result.ambiguous);
    EXPECT_EQ(r.messages, std::vector<std::string>{
                              "Failed to connect to kLOV\r\n2 probes report S/N 04124008."});
}

// Four updates at once, one thread each, as klov update --all runs them, beside a probe in
// bootloader mode that cannot prove who it is and is left alone.
TEST_P(MultiProbeTest, SeveralUpdatesAtOnce) {
    const std::vector<std::pair<std::string, Mode>> probes = {
        {"04124008", Mode::Application},
        {"04124009", Mode::Bootloader},
        {"04124010", Mode::Application},
        {"04131008", Mode::Bootloader},
    };
    std::vector<klovsim::Probe> p;
    for (const auto& [serial, mode] : probes) {
        p.push_back(Add(serial, mode));
    }
    const klovsim::Probe bystander = Add("04131009", Mode::Bootloader, true);
    const auto bystanderFlash = bystander.flash();
    BusDirectory bus(real_);
    std::vector<DeviceFacts> scan = bus.Scan(UpdatableProbes(), true);
    ASSERT_EQ(scan.size(), 5U);
    std::vector<DeviceFacts> targets;
    for (DeviceFacts& d : scan) {
        if (d.serial) {
            targets.push_back(d);
            d.handle = 0;
        }
    }
    bus.Release(scan);
    ASSERT_EQ(targets.size(), 4U);
    klovsim::Bus::instance().clearLog();

    std::vector<Run> runs(targets.size());
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < targets.size(); ++k) {
        threads.emplace_back([&, k] { runs[k] = UpdateDevice(bus, targets[k]); });
    }
    for (std::thread& t : threads) {
        t.join();
    }

    for (std::size_t k = 0; k < targets.size(); ++k) {
        EXPECT_TRUE(runs[k].result.completed)
            << *targets[k].serial << ": " << (runs[k].messages.empty() ? "" : runs[k].messages[0]);
    }
    for (std::size_t k = 0; k < probes.size(); ++k) {
        ExpectUpdated(p[k], probes[k].first, probes[k].second);
        EXPECT_EQ(SerialInFlash(p[k]), probes[k].first);
    }
    EXPECT_EQ(ChangingRequests().count(bystander.id()), 0U);
    EXPECT_EQ(bystander.flash(), bystanderFlash);
}

// An update interrupted halfway through the erase leaves a probe that still proves who it is
// when the row of its serial slot is written right after that slot's block is erased; in plain
// address order its identity is gone until the write pass reaches it.
TEST_P(MultiProbeTest, AnInterruptedProbeStillProvesItsIdentity) {
    for (const bool identityFirst : {true, false}) {
        SCOPED_TRACE(identityFirst ? "identity first" : "address order");
        Fresh();
        Add("04124009", Mode::Bootloader);
        const klovsim::Probe target = Add("04124008", Mode::Application);
        BusDirectory bus(real_);
        std::vector<DeviceFacts> scan = bus.Scan(UpdatableProbes(), false);
        const auto it = std::find_if(scan.begin(), scan.end(),
                                     [](const DeviceFacts& d) { return !d.bootloader; });
        ASSERT_NE(it, scan.end());
        const DeviceFacts device = *it;
        it->handle = 0;
        bus.Release(scan);

        // A write that fails about 150 requests on: in the erase, well after block 0x1000.
        klovsim::Bus::instance().inject(
            {klovsim::Fault::WriteFails, 150, 1, klovsim::Counting::ByCall, target.id()});
        const Run r = UpdateDevice(bus, device, identityFirst);
        ASSERT_FALSE(r.result.completed);
        EXPECT_EQ(r.result.failedIn, UpdatePhase::Erase);

        std::vector<DeviceFacts> after = bus.Scan(UpdatableProbes(), false);
        bus.Release(after);
        std::vector<std::string> proven;
        for (const DeviceFacts& d : after) {
            EXPECT_TRUE(d.bootloader);
            proven.push_back(d.flash == FlashIdentity::Listed ? *d.serial : "-");
        }
        std::sort(proven.begin(), proven.end());
        const std::vector<std::string> expected = {identityFirst ? "04124008" : "-", "04124009"};
        EXPECT_EQ(proven, expected);
    }
}

// With a second probe attached the window's Update stops at once with its box, connected or
// not: nothing is written to either probe and the window is as it was.
class WindowWithTwoProbesTest : public AppTest {};

TEST_F(WindowWithTwoProbesTest, UpdateStopsBeforeAnythingIsWritten) {
    for (const bool connected : {false, true}) {
        SCOPED_TRACE(connected ? "connected first" : "not connected");
        Fresh();
        klovsim::Probe first = AddProbe();
        ProbeConfig second;
        second.serial = "04124009";
        klovsim::Probe other = AddProbe(second);
        if (connected) {
            top().cmdConnect_Click();
            ASSERT_NE(top().DeviceHandle, 0U);
        }
        const std::string status = top().StatusText;
        const auto flashes = std::make_pair(first.flash(), other.flash());
        host().api.calls.clear();

        top().cmdUpload_Click();

        EXPECT_EQ(host().Messages(),
                  std::vector<std::string>{"More than one kLOV is attached. Please disconnect all "
                                           "but the one to update."});
        EXPECT_EQ(host().api.calls, (std::vector<std::string>{"OpenSCABootloader", "CloseSCA"}));
        EXPECT_EQ(std::make_pair(first.flash(), other.flash()), flashes);
        EXPECT_EQ(first.bootFlag(), klovsim::kBootFlagApplication);
        EXPECT_EQ(other.bootFlag(), klovsim::kBootFlagApplication);
        EXPECT_EQ(top().StatusText, status);
        EXPECT_EQ(top().DeviceHandle != 0, connected);
        EXPECT_FALSE(top().lblProgress.Visible);
        EXPECT_TRUE(top().cmdUpload.Enabled);
        EXPECT_TRUE(top().cmdConnect.Enabled);
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, MultiProbeTest,
                         ::testing::Values(klovsim::DirectoryOrder::NewestFirst,
                                           klovsim::DirectoryOrder::OldestFirst),
                         [](const auto& param) { return std::string(Name(param.param)); });

}  // namespace
}  // namespace apptest
