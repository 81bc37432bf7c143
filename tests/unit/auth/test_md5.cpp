// MD5 digests checked against the md5sum command-line tool.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "auth/md5.h"
#include "support/tool_test_support.h"

namespace {

class Md5Tool : public tooltest::TempDirTest {
protected:
    // The 32 hexadecimal digits md5sum prints for the bytes.
    std::string tool_digest(const std::string& bytes) {
        return tool_output("md5sum", bytes).substr(0, 32);
    }
};

std::vector<std::string> sample_texts() {
    std::vector<std::string> texts = {
        "", "a", "abc", "message digest", "The quick brown fox jumps over the lazy dog",
        "http://www.example.com/index.html?query=1&b=%20", "caf\xc3\xa9 \xff\x80\x01",
    };
    // Lengths around the 64-byte block and its 56-byte padding limit.
    for (size_t n : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 1000u, 100000u}) {
        std::string text;
        for (size_t i = 0; i < n; i++)
            text += static_cast<char>('A' + i * 7 % 50);
        texts.push_back(text);
    }
    return texts;
}

TEST_F(Md5Tool, TextDigestIsTheToolsDigest) {
    for (const std::string& text : sample_texts()) {
        SCOPED_TRACE("length " + std::to_string(text.size()));
        char out[MD5_TEXT_SIZE];
        memset(out, '#', sizeof out);
        ASSERT_EQ(md5_string(text.c_str(), out), 0);
        EXPECT_EQ(out[32], '\0');
        EXPECT_EQ(std::string(out), tool_digest(text));
    }
}

// Fed in uneven pieces (1 byte, then pieces that straddle block edges), the
// incremental form gives the same digest as the tool.
TEST_F(Md5Tool, IncrementalDigestIsTheToolsDigest) {
    for (const std::string& text : sample_texts()) {
        SCOPED_TRACE("length " + std::to_string(text.size()));
        md5_context context;
        ASSERT_EQ(md5_starts(&context), 0);
        size_t offset = 0, piece = 1;
        while (offset < text.size()) {
            size_t n = std::min(piece, text.size() - offset);
            ASSERT_EQ(md5_update(&context, text.data() + offset, n), 0);
            offset += n;
            piece = piece * 3 + 7;
        }
        unsigned char digest[MD5_DIGEST_BYTES];
        ASSERT_EQ(md5_finish(&context, digest), 0);
        char hex[MD5_TEXT_SIZE];
        for (int i = 0; i < MD5_DIGEST_BYTES; i++)
            snprintf(hex + 2 * i, 3, "%02x", digest[i]);
        EXPECT_EQ(std::string(hex), tool_digest(text));
        // A finished context is released: further use is refused.
        EXPECT_EQ(md5_update(&context, "x", 1), -1);
        EXPECT_EQ(md5_finish(&context, digest), -1);
    }
}

TEST(Md5, EmptyTextIsTheRfcDigest) {
    char out[MD5_TEXT_SIZE];
    ASSERT_EQ(md5_string("", out), 0);
    EXPECT_STREQ(out, "d41d8cd98f00b204e9800998ecf8427e");
    ASSERT_EQ(md5_string(nullptr, out), 0);
    EXPECT_STREQ(out, "d41d8cd98f00b204e9800998ecf8427e");
}

} // namespace
