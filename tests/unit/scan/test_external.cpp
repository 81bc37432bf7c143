// The external-program section: which entries run for a stage, what a
// program's output changes (headers, body, user, profiles) by its exit
// code, authentication programs that fail, and the temporary-file mode.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>

#include "config/general.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "http/header.h"
#include "scan/external.h"
#include "support/section_test_support.h"

using sectiontest::Connection;

namespace {

const char* REQUEST = "GET http://origin.test/page HTTP/1.1\r\nHost: origin.test\r\n\r\n";

class ExternalSectionTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        general_section = new GeneralSection();
        sectiontest::load(*general_section, "<general><tempdir>" + dir + "</tempdir></general>");
        section = new ExternalSection();
        external_section = section;
    }
    void TearDown() override {
        for (processor_fn fn : {external_reqmod, external_respmod, external_auth,
                                external_buffcheck})
            processors.Remove(fn);
        external_section = nullptr;
        ShippedSectionTest::TearDown();
    }

    // A shell script in the test directory; returns its path.
    std::string script(const std::string& name, const std::string& body) {
        std::string path = dir + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0755);
        return path;
    }

    struct Entry {
        std::string command;
        std::string mode = "request";
        std::string headers = "";
        bool auth_program = false;
        bool tempfile = false;
        std::string profiles = "";
        std::string enabled = "true";
    };
    void configure(std::initializer_list<Entry> entries, bool on = true) {
        std::string text = std::string("<external><enabled>") + (on ? "true" : "false") +
                           "</enabled>";
        for (const Entry& entry : entries)
            text += "<programs>" +
                    sectiontest::elements({{"enabled", entry.enabled},
                                           {"profiles", entry.profiles},
                                           {"command", entry.command},
                                           {"tempfile", entry.tempfile ? "true" : "false"},
                                           {"mode", entry.mode},
                                           {"auth_program", entry.auth_program ? "true" : "false"},
                                           {"headers", entry.headers}}) +
                    "</programs>";
        sectiontest::load(*section, text + "</external>");
    }

    static std::string text_of(const Filebuf* buffer) {
        return buffer == nullptr || buffer->size == 0 ? "" : std::string(buffer->data, buffer->size);
    }

    ExternalSection* section = nullptr;
};

// A program answering the request: response installed (the request stage
// reports it answered), profiles added once each, its page the new body;
// the same output with a failing exit code adds only the profiles.
TEST_F(ExternalSectionTest, RequestProgramAnswersOrOnlyAddsProfilesByExitCode) {
    for (int code : {0, 3}) {
        SCOPED_TRACE(code);
        std::string answer = script("answer" + std::to_string(code),
                                    "cat >/dev/null\nprintf 'HTTP/1.1 403 Forbidden\\r\\n"
                                    "X-profiles: a, b,a\\r\\n\\r\\n<p>refused</p>'\nexit " +
                                        std::to_string(code) + "\n");
        configure({{answer}});
        Connection connection(REQUEST);
        connection->profiles.push_back("b");
        connection->body = new Filebuf();
        connection->body->Add("posted", 6);
        int result = external_reqmod(connection.get(), connection->body);
        EXPECT_EQ(connection->profiles, StringList("b,a", ','));
        if (code == 0) {
            EXPECT_EQ(result, 1);
            ASSERT_NE(connection->response, nullptr);
            EXPECT_EQ(connection->response->status, 403);
            EXPECT_EQ(text_of(connection->body), "<p>refused</p>");
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(connection->response, nullptr);
            EXPECT_EQ(text_of(connection->body), "posted");
        }
        delete connection->body;
    }
}

// A program copying its input, fed the response header and the body: the
// header is parsed again and installed, the body stays the same.
TEST_F(ExternalSectionTest, ResponseProgramCopyingItsInputKeepsTheResponse) {
    configure({{"/bin/cat", "response", "response"}});
    Connection connection(REQUEST);
    connection->response =
        http_header_parse_response("HTTP/1.1 200 OK\r\nX-Kept: yes\r\nContent-Length: 4\r\n\r\n");
    HEADER* before = connection->response;
    Filebuf body;
    body.Add("data", 4);
    EXPECT_EQ(external_buffcheck(connection.get(), nullptr), 1);
    EXPECT_EQ(external_respmod(connection.get(), &body), 1);
    ASSERT_NE(connection->response, nullptr);
    EXPECT_NE(connection->response, before);
    EXPECT_EQ(connection->response->lines.front().value, "yes");
    EXPECT_EQ(text_of(&body), "data");
}

