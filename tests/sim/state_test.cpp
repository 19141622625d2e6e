// The state file and the configuration from the environment.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

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

// Each device as this process lists it: bus and file name, product id, and a probe's serial.
void listDevices(std::vector<std::string>& out) {
    out.clear();
    usb_find_busses();
    usb_find_devices();
    for (usb_bus* b = usb_get_busses(); b != nullptr; b = b->next) {
        for (struct usb_device* d = b->devices; d != nullptr; d = d->next) {
            std::string item = std::string(b->dirname) + "/" + d->filename + " " +
                               std::to_string(d->descriptor.idProduct);
            if (d->descriptor.idProduct == klovsim::kProbeProductId) {
                usb_dev_handle* h = usb_open(d);
                ASSERT_NE(h, nullptr) << item;
                const auto reply = exchange(h, {0xE0});
                usb_close(h);
                ASSERT_TRUE(reply) << item;
                ASSERT_EQ(reply->size(), 10u) << item;
                item += " " + std::string(reply->begin() + 1, reply->begin() + 9);
            }
            out.push_back(item);
        }
    }
}

// The file keeps the bus as the kernel would between processes: the devices with their
// numbers and the order they appeared in. A process that loads it lists them in directory order.
class SimStateOrdered : public Ordered<SimState> {};
INSTANTIATE_TEST_SUITE_P(, SimStateOrdered, kBothOrders, orderName);

TEST_P(SimStateOrdered, DevicesComeBackUnderTheirNumbersInTheirOrder) {
    ProbeConfig a, b;
    a.serial = "04124031";
    b.serial = "04124032";
    bus().addForeignDevice(0x1D6B, 0x0002);
    klovsim::Probe pa = bus().addProbe(a);
    bus().addProbe(b);
    bus().addForeignDevice(0x046D, 0xC077, 1);
    pa.reset();
    klovsim::Clock::advance(std::chrono::seconds(2));  // back as the newest device
    ASSERT_TRUE(pa.onBus());
    // This process's first listing of these devices: in directory order, as a fresh one's.
    std::vector<std::string> before;
    ASSERT_NO_FATAL_FAILURE(listDevices(before));
    ASSERT_EQ(before.size(), 4u);
    // Bus 001: the foreign device, then b, then a (restarted, so the newest); bus 002 after it.
    ASSERT_NE(before[newestFirst() ? 0 : 2].find(" 04124031"), std::string::npos);
    ASSERT_NE(before[1].find(" 04124032"), std::string::npos);
    ASSERT_NE(before[newestFirst() ? 2 : 0].find(" 2"), std::string::npos);
    EXPECT_NE(before[3].find("002/"), std::string::npos);
    ASSERT_TRUE(bus().saveState(path_));

    // A process starting now already has probes of its own when it reads the file, and they
    // may sit under numbers the file gives other devices: here probe 0 under the number of the
    // first foreign device. A copy of the file that puts it there is loaded first.
    std::string text;
    {
        std::ifstream in(path_);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex("\\ndevice 0 1d6b 0002 (\\d+) ")));
    std::string own =
        std::regex_replace(text, std::regex("(\\nprobe 0 0 \\w+) \\d+"), "$1 " + m[1].str());
    ASSERT_NE(own.find("\nprobe 0 0 application " + m[1].str() + " "), std::string::npos);
    own = own.substr(0, own.find("devices ")) + "devices 0\n";
    const std::string ownPath = path_ + ".own";
    std::ofstream(ownPath, std::ios::trunc) << own;

    bus().reset();
    bus().setDirectoryOrder(GetParam());
    klovsim::Clock::setVirtual(true);
    std::vector<std::string> after;
    ASSERT_NO_FATAL_FAILURE(listDevices(after));
    ASSERT_EQ(after, std::vector<std::string>{});
    const bool ownLoaded = bus().loadState(ownPath);
    std::remove(ownPath.c_str());
    ASSERT_TRUE(ownLoaded);
    ASSERT_TRUE(bus().loadState(path_));
    ASSERT_NO_FATAL_FAILURE(listDevices(after));
    EXPECT_EQ(after, before);

    // Saved again and loaded into a new bus, nothing changes: numbers are kept.
    ASSERT_TRUE(bus().saveState(path_));
    bus().reset();
    bus().setDirectoryOrder(GetParam());
    ASSERT_NO_FATAL_FAILURE(listDevices(after));
    ASSERT_EQ(after, std::vector<std::string>{});
    ASSERT_TRUE(bus().loadState(path_));
    ASSERT_NO_FATAL_FAILURE(listDevices(after));
    EXPECT_EQ(after, before);
}

