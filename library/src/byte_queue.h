// The queue that carries one request out and then its reply back in.
#pragma once

#include <cstdint>
#include <deque>

namespace ardellix {

using ByteQueue = std::deque<unsigned char>;

// Appends the low 16 bits of value, low byte first.
void PushLe16(ByteQueue& queue, std::uint32_t value);

// Appends bits 0-23 of address, low byte first (the probe's address width).
void PushAddress24(ByteQueue& queue, std::uint32_t address);

}  // namespace ardellix
