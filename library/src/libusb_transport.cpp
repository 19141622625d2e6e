#include "libusb_transport.h"

#include <usb.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

namespace ardellix {
namespace {

constexpr int kConfiguration = 1;
constexpr int kInterface = 0;
constexpr std::int32_t kInEndpointFlag = 128;

// libusb 0.1 keeps its bus and device lists in globals that every listing rewrites: it frees
// the record of a device that has left and links in new ones. Everything that reads or
// changes that state runs under this one lock: initialisation, the listing and its walk, and
// usb_open (which reads the device record it is given) with the configuration that follows.
// Transfers, claims and closes touch only their own handle and take no lock. With glibc the
// mutex is constant-initialised and has nothing to destroy, so no code runs for it at load or
// at exit.
std::mutex usbStateMutex;
bool usbInitialised = false;  // guarded by usbStateMutex

// The temporary buffer of one transfer. Requests and replies are a few dozen bytes, so they
// live on the stack; only a larger transfer takes its buffer from the heap.
class TransferBuffer {
  public:
    explicit TransferBuffer(std::size_t size) : size_(size) {
        if (size > sizeof small_) {
            large_ = std::make_unique<char[]>(size);
        }
    }
    char* data() { return large_ ? large_.get() : small_; }
    std::size_t size() const { return size_; }

  private:
    std::size_t size_;
    char small_[64];
    std::unique_ptr<char[]> large_;
};

}  // namespace

LibusbTransport::LibusbTransport(std::int32_t vendorId, std::int32_t productId,
                                 std::int32_t deviceIndex, std::int32_t endpoint)
    : UsbTransport(vendorId, productId, deviceIndex, endpoint) {
    // libusb is initialised once per process, by the first transport, and never shut down.
    std::lock_guard<std::mutex> lock(usbStateMutex);
    if (!usbInitialised) {
        usb_init();
        usbInitialised = true;
    }
}

LibusbTransport::~LibusbTransport() {
    static_cast<void>(Close());
}

bool LibusbTransport::UsbInitialised() {
    std::lock_guard<std::mutex> lock(usbStateMutex);
    return usbInitialised;
}

struct usb_device* LibusbTransport::FindDevice(std::int32_t vendorId, std::int32_t productId,
                                               std::int32_t index, std::int32_t* count,
                                               const DevicePlace* want, DevicePlace* found) {
    usb_find_busses();
    usb_find_devices();
    std::int32_t matches = 0;
    for (struct usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device* dev = bus->devices; dev != nullptr; dev = dev->next) {
            if (static_cast<std::int32_t>(dev->descriptor.idVendor) != vendorId ||
                static_cast<std::int32_t>(dev->descriptor.idProduct) != productId) {
                continue;
            }
            const bool hit = want != nullptr
                                 ? want->bus == bus->dirname && want->device == dev->filename
                                 : count == nullptr && matches == index;
            if (hit) {
                if (found != nullptr) {
                    *found = DevicePlace{bus->dirname, dev->filename};
                }
                return dev;
            }
            ++matches;
        }
    }
    if (count != nullptr) {
        *count = matches;
    }
    return nullptr;
}

Result LibusbTransport::OpenChannel(bool outDirection, UsbChannel& channel) {
    if (channel.open) {
        return Result::Ok();
    }
    std::lock_guard<std::mutex> lock(usbStateMutex);
    // The first channel finds the device by its index; the second one the same device by its
    // place, or nothing when that device has left the bus meanwhile.
    const bool first = !in_.open && !out_.open;
    DevicePlace found;
    struct usb_device* dev = FindDevice(vendorId_, productId_, deviceIndex_, nullptr,
                                        first ? nullptr : &*place_, first ? &found : nullptr);
    if (dev == nullptr) {
        return Result::Error("Unable to find libusb device VID or PID");
    }
    if (first) {
        place_ = std::move(found);
    }
    channel.handle = usb_open(dev);
    if (channel.handle == nullptr) {
        return Result::Error("Unable to open libusb device handle");
    }
    channel.open = true;
    channel.endpoint = outDirection ? endpoint_ : endpoint_ + kInEndpointFlag;
    if (usb_set_configuration(channel.handle, kConfiguration) < 0) {
        usb_close(channel.handle);
        channel.handle = nullptr;
        channel.open = false;
        return Result::Error("Unable to set libusb device configuration");
    }
    return Result::Ok();
}

