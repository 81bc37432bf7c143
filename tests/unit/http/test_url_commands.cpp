// URL commands: the label syntax, building labels back, taking commands out
// of requests and Referers, and rewriting redirects.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "http/header.h"
#include "http/url_commands.h"
#include "net/connection.h"
#include "support/log_test_support.h"
#include "support/section_test_support.h"

using sectiontest::Connection;

namespace {

// "name" or "name[options]" for each command, in order.
std::vector<std::string> described(url_command_t** commands) {
    std::vector<std::string> texts;
    for (url_command_t** c = commands; c != nullptr && *c != nullptr; c++)
        texts.push_back(std::string((*c)->name) +
                        ((*c)->options != nullptr ? "[" + std::string((*c)->options) + "]" : ""));
    return texts;
}

TEST(UrlCommandParse, LabelsAreTakenFromTheStartOfTheText) {
    struct Case {
        const char* text;
        std::vector<std::string> commands;
        const char* rest;
    } cases[] = {
        {"xx--fresh.xx--bypass[f].example", {"fresh", "bypass[f]"}, "example"},
        {"XX--Fresh.www.example.com", {"Fresh"}, "www.example.com"},
        {"xx--bypass[fh.example.com", {"bypass"}, "example.com"}, // no "]" in the label
        {"xx--template[blocked].host", {"template[blocked]"}, "host"},
        {"xx--template[proxy.pac].host", {"template[proxy.pac]"}, "host"}, // dots in options
        {"xx--.host", {""}, "host"},
        {"www.xx--fresh.example", {}, "www.xx--fresh.example"}, // only at the start
        {"xx--fresh", {}, "xx--fresh"},                        // no "." ends it: no label
        {"xx--a.xx--b", {"a"}, "xx--b"},
        {"", {}, ""},
    };
    for (const Case& c : cases) {
        char* text = strdup(c.text);
        url_command_t** commands = url_command_parse(text);
        EXPECT_EQ(described(commands), c.commands) << c.text;
        EXPECT_EQ(commands == nullptr, c.commands.empty()) << c.text;
        EXPECT_STREQ(text, c.rest) << c.text;
        url_command_free(commands);
        free(text);
    }
    EXPECT_EQ(url_command_parse(nullptr), nullptr);
}

TEST(UrlCommandParse, OptionsMissingTheirBracketAreNull) {
    char text[] = "xx--bypass[f.host";
    url_command_t** commands = url_command_parse(text);
    ASSERT_NE(commands, nullptr);
    EXPECT_STREQ(commands[0]->name, "bypass");
    EXPECT_EQ(commands[0]->options, nullptr);
    EXPECT_EQ(commands[1], nullptr);
    url_command_free(commands);
}

TEST(UrlCommandCreate, LabelsInArrayOrderAndFindIgnoresCase) {
    char text[] = "xx--a.xx--b[x].host";
    url_command_t** commands = url_command_parse(text);
    char* labels = url_command_create(commands);
    EXPECT_STREQ(labels, "xx--a.xx--b[x].");
    free(labels);
    EXPECT_EQ(url_command_find(commands, "B"), commands[1]);
    EXPECT_EQ(url_command_find(commands, "c"), nullptr);
    EXPECT_EQ(url_command_find(nullptr, "a"), nullptr);
    url_command_free(commands);
    char* empty = url_command_create(nullptr);
    EXPECT_STREQ(empty, "");
    free(empty);
}

class ExtractTest : public logtest::LogDirTest {
protected:
    void start(const char* request_text) {
        connection = new Connection(request_text);
        connection->attach_client();
    }
    void TearDown() override {
        if (connection != nullptr) {
            url_command_free((*connection)->url_commands);
            delete connection;
        }
        LogDirTest::TearDown();
    }
    std::string sent() { return connection->sent(); }
    CONNECTION_T* conn() { return connection->get(); }

