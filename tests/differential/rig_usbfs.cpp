// The real libusb 0.1 over the usbfs adapter for the differential suite. The process runs under
// umockdev-wrapper; a fresh process is this executable again, under the same testbed.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "klovsim/usbfs.h"
#include "rig.h"

namespace differential {

const char* const kRigName = "real libusb 0.1 over usbfs";
const bool kComparesWithDropIn = true;

namespace {

using klovsim::usbfs::UsbfsBus;

// The order the file system of the testbed's directory yields entries in, found by making
// three files in order in a directory beside it.
std::optional<klovsim::DirectoryOrder> OrderOfTheTestbedsFileSystem() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/klov-order-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        return std::nullopt;
    }
    const std::vector<std::string> made{"002", "003", "004"};
    for (const std::string& name : made) {
        std::fclose(std::fopen((dir + "/" + name).c_str(), "w"));
    }
    std::vector<std::string> listed;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') {
                listed.push_back(e->d_name);
            }
        }
        closedir(d);
    }
    for (const std::string& name : made) {
        std::remove((dir + "/" + name).c_str());
    }
    rmdir(dir.c_str());
    if (listed == made) {
        return klovsim::DirectoryOrder::OldestFirst;
    }
    if (listed == std::vector<std::string>(made.rbegin(), made.rend())) {
        return klovsim::DirectoryOrder::NewestFirst;
    }
    return std::nullopt;
}

class UsbfsRig final : public Rig {
  public:
    klovsim::DirectoryOrder order() override {
        static const std::optional<klovsim::DirectoryOrder> order = OrderOfTheTestbedsFileSystem();
        EXPECT_TRUE(order.has_value()) << "the testbed's directory (under TMPDIR) yields its "
                                          "entries in neither order; put TMPDIR on a tmpfs";
        return order.value_or(klovsim::DirectoryOrder::NewestFirst);
    }
    int addProbe(const klovsim::ProbeConfig& config) override { return bus_.addProbe(config); }
    void addForeignDevice(std::uint16_t vendorId, std::uint16_t productId) override {
        bus_.addForeignDevice(vendorId, productId);
    }
    void unplug(int probe) override { bus_.unplug(probe); }
    void plug(int probe) override { bus_.plug(probe); }
    bool waitForNode(int probe) override {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (bus_.devnode(probe).empty()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    Transcript freshProcess() override { return RunChild(Self(), {"--list"}, {}, {}); }
    std::vector<Transfer> transfers() override {
        std::vector<Transfer> out;
        for (const UsbfsBus::Transfer& t : bus_.transfers()) {
            if (!t.data.empty()) {
                out.push_back({t.probe, t.out, t.data});
            }
        }
        return out;
    }
    std::size_t violations(int probe) override {
        return bus_.protocolViolations(probe).size() + bus_.writeViolations(probe).size();
    }

  private:
    UsbfsBus bus_;
};

}  // namespace

std::unique_ptr<Rig> MakeRig(klovsim::DirectoryOrder) {
    return std::make_unique<UsbfsRig>();
}

}  // namespace differential
