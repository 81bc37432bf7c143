// The DN cache: chain keys, names that differ only in case, replacement,
// the "/ldapcache" document both ways, sync answers and the sync URL's
// credentials.
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "auth/dn_cache.h"
#include "auth/ldap.h"
#include "config/configfile.h"
#include "core/filebuf.h"
#include "core/global.h"
#include "support/config_test_support.h"
#include "support/log_test_support.h"

namespace {

class DnCacheTest : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        global = new GLOBAL();
        pthread_rwlock_init(&global->dn_cache_lock, nullptr);
        global->dn_cache = dn_cache_create(8111);
    }

    // The whole cache as the "/ldapcache" document.
    static std::string document() {
        Filebuf buffer;
        dn_cache_document_write(&buffer);
        return std::string(buffer.data != nullptr ? buffer.data : "", buffer.size);
    }

    static std::string entry_of(const char* user) {
        DN_CACHE_ENTRY* e = dn_cache_search(global->dn_cache, user);
        if (e == nullptr)
            return "<none>";
        return std::string(e->user) + "|" + e->dn + "|" + e->groups;
    }
};

TEST_F(DnCacheTest, KeyIgnoresCaseAndTakesSignedCharacters) {
    EXPECT_EQ(dn_cache_key(8111, ""), 0u);
    // 'A' = 65: 20*65 + (65 >> 4) + (65 >> 2) + 8111 = 9431.
    EXPECT_EQ(dn_cache_key(8111, "a"), 9431u % 8111);
    EXPECT_EQ(dn_cache_key(8111, "A"), 9431u % 8111);
    // A byte over 0x7F counts negative: -23 gives -460 - 2 - 6 + 8111.
    EXPECT_EQ(dn_cache_key(8111, "\xe9"), 7643u);
    EXPECT_EQ(dn_cache_key(8111, "JSmith"), dn_cache_key(8111, "jsmith"));
}

TEST_F(DnCacheTest, OneEntryPerNameWhateverItsCase) {
    update_dn_cache("JSmith", "uid=jsmith,dc=example", "staff");
    update_dn_cache("jsmith", "uid=jsmith,ou=new,dc=example", "");
    EXPECT_EQ(entry_of("JSMITH"), "jsmith|uid=jsmith,ou=new,dc=example|");
    EXPECT_EQ(document(), "jsmith\tuid=jsmith,ou=new,dc=example\n");

    dn_cache_purge(global->dn_cache, "JSMITH");
    EXPECT_EQ(entry_of("jsmith"), "<none>");
    dn_cache_purge(global->dn_cache, "nobody"); // nothing to remove
    EXPECT_EQ(dn_cache_insert(global->dn_cache, nullptr, "x", "y"), nullptr);
    EXPECT_EQ(dn_cache_search(global->dn_cache, nullptr), nullptr);
}

TEST_F(DnCacheTest, CheckReadsTheCacheWithoutTheDirectory) {
    update_dn_cache("anna", "cn=Anna,dc=example", "admins,staff");
    std::string dn, groups;
    EXPECT_EQ(check_dn_cache("ANNA", dn, groups), 0);
    EXPECT_EQ(dn, "cn=Anna,dc=example");
    EXPECT_EQ(groups, "admins,staff");
    // Without a directory section a name the cache lacks cannot be had.
    ldap_section = nullptr;
    EXPECT_EQ(check_dn_cache("bert", dn, groups), -1);
}

TEST_F(DnCacheTest, DocumentRoundTrip) {
    update_dn_cache("anna", "cn=Anna,dc=example", "admins,staff");
    update_dn_cache("bert", "cn=Bert,dc=example", "");
    update_dn_cache("Carl", "cn=Carl\\, Jr,dc=example", "x");
    std::string written = document();
    EXPECT_NE(written.find("anna\tcn=Anna,dc=example\tadmins,staff\n"), std::string::npos);
    EXPECT_NE(written.find("bert\tcn=Bert,dc=example\n"), std::string::npos);

    // A fresh cache loads the same entries back.
    global->dn_cache = dn_cache_create(8111);
    EXPECT_EQ(dn_cache_document_load(written.data(), written.size()), 3);
    EXPECT_EQ(document(), written);
}

TEST_F(DnCacheTest, DocumentLinesAreReadByFieldCount) {
    const struct {
        const char* line;
        const char* user;
        const char* entry;
    } cases[] = {
        {"two\tcn=Two", "two", "two|cn=Two|"},
        {"three\tcn=Three\tg1,g2", "three", "three|cn=Three|g1,g2"},
        {"gap\t\tgroups", "gap", "gap|groups|"},       // an empty field is skipped
        {"\tlead\tcn=Lead\t", "lead", "lead|cn=Lead|"}, // so are empty edge fields
        {"four\ta\tb\tc", "four", "<none>"},            // too many fields
        {"alone", "alone", "<none>"},                   // too few
    };
    for (const auto& c : cases) {
        dn_cache_document_load(c.line, strlen(c.line));
        EXPECT_EQ(entry_of(c.user), c.entry) << c.line;
    }
    // A single line without a newline, blank lines and a long DN, uncut.
    std::string long_dn = "cn=" + std::string(3000, 'x') + ",dc=example";
    std::string body = "\n\nlong\t" + long_dn;
    EXPECT_EQ(dn_cache_document_load(body.data(), body.size()), 1);
    EXPECT_EQ(entry_of("long"), "long|" + long_dn + "|");
}

