// The shipping library, Debian's libusb 0.1 and klov inside a QEMU guest running Debian's
// kernel, driving the probe model through the guest's host controller driver and usbfs: the
// model is a USB device to QEMU's usb-redir (sim/usbredir). Each test is one boot of the guest
// running one scenario (tests/kernel/guest/scenarios); the host then checks what the guest
// reported and what the probes went through. Time is real.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "firmware_image.h"
#include "firmware_module.h"
#include "guest_machine.h"
#include "hex_reader.h"
#include "identity_patch.h"
#include "klovsim/usbredir.h"

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
[[maybe_unused]] mirovane::FirmwareImage ShippedImage(std::int32_t serial,
                                                      const std::string& date) {
    mirovane::FirmwareImage image;
    struct : mirovane::MessageBoxes {
        void ErrorBox(const std::string& m) override { ADD_FAILURE() << m; }
    } boxes;
    mirovane::FWFileInit();
    EXPECT_TRUE(mirovane::ReadFWFile(image, mirovane::FWFile, boxes));
    EXPECT_TRUE(mirovane::PatchInfo(image, serial, date, boxes));
    return image;
}

// The probe's sockets live in a short temporary folder: a unix socket path has 107 bytes.
class KernelTest : public ::testing::Test {
  protected:
    KernelTest() : directory_(MakeDirectory()), server(directory_) {}
    ~KernelTest() override { ::rmdir(directory_.c_str()); }

    static std::string MakeDirectory() {
        char pattern[] = "/tmp/klov-kernel-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) {
            throw std::runtime_error("cannot make a folder for the sockets");
        }
        return made;
    }

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

  private:
    std::string directory_;
    int probes_ = 0;

  protected:
    RedirServer server;
};

// Index -> serial number from a report "TAG 0=S 1=S".
[[maybe_unused]] std::map<int, std::string> Listing(const GuestRun& run, const std::string& tag) {
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

[[maybe_unused]] std::string Show(const std::map<int, std::string>& listing) {
    std::string s;
    for (const auto& [index, serial] : listing) {
        s += std::to_string(index) + "=" + serial + " ";
    }
    return s;
}

void IdentityAndSilentBootloader(KernelTest& t, RedirServer& server, GuestRun run) {
    (void)t;
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
    EXPECT_LT(waited, 1000.0);
    EXPECT_EQ(boot["verify_good"], "1");
    EXPECT_EQ(boot["verify_flipped"], "0");
    EXPECT_GE(server.counters(1).cancelled, 1);

    auto none = Fields(scans[2]);
    EXPECT_EQ(none["app"], "0");
    EXPECT_EQ(none["boot"], "0");

    const auto list = run.Reports("klov-list");
    ASSERT_EQ(list.size(), 1U);
    EXPECT_NE(list[0].find("\"mode\": \"application\", \"serial_number\": \"04124008\""),
              std::string::npos)
        << list[0];
    EXPECT_NE(list[0].find("\"mode\": \"bootloader\""), std::string::npos) << list[0];
}

TEST_F(KernelTest, OpensInBothModesAndASilentBootloaderTimesOut) {
    Add(Probe(Mode::Application, "04124008"));
    Add(Probe(Mode::Bootloader, "04124009"));
    GuestOptions o;
    o.scenario = "identity";
    o.args = {{"bootident", IdentityHex("04124009")}};
    o.limit = 90s;
    IdentityAndSilentBootloader(*this, server, Boot(o));
    ExpectClean(0);
    ExpectClean(1);
}

}  // namespace
