// Writes a probe's serial number and production date into the identity block of a loaded
// firmware image, after checking that the image carries the block at all.
#pragma once

#include <cstdint>
#include <string>

#include "firmware_image.h"
#include "message_box.h"

namespace mirovane {

// Identity block addresses in program memory.
inline constexpr std::int32_t kSignatureAddr = 0x1000;
inline constexpr std::int32_t kProductNameAddr = 0x1010;
inline constexpr std::int32_t kSerialNameAddr = 0x1020;
inline constexpr std::int32_t kSerialValueAddr = 0x1027;
inline constexpr std::int32_t kFirmwareVersionAddr = 0x1030;
inline constexpr std::int32_t kProdDateNameAddr = 0x1040;
inline constexpr std::int32_t kProdDateValueAddr = 0x1047;

// The text stored at addr: at most 16 bytes, ending before the first 0 byte.
std::string ImageText(const FirmwareImage& image, std::int32_t addr);

// Checks signature, product name and serial slot name, writes NewSN as eight characters
// (zero-padded decimal, truncated to eight) and a 0 byte into the serial slot, then, only when
// NewPD is exactly eight characters long, checks the date slot name and writes NewPD and a 0
// byte into it. A failed check shows its error box and returns false; what was written before
// it stays written.
bool PatchInfo(FirmwareImage& image, std::int32_t NewSN, const std::string& NewPD,
               MessageBoxes& boxes);

}  // namespace mirovane
