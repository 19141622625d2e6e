// What a simulated kLOV probe is: its modes, memory layout, configuration, settings and the
// violations it records. The probe model and every bus adapter that carries it share these
// types; none of them belongs to a particular bus.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace klovsim {

enum class Mode { Application, Bootloader };

constexpr std::uint16_t kProbeVendorId = 0x04D8;
constexpr std::uint16_t kProbeProductId = 0xF85D;
constexpr std::uint32_t kFlashSize = 0x8000;
constexpr std::uint32_t kBootloaderEnd = 0x0800;  // flash below this never changes
constexpr std::uint32_t kEraseBlock = 64;
constexpr std::uint32_t kRowSize = 16;
constexpr std::uint32_t kConfigBase = 0x300000;
constexpr std::uint32_t kConfigSize = 16;
constexpr std::uint32_t kEepromSize = 256;
constexpr std::uint8_t kBootFlagAddress = 0xFF;  // EEPROM byte holding the boot flag
constexpr std::uint8_t kBootFlagBootloader = 0x3A;
constexpr std::uint8_t kBootFlagApplication = 0xC5;

// Identity block of the firmware image in flash (same layout the updater patches).
constexpr std::uint32_t kIdentitySignature = 0x1000;   // "KORVALIMEX" (reported as manufacturer)
constexpr std::uint32_t kIdentityProduct = 0x1010;     // "kLOV..."
constexpr std::uint32_t kIdentitySerialName = 0x1020;  // "SERIAL\0"
constexpr std::uint32_t kIdentitySerial = 0x1027;      // 8 characters + 0
constexpr std::uint32_t kIdentityVersion = 0x1030;     // firmware version text, 16 bytes
constexpr std::uint32_t kIdentityDateName = 0x1040;    // "PRDATE\0"
constexpr std::uint32_t kIdentityDate = 0x1047;        // 8 characters + 0

// Reply bytes that the host has no business examining: the probe's own choice. By default none
// equals the command byte it answers, so a host that compares them with the command fails.
struct UnexaminedBytes {
    // Bytes 1-4 of the identify reply. Unset: the three numbers of the firmware version text in
    // flash, then 0 (so an update visibly changes them).
    std::optional<std::array<std::uint8_t, 4>> identify;
    std::uint8_t bootFlagAck = 0x00;  // the one-byte reply to 0x05
    std::uint8_t eraseAck = 0x00;     // to 0x03
    std::uint8_t writeAck = 0x00;     // to 0x02
    std::uint8_t configAck = 0x00;    // to 0x07
    // The 5-byte header in front of the flash bytes of a read-flash reply (0x01).
    std::array<std::uint8_t, 5> readFlashHeader{0x00, 0x00, 0x00, 0x00, 0x00};
};

// What a probe is created with. The simulator builds a small application image holding an
// identity block from these texts, unless `flash` is given, in which case that image is used
// as it stands (bytes below 0x0800 are the bootloader's and are kept from it as well).
struct ProbeConfig {
    std::string serial = "04124008";
    std::string productionDate = "20121228";
    std::string productName = "kLOV-VR";
    std::string signature = "KORVALIMEX";
    std::string firmwareVersion = "2.0.3";
    Mode mode = Mode::Application;  // sets the boot flag in EEPROM
    bool blankApplication = false;  // application area erased (0xFF)
    std::optional<std::array<std::uint8_t, kFlashSize>> flash;
    std::chrono::milliseconds resetDelay{1500};  // off the bus after a reset command
    UnexaminedBytes unexamined;
};

// Power-on values of the settings registers (also what an EEPROM without saved settings gives).
struct Settings {
    std::uint16_t hv = 900;
    std::uint16_t gain = 128;
    std::uint16_t lld = 40;
    std::uint16_t uld = 4000;
    std::uint8_t integralMode = 0;
    std::uint8_t analogOutputMode = 0;
    std::uint8_t cpsGain = 1;
    std::uint8_t responseTime = 10;
    bool operator==(const Settings&) const = default;
};

// A row write that asked for a 1 where the flash byte holds a 0 (programming can only clear
// bits; 0xFF, the padding of a row, asks for nothing and leaves the byte as it is), or any write
// or erase touching the bootloader area.
struct WriteViolation {
    std::uint32_t address;
    std::uint8_t before;
    std::uint8_t attempted;
};

// A request outside what the probe promises to handle (wrong length, unknown command in this
// mode, a bootloader command sent to the application, an erase address that is not a multiple
// of 64, a transfer on the wrong endpoint or without the interface claimed, ...). The probe
// answers such requests the way a real one would (usually not at all); the record lets tests
// catch a host that misbehaves.
struct ProtocolViolation {
    std::string what;
};

// A probe looked at from outside, all of it read at one moment.
struct ProbeState {
    std::array<std::uint8_t, kFlashSize> flash{};
    std::uint8_t bootFlag = 0;
    Mode mode = Mode::Application;
    bool onBus = false;
    bool bricked = false;
    std::vector<WriteViolation> writeViolations;
    std::vector<ProtocolViolation> protocolViolations;
};

}  // namespace klovsim
