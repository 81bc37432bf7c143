// Access rules and the authentication front end: the rule match over the
// allow and deny lists, what a rule grants a connection, the challenge
// header, and access_auth on a connection record with real PAM service
// files (pam_userdb, pam_deny) behind it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "auth/access.h"
#include "auth/base64.h"
#include "auth/password_cache.h"
#include "auth/profiles.h"
#include "config/general.h"
#include "core/atom.h"
#include "core/daemon.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "core/global.h"
#include "http/header_io.h"
#include "iface/stats.h"
#include "iface/templates.h"
#include "support/pam_test_support.h"
#include "support/section_test_support.h"

using sectiontest::elements;

namespace {

using Fields = std::initializer_list<std::pair<std::string, std::string>>;

// One entry of the list ("allow" or "deny"), enabled unless the fields say.
std::string rule(const std::string& list, Fields fields) {
    std::string text = "<" + list + ">";
    bool enabled_given = false;
    for (const auto& field : fields)
        enabled_given = enabled_given || field.first == "enabled";
    if (!enabled_given)
        text += "<enabled>true</enabled>";
    return text + elements(fields) + "</" + list + ">";
}

std::string allow(Fields fields) {
    return rule("allow", fields);
}
std::string deny(Fields fields) {
    return rule("deny", fields);
}

std::string basic(const std::string& pair) {
    std::vector<char> text(base64_encoded_size(pair.size()));
    to64frombits(text.data(), reinterpret_cast<const unsigned char*>(pair.data()), pair.size());
    return std::string("Basic ") + text.data();
}

std::string proxy_request(const std::string& credentials = "",
                          const std::string& extra_lines = "") {
    std::string text = "GET http://www.example.com/page HTTP/1.1\r\nHost: www.example.com\r\n";
    if (!credentials.empty())
        text += "Proxy-Authorization: " + credentials + "\r\n";
    return text + extra_lines + "\r\n";
}

std::string origin_request(const std::string& host, const std::string& credentials) {
    return "GET /page HTTP/1.1\r\nHost: " + host + "\r\nAuthorization: " + credentials +
           "\r\n\r\n";
}

// A client connection as the road holds it at the authentication stage.
struct Client {
    CONNECTION_T record{};

    explicit Client(const std::string& request, const char* ip = "127.0.0.1",
                    const char* listener = "127.0.0.1", int port = 3128) {
        record.client_ip = strdup(ip);
        record.interface_ip = strdup(listener);
        record.port = port;
        record.auth_host_state = AUTH_HOST_CHALLENGE;
        next(request);
    }
    ~Client() {
        end_request();
        free(record.client_ip);
        free(record.interface_ip);
        free(record.user);
        free(record.auth_host_user);
        if (record.user_stats != nullptr) {
            bool last = record.user_stats->Delete();
            if (last)
                delete record.user_stats;
        }
    }
    // The next request on the same connection (what lasts across requests,
    // such as CONN_AUTH_REQUIRED and the user, stays).
    void next(const std::string& request) {
        end_request();
        record.request = http_header_parse_request(request.c_str());
        ASSERT_NE(record.request, nullptr) << request;
    }
    void end_request() {
        http_header_free(record.request);
        http_header_free(record.response);
        record.request = record.response = nullptr;
        delete record.body;
        record.body = nullptr;
        record.profiles.clear();
        record.user_groups.clear();
        record.dn_parts.clear();
        record.access = 0;
    }
    std::string user() const { return record.user != nullptr ? record.user : "<none>"; }
    bool auth_required() const { return (record.auth_flags & CONN_AUTH_REQUIRED) != 0; }
    // The installed response as the client would receive its header.
    std::string response_text() const {
        if (record.response == nullptr)
            return "<none>";
        Filebuf out;
        header_send_context_t context;
        context.request = record.request;
        header_serialise(&out, record.response, context, HEADER_SEND_RESPONSE);
        return std::string(out.data, out.size);
    }
    CONNECTION_T* operator->() { return &record; }
    CONNECTION_T* get() { return &record; }
};

std::vector<std::string> names(const StringList& list) {
    return std::vector<std::string>(list.begin(), list.end());
}

using pamtest::test_global;

class AccessTest : public sectiontest::ShippedSectionTest {
protected:
    AccessSection* section = nullptr;

    void SetUp() override {
        ShippedSectionTest::SetUp();
        general_section = new GeneralSection();
        template_section = new TemplateSection();
        profile_section = new ProfileSection();
        section = new AccessSection();
        access_section = section;
        proxyhost[0] = '\0';
        sectiontest::load(*general_section,
                          "<general><hostname>proxy.example</hostname></general>");
        snprintf(slogfile, sizeof slogfile, "%s/access.log", dir.c_str());
        snprintf(elogfile, sizeof elogfile, "%s/extended.log", dir.c_str());
        authflag = 1; // no password cache unless a test turns it on
        password_cachesize = 8111;
        password_cachexpire = 600;
        global = test_global();
        global->password_cache = password_cache_create(8111);
    }
    void TearDown() override {
        password_cache_expire(global->password_cache, 0);
        free(global->password_cache->table);
        free(global->password_cache);
        global->password_cache = nullptr;
        ShippedSectionTest::TearDown();
    }

    // Loads the access section from its global values and entries.
    void configure(const std::string& body) {
        sectiontest::load(*section, "<access>" + body + "</access>");
    }

