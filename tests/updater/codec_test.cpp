#include "codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using mirovane::codec;

std::string Encode(const std::string& s) {
    return codec(s, 1);
}
std::string Decode(const std::string& s) {
    return codec(s, 2);
}
void Reset() {
    codec("ignored", 0);
}

TEST(Codec, ShiftRoundsHalvesToEven) {
    const float ulp = std::ldexp(1.0f, -24);  // the generator's resolution
    const struct {
        float u;
        int shift;
    } cases[] = {
        {0.0f, 0},
        {0.5f / 16, 0},  // 0.5 -> 0
        {0.5f / 16 + ulp, 1},
        {1.5f / 16 - ulp, 1},
        {1.5f / 16, 2},  // 1.5 -> 2
        {2.5f / 16, 2},  // 2.5 -> 2
        {3.5f / 16, 4},
        {7.25f / 16, 7},
        {14.5f / 16, 14},
        {15.5f / 16, 16},  // 15.5 -> 16, which shifts like 0
        {1.0f - ulp, 16},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mirovane::CodecShift(c.u), c.shift) << "u = " << c.u;
    }
}

TEST(Codec, DrawsAreExactTwentyFourBitFractionsThatRestartOnReset) {
    Reset();
    std::vector<float> first;
    for (int k = 0; k < 1000; ++k) {
        const float u = mirovane::CodecDraw();
        ASSERT_GE(u, 0.0f);
        ASSERT_LT(u, 1.0f);
        const float scaled = std::ldexp(u, 24);
        ASSERT_EQ(scaled, std::floor(scaled));
        first.push_back(u);
    }
    Reset();
    for (float u : first) {
        ASSERT_EQ(mirovane::CodecDraw(), u);
    }
}

TEST(Codec, RoundTripsHexTextInUpperCase) {
    const struct {
        std::string plain;
        std::string decoded;
    } cases[] = {
        {"10080000F928C726796ED7A4AC504D6E41EF86D03B",
         "10080000F928C726796ED7A4AC504D6E41EF86D03B"},
        {"0123456789abcdefABCDEF", "0123456789ABCDEFABCDEF"},
        {"00000001FF", "00000001FF"},
        {" :G-z", "00000"},  // anything that is not a hex digit encodes as 0
        {"", ""},
    };
    for (const auto& c : cases) {
        Reset();
        const std::string encoded = Encode(c.plain);
        ASSERT_EQ(encoded.size(), c.plain.size());
        EXPECT_EQ(encoded.find_first_not_of(mirovane::kCodecAlphabet), std::string::npos);
        Reset();
        EXPECT_EQ(Decode(encoded), c.decoded) << c.plain;
    }
}

TEST(Codec, RoundTripsSeveralLinesInOrder) {
    const std::string lines[] = {"020000040000FA", "", "0408000001020304EA", "00000001FF"};
    std::vector<std::string> encoded;
    Reset();
    for (const auto& line : lines) {
        encoded.push_back(Encode(line));
    }
    Reset();
    for (std::size_t k = 0; k < encoded.size(); ++k) {
        EXPECT_EQ(Decode(encoded[k]), lines[k]);
    }
}

TEST(Codec, ModesThatDrawNothing) {
    const std::string line = "0408000001020304EA";
    Reset();
    const std::string reference = Encode(line);

    // The empty text, mode 0 with any text, and unknown modes leave the sequence where it was.
    Reset();
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Decode(""), "");
    EXPECT_EQ(codec("ABC", 3), "");
    EXPECT_EQ(codec("ABC", -1), "");
    EXPECT_EQ(Encode(line), reference);

    Encode("123");
    EXPECT_EQ(codec("0408", 0), "");
    EXPECT_EQ(Encode(line), reference);
}

TEST(Codec, DecodeOutOfStepGivesOtherDigits) {
    const std::string first = "10080000F928C726796ED7A4AC504D6E41EF86D03B";
    const std::string second = "1008100001B27EEFDA26D026D828B85026EC13B2E3";
    Reset();
    const std::string e1 = Encode(first);
    const std::string e2 = Encode(second);
    EXPECT_NE(e1, e2);

    Reset();
    EXPECT_NE(Decode(e2), second);  // second line decoded first

    Reset();
    Decode("x");  // one extra draw
    EXPECT_NE(Decode(e1), first);

    Reset();  // the same line twice after one reset gets two different codes
    EXPECT_NE(Encode(first), Encode(first));
}

TEST(Codec, LettersAreMatchedCaseSensitively) {
    // A letter outside the alphabet decodes like the alphabet's last letter, 'T'; the other case
    // of an alphabet letter is outside it.
    for (const char* outside : {"t", "Q", "f", "#", "a"}) {
        Reset();
        const std::string got = Decode(outside);
        Reset();
        EXPECT_EQ(got, Decode("T")) << outside;
    }
    Reset();
    const std::string fromF = Decode("F");
    Reset();
    EXPECT_NE(fromF, Decode("f"));
}

}  // namespace
