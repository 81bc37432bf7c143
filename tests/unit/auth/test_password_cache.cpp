// The password cache: verdicts by exact pair, salted digests instead of
// clear passwords, replacement, ageing, the locked entry points, the PAM
// failure log lines with the refusals they cache, and impossible states.
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <thread>
#include <vector>

#include "auth/access.h"
#include "auth/password_cache.h"
#include "core/daemon.h"
#include "core/global.h"
#include "support/log_test_support.h"
#include "support/pam_test_support.h"

namespace {

using logtest::after_stamp;
using logtest::file_lines;

using pamtest::test_global;

class PasswordCacheTest : public logtest::LogDirTest {
protected:
    PASSWORD_CACHE_TABLE* table = nullptr;

    void SetUp() override {
        LogDirTest::SetUp();
        password_cachesize = 8111;
        password_cachexpire = 600;
        global = test_global();
        table = password_cache_create(8111);
        ASSERT_NE(table, nullptr);
        global->password_cache = table;
    }

    void TearDown() override {
        password_cache_expire(table, 0); // frees every entry
        free(table->table);
        free(table);
        global->password_cache = nullptr;
        LogDirTest::TearDown();
    }

    // Entries in the chain of `user` stored under exactly that name.
    int entries_of(const char* user) {
        int n = 0;
        for (PASSWORD_CACHE_ENTRY* e = table->table[password_cache_key(table->n, user)];
             e != nullptr; e = e->next)
            n += strcmp(e->user, user) == 0;
        return n;
    }

