// Login sessions of the web interface: tokens, expiry, renewal, log-out and
// the end of every session when the rule's credentials change.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "iface/login_sessions.h"

class LoginSessionsTest : public ::testing::Test {
protected:
    void SetUp() override { login_sessions_clear(); }
    void TearDown() override { login_sessions_clear(); }
    std::string key = login_credentials_key("admin", "secret");
};

TEST_F(LoginSessionsTest, TokensAreRandomHex) {
    std::set<std::string> tokens;
    for (int i = 0; i < 50; i++) {
        std::string token = login_session_open(key, 1000);
        ASSERT_EQ(token.size(), LOGIN_TOKEN_LENGTH);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
        tokens.insert(token);
    }
    EXPECT_EQ(tokens.size(), 50u);
    EXPECT_EQ(login_session_open("", 1000), "");
}

TEST_F(LoginSessionsTest, ASessionLivesAnHourFromItsLastUse) {
    std::string token = login_session_open(key, 1000);
    EXPECT_TRUE(login_session_renew(token, key, 1000 + 3599));
    EXPECT_TRUE(login_session_renew(token, key, 1000 + 3599 + 3599)); // renewed
    EXPECT_FALSE(login_session_renew(token, key, 1000 + 3599 + 3599 + 3600));
    // Once expired it stays gone.
    EXPECT_FALSE(login_session_renew(token, key, 1000));
}

TEST_F(LoginSessionsTest, LogOutAndChangedCredentialsEndIt) {
    std::string token = login_session_open(key, 1000);
    std::string other = login_session_open(key, 1000);
    EXPECT_FALSE(login_session_renew(token, login_credentials_key("admin", "changed"), 1001));
    EXPECT_FALSE(login_session_renew(token, login_credentials_key("admin2", "secret"), 1001));
    EXPECT_NE(login_credentials_key("ab", "c"), login_credentials_key("a", "bc"));
    login_session_close(token);
    EXPECT_FALSE(login_session_renew(token, key, 1002));
    EXPECT_TRUE(login_session_renew(other, key, 1002));
    EXPECT_FALSE(login_session_renew("", key, 1002));
    EXPECT_FALSE(login_session_renew(other.substr(1), key, 1002));
}

TEST_F(LoginSessionsTest, TheTableIsBounded) {
    std::string first = login_session_open(key, 1000);
    std::string second = login_session_open(key, 1001);
    for (size_t i = 2; i < LOGIN_SESSION_MAX; i++)
        login_session_open(key, 1002);
    EXPECT_TRUE(login_session_renew(first, key, 1003)); // now expires last of all
    std::string newest = login_session_open(key, 1004);
    // The one that expires first made room.
    EXPECT_FALSE(login_session_renew(second, key, 1005));
    EXPECT_TRUE(login_session_renew(first, key, 1005));
    EXPECT_TRUE(login_session_renew(newest, key, 1005));
}