// A failed authentication program: its user name and profiles are not
// taken, the connection is marked, the stage ends there, and no
// authentication program runs again on the connection. Request programs
// run in the authentication stage too.
TEST_F(ExternalSectionTest, FailedAuthenticationProgramIsNeverTrusted) {
    std::string counter = dir + "/runs";
    std::string deny = script("deny", "cat >/dev/null\necho x >>" + counter +
                                          "\nprintf 'GET / HTTP/1.1\\r\\nX-username: mallory\\r\\n"
                                          "X-profiles: admin\\r\\n\\r\\n'\nexit 1\n");
    std::string later = script("later", "cat >/dev/null\necho later >>" + counter + "\n");
    configure({{deny, "auth", "", true}, {later, "request"}});
    Connection connection(REQUEST);
    connection->user = strdup("anonymous@10.0.0.9");
    connection->body = new Filebuf();
    EXPECT_EQ(external_auth(connection.get(), nullptr), 0);
    EXPECT_STREQ(connection->user, "anonymous@10.0.0.9");
    EXPECT_TRUE(connection->profiles.empty());
    EXPECT_TRUE(connection->auth_flags & CONN_AUTH_EXTERNAL_FAILED);
    EXPECT_EQ(logtest::read_file(counter), "x\n");

    external_auth(connection.get(), nullptr);
    EXPECT_EQ(logtest::read_file(counter), "x\nlater\n");
    free(connection->user);
    delete connection->body;
}

// A succeeding authentication program names the user and adds profiles;
// a program a signal ends counts as failed.
TEST_F(ExternalSectionTest, AuthenticationProgramSetsUserOnlyWhenItSucceeds) {
    std::string allow = script("allow", "cat >/dev/null\nprintf 'GET / HTTP/1.1\\r\\n"
                                        "X-username: alice\\r\\nX-profiles: staff\\r\\n\\r\\n'\n");
    std::string killed = script("killed", "printf 'GET / HTTP/1.1\\r\\nX-username: eve\\r\\n\\r\\n'\n"
                                          "kill -KILL $$\n");
    configure({{allow, "auth", "", true}});
    Connection connection(REQUEST);
    external_auth(connection.get(), nullptr);
    EXPECT_STREQ(connection->user, "alice");
    EXPECT_EQ(connection->profiles, StringList("staff", ','));
    EXPECT_FALSE(connection->auth_flags & CONN_AUTH_EXTERNAL_FAILED);

    configure({{killed, "auth", "", true}});
    Connection second(REQUEST);
    external_auth(second.get(), nullptr);
    EXPECT_EQ(second->user, nullptr);
    EXPECT_TRUE(second->auth_flags & CONN_AUTH_EXTERNAL_FAILED);
    free(connection->user);
}

// Off, bypassed, wrong stage, disabled entry, empty command, profiles that
// do not match: nothing runs.
TEST_F(ExternalSectionTest, NothingRunsWhenNoEntryApplies) {
    std::string marker = dir + "/ran";
    std::string touch = script("touch", "cat >/dev/null\ntouch " + marker + "\n");
    struct Case {
        const char* name;
        Entry entry;
        bool on;
        unsigned bypass;
    } cases[] = {
        {"section off", {touch, "response"}, false, 0},
        {"bypassed", {touch, "response"}, true, BYPASS_EXTERNAL},
        {"request stage only", {touch, "request"}, true, 0},
        {"entry disabled", {touch, "response", "", false, false, "", "false"}, true, 0},
        {"empty command", {"", "response"}, true, 0},
        {"other profile", {touch, "response", "", false, false, "staff"}, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        configure({c.entry}, c.on);
        Connection connection(REQUEST);
        connection->bypass = c.bypass;
        Filebuf body;
        EXPECT_EQ(external_buffcheck(connection.get(), nullptr), 0);
        external_respmod(connection.get(), &body);
        EXPECT_FALSE(logtest::exists(marker));
    }
}

// Temporary-file mode: the option and then the file's path as arguments,
// an empty standard input, the file gone afterwards.
TEST_F(ExternalSectionTest, TemporaryFileModeGivesThePathAfterTheOptions) {
    std::string show = script("show", "printf 'HTTP/1.1 200 OK\\r\\n\\r\\n'\n"
                                      "echo \"args:$#:$1\"; cat \"$2\"; echo; wc -c\n"
                                      "echo \"$2\" >" + dir + "/path\n");
    configure({{show + " --check", "response", "", false, true}});
    Connection connection(REQUEST);
    connection->response = http_header_parse_response("HTTP/1.1 200 OK\r\n\r\n");
    Filebuf body;
    body.Add("scanned", 7);
    external_respmod(connection.get(), &body);
    EXPECT_EQ(text_of(&body), "args:2:--check\nscanned\n0\n");
    std::string path = logtest::read_file(dir + "/path");
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.rfind(dir + "/", 0), 0u);
    EXPECT_FALSE(logtest::exists(path.substr(0, path.size() - 1)));
    EXPECT_TRUE(logged("parsed with " + show + " --check"));
}

} // namespace
