// The shipping library, Debian's libusb 0.1 and klov inside a QEMU guest running Debian's
// kernel, driving the probe model through the guest's host controller driver and usbfs: the
// model is a USB device to QEMU's usb-redir (sim/usbredir). Each test is one boot of the guest
// running one scenario (tests/kernel/guest/scenarios); the host then checks what the guest
// reported and what the probes went through. Time is real.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "firmware_image.h"
#include "guest_machine.h"
#include "identity_patch.h"
#include "klovsim/usbredir.h"
#include "test_firmware.h"

namespace {

using kernel_test::Controller;
using kernel_test::Fields;
using kernel_test::GuestOptions;
using kernel_test::GuestRun;
using kernel_test::RunGuest;
using klovsim::Mode;
using klovsim::ProbeConfig;
using klovsim::usbredir::RedirServer;
using namespace std::chrono_literals;

constexpr std::uint8_t kEraseCommand = 0x03;
constexpr std::uint8_t kWriteCommand = 0x02;
constexpr std::uint8_t kReadCommand = 0x01;

ProbeConfig Probe(Mode mode, const std::string& serial) {
    ProbeConfig c;
    c.mode = mode;
    c.serial = serial;
    return c;
}

// The flash identity the model gives a probe: "SERIAL", 0, the serial number, 0.
std::string IdentityHex(const std::string& serial) {
    std::string bytes = std::string("SERIAL") + '\0' + serial + '\0';
    std::string hex;
    for (unsigned char c : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", c);
        hex += two;
    }
    return hex;
}

// The firmware klov installs, with this probe's identity patched in.
mirovane::FirmwareImage ShippedImage(std::int32_t serial, const std::string& date) {
    std::string failure;
    mirovane::FirmwareImage image =
        apptest::PatchedImage(apptest::ShippedModule(), serial, date, &failure);
    EXPECT_EQ(failure, "");
    return image;
}

// The probes' sockets live in a short temporary folder (a unix socket path has at most 107
// bytes), removed once the server has removed its sockets.
class SocketFolder {
  public:
    SocketFolder() {
        char pattern[] = "/tmp/klov-kernel-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("cannot make a folder for the sockets");
        }
        path_ = pattern;
    }
    ~SocketFolder() { ::rmdir(path_.c_str()); }
    SocketFolder(const SocketFolder&) = delete;
    SocketFolder& operator=(const SocketFolder&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

class KernelTest : public ::testing::Test {
  protected:
    KernelTest() : server(folder_.path()) {}

    GuestRun Boot(GuestOptions o) {
        for (int i = 0; i < probes_; ++i) {
            o.sockets.push_back(server.socketPath(i));
        }
        GuestRun run = RunGuest(o);
        if (auto ready = run.ReportedAt("ready")) {
            std::printf("boot: probes enumerated %.2f s after QEMU started\n", *ready);
        }
        std::printf("guest: %.2f s in all\n", run.seconds);
        EXPECT_FALSE(run.timedOut) << "the guest was killed after " << o.limit.count() << " s";
        EXPECT_EQ(run.exitStatus, 0) << run.Console();
        EXPECT_EQ(run.qemuStatus, 0) << "QEMU did not end by the guest powering off";
        return run;
    }

    int Add(const ProbeConfig& c) {
        ++probes_;
        return server.addProbe(c);
    }

    void ExpectClean(int probe) {
        EXPECT_TRUE(server.writeViolations(probe).empty()) << "probe " << probe;
        for (const auto& v : server.protocolViolations(probe)) {
            ADD_FAILURE() << "probe " << probe << ": " << v.what;
        }
    }

    void ExpectUpdated(int probe, const mirovane::FirmwareImage& image,
                       const std::array<std::uint8_t, klovsim::kFlashSize>& before) {
        const auto flash = server.flash(probe);
        for (std::uint32_t a = 0; a < klovsim::kBootloaderEnd; ++a) {
            ASSERT_EQ(flash[a], before[a]) << "bootloader byte " << std::hex << a;
        }
        for (std::uint32_t a = klovsim::kBootloaderEnd; a < klovsim::kFlashSize; ++a) {
            ASSERT_EQ(flash[a], image.FWImage[a]) << "flash byte " << std::hex << a;
        }
        EXPECT_EQ(server.bootFlag(probe), klovsim::kBootFlagApplication);
        EXPECT_EQ(server.mode(probe), Mode::Application);
        EXPECT_TRUE(server.onBus(probe));
        EXPECT_FALSE(server.bricked(probe));
        ExpectClean(probe);
    }

    void OpenInBothModes(Controller controller);

  private:
    SocketFolder folder_;  // made before the server, removed after it
    int probes_ = 0;

  protected:
    RedirServer server;
};

// Index -> serial number from a report "TAG 0=S 1=S".
std::map<int, std::string> Listing(const GuestRun& run, const std::string& tag) {
    std::map<int, std::string> found;
    for (const std::string& report : run.Reports("list")) {
        if (report.rfind(tag + " ", 0) != 0 && report != tag) {
            continue;
        }
        for (const auto& [index, serial] : Fields(report)) {
            found[std::atoi(index.c_str())] = serial;
        }
    }
    return found;
}

std::string Show(const std::map<int, std::string>& listing) {
    std::string s;
    for (const auto& [index, serial] : listing) {
        s += std::to_string(index) + "=" + serial + " ";
    }
    return s;
}

// One probe in its application, one in its bootloader: both open as bootloaders, only the
// application identifies itself, and OpenSCA on the bootloader fails only after the read's
// real time-out, leaving the probe usable.
void KernelTest::OpenInBothModes(Controller controller) {
    Add(Probe(Mode::Application, "04124008"));
    Add(Probe(Mode::Bootloader, "04124009"));
    GuestOptions o;
    o.scenario = "identity";
    o.args = {{"bootident", IdentityHex("04124009")}};
    o.controller = controller;
    o.limit = 120s;
    const GuestRun run = Boot(o);
    const auto scans = run.Reports("scan");
    ASSERT_EQ(scans.size(), 3U) << run.Console();
    int application = -1;
    int bootloader = -1;
    for (int index = 0; index < 2; ++index) {
        auto f = Fields(scans[static_cast<std::size_t>(index)]);
        EXPECT_EQ(f["boot"], "1") << "index " << index
                                  << ": the bootloader opening takes any probe";
        (f["app"] == "1" ? application : bootloader) = index;
    }
    ASSERT_NE(application, -1);
    ASSERT_NE(bootloader, -1);

    auto app = Fields(scans[static_cast<std::size_t>(application)]);
    EXPECT_EQ(app["serial"], "04124008");
    EXPECT_EQ(app["product"], "kLOV-VR");
    EXPECT_EQ(app["manufacturer"], "KORVALIMEX");
    EXPECT_EQ(app["info_serial"], "04124008");
    EXPECT_EQ(app["version"], "2.0.3");
    EXPECT_EQ(app["date"], "20121228");
    EXPECT_EQ(app["close"], "1");

    // The bootloader does not answer the identify request: OpenSCA gives up after the read's
    // real 100 ms time-out, and the cancelled read does not swallow the next reply.
    auto boot = Fields(scans[static_cast<std::size_t>(bootloader)]);
    const double waited = std::atof(boot["app_ms"].c_str());
    std::printf("OpenSCA on the silent bootloader failed after %.1f ms\n", waited);
    EXPECT_GE(waited, 100.0);
    EXPECT_LT(waited, 5000.0);
    EXPECT_EQ(boot["verify_good"], "1");
    EXPECT_EQ(boot["verify_flipped"], "0");
    EXPECT_GE(server.counters(1).cancelled, 1);

    auto none = Fields(scans[2]);
    EXPECT_EQ(none["app"], "0");
    EXPECT_EQ(none["boot"], "0");

    // klov lists both: the application with its serial number, the bootloader as such.
    const auto list = run.Reports("klov-list");
    ASSERT_EQ(list.size(), 1U);
    for (const char* expected : {"\"application\"", "\"04124008\"", "\"bootloader\""}) {
        EXPECT_NE(list[0].find(expected), std::string::npos) << expected << " in " << list[0];
    }
    const auto carriers = run.Reports("probe-on");
    ASSERT_EQ(carriers.size(), 2U) << run.Console();
    for (const std::string& c : carriers) {
        auto f = Fields(c);
        EXPECT_EQ(f["speed"], "12") << c;
        EXPECT_EQ(f["hcd"], controller == Controller::Xhci ? "xhci_hcd" : "uhci_hcd") << c;
    }
    ExpectClean(0);
    ExpectClean(1);
}

TEST_F(KernelTest, OpensInBothModesAndASilentBootloaderTimesOut) {
    OpenInBothModes(Controller::Xhci);
}

// The same through EHCI: a full-speed probe is handed to a companion UHCI controller, so the
// guest's uhci-hcd carries the transfers, time-out and cancellation included.
TEST_F(KernelTest, OpensInBothModesThroughTheEhciCompanionController) {
    OpenInBothModes(Controller::Ehci);
}

// Two probes; the one at index 1 restarts. Which index does each probe have afterwards, in
// the process that restarted it and in a fresh one? What the guest saw is written down in
// docs/RELIABILITY.md, and the drop-in's default order follows it: if a kernel or libusb
// update changes it, this test says so.
TEST_F(KernelTest, DeviceOrderAfterARestart) {
    Add(Probe(Mode::Application, "04124008"));
    Add(Probe(Mode::Application, "04124009"));
    GuestOptions o;
    o.scenario = "order";
    o.limit = 120s;
    const GuestRun run = Boot(o);

    const auto freshBefore = Listing(run, "fresh-before");
    const auto sameBefore = Listing(run, "before-same-process");
    const auto sameAfter = Listing(run, "after-same-process");
    const auto freshAfter = Listing(run, "fresh-after");
    std::printf("fresh process before: %s\nsame process after:   %s\nfresh process after:  %s\n",
                Show(freshBefore).c_str(), Show(sameAfter).c_str(), Show(freshAfter).c_str());
    for (const std::string& dir : run.Reports("dir")) {
        std::printf("/dev/bus/usb/001 in directory order, %s\n", dir.c_str());
    }
    ASSERT_EQ(freshBefore.size(), 2U) << run.Console();
    ASSERT_EQ(sameAfter.size(), 2U) << run.Console();
    ASSERT_EQ(freshAfter.size(), 2U) << run.Console();
    EXPECT_EQ(sameBefore, freshBefore);
    const std::string restarted = freshBefore.at(1);
    const std::string other = freshBefore.at(0);
    EXPECT_NE(restarted, other);
    // The restarted probe is listed first, in the same process and in a fresh one.
    EXPECT_EQ(sameAfter, (std::map<int, std::string>{{0, restarted}, {1, other}}));
    EXPECT_EQ(freshAfter, sameAfter);

    const int restartedProbe = restarted == "04124008" ? 0 : 1;
    EXPECT_EQ(server.counters(restartedProbe).disconnects, 1);
    EXPECT_EQ(server.counters(restartedProbe).connects, 2);
    EXPECT_EQ(server.counters(1 - restartedProbe).disconnects, 0);
    for (int p = 0; p < 2; ++p) {
        EXPECT_EQ(server.mode(p), Mode::Application);
        ExpectClean(p);
    }
}

// The whole update as klov runs it inside the guest, across both restarts, checked on the
// probe: the shipped firmware with its identity, the boot flag back on the application.
TEST_F(KernelTest, KlovUpdatesTheProbeAcrossBothRestarts) {
    Add(Probe(Mode::Application, "04124008"));
    const auto before = server.flash(0);
    const mirovane::FirmwareImage image = ShippedImage(4124008, "20121228");
    GuestOptions o;
    o.scenario = "update";
    o.limit = 240s;
    const GuestRun run = Boot(o);

    const auto start = run.ReportedAt("mark update-start");
    const auto end = run.ReportedAt("mark update-end");
    ASSERT_TRUE(start && end) << run.Console();
    std::printf("klov update inside the guest: %.2f s\n", *end - *start);
    ExpectUpdated(0, image, before);
    const auto counters = server.counters(0);
    const long rows = (image.FWHighAddr - 0x800) / 16 + 1;
    const auto flash = run.Reports("flash-phase");
    if (!flash.empty()) {
        const double seconds = std::atof(Fields(flash[0])["seconds"].c_str());
        std::printf("flash phase: %.2f s for %ld exchanges, %.2f ms each; %ld SET_CONFIGURATION\n",
                    seconds, 480 + 2 * rows, seconds * 1000 / static_cast<double>(480 + 2 * rows),
                    counters.setConfigurations);
    }
    EXPECT_EQ(counters.requests[kEraseCommand], 480);
    EXPECT_EQ(counters.requests[kWriteCommand], rows);
    // Two read-backs more than rows verified: the serial slot, read twice over the connection
    // that proves the restarted probe.
    EXPECT_EQ(counters.requests[kReadCommand], rows + 2);
    EXPECT_EQ(counters.disconnects, 2);  // into the bootloader, back to the application
    EXPECT_EQ(counters.connects, 3);
    const auto info = run.Reports("klov-info");
    ASSERT_EQ(info.size(), 1U);
    const std::string version = mirovane::ImageText(image, mirovane::kFirmwareVersionAddr);
    EXPECT_NE(info[0].find("\"firmware_version\": \"" + version + "\""), std::string::npos)
        << info[0];
    EXPECT_NE(info[0].find("\"serial_number\": \"04124008\""), std::string::npos) << info[0];
}

// The cable is pulled while rows are being written and put back a second later. The update
// fails; the probe comes back in its bootloader, and klov given the label's serial number
// brings it back in one run.
TEST_F(KernelTest, UnplugDuringTheFlashPhaseThenTheRecoveryUpdate) {
    Add(Probe(Mode::Application, "04124008"));
    const auto before = server.flash(0);
    const mirovane::FirmwareImage image = ShippedImage(4124008, "20121228");
    constexpr long kPullAtRow = 200;
    std::optional<kernel_test::Clock::time_point> pulled;
    bool back = false;
    GuestOptions o;
    o.scenario = "unplug";
    o.args = {{"serial", "04124008"}};
    o.limit = 300s;
    o.tick = [&] {
        if (!pulled && server.counters(0).requests[kWriteCommand] >= kPullAtRow) {
            server.unplug(0);
            pulled = kernel_test::Clock::now();
        } else if (pulled && !back && kernel_test::Clock::now() - *pulled > 1s) {
            server.plug(0);
            back = true;
        }
    };
    const GuestRun run = Boot(o);

    ASSERT_TRUE(pulled) << "the write phase never reached row " << kPullAtRow;
    EXPECT_TRUE(back);
    const auto first = run.Reports("first");
    ASSERT_EQ(first.size(), 1U) << run.Console();
    EXPECT_EQ(first[0], "status=74");  // an exchange with the probe failed
    const auto start = run.ReportedAt("mark recovery-start");
    const auto end = run.ReportedAt("mark recovery-end");
    ASSERT_TRUE(start && end) << run.Console();
    std::printf("recovery update inside the guest: %.2f s\n", *end - *start);
    ExpectUpdated(0, image, before);
}

}  // namespace
