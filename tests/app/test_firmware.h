// Firmware for the tests: the shipped image, custom images turned back into encoded module
// lines, and the image a probe should hold after an update.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "codec.h"
#include "firmware_image.h"
#include "firmware_module.h"
#include "hex_reader.h"
#include "identity_patch.h"
#include "message_box.h"

namespace apptest {

using namespace mirovane;

struct IgnoreBoxes : MessageBoxes {
    std::vector<std::string> shown;
    void ErrorBox(const std::string& message) override { shown.push_back(message); }
};

inline FirmwareImage ShippedImage() {
    FirmwareImage image;
    IgnoreBoxes boxes;
    FWFileInit();
    ReadFWFile(image, FWFile, boxes);
    return image;
}

// One Intel HEX record line, colon included.
inline std::string HexRecord(int address, const std::uint8_t* data, int length, int type = 0) {
    std::string line = ":";
    char digits[3];
    unsigned sum = 0;
    auto put = [&](unsigned byte) {
        std::snprintf(digits, sizeof digits, "%02X", byte & 0xFFU);
        line += digits;
        sum += byte;
    };
    put(static_cast<unsigned>(length));
    put(static_cast<unsigned>(address) >> 8);
    put(static_cast<unsigned>(address));
    put(static_cast<unsigned>(type));
    for (int i = 0; i < length; ++i) {
        put(data[i]);
    }
    put(0x100U - (sum & 0xFFU));
    return line;
}

// HEX lines encoded the way the firmware module holds them (the colon dropped).
inline std::vector<std::string> EncodedLines(const std::vector<std::string>& hex) {
    std::vector<std::string> encoded;
    codec("", 0);
    for (const std::string& line : hex) {
        encoded.push_back(codec(line.substr(1), 1));
    }
    return encoded;
}

// Program bytes first..last of `image` as HEX records, encoded the way the firmware module
// holds them.
inline std::vector<std::string> EncodedModule(const FirmwareImage& image, int first, int last) {
    std::vector<std::string> hex;
    for (int a = first; a <= last; a += 16) {
        int n = std::min(16, last - a + 1);
        hex.push_back(HexRecord(a, &image.FWImage[static_cast<std::size_t>(a)], n));
    }
    hex.push_back(":00000001FF");
    return EncodedLines(hex);
}

// What the flash of a probe must hold after an update with this firmware and identity. When
// `failure` is given it is left empty if the module was read and the identity patched in, and
// else says which step failed and what it reported.
inline FirmwareImage PatchedImage(const std::vector<std::string>& module, std::int32_t serial,
                                  const std::string& date, std::string* failure = nullptr) {
    FirmwareImage image;
    IgnoreBoxes boxes;
    const bool read = ReadFWFile(image, module, boxes);
    const bool patched = PatchInfo(image, serial, date, boxes);
    if (failure != nullptr) {
        failure->clear();
        if (!read || !patched) {
            *failure = !read ? "the firmware module could not be read"
                             : "the identity could not be patched in";
            for (const std::string& message : boxes.shown) {
                *failure += "; " + message;
            }
        }
    }
    return image;
}

inline std::vector<std::string> ShippedModule() {
    FWFileInit();
    return FWFile;
}

}  // namespace apptest
