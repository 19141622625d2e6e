// The libusb 0.1 face on Linux: names from the bus and device numbers, as the device nodes
// under /dev/bus/usb, the full configuration descriptors, and errno values as they are.
#include <cstdio>

#include "libusb_platform.h"

// Declared by usb.h outside its extern "C" block; a variable's symbol is the plain name anyway.
struct usb_bus* usb_busses = nullptr;

namespace klovsim::detail::libusb {
namespace {

// The probe's configuration: one interface with a bulk endpoint each way.
struct ConfigurationBox {
    usb_config_descriptor config{};
    usb_interface interface {};
    usb_interface_descriptor alt{};
    usb_endpoint_descriptor endpoints[2]{};
};

}  // namespace

struct usb_bus*& busList() {
    return usb_busses;
}

void nameBus(struct usb_bus& bus, int number) {
    std::snprintf(bus.dirname, sizeof bus.dirname, "%03d", number + 1);
}

void nameDevice(struct usb_device& device, const DeviceInfo& info) {
    std::snprintf(device.filename, sizeof device.filename, "%03d", info.devnum);
}

usb_config_descriptor* newConfiguration() {
    auto* box = new ConfigurationBox;  // lives as long as the device record: for ever
    for (int i = 0; i < 2; ++i) {
        usb_endpoint_descriptor& ep = box->endpoints[i];
        ep.bLength = USB_DT_ENDPOINT_SIZE;
        ep.bDescriptorType = USB_DT_ENDPOINT;
        ep.bEndpointAddress = i == 0 ? 0x01 : 0x81;
        ep.bmAttributes = USB_ENDPOINT_TYPE_BULK;
        ep.wMaxPacketSize = 64;
    }
    box->alt.bLength = USB_DT_INTERFACE_SIZE;
    box->alt.bDescriptorType = USB_DT_INTERFACE;
    box->alt.bNumEndpoints = 2;
    box->alt.bInterfaceClass = 0xFF;
    box->alt.endpoint = box->endpoints;
    box->interface.altsetting = &box->alt;
    box->interface.num_altsetting = 1;
    box->config.bLength = USB_DT_CONFIG_SIZE;
    box->config.bDescriptorType = USB_DT_CONFIG;
    box->config.wTotalLength =
        USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE + 2 * USB_DT_ENDPOINT_SIZE;
    box->config.bNumInterfaces = 1;
    box->config.bConfigurationValue = 1;
    box->config.bmAttributes = 0x80;
    box->config.MaxPower = 50;
    box->config.interface = &box->interface;
    return &box->config;
}

int result(int rc) {
    return rc;
}

}  // namespace klovsim::detail::libusb
