// The shipping library facing an arbitrary probe. A tiny libusb 0.1 linked into the fuzzer
// takes every answer from the fuzzer's bytes: which devices are on the bus, whether open,
// configuration, claim and close succeed, how much of a write goes out, and every reply
// (its length, its bytes, or an error). The same bytes pick a series of calls over all 29
// exports, with handles that are live, closed, 0 or made up, and outputs that may be null.
//
// What must hold: every export answers 0 or 1 (a handle or 0 for the two opens); a failed
// call leaves its outputs as they were; text outputs stay inside their documented sizes (the
// buffers are exactly that big, so AddressSanitizer sees one byte more); a handle that is not
// live causes no USB call; libusb never gets a handle it closed, never reads into more than
// it asked for, and holds no claim after a call returns; every handle is closed once the
// connections are.
#include <usb.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "ardellix.h"

namespace {

void Require(bool held, const char* what) {
    if (!held) {
        std::fprintf(stderr, "library_fuzz: %s\n", what);
        std::abort();
    }
}

// ----- the fuzzer's libusb ------------------------------------------------------------------

struct FakeUsb {
    FuzzedDataProvider* in = nullptr;
    usb_bus bus{};
    std::vector<std::unique_ptr<struct usb_device>> devices;
    std::set<usb_dev_handle*> live;
    std::set<usb_dev_handle*> claimed;
    long calls = 0;

    void Build() {
        bus = usb_bus{};
        devices.clear();
        const int count = in->ConsumeIntegralInRange<int>(0, 3);
        struct usb_device* prev = nullptr;
        for (int i = 0; i < count; ++i) {
            auto d = std::make_unique<struct usb_device>();
            std::memset(d.get(), 0, sizeof(struct usb_device));
            const bool probe = in->ConsumeBool() || i == 0;
            d->descriptor.idVendor = probe ? 0x04D8 : in->ConsumeIntegral<std::uint16_t>();
            d->descriptor.idProduct = probe ? 0xF85D : in->ConsumeIntegral<std::uint16_t>();
            d->bus = &bus;
            if (prev != nullptr) {
                prev->next = d.get();
                d->prev = prev;
            } else {
                bus.devices = d.get();
            }
            prev = d.get();
            devices.push_back(std::move(d));
        }
    }
    // An answer for a call that may fail: 0 or a negative errno.
    int Status() { return in->ConsumeIntegralInRange<int>(0, 7) == 0 ? -EIO : 0; }
    void Use(usb_dev_handle* h) {
        ++calls;
        Require(live.count(h) != 0, "libusb got a handle that is not open");
    }
};

FakeUsb usb;

}  // namespace

struct usb_bus* usb_busses = nullptr;

extern "C" {

void usb_init(void) {}
int usb_find_busses(void) {
    ++usb.calls;
    return 0;
}
int usb_find_devices(void) {
    ++usb.calls;
    return 0;
}
struct usb_bus* usb_get_busses(void) {
    ++usb.calls;
    return &usb.bus;
}
usb_dev_handle* usb_open(struct usb_device* dev) {
    ++usb.calls;
    Require(dev != nullptr, "usb_open without a device");
    if (usb.Status() != 0) {
        return nullptr;
    }
    auto* h = reinterpret_cast<usb_dev_handle*>(std::malloc(16));
    usb.live.insert(h);
    return h;
}
int usb_close(usb_dev_handle* h) {
    usb.Use(h);
    // libusb 0.1 frees the handle even when the close fails.
    usb.live.erase(h);
    usb.claimed.erase(h);
    std::free(h);
    return usb.Status();
}
int usb_set_configuration(usb_dev_handle* h, int) {
    usb.Use(h);
    return usb.Status();
}
int usb_claim_interface(usb_dev_handle* h, int) {
    usb.Use(h);
    const int rc = usb.Status();
    if (rc == 0) {
        usb.claimed.insert(h);
    }
    return rc;
}
int usb_release_interface(usb_dev_handle* h, int) {
    usb.Use(h);
    usb.claimed.erase(h);
    return usb.Status();
}
int usb_bulk_write(usb_dev_handle* h, int ep, const char* bytes, int size, int) {
    usb.Use(h);
    Require(ep == 0x01, "write on another endpoint than 0x01");
    Require(size >= 0 && (size == 0 || bytes != nullptr), "bad write buffer");
    volatile char sink = 0;
    for (int i = 0; i < size; ++i) {
        sink = static_cast<char>(sink ^ bytes[i]);  // every byte must be readable
    }
    switch (usb.in->ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
            return -ETIMEDOUT;
        case 1:
            return -EIO;
        case 2:
            return std::max(size - 1, 0);
        default:
            return size;
    }
}
int usb_bulk_read(usb_dev_handle* h, int ep, char* bytes, int size, int) {
    usb.Use(h);
    Require(ep == 0x81, "read on another endpoint than 0x81");
    Require(size >= 0 && (size == 0 || bytes != nullptr), "bad read buffer");
    const int pick = usb.in->ConsumeIntegralInRange<int>(0, 9);
    if (pick == 0) {
        return -ETIMEDOUT;
    }
    if (pick == 1) {
        return -EPIPE;
    }
    const int n = usb.in->ConsumeIntegralInRange<int>(0, size);
    // The buffer must be as large as asked: fill every byte the call may see.
    for (int i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>(usb.in->ConsumeIntegral<std::uint8_t>());
    }
    return n;
}

}  // extern "C"

