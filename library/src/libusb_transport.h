// The transport over libusb 0.1: each direction owns its own handle to the device, and the
// interface is claimed only for the duration of one transfer. Initialisation, listing, open
// and configuration share one process-wide lock (libusb 0.1 keeps its device lists in
// unguarded globals); transfers take none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "transport.h"

struct usb_dev_handle;
struct usb_device;

namespace ardellix {

class LibusbTransport final : public UsbTransport {
  public:
    // Initialises libusb the first time any transport is built in the process.
    LibusbTransport(std::int32_t vendorId, std::int32_t productId, std::int32_t deviceIndex,
                    std::int32_t endpoint);
    ~LibusbTransport() override;
    LibusbTransport(const LibusbTransport&) = delete;
    LibusbTransport& operator=(const LibusbTransport&) = delete;

    Result Open(std::int32_t attempts) override;
    Result Read(std::int32_t count, ByteQueue& queue, std::int32_t timeoutMs) override;
    Result Write(ByteQueue& queue, std::int32_t timeoutMs) override;
    Result Close() override;
    std::int32_t CountDevices(std::int32_t vendorId, std::int32_t productId) override;

    bool OutChannelOpen() const { return out_.open; }
    bool InChannelOpen() const { return in_.open; }

    // Whether usb_init has run in this process.
    static bool UsbInitialised();

  private:
    struct UsbChannel {
        bool open = false;
        usb_dev_handle* handle = nullptr;
        std::int32_t endpoint = 0;
    };

    // Where a device sits on its bus: the bus's and the device's names as libusb lists them.
    // A device that leaves and enumerates again gets a new name, so the place names one
    // attachment of one device, which a list index does not.
    struct DevicePlace {
        std::string bus;
        std::string device;
    };

    Result OpenChannel(bool outDirection, UsbChannel& channel);
    Result CloseChannel(UsbChannel& channel);
    // Lists the busses and walks them; the caller holds the libusb state lock, and the device
    // returned is valid only while it does. With `want` given, the device found is the
    // matching one at that place, whatever its index; `found` receives the place of the
    // device returned.
    struct usb_device* FindDevice(std::int32_t vendorId, std::int32_t productId, std::int32_t index,
                                  std::int32_t* count, const DevicePlace* want = nullptr,
                                  DevicePlace* found = nullptr);

    UsbChannel in_;
    UsbChannel out_;
    // The device the first channel opened on; the second channel opens on that same device,
    // since the device at the index may have changed in between (another probe enumerating
    // goes to the front of libusb's list).
    std::optional<DevicePlace> place_;
};

}  // namespace ardellix