    // The comment of the rule the match picks: "default" for the default
    // rule, "refused" for none.
    std::string match(Client& client, const char* user = nullptr,
                      const char* password = nullptr) {
        section->read_lock();
        const Access* chosen = section->check(client.get(), user, password);
        section->unlock();
        if (chosen == nullptr)
            return "refused";
        if (chosen == &section->default_rule)
            return "default";
        return chosen->comment;
    }
};

// ---- The rule match ---------------------------------------------------------

TEST_F(AccessTest, OrderOfTheTwoLists) {
    const std::string anyone = "<comment>A</comment>";
    struct Case {
        const char* what;
        std::string config;
        const char* chosen;
    } cases[] = {
        {"allow first, no rules", "<allow-first>true</allow-first>", "refused"},
        {"allow first, allow matches", "<allow-first>true</allow-first>" + allow({{"comment", "A"}}),
         "A"},
        {"allow first, deny matches too",
         "<allow-first>true</allow-first>" + allow({{"comment", "A"}}) + deny({{"comment", "D"}}),
         "refused"},
        {"allow first, deny misses",
         "<allow-first>true</allow-first>" + allow({{"comment", "A"}}) +
             deny({{"comment", "D"}, {"addresses", "10.0.0.0-10.255.255.255"}}),
         "A"},
        {"allow first, the first matching allow rule wins",
         "<allow-first>true</allow-first>" +
             allow({{"comment", "off"}, {"enabled", "false"}}) +
             allow({{"comment", "far"}, {"addresses", "10.0.0.1"}}) + allow({{"comment", "A"}}) +
             allow({{"comment", "B"}}),
         "A"},
        {"deny first, no deny rule: the default even when an allow rule matches",
         "<allow-first>false</allow-first>" + allow({{"comment", "A"}}), "default"},
        {"deny first, deny matches, allow overrides",
         "<allow-first>false</allow-first>" + allow({{"comment", "A"}}) + deny({{"comment", "D"}}),
         "A"},
        {"deny first, deny matches, no allow rule",
         "<allow-first>false</allow-first>" + deny({{"comment", "D"}}), "refused"},
        {"deny first, deny matches, allow misses",
         "<allow-first>false</allow-first>" + deny({{"comment", "D"}}) +
             allow({{"comment", "A"}, {"addresses", "10.0.0.1"}}),
         "refused"},
    };
    for (const Case& c : cases) {
        configure(c.config);
        Client client(proxy_request());
        EXPECT_EQ(match(client), c.chosen) << c.what;
    }
}

TEST_F(AccessTest, ListeningInterfaces) {
    struct Case {
        const char* interfaces;
        bool fits;
    } cases[] = {
        {"", true},
        {"*:*", true},
        {"127.0.0.1:*", true},
        {"*:3128", true},
        {"127.0.0.1:3128", true},
        {"127.0.0.1:3128/x", true}, // the number at the start counts
        {"10.0.0.1:3128,127.0.0.1:3128", true},
        {"*:8080", false},
        {"127.0.0.2:3128", false},
        {"127.0.0.1", false},       // no colon: fits nothing
        {"*", false},
        {"127.0.0.1:", false},
        {"127.000.000.001:3128", false}, // compared as text
        {"1234567890123456:3128", false},
    };
    for (const Case& c : cases) {
        configure(allow({{"comment", "A"}, {"interfaces", c.interfaces}}));
        Client client(proxy_request(), "192.168.1.9", "127.0.0.1", 3128);
        EXPECT_EQ(match(client), c.fits ? "A" : "refused") << c.interfaces;
    }
}

// X-Forwarded-For chooses a rule only when the client is a trusted
// downstream proxy; nobody is trusted by default.
TEST_F(AccessTest, ForwardedForOnlyFromTrustedProxies) {
    struct Case {
        const char* trusted;
        const char* client_ip;
        const char* forwarded;
        const char* chosen;
    } cases[] = {
        {"", "127.0.0.1", "10.1.1.1", "refused"},
        {"192.168.0.1", "127.0.0.1", "10.1.1.1", "refused"},
        {"127.0.0.1", "127.0.0.1", "10.1.1.1", "A"},
        {"127.0.0.0-127.255.255.255", "127.0.0.5", "10.1.1.1", "A"},
        {"127.0.0.1", "127.0.0.1", "10.9.9.9", "refused"},
        {"", "10.1.1.1", "192.168.5.5", "A"}, // the own address still counts
        {"10.1.1.1", "10.1.1.1", "192.168.5.5", "A"},
    };
    for (const Case& c : cases) {
        configure(std::string("<trusted-proxies>") + c.trusted + "</trusted-proxies>" +
                  allow({{"comment", "A"}, {"addresses", "10.1.1.1"}}));
        Client client(proxy_request("", std::string("X-Forwarded-For: ") + c.forwarded + "\r\n"),
                      c.client_ip);
        EXPECT_EQ(match(client), c.chosen)
            << "trusted " << c.trusted << ", client " << c.client_ip << ", forwarded "
            << c.forwarded;
    }
}

TEST_F(AccessTest, MalformedAddressesAreLoggedAndNotMatched) {
    configure("<trusted-proxies>127.0.0.1</trusted-proxies>" +
              allow({{"comment", "A"}, {"addresses", "127.0.0.1"}}));
    Client listed(proxy_request("", "X-Forwarded-For: 10.1.1.1, 10.2.2.2\r\n"));
    EXPECT_EQ(match(listed), "A"); // the client's own address is tried next
    EXPECT_TRUE(logged("malformatted xforwardedfor header: 10.1.1.1, 10.2.2.2"));

    Client odd(proxy_request(), "::1");
    EXPECT_EQ(match(odd), "refused");
    EXPECT_TRUE(logged("malformatted connection ip: ::1"));
}

TEST_F(AccessTest, UserAndPasswordTests) {
    struct Case {
        const char* authenticate;
        const char* rule_user;
        const char* rule_password;
        const char* ldap_names;
        const char* user;
        const char* password;
        const char* groups;
        const char* dn;
        bool fits;
    } cases[] = {
        // A rule that authenticates: the user text is a pattern, the
        // password is not compared here.
        {"true", "^ali", "", "", nullptr, nullptr, "", "", true},
        {"true", "^ali", "", "", "alice", "x", "", "", true},
        {"true", "^ali", "", "", "ALICE", "x", "", "", true},
        {"true", "^ali", "", "", "bob", "x", "", "", false},
        {"true", "", "", "", "bob", "x", "", "", true},
        {"true", "", "pw", "", "bob", "other", "", "", true},
        {"true", "", "", "cn=staff", "bob", "x", "cn=staff", "", true},
        {"true", "", "", "cn=staff", "bob", "x", "", "cn=staff", true},
        {"true", "", "", "cn=staff", "bob", "x", "cn=other", "", false},
        {"true", "", "", "cn=staff", nullptr, nullptr, "", "", true},
        {"true", "", "", "!cn=guests", "bob", "x", "cn=guests", "", false},
        {"true", "", "", "!cn=guests", "bob", "x", "dc=org,cn=guests", "dc=org", false},
        {"true", "", "", "!cn=guests", "bob", "x", "dc=org,cn=staff", "dc=org", true},
        {"true", "", "", "cn=staff,dc=org", "bob", "x", "", "dc=org", true},
        // A rule that does not: literal user and password.
        {"false", "", "", "", nullptr, nullptr, "", "", true},
        {"false", "", "", "", "alice", "x", "", "", false},
        {"false", "alice", "", "", "alice", "anything", "", "", true},
        {"false", "alice", "", "", "Alice", "anything", "", "", false},
        {"false", "alice", "pw", "", nullptr, nullptr, "", "", true},
        {"false", "alice", "pw", "", "alice", "pw", "", "", true},
        {"false", "alice", "pw", "", "alice", "PW", "", "", false},
        {"false", "alice", "pw", "", "bob", "pw", "", "", false},
        {"false", "a(b", "", "", "a(b", "x", "", "", true}, // a literal, not a pattern
    };
    for (const Case& c : cases) {
        configure(allow({{"comment", "A"},
                         {"authenticate", c.authenticate},
                         {"user", c.rule_user},
                         {"password", c.rule_password},
                         {"ldap-names", c.ldap_names}}));
        Client client(proxy_request());
        client->user_groups = StringList(c.groups, ',');
        client->dn_parts = StringList(c.dn, ',');
        EXPECT_EQ(match(client, c.user, c.password), c.fits ? "A" : "refused")
            << "authenticate " << c.authenticate << " rule " << c.rule_user << "/"
            << c.rule_password << " names " << c.ldap_names << " given "
            << (c.user ? c.user : "(none)") << "/" << (c.password ? c.password : "(none)");
    }
}

// A user pattern that does not compile would admit every name: the
// configuration is refused and the rules in force stay.
TEST_F(AccessTest, UncompilableUserPatternIsRefused) {
    configure(allow({{"comment", "old"}, {"authenticate", "true"}, {"user", "^alice$"}}));
    EXPECT_THROW(configure(allow({{"comment", "new"}, {"authenticate", "true"},
                                  {"user", "(unclosed"}})),
                 ConfigError);
    ASSERT_EQ(section->allow.size(), 1u);
    EXPECT_EQ(section->allow.front().comment, "old");
    Client client(proxy_request());
    EXPECT_EQ(match(client, "mallory", "x"), "refused");
    EXPECT_EQ(match(client, "alice", "x"), "old");

    // A rule that somehow lacks its compiled pattern admits no named user.
    section->allow.clear();
    Access& bare = section->allow.emplace_back();
    bare.comment = "bare";
    bare.authenticate = 1;
    bare.user = "(unclosed";
    EXPECT_EQ(match(client, "mallory", "x"), "refused");
    EXPECT_EQ(match(client), "bare");
}

// ---- What a rule grants -------------------------------------------------

TEST_F(AccessTest, RuleGrantsRightsBypassProfilesLoginAndStatistics) {
    configure(allow({{"comment", "A"},
                     {"log", "true"},
                     {"access", "proxy,connect"},
                     {"bypass", "url-filter,icap"},
                     {"interface-user", "admin"},
                     {"interface-password", "s3cret"},
                     {"profiles", "staff,web,staff"}}));
    Client client(proxy_request());
    client->bypass = BYPASS_DNSBL; // earned under no rule of this section
    client->profiles.push_back("leftover");
    ASSERT_TRUE(section->check_and_setup(client.get()));

    EXPECT_EQ(client->access, unsigned(ACCESS_PROXY | ACCESS_CONNECT));
    // A new rule starts from its own bits.
    EXPECT_EQ(client->bypass, unsigned(BYPASS_URL_FILTER | BYPASS_ICAP));
    // What a "bypass" command adds stays while the same rule admits the same
    // (anonymous) user.
    client->bypass |= BYPASS_DNSBL;
    ASSERT_TRUE(section->check_and_setup(client.get()));
    EXPECT_EQ(client->bypass, unsigned(BYPASS_DNSBL | BYPASS_URL_FILTER | BYPASS_ICAP));
    EXPECT_EQ(names(client->profiles), (std::vector<std::string>{"staff", "web"}));
    EXPECT_TRUE(logged("Added Profile: staff"));
    EXPECT_TRUE(logged("Added Profile: web"));
    EXPECT_EQ(client->interface_user, "admin");
    EXPECT_EQ(client->interface_password, "s3cret");
    EXPECT_EQ(client.user(), "anonymous@127.0.0.1");
    EXPECT_FALSE(client.auth_required());

    // The rule and the connection share one statistics object; a reload
    // gives the rule a new one while the connection keeps the old.
    Stats* first = section->allow.front().stats;
    EXPECT_EQ(client->user_stats, first);
    EXPECT_EQ(first->count, 2);
    // The same rule of a rebuilt configuration is another rule: its bits only.
    configure(allow({{"comment", "A"}, {"access", "proxy"}}));
    EXPECT_NE(section->allow.front().stats, first);
    EXPECT_EQ(first->count, 1);
    ASSERT_TRUE(section->check_and_setup(client.get()));
    EXPECT_EQ(client->user_stats, section->allow.front().stats);
    EXPECT_EQ(client->access, unsigned(ACCESS_PROXY)); // replaced, not added
    EXPECT_EQ(client->bypass, 0u);
}

TEST_F(AccessTest, DefaultRuleGrantsEveryRightAndNothingElse) {
    configure("<allow-first>false</allow-first>" +
              allow({{"comment", "A"}, {"profiles", "staff"}, {"bypass", "url-filter"}}));
    Client client(proxy_request());
    ASSERT_TRUE(section->check_and_setup(client.get()));
    EXPECT_EQ(client->access, 0xFFFFFFFFu);
    EXPECT_EQ(client->bypass, 0u);
    EXPECT_TRUE(client->profiles.empty());
    EXPECT_FALSE(client.auth_required());
}

TEST_F(AccessTest, AnonymousUserNamesTheTrustedForwardedAddressOnly) {
    const std::string forwarded = "X-Forwarded-For: 10.1.1.1\r\n";
    configure(allow({{"comment", "A"}}));
    Client untrusted(proxy_request("", forwarded));
    ASSERT_TRUE(section->check_and_setup(untrusted.get()));
    EXPECT_EQ(untrusted.user(), "anonymous@127.0.0.1");

    configure("<trusted-proxies>127.0.0.1</trusted-proxies>" + allow({{"comment", "A"}}));
    Client trusted(proxy_request("", forwarded));
    ASSERT_TRUE(section->check_and_setup(trusted.get()));
    EXPECT_EQ(trusted.user(), "anonymous@10.1.1.1");
}

TEST_F(AccessTest, RulesThatRequireAUserSetTheFlag) {
    struct Case {
        Fields fields;
        bool required;
    } cases[] = {
        {{{"authenticate", "true"}}, true},
        {{{"user", "alice"}, {"password", "pw"}}, true},
        {{{"user", "alice"}}, false},
        {{{"password", "pw"}}, false},
        {{}, false},
    };
    int i = 0;
    for (const Case& c : cases) {
        configure(rule("allow", c.fields));
        Client client(proxy_request());
        ASSERT_TRUE(section->check_and_setup(client.get()));
        EXPECT_EQ(client.auth_required(), c.required) << "case " << i;
        // Anonymous until a name is verified, whether or not one is required.
        EXPECT_EQ(client.user(), "anonymous@127.0.0.1") << "case " << i;
        i++;
    }
}

// Request threads match and set up while the configuration is reloaded:
// every connection ends with the statistics object of a rule it matched,
// and the holder counts come out even.
TEST_F(AccessTest, ConcurrentSetupsAndReloads) {
    const std::string config = allow({{"comment", "A"}, {"access", "proxy"}});
    configure(config);
    const int threads = 4;
    const int rounds = 300;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < threads; i++)
        clients.push_back(std::make_unique<Client>(proxy_request()));
    std::vector<std::thread> workers;
    std::atomic<int> refused{0};
    for (int i = 0; i < threads; i++)
        workers.emplace_back([&, i] {
            for (int round = 0; round < rounds; round++)
                if (!section->check_and_setup(clients[i]->get()) ||
                    clients[i]->record.access != ACCESS_PROXY)
                    refused++;
        });
    for (int reload = 0; reload < 50; reload++)
        configure(config);
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(refused.load(), 0);