namespace {

constexpr std::int32_t kCanary = 0x5A5A5A5A;

ScaHandle PickHandle(FuzzedDataProvider& in, const std::vector<ScaHandle>& seen) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
            return 0;
        case 1:
            return in.ConsumeIntegral<ScaHandle>();
        default:
            return seen.empty() ? 0
                                : seen[in.ConsumeIntegralInRange<std::size_t>(0, seen.size() - 1)];
    }
}

// A text read into a buffer of exactly `size` bytes, pre-filled with a pattern.
void TextRead(FuzzedDataProvider& in, ScaHandle h, bool live, int which) {
    const std::size_t size = which == 0 ? 9 : 30;
    std::unique_ptr<char[]> buffer(new char[size]);
    std::memset(buffer.get(), 0xA5, size);
    const long before = usb.calls;
    const std::int32_t selector = in.ConsumeIntegral<std::int32_t>();
    const std::int32_t rc =
        which == 0 ? ReadSerialNo(h, buffer.get()) : ReadDeviceInfo(h, selector, buffer.get());
    Require(rc == 0 || rc == 1, "a result other than 0 or 1");
    Require(live || (rc == 0 && usb.calls == before), "a dead handle reached the probe");
    if (rc == 0) {
        for (std::size_t i = 0; i < size; ++i) {
            Require(buffer[i] == static_cast<char>(0xA5), "a failed read changed its buffer");
        }
    }
}

void ValueRead(FuzzedDataProvider& in, ScaHandle h, bool live,
               std::int32_t(ARDELLIX_CALL* read)(ScaHandle, std::int32_t*), std::int32_t top) {
    std::int32_t value = kCanary;
    const bool null = in.ConsumeIntegralInRange<int>(0, 4) == 0;
    const long before = usb.calls;
    const std::int32_t rc = read(h, null ? nullptr : &value);
    Require(rc == 0 || rc == 1, "a result other than 0 or 1");
    Require(live || (rc == 0 && usb.calls == before), "a dead handle reached the probe");
    if (!null) {
        Require(rc == 1 ? (value >= 0 && value <= top) : value == kCanary,
                "a read value out of range, or changed by a failed read");
    }
}