    std::vector<std::string> log_texts() {
        std::vector<std::string> texts;
        for (const std::string& line : file_lines(log_path))
            texts.push_back(after_stamp(line));
        return texts;
    }
};

TEST(PasswordCacheKey, HandComputedChains) {
    password_cachesize = 8111;
    struct Case {
        const char* user;
        int n;
        unsigned key;
    } cases[] = {
        {"", 8111, 0},
        {"a", 8111, 1970},     // 8111 + 20*97 + 24 + 6 = 10081
        {"ab", 8111, 3960},    // 10081 + 10101 = 20182
        {"\xe9", 8111, 7643},  // signed -23: 8111 - 460 - 6 - 2
        {"a", 7, 1},           // 10081 % 7
        {"anything", 1, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(password_cache_key(c.n, c.user), c.key) << c.user << " in " << c.n;
    // The size setting takes part in the sum.
    password_cachesize = 1000;
    EXPECT_EQ(password_cache_key(8111, "a"), (1000u + 1970u) % 8111u);
    password_cachesize = 8111;
}

TEST_F(PasswordCacheTest, VerdictBelongsToTheExactPair) {
    ASSERT_EQ(update_password_cache("alice", "Secret1", PASSWORD_CACHE_GOOD), 1);
    ASSERT_EQ(update_password_cache("bob", "hunter2", PASSWORD_CACHE_BAD), 1);
    struct Case {
        const char* user;
        const char* password;
        int result;
    } cases[] = {
        {"alice", "Secret1", PASSWORD_CACHE_GOOD},
        {"alice", "secret1", 0}, // a password in other case is another password
        {"alice", "SECRET1", 0},
        {"Alice", "Secret1", 0}, // so is a name in other case
        {"alice", "Secret", 0},
        {"alice", "Secret12", 0},
        {"alice", "", 0},
        {"bob", "hunter2", PASSWORD_CACHE_BAD},
        {"bob", "Secret1", 0},
        {"carol", "Secret1", 0},
        {nullptr, "Secret1", 0},
        {"alice", nullptr, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(check_password_cache(c.user, c.password), c.result)
            << (c.user ? c.user : "NULL") << ":" << (c.password ? c.password : "NULL");
}

// A memory dump shows no password: the entry holds a salted digest, and the
// same password of two users gives two different digests.
TEST_F(PasswordCacheTest, PasswordsAreNotKeptInClear) {
    const char* password = "correct horse battery";
    ASSERT_EQ(update_password_cache("alice", password, PASSWORD_CACHE_GOOD), 1);
    ASSERT_EQ(update_password_cache("bob", password, PASSWORD_CACHE_GOOD), 1);
    PASSWORD_CACHE_ENTRY* a = password_cache_search(table, "alice", password);
    PASSWORD_CACHE_ENTRY* b = password_cache_search(table, "bob", password);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    for (PASSWORD_CACHE_ENTRY* e : {a, b}) {
        EXPECT_EQ(memmem(e, sizeof *e, password, strlen(password)), nullptr);
        EXPECT_EQ(memmem(e, sizeof *e, "correct", 7), nullptr);
        EXPECT_EQ(strstr(e->user, "correct"), nullptr);
    }
    EXPECT_NE(memcmp(a->password, b->password, sizeof a->password), 0);
    EXPECT_NE(memcmp(a->salt, b->salt, sizeof a->salt), 0);
}

TEST_F(PasswordCacheTest, UpdateReplacesTheVerdictWithAFreshStamp) {
    ASSERT_EQ(update_password_cache("alice", "pw", PASSWORD_CACHE_GOOD), 1);
    PASSWORD_CACHE_ENTRY* first = password_cache_search(table, "alice", "pw");
    ASSERT_NE(first, nullptr);
    first->stamp -= 300;

    ASSERT_EQ(update_password_cache("alice", "pw", PASSWORD_CACHE_BAD), 1);
    EXPECT_EQ(entries_of("alice"), 1);
    PASSWORD_CACHE_ENTRY* second = password_cache_search(table, "alice", "pw");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->result, PASSWORD_CACHE_BAD);
    EXPECT_GE(second->stamp, time(nullptr) - 1);
    EXPECT_EQ(check_password_cache("alice", "pw"), PASSWORD_CACHE_BAD);

    // Another password of the same user is an entry of its own.
    ASSERT_EQ(update_password_cache("alice", "other", PASSWORD_CACHE_GOOD), 1);
    EXPECT_EQ(entries_of("alice"), 2);
    EXPECT_EQ(check_password_cache("alice", "pw"), PASSWORD_CACHE_BAD);
    EXPECT_EQ(check_password_cache("alice", "other"), PASSWORD_CACHE_GOOD);
}

TEST_F(PasswordCacheTest, InsertKeepsAnExistingPairAndRefusesNull) {
    PASSWORD_CACHE_ENTRY* e = password_cache_insert(table, "alice", "pw", PASSWORD_CACHE_GOOD);
    ASSERT_NE(e, nullptr);
    e->stamp = 12345;
    EXPECT_EQ(password_cache_insert(table, "alice", "pw", PASSWORD_CACHE_BAD), e);
    EXPECT_EQ(e->result, PASSWORD_CACHE_GOOD);
    EXPECT_EQ(e->stamp, 12345);
    EXPECT_EQ(password_cache_insert(table, nullptr, "pw", 1), nullptr);
    EXPECT_EQ(password_cache_insert(table, "alice", nullptr, 1), nullptr);

    // Purging what is not there, or with a NULL text, changes nothing.
    password_cache_purge(table, "alice", "PW");
    password_cache_purge(table, nullptr, "pw");
    password_cache_purge(table, "alice", nullptr);
    EXPECT_EQ(password_cache_search(table, "alice", "pw"), e);
    password_cache_purge(table, "alice", "pw");
    EXPECT_EQ(password_cache_search(table, "alice", "pw"), nullptr);
}

// Users sharing one chain: entries are appended in order and each is found
// and removed on its own.
TEST_F(PasswordCacheTest, EntriesSharingAChain) {
    PASSWORD_CACHE_TABLE* one = password_cache_create(1);
    ASSERT_NE(one, nullptr);
    const char* users[] = {"u1", "u2", "u3", "u4"};
    for (const char* u : users)
        ASSERT_NE(password_cache_insert(one, u, "pw", PASSWORD_CACHE_GOOD), nullptr);
    int i = 0;
    for (PASSWORD_CACHE_ENTRY* e = one->table[0]; e != nullptr; e = e->next, i++)
        EXPECT_STREQ(e->user, users[i]);
    EXPECT_EQ(i, 4);
    password_cache_purge(one, "u2", "pw");
    password_cache_purge(one, "u4", "pw");
    EXPECT_EQ(password_cache_search(one, "u2", "pw"), nullptr);
    EXPECT_EQ(password_cache_search(one, "u4", "pw"), nullptr);
    EXPECT_NE(password_cache_search(one, "u1", "pw"), nullptr);
    EXPECT_NE(password_cache_search(one, "u3", "pw"), nullptr);
    EXPECT_EQ(password_cache_expire(one, 0), 2);
    EXPECT_EQ(one->table[0], nullptr);
    free(one->table);
    free(one);
}

TEST_F(PasswordCacheTest, ExpireRemovesEntriesOfTheAgeAndOlder) {
    struct Case {
        const char* user;
        time_t age;
        bool kept;
    } cases[] = {
        {"a601", 601, false}, {"a600", 600, false}, {"a599", 599, true},
        {"a0", 0, true},      {"a5000", 5000, false},
    };
    time_t now = time(nullptr);
    for (const Case& c : cases)
        password_cache_insert(table, c.user, "pw", PASSWORD_CACHE_GOOD)->stamp = now - c.age;
    EXPECT_EQ(password_cache_expire(table, 600), 3);
    for (const Case& c : cases)
        EXPECT_EQ(password_cache_search(table, c.user, "pw") != nullptr, c.kept) << c.user;
}

// The timer job ages GLOBAL's cache by the configured age, and an entry it
// keeps goes at a later run.
TEST_F(PasswordCacheTest, CleanUsesTheConfiguredAge) {
    password_cachexpire = 100;
    time_t now = time(nullptr);
    password_cache_insert(table, "old", "pw", PASSWORD_CACHE_GOOD)->stamp = now - 150;
    PASSWORD_CACHE_ENTRY* young = password_cache_insert(table, "young", "pw", PASSWORD_CACHE_BAD);
    young->stamp = now - 50;
    password_cache_clean(nullptr);
    EXPECT_EQ(check_password_cache("old", "pw"), 0);
    EXPECT_EQ(check_password_cache("young", "pw"), PASSWORD_CACHE_BAD);
    young->stamp -= 100; // one age later
    password_cache_clean(nullptr);
    EXPECT_EQ(check_password_cache("young", "pw"), 0);
}

TEST_F(PasswordCacheTest, OneKeyForms) {
    // Found only when the text is both the key of the chain and the password.
    ASSERT_EQ(update_password_cache("same", "same", PASSWORD_CACHE_GOOD), 1);
    ASSERT_EQ(update_password_cache("user", "pw", PASSWORD_CACHE_BAD), 1);
    EXPECT_EQ(check_password_cache("same"), PASSWORD_CACHE_GOOD);
    EXPECT_EQ(check_password_cache("SAME"), 0);
    EXPECT_EQ(check_password_cache("pw"), 0);
    EXPECT_EQ(check_password_cache(static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(password_cache_search(table, static_cast<const char*>(nullptr)), nullptr);
}

TEST_F(PasswordCacheTest, WithoutATableNothingIsCachedOrFound) {
    EXPECT_EQ(password_cache_create(0), nullptr);
    EXPECT_EQ(password_cache_create(-5), nullptr);
    global->password_cache = nullptr;
    EXPECT_EQ(update_password_cache("alice", "pw", PASSWORD_CACHE_GOOD), 0);
    EXPECT_EQ(check_password_cache("alice", "pw"), 0);
    EXPECT_EQ(check_password_cache("pw"), 0);
    password_cache_clean(nullptr);
    global->password_cache = table;
}

// Workers check and update while the timer thread cleans: every verdict a
// worker stored is the one it reads back.
TEST_F(PasswordCacheTest, ConcurrentChecksUpdatesAndCleaning) {
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; i++) {
                std::string user = "user" + std::to_string(t) + "-" + std::to_string(i % 20);
                std::string password = "pw" + std::to_string(i % 7);
                int result = i % 2 == 0 ? PASSWORD_CACHE_GOOD : PASSWORD_CACHE_BAD;
                update_password_cache(user.c_str(), password.c_str(), result);
                if (check_password_cache(user.c_str(), password.c_str()) != result)
                    wrong[t]++;
            }
        });
    }
    std::thread cleaner([] {
        for (int i = 0; i < 200; i++)
            password_cache_clean(nullptr);
    });
    for (std::thread& thread : threads)
        thread.join();
    cleaner.join();
    for (int t = 0; t < 4; t++)
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

// The failure codes that prove the pair wrong cache a refusal; the others
// are only logged and asked again next time.
TEST_F(PasswordCacheTest, PamFailuresAreLoggedAndSomeCached) {
    struct Case {
        int code;
        const char* text;
        bool cached;
    } cases[] = {
        {1, "[pam: 1: PAM_OPEN_ERR] dlopen() failure when dynamically loading a service module",
         false},
        {6, "[pam: 6: PAM_PERM_DENIED] Permission denied", true},
        {7, "[pam: 7: PAM_AUTH_ERR] Authentication failure", true},
        {9,
         "[pam: 9: PAM_AUTHINFO_UNAVAIL] Underlying authentication service an not retrieve "
         "authentication information",
         false},
        {10, "[pam: 10: PAM_USER_UNKNOWN] User not known to the underlying authenticaiton module",
         true},
        {11,
         "[pam: 11: PAM_MAXTRIES] An authentication service has maintained a retry count which "
         "has been reached. No further retries should be attempted",
         true},
        {12,
         "[pam: 12: PAM_NEW_AUTHTOK_REQD] New authentication token required. This is normally "
         "returned if the machine security policies require that the password should be changed "
         "beccause the password is NULL or it has aged",
         true},
        {13, "[pam: 13: PAM_ACCT_EXPIRED] User account has expired", false},
        {26, "[pam: 26: PAM_ABORT] Critical error (?module fail now request) ", false},
        {27, "[pam: 27: PAM_AUTHTOK_EXPIRED] user's authentication token has expired", false},
        {32, "[pam: 32: _PAM_RETURN_VALUES] this is the number of return values", false},
        {0, "", false},
        {33, "", false},
        {-1, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("code " + std::to_string(c.code));
        std::string user = "user" + std::to_string(c.code);
        if (logfd != -1)
            close(logfd);
        logfd = -1;
        unlink(log_path.c_str());
        AccessSection::display_pam_msg(c.code, user.c_str(), "pw");
        std::vector<std::string> texts = log_texts();
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0], std::string(" [0] error: security: system: ") + c.text);
        EXPECT_EQ(check_password_cache(user.c_str(), "pw"), c.cached ? PASSWORD_CACHE_BAD : 0);
    }
}

TEST_F(PasswordCacheTest, NullTableIsFatal) {
    struct Case {
        const char* name;
        void (*act)();
    } cases[] = {
        {"search", [] { password_cache_search(nullptr, "u", "p"); }},
        {"one-key search", [] { password_cache_search(nullptr, "u"); }},
        {"insert", [] { password_cache_insert(nullptr, "u", "p", 1); }},
        {"purge", [] { password_cache_purge(nullptr, "u", "p"); }},
        {"expire", [] { password_cache_expire(nullptr, 1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(c.act(), ::testing::ExitedWithCode(1), "");
    }
}

} // namespace
