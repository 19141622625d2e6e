#include "identity_patch.h"

#include <cstddef>
#include <string_view>

namespace mirovane {
namespace {

constexpr std::size_t kTextMax = 16;
constexpr std::size_t kSlotValueLength = 8;

bool Fail(MessageBoxes& boxes, const char* message) {
    boxes.ErrorBox(message);
    return false;
}

// Writes the first eight characters of value and a terminating 0 at addr.
void WriteSlot(FirmwareImage& image, std::int32_t addr, std::string_view value) {
    for (std::size_t k = 0; k < kSlotValueLength; ++k) {
        image.FWImage[addr + k] = static_cast<std::uint8_t>(value[k]);
    }
    image.FWImage[addr + kSlotValueLength] = 0;
}

// The decimal text of sn with at least eight digits, a minus sign in front when negative.
std::string SerialText(std::int32_t sn) {
    const std::int64_t wide = sn;
    std::string digits = std::to_string(wide < 0 ? -wide : wide);
    if (digits.size() < kSlotValueLength) {
        digits.insert(0, kSlotValueLength - digits.size(), '0');
    }
    return wide < 0 ? "-" + digits : digits;
}

}  // namespace

std::string ImageText(const FirmwareImage& image, std::int32_t addr) {
    std::string text;
    for (std::size_t k = 0; k < kTextMax && image.FWImage[addr + k] != 0; ++k) {
        text.push_back(static_cast<char>(image.FWImage[addr + k]));
    }
    return text;
}

bool PatchInfo(FirmwareImage& image, std::int32_t NewSN, const std::string& NewPD,
               MessageBoxes& boxes) {
    if (ImageText(image, kSignatureAddr) != "KORVALIMEX") {
        return Fail(boxes, "Could not find a valid signature in the firmware image file");
    }
    if (ImageText(image, kProductNameAddr).substr(0, 4) != "kLOV") {
        return Fail(boxes, "Could not find a valid product name in the firmware image file");
    }
    if (ImageText(image, kSerialNameAddr) != "SERIAL") {
        return Fail(boxes,
                    "Could not find the serial number location name in the firmware image file");
    }
    WriteSlot(image, kSerialValueAddr, SerialText(NewSN));

    if (NewPD.size() != kSlotValueLength) {
        return true;  // no date to write: the slot keeps what the firmware brought
    }
    if (ImageText(image, kProdDateNameAddr) != "PRDATE") {
        return Fail(boxes,
                    "Could not find the production date location name in the firmware image file");
    }
    WriteSlot(image, kProdDateValueAddr, NewPD);
    return true;
}

}  // namespace mirovane
