// A process that never configures the bus itself gets it from the environment at its first
// libusb call, and keeps the bus in the state file between runs. CTest runs this program twice
// with the same state file, once per directory order (see CMakeLists.txt): the second run is a
// fresh process that finds the bus as the first left it.
#include <gtest/gtest.h>
#include <usb.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "klovsim/sim.h"

namespace {

using Serials = std::vector<std::string>;

std::vector<struct usb_device*> probes() {
    usb_find_busses();
    usb_find_devices();
    std::vector<struct usb_device*> out;
    for (usb_bus* b = usb_get_busses(); b != nullptr; b = b->next) {
        for (struct usb_device* d = b->devices; d != nullptr; d = d->next) {
            if (d->descriptor.idVendor == klovsim::kProbeVendorId &&
                d->descriptor.idProduct == klovsim::kProbeProductId) {
                out.push_back(d);
            }
        }
    }
    return out;
}

// One request on a fresh handle; the reply (empty when there is none).
std::string ask(struct usb_device* d, const std::string& request) {
    usb_dev_handle* h = usb_open(d);
    if (h == nullptr) {
        return "(no open)";
    }
    char reply[64] = {};
    int n = -1;
    if (usb_claim_interface(h, 0) == 0 &&
        usb_bulk_write(h, 0x01, request.data(), static_cast<int>(request.size()), 100) ==
            static_cast<int>(request.size()) &&
        request != "\xFF") {
        n = usb_bulk_read(h, 0x81, reply, sizeof reply, 100);
    }
    usb_release_interface(h, 0);
    usb_close(h);
    return n > 0 ? std::string(reply, static_cast<std::size_t>(n)) : std::string();
}

Serials serialsByIndex() {
    Serials out;
    for (struct usb_device* d : probes()) {
        const std::string r = ask(d, "\xE0");
        out.push_back(r.size() == 10 ? r.substr(1, 8) : "?");
    }
    return out;
}

TEST(SimEnvironment, ConfiguredLazilyAndKeptForTheNextProcess) {
    const char* phase = std::getenv("SIM_ENV_PHASE");
    const char* order = std::getenv("KLOVSIM_ORDER");
    ASSERT_NE(phase, nullptr);
    ASSERT_NE(order, nullptr);
    const bool newestFirst = std::string(order) == "newest-first";
    usb_init();
    if (std::string(phase) == "first") {
        // A fresh process on a new bus: the two probes in directory order.
        const Serials first =
            newestFirst ? Serials{"04124078", "04124077"} : Serials{"04124077", "04124078"};
        ASSERT_EQ(serialsByIndex(), first);
        // Leave a mark in the EEPROM of probe 0 (04124077); it must be there in the next run.
        EXPECT_EQ(
            ask(probes()[newestFirst ? 1 : 0], std::string("\x05\x01\x20\x00\x00\x5E", 6)).size(),
            1u);
        EXPECT_EQ(klovsim::Bus::instance().probe(0).eeprom()[0x20], 0x5E);
        // The probe at index 1 restarts: this process then finds it at index 0.
        ask(probes()[1], "\xFF");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(serialsByIndex(), (Serials{first[1], first[0]}));
    } else {
        // The next process: the restarted probe is the newest device on the bus.
        EXPECT_EQ(serialsByIndex(), (Serials{"04124077", "04124078"}));
        EXPECT_EQ(klovsim::Bus::instance().probe(0).eeprom()[0x20], 0x5E);
    }
}

}  // namespace
