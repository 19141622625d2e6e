// A process that never configures the bus itself gets it from the environment at its first
// libusb call, and keeps the bus in the state file between runs. CTest runs this program twice
// with the same state file, once per directory order (see CMakeLists.txt): the second run is a
// fresh process that finds the bus as the first left it.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim_fixture.h"

namespace {

using namespace simtest;
using Serials = std::vector<std::string>;

// The file names of the probes by index: the device numbers this process sees.
std::vector<std::string> namesByIndex() {
    std::vector<std::string> out;
    for (int i = 0; struct usb_device* d = findProbe(i); ++i) {
        out.emplace_back(d->filename);
    }
    return out;
}

TEST(SimEnvironment, ConfiguredLazilyAndKeptForTheNextProcess) {
    const char* phase = std::getenv("SIM_ENV_PHASE");
    const char* order = std::getenv("KLOVSIM_ORDER");
    ASSERT_NE(phase, nullptr);
    ASSERT_NE(order, nullptr);
    const bool newestFirst = std::string(order) == "newest-first";
    // What this checks is how a process starts; a repeat in the same process is not one.
    static bool ran = false;
    if (std::exchange(ran, true)) {
        GTEST_SKIP() << "runs once per process";
    }
    usb_init();
    if (std::string(phase) == "first") {
        // A fresh process on a new bus: the two probes in directory order, numbered as they
        // came (04124077 first).
        const Serials first =
            newestFirst ? Serials{"04124078", "04124077"} : Serials{"04124077", "04124078"};
        ASSERT_EQ(serialsByIndex(), first);
        ASSERT_EQ(namesByIndex(), (newestFirst ? Serials{"003", "002"} : Serials{"002", "003"}));
        // Leave a mark in the EEPROM of probe 0 (04124077); it must be there in the next run.
        usb_dev_handle* h = openProbe(newestFirst ? 1 : 0);
        ASSERT_NE(h, nullptr);
        const auto ack = exchange(h, {0x05, 0x01, 0x20, 0x00, 0x00, 0x5E});
        usb_close(h);
        EXPECT_EQ(ack ? ack->size() : 0u, 1u);
        EXPECT_EQ(klovsim::Bus::instance().probe(0).eeprom()[0x20], 0x5E);
        // The probe at index 1 restarts under the next number: this process then finds it at
        // index 0.
        h = openProbe(1);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(write(h, {0xFF}), 1);
        usb_close(h);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(serialsByIndex(), (Serials{first[1], first[0]}));
        ASSERT_EQ(namesByIndex(), (newestFirst ? Serials{"004", "003"} : Serials{"004", "002"}));
    } else {
        // The next process: the same probes under the same numbers, the restarted one the
        // newest device on the bus.
        EXPECT_EQ(serialsByIndex(), (Serials{"04124077", "04124078"}));
        EXPECT_EQ(namesByIndex(), (newestFirst ? Serials{"004", "003"} : Serials{"002", "004"}));
        EXPECT_EQ(klovsim::Bus::instance().probe(0).eeprom()[0x20], 0x5E);
    }
}

}  // namespace
