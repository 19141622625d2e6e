#include "byte_queue.h"

namespace ardellix {

void PushLe16(ByteQueue& queue, std::uint32_t value) {
    queue.push_back(static_cast<unsigned char>(value & 0xFFu));
    queue.push_back(static_cast<unsigned char>((value >> 8) & 0xFFu));
}

void PushAddress24(ByteQueue& queue, std::uint32_t address) {
    PushLe16(queue, address);
    queue.push_back(static_cast<unsigned char>((address >> 16) & 0xFFu));
}

}  // namespace ardellix
