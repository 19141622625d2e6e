// Connections opened and closed from two threads at once over the real libusb 0.1, while a
// third probe restarts again and again. libusb 0.1 keeps its bus and device lists in globals
// that every listing rewrites: a device that left the bus is freed, a new one put in. Two
// listings at once, or a listing while another thread opens a device it found, read freed
// memory. CTest runs this under valgrind (and under AddressSanitizer in that build), which
// report it. Runs under umockdev-wrapper; time is real.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "ardellix.h"
#include "klovsim/usbfs.h"

namespace {

using klovsim::Mode;
using klovsim::ProbeConfig;
using klovsim::usbfs::UsbfsBus;
using namespace std::chrono_literals;

ProbeConfig Config(const std::string& serial, std::chrono::milliseconds resetDelay) {
    ProbeConfig c;
    c.mode = Mode::Application;
    c.serial = serial;
    c.resetDelay = resetDelay;
    return c;
}

// Rounds of the run: each restart of the third probe comes after both threads have had a
// connection since the previous one, however slowly they run (under valgrind an opening takes
// a second or more). Every restart puts the probe under a new device number, and the numbers
// of one process are not reused, so the rounds are few.
constexpr int kRounds = 6;
// What a thread that can never open gets before the run gives up on it.
constexpr auto kPatience = 300s;

TEST(UsbfsConcurrency, TwoThreadsOpenAndCloseWhileAProbeRestarts) {
    UsbfsBus bus;
    bus.addProbe(Config("04124008", 300ms));
    bus.addProbe(Config("04124009", 300ms));
    const int restarting = bus.addProbe(Config("04124010", 20ms));
    const std::set<std::string> serials{"04124008", "04124009", "04124010"};

    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    std::atomic<int> opened[2] = {0, 0};
    std::atomic<bool> done{false};
    std::atomic<int> restarts{0};
    std::thread restarter([&] {
        while (restarts.load() < kRounds) {
            const int seen[2] = {opened[0].load(), opened[1].load()};
            while ((opened[0].load() == seen[0] || opened[1].load() == seen[1] ||
                    bus.devnode(restarting).empty()) &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
            bus.restart(restarting);
            ++restarts;
        }
        done = true;
    });

    std::atomic<int> unknownSerial{0};
    auto worker = [&](int index) {
        while ((!done.load() || opened[index].load() < kRounds) &&
               std::chrono::steady_clock::now() < deadline) {
            const ScaHandle h = OpenSCA(index);
            if (h == 0) {
                continue;  // the probe at that index may be restarting
            }
            char text[10] = {};
            // A read may fail when the probe restarts under the connection; one that succeeds
            // must come from one of the probes.
            if (ReadSerialNo(h, text) == 1 && serials.count(std::string(text, 8)) == 0) {
                ++unknownSerial;
            }
            EXPECT_EQ(CloseSCA(h), 1);
            ++opened[index];
        }
    };
    std::thread first(worker, 0);
    std::thread second(worker, 1);
    first.join();
    second.join();
    restarter.join();

    EXPECT_EQ(restarts.load(), kRounds);
    EXPECT_GE(opened[0].load(), kRounds);
    EXPECT_GE(opened[1].load(), kRounds);
    EXPECT_EQ(unknownSerial.load(), 0);
    EXPECT_EQ(bus.counters().claimsHeld, 0);
    for (int probe = 0; probe < 3; ++probe) {
        EXPECT_TRUE(bus.protocolViolations(probe).empty()) << "probe " << probe;
    }
}

}  // namespace
