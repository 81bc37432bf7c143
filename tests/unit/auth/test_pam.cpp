// PAM authentication against real PAM: the tests write their own service
// files under /etc/pam.d (named kestrivan-test-...), use pam_debug for exact
// result codes, pam_userdb with a database made by db_load, and pam_unix
// with a throwaway system user; everything is removed afterwards. Writing
// there needs root (as in CI); without it those tests are skipped.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <security/pam_appl.h>

#include "auth/password_cache.h"
#include "core/daemon.h"
#include "support/pam_test_support.h"
#include "support/tool_test_support.h"

namespace {

// ---- The conversation function -------------------------------------------

std::vector<std::string> answers_to(std::vector<int> styles, const char* password, int* code) {
    std::vector<pam_message> messages(styles.size());
    std::vector<const pam_message*> pointers;
    for (size_t i = 0; i < styles.size(); i++) {
        messages[i].msg_style = styles[i];
        messages[i].msg = "Password: ";
        pointers.push_back(&messages[i]);
    }
    auth_pam_credentials credentials = {"alice", password};
    pam_response* responses = nullptr;
    *code = auth_pam_talker(static_cast<int>(styles.size()), pointers.data(), &responses,
                            &credentials);
    std::vector<std::string> answers;
    if (*code != PAM_SUCCESS)
        return answers;
    for (size_t i = 0; i < styles.size(); i++) {
        answers.push_back(responses[i].resp_retcode == 0 && responses[i].resp != nullptr
                              ? responses[i].resp
                              : "<bad answer>");
        for (size_t j = 0; j < i; j++)
            EXPECT_NE(responses[i].resp, responses[j].resp) << "answers share one copy";
        free(responses[i].resp);
    }
    free(responses);
    return answers;
}

TEST(PamConversation, EveryMessageIsAnsweredWithThePassword) {
    int code;
    EXPECT_EQ(answers_to({PAM_PROMPT_ECHO_OFF, PAM_TEXT_INFO}, "s3cret", &code),
              (std::vector<std::string>{"s3cret", "s3cret"}));
    EXPECT_EQ(code, PAM_SUCCESS);
    EXPECT_EQ(answers_to({PAM_PROMPT_ECHO_ON, PAM_ERROR_MSG, PAM_PROMPT_ECHO_OFF}, "", &code),
              (std::vector<std::string>{"", "", ""}));
    EXPECT_EQ(code, PAM_SUCCESS);
}

TEST(PamConversation, RefusesWhatItCannotAnswer) {
    int code;
    answers_to({}, "pw", &code);
    EXPECT_EQ(code, PAM_CONV_ERR);
    answers_to({PAM_PROMPT_ECHO_OFF}, nullptr, &code);
    EXPECT_EQ(code, PAM_CONV_ERR);
    pam_response* responses = nullptr;
    pam_message message = {PAM_PROMPT_ECHO_OFF, "Password: "};
    const pam_message* pointer = &message;
    EXPECT_EQ(auth_pam_talker(1, &pointer, &responses, nullptr), PAM_CONV_ERR);
    EXPECT_EQ(auth_pam_talker(PAM_MAX_NUM_MSG + 1, &pointer, &responses, nullptr), PAM_CONV_ERR);
    EXPECT_EQ(responses, nullptr);
}

TEST(PamAuth, NullCredentialsAreRefusedWithoutAskingPam) {
    EXPECT_EQ(auth_pam(nullptr, "pw"), PAM_AUTH_ERR);
    EXPECT_EQ(auth_pam("alice", nullptr), PAM_AUTH_ERR);
}

// ---- Real PAM ---------------------------------------------------------------

using pamtest::PamService;

class RealPam : public tooltest::TempDirTest {
protected:
    void SetUp() override {
        if (!pamtest::is_root())
            GTEST_SKIP() << "writing PAM service files needs root";
        TempDirTest::SetUp();
    }
    static int shell(const std::string& command) { return pamtest::shell(command); }
};

// pam_debug returns exactly the codes it is told to: the verdict is the
// first failure of pam_authenticate, then of pam_acct_mgmt, which runs only
// after a successful authentication.
TEST_F(RealPam, ResultCodesOfAuthenticationAndAccount) {
    struct Case {
        const char* auth;
        const char* acct;
        int expected;
    } cases[] = {
        {"success", "success", 0},
        {"auth_err", "success", PAM_AUTH_ERR},
        {"perm_denied", "success", PAM_PERM_DENIED},
        {"user_unknown", "success", PAM_USER_UNKNOWN},
        {"authinfo_unavail", "success", PAM_AUTHINFO_UNAVAIL},
        {"maxtries", "success", PAM_MAXTRIES},
        {"success", "new_authtok_reqd", PAM_NEW_AUTHTOK_REQD},
        {"success", "acct_expired", PAM_ACCT_EXPIRED},
        {"success", "perm_denied", PAM_PERM_DENIED},
        {"auth_err", "acct_expired", PAM_AUTH_ERR},
    };
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("auth=") + c.auth + " acct=" + c.acct);
        PamService service("debug-" + std::to_string(i++),
                           std::string("auth required pam_debug.so auth=") + c.auth +
                               "\naccount required pam_debug.so acct=" + c.acct + "\n");
        ASSERT_TRUE(service.ok());
        EXPECT_EQ(auth_pam("alice", "pw"), c.expected);
    }
}

