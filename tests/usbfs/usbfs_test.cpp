// The shipping library over the real Debian libusb 0.1, talking to the probe model through
// emulated usbfs requests (umockdev). Runs under umockdev-wrapper; time is real.
#include <dirent.h>
#include <gtest/gtest.h>
#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "ardellix.h"
#include "firmware_image.h"
#include "identity_patch.h"
#include "klovsim/usbfs.h"
#include "test_firmware.h"

namespace {

using klovsim::Mode;
using klovsim::ProbeConfig;
using klovsim::usbfs::UsbfsBus;
using namespace std::chrono_literals;

std::string Serial(ScaHandle h) {
    char text[10] = {};
    return ReadSerialNo(h, text) == 1 ? std::string(text) : std::string("(failed)");
}

std::string Info(ScaHandle h, int selector) {
    char text[32] = {};
    return ReadDeviceInfo(h, selector, text) == 1 ? std::string(text) : std::string("(failed)");
}

// Tries an opening call every 50 ms until it gives a handle or `limit` has passed, as the
// updater's reconnect loop does (with shorter steps).
ScaHandle OpenWithin(ScaHandle (*open)(int32_t), std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (ScaHandle h = open(0); h != 0) {
            return h;
        }
        if (std::chrono::steady_clock::now() > end) {
            return 0;
        }
        std::this_thread::sleep_for(50ms);
    }
}

ProbeConfig Config(Mode mode, const std::string& serial = "04124008") {
    ProbeConfig c;
    c.mode = mode;
    c.serial = serial;
    c.resetDelay = 300ms;
    return c;
}

class UsbfsTest : public ::testing::Test {
  protected:
    void ExpectNothingHeld() { EXPECT_EQ(bus.counters().claimsHeld, 0); }
    UsbfsBus bus;
};

TEST_F(UsbfsTest, OpensInBothModesAndReadsTheIdentity) {
    bus.addProbe(Config(Mode::Application));
    const ScaHandle app = OpenSCA(0);
    ASSERT_NE(app, 0U);
    EXPECT_EQ(Serial(app), "04124008");
    const std::string expected[] = {"kLOV-VR", "KORVALIMEX", "04124008", "2.0.3", "20121228"};
    for (int selector = 0; selector < 5; ++selector) {
        EXPECT_EQ(Info(app, selector), expected[selector]) << "selector " << selector;
    }
    EXPECT_EQ(CloseSCA(app), 1);

    // The bootloader opening makes no exchange, so it takes a probe in either mode.
    const ScaHandle boot = OpenSCABootloader(0);
    ASSERT_NE(boot, 0U);
    EXPECT_EQ(CloseSCA(boot), 1);
    ExpectNothingHeld();
    EXPECT_TRUE(bus.protocolViolations(0).empty());
}

TEST_F(UsbfsTest, ABootloaderIsOnlyOpenedAsSuchAndSilenceIsATimeOut) {
    bus.addProbe(Config(Mode::Bootloader));
    const long discardedBefore = bus.counters().discarded;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenSCA(0), 0U);  // the bootloader does not answer the identify request
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
    EXPECT_GT(bus.counters().discarded, discardedBefore);  // libusb cancelled the read
    ExpectNothingHeld();

    const ScaHandle h = OpenSCABootloader(0);
    ASSERT_NE(h, 0U);
    // A read that times out leaves the connection usable for the next exchange.
    std::uint8_t row[16];
    const auto flash = bus.flash(0);
    std::memcpy(row, flash.data() + 0x1000, sizeof row);
    EXPECT_EQ(VerifyFlash(h, 0x1000, row, 16), 1);
    row[3] ^= 1;
    EXPECT_EQ(VerifyFlash(h, 0x1000, row, 16), 0);
    EXPECT_EQ(CloseSCA(h), 1);
    ExpectNothingHeld();
}

// The whole reprogramming as the updater runs it: into the bootloader, erase, write and
// verify the shipped firmware with this probe's identity patched in, back to the application.
TEST_F(UsbfsTest, ReprogramsTheProbeAcrossTwoResets) {
    bus.addProbe(Config(Mode::Application));
    std::string failure;
    const mirovane::FirmwareImage image =
        apptest::PatchedImage(apptest::ShippedModule(), 4124008, "20121228", &failure);
    ASSERT_EQ(failure, "");
    const std::string firstNode = bus.devnode(0);

    ScaHandle h = OpenSCA(0);
    ASSERT_NE(h, 0U);
    ASSERT_EQ(SetBootloaderFlag(h, 1), 1);
    ASSERT_EQ(ResetController(h), 1);
    EXPECT_EQ(Serial(h), "(failed)");  // the probe is gone from under the old handle
    EXPECT_EQ(CloseSCA(h), 1);

    h = OpenWithin(OpenSCABootloader, 5s);
    ASSERT_NE(h, 0U);
    EXPECT_EQ(bus.mode(0), Mode::Bootloader);
    EXPECT_NE(bus.devnode(0), firstNode);  // enumerated again, under a new device number
    for (std::uint32_t a = 0x800; a < 0x8000; a += 64) {
        ASSERT_EQ(EraseFlashBlock(h, a), 1) << std::hex << a;
    }
    const auto high = static_cast<std::uint32_t>(image.FWHighAddr);
    for (std::uint32_t a = 0x800; a <= high; a += 16) {
        ASSERT_EQ(WriteFlash(h, a, &image.FWImage[a], 16), 1) << std::hex << a;
    }
    for (std::uint32_t a = 0x800; a <= high; a += 16) {
        ASSERT_EQ(VerifyFlash(h, a, &image.FWImage[a], 16), 1) << std::hex << a;
    }
    ASSERT_EQ(SetBootloaderFlag(h, 0), 1);
    ASSERT_EQ(ResetController(h), 1);
    EXPECT_EQ(CloseSCA(h), 1);

    h = OpenWithin(OpenSCA, 5s);
    ASSERT_NE(h, 0U);
    EXPECT_EQ(Info(h, 3), mirovane::ImageText(image, mirovane::kFirmwareVersionAddr));
    EXPECT_EQ(Info(h, 4), "20121228");
    EXPECT_EQ(Serial(h), "04124008");
    EXPECT_EQ(CloseSCA(h), 1);

    const auto flash = bus.flash(0);
    for (std::uint32_t a = 0x800; a < 0x8000; ++a) {
        ASSERT_EQ(flash[a], image.FWImage[a]) << std::hex << a;
    }
    EXPECT_FALSE(bus.bricked(0));
    EXPECT_TRUE(bus.writeViolations(0).empty());
    EXPECT_TRUE(bus.protocolViolations(0).empty());
    ExpectNothingHeld();
}

