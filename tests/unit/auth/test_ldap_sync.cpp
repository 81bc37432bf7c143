// Copying the DN cache from another instance over the internal HTTP client:
// the request, the service account's credentials (whatever characters its
// password holds), loading by Last-Modified, and the failures that leave
// the cache alone.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>
#include <thread>

#include "auth/base64.h"
#include "auth/dn_cache.h"
#include "auth/ldap.h"
#include "auth/password_crypt.h"
#include "core/daemon.h"
#include "core/global.h"
#include "support/config_test_support.h"
#include "support/ldap_test_support.h"
#include "support/net_test_support.h"

namespace {

std::string reply(const std::string& last_modified, const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n" +
           (last_modified.empty() ? "" : "Last-Modified: " + last_modified + "\r\n") +
           "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

class LdapSyncTest : public nettest::NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        pthread_rwlock_init(&global->dn_cache_lock, nullptr);
        global->dn_cache = dn_cache_create(8111);
        proxyhost[0] = '\0';
        configtest::use_definition(
            logtest::read_file(configtest::source_dir() + "/etc/sections.xml"));
        ldap_section = new LdapSection();
        ldap_section->set_our_key();
    }

    // One sync source entry (bind type "instance").
    void configure(const std::string& server, int port, const std::string& bind_dn,
                   const std::string& password) {
        std::string xml =
            "<kestrivan><ldap><enabled>true</enabled><servers><enabled>true</enabled><server>" +
            server + "</server><port>" + std::to_string(port) +
            "</port><method>plain</method><bind-type>instance</bind-type><bind-dn>" + bind_dn +
            "</bind-dn><bind-password>" + (password.empty() ? "" : ldaptest::encrypted(password.c_str())) +
            "</bind-password><base>dc=x</base><user-attribute>uid</user-attribute>"
            "</servers></ldap></kestrivan>";
        std::unique_ptr<tinyxml2::XMLDocument> doc(configtest::parse_document(xml));
        ldap_section->load(doc.get(), 1);
    }

    static std::string entry_of(const char* user) {
        std::string dn, groups;
        pthread_rwlock_rdlock(&global->dn_cache_lock);
        DN_CACHE_ENTRY* e = dn_cache_search(global->dn_cache, user);
        std::string text = e == nullptr ? "<none>" : std::string(e->dn) + "|" + e->groups;
        pthread_rwlock_unlock(&global->dn_cache_lock);
        return text;
    }
};

} // namespace

TEST_F(LdapSyncTest, CopiesTheCacheWithTheServiceAccount) {
    const char* password = "p@ss:w/rd#%41";
    {
        nettest::OneShotServer peer(reply("Mon, 07 Dec 2026 10:00:00 GMT",
                                "anna\tcn=Anna,dc=x\tstaff,admins\nbert\tcn=Bert,dc=x\n"));
        configure("127.0.0.1", peer.port(), "sync@example.com", password);
        EXPECT_EQ(ldap_section->ldap_init_routine(), 1); // no directory search needed
        EXPECT_EQ(peer.request.find("GET /kestrivan/ldapcache HTTP/1.1\r\n"), 0u) << peer.request;
        // The user is the bind DN before "@"; the password arrives intact.
        std::string plain = std::string("sync:") + password;
        char basic[256];
        to64frombits(basic, reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
        EXPECT_NE(peer.request.find(std::string("\r\nAuthorization: Basic ") + basic + "\r\n"),
                  std::string::npos)
            << peer.request;
    }
    EXPECT_EQ(entry_of("ANNA"), "cn=Anna,dc=x|staff,admins");
    EXPECT_EQ(entry_of("bert"), "cn=Bert,dc=x|");
    EXPECT_EQ(log().find(password), std::string::npos);

    // The same document again (same Last-Modified): nothing is reloaded.
    {
        nettest::OneShotServer peer(reply("Mon, 07 Dec 2026 10:00:00 GMT", "carl\tcn=Carl,dc=x\n"));
        configure("127.0.0.1", peer.port(), "sync@example.com", password);
        EXPECT_EQ(ldap_section->ldap_sync(), 1);
    }
    EXPECT_EQ(entry_of("carl"), "<none>");
}

TEST_F(LdapSyncTest, FailuresLeaveTheCacheAlone) {
    {
        nettest::OneShotServer peer("HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n");
        configure("127.0.0.1", peer.port(), "", "");
        EXPECT_EQ(ldap_section->ldap_sync(), -1);
        EXPECT_EQ(peer.request.find("Authorization"), std::string::npos);
        EXPECT_NE(log().find("Ldap: 127.0.0.1:" + std::to_string(peer.port()) +
                             " responded with 401"),
                  std::string::npos);
    }
    int port = nettest::unused_port();
    configure("127.0.0.1", port, "", "");
    EXPECT_EQ(ldap_section->ldap_sync(), -1);
    EXPECT_NE(log().find("Ldap: No Response from 127.0.0.1:" + std::to_string(port)),
              std::string::npos);

    // A server name no URL can hold is a failed sync, never a stopped daemon.
    configure("bad host#", 8080, "sync", "secret");
    EXPECT_EQ(ldap_section->ldap_sync(), -1);
    EXPECT_NE(log().find("Ldap: cannot make a URL for bad host#:8080"), std::string::npos);
    configure("127.0.0.1", 70000, "sync", "secret");
    EXPECT_EQ(ldap_section->ldap_sync(), -1);
    EXPECT_EQ(log().find("secret"), std::string::npos);
}