// pam_userdb asks for the password through the conversation (after
// pam_echo's information text, which is answered too) and compares it
// exactly.
TEST_F(RealPam, UserDatabase) {
    std::string db = pamtest::userdb(dir, "alice\nSecret1\nbob\nhunter2\n");
    ASSERT_FALSE(db.empty()) << "db_load (package db-util) is needed";
    PamService service("userdb", "auth optional pam_echo.so Welcome %u\n"
                                 "auth required pam_userdb.so " + db + "\n"
                                 "account required pam_userdb.so " + db + "\n");
    ASSERT_TRUE(service.ok());
    struct Case {
        const char* user;
        const char* password;
        int expected;
    } cases[] = {
        {"alice", "Secret1", 0},
        {"bob", "hunter2", 0},
        {"alice", "secret1", PAM_AUTH_ERR},
        {"alice", "hunter2", PAM_AUTH_ERR},
        {"alice", "", PAM_AUTH_ERR},
        {"carol", "Secret1", PAM_USER_UNKNOWN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(auth_pam(c.user, c.password), c.expected) << c.user << ":" << c.password;
}

// A throwaway system user checked by pam_unix: its password, a wrong one, an
// unknown user, an expired account (pam_acct_mgmt), and an empty password,
// which is refused even though the service allows null passwords, because
// the proxy asks with PAM_DISALLOW_NULL_AUTHTOK.
TEST_F(RealPam, SystemUser) {
    std::string user = "kvpam" + std::to_string(getpid());
    ASSERT_EQ(shell("useradd -M -N -s /usr/sbin/nologin " + user), 0);
    struct RemoveUser {
        std::string name;
        ~RemoveUser() {
            if (system(("userdel " + name + " 2>/dev/null").c_str()) != 0)
                fprintf(stderr, "could not remove user %s\n", name.c_str());
        }
    } remove_user{user};
    ASSERT_EQ(shell("echo '" + user + ":Pa55word' | chpasswd"), 0);

    {
        PamService service("unix", "auth required pam_unix.so nodelay\n"
                                   "account required pam_unix.so\n");
        ASSERT_TRUE(service.ok());
        EXPECT_EQ(auth_pam(user.c_str(), "Pa55word"), 0);
        EXPECT_EQ(auth_pam(user.c_str(), "pa55word"), PAM_AUTH_ERR);
        EXPECT_EQ(auth_pam(user.c_str(), ""), PAM_AUTH_ERR);
        EXPECT_EQ(auth_pam((user + "x").c_str(), "Pa55word"), PAM_USER_UNKNOWN);

        ASSERT_EQ(shell("chage -E 0 " + user), 0);
        EXPECT_EQ(auth_pam(user.c_str(), "Pa55word"), PAM_ACCT_EXPIRED);
        ASSERT_EQ(shell("chage -E -1 " + user), 0);
        EXPECT_EQ(auth_pam(user.c_str(), "Pa55word"), 0);
    }

    ASSERT_EQ(shell("passwd -d " + user + " >/dev/null"), 0);
    PamService nullok("unix-nullok", "auth required pam_unix.so nullok nodelay\n"
                                     "account required pam_unix.so\n");
    ASSERT_TRUE(nullok.ok());
    EXPECT_NE(auth_pam(user.c_str(), ""), 0);
    EXPECT_NE(auth_pam(user.c_str(), "anything"), 0);
}

} // namespace
