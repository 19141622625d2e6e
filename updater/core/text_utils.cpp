#include "text_utils.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>

namespace mirovane {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The number in s, or nothing when s is not one finite decimal number of type T.
template <typename T>
std::optional<T> ParseDecimal(const std::string& s) {
    std::string_view v = s;
    while (!v.empty() && IsBlank(v.front())) {
        v.remove_prefix(1);
    }
    while (!v.empty() && IsBlank(v.back())) {
        v.remove_suffix(1);
    }
    bool negative = false;
    if (!v.empty() && (v.front() == '+' || v.front() == '-')) {
        negative = v.front() == '-';
        v.remove_prefix(1);
    }
    // from_chars would also take "inf" and "nan" and a second sign; only digits or a point
    // may start the number proper.
    if (v.empty() || !(std::isdigit(static_cast<unsigned char>(v.front())) || v.front() == '.')) {
        return std::nullopt;
    }
    T value{};
    const auto [end, ec] =
        std::from_chars(v.data(), v.data() + v.size(), value, std::chars_format::general);
    if (ec != std::errc() || end != v.data() + v.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

template <typename Int>
Int ToInteger(const std::string& s) {
    const std::optional<double> value = ParseDecimal<double>(s);
    if (!value) {
        return 0;
    }
    // Halves to even, whatever the current rounding mode.
    double whole = std::floor(*value);
    const double fraction = *value - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) {
        whole += 1.0;
    }
    if (whole < static_cast<double>(std::numeric_limits<Int>::min()) ||
        whole > static_cast<double>(std::numeric_limits<Int>::max())) {
        return 0;
    }
    return static_cast<Int>(whole);
}

}  // namespace

std::string StripNulls(const std::string& str) {
    return str.substr(0, str.find('\0'));
}

std::int16_t SafeCInt(const std::string& s) {
    return ToInteger<std::int16_t>(s);
}

std::int32_t SafeCLng(const std::string& s) {
    return ToInteger<std::int32_t>(s);
}

float SafeCSng(const std::string& s) {
    return ParseDecimal<float>(s).value_or(0.0f);
}

std::int32_t NumericValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    std::int64_t value = 0;
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kMax) {
            return static_cast<std::int32_t>(kMax);
        }
    }
    return static_cast<std::int32_t>(value);
}

std::string HexAddress(std::int32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(address));
    return text;
}

}  // namespace mirovane
