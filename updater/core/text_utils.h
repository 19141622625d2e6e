// Small text helpers of the updater: cutting library-filled buffers at their first NUL and
// tolerant, locale-independent number conversions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mirovane {

// The characters of str before its first NUL, or all of str when it holds none.
std::string StripNulls(const std::string& str);

// Decimal number texts with optional leading and trailing blanks (space, tab), an optional
// sign, a '.' decimal point and an optional exponent, read the same in every locale. The
// integer forms round a fraction to the nearest integer, halves to even. A text that is not
// such a number, or whose value does not fit the type, gives 0.
std::int16_t SafeCInt(const std::string& s);
std::int32_t SafeCLng(const std::string& s);
float SafeCSng(const std::string& s);

// The value of the decimal digits at the start of `text`, after any leading blanks; 0 when no
// digit comes first. Values beyond the 32-bit range stop at its maximum.
std::int32_t NumericValue(std::string_view text);

// "Failed to ... at address " style address text: upper-case hexadecimal, no prefix.
std::string HexAddress(std::int32_t address);

}  // namespace mirovane
