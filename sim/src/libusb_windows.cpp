// The libusb 0.1 face on Windows, as libusb-win32's libusb0.dll shows it: names of its own,
// configuration descriptors left out (our header keeps them opaque, and the probe library
// never reads them), and its error values.
#include <cerrno>
#include <cstdio>

#include "libusb_platform.h"

namespace klovsim::detail::libusb {
namespace {

// libusb0.dll has no bus list variable to import; usb_get_busses() returns this.
struct usb_bus* busses = nullptr;

// libusb-win32 reports a transfer that timed out with a number of its own: the Microsoft C
// runtime it was first built with had no ETIMEDOUT (today's has, as 138).
constexpr int kTransferTimedOut = 116;

}  // namespace

struct usb_bus*& busList() {
    return busses;
}

void nameBus(struct usb_bus& bus, int number) {
    std::snprintf(bus.dirname, sizeof bus.dirname, "bus-%d", number);
}

// The driver's device object, then vendor and product: "\\.\libusb0-0002--0x04d8-0xf85d".
// The drop-in numbers the objects by the device number on the bus, which a device keeps while
// it stays attached and a device attaching anew does not take over.
void nameDevice(struct usb_device& device, const DeviceInfo& info) {
    std::snprintf(device.filename, sizeof device.filename, "\\\\.\\libusb0-%04d--0x%04x-0x%04x",
                  info.devnum, static_cast<unsigned>(info.vendorId),
                  static_cast<unsigned>(info.productId));
}

usb_config_descriptor* newConfiguration() {
    return nullptr;
}

// The bus's errors are errno values of the Windows C runtime, whose numbers for the ones it
// uses (EPERM, EIO, EBADF, EBUSY, ENODEV, EINVAL, EPIPE) are those libusb-win32 returns.
// Two have none there: a time-out gets libusb-win32's own number, and a reply larger than the
// buffer, which the driver fails as a whole transfer, an I/O error.
int result(int rc) {
    if (rc == -ETIMEDOUT) {
        return -kTransferTimedOut;
    }
    if (rc == -EOVERFLOW) {
        return -EIO;
    }
    return rc;
}

}  // namespace klovsim::detail::libusb
