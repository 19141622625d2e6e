// Shared fixture of the simulator's tests: a fresh bus on a virtual clock, and small helpers that
// talk to it through the libusb 0.1 API the way a careful host does.
#pragma once

#include <gtest/gtest.h>
#include <usb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "klovsim/sim.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

// The n-th device on the bus with the probe's identity, after refreshing the lists.
inline struct usb_device* findProbe(int index = 0) {
    usb_find_busses();
    usb_find_devices();
    for (usb_bus* b = usb_get_busses(); b != nullptr; b = b->next) {
        for (struct usb_device* d = b->devices; d != nullptr; d = d->next) {
            if (d->descriptor.idVendor == klovsim::kProbeVendorId &&
                d->descriptor.idProduct == klovsim::kProbeProductId && index-- == 0) {
                return d;
            }
        }
    }
    return nullptr;
}

inline usb_dev_handle* openProbe(int index = 0) {
    struct usb_device* d = findProbe(index);
    if (d == nullptr) {
        return nullptr;
    }
    usb_dev_handle* h = usb_open(d);
    if (h != nullptr && usb_set_configuration(h, 1) < 0) {
        usb_close(h);
        return nullptr;
    }
    return h;
}

// Claim, transfer, release. Returns the transfer's result, or -1000 when the claim failed.
inline int write(usb_dev_handle* h, const Bytes& request, int timeout = 100) {
    if (usb_claim_interface(h, 0) < 0) {
        return -1000;
    }
    const int rc = usb_bulk_write(h, 0x01, reinterpret_cast<const char*>(request.data()),
                                  static_cast<int>(request.size()), timeout);
    usb_release_interface(h, 0);
    return rc;
}

// Reads one reply: the bytes, or nothing when the read failed (`rc` tells how).
inline std::optional<Bytes> read(usb_dev_handle* h, int size = 64, int* rc = nullptr,
                                 int timeout = 100) {
    Bytes buf(static_cast<std::size_t>(size));
    if (usb_claim_interface(h, 0) < 0) {
        if (rc != nullptr) {
            *rc = -1000;
        }
        return std::nullopt;
    }
    const int n = usb_bulk_read(h, 0x81, reinterpret_cast<char*>(buf.data()), size, timeout);
    usb_release_interface(h, 0);
    if (rc != nullptr) {
        *rc = n;
    }
    if (n < 0) {
        return std::nullopt;
    }
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

// One request and, when the probe answers, its reply.
inline std::optional<Bytes> exchange(usb_dev_handle* h, const Bytes& request, int size = 64) {
    if (write(h, request) != static_cast<int>(request.size())) {
        return std::nullopt;
    }
    return read(h, size);
}

// The serial number the probe behind `h` reports, or "?" when it gives no such reply.
inline std::string serialOf(usb_dev_handle* h) {
    const auto reply = exchange(h, {0xE0});
    return reply && reply->size() == 10 ? std::string(reply->begin() + 1, reply->begin() + 9) : "?";
}

// Serial numbers of the probes by index, as a host that refreshes the lists sees them.
inline std::vector<std::string> serialsByIndex() {
    std::vector<std::string> out;
    for (int i = 0;; ++i) {
        usb_dev_handle* h = openProbe(i);
        if (h == nullptr) {
            return out;
        }
        out.push_back(serialOf(h));
        usb_close(h);
    }
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus().reset();
        bus().setDirectoryOrder(order());
        klovsim::Clock::setVirtual(true);
    }
    void TearDown() override { bus().reset(); }
    static klovsim::Bus& bus() { return klovsim::Bus::instance(); }
    virtual klovsim::DirectoryOrder order() const { return klovsim::DirectoryOrder::NewestFirst; }
};

// Tests with several devices on a bus run under both directory orders.
const auto kBothOrders =
    ::testing::Values(klovsim::DirectoryOrder::NewestFirst, klovsim::DirectoryOrder::OldestFirst);

inline std::string orderName(const ::testing::TestParamInfo<klovsim::DirectoryOrder>& info) {
    return info.param == klovsim::DirectoryOrder::NewestFirst ? "NewestFirst" : "OldestFirst";
}

// A fixture run once per directory order (instantiate with kBothOrders and orderName).
template <typename Base = SimTest>
class Ordered : public Base, public ::testing::WithParamInterface<klovsim::DirectoryOrder> {
  protected:
    klovsim::DirectoryOrder order() const override { return this->GetParam(); }
    bool newestFirst() const { return this->GetParam() == klovsim::DirectoryOrder::NewestFirst; }
};

}  // namespace simtest
