// The request/reply exchange every export runs, and the per-family command logic written
// against a Transport so that it can be exercised without a device.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "byte_queue.h"
#include "transport.h"

namespace ardellix {

// Writes the queue as one request; when replyLength is positive, reads up to that many bytes
// back into it (the reply then starts at index 0). False when either transfer failed.
bool Exchange(Transport& transport, ByteQueue& queue, std::int32_t replyLength);

// Builds the request from the given bytes, then as Exchange().
bool Exchange(Transport& transport, std::initializer_list<std::uint8_t> request,
              std::int32_t replyLength, ByteQueue& reply);

// Identity and connection commands (connection.cpp).
bool Identify(Transport& transport);
bool ReadSerial(Transport& transport, char* serial);
bool ReadInfo(Transport& transport, std::int32_t selector, char* text);

// Bootloader commands (bootloader.cpp).
bool WriteBootFlag(Transport& transport, bool bootloader);
bool Reset(Transport& transport);
bool EraseBlock(Transport& transport, std::uint32_t address);
bool ProgramFlash(Transport& transport, std::uint32_t address, const std::uint8_t* data,
                  std::int32_t length);
bool CompareFlash(Transport& transport, std::uint32_t address, const std::uint8_t* data,
                  std::int32_t length);
bool ProgramConfig(Transport& transport, std::uint32_t address, const std::uint8_t* data,
                   std::int32_t length);

// Settings commands (settings.cpp).
enum class Parameter : std::uint8_t { HV = 0, Gain = 1, LLD = 2, ULD = 3 };
bool SetParameter(Transport& transport, Parameter parameter, std::int32_t value);
bool ReadParameter(Transport& transport, Parameter parameter, std::int32_t* value);
// One-byte settings and modes: the set command sends one byte; the read command's reply holds
// it at offset 1 (as a mode, any nonzero byte reads as 1). A null output only drops the value.
bool SetByte(Transport& transport, std::uint8_t command, std::uint8_t value);
bool ReadByte(Transport& transport, std::uint8_t command, bool asFlag, std::int32_t* value);
bool StoreSettings(Transport& transport);

// Count rate (count_rate.cpp).
bool ReadCountRate(Transport& transport, std::int32_t* rate, std::int32_t* flag);

}  // namespace ardellix