void Flash(FuzzedDataProvider& in, ScaHandle h, bool live, int which) {
    const std::uint32_t address = in.ConsumeBool()
                                      ? in.ConsumeIntegralInRange<std::uint32_t>(0x7F0, 0x8010)
                                      : in.ConsumeIntegral<std::uint32_t>();
    const std::int32_t length = in.ConsumeIntegralInRange<std::int32_t>(-2, 70);
    const bool null = in.ConsumeIntegralInRange<int>(0, 9) == 0;
    std::vector<std::uint8_t> bytes =
        in.ConsumeBytes<std::uint8_t>(static_cast<std::size_t>(std::max(length, 0)));
    bytes.resize(static_cast<std::size_t>(std::max(length, 0)));
    // Exactly `length` bytes on the heap, so a read past them is caught.
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
    std::copy(bytes.begin(), bytes.end(), data.get());
    const std::uint8_t* p = null ? nullptr : data.get();
    const long before = usb.calls;
    const std::int32_t rc = which == 0   ? WriteFlash(h, address, p, length)
                            : which == 1 ? VerifyFlash(h, address, p, length)
                                         : WriteConfig(h, address, p, length);
    Require(rc == 0 || rc == 1, "a result other than 0 or 1");
    Require(live || (rc == 0 && usb.calls == before), "a dead handle reached the probe");
    Require(!(null && length > 0 && usb.calls != before), "a null data pointer was sent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    usb.in = &in;
    usb.calls = 0;
    usb.Build();

    std::vector<ScaHandle> seen;
    std::set<ScaHandle> live;
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        const int op = in.ConsumeIntegralInRange<int>(0, 28);
        if (op <= 1) {
            const std::int32_t index = in.ConsumeIntegralInRange<std::int32_t>(-1, 3);
            const ScaHandle h = op == 0 ? OpenSCA(index) : OpenSCABootloader(index);
            if (h != 0) {
                Require(live.insert(h).second, "an open returned a handle already live");
                seen.push_back(h);
            }
            continue;
        }
        const ScaHandle h = PickHandle(in, seen);
        const bool isLive = live.count(h) != 0;
        const long before = usb.calls;
        std::int32_t rc = 0;
        switch (op) {
            case 2:
                rc = CloseSCA(h);
                Require(rc == (isLive ? 1 : 0), "CloseSCA must answer 1 exactly for a live handle");
                live.erase(h);
                break;
            case 3:
            case 4:
                TextRead(in, h, isLive, op - 3);
                break;
            case 5:
                rc = SetBootloaderFlag(h, in.ConsumeIntegral<std::int32_t>());
                break;
            case 6:
                rc = ResetController(h);
                break;
            case 7:
                rc = EraseFlashBlock(h, in.ConsumeIntegral<std::uint32_t>());
                break;
            case 8:
            case 9:
            case 10:
                Flash(in, h, isLive, op - 8);
                break;
            case 11:
                rc = SetHV(h, in.ConsumeIntegral<std::int32_t>());
                break;
            case 12:
                rc = SetGain(h, in.ConsumeIntegral<std::int32_t>());
                break;
            case 13:
                rc = SetLLD(h, in.ConsumeIntegral<std::int32_t>());
                break;
            case 14:
                rc = SetULD(h, in.ConsumeIntegral<std::int32_t>());
                break;
            case 15:
                rc = SetIntegralMode(h, in.ConsumeIntegral<std::int32_t>());
                break;
            case 16:
                rc = SetAnalogOutputMode(h, in.ConsumeIntegral<std::int32_t>());
                break;
            case 17:
                rc = SetCPSGain(h, in.ConsumeIntegral<std::int32_t>());
                break;
            case 18:
                rc = SetResponseTime(h, in.ConsumeIntegral<std::int32_t>());
                break;
            case 19:
                rc = SaveSettings(h);
                break;
            case 20:
                ValueRead(in, h, isLive, ReadHV, 65535);
                break;
            case 21:
                ValueRead(in, h, isLive, ReadGain, 65535);
                break;
            case 22:
                ValueRead(in, h, isLive, ReadLLD, 65535);
                break;
            case 23:
                ValueRead(in, h, isLive, ReadULD, 65535);
                break;
            case 24:
                ValueRead(in, h, isLive, ReadIntegralMode, 1);
                break;
            case 25:
                ValueRead(in, h, isLive, ReadAnalogOutputMode, 1);
                break;
            case 26:
                ValueRead(in, h, isLive, ReadCPSGain, 255);
                break;
            case 27:
                ValueRead(in, h, isLive, ReadResponseTime, 255);
                break;
            case 28: {
                std::int32_t rate = kCanary;
                std::int32_t flag = kCanary;
                const bool nullRate = in.ConsumeBool();
                const bool nullFlag = in.ConsumeBool();
                rc = ReadCPS(h, nullRate ? nullptr : &rate, nullFlag ? nullptr : &flag);
                if (rc == 1) {
                    Require(nullRate || (rate >= 0 && rate <= 65535), "count rate out of range");
                    Require(nullFlag || flag == 0 || flag == 1, "status flag not 0 or 1");
                } else {
                    Require(rate == kCanary && flag == kCanary, "a failed read changed outputs");
                }
                break;
            }
            default:
                break;
        }
        Require(rc == 0 || rc == 1, "a result other than 0 or 1");
        Require(isLive || (rc == 0 && usb.calls == before), "a dead handle reached the probe");
        Require(usb.claimed.empty(), "an interface stayed claimed after a call");
    }
    for (ScaHandle h : live) {
        Require(CloseSCA(h) == 1, "closing a live handle failed");
    }
    Require(usb.live.empty(), "libusb handles left open after every connection closed");
    return 0;
}
