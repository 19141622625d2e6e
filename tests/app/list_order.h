// The device order of the legacy libusb 0.1, laid over the simulator's.
//
// libusb 0.1 keeps one device list per bus between enumerations: devices that vanished are
// dropped and newly found ones are put at the front, while the first listing follows the
// order the device folder yields (newest first where that was measured, oldest first on
// other kernels). So a probe that restarts comes back at index 0 and every probe before it
// moves one up. The simulator lists probes in the order they were added, whatever happens to
// them. This layer keeps libusb's list over the simulator's probes (all on one bus, no foreign
// devices) and turns each device index into the simulator's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "klovsim/sim.h"
#include "library_binding.h"

namespace apptest {

enum class ListOrder {
    Stable,       // the simulator's own order: added first, listed first, for ever
    NewestFirst,  // libusb 0.1 over a folder that yields the newest device first
    OldestFirst,  // libusb 0.1 over a folder that yields the oldest device first
};

inline const char* Name(ListOrder order) {
    switch (order) {
        case ListOrder::Stable:
            return "stable";
        case ListOrder::NewestFirst:
            return "newest first";
        case ListOrder::OldestFirst:
            return "oldest first";
    }
    return "?";
}

class ListOrderApi final : public mirovane::ArdellixApi {
  public:
    ListOrderApi(mirovane::ArdellixApi& next, ListOrder order) : next_(next), order_(order) {}

    ScaHandle OpenSCA(std::int32_t i) override { return next_.OpenSCA(Underlying(i)); }
    ScaHandle OpenSCABootloader(std::int32_t i) override {
        return next_.OpenSCABootloader(Underlying(i));
    }
    std::int32_t CloseSCA(ScaHandle h) override { return next_.CloseSCA(h); }
    std::int32_t ReadSerialNo(ScaHandle h, char* s) override { return next_.ReadSerialNo(h, s); }
    std::int32_t ReadDeviceInfo(ScaHandle h, std::int32_t sel, char* t) override {
        return next_.ReadDeviceInfo(h, sel, t);
    }
    std::int32_t SetBootloaderFlag(ScaHandle h, std::int32_t b) override {
        return next_.SetBootloaderFlag(h, b);
    }
    std::int32_t ResetController(ScaHandle h) override { return next_.ResetController(h); }
    std::int32_t EraseFlashBlock(ScaHandle h, std::uint32_t a) override {
        return next_.EraseFlashBlock(h, a);
    }
    std::int32_t WriteFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                            std::int32_t n) override {
        return next_.WriteFlash(h, a, d, n);
    }
    std::int32_t VerifyFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                             std::int32_t n) override {
        return next_.VerifyFlash(h, a, d, n);
    }

    // The probe id at device index `i` now; -1 when there is none.
    int ProbeAt(std::int32_t i) {
        std::lock_guard<std::mutex> lk(m_);
        Refresh();
        return i >= 0 && static_cast<std::size_t>(i) < list_.size()
                   ? list_[static_cast<std::size_t>(i)]
                   : -1;
    }

  private:
    void Refresh() {
        klovsim::Bus& bus = klovsim::Bus::instance();
        std::vector<int> present;
        for (int id = 0; id < bus.probeCount(); ++id) {
            if (bus.probe(id).onBus()) {
                present.push_back(id);
            }
        }
        std::erase_if(list_, [&](int id) {
            return std::find(present.begin(), present.end(), id) == present.end();
        });
        std::vector<int> arrived;
        for (int id : present) {
            if (std::find(list_.begin(), list_.end(), id) == list_.end()) {
                arrived.push_back(id);
            }
        }
        if (order_ == ListOrder::NewestFirst) {
            std::reverse(arrived.begin(), arrived.end());
        }
        if (order_ == ListOrder::Stable) {
            list_ = present;
        } else {
            // The first listing in the folder's order; later arrivals at the front.
            list_.insert(list_.begin(), arrived.begin(), arrived.end());
        }
        present_ = present;
    }

    std::int32_t Underlying(std::int32_t i) {
        std::lock_guard<std::mutex> lk(m_);
        Refresh();
        if (i < 0 || static_cast<std::size_t>(i) >= list_.size()) {
            return 1000 + i;  // past every device
        }
        // The simulator lists the probes on the bus in the order they were added.
        const int id = list_[static_cast<std::size_t>(i)];
        return static_cast<std::int32_t>(std::find(present_.begin(), present_.end(), id) -
                                         present_.begin());
    }

    mirovane::ArdellixApi& next_;
    ListOrder order_;
    std::mutex m_;
    std::vector<int> list_;
    std::vector<int> present_;
};

}  // namespace apptest