    // One last setup each: all hold the current rule's object.
    Stats* current = section->allow.front().stats;
    for (auto& client : clients) {
        ASSERT_TRUE(section->check_and_setup(client->get()));
        EXPECT_EQ(client->record.user_stats, current);
    }
    EXPECT_EQ(current->count, 1 + threads);
    clients.clear();
    EXPECT_EQ(current->count, 1);
}

// ---- The challenge header ---------------------------------------------------

TEST(AuthHeader, StatusAndLinesInOrder) {
    struct Case {
        bool direct;
        bool ntlm;
        const char* text;
    } cases[] = {
        {false, false,
         "HTTP/1.1 407 Proxy Authentication Required\r\n"
         "Proxy-Authenticate: Basic realm=\"proxy.example\"\r\n"
         "Content-Length: 0\r\n"
         "Proxy-Connection: close\r\n\r\n"},
        {false, true,
         "HTTP/1.1 407 Proxy Authentication Required\r\n"
         "Proxy-Authenticate: Negotiate\r\n"
         "Proxy-Authenticate: NTLM\r\n"
         "Proxy-Authenticate: Basic realm=\"proxy.example\"\r\n"
         "Content-Length: 0\r\n"
         "Proxy-Connection: close\r\n\r\n"},
        {true, false,
         "HTTP/1.1 401 Unauthorized\r\n"
         "WWW-Authenticate: Basic realm=\"proxy.example\"\r\n"
         "Content-Length: 0\r\n"
         "Proxy-Connection: close\r\n\r\n"},
        {true, true,
         "HTTP/1.1 401 Unauthorized\r\n"
         "WWW-Authenticate: Negotiate\r\n"
         "WWW-Authenticate: NTLM\r\n"
         "WWW-Authenticate: Basic realm=\"proxy.example\"\r\n"
         "Content-Length: 0\r\n"
         "Proxy-Connection: close\r\n\r\n"},
    };
    for (const Case& c : cases) {
        HEADER* header = auth_header(c.direct, c.ntlm, "proxy.example");
        Filebuf out;
        header_serialise(&out, header, header_send_context_t(), HEADER_SEND_RESPONSE);
        EXPECT_EQ(std::string(out.data, out.size), c.text);
        http_header_free(header);
    }
}

