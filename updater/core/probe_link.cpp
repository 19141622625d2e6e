#include "probe_link.h"

#include "text_utils.h"

namespace mirovane {

std::array<std::uint8_t, 16> IdentitySlot(const std::string& serial) {
    std::array<std::uint8_t, 16> slot{'S', 'E', 'R', 'I', 'A', 'L', 0};
    for (std::size_t i = 0; i < 8 && i < serial.size(); ++i) {
        slot[7 + i] = static_cast<std::uint8_t>(serial[i]);
    }
    return slot;
}

std::string LinkStatus::Text() const {
    if (!open) {
        return "Disconnected";
    }
    if (bootloader) {
        return "Connected to kLOV in bootloader mode";
    }
    return serial ? "Connected to kLOV with S/N " + *serial : "Connected to kLOV with unknown S/N";
}

std::string ReportedSerial(const char (&field)[10]) {
    return StripNulls(std::string(field, 8));
}

bool ReadSerialNoNoting(ArdellixApi& lib, ScaHandle handle, char (&field)[10], LinkStatus& status) {
    if (lib.ReadSerialNo(handle, field) == 0) {
        status.serial.reset();
        return false;
    }
    status.serial = StripNulls(std::string(field, sizeof field));
    return true;
}

}  // namespace mirovane
