// The state file and the configuration from the environment.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sim_fixture.h"

namespace {

using namespace simtest;
using klovsim::Mode;
using klovsim::ProbeConfig;

class SimState : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        path_ = (std::filesystem::temp_directory_path() /
                 ("klovsim-state-" + std::to_string(::getpid()) + ".txt"))
                    .string();
    }
    void TearDown() override {
        std::remove(path_.c_str());
        SimTest::TearDown();
    }
    std::string path_;
};

TEST_F(SimState, RoundTripKeepsMemoriesAndMode) {
    ProbeConfig second;
    second.serial = "04124012";
    bus().addProbe();
    klovsim::Probe p = bus().addProbe(second, 1);
    auto flash = p.flash();
    flash[0x2345] = 0x42;
    p.setFlash(flash);
    usb_dev_handle* h = openProbe(1);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(exchange(h, {0x05, 0x01, 0x10, 0x00, 0x00, 0x77}, 1));  // EEPROM byte 0x10
    ASSERT_TRUE(exchange(h, {0x05, 0x01, 0xFF, 0x00, 0x00, 0x3A}, 1));  // boot flag
    ASSERT_EQ(write(h, {0xFF}), 1);
    usb_close(h);
    klovsim::Clock::advance(std::chrono::seconds(2));
    ASSERT_EQ(p.mode(), Mode::Bootloader);
    ASSERT_TRUE(bus().saveState(path_));

    bus().reset();
    klovsim::Clock::setVirtual(true);
    bus().addProbe();
    ASSERT_TRUE(bus().loadState(path_));
    ASSERT_EQ(bus().probeCount(), 2);  // the second was created from the file
    klovsim::Probe q = bus().probe(1);
    EXPECT_EQ(q.flash(), flash);
    EXPECT_EQ(q.eeprom()[0x10], 0x77);
    EXPECT_EQ(q.bootFlag(), 0x3A);
    EXPECT_EQ(q.mode(), Mode::Bootloader);
    EXPECT_TRUE(q.onBus());
    EXPECT_EQ(bus().probe(0).mode(), Mode::Application);
    // It sits on bus 1 again: behind probe 0 in the walk.
    usb_dev_handle* again = openProbe(1);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(usb_device(again)->bus->dirname, std::string("002"));
    usb_close(again);
}

TEST_F(SimState, BadFilesAreRefusedAndChangeNothing) {
    klovsim::Probe p = bus().addProbe();
    ASSERT_TRUE(bus().saveState(path_));
    std::string good;
    {
        std::ifstream in(path_);
        good.assign(std::istreambuf_iterator<char>(in), {});
    }
    const auto before = p.flash();
    const std::vector<std::string> bad{
        "",
        "klovsim-state 2\nprobes 0\n",
        good.substr(0, good.size() / 2),  // cut short
        good + "junk\n",                  // trailing garbage
        std::string(good).replace(good.find("application"), 11, "sideways   "),
    };
    for (const std::string& text : bad) {
        std::ofstream(path_, std::ios::trunc) << text;
        EXPECT_FALSE(bus().loadState(path_)) << text.substr(0, 40);
    }
    EXPECT_EQ(p.flash(), before);
    EXPECT_FALSE(bus().loadState(path_ + ".missing"));
    EXPECT_FALSE(bus().saveState("/nonexistent-dir/state.txt"));
}

TEST_F(SimState, EnvironmentConfiguration) {
    ::setenv("KLOVSIM_PROBES", "2", 1);
    ::setenv("KLOVSIM_MODE", "bootloader", 1);
    ::setenv("KLOVSIM_SERIAL", "04124019", 1);
    ::setenv("KLOVSIM_RESET_MS", "250", 1);
    ::setenv("KLOVSIM_LATENCY_US", "oops", 1);
    ::setenv("KLOVSIM_STATE", path_.c_str(), 1);
    ::testing::internal::CaptureStderr();
    klovsim::configureFromEnvironment();
    const std::string err = ::testing::internal::GetCapturedStderr();
    for (const char* v : {"KLOVSIM_PROBES", "KLOVSIM_MODE", "KLOVSIM_SERIAL", "KLOVSIM_RESET_MS",
                          "KLOVSIM_LATENCY_US", "KLOVSIM_STATE"}) {
        ::unsetenv(v);
    }
    EXPECT_NE(err.find("KLOVSIM_LATENCY_US"), std::string::npos) << err;
    ASSERT_EQ(bus().probeCount(), 2);
    EXPECT_EQ(bus().probe(0).mode(), Mode::Bootloader);
    const auto serialOf = [](const klovsim::Probe& p) {
        const auto f = p.flash();
        return std::string(f.begin() + klovsim::kIdentitySerial,
                           f.begin() + klovsim::kIdentitySerial + 8);
    };
    EXPECT_EQ(serialOf(bus().probe(0)), "04124019");
    EXPECT_EQ(serialOf(bus().probe(1)), "04124020");

    // The reset delay came from the environment, and every close writes the state file.
    klovsim::Clock::setVirtual(true);
    usb_dev_handle* h = openProbe();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(write(h, {0xFF}), 1);
    usb_close(h);
    EXPECT_TRUE(std::filesystem::exists(path_));
    klovsim::Clock::advance(std::chrono::milliseconds(250));
    EXPECT_TRUE(bus().probe(0).onBus());
}

}  // namespace
