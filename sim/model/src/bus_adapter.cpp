#include "klovsim/bus_adapter.h"

namespace klovsim::model {
namespace {

constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorInterface = 4;
constexpr std::uint8_t kDescriptorEndpoint = 5;
constexpr std::uint8_t kTransferBulk = 0x02;  // bmAttributes of a bulk endpoint
constexpr std::uint8_t kConfigurationLength = 9 + 9 + 7 + 7;

constexpr std::uint8_t Low(std::uint16_t v) {
    return static_cast<std::uint8_t>(v & 0xFF);
}
constexpr std::uint8_t High(std::uint16_t v) {
    return static_cast<std::uint8_t>(v >> 8);
}

}  // namespace

std::vector<std::uint8_t> usbDescriptors(std::uint16_t vendorId, std::uint16_t productId) {
    return {// device
            kDeviceDescriptorLength, kDescriptorDevice, 0x00, 0x02, kVendorClass, 0x00, 0x00,
            kMaxPacket, Low(vendorId), High(vendorId), Low(productId), High(productId),
            Low(kDeviceBcd), High(kDeviceBcd), 0, 0, 0, 1,
            // configuration 1: one interface, bus-powered, 100 mA
            9, kDescriptorConfiguration, kConfigurationLength, 0, 1, 1, 0, 0x80, 50,
            // interface 0: two endpoints, vendor class
            9, kDescriptorInterface, 0, 0, 2, kVendorClass, 0x00, 0x00, 0,
            // the bulk endpoints
            7, kDescriptorEndpoint, kEndpointOut, kTransferBulk, kMaxPacket, 0, 0,  //
            7, kDescriptorEndpoint, kEndpointIn, kTransferBulk, kMaxPacket, 0, 0};
}

std::chrono::microseconds now() {
    static const auto origin = std::chrono::steady_clock::now();
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 origin);
}

}  // namespace klovsim::model