    Connection* connection = nullptr;
};

TEST_F(ExtractTest, ProxyRequestLosesItsLabelsAndKeepsTheCommands) {
    start("GET http://xx--fresh.xx--bypass[f].example:8080/a?b=c HTTP/1.1\r\n\r\n");
    EXPECT_EQ(url_command_extract(conn()), 1);
    EXPECT_EQ(described(conn()->url_commands), (std::vector<std::string>{"fresh", "bypass[f]"}));
    EXPECT_STREQ(conn()->request->host, "example");
    EXPECT_STREQ(conn()->request->url, "http://example:8080/a?b=c");
    url_command_log(conn()->url_commands);
    EXPECT_TRUE(configtest::log_has(log_path, "command: fresh"));
    EXPECT_TRUE(configtest::log_has(log_path, "command: bypass, options: f"));
    EXPECT_EQ(sent(), "");
}

TEST_F(ExtractTest, TransparentRequestsFromHostHeaderOrFirstPathSegment) {
    start("GET /page HTTP/1.1\r\nHost: xx--offline.www.example.com\r\n\r\n");
    EXPECT_EQ(url_command_extract(conn()), 1);
    EXPECT_EQ(described(conn()->url_commands), (std::vector<std::string>{"offline"}));
    EXPECT_STREQ(conn()->request->host_header, "www.example.com");
    EXPECT_STREQ(conn()->request->path, "/page");
}

TEST_F(ExtractTest, TransparentRequestWithoutHostHeader) {
    struct Case {
        const char* path;
        std::vector<std::string> commands;
        const char* rest;
    } cases[] = {
        {"/xx--offline./page", {"offline"}, "/page"},
        {"/xx--bypass%5Bf%5D./dir/page", {"bypass[f]"}, "/dir/page"},
        {"/page", {}, "/page"},
        {"/xx--offline.", {}, "/xx--offline."}, // no second "/"
    };
    for (const Case& c : cases) {
        std::string request = std::string("GET ") + c.path + " HTTP/1.0\r\n\r\n";
        Connection connection(request.c_str());
        EXPECT_EQ(url_command_extract(connection.get()), 1);
        EXPECT_EQ(described(connection->url_commands), c.commands) << c.path;
        EXPECT_STREQ(connection->request->path, c.rest) << c.path;
        url_command_free(connection->url_commands);
    }
}

TEST_F(ExtractTest, GetFollowingALinkWithCommandsIsRedirected) {
    start("GET http://www.example.com/next?x=1 HTTP/1.1\r\n"
          "Referer: http://xx--bypass.site.example/page\r\n\r\n");
    EXPECT_EQ(url_command_extract(conn()), 0);
    std::string reply = sent();
    EXPECT_EQ(reply.rfind("HTTP/1.1 302 ", 0), 0u) << reply;
    EXPECT_NE(reply.find("Location: http://xx--bypass.www.example.com:80/next?x=1\r\n"),
              std::string::npos)
        << reply;
    EXPECT_NE(reply.find("Content-Length: 0\r\n"), std::string::npos) << reply;
    EXPECT_EQ(reply.substr(reply.size() - 4), "\r\n\r\n"); // no body
    EXPECT_EQ(conn()->url_commands, nullptr);
}

TEST_F(ExtractTest, PostTakesTheRefererCommandsInstead) {
    start("POST http://www.example.com/form HTTP/1.1\r\nContent-Length: 0\r\n"
          "Referer: http://xx--bypass[f].site.example/page\r\n\r\n");
    EXPECT_EQ(url_command_extract(conn()), 1);
    EXPECT_EQ(described(conn()->url_commands), (std::vector<std::string>{"bypass[f]"}));
    EXPECT_STREQ(conn()->request->referer, "http://site.example/page");
    EXPECT_EQ(sent(), "");
}

// The Referer loses its labels and nothing else: encoded bytes, port and
// query stay as the client sent them, and so does its own scheme.
TEST_F(ExtractTest, OwnCommandsWinAndTheRefererKeepsItsOtherBytes) {
    start("GET http://xx--fresh.www.example.com/ HTTP/1.1\r\n"
          "Referer: https://xx--bypass%5Bf%5D.site.example:8443/a%20b?q=1&r=%2F\r\n\r\n");
    EXPECT_EQ(url_command_extract(conn()), 1);
    EXPECT_EQ(described(conn()->url_commands), (std::vector<std::string>{"fresh"}));
    EXPECT_STREQ(conn()->request->referer, "https://site.example:8443/a%20b?q=1&r=%2F");
    EXPECT_EQ(sent(), "");
}

// A Host header that names its port keeps it, and gets no second one.
TEST_F(ExtractTest, RedirectFromHostHeaderWithPortHasOnePort) {
    start("GET /next HTTP/1.1\r\nHost: www.example.com:8080\r\n"
          "Referer: http://xx--bypass.www.example.com:8080/page\r\n\r\n");
    EXPECT_EQ(url_command_extract(conn()), 0);
    std::string reply = sent();
    EXPECT_NE(reply.find("Location: http://xx--bypass.www.example.com:8080/next\r\n"),
              std::string::npos)
        << reply;
}

TEST_F(ExtractTest, LocationsGetTheCommandsInFrontOfTheirHost) {
    start("GET http://xx--fresh.xx--bypass[f].www.example.com:8080/dir/page1 HTTP/1.1\r\n\r\n");
    ASSERT_EQ(url_command_extract(conn()), 1);
    struct Case {
        const char* location;
        const char* result;
    } cases[] = {
        {"http://other.example/x", "http://xx--fresh.xx--bypass[f].other.example/x"},
        {"/next", "http://xx--fresh.xx--bypass[f].www.example.com:8080/next"},
        {"page2", "http://xx--fresh.xx--bypass[f].www.example.com:8080/dir/page2"},
    };
    for (const Case& c : cases) {
        char* result = url_command_add(conn(), c.location);
        EXPECT_STREQ(result, c.result) << c.location;
        free(result);
    }
    std::string long_location = "/" + std::string(5000, 'a');
    char* cut = url_command_add(conn(), long_location.c_str());
    EXPECT_EQ(strlen(cut), 4095u);
    free(cut);
}

} // namespace
