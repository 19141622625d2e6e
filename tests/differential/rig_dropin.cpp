// The drop-in libusb's bus for the differential suite. Its clock is real, as the other bus's
// is, so that a read can wait while another thread unplugs its probe.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "klovsim/sim.h"
#include "rig.h"

namespace differential {

const char* const kRigName = "drop-in";
const bool kComparesWithDropIn = false;

namespace {

class DropInRig final : public Rig {
  public:
    explicit DropInRig(klovsim::DirectoryOrder order) : order_(order) {
        bus().reset();
        bus().setDirectoryOrder(order);
        klovsim::Clock::setVirtual(false);
    }
    ~DropInRig() override {
        bus().reset();
        std::remove(statePath_.c_str());
    }

    klovsim::DirectoryOrder order() override { return order_; }
    int addProbe(const klovsim::ProbeConfig& config) override {
        return bus().addProbe(config).id();
    }
    void addForeignDevice(std::uint16_t vendorId, std::uint16_t productId) override {
        bus().addForeignDevice(vendorId, productId);
    }
    void unplug(int probe) override { bus().probe(probe).unplug(); }
    void plug(int probe) override { bus().probe(probe).plug(); }
    bool waitForNode(int probe) override {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!bus().probe(probe).onBus()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    // A fresh process finds the bus this one leaves in the state file.
    Transcript freshProcess() override {
        if (!bus().saveState(statePath_)) {
            return {"(state file not written)"};
        }
        return RunChild(Self(), {"--list"},
                        {"KLOVSIM_STATE=" + statePath_, "KLOVSIM_PROBES=0",
                         std::string("KLOVSIM_ORDER=") +
                             (order_ == klovsim::DirectoryOrder::NewestFirst ? "newest-first"
                                                                             : "oldest-first")},
                        {});
    }
    std::vector<Transfer> transfers() override {
        std::vector<Transfer> out;
        for (const klovsim::LogEntry& e : bus().log()) {
            if (e.probe < 0 || e.result < 0) {
                continue;
            }
            if (e.call == "usb_bulk_write") {
                out.push_back({e.probe, true, e.data});
            } else if (e.call == "usb_bulk_read" && !e.data.empty()) {
                out.push_back({e.probe, false, e.data});
            }
        }
        return out;
    }
    std::size_t violations(int probe) override {
        return bus().probe(probe).protocolViolations().size() +
               bus().probe(probe).writeViolations().size();
    }

  private:
    static klovsim::Bus& bus() { return klovsim::Bus::instance(); }
    klovsim::DirectoryOrder order_;
    std::string statePath_ = "/tmp/klov-differential-" + std::to_string(::getpid()) + ".state";
};

}  // namespace

std::unique_ptr<Rig> MakeRig(klovsim::DirectoryOrder order) {
    return std::make_unique<DropInRig>(order);
}

}  // namespace differential
