// The libusb 0.1 face of the virtual bus: the C entry points and the structures the host walks,
// the same on Linux and Windows but for what libusb_platform.h names.
//
// Like real libusb, the bus and device lists change only in usb_find_busses and
// usb_find_devices, and keep libusb 0.1's order (see usb_find_devices). Unlike it, no usb_bus,
// usb_device or usb_dev_handle is ever freed, so a host holding a stale pointer gets a clean error
// (null from usb_open, -ENODEV or -EBADF from the calls) instead of touching freed memory.
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include "core.h"
#include "libusb_platform.h"

struct usb_dev_handle {
    int id;  // handle number on the bus
};

namespace {

using klovsim::detail::Core;
namespace libusb = klovsim::detail::libusb;

constexpr std::uint8_t kDeviceDescriptorSize = 18;
constexpr std::uint8_t kDeviceDescriptorType = 1;

struct Adapter {
    std::mutex m;  // taken before the bus's lock, never while holding it
    std::map<int, std::unique_ptr<usb_bus>> busses;
    std::unordered_map<std::uint64_t, std::unique_ptr<struct usb_device>> devices;
    std::unordered_map<const struct usb_device*, std::uint64_t> nodeOfDevice;
    std::unordered_map<const usb_dev_handle*, std::unique_ptr<usb_dev_handle>> handles;
};

Adapter& adapter() {
    static Adapter* a = new Adapter;  // never destroyed, like the bus
    return *a;
}

thread_local std::string lastError = "no error";

// Records the error text of a failed call and gives the result as the platform's libusb would.
int note(const char* call, int rc) {
    if (rc < 0) {
        lastError = std::string(call) + ": " + std::strerror(-rc);
    }
    return libusb::result(rc);
}

int handleId(usb_dev_handle* h) {
    Adapter& a = adapter();
    std::lock_guard<std::mutex> lk(a.m);
    return a.handles.count(h) != 0 ? h->id : 0;
}

struct usb_device* makeDevice(Adapter& a, const klovsim::detail::DeviceInfo& info, usb_bus* bus) {
    auto record = std::make_unique<struct usb_device>();
    struct usb_device& d = *record;
    libusb::nameDevice(d, info);
    d.bus = bus;
    d.devnum = static_cast<std::uint8_t>(info.devnum);
    d.descriptor.bLength = kDeviceDescriptorSize;
    d.descriptor.bDescriptorType = kDeviceDescriptorType;
    d.descriptor.bcdUSB = 0x0200;
    d.descriptor.bMaxPacketSize0 = 8;
    d.descriptor.idVendor = info.vendorId;
    d.descriptor.idProduct = info.productId;
    d.descriptor.bcdDevice = 0x0100;
    d.descriptor.bNumConfigurations = 1;
    d.config = libusb::newConfiguration();
    struct usb_device* p = record.get();
    a.nodeOfDevice[p] = info.node;
    a.devices[info.node] = std::move(record);
    return p;
}

}  // namespace

