// What differs between the two libusb 0.1 faces of the simulator: Linux's libusb-0.1.so.4
// and libusb-win32's libusb0.dll (libusb_linux.cpp, libusb_windows.cpp). Each compiles
// against its own <usb.h>: the system's on Linux, library/platform/windows/include/usb.h on
// Windows.
#pragma once

#include <usb.h>

#include "core.h"

namespace klovsim::detail::libusb {

// The head of the bus list that the host walks: the exported variable usb_busses on Linux,
// what usb_get_busses() returns on Windows.
struct usb_bus*& busList();

// The names of a bus (dirname) and of a device (filename) as this platform's libusb gives
// them. A device's name stays the same as long as it stays on the bus.
void nameBus(struct usb_bus& bus, int number);
void nameDevice(struct usb_device& device, const DeviceInfo& info);

// The descriptors of the probe's one configuration for a new device record (kept as long as
// the record), or null where the platform's header leaves them opaque.
struct usb_config_descriptor* newConfiguration();

// A result of the bus (>= 0, or a negative errno value of the C runtime) as this platform's
// libusb returns it.
int result(int rc);

}  // namespace klovsim::detail::libusb
