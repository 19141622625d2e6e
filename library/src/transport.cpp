#include "transport.h"

namespace ardellix {

Transport::~Transport() = default;

UsbTransport::UsbTransport(std::int32_t vendorId, std::int32_t productId, std::int32_t deviceIndex,
                           std::int32_t endpoint)
    : vendorId_(vendorId), productId_(productId), deviceIndex_(deviceIndex), endpoint_(endpoint) {}

UsbTransport::~UsbTransport() = default;

}  // namespace ardellix