Result LibusbTransport::CloseChannel(UsbChannel& channel) {
    if (!channel.open) {
        return Result::Ok();
    }
    // usb_close releases the handle whatever it reports, so a handle is never passed to it
    // twice: after a failed close the channel stays marked open but holds no handle, and
    // every later close of it reports the same failure without touching libusb.
    int rc = -1;
    if (channel.handle != nullptr) {
        rc = usb_close(channel.handle);
        channel.handle = nullptr;
    }
    channel.open = rc < 0;
    if (rc < 0) {
        return Result::Error("Failed to close libusb device");
    }
    return Result::Ok();
}

Result LibusbTransport::Open(std::int32_t attempts) {
    // Each phase reports the outcome of its last try, so a channel that opens on a later
    // attempt counts as opened.
    Result result;
    for (std::int32_t i = 0; i < attempts && !out_.open; ++i) {
        result = OpenChannel(true, out_);
    }
    if (!result.Failed()) {
        Result inResult;
        for (std::int32_t i = 0; i < attempts && !in_.open; ++i) {
            inResult = OpenChannel(false, in_);
        }
        result.Combine(inResult);
    }
    if (result.Failed()) {
        static_cast<void>(Close());
    }
    return result;
}

Result LibusbTransport::Read(std::int32_t count, ByteQueue& queue, std::int32_t timeoutMs) {
    if (in_.handle == nullptr) {
        return Result::Error("libusb device is not open");
    }
    TransferBuffer buffer(static_cast<std::size_t>(std::max(count, 0)));
    if (usb_claim_interface(in_.handle, kInterface) < 0) {
        return Result::Error("Unable to claim libusb device interface");
    }
    const int rc = usb_bulk_read(in_.handle, in_.endpoint, buffer.data(),
                                 static_cast<int>(buffer.size()), timeoutMs);
    usb_release_interface(in_.handle, kInterface);
    if (rc < 0) {
        return Result::Error("Read of libusb device failed!");
    }
    // Never trust a count beyond what was asked for.
    const auto received = std::min(static_cast<std::size_t>(rc), buffer.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    queue.insert(queue.end(), bytes, bytes + received);
    return Result::Ok();
}

Result LibusbTransport::Write(ByteQueue& queue, std::int32_t timeoutMs) {
    TransferBuffer buffer(queue.size());
    std::copy(queue.begin(), queue.end(), reinterpret_cast<unsigned char*>(buffer.data()));
    queue.clear();
    if (out_.handle == nullptr) {
        return Result::Error("libusb device is not open");
    }
    if (usb_claim_interface(out_.handle, kInterface) < 0) {
        return Result::Error("Unable to claim libusb device interface");
    }
    const int size = static_cast<int>(buffer.size());
    const int rc = usb_bulk_write(out_.handle, out_.endpoint, buffer.data(), size, timeoutMs);
    usb_release_interface(out_.handle, kInterface);
    if (rc < 0) {
        return Result::Error("Write to libusb device failed!");
    }
    if (rc < size) {
        return Result::Error("Incomplete write of libusb device!");
    }
    return Result::Ok();
}

Result LibusbTransport::Close() {
    Result result = CloseChannel(out_);
    result.Combine(CloseChannel(in_));
    return result;
}

std::int32_t LibusbTransport::CountDevices(std::int32_t vendorId, std::int32_t productId) {
    std::int32_t count = 0;
    std::lock_guard<std::mutex> lock(usbStateMutex);
    FindDevice(vendorId, productId, -1, &count);
    return count;
}

}  // namespace ardellix
