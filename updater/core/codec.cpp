#include "codec.h"

#include <cmath>

namespace mirovane {
namespace {

// The generator: a 24-bit linear congruential generator
//     state' = (0x3A9E65 * state + 0x2C9A37) mod 2^24,  u = state' / 2^24.
// The increment is odd and the multiplier is 1 mod 4, so the period is the full 2^24, and a
// 24-bit state divided by 2^24 is exact in a float's 24-bit significand. A reset puts the
// seed back into the state.
constexpr std::uint32_t kMultiplier = 0x3A9E65;
constexpr std::uint32_t kIncrement = 0x2C9A37;
constexpr std::uint32_t kStateMask = 0xFFFFFF;
constexpr std::uint32_t kSeed = 7;

std::uint32_t g_state = kSeed;

int AlphabetPosition(char c) {
    for (int k = 0; k < 16; ++k) {
        if (kCodecAlphabet[k] == c) {
            return k;
        }
    }
    return -1;
}

}  // namespace

float CodecDraw() {
    g_state = (kMultiplier * g_state + kIncrement) & kStateMask;
    return std::ldexp(static_cast<float>(g_state), -24);
}

int CodecShift(float u) {
    const float scaled = u * 16.0f;  // exact: a power-of-two scaling
    const float whole = std::floor(scaled);
    const float fraction = scaled - whole;  // exact as well
    int r = static_cast<int>(whole);
    if (fraction > 0.5f || (fraction == 0.5f && (r & 1) != 0)) {
        ++r;
    }
    return r;
}

std::string codec(const std::string& s, std::int16_t d) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    switch (d) {
        case 0:
            g_state = kSeed;
            return {};
        case 1: {
            std::string out = s;
            for (char& c : out) {
                const int r = CodecShift(CodecDraw());
                c = kCodecAlphabet[(HexDigitValue(c) + r) & 15];
            }
            return out;
        }
        case 2: {
            std::string out = s;
            for (char& c : out) {
                const int r = CodecShift(CodecDraw());
                // A character outside the alphabet (p = -1) lands on the last letter's value.
                c = kHexDigits[(AlphabetPosition(c) - r) & 15];
            }
            return out;
        }
        default:
            return {};
    }
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return 0;  // anything else reads as the digit 0
}

}  // namespace mirovane
