// The listing page's action token: accepted only for the scope and the
// hour it was made for.
#include <gtest/gtest.h>

#include <string>

#include "ftp/dirlist_token.h"

namespace {

const std::string SCOPE = std::string("127.0.0.1\0alice\0ftp.example\0" "21\0/pub/", 31);

} // namespace

TEST(DirlistToken, AcceptedOnlyForItsScopeWithinItsLifetime) {
    const time_t issued = 5000;
    const std::string token = dirlist_token_make(SCOPE, issued);
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(token.rfind("5000.", 0), 0u);

    std::string other_directory = SCOPE;
    other_directory.back() = 'x';
    std::string tampered = token;
    tampered.back() = tampered.back() == '0' ? '1' : '0';
    std::string moved_in_time = "5001" + token.substr(4);
    struct {
        const char* what;
        std::string token;
        std::string scope;
        time_t now;
        bool accepted;
    } cases[] = {
        {"at once", token, SCOPE, issued, true},
        {"at the end of its lifetime", token, SCOPE, issued + DIRLIST_TOKEN_LIFETIME, true},
        {"expired", token, SCOPE, issued + DIRLIST_TOKEN_LIFETIME + 1, false},
        {"issued in the future", token, SCOPE, issued - 1, false},
        {"another directory", token, other_directory, issued, false},
        {"another client", token, "127.0.0.2" + SCOPE.substr(9), issued, false},
        {"digest changed", tampered, SCOPE, issued, false},
        {"issue time changed", moved_in_time, SCOPE, issued + 10, false},
        {"empty", "", SCOPE, issued, false},
        {"no digest", "5000.", SCOPE, issued, false},
        {"no issue time", token.substr(4), SCOPE, issued, false},
        {"signed issue time", "-1" + token.substr(4), SCOPE, issued, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dirlist_token_check(c.token, c.scope, c.now), c.accepted) << c.what;
}

TEST(DirlistToken, TokensDifferByIssueSecondAndDirectory) {
    EXPECT_NE(dirlist_token_make(SCOPE, 100), dirlist_token_make(SCOPE, 101));
    EXPECT_NE(dirlist_token_make(SCOPE, 100), dirlist_token_make(SCOPE + "sub/", 100));
    EXPECT_EQ(dirlist_token_make(SCOPE, 100), dirlist_token_make(SCOPE, 100));
}
