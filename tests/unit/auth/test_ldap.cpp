// Directory authentication against a real slapd started by the test: good,
// bad and empty passwords, the user's DN and groups, reuse of pooled
// connections (seen in slapd's connection log), a stopped server, a size
// limit, anonymous binds, ldaps with a self-signed certificate, filter
// escaping, the full search counting as a load, and the entries that are
// skipped without contacting any server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "auth/dn_cache.h"
#include "auth/ldap.h"
#include "auth/password_crypt.h"
#include "config/configfile.h"
#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/global.h"
#include "net/connection.h"
#include "support/config_test_support.h"
#include "support/ldap_test_support.h"
#include "support/log_test_support.h"
#include "support/net_test_support.h"

namespace {

const char* const BASE = "ou=people,dc=example,dc=com";
const char* const ANNA_DN = "uid=anna,ou=people,dc=example,dc=com";

bool port_open(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool open = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return open;
}

// A private slapd: back_mdb under the test's directory, five people under
// BASE, a plain listener and an ldaps listener with a self-signed
// certificate for 127.0.0.1; its connection log (-d stats) goes to
// slapd.log.
class LdapTest : public logtest::LogDirTest {
protected:
    int port = 0;
    int tls_port = 0;
    pid_t slapd = -1;

    void SetUp() override {
        LogDirTest::SetUp();
        global = new GLOBAL();
        pthread_rwlock_init(&global->dn_cache_lock, nullptr);
        global->dn_cache = dn_cache_create(8111);
        CLIENT_POOL_TIMEOUT = 30;
        MAXTHREADS = 16384;
        password_cachexpire = 600;
        proxyhost[0] = '\0';
        configtest::use_definition(
            logtest::read_file(configtest::source_dir() + "/etc/sections.xml"));
        ldap_section = new LdapSection();
    }

    void TearDown() override {
        stop_slapd();
        LogDirTest::TearDown();
    }

    void start_slapd() {
        port = nettest::unused_port();
        tls_port = nettest::unused_port();
        std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
        ASSERT_EQ(system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                          "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                          key + " -out " + cert + " 2>/dev/null")
                             .c_str()),
                  0);
        ASSERT_EQ(system(("mkdir -p " + dir + "/db").c_str()), 0);
        configtest::write_file(
            dir + "/slapd.conf",
            "include /etc/ldap/schema/core.schema\n"
            "include /etc/ldap/schema/cosine.schema\n"
            "include /etc/ldap/schema/inetorgperson.schema\n"
            "modulepath /usr/lib/ldap\nmoduleload back_mdb\n"
            "pidfile " + dir + "/slapd.pid\n"
            "TLSCertificateFile " + cert + "\nTLSCertificateKeyFile " + key + "\n"
            "database mdb\nmaxsize 10485760\nsuffix \"dc=example,dc=com\"\n"
            "rootdn \"cn=admin,dc=example,dc=com\"\nrootpw secret\n"
            "directory " + dir + "/db\n");
        restart_slapd();
        std::string ldif =
            "dn: dc=example,dc=com\nobjectClass: dcObject\nobjectClass: organization\n"
            "o: Example\ndc: example\n\n"
            "dn: ou=people,dc=example,dc=com\nobjectClass: organizationalUnit\nou: people\n\n";
        const char* people[] = {"anna", "bert", "carl", "dora", "emil"};
        for (const char* name : people)
            ldif += std::string("dn: uid=") + name + "," + BASE +
                    "\nobjectClass: inetOrgPerson\nuid: " + name + "\ncn: " + name +
                    "\nsn: " + name + "\nuserPassword: " + name + "pw\n" +
                    "businessCategory: staff\n" +
                    (strcmp(name, "anna") == 0 ? "businessCategory: admins\n" : "") + "\n";
        configtest::write_file(dir + "/people.ldif", ldif);
        ASSERT_EQ(system(("ldapadd -x -H ldap://127.0.0.1:" + std::to_string(port) +
                          "/ -D cn=admin,dc=example,dc=com -w secret -f " + dir +
                          "/people.ldif > /dev/null")
                             .c_str()),
                  0);
        log_start = slapd_log().size();
    }

