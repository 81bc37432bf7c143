// The token of the interface's state-changing forms: derived per session,
// never the session's cookie, and demanded with a POST.
#include <gtest/gtest.h>

#include <string>

#include "iface/cgimap.h"
#include "iface/form_token.h"
#include "iface/login_sessions.h"
#include "support/section_test_support.h"

namespace {

const char POST[] = "POST http://kestrivan/config HTTP/1.1\r\nHost: kestrivan\r\n\r\n";
const char GET[] = "GET http://kestrivan/config HTTP/1.1\r\nHost: kestrivan\r\n\r\n";

TEST(FormToken, IsADigestOfTheSessionAndDiffersBetweenSessions) {
    std::string first = std::string(LOGIN_TOKEN_LENGTH, 'a');
    std::string second = std::string(LOGIN_TOKEN_LENGTH, 'b');
    EXPECT_EQ(login_form_token(first), login_form_token(first));
    EXPECT_NE(login_form_token(first), login_form_token(second));
    EXPECT_NE(login_form_token(first), first);
    EXPECT_EQ(login_form_token(first).size(), 64u);
    // Without a login: one random token for the whole process.
    std::string process = login_form_token("");
    EXPECT_EQ(process.size(), 64u);
    EXPECT_EQ(process, login_form_token(""));
    EXPECT_NE(process, login_form_token(first));
}

TEST(FormToken, AChangeNeedsAPostWithThePagesToken) {
    struct Case {
        const char* request;
        bool login;             // the rule names an interface user
        const char* session;    // the live session of the page
        const char* token;      // what the form posted; nullptr: the right one
        bool allowed;
    };
    const std::string session(LOGIN_TOKEN_LENGTH, 'c');
    const Case cases[] = {
        {POST, false, "", nullptr, true},
        {GET, false, "", nullptr, false},       // a link or a typed URL
        {POST, false, "", "", false},           // another site's form
        {POST, false, "", "0123", false},
        {POST, true, "cccc", nullptr, true},    // the session's own token
        {GET, true, "cccc", nullptr, false},
        {POST, true, "", "", false},            // no session: nothing goes
        {POST, true, "cccc", "session", false}, // the cookie itself is no token
    };
    for (const Case& c : cases) {
        sectiontest::Connection conn(c.request);
        CONNECTION_T* connection = &conn.record;
        if (c.login) {
            connection->interface_user = "admin";
            connection->interface_password = "secret";
        }
        connection->interface_session = c.session[0] != '\0' ? session : "";
        CGIMap arguments;
        if (c.token == nullptr)
            arguments[FORM_TOKEN_ARGUMENT] = interface_form_token(connection);
        else if (std::string(c.token) == "session")
            arguments[FORM_TOKEN_ARGUMENT] = session;
        else
            arguments[FORM_TOKEN_ARGUMENT] = c.token;
        EXPECT_EQ(interface_form_posted(connection, arguments), c.allowed)
            << c.request << " login " << c.login << " token " << (c.token ? c.token : "right");
    }
    EXPECT_EQ(interface_form_token(nullptr), "");
}

} // namespace
