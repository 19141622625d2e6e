#include "text_utils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using std::string_literals::operator""s;

TEST(TextUtils, StripNullsCutsAtTheFirstNul) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"kLOV-VR", "kLOV-VR"},
        {"", ""},
        {"\0abc"s, ""},
        {"ab\0cd\0"s, "ab"},
        {"20121228"s + std::string(24, '\0'), "20121228"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mirovane::StripNulls(c.in), c.out);
    }
}

TEST(TextUtils, IntegerConversions) {
    const struct {
        const char* in;
        std::int16_t asInt;
        std::int32_t asLong;
    } cases[] = {
        {"123", 123, 123},
        {"40000", 0, 40000},  // fits 32 bits, not 16
        {"32767", 32767, 32767},
        {"32768", 0, 32768},
        {"-32768", -32768, -32768},
        {"-32769", 0, -32769},
        {"2147483647", 0, 2147483647},
        {"2147483648", 0, 0},
        {"-2147483648", 0, INT32_MIN},
        {"99999999999999999999", 0, 0},
        {" \t-42 ", -42, -42},
        {"+7", 7, 7},
        {"007", 7, 7},
        {"2.5", 2, 2},  // fractions round to the nearest, halves to even
        {"3.5", 4, 4},
        {"-2.5", -2, -2},
        {"2.51", 3, 3},
        {"1e3", 1000, 1000},
        {"32767.5", 0, 32768},
        {"", 0, 0},
        {"   ", 0, 0},
        {"abc", 0, 0},
        {"12abc", 0, 0},
        {"1 2", 0, 0},
        {"--1", 0, 0},
        {"+-1", 0, 0},
        {"-", 0, 0},
        {"0x10", 0, 0},
        {"1,5", 0, 0},  // no locale's decimal comma
        {"inf", 0, 0},
        {"nan", 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mirovane::SafeCInt(c.in), c.asInt) << '"' << c.in << '"';
        EXPECT_EQ(mirovane::SafeCLng(c.in), c.asLong) << '"' << c.in << '"';
    }
}

TEST(TextUtils, SingleConversion) {
    const struct {
        const char* in;
        float out;
    } cases[] = {
        {"1.5", 1.5f},       {" -0.25 ", -0.25f}, {"+3", 3.0f},       {".5", 0.5f},
        {"3.4e38", 3.4e38f}, {"1e39", 0.0f},      {"-1e39", 0.0f},    {"abc", 0.0f},
        {"1,5", 0.0f},       {"", 0.0f},          {"infinity", 0.0f}, {"1.5x", 0.0f},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mirovane::SafeCSng(c.in), c.out) << '"' << c.in << '"';
    }
}

}  // namespace