    // Starts slapd again on the same ports and database.
    void restart_slapd() {
        std::string urls = "ldap://127.0.0.1:" + std::to_string(port) + "/ ldaps://127.0.0.1:" +
                           std::to_string(tls_port) + "/";
        std::string conf = dir + "/slapd.conf", log = dir + "/slapd.log";
        slapd = fork();
        ASSERT_NE(slapd, -1);
        if (slapd == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(fd, 2);
            execl("/usr/sbin/slapd", "slapd", "-f", conf.c_str(), "-h", urls.c_str(), "-d",
                  "stats", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200 && !port_open(port); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(port_open(port)) << logtest::read_file(log);
    }

    void stop_slapd() {
        if (slapd <= 0)
            return;
        kill(slapd, SIGTERM);
        waitpid(slapd, nullptr, 0);
        slapd = -1;
    }

    std::string slapd_log() { return logtest::read_file(dir + "/slapd.log"); }
    // What slapd logged since the people were loaded.
    std::string slapd_log_since() { return slapd_log().substr(log_start); }
    size_t log_start = 0;
    // Connections the proxy opened since then: each begins with the service
    // account's bind. (slapd's ACCEPT lines are not reliable enough to
    // count: under load one may be missing from its log.)
    int connections_made() {
        return nettest::count_in(slapd_log_since(),
                        " op=0 BIND dn=\"cn=admin,dc=example,dc=com\" method=128");
    }

    struct Entry {
        std::string method = "plain";
        std::string bind_type = "directory";
        std::string bind_dn = "cn=admin,dc=example,dc=com";
        std::string bind_password = "secret"; // encrypted before it is loaded
        int size_limit = 1024;
        std::string proxy_host;
        bool tls = false;
    };

    // Loads the section with LDAP on and one server entry.
    void configure(const Entry& entry, bool enabled = true) {
        ldap_section->set_our_key();
        std::string password =
            entry.bind_password == "secret" ? ldaptest::encrypted("secret") : entry.bind_password;
        std::string xml =
            std::string("<kestrivan><ldap><enabled>") + (enabled ? "true" : "false") +
            "</enabled><servers><enabled>true</enabled><proxy-host>" + entry.proxy_host +
            "</proxy-host><server>127.0.0.1</server><port>" +
            std::to_string(entry.tls ? tls_port : port) + "</port><method>" + entry.method +
            "</method><bind-type>" + entry.bind_type + "</bind-type><size-limit>" +
            std::to_string(entry.size_limit) + "</size-limit><bind-dn>" + entry.bind_dn +
            "</bind-dn><bind-password>" + password + "</bind-password><base>" + BASE +
            "</base><user-attribute>uid</user-attribute><group-attribute>businessCategory"
            "</group-attribute></servers></ldap></kestrivan>";
        std::unique_ptr<tinyxml2::XMLDocument> doc(configtest::parse_document(xml));
        ldap_section->load(doc.get(), 1);
        ASSERT_EQ(ldap_section->servers.size(), 1u);
    }

    static int auth(const char* user, const char* password) {
        StringList dn_parts, groups;
        if (set_connection_dn(user, "10.1.2.3", dn_parts, groups) < 2)
            return 99;
        return auth_ldap(dn_parts, password, "10.1.2.3");
    }

    bool logged(const std::string& text) { return configtest::log_has(log_path, text); }
};

TEST_F(LdapTest, GoodBadAndEmptyPasswords) {
    start_slapd();
    configure(Entry());
    StringList dn_parts, groups;
    ASSERT_EQ(set_connection_dn("Anna", "10.1.2.3", dn_parts, groups), 6);
    EXPECT_EQ(StringList(ANNA_DN, ','), dn_parts);
    StringList expected(std::string(ANNA_DN) + ",staff,admins", ',');
    EXPECT_EQ(groups, expected);

    EXPECT_EQ(auth_ldap(dn_parts, "annapw", "10.1.2.3"), 0);
    EXPECT_EQ(auth_ldap(dn_parts, "wrongpw", "10.1.2.3"), -1);
    EXPECT_EQ(auth_ldap(dn_parts, "", "10.1.2.3"), -1);
    EXPECT_EQ(auth("bert", "bertpw"), 0);
    EXPECT_EQ(auth("bert", "annapw"), -1);
    EXPECT_TRUE(logged("[IP:10.1.2.3] [LDAP:49:Invalid credentials] warn: authentication failed [" +
                       std::string(ANNA_DN) + "]"));
    // Neither a tried nor the service account's password reaches the log.
    std::string log = logtest::read_file(log_path);
    for (const char* secret : {"wrongpw", "annapw", "bertpw", "secret"})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;

    // The same through a client connection's own lists and address.
    CONNECTION_T* connection = connection_new();
    connection->client_ip = strdup("10.9.8.7");
    EXPECT_EQ(set_connection_dn("anna", connection), 6);
    EXPECT_EQ(connection->user_groups, expected);
    EXPECT_EQ(auth_ldap("whoever", "annapw", connection), 0);
    EXPECT_EQ(auth_ldap("anna", "bertpw", connection), -1);
    EXPECT_TRUE(logged("[IP:10.9.8.7] [LDAP:49:Invalid credentials] warn: authentication failed [" +
                       std::string(ANNA_DN) + "]"));
    EXPECT_EQ(set_connection_dn("", connection), -1);
    EXPECT_TRUE(connection->dn_parts.empty() && connection->user_groups.empty());
    connection_free(connection);

    // A name the directory lacks: DN "NOT-FOUND", one name, so not LDAP.
    EXPECT_EQ(set_connection_dn("nobody", "10.1.2.3", dn_parts, groups), 1);
    EXPECT_EQ(dn_parts.front(), "NOT-FOUND");
    std::string dn, unused;
    pthread_rwlock_rdlock(&global->dn_cache_lock);
    EXPECT_EQ(dn_cache_search(global->dn_cache, "nobody"), nullptr);
    pthread_rwlock_unlock(&global->dn_cache_lock);
}

TEST_F(LdapTest, PooledConnectionsAreReused) {
    start_slapd();
    configure(Entry());
    // Two look-ups and three binds share one connection: a search
    // connection may verify users, and goes back to the pool after each use.
    StringList anna, carl, groups;
    ASSERT_EQ(set_connection_dn("anna", "10.1.2.3", anna, groups), 6);
    ASSERT_EQ(set_connection_dn("carl", "10.1.2.3", carl, groups), 5);
    EXPECT_EQ(auth_ldap(anna, "annapw", "10.1.2.3"), 0);
    EXPECT_EQ(auth_ldap(carl, "wrong", "10.1.2.3"), -1);
    EXPECT_EQ(auth_ldap(carl, "carlpw", "10.1.2.3"), 0);
    EXPECT_EQ(connections_made(), 1) << slapd_log_since();
    EXPECT_EQ(ldappool->Size(), 1u);
    EXPECT_TRUE(logged("ldap: pool size: 1"));

    // A connection now bound as a user is never used for searches.
    StringList bert;
    ASSERT_EQ(set_connection_dn("bert", "10.1.2.3", bert, groups), 5);
    EXPECT_EQ(connections_made(), 2);
    EXPECT_EQ(ldappool->Size(), 2u);

    // Aged connections are dropped by the timer's clean; the next check
    // connects afresh.
    CLIENT_POOL_TIMEOUT = 0;
    ldappool->Clean();
    EXPECT_EQ(ldappool->Size(), 0u);
    EXPECT_TRUE(logged("ldap: deleted 2 out of  2 connections"));
    CLIENT_POOL_TIMEOUT = 30;
    EXPECT_EQ(auth_ldap(anna, "annapw", "10.1.2.3"), 0);
    EXPECT_EQ(connections_made(), 3);
}

TEST_F(LdapTest, ConcurrentChecksShareThePool) {
    start_slapd();
    configure(Entry());
    StringList anna, groups;
    ASSERT_EQ(set_connection_dn("anna", "10.1.2.3", anna, groups), 6);
    const int threads = 6, rounds = 5;
    std::vector<int> results(threads * rounds, 99);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++)
        workers.emplace_back([&, t] {
            for (int r = 0; r < rounds; r++)
                results[t * rounds + r] = auth_ldap(anna, r % 2 == 0 ? "annapw" : "nope", "10.1.2.3");
        });
    for (std::thread& worker : workers)
        worker.join();
    for (int i = 0; i < threads * rounds; i++)
        EXPECT_EQ(results[i], (i % rounds) % 2 == 0 ? 0 : -1) << i;
    // Every connection went back; none was made beyond one per thread.
    EXPECT_LE(ldappool->Size(), static_cast<size_t>(threads));
    EXPECT_EQ(static_cast<size_t>(connections_made()), ldappool->Size());
}

TEST_F(LdapTest, StoppedServerIsNoBadPassword) {
    start_slapd();
    configure(Entry());
    StringList dn_parts, groups;
    ASSERT_EQ(set_connection_dn("anna", "10.1.2.3", dn_parts, groups), 6);
    EXPECT_EQ(auth_ldap(dn_parts, "annapw", "10.1.2.3"), 0);
    stop_slapd();
    // The pooled connection is dead, then no server can be reached: both are
    // "other failures", never the -1 that the caller caches as a bad password.
    EXPECT_EQ(auth_ldap(dn_parts, "annapw", "10.1.2.3"), 1);
    EXPECT_TRUE(logged("[IP:10.1.2.3] [LDAP:-1:Can't contact LDAP server] warn: failed to bind DN [" +
                       std::string(ANNA_DN) + "]"));
    EXPECT_EQ(auth_ldap(dn_parts, "annapw", "10.1.2.3"), 1);
    EXPECT_EQ(ldappool->Size(), 0u);
    // A user the cache lacks cannot be looked up either.
    EXPECT_EQ(set_connection_dn("bert", "10.1.2.3", dn_parts, groups), -1);
    EXPECT_TRUE(logged("ldap: [IP: 10.1.2.3] DN not found for user bert"));

    restart_slapd();
    EXPECT_EQ(auth_ldap(StringList(ANNA_DN, ','), "annapw", "10.1.2.3"), 0);
}

TEST_F(LdapTest, SizeLimitKeepsTheEntriesReturned) {
    start_slapd();
    Entry entry;
    entry.size_limit = 2;
    configure(entry);
    pthread_mutex_lock(&documentlock);
    ldap_section->dn_cache_loaded = 0;
    pthread_mutex_unlock(&documentlock);

    ldap_configure(nullptr); // aged cache: the timer runs the full search
    EXPECT_TRUE(logged("[LDAP:4:Size limit exceeded] search [(&(objectclass=person)(uid=*))]"));
    EXPECT_TRUE(logged("ldap: cache: entries returned [2] refreshed [2]"));
    Filebuf document;
    dn_cache_document_write(&document);
    EXPECT_EQ(nettest::count_in(std::string(document.data, document.size), "\n"), 2);

    // The search counts as a load: the next tick does not search again.
    int searches = nettest::count_in(slapd_log_since(), " SRCH base=");
    EXPECT_EQ(searches, 1);
    ldap_configure(nullptr);
    ldap_configure(nullptr);
    EXPECT_EQ(nettest::count_in(slapd_log_since(), " SRCH base="), searches);
}

TEST_F(LdapTest, AnonymousBindLoadsTheCache) {
    start_slapd();
    Entry entry;
    entry.bind_type = "anonymous";
    entry.bind_dn = "";
    entry.bind_password = "";
    configure(entry);
    ldap_configure(nullptr, nullptr); // the start-up hook's first load
    EXPECT_TRUE(logged("ldap: cache: entries returned [5] refreshed [5]"));
    std::string log = slapd_log_since();
    EXPECT_NE(log.find("BIND dn=\"\" method=128"), std::string::npos) << log;
    EXPECT_EQ(log.find("BIND dn=\"cn=admin"), std::string::npos);
    EXPECT_EQ(auth("dora", "dorapw"), 0);
}

TEST_F(LdapTest, LdapsWithTheCertificateTrusted) {
    start_slapd();
    setenv("LDAPTLS_CACERT", (dir + "/cert.pem").c_str(), 1);
    Entry entry;
    entry.method = "ssl";
    entry.tls = true;
    configure(entry);
    EXPECT_EQ(auth("anna", "annapw"), 0);
    EXPECT_EQ(auth("anna", "bad"), -1);
    // The service account and the user bound over the encrypted connection.
    std::string log = slapd_log_since();
    EXPECT_NE(log.find("TLS established"), std::string::npos) << log;
    EXPECT_NE(log.find("BIND dn=\"cn=admin,dc=example,dc=com\" mech=SIMPLE bind_ssf=0 ssf=256"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("BIND dn=\"" + std::string(ANNA_DN) + "\" mech=SIMPLE bind_ssf=0 ssf=256"),
              std::string::npos)
        << log;
}

TEST_F(LdapTest, LdapsNeverFallsBackToClearText) {
    start_slapd();
    // An untrusted certificate is refused even where the environment says
    // not to check certificates.
    setenv("LDAPTLS_REQCERT", "never", 1);
    Entry entry;
    entry.method = "ssl";
    entry.tls = true;
    configure(entry);
    EXPECT_EQ(auth("anna", "annapw"), 99); // no DN can be had
    EXPECT_EQ(auth_ldap(StringList(ANNA_DN, ','), "annapw", "10.1.2.3"), 1);
    EXPECT_TRUE(logged("]  server 127.0.0.1:" + std::to_string(tls_port)));
    std::string log = slapd_log_since();
    // The certificate was refused before anything was sent, and the plain
    // listener was never tried.
    EXPECT_EQ(log.find("BIND dn="), std::string::npos) << log;
    EXPECT_EQ(log.find("(IP=127.0.0.1:" + std::to_string(port) + ")"), std::string::npos) << log;
}

TEST_F(LdapTest, UserNamesAreFilterValuesOnly) {
    start_slapd();
    configure(Entry());
    const char* names[] = {"*", "an*", "anna)(uid=*", " anna"};
    for (const char* name : names) {
        std::string dn, groups;
        EXPECT_EQ(ldap_section->re_check_dn_cache(name, dn, groups), 0) << name;
        EXPECT_EQ(dn, "NOT-FOUND") << name;
        pthread_rwlock_rdlock(&global->dn_cache_lock);
        EXPECT_EQ(dn_cache_search(global->dn_cache, name), nullptr) << name;
        pthread_rwlock_unlock(&global->dn_cache_lock);
    }
    EXPECT_TRUE(logged("search [(&(objectclass=person)(uid=an\\2a))], user an* not found"));
    std::string dn, groups;
    EXPECT_EQ(ldap_section->re_check_dn_cache("ANNA", dn, groups), 0);
    EXPECT_EQ(dn, ANNA_DN);
    EXPECT_EQ(groups, "staff,admins");
}

// Entries that are passed over without any server being contacted.
TEST_F(LdapTest, SkippedEntriesAndLdapOff) {
    port = nettest::unused_port(); // nothing listens there
    configure(Entry(), false);
    StringList dn_parts, groups;
    EXPECT_EQ(set_connection_dn("anna", "10.1.2.3", dn_parts, groups), -1);
    EXPECT_EQ(auth_ldap(StringList(ANNA_DN, ','), "annapw", "10.1.2.3"), 1);

    Entry other_instance;
    other_instance.proxy_host = "proxy2";
    configure(other_instance);
    EXPECT_EQ(auth_ldap(StringList(ANNA_DN, ','), "annapw", "10.1.2.3"), 1);
    EXPECT_FALSE(logged("[LDAP:-1:Can't contact LDAP server]  server 127.0.0.1:" +
                        std::to_string(port)));

    Entry bad_password;
    bad_password.bind_password = "k2k3zz";
    configure(bad_password);
    EXPECT_EQ(auth_ldap(StringList(ANNA_DN, ','), "annapw", "10.1.2.3"), 1);
    EXPECT_TRUE(logged("security: failed to extract ldap password from privatised string [k2k3zz]"));

    // A reachable-looking entry that is down: logged, no DN.
    configure(Entry());
    EXPECT_EQ(auth_ldap(StringList(ANNA_DN, ','), "annapw", "10.1.2.3"), 1);
    EXPECT_TRUE(logged("[LDAP:-1:Can't contact LDAP server]  server 127.0.0.1:" +
                       std::to_string(port)));
}

// Which entry the DN-cache copy from another instance uses. Nothing serves
// "/ldapcache" here, so a chosen entry ends in "No Response".
TEST_F(LdapTest, SyncTakesOnlyInstanceEntries) {
    port = nettest::unused_port();
    const struct {
        const char* bind_type;
        const char* bind_dn;
        const char* password; // "secret" is encrypted first
        const char* proxy_host;
        const char* line;
    } cases[] = {
        {"directory", "", "", "", "debug: ldap: entry:1 ldapmethod:0 "},
        {"instance", "sync@example", "", "",
         "error: ldap: ldap user name is specified, but no password specified"},
        {"instance", "sync@example", "k2zz", "",
         "security: failed to extract ldap password from privatised string [k2zz]"},
        {"instance", "sync@example", "secret", "otherproxy", nullptr},
        {"instance-bound", "", "", "", "error: Ldap: No Response from 127.0.0.1:"},
        {"anonymous", "sync@example", "secret", "thisproxy", "error: Ldap: No Response from 127.0.0.1:"},
    };
    snprintf(proxyhost, sizeof proxyhost, "%s", "thisproxy");
    for (const auto& c : cases) {
        Entry entry;
        entry.bind_type = c.bind_type;
        entry.bind_dn = c.bind_dn;
        entry.bind_password = c.password;
        entry.proxy_host = c.proxy_host;
        configure(entry);
        size_t before = logtest::read_file(log_path).size();
        EXPECT_EQ(ldap_section->ldap_sync(), -1) << c.bind_type;
        std::string log = logtest::read_file(log_path).substr(before);
        EXPECT_EQ(log.find("syncing with proxy server") != std::string::npos,
                  c.line != nullptr && strstr(c.line, "No Response") != nullptr)
            << log;
        if (c.line != nullptr) {
            EXPECT_NE(log.find(c.line), std::string::npos) << log;
        }
        EXPECT_EQ(log.find("secret"), std::string::npos);
    }
    proxyhost[0] = '\0';
}

TEST(LdapFilter, EscapesTheFilterSpecials) {
    EXPECT_EQ(ldap_filter_escape("plain.name@x"), "plain.name@x");
    EXPECT_EQ(ldap_filter_escape("a*b(c)d\\e"), "a\\2ab\\28c\\29d\\5ce");
    EXPECT_EQ(ldap_filter_escape(std::string("a\0b", 3)), "a\\00b");
}

} // namespace
