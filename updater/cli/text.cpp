#include "text.h"

#include <chrono>
#include <cstdio>

namespace klov {

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte >= 0x7F) {
                    // Bytes above ASCII are not necessarily UTF-8; take them as Latin-1.
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string JsonStringOrNull(const std::optional<std::string>& text) {
    return text ? JsonString(*text) : "null";
}

std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F) {
            c = '?';
        }
    }
    return out;
}

std::optional<std::int64_t> ParseDigits(std::string_view text, std::int64_t max) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        if (value > max) {
            return std::nullopt;
        }
    }
    return value;
}

std::optional<std::string> IsoDate(std::string_view raw) {
    if (raw.size() != 8) {
        return std::nullopt;
    }
    const auto year = ParseDigits(raw.substr(0, 4), 9999);
    const auto month = ParseDigits(raw.substr(4, 2), 99);
    const auto day = ParseDigits(raw.substr(6, 2), 99);
    if (!year || !month || !day || *year == 0) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year{static_cast<int>(*year)},
                                           std::chrono::month{static_cast<unsigned>(*month)},
                                           std::chrono::day{static_cast<unsigned>(*day)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    return std::string(raw.substr(0, 4)) + "-" + std::string(raw.substr(4, 2)) + "-" +
           std::string(raw.substr(6, 2));
}

}  // namespace klov
