#include "exchange.h"

namespace ardellix {

bool Exchange(Transport& transport, ByteQueue& queue, std::int32_t replyLength) {
    if (transport.Write(queue, TransferTimeoutMs).Failed()) {
        return false;
    }
    if (replyLength <= 0) {
        return true;
    }
    return !transport.Read(replyLength, queue, TransferTimeoutMs).Failed();
}

bool Exchange(Transport& transport, std::initializer_list<std::uint8_t> request,
              std::int32_t replyLength, ByteQueue& reply) {
    reply.assign(request.begin(), request.end());
    return Exchange(transport, reply, replyLength);
}

}  // namespace ardellix