// ---- The front end ------------------------------------------------------

// access_auth with real PAM: pam_userdb knows alice/Secret1 and
// bob/hunter2.
class AccessAuthTest : public AccessTest {
protected:
    std::unique_ptr<pamtest::PamService> pam;
    std::string db;

    void SetUp() override {
        if (!pamtest::is_root())
            GTEST_SKIP() << "writing PAM service files needs root";
        AccessTest::SetUp();
        db = pamtest::userdb(dir, "alice\nSecret1\nbob\nhunter2\n");
        ASSERT_FALSE(db.empty()) << "db_load (package db-util) is needed";
        use_pam("auth required pam_userdb.so " + db + "\naccount required pam_userdb.so " +
                db + "\n");
    }
    void TearDown() override {
        pam.reset();
        if (!IsSkipped())
            AccessTest::TearDown();
    }
    void use_pam(const std::string& lines) {
        pam.reset();
        // Test cases run in parallel processes: each has its own file.
        pam = std::make_unique<pamtest::PamService>("access-" + std::to_string(getpid()), lines);
        ASSERT_TRUE(pam->ok());
    }
    // Every user must authenticate; proxy right and the profile "staff".
    void users_must_authenticate(const std::string& more = "") {
        configure(more + allow({{"comment", "users"},
                                {"authenticate", "true"},
                                {"access", "proxy"},
                                {"profiles", "staff"}}));
    }
    std::string access_log() { return logtest::read_file(slogfile); }
};

