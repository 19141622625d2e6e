#include "hex_reader.h"

#include <cstddef>
#include <cstdint>

#include "codec.h"

namespace mirovane {
namespace {

// The hexadecimal value of the characters at 1-based position pos, width wide. Characters past
// the end of the line are not there and the field reads only those that are (0 when none).
std::int32_t Field(const std::string& line, std::size_t pos, std::size_t width) {
    std::int32_t value = 0;
    for (std::size_t k = pos - 1; k < pos - 1 + width && k < line.size(); ++k) {
        value = value * 16 + HexDigitValue(line[k]);
    }
    return value;
}

enum class Region { kProgram, kConfig };

bool Fail(MessageBoxes& boxes, const char* text, std::size_t index) {
    boxes.ErrorBox(text + std::to_string(index));
    return false;
}

}  // namespace

bool ReadFWFile(FirmwareImage& image, const std::vector<std::string>& fwFile, MessageBoxes& boxes) {
    codec({}, 0);
    Region region = Region::kProgram;

    for (std::size_t i = 0; i < fwFile.size(); ++i) {
        const std::string line = codec(fwFile[i], 2);

        const std::int32_t n = Field(line, 1, 2);
        if (line.size() != static_cast<std::size_t>(2 * n + 10)) {
            return Fail(boxes, "Invalid record length in firmware file at line ", i);
        }
        std::int32_t address = Field(line, 3, 4);
        std::int32_t sum = n + (address >> 8) + (address & 0xFF);
        const std::int32_t type = Field(line, 7, 2);
        sum += type;

        std::size_t checksumPos = 0;
        switch (type) {
            case 0:
                for (std::int32_t k = 0; k < n; ++k) {
                    const std::int32_t b = Field(line, 9 + 2 * k, 2);
                    if (region == Region::kConfig) {
                        if (address > kConfigTop) {
                            return Fail(boxes,
                                        "Config address out of range in firmware file at line ", i);
                        }
                        image.FWConfig[address] = static_cast<std::uint8_t>(b);
                    } else {
                        if (address > kProgramTop) {
                            return Fail(boxes, "Address out of range in firmware file at line ", i);
                        }
                        image.FWImage[address] = static_cast<std::uint8_t>(b);
                        if (address > image.FWHighAddr) {
                            image.FWHighAddr = address;
                        }
                    }
                    ++address;
                    sum += b;
                }
                checksumPos = 9 + 2 * static_cast<std::size_t>(n);
                break;
            case 1:
                checksumPos = 9;
                break;
            case 4: {
                const std::int32_t hi = Field(line, 9, 2);
                const std::int32_t lo = Field(line, 11, 2);
                sum += hi + lo;
                const std::int32_t extended = hi * 256 + lo;
                if (extended == 0x0000) {
                    region = Region::kProgram;
                } else if (extended == 0x0030) {
                    region = Region::kConfig;
                } else {
                    return Fail(boxes, "Invalid extended address in firmware file at line ", i);
                }
                checksumPos = 13;
                break;
            }
            default:
                return Fail(boxes, "Unknown record type in firmware file at line ", i);
        }

        if (((Field(line, checksumPos, 2) + sum) & 0xFF) != 0) {
            return Fail(boxes, "Invalid record checksum in firmware file at line ", i);
        }
    }
    return true;
}

}  // namespace mirovane
