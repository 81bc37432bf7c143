// Keyword scoring: a table of bodies and rules with the score each earns,
// bodies with NUL bytes and in UTF-16 scored whole, and the threshold.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "core/filebuf.h"
#include "filter/keyword.h"
#include "http/header.h"
#include "support/section_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;

namespace {

std::string rule(const std::string& mime, const std::string& keyword, int score) {
    return "<rules>" +
           elements({{"enabled", "true"}, {"comment", ""}, {"groups", ""}, {"profiles", ""},
                     {"mime_type", mime}, {"keyword", keyword}, {"score", std::to_string(score)}}) +
           "</rules>";
}

class KeywordTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        keyword_section = new KeywordSection();
        sectiontest::load(*keyword_section,
                          "<keywords-filtering><enabled>true</enabled><threshold>10</threshold>" +
                              rule("html", "casino", 6) + rule("", "poker", 5) +
                              rule("", "charity", -5) + "</keywords-filtering>");
    }
    void TearDown() override {
        delete keyword_section;
        keyword_section = nullptr;
        ShippedSectionTest::TearDown();
    }
    int score(const std::string& body, const char* content_type) {
        Connection connection("GET http://example.test/ HTTP/1.1\r\nHost: example.test\r\n\r\n");
        connection->response = header_new();
        if (content_type != nullptr)
            connection->response->content_type = strdup(content_type);
        Filebuf buffer;
        buffer.Add(body.data(), static_cast<unsigned>(body.size()));
        int result = keyword_section->check(connection.get(), &buffer);
        EXPECT_EQ(buffer.size, body.size()); // the body is left as it was
        return result;
    }
};

std::string utf16le(const std::string& ascii, bool mark) {
    std::string out = mark ? std::string("\xFF\xFE", 2) : std::string();
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

TEST_F(KeywordTest, BodiesAndRulesGiveTheirScores) {
    struct {
        std::string body;
        const char* type;
        int expected;
    } cases[] = {
        {"a CASINO and poker page", "text/html", 11},
        {"casino and poker", "text/plain", 5},         // the html rule does not apply
        {"casino and poker", nullptr, 5},              // no Content-Type reads as ""
        {"poker for charity", "text/html", 0},         // 5 - 5
        {std::string("\0casino poker", 13), "text/html", 11}, // leading NUL
        {utf16le("casino poker", true), "text/html", 11},     // UTF-16 with a mark
        {utf16le("casino poker", false), "text/html; charset=UTF-16LE", 11},
        {"nothing here", "text/html", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(score(c.body, c.type), c.expected) << c.body;
}

} // namespace
