// A process that never configures the bus itself gets it from the environment at its first
// libusb call, and keeps its probe in the state file between runs. CTest runs this program
// twice with the same state file (see CMakeLists.txt).
#include <gtest/gtest.h>
#include <usb.h>

#include <cstdlib>
#include <string>

#include "klovsim/sim.h"

namespace {

TEST(SimEnvironment, ConfiguredLazilyAndPersisted) {
    const char* phase = std::getenv("SIM_ENV_PHASE");
    ASSERT_NE(phase, nullptr);
    usb_init();
    usb_find_busses();
    usb_find_devices();
    std::vector<struct usb_device*> probes;
    for (usb_bus* b = usb_get_busses(); b != nullptr; b = b->next) {
        for (struct usb_device* d = b->devices; d != nullptr; d = d->next) {
            if (d->descriptor.idVendor == klovsim::kProbeVendorId) {
                probes.push_back(d);
            }
        }
    }
    ASSERT_EQ(probes.size(), 1u);
    usb_dev_handle* h = usb_open(probes[0]);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(usb_claim_interface(h, 0), 0);
    char reply[64];
    if (std::string(phase) == "first") {
        // Leave a mark in EEPROM; it must be there in the next run.
        ASSERT_EQ(usb_bulk_write(h, 0x01, "\x05\x01\x20\x00\x00\x5E", 6, 100), 6);
        ASSERT_EQ(usb_bulk_read(h, 0x81, reply, 64, 100), 1);
        EXPECT_EQ(klovsim::Bus::instance().probe(0).eeprom()[0x20], 0x5E);
    } else {
        EXPECT_EQ(klovsim::Bus::instance().probe(0).eeprom()[0x20], 0x5E);
    }
    ASSERT_EQ(usb_bulk_write(h, 0x01, "\xE0", 1, 100), 1);
    ASSERT_EQ(usb_bulk_read(h, 0x81, reply, 64, 100), 10);
    EXPECT_EQ(std::string(reply + 1, 8), "04124077");
    usb_release_interface(h, 0);
    EXPECT_EQ(usb_close(h), 0);
}

}  // namespace
