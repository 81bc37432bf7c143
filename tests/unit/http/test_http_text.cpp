// Reason phrases, error templates and the FTP text forms.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdlib.h>

#include <string>

#include "http/http_text.h"

TEST(HttpText, ReasonPhrases) {
    const struct {
        int code;
        const char* phrase;
    } cases[] = {
        {100, "Continue"},    {200, "OK"},
        {204, "No Content"},  {206, "Partial Content"},
        {301, "Moved Permanently"},
        {302, "Found"},       {304, "Not Modified"},
        {308, "Permanent Redirect"},
        {400, "Bad Request"}, {401, "Unauthorized"},
        {403, "Forbidden"},   {404, "Not Found"},
        {407, "Proxy Authentication Required"},
        {413, "Content Too Large"}, {414, "URI Too Long"},
        {417, "Expectation Failed"},
        {431, "Request Header Fields Too Large"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
        {306, "Unknown"},     {299, "Unknown"},
        {0, "Unknown"},       {-1, "Unknown"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(code_to_error(c.code), c.phrase) << c.code;
}

TEST(HttpText, ErrorTemplates) {
    EXPECT_STREQ(error_to_template(-2), "noconnect");
    EXPECT_STREQ(error_to_template(-3), "nodns");
    EXPECT_STREQ(error_to_template(-4), "badauth");
    EXPECT_STREQ(error_to_template(-1), "unknown");
    EXPECT_STREQ(error_to_template(0), "unknown");
}

TEST(HttpText, ModeParse) {
    const struct {
        const char* text;
        unsigned bits;
    } cases[] = {
        {"-rwsr-Sr-t", 0xFED},
        {"drwxrwxrwx", 0x1FF},
        {"-rw-r-sr--", 0x1A4}, // lower-case s in the group column adds nothing
        {"-r-Sr--r--", 0x124}, // capital S in the owner column adds nothing
        {"----------", 0},
        {"-rwxrwxrw", 0},      // nine characters
        {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mode_parse(c.text), c.bits) << c.text;
}

TEST(HttpText, ModeCreateWritesWhatParseReads) {
    const struct {
        unsigned bits;
        const char* text;
    } cases[] = {
        {0x1FF, "-rwxrwxrwx"},
        {0x800, "---s------"}, // set-user-id shows without execute
        {0xFED, "-rwsr-Sr-t"},
        {0x1A4, "-rw-r--r--"},
        {0, "----------"},
    };
    for (const auto& c : cases) {
        char* text = mode_create(c.bits);
        EXPECT_STREQ(text, c.text);
        free(text);
    }
    for (unsigned bits : {0x1FFu, 0xFEDu, 0x9C0u, 0x0u, 0x124u}) {
        char* text = mode_create(bits);
        EXPECT_EQ(mode_parse(text), bits) << text;
        free(text);
    }
}

static std::string address_text(const struct sockaddr_in* address) {
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address->sin_port));
}

TEST(HttpText, FtpPortParse) {
    const struct {
        const char* text;
        const char* address; // NULL: refused
    } cases[] = {
        {"10,0,0,1,4,1", "10.0.0.1:1025"},
        {"192,168,1,20,200,10)", "192.168.1.20:51210"}, // reply text with ")"
        {"10,,0,0,1,4,1", "10.0.0.1:1025"},             // empty field skipped
        {"10,0,0,1,4", nullptr},
        {"10,0,0,1,4,1,7", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        struct sockaddr_in* address = ftpport_parse(c.text);
        if (c.address == nullptr) {
            EXPECT_EQ(address, nullptr) << c.text;
        } else {
            ASSERT_NE(address, nullptr) << c.text;
            EXPECT_EQ(address->sin_family, AF_INET);
            EXPECT_EQ(address_text(address), c.address);
        }
        free(address);
    }
    EXPECT_EQ(ftpport_parse(nullptr), nullptr);
}

TEST(HttpText, FtpPortCreateRoundTrips) {
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "10.0.0.1", &address.sin_addr);
    address.sin_port = htons(1025);
    char* text = ftpport_create(&address);
    EXPECT_STREQ(text, "10,0,0,1,4,1");
    struct sockaddr_in* back = ftpport_parse(text);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(address_text(back), "10.0.0.1:1025");
    free(back);
    free(text);
}
