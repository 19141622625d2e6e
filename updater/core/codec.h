// The firmware text codec: every hexadecimal digit of a HEX line becomes one letter of a
// 16-letter alphabet after a pseudo-random shift that changes from character to character.
// Encoder and decoder agree because both restart one process-wide generator from the same
// seed before their first line, and draw once per character, line after line, in file order.
#pragma once

#include <cstdint>
#include <string>

namespace mirovane {

inline constexpr char kCodecAlphabet[] = "qomuvxnylkFZJWHT";

// Mode 0 restarts the generator and returns "". Mode 1 encodes s, mode 2 decodes it; both
// return a text as long as s and cost one draw per character. Any other mode returns ""
// and leaves the generator alone.
std::string codec(const std::string& s, std::int16_t d);

// The generator's next value u, 0 <= u < 1, exact in a float. The codec is its only user;
// exposed so that the shift arithmetic can be checked against it.
float CodecDraw();

// The digit shift of a draw: u * 16 rounded to the nearest integer, halves to the even
// neighbour, so 0..16. Independent of the floating-point rounding mode.
int CodecShift(float u);

// The value of one hexadecimal digit, either case; any other character reads as the digit 0,
// as the codec and the HEX reader both take it.
int HexDigitValue(char c);

}  // namespace mirovane
