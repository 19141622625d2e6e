// What the fuzz targets share: a failed property aborts (libFuzzer keeps the input), message
// boxes are counted, and a line is compared with what an encode and a decode make of it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "message_box.h"

namespace fuzzsupport {

inline void Require(bool held, const char* what) {
    if (!held) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

struct CountingBoxes : mirovane::MessageBoxes {
    int shown = 0;
    void ErrorBox(const std::string&) override { ++shown; }
};

// What a line reads as after an encode and a decode: upper-case digits, anything else "0".
inline std::string Normalised(const std::string& line) {
    std::string out = line;
    for (char& c : out) {
        if (c >= 'a' && c <= 'f') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            c = '0';
        }
    }
    return out;
}

}  // namespace fuzzsupport