extern "C" {

void usb_init(void) {
    Core::get().logSimple("usb_init");
}

void usb_set_debug(int /*level*/) {}

char* usb_strerror(void) {
    return lastError.data();
}

int usb_find_busses(void) {
    const std::vector<int> numbers = Core::get().busNumbers();
    Adapter& a = adapter();
    std::lock_guard<std::mutex> lk(a.m);
    const std::set<int> wanted(numbers.begin(), numbers.end());
    std::set<int> listed;
    for (usb_bus* b = libusb::busList(); b != nullptr; b = b->next) {
        listed.insert(static_cast<int>(b->location) - 1);
    }
    int changes = 0;
    usb_bus* prev = nullptr;
    usb_bus* head = nullptr;
    for (int n : numbers) {
        auto& slot = a.busses[n];
        if (!slot) {
            slot = std::make_unique<usb_bus>();
            libusb::nameBus(*slot, n);
            slot->location = static_cast<std::uint32_t>(n + 1);
        }
        if (listed.count(n) == 0) {
            ++changes;
        }
        usb_bus* b = slot.get();
        b->prev = prev;
        b->next = nullptr;
        if (prev != nullptr) {
            prev->next = b;
        } else {
            head = b;
        }
        prev = b;
    }
    for (int n : listed) {
        if (wanted.count(n) == 0) {
            ++changes;
        }
    }
    libusb::busList() = head;
    Core::get().logSimple("usb_find_busses", changes);
    return changes;
}

// libusb 0.1's rules: each bus keeps its list across calls; a device no longer in the bus's
// directory is dropped, and the devices new to the list go to its front, in the order the
// directory yields them. A process's first listing is therefore in directory order, and a
// probe that restarted (a new device) comes first afterwards.
int usb_find_devices(void) {
    Core::get().listingStarts();
    Adapter& a = adapter();
    std::vector<int> numbers;
    {
        std::lock_guard<std::mutex> lk(a.m);
        for (usb_bus* b = libusb::busList(); b != nullptr; b = b->next) {
            numbers.push_back(static_cast<int>(b->location) - 1);
        }
    }
    std::map<int, std::vector<klovsim::detail::DeviceInfo>> directories;
    for (int n : numbers) {
        directories[n] = Core::get().directory(n);
    }
    int changes = 0;
    {
        std::lock_guard<std::mutex> lk(a.m);
        for (usb_bus* b = libusb::busList(); b != nullptr; b = b->next) {
            auto dir = directories.find(static_cast<int>(b->location) - 1);
            if (dir == directories.end()) {
                continue;  // listed by a usb_find_busses in the meantime: next time
            }
            std::set<std::uint64_t> present;
            for (const auto& info : dir->second) {
                present.insert(info.node);
            }
            std::set<std::uint64_t> known;
            std::vector<struct usb_device*> kept;
            for (struct usb_device* d = b->devices; d != nullptr; d = d->next) {
                const auto it = a.nodeOfDevice.find(d);
                const std::uint64_t node = it != a.nodeOfDevice.end() ? it->second : 0;  // none
                known.insert(node);
                if (present.count(node) != 0) {
                    kept.push_back(d);
                } else {
                    ++changes;  // gone
                }
            }
            std::vector<struct usb_device*> list;
            for (const auto& info : dir->second) {
                if (known.count(info.node) == 0) {
                    auto it = a.devices.find(info.node);
                    list.push_back(it != a.devices.end() ? it->second.get()
                                                         : makeDevice(a, info, b));
                    ++changes;  // new, to the front
                }
            }
            list.insert(list.end(), kept.begin(), kept.end());
            // Links are only written where they change, as real libusb leaves an unchanged
            // list alone: another thread may be walking it at this moment.
            struct usb_device* prev = nullptr;
            for (struct usb_device* d : list) {
                if (d->prev != prev) {
                    d->prev = prev;
                }
                if (prev != nullptr && prev->next != d) {
                    prev->next = d;
                }
                prev = d;
            }
            if (prev != nullptr && prev->next != nullptr) {
                prev->next = nullptr;
            }
            struct usb_device* head = list.empty() ? nullptr : list.front();
            if (b->devices != head) {
                b->devices = head;
            }
        }
    }
    Core::get().logSimple("usb_find_devices", changes);
    return changes;
}

struct usb_bus* usb_get_busses(void) {
    struct usb_bus* head = libusb::busList();
    Core::get().logSimple("usb_get_busses", head != nullptr ? 1 : 0);
    return head;
}

usb_dev_handle* usb_open(struct usb_device* dev) {
    Adapter& a = adapter();
    std::uint64_t node = 0;
    {
        std::lock_guard<std::mutex> lk(a.m);
        auto it = a.nodeOfDevice.find(dev);
        if (it != a.nodeOfDevice.end()) {
            node = it->second;
        }
    }
    const int id = Core::get().open(node);
    if (id <= 0) {
        lastError = "usb_open: could not open the device";
        return nullptr;
    }
    std::lock_guard<std::mutex> lk(a.m);
    auto h = std::make_unique<usb_dev_handle>(usb_dev_handle{id});
    usb_dev_handle* p = h.get();
    a.handles[p] = std::move(h);
    return p;
}

int usb_close(usb_dev_handle* dev) {
    return note("usb_close", Core::get().close(handleId(dev)));
}

int usb_set_configuration(usb_dev_handle* dev, int configuration) {
    return note("usb_set_configuration",
                Core::get().setConfiguration(handleId(dev), configuration));
}

int usb_claim_interface(usb_dev_handle* dev, int interface) {
    return note("usb_claim_interface", Core::get().claim(handleId(dev), interface));
}

int usb_release_interface(usb_dev_handle* dev, int interface) {
    return note("usb_release_interface", Core::get().release(handleId(dev), interface));
}

int usb_bulk_write(usb_dev_handle* dev, int ep, const char* bytes, int size, int timeout) {
    return note("usb_bulk_write",
                Core::get().bulkWrite(handleId(dev), ep,
                                      reinterpret_cast<const std::uint8_t*>(bytes), size, timeout));
}

int usb_bulk_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout) {
    return note("usb_bulk_read",
                Core::get().bulkRead(handleId(dev), ep, reinterpret_cast<std::uint8_t*>(bytes),
                                     size, timeout));
}

struct usb_device* usb_device(usb_dev_handle* dev) {
    const std::optional<std::uint64_t> node = Core::get().nodeOf(handleId(dev));
    if (!node) {
        return nullptr;
    }
    Adapter& a = adapter();
    std::lock_guard<std::mutex> lk(a.m);
    auto it = a.devices.find(*node);
    return it != a.devices.end() ? it->second.get() : nullptr;
}

}  // extern "C"
