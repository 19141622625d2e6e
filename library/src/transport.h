// The connection object's class chain: Transport (what the exports use) and UsbTransport
// (a transport that finds its device by USB identity and index).
#pragma once

#include <cstdint>

#include "byte_queue.h"
#include "result.h"

namespace ardellix {

// Time-out of every USB transfer the exports make.
constexpr std::int32_t TransferTimeoutMs = 100;

class Transport {
  public:
    virtual ~Transport();
    // Opens both directions, giving each up to `attempts` tries; on failure nothing stays open.
    virtual Result Open(std::int32_t attempts) = 0;
    // Receives at most `count` bytes as one reply and appends them to the queue; on failure
    // the queue is unchanged.
    virtual Result Read(std::int32_t count, ByteQueue& queue, std::int32_t timeoutMs) = 0;
    // Sends the whole queue as one request and leaves it empty, whether it succeeds or not.
    virtual Result Write(ByteQueue& queue, std::int32_t timeoutMs) = 0;
    // Closes both directions.
    virtual Result Close() = 0;
};

class UsbTransport : public Transport {
  public:
    UsbTransport(std::int32_t vendorId, std::int32_t productId, std::int32_t deviceIndex,
                 std::int32_t endpoint);
    ~UsbTransport() override;
    // Number of attached devices with this identity; opens nothing.
    virtual std::int32_t CountDevices(std::int32_t vendorId, std::int32_t productId) = 0;

  protected:
    const std::int32_t vendorId_;
    const std::int32_t productId_;
    const std::int32_t deviceIndex_;
    const std::int32_t endpoint_;
};

}  // namespace ardellix
