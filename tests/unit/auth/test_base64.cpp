// Base64: whole buffers checked against the base64 command-line tool, the
// decoder's refusals and its output bound, and the single-block forms.
#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "auth/base64.h"
#include "support/tool_test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string encode(const Bytes& bytes) {
    std::vector<char> out(base64_encoded_size(bytes.size()), '#');
    to64frombits(out.data(), bytes.data(), bytes.size());
    return out.data();
}

// What from64tobits returned and the bytes it decoded.
struct Decoded {
    int count;
    std::string bytes;
};

Decoded decode(const char* text, size_t capacity = 8192) {
    std::string out(capacity, '\0');
    int count = from64tobits(out.data(), text, capacity);
    return {count, count > 0 ? out.substr(0, count) : std::string()};
}

using Base64Tool = tooltest::TempDirTest;

// Every length from 0 to 70 (all three remainders many times) and a few
// long buffers of random bytes, high bytes included: the encoder writes
// what the tool writes, and the decoder gives the bytes back from the
// tool's text.
TEST_F(Base64Tool, EncodesAndDecodesLikeTheTool) {
    std::mt19937 random(20240601);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 70; n++)
        lengths.push_back(n);
    for (size_t n : {1000u, 4095u, 6144u})
        lengths.push_back(n);
    for (size_t n : lengths) {
        SCOPED_TRACE("length " + std::to_string(n));
        Bytes bytes(n);
        for (unsigned char& b : bytes)
            b = static_cast<unsigned char>(random());
        std::string expected =
            tool_output("base64 -w0", std::string(bytes.begin(), bytes.end()));
        ASSERT_EQ(encode(bytes), expected);
        ASSERT_EQ(expected.size(), base64_encoded_size(n) - 1);

        if (n == 0)
            continue; // the empty text is malformed for the decoder
        Decoded back = decode(expected.c_str());
        ASSERT_EQ(back.count, static_cast<int>(n));
        ASSERT_EQ(back.bytes, std::string(bytes.begin(), bytes.end()));
    }
}

TEST(Base64, PaddingOfOneTwoAndThreeBytes) {
    EXPECT_EQ(encode({'M'}), "TQ==");
    EXPECT_EQ(encode({'M', 'a'}), "TWE=");
    EXPECT_EQ(encode({'M', 'a', 'n'}), "TWFu");
}

TEST(Base64, DecoderAcceptsAndRefuses) {
    struct Case {
        const char* text;
        int count;
        const char* bytes;
    } cases[] = {
        {"QWxhZGRpbjpvcGVuIHNlc2FtZQ==", 19, "Aladdin:open sesame"},
        {"+ QWxhZGRpbjpvcGVuIHNlc2FtZQ==", 19, "Aladdin:open sesame"},
        {"\rQUJD", 0, ""},
        {"+ \r", 0, ""},
        {"QQ==", 1, "A"},
        {"QQ==QUJD", 1, "A"},  // "==" ends the text
        {"QUI=QUJD", 2, "AB"}, // so does "="
        {"QUJD", 3, "ABC"},
        {"QUJD\r\n", 3, "ABC"},
        {"QUJDREVG\rQUJD", 6, "ABCDEF"},
        {"", -1, ""},
        {"+ ", -1, ""},
        {"QUJ", -1, ""},         // terminator inside a group
        {"QUJDRE", -1, ""},      // length not a multiple of four
        {"QU JD", -1, ""},       // blank inside a group
        {"QUJD QUJD", -1, ""},   // blank between groups
        {"QUJD\n", -1, ""},      // only a carriage return ends the text
        {"Q===", -1, ""},        // "=" in second place
        {"QU=D", -1, ""},        // "=" in third place needs "=" in fourth
        {"QUJD!", -1, ""},
        {"QU\xc3\xa9", -1, ""},  // bytes over 0x7F
        {"QUJD-_-_", -1, ""},    // the URL-safe alphabet is not this one
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text));
        Decoded got = decode(c.text);
        EXPECT_EQ(got.count, c.count);
        if (c.count > 0) {
            EXPECT_EQ(got.bytes, c.bytes);
        }
    }
    char out[8];
    EXPECT_EQ(from64tobits(out, nullptr, sizeof out), -1);
}

// The decoder never writes past the capacity it is given: a text that
// decodes to more is refused, one that fits exactly is accepted.
TEST(Base64, DecoderKeepsWithinItsCapacity) {
    const char* text = "QUJDREVGRw=="; // "ABCDEFG"
    struct Case {
        size_t capacity;
        int count;
    } cases[] = {{0, -1}, {1, -1}, {3, -1}, {6, -1}, {7, 7}, {8, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE("capacity " + std::to_string(c.capacity));
        unsigned char area[32];
        memset(area, 0xA5, sizeof area);
        char* out = reinterpret_cast<char*>(area + 8);
        EXPECT_EQ(from64tobits(out, text, c.capacity), c.count);
        for (size_t i = 0; i < sizeof area; i++)
            if (i < 8 || i >= 8 + c.capacity) {
                ASSERT_EQ(area[i], 0xA5) << "byte " << i << " outside the capacity was written";
            }
        if (c.count > 0) {
            EXPECT_EQ(std::string(out, c.count), "ABCDEFG");
        }
    }
}

TEST(Base64, Blocks) {
    struct Case {
        const char* in;
        int count;
        const char* out;
    } cases[] = {
        {"Man", 3, "TWFu"}, {"Ma\xff", 2, "TWE="}, {"M\xff\xff", 1, "TQ=="},
        {"\xff\xfe\xfd", 3, "//79"}, {"\0\0\0", 3, "AAAA"}, {"abc", 0, "===="},
        {"abc", 4, "===="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.out));
        char out[5] = "";
        encodeblock(reinterpret_cast<const unsigned char*>(c.in), out, c.count);
        EXPECT_STREQ(out, c.out);
    }

    // "TWFu" as values is 19, 22, 5, 46.
    const unsigned char values[4] = {19, 22, 5, 46};
    unsigned char bytes[3];
    decodeblock(values, bytes);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 3), "Man");
    const unsigned char all_ones[4] = {63, 63, 63, 63};
    decodeblock(all_ones, bytes);
    EXPECT_EQ(bytes[0], 0xff);
    EXPECT_EQ(bytes[1], 0xff);
    EXPECT_EQ(bytes[2], 0xff);
}

} // namespace
