// The firmware image the updater sends to the probe: program memory, configuration memory and
// the highest program address that a record wrote.
#pragma once

#include <array>
#include <cstdint>

namespace mirovane {

inline constexpr std::int32_t kApplicationStart = 0x0800;  // first address of application flash
inline constexpr std::int32_t kProgramTop = 0x7FFF;        // last program address
inline constexpr std::int32_t kConfigTop = 0x3F;           // last configuration offset
inline constexpr std::uint8_t kErasedByte = 0xFF;          // what an unwritten byte holds

struct FirmwareImage {
    FirmwareImage() { ResetImage(); }

    std::array<std::uint8_t, 32768> FWImage;
    std::array<std::uint8_t, 64> FWConfig;  // bytes at linear address 0x300000 upward
    std::int32_t FWHighAddr;                // never below kApplicationStart

    // Fills both memories with 0xFF and sets FWHighAddr to 2048.
    void ResetImage();
};

}  // namespace mirovane
