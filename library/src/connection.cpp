// Opening and closing connections, and the identity commands.
#include <algorithm>
#include <memory>
#include <new>

#include "ardellix.h"
#include "exchange.h"
#include "exports.h"
#include "libusb_transport.h"

namespace ardellix {
namespace {

constexpr std::int32_t kVendorId = 0x04D8;
constexpr std::int32_t kProductId = 0xF85D;
constexpr std::int32_t kEndpoint = 1;
constexpr std::int32_t kOpenAttempts = 1;

constexpr std::uint8_t kIdentifyCommand = 0x40;
constexpr std::uint8_t kReadSerialCommand = 0xE0;
constexpr std::uint8_t kReadInfoCommand = 0xE1;

constexpr std::int32_t kIdentifyReplyLength = 32;
constexpr std::size_t kTagOffset = 5;
constexpr unsigned char kProductTag[] = {'k', 'L', 'O', 'V'};
constexpr std::int32_t kSerialReplyLength = 10;
constexpr std::size_t kSerialLength = 9;
constexpr std::int32_t kInfoReplyLength = 32;
constexpr std::size_t kInfoHeaderLength = 2;

ScaHandle OpenConnection(std::int32_t deviceIndex, bool identify) noexcept {
    try {
        std::shared_ptr<Transport> transport(
            new (std::nothrow) LibusbTransport(kVendorId, kProductId, deviceIndex, kEndpoint));
        if (!transport) {
            return 0;
        }
        if (transport->Open(kOpenAttempts).Failed()) {
            return 0;
        }
        if (identify && !Identify(*transport)) {
            return 0;  // the transport's destructor closes both channels
        }
        return HandleRegistry::Instance().Add(std::move(transport));
    } catch (...) {
        return 0;
    }
}

}  // namespace

bool Identify(Transport& transport) {
    ByteQueue reply;
    if (!Exchange(transport, {kIdentifyCommand}, kIdentifyReplyLength, reply)) {
        return false;
    }
    if (reply.size() < kTagOffset + sizeof kProductTag || reply[0] != kIdentifyCommand) {
        return false;
    }
    return std::equal(std::begin(kProductTag), std::end(kProductTag), reply.begin() + kTagOffset);
}

bool ReadSerial(Transport& transport, char* serial) {
    if (serial == nullptr) {
        return false;
    }
    ByteQueue reply;
    if (!Exchange(transport, {kReadSerialCommand}, kSerialReplyLength, reply)) {
        return false;
    }
    if (reply.size() < 1 + kSerialLength || reply[0] != kReadSerialCommand) {
        return false;
    }
    for (std::size_t i = 0; i < kSerialLength; ++i) {
        serial[i] = static_cast<char>(reply[1 + i]);
    }
    return true;
}

bool ReadInfo(Transport& transport, std::int32_t selector, char* text) {
    if (text == nullptr) {
        return false;
    }
    const auto selectorByte = static_cast<std::uint8_t>(selector & 0xFF);
    ByteQueue reply;
    if (!Exchange(transport, {kReadInfoCommand, selectorByte}, kInfoReplyLength, reply)) {
        return false;
    }
    if (reply.size() < kInfoHeaderLength || reply[0] != kReadInfoCommand ||
        reply[1] != selectorByte) {
        return false;
    }
    // The reply never exceeds the 32 bytes asked for, so at most 30 text bytes arrive.
    std::copy(reply.begin() + kInfoHeaderLength, reply.end(), text);
    return true;
}

}  // namespace ardellix

using ardellix::Guarded;
using ardellix::Transport;

ScaHandle ARDELLIX_CALL OpenSCA(int32_t deviceIndex) {
    return ardellix::OpenConnection(deviceIndex, true);
}

ScaHandle ARDELLIX_CALL OpenSCABootloader(int32_t deviceIndex) {
    return ardellix::OpenConnection(deviceIndex, false);
}

int32_t ARDELLIX_CALL CloseSCA(ScaHandle handle) {
    try {
        std::shared_ptr<Transport> transport = ardellix::HandleRegistry::Instance().Remove(handle);
        if (!transport) {
            return 0;
        }
        // The last owner's release runs the destructor, which closes both channels; a failed
        // USB close still ends the connection.
        transport.reset();
        return 1;
    } catch (...) {
        return 0;
    }
}

int32_t ARDELLIX_CALL ReadSerialNo(ScaHandle handle, char* serial) {
    return Guarded(handle, [&](Transport& t) { return ardellix::ReadSerial(t, serial); });
}

int32_t ARDELLIX_CALL ReadDeviceInfo(ScaHandle handle, int32_t selector, char* text) {
    return Guarded(handle, [&](Transport& t) { return ardellix::ReadInfo(t, selector, text); });
}
