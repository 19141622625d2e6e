// Boot flag, controller reset, and the bootloader's flash and configuration commands.
#include <algorithm>

#include "ardellix.h"
#include "exchange.h"
#include "exports.h"

namespace ardellix {
namespace {

constexpr std::uint8_t kReadFlashCommand = 0x01;
constexpr std::uint8_t kWriteFlashCommand = 0x02;
constexpr std::uint8_t kEraseFlashCommand = 0x03;
constexpr std::uint8_t kWriteBootFlagCommand = 0x05;
constexpr std::uint8_t kWriteConfigCommand = 0x07;
constexpr std::uint8_t kResetCommand = 0xFF;

constexpr std::uint64_t kApplicationFlashStart = 0x0800;
constexpr std::uint64_t kApplicationFlashEnd = 0x8000;
constexpr std::uint64_t kFlashRowSize = 16;
constexpr std::uint64_t kConfigWindowStart = 0x300000;
constexpr std::uint64_t kConfigWindowEnd = 0x300010;
constexpr std::uint32_t kBootFlagAddress = 0x0000FF;
constexpr std::uint8_t kBootFlagBootloader = 0x3A;
constexpr std::uint8_t kBootFlagApplication = 0xC5;

constexpr std::int32_t kAcknowledgeLength = 1;
constexpr std::int32_t kReadFlashHeaderLength = 5;

// Request header shared by the bootloader's commands: command, count, 24-bit address.
ByteQueue Request(std::uint8_t command, std::uint8_t count, std::uint64_t address) {
    ByteQueue queue{command, count};
    PushAddress24(queue, static_cast<std::uint32_t>(address));
    return queue;
}

// Whether start .. start + length - 1 (length > 0) lies inside the application flash.
bool InsideApplicationFlash(std::uint32_t start, std::int32_t length) {
    const std::uint64_t end = std::uint64_t{start} + static_cast<std::uint64_t>(length);
    return start >= kApplicationFlashStart && end <= kApplicationFlashEnd;
}

}  // namespace

bool WriteBootFlag(Transport& transport, bool bootloader) {
    ByteQueue queue = Request(kWriteBootFlagCommand, 1, kBootFlagAddress);
    queue.push_back(bootloader ? kBootFlagBootloader : kBootFlagApplication);
    return Exchange(transport, queue, kAcknowledgeLength);
}

bool Reset(Transport& transport) {
    ByteQueue queue{kResetCommand};
    return Exchange(transport, queue, 0);
}

bool EraseBlock(Transport& transport, std::uint32_t address) {
    if (address < kApplicationFlashStart || address >= kApplicationFlashEnd) {
        return false;
    }
    ByteQueue queue = Request(kEraseFlashCommand, 1, address);
    return Exchange(transport, queue, kAcknowledgeLength);
}

bool ProgramFlash(Transport& transport, std::uint32_t address, const std::uint8_t* data,
                  std::int32_t length) {
    if (length <= 0) {
        return true;
    }
    if (data == nullptr || !InsideApplicationFlash(address, length)) {
        return false;
    }
    const std::uint64_t start = address;
    const std::uint64_t end = start + static_cast<std::uint64_t>(length);
    const std::uint64_t firstRow = start & ~(kFlashRowSize - 1);
    for (std::uint64_t row = firstRow; row < end; row += kFlashRowSize) {
        ByteQueue queue =
            Request(kWriteFlashCommand, static_cast<std::uint8_t>(kFlashRowSize), row);
        for (std::uint64_t at = row; at < row + kFlashRowSize; ++at) {
            queue.push_back(at >= start && at < end ? data[at - start] : 0xFF);
        }
        if (!Exchange(transport, queue, kAcknowledgeLength)) {
            return false;
        }
    }
    return true;
}

bool CompareFlash(Transport& transport, std::uint32_t address, const std::uint8_t* data,
                  std::int32_t length) {
    if (length <= 0) {
        return true;
    }
    if (data == nullptr || !InsideApplicationFlash(address, length)) {
        return false;
    }
    const std::uint64_t start = address;
    const std::uint64_t end = start + static_cast<std::uint64_t>(length);
    for (std::uint64_t chunk = start; chunk < end; chunk += kFlashRowSize) {
        const auto n = static_cast<std::uint8_t>(std::min(kFlashRowSize, end - chunk));
        ByteQueue queue = Request(kReadFlashCommand, n, chunk);
        if (!Exchange(transport, queue, kReadFlashHeaderLength + n)) {
            return false;
        }
        if (queue.size() < static_cast<std::size_t>(kReadFlashHeaderLength + n)) {
            return false;
        }
        if (!std::equal(data + (chunk - start), data + (chunk - start) + n,
                        queue.begin() + kReadFlashHeaderLength)) {
            return false;
        }
    }
    return true;
}

bool ProgramConfig(Transport& transport, std::uint32_t address, const std::uint8_t* data,
                   std::int32_t length) {
    if (length <= 0) {
        return true;
    }
    // Only the bytes that fall inside the configuration window are sent; the rest are
    // skipped without being a failure, and are never read.
    const std::uint64_t start = address;
    const std::uint64_t end = start + static_cast<std::uint64_t>(length);
    const std::uint64_t first = std::max(start, kConfigWindowStart);
    const std::uint64_t last = std::min(end, kConfigWindowEnd);
    if (first >= last) {
        return true;
    }
    if (data == nullptr) {
        return false;
    }
    for (std::uint64_t at = first; at < last; ++at) {
        ByteQueue queue = Request(kWriteConfigCommand, 1, at);
        queue.push_back(data[at - start]);
        if (!Exchange(transport, queue, kAcknowledgeLength)) {
            return false;
        }
    }
    return true;
}

}  // namespace ardellix

using ardellix::Guarded;
using ardellix::Transport;

int32_t ARDELLIX_CALL SetBootloaderFlag(ScaHandle handle, int32_t bootloader) {
    return Guarded(handle,
                   [&](Transport& t) { return ardellix::WriteBootFlag(t, bootloader != 0); });
}

int32_t ARDELLIX_CALL ResetController(ScaHandle handle) {
    return Guarded(handle, [&](Transport& t) { return ardellix::Reset(t); });
}

int32_t ARDELLIX_CALL EraseFlashBlock(ScaHandle handle, uint32_t address) {
    return Guarded(handle, [&](Transport& t) { return ardellix::EraseBlock(t, address); });
}

int32_t ARDELLIX_CALL WriteFlash(ScaHandle handle, uint32_t address, const uint8_t* data,
                                 int32_t length) {
    return Guarded(handle,
                   [&](Transport& t) { return ardellix::ProgramFlash(t, address, data, length); });
}

int32_t ARDELLIX_CALL VerifyFlash(ScaHandle handle, uint32_t address, const uint8_t* data,
                                  int32_t length) {
    return Guarded(handle,
                   [&](Transport& t) { return ardellix::CompareFlash(t, address, data, length); });
}

int32_t ARDELLIX_CALL WriteConfig(ScaHandle handle, uint32_t address, const uint8_t* data,
                                  int32_t length) {
    return Guarded(handle,
                   [&](Transport& t) { return ardellix::ProgramConfig(t, address, data, length); });
}
