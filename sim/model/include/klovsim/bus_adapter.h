// What the bus adapters that put the model in front of a real libusb or a real kernel (the
// usbfs responder, the usbredir server) share: the probe's face as a USB device and the clock
// its model runs on.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace klovsim::model {

constexpr std::uint8_t kEndpointOut = 0x01;  // bulk, requests to the probe
constexpr std::uint8_t kEndpointIn = 0x81;   // bulk, its replies
constexpr std::uint8_t kMaxPacket = 64;
constexpr std::uint8_t kVendorClass = 0xFF;
constexpr std::uint16_t kDeviceBcd = 0x0100;
constexpr std::size_t kDeviceDescriptorLength = 18;

// The device descriptor (USB 2.00, vendor class, the given ids), then configuration 1 as
// GET_DESCRIPTOR returns it: interface 0 of vendor class with bulk endpoints 0x01 and 0x81 of
// 64 bytes. The first kDeviceDescriptorLength bytes are the device descriptor.
std::vector<std::uint8_t> usbDescriptors(std::uint16_t vendorId, std::uint16_t productId);

// Real time for the model, from a fixed origin in this process; never goes back.
std::chrono::microseconds now();

}  // namespace klovsim::model