TEST_F(DnCacheTest, UserinfoIsPercentEncoded) {
    EXPECT_EQ(dn_cache_userinfo_encode(""), "");
    EXPECT_EQ(dn_cache_userinfo_encode("admin-1.x_y~z"), "admin-1.x_y~z");
    EXPECT_EQ(dn_cache_userinfo_encode("p@ss:w/rd#%1 \xff"), "p%40ss%3Aw%2Frd%23%251%20%FF");
}

class DnCacheSyncTest : public DnCacheTest {
protected:
    void SetUp() override {
        DnCacheTest::SetUp();
        configtest::use_definition(
            logtest::read_file(configtest::source_dir() + "/etc/sections.xml"));
        ldap_section = new LdapSection();
    }

    static time_t loaded_at() {
        pthread_mutex_lock(&documentlock);
        time_t at = ldap_section->dn_cache_loaded;
        pthread_mutex_unlock(&documentlock);
        return at;
    }

    static void set_loaded_at(time_t at) {
        pthread_mutex_lock(&documentlock);
        ldap_section->dn_cache_loaded = at;
        pthread_mutex_unlock(&documentlock);
    }
};

TEST_F(DnCacheSyncTest, AnswersOtherThan200LoadNothing) {
    set_loaded_at(1000);
    const char body[] = "anna\tcn=Anna\n";
    EXPECT_EQ(dn_cache_sync_response("peer", 8080, 403, nullptr, body, strlen(body)), -1);
    EXPECT_EQ(entry_of("anna"), "<none>");
    EXPECT_EQ(loaded_at(), 1000);
    EXPECT_TRUE(configtest::log_has(log_path, "Ldap: peer:8080 responded with 403"));
}

TEST_F(DnCacheSyncTest, LoadsOnlyDocumentsNewerThanTheLastLoaded) {
    set_loaded_at(1000);
    const char first[] = "anna\tcn=Anna\n";
    EXPECT_EQ(dn_cache_sync_response("peer", 8080, 200, "Mon, 07 Dec 2026 10:00:00 GMT", first,
                                     strlen(first)),
              1);
    EXPECT_EQ(entry_of("anna"), "anna|cn=Anna|");
    EXPECT_GE(loaded_at(), time(nullptr) - 5);

    // The same stamp again: nothing new, nothing loaded, but still a sync.
    const char second[] = "bert\tcn=Bert\n";
    EXPECT_EQ(dn_cache_sync_response("peer", 8080, 200, "Mon, 07 Dec 2026 10:00:00 GMT", second,
                                     strlen(second)),
              1);
    EXPECT_EQ(entry_of("bert"), "<none>");
    // A later stamp loads.
    EXPECT_EQ(dn_cache_sync_response("peer", 8080, 200, "Mon, 07 Dec 2026 10:00:01 GMT", second,
                                     strlen(second)),
              1);
    EXPECT_EQ(entry_of("bert"), "bert|cn=Bert|");
}

// The stamp is universal time: read as local time, a stamp in the hour a
// spring-forward change skips would count as later than the next one, and
// the newer document would be taken as already loaded.
TEST_F(DnCacheSyncTest, StampsAreUniversalTimeWhateverTheLocalZone) {
    const char* zone = getenv("TZ");
    std::string saved = zone != nullptr ? zone : "";
    setenv("TZ", "America/New_York", 1);
    tzset();
    const char first[] = "anna\tcn=Anna\n";
    const char second[] = "bert\tcn=Bert\n";
    EXPECT_EQ(dn_cache_sync_response("peer", 8080, 200, "Sun, 14 Mar 2027 02:30:00 GMT", first,
                                     strlen(first)),
              1);
    EXPECT_EQ(dn_cache_sync_response("peer", 8080, 200, "Sun, 14 Mar 2027 03:10:00 GMT", second,
                                     strlen(second)),
              1);
    EXPECT_EQ(entry_of("anna"), "anna|cn=Anna|");
    EXPECT_EQ(entry_of("bert"), "bert|cn=Bert|");
    if (zone != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(DnCacheSyncTest, DocumentsWithoutADateAreLoaded) {
    const char body[] = "carl\tcn=Carl\tops";
    EXPECT_EQ(dn_cache_sync_response("peer", 8080, 200, nullptr, body, strlen(body)), 1);
    EXPECT_EQ(entry_of("carl"), "carl|cn=Carl|ops");
    EXPECT_TRUE(configtest::log_has(log_path, "Ldap: Cannot estimate last configuration update of peer"));
    EXPECT_EQ(dn_cache_sync_response("peer", 8080, 200, nullptr, nullptr, 0), 1);
}

} // namespace