TEST_F(SimState, AFileOfTheFirstVersionStillLoads) {
    klovsim::Probe p = bus().addProbe();
    auto flash = p.flash();
    flash[0x2345] = 0x42;
    p.setFlash(flash);
    ASSERT_TRUE(bus().saveState(path_));
    std::string text;
    {
        std::ifstream in(path_);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    // Version 1: no device numbers, appearances or foreign devices.
    text.replace(text.find("state 2"), 7, "state 1");
    const std::size_t line = text.find("probe 0 0 application");
    ASSERT_NE(line, std::string::npos);
    text.erase(line + 21, text.find('\n', line) - line - 21);
    text.erase(text.find("devices"));
    std::ofstream(path_, std::ios::trunc) << text;

    bus().reset();
    klovsim::Clock::setVirtual(true);
    ASSERT_TRUE(bus().loadState(path_)) << text.substr(0, 60);
    EXPECT_EQ(bus().probe(0).flash(), flash);
    EXPECT_TRUE(bus().probe(0).onBus());
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
    // A probe on the bus without a device number.
    std::string noDevnum = good;
    const std::size_t number = noDevnum.find("application ") + 12;
    noDevnum.replace(number, noDevnum.find(' ', number) - number, "0");
    const std::vector<std::string> bad{
        "",
        "klovsim-state 2\nprobes 0\n",
        good.substr(0, good.size() / 2),  // cut short
        good + "junk\n",                  // trailing garbage
        std::string(good).replace(good.find("application"), 11, "sideways   "),
        std::string(good).replace(good.find("devices 0"), 9, "devices 1"),  // one missing
        good + "device 0 zz 0002 5 9\n",                                    // not a number
        noDevnum,
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
    ::setenv("KLOVSIM_ORDER", "newest-first,oldest-first", 1);
    ::testing::internal::CaptureStderr();
    klovsim::configureFromEnvironment();
    const std::string err = ::testing::internal::GetCapturedStderr();
    for (const char* v : {"KLOVSIM_PROBES", "KLOVSIM_MODE", "KLOVSIM_SERIAL", "KLOVSIM_RESET_MS",
                          "KLOVSIM_LATENCY_US", "KLOVSIM_STATE", "KLOVSIM_ORDER"}) {
        ::unsetenv(v);
    }
    EXPECT_NE(err.find("KLOVSIM_LATENCY_US"), std::string::npos) << err;
    EXPECT_EQ(err.find("KLOVSIM_ORDER"), std::string::npos) << err;
    EXPECT_EQ(bus().directoryOrder(0), klovsim::DirectoryOrder::NewestFirst);
    EXPECT_EQ(bus().directoryOrder(1), klovsim::DirectoryOrder::OldestFirst);
    EXPECT_EQ(bus().directoryOrder(7), klovsim::DirectoryOrder::OldestFirst);
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
    EXPECT_EQ(bus().probe(0).onBus() + bus().probe(1).onBus(), 1);
    klovsim::Clock::advance(std::chrono::milliseconds(249));
    EXPECT_EQ(bus().probe(0).onBus() + bus().probe(1).onBus(), 1);
    klovsim::Clock::advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(bus().probe(0).onBus() && bus().probe(1).onBus());
}

TEST_F(SimState, AnUnknownDirectoryOrderIsReportedAndTheDefaultKept) {
    ::setenv("KLOVSIM_ORDER", "oldest-first,sideways", 1);
    ::testing::internal::CaptureStderr();
    klovsim::configureFromEnvironment();
    const std::string err = ::testing::internal::GetCapturedStderr();
    ::unsetenv("KLOVSIM_ORDER");
    EXPECT_NE(err.find("KLOVSIM_ORDER"), std::string::npos) << err;
    EXPECT_EQ(bus().directoryOrder(0), klovsim::DirectoryOrder::NewestFirst);
    EXPECT_EQ(bus().directoryOrder(1), klovsim::DirectoryOrder::NewestFirst);
}

}  // namespace