// The device numbers in /dev/bus/usb/001 in the order the testbed's directory yields them.
std::vector<int> DirectoryOrder() {
    std::vector<int> out;
    if (DIR* d = opendir("/dev/bus/usb/001")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') {
                out.push_back(std::atoi(e->d_name));
            }
        }
        closedir(d);
    }
    return out;
}

TEST_F(UsbfsTest, SeveralProbesByIndexAmongOtherDevices) {
    bus.addForeignDevice(0x1D6B, 0x0002);
    bus.addProbe(Config(Mode::Application, "04124008"));
    bus.addForeignDevice(0x04D8, 0x000A);  // same vendor, another product
    bus.addProbe(Config(Mode::Application, "04124009"));
    // This process lists the bus for the first time: in the order of its directory, whichever
    // that is (the nodes' numbers grow in the order they were made).
    const int first = std::stoi(bus.devnode(0).substr(17));
    const int second = std::stoi(bus.devnode(1).substr(17));
    const std::vector<int> order = DirectoryOrder();
    const auto firstAt = std::find(order.begin(), order.end(), first);
    const auto secondAt = std::find(order.begin(), order.end(), second);
    ASSERT_TRUE(firstAt != order.end()) << "device " << first << " not in /dev/bus/usb/001";
    ASSERT_TRUE(secondAt != order.end()) << "device " << second << " not in /dev/bus/usb/001";
    const bool firstAtZero = firstAt < secondAt;

    const ScaHandle zero = OpenSCA(0);
    const ScaHandle one = OpenSCA(1);
    ASSERT_NE(zero, 0U);
    ASSERT_NE(one, 0U);
    EXPECT_EQ(OpenSCA(2), 0U);
    EXPECT_EQ(OpenSCABootloader(2), 0U);
    // Both connections are open at once and each reaches its own probe.
    EXPECT_EQ(Serial(zero), firstAtZero ? "04124008" : "04124009");
    EXPECT_EQ(Serial(one), firstAtZero ? "04124009" : "04124008");
    EXPECT_EQ(CloseSCA(zero), 1);
    EXPECT_EQ(CloseSCA(one), 1);
    ExpectNothingHeld();
}

// Linux claims the interface for a file that transfers without claiming it; the adapter does
// the same and records the host's slip.
TEST_F(UsbfsTest, ATransferWithoutAClaimClaimsImplicitlyAndIsRecorded) {
    bus.addProbe(Config(Mode::Application));
    usb_init();
    usb_find_busses();
    usb_find_devices();
    struct usb_device* probe = nullptr;
    for (usb_bus* b = usb_get_busses(); b != nullptr; b = b->next) {
        for (struct usb_device* d = b->devices; d != nullptr; d = d->next) {
            if (d->descriptor.idProduct == klovsim::kProbeProductId) {
                probe = d;
            }
        }
    }
    ASSERT_NE(probe, nullptr);
    usb_dev_handle* a = usb_open(probe);
    usb_dev_handle* b = usb_open(probe);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(usb_bulk_write(a, 0x01, "\xE0", 1, 100), 1);
    char reply[16];
    EXPECT_EQ(usb_bulk_read(a, 0x81, reply, sizeof reply, 100), 10);
    ASSERT_EQ(bus.protocolViolations(0).size(), 1u);
    EXPECT_NE(bus.protocolViolations(0)[0].what.find("claimed implicitly"), std::string::npos);
    EXPECT_EQ(bus.counters().claimsHeld, 1);
    EXPECT_EQ(usb_claim_interface(b, 0), -EBUSY);  // the implicit claim holds
    EXPECT_EQ(usb_release_interface(a, 0), 0);     // until it is released
    EXPECT_EQ(usb_close(a), 0);
    EXPECT_EQ(usb_claim_interface(b, 0), 0);
    EXPECT_EQ(usb_release_interface(b, 0), 0);
    EXPECT_EQ(usb_close(b), 0);
    ExpectNothingHeld();
}

}  // namespace
