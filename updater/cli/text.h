// Text helpers of the command line: JSON strings, terminal-safe text, strict numbers and dates.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace klov {

// `text` as a quoted JSON string. Control characters, quotes, backslashes and every byte
// outside printable ASCII are escaped, so the result is valid JSON whatever the probe sent.
std::string JsonString(std::string_view text);

// A JSON string, or null when there is no text.
std::string JsonStringOrNull(const std::optional<std::string>& text);

// `text` with every byte outside printable ASCII replaced by '?', for a terminal.
std::string Printable(std::string_view text);

// A production date of eight digits (year, month, day) as "YYYY-MM-DD"; nothing when the
// text is not eight digits or not a real calendar date.
std::optional<std::string> IsoDate(std::string_view raw);

// A whole decimal number made of digits only, no sign or blanks; nothing for anything else,
// or for a value beyond `max`.
std::optional<std::int64_t> ParseDigits(std::string_view text, std::int64_t max);

}  // namespace klov