TEST_F(AccessAuthTest, ChallengeThenBasicCredentialsVerifiedByPam) {
    users_must_authenticate();
    Client client(proxy_request());
    EXPECT_EQ(access_auth(client.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_TRUE(client.auth_required());
    EXPECT_EQ(client.response_text(),
              "HTTP/1.1 407 Proxy Authentication Required\r\n"
              "Proxy-Authenticate: Basic realm=\"proxy.example\"\r\n"
              "Content-Length: 0\r\n"
              "Proxy-Connection: close\r\n\r\n");

    client.next(proxy_request(basic("alice:Secret1")));
    EXPECT_EQ(access_auth(client.get(), nullptr), 0);
    EXPECT_FALSE(client.auth_required());
    EXPECT_EQ(client->response, nullptr);
    EXPECT_EQ(client.user(), "alice@127.0.0.1");
    EXPECT_EQ(client->access, unsigned(ACCESS_PROXY));
    EXPECT_EQ(names(client->profiles), (std::vector<std::string>{"staff"}));
    EXPECT_EQ(client->auth_scheme, AUTH_SCHEME_BASIC);
    EXPECT_TRUE(logged("[IP:127.0.0.1] PAM: authentication succeeded for alice"));

    // A wrong password on the same connection: challenged again, and the
    // name it came with never becomes the user.
    free(client->user);
    client->user = nullptr;
    client.next(proxy_request(basic("bob:wrong")));
    EXPECT_EQ(access_auth(client.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_TRUE(client.auth_required());
    EXPECT_EQ(client->response->status, 407);
    EXPECT_EQ(client.user(), "anonymous@127.0.0.1");
    EXPECT_TRUE(client->user_groups.empty());
    EXPECT_TRUE(logged("security: system: [pam: 7: PAM_AUTH_ERR] Authentication failure"));
}

// Bypass bits last for the connection, but only for the user who earned
// them under the rule.
TEST_F(AccessAuthTest, BypassStaysWithTheUserWhoEarnedIt) {
    users_must_authenticate();
    Client client(proxy_request(basic("alice:Secret1")));
    EXPECT_EQ(access_auth(client.get(), nullptr), 0);
    client->bypass |= BYPASS_URL_FILTER; // as a "bypass" URL command grants
    client.next(proxy_request(basic("alice:Secret1")));
    EXPECT_EQ(access_auth(client.get(), nullptr), 0);
    EXPECT_EQ(client->bypass, unsigned(BYPASS_URL_FILTER));
    client.next(proxy_request(basic("bob:hunter2")));
    EXPECT_EQ(access_auth(client.get(), nullptr), 0);
    EXPECT_EQ(client.user(), "bob@127.0.0.1");
    EXPECT_EQ(client->bypass, 0u);
}

TEST_F(AccessAuthTest, VerdictsAreCachedBothWays) {
    authflag = 0;
    users_must_authenticate();
    Client good(proxy_request(basic("alice:Secret1")));
    EXPECT_EQ(access_auth(good.get(), nullptr), 0);
    EXPECT_EQ(check_password_cache("alice", "Secret1"), PASSWORD_CACHE_GOOD);
    Client bad(proxy_request(basic("alice:secret1")));
    EXPECT_EQ(access_auth(bad.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_EQ(check_password_cache("alice", "secret1"), PASSWORD_CACHE_BAD);

    // PAM now refuses everybody: the cached verdicts still decide.
    use_pam("auth required pam_deny.so\naccount required pam_deny.so\n");
    Client again(proxy_request(basic("alice:Secret1")));
    EXPECT_EQ(access_auth(again.get(), nullptr), 0);
    EXPECT_EQ(again.user(), "alice@127.0.0.1");
    Client bad_again(proxy_request(basic("alice:secret1")));
    EXPECT_EQ(access_auth(bad_again.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_TRUE(logged("security: [IP:127.0.0.1] password cache: authentication failed for alice"));
}

// What the credentials header holds, on a connection that has been
// challenged already (so the flag is set).
TEST_F(AccessAuthTest, ShapesOfTheCredentialsHeader) {
    struct Case {
        std::string credentials;
        int result;
        const char* user;
        const char* logged;
    } cases[] = {
        {basic("alice:Secret1"), 0, "alice@127.0.0.1", nullptr},
        {"Basic   " + basic("alice:Secret1").substr(6), 0, "alice@127.0.0.1", nullptr},
        {basic("alice:Secret1:x"), REQUEST_ANSWERED, "anonymous@127.0.0.1", nullptr}, // password "Secret1:x"
        {basic("alice"), REQUEST_ANSWERED, "anonymous@127.0.0.1", nullptr},           // no colon
        {basic(std::string("alice\0:Secret1", 14)), REQUEST_ANSWERED, "anonymous@127.0.0.1",
         "unusable basic credentials"},
        {"Basic !!!!", REQUEST_ANSWERED, "anonymous@127.0.0.1", "unusable basic credentials"},
        {"Basic " + std::string(12000, 'Q'), REQUEST_ANSWERED, "anonymous@127.0.0.1",
         "unusable basic credentials"}, // decodes to more than 8191 bytes
        {"Basic", REQUEST_ANSWERED, "anonymous@127.0.0.1", "invalid authorization header"},
        {"Digest " + basic("alice:Secret1").substr(6), REQUEST_ANSWERED, "anonymous@127.0.0.1", nullptr},
        {"Basicxxxxx " + basic("alice:Secret1").substr(6), REQUEST_ANSWERED, "anonymous@127.0.0.1", nullptr},
        {basic(std::string(511, 'a') + ":pw"), REQUEST_ANSWERED, "anonymous@127.0.0.1",
         "authentication failed either username or password is more than 510 characters"},
        {basic("alice:"), REQUEST_ANSWERED, "anonymous@127.0.0.1",
         "authentication failed either username or password is more than 510 characters"},
    };
    users_must_authenticate();
    for (const Case& c : cases) {
        // Set directly: some values are longer than a request line may be.
        Client client(proxy_request());
        client->request->proxy_authorization = strdup(c.credentials.c_str());
        client->auth_flags |= CONN_AUTH_REQUIRED;
        EXPECT_EQ(access_auth(client.get(), nullptr), c.result) << c.credentials.substr(0, 40);
        EXPECT_EQ(client.user(), c.user) << c.credentials.substr(0, 40);
        if (c.result == REQUEST_ANSWERED) {
            EXPECT_EQ(client->response ? client->response->status : 0, 407);
        }
        if (c.logged != nullptr) {
            EXPECT_TRUE(logged(c.logged)) << c.logged;
        }
    }
}

// Unusable Basic values count as no credentials: the rules decide alone.
TEST_F(AccessAuthTest, UnusableBasicValueCountsAsNoCredentials) {
    configure(allow({{"comment", "anyone"}, {"access", "proxy"}}));
    Client client(proxy_request("Basic %%%"));
    EXPECT_EQ(access_auth(client.get(), nullptr), 0);
    EXPECT_EQ(client.user(), "anonymous@127.0.0.1");
    EXPECT_EQ(client->access, unsigned(ACCESS_PROXY));
}

TEST_F(AccessAuthTest, TransparentRequestsAuthenticateOnlyTowardsTheProxy) {
    users_must_authenticate();
    Client own(origin_request("PROXY.example", basic("alice:Secret1")));
    ASSERT_EQ(own->request->type, REQUEST_TRANSPARENT);
    EXPECT_EQ(access_auth(own.get(), nullptr), 0);
    EXPECT_EQ(own.user(), "alice@127.0.0.1");

    // Credentials meant for another site are not the proxy's to check.
    Client other(origin_request("www.example.com", basic("alice:Secret1")));
    EXPECT_EQ(access_auth(other.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_EQ(other->response->status, 401);
    EXPECT_NE(other.response_text().find("WWW-Authenticate: Basic realm=\"proxy.example\"\r\n"),
              std::string::npos);

    // The -H name is the realm when given.
    snprintf(proxyhost, sizeof proxyhost, "gate.example");
    Client named(origin_request("gate.example", basic("bob:hunter2")));
    EXPECT_EQ(access_auth(named.get(), nullptr), 0);
    EXPECT_EQ(named.user(), "bob@127.0.0.1");
    proxyhost[0] = '\0';
}

TEST_F(AccessAuthTest, RefusedClientGetsTheNoaccessPage) {
    configure(allow({{"comment", "lan"}, {"addresses", "10.0.0.0-10.255.255.255"}}));
    Client client(proxy_request());
    EXPECT_EQ(access_auth(client.get(), nullptr), REQUEST_ANSWERED);
    ASSERT_NE(client->response, nullptr);
    EXPECT_EQ(client->response->status, 403);
    ASSERT_NE(client->response->content_type, nullptr);
    EXPECT_STREQ(client->response->content_type, "text/html");
    ASSERT_NE(client->body, nullptr);
    EXPECT_NE(std::string(client->body->data, client->body->size).find("Access denied"),
              std::string::npos);
    EXPECT_TRUE(logged("[IP:127.0.0.1] access policy has refused connection on port 3128"));
    EXPECT_TRUE(logged("[IP:127.0.0.1] Access Denied by Access Restrictions"));
    std::string records = access_log();
    EXPECT_NE(records.find(" TCP_DENIED/403 "), std::string::npos) << records;
    records = logtest::read_file(elogfile);
    EXPECT_NE(records.find("\"access-section access policy restrictions\""), std::string::npos)
        << records;

    // A template entry may give the page another status.
    sectiontest::load(*template_section,
                      "<templates><template>" +
                          elements({{"enabled", "true"}, {"name", "noaccess"}, {"status", "403"}}) +
                          "</template></templates>");
    Client again(proxy_request());
    EXPECT_EQ(access_auth(again.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_EQ(again->response->status, 403);
}

// Credentials that no rule takes: the rules run again without them, and
// the name that came with them neither names nor scopes the request.
TEST_F(AccessAuthTest, UnmatchedNameFallsBackToAnonymous) {
    configure(allow({{"comment", "open"}, {"access", "proxy"}}) +
              allow({{"comment", "alice only"}, {"authenticate", "true"}, {"user", "^alice$"}}));
    Client client(proxy_request(basic("mallory:x")));
    client->user_groups.push_back("cn=stale");
    EXPECT_EQ(access_auth(client.get(), nullptr), 0);
    EXPECT_EQ(client.user(), "anonymous@127.0.0.1");
    EXPECT_TRUE(client->user_groups.empty());
    EXPECT_TRUE(client->dn_parts.empty());
    EXPECT_EQ(client->access, unsigned(ACCESS_PROXY));

    // When the rule found that way wants a user, the client is challenged.
    configure(allow({{"comment", "alice only"}, {"authenticate", "true"}, {"user", "^alice$"}}));
    Client challenged(proxy_request(basic("mallory:x")));
    EXPECT_EQ(access_auth(challenged.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_EQ(challenged.user(), "anonymous@127.0.0.1");
}

// With the deny rules first and none matching, the built-in default rule
// admits the client. It names nobody, so whatever name came (with a
// password PAM would refuse, or the right one) leaves the request
// anonymous, without the directory groups of that name.
TEST_F(AccessAuthTest, DefaultRuleVerifiesNoName) {
    users_must_authenticate("<allow-first>false</allow-first>");
    for (const char* pair : {"alice:wrong", "mallory:x", "alice:Secret1"}) {
        Client client(proxy_request(basic(pair)));
        client->user_groups.push_back("cn=staff");
        client->dn_parts.push_back("uid=alice");
        EXPECT_EQ(access_auth(client.get(), nullptr), 0) << pair;
        EXPECT_EQ(client.user(), "anonymous@127.0.0.1") << pair;
        EXPECT_TRUE(client->user_groups.empty()) << pair;
        EXPECT_TRUE(client->dn_parts.empty()) << pair;
        EXPECT_EQ(client->access, section->default_rule.access) << pair;
    }
    EXPECT_FALSE(logged("PAM: authentication succeeded"));
}

// A later request of a connection whose credentials cannot be checked (no
// scheme word, a scheme not taken, NTLM switched off, Basic without ":")
// is matched without credentials: it gets the rights and the name the
// rules give it now, never what the earlier request left behind.
TEST_F(AccessAuthTest, UncheckableCredentialsAreMatchedWithoutThem) {
    const std::string uncheckable[] = {"Basic", "Digest " + basic("alice:Secret1").substr(6),
                                       "NTLM TlRMTVNTUAABAAAA", basic("alice")};
    for (const std::string& credentials : uncheckable) {
        configure(allow({{"comment", "open"}, {"access", "proxy"}}));
        Client open(proxy_request(basic("alice:Secret1")));
        EXPECT_EQ(access_auth(open.get(), nullptr), 0);
        open.next(proxy_request(credentials));
        free(open->user);
        open->user = strdup("alice@127.0.0.1");
        EXPECT_EQ(access_auth(open.get(), nullptr), 0) << credentials;
        EXPECT_EQ(open->access, unsigned(ACCESS_PROXY)) << credentials;
        EXPECT_EQ(open.user(), "anonymous@127.0.0.1") << credentials;

        users_must_authenticate();
        Client login(proxy_request(basic("alice:Secret1")));
        EXPECT_EQ(access_auth(login.get(), nullptr), 0);
        EXPECT_EQ(login.user(), "alice@127.0.0.1");
        login.next(proxy_request(credentials));
        EXPECT_EQ(access_auth(login.get(), nullptr), REQUEST_ANSWERED) << credentials;
        EXPECT_EQ(login->response->status, 407) << credentials;
        EXPECT_EQ(login.user(), "anonymous@127.0.0.1") << credentials;
    }
}

// A challenge carries only itself, never the body the request brought.
TEST_F(AccessAuthTest, ChallengeDropsTheRequestBody) {
    users_must_authenticate();
    Client client(proxy_request());
    client->body = new Filebuf();
    client->body->Add("<script>alert(1)</script>", 25);
    EXPECT_EQ(access_auth(client.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_EQ(client->response->status, 407);
    EXPECT_EQ(client->body->size, 0u);
    EXPECT_EQ(client->response->content_type, nullptr);
}

TEST_F(AccessAuthTest, LiteralUserAndPasswordRule) {
    configure(allow({{"comment", "pair"}, {"user", "carol"}, {"password", "Pw1"},
                     {"access", "proxy"}}));
    use_pam("auth required pam_deny.so\naccount required pam_deny.so\n");
    Client client(proxy_request());
    EXPECT_EQ(access_auth(client.get(), nullptr), REQUEST_ANSWERED); // challenged
    client.next(proxy_request(basic("carol:pw1")));
    EXPECT_EQ(access_auth(client.get(), nullptr), REQUEST_ANSWERED); // password case counts
    client.next(proxy_request(basic("carol:Pw1")));
    EXPECT_EQ(access_auth(client.get(), nullptr), 0); // PAM is not asked
    EXPECT_EQ(client.user(), "carol@127.0.0.1");
}

// After a relay login the password check is skipped for the relay's own
// name only.
TEST_F(AccessAuthTest, RelayLoginSkipsThePasswordCheckForItsOwnNameOnly) {
    users_must_authenticate();
    use_pam("auth required pam_deny.so\naccount required pam_deny.so\n");
    Client client(proxy_request(basic("alice:anything")));
    client->auth_host_state = AUTH_HOST_AUTHENTICATED;
    client->auth_host_user = strdup("bob");
    client->auth_flags |= CONN_AUTH_REQUIRED;
    EXPECT_EQ(access_auth(client.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_EQ(client.user(), "anonymous@127.0.0.1");

    client.next(proxy_request(basic("bob:anything")));
    EXPECT_EQ(access_auth(client.get(), nullptr), 0);
    EXPECT_EQ(client.user(), "bob@127.0.0.1");

    // Without credentials the relay's user is taken when NTLM is on.
    configure("<ntlm>true</ntlm>" + allow({{"comment", "users"}, {"authenticate", "true"},
                                           {"access", "proxy"}}));
    client.next(proxy_request());
    free(client->user);
    client->user = nullptr;
    EXPECT_EQ(access_auth(client.get(), nullptr), 0);
    EXPECT_EQ(client.user(), "bob@127.0.0.1");

    // A relay login that named nobody verifies nobody.
    free(client->auth_host_user);
    client->auth_host_user = nullptr;
    client.next(proxy_request());
    EXPECT_EQ(access_auth(client.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_TRUE(logged("warn: [IP:127.0.0.1] access restrictions: blocked user[]"));
}

// The relay below reaches the real service address, where nothing is
// meant to listen. The integration tests run a scripted service there while
// holding this lock file; taking it keeps this test from feeding them a
// request of its own when both run at once.
class ServiceAddressLock {
public:
    ServiceAddressLock()
        : fd_(open("/tmp/kestrivan-auth-service-8080.lock", O_CREAT | O_RDWR, 0666)) {
        if (fd_ >= 0)
            flock(fd_, LOCK_EX);
    }
    ~ServiceAddressLock() {
        if (fd_ >= 0)
            close(fd_);
    }

private:
    int fd_;
};

TEST_F(AccessAuthTest, NtlmOptionDecidesChallengeAndRelay) {
    ServiceAddressLock service_address;
    users_must_authenticate("<ntlm>true</ntlm>");
    Client client(proxy_request());
    EXPECT_EQ(access_auth(client.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_NE(client.response_text().find("Proxy-Authenticate: Negotiate\r\n"
                                          "Proxy-Authenticate: NTLM\r\n"
                                          "Proxy-Authenticate: Basic realm=\"proxy.example\"\r\n"),
              std::string::npos)
        << client.response_text();

    // A token the relay does not accept: challenged again.
    client.next(proxy_request("NTLM TlRMTVNTUAABAAAAB4IIAAAAAAAAAAAAAAAAAAAAAAA="));
    EXPECT_EQ(access_auth(client.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_EQ(client->auth_scheme, AUTH_SCHEME_NTLM);

    // With the option off only Basic is offered, and tokens are not relayed.
    users_must_authenticate("<ntlm>false</ntlm>");
    client.next(proxy_request("Negotiate YIIBhg=="));
    EXPECT_EQ(access_auth(client.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_EQ(client->auth_scheme, AUTH_SCHEME_NEGOTIATE);
    std::string text = client.response_text();
    EXPECT_EQ(text.find("NTLM"), std::string::npos) << text;
    EXPECT_NE(text.find("Proxy-Authenticate: Basic realm=\"proxy.example\"\r\n"),
              std::string::npos);
}

// The processor is registered at the authentication stage and answers
// through the registry.
TEST_F(AccessTest, RegisteredAsTheAuthenticationProcessor) {
    configure(allow({{"comment", "A"}, {"authenticate", "true"}}));
    Client client(proxy_request());
    EXPECT_EQ(processors.Execute(PROCESSOR_AUTH, client.get(), nullptr), REQUEST_ANSWERED);
    EXPECT_EQ(client->response->status, 407);
}

} // namespace
