// Parent proxies: which forward rules apply to a request, how they are
// ranked (plainly, by ICP answers of scripted UDP parents, by CARP hashing
// checked against an independent implementation of the published hash) and
// what the chosen rule writes into the connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "cache/cache.h"
#include "config/general.h"
#include "core/daemon.h"
#include "http/forward.h"
#include "http/icp.h"
#include "support/section_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;

namespace {

// ---- The published CARP version 1 hash, written from its description -----------------

uint32_t ref_rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

uint32_t ref_carp(const std::string& url, const std::string& member, uint32_t divisor) {
    uint32_t url_hash = 0;
    for (char c : url)
        url_hash += ref_rotl(url_hash, 19) + static_cast<uint32_t>(static_cast<int>(static_cast<signed char>(c)));
    uint32_t member_hash = 0;
    if (!member.empty()) {
        for (char c : member)
            member_hash += ref_rotl(member_hash, 19) + static_cast<uint32_t>(static_cast<int>(static_cast<signed char>(c)));
        member_hash += member_hash * 0x62531965u;
        member_hash = ref_rotl(member_hash, 21);
    }
    uint32_t combined = url_hash ^ member_hash;
    combined += combined * 0x62531965u;
    combined = ref_rotl(combined, 21);
    return divisor != 0 ? combined % divisor : combined;
}

// One parent rule; the arguments that matter to a test, the rest plain.
struct Rule {
    std::string host;
    std::string port = "8000";
    std::string protocols = "http,ftp,connect";
    std::string proxy_type = "http";
    std::string icp_mode = "none";
    int icp_port = 3130;
    std::string profiles = "";
    std::string enabled = "true";
    std::string user = "";
    std::string password = "";
    std::string domain = "";
};

std::string parent(const Rule& rule) {
    return "<parent>" +
           elements({{"enabled", rule.enabled},
                     {"comment", "rule " + rule.host},
                     {"groups", ""},
                     {"profiles", rule.profiles},
                     {"host", rule.host},
                     {"user", rule.user},
                     {"password", rule.password},
                     {"domain", rule.domain},
                     {"port", rule.port},
                     {"icp_mode", rule.icp_mode},
                     {"icp_port", std::to_string(rule.icp_port)},
                     {"proxy_type", rule.proxy_type},
                     {"protocols", rule.protocols}}) +
           "</parent>";
}

const char* const HTTP_REQUEST = "GET http://www.example.com/a/b?c HTTP/1.1\r\nHost: www.example.com\r\n\r\n";

// A scripted ICP parent on a loopback UDP port: answers every query with a
// fixed opcode (or never), and records the queries it saw.
struct IcpParent {
    int fd = -1;
    int port = 0;
    int answer; // opcode, or -1: stay silent
    std::atomic<bool> stop{false};
    std::thread thread;
    std::vector<std::string> queries;
    std::mutex lock;

    explicit IcpParent(int opcode) : answer(opcode) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &length);
        port = ntohs(local.sin_port);
        thread = std::thread([this] { run(); });
    }
    ~IcpParent() {
        stop = true;
        thread.join();
        close(fd);
    }
    void run() {
        while (!stop) {
            struct pollfd entry = {fd, POLLIN, 0};
            if (poll(&entry, 1, 50) != 1)
                continue;
            unsigned char data[70000];
            struct sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t got = recvfrom(fd, data, sizeof data, 0,
                                   reinterpret_cast<struct sockaddr*>(&from), &length);
            if (got < 20)
                continue;
            {
                std::lock_guard<std::mutex> guard(lock);
                queries.emplace_back(reinterpret_cast<char*>(data), static_cast<size_t>(got));
            }
            if (answer < 0)
                continue;
            // The reply: the query's header with the URL (no requester address).
            std::string url(reinterpret_cast<char*>(data) + 24);
            unsigned char reply[70000];
            memcpy(reply, data, 20);
            reply[0] = static_cast<unsigned char>(answer);
            uint16_t reply_length = static_cast<uint16_t>(20 + url.size() + 1);
            uint16_t wire = htons(reply_length);
            memcpy(reply + 2, &wire, 2);
            memcpy(reply + 20, url.c_str(), url.size() + 1);
            sendto(fd, reply, reply_length, 0, reinterpret_cast<struct sockaddr*>(&from), length);
        }
    }
    size_t query_count() {
        std::lock_guard<std::mutex> guard(lock);
        return queries.size();
    }
    std::string query(size_t i) {
        std::lock_guard<std::mutex> guard(lock);
        return queries.at(i);
    }
};

class ForwardTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        proxyhost[0] = '\0';
        general_section = new GeneralSection();
        sectiontest::load(*general_section,
                          "<general>" + elements({{"hostname", "proxy.example"},
                                                  {"tempdir", "/tmp"},
                                                  {"linelength", "72"},
                                                  {"poolsize", "9"},
                                                  {"pooltimeout", "33"}}) +
                              "</general>");
        cache_section = new CacheSection(); // ICP time-out: the shipped 500 ms
        section = new ForwardSection();
        forward_section = section;
    }
    void TearDown() override {
        delete section;
        forward_section = nullptr;
        delete cache_section;
        cache_section = nullptr;
        delete general_section;
        general_section = nullptr;
        ShippedSectionTest::TearDown();
    }
    void load(const std::vector<Rule>& rules, bool carp = false, unsigned divisor = 0) {
        std::string body = elements({{"enabled", "true"},
                                     {"carp", carp ? "true" : "false"},
                                     {"carp_divisor", std::to_string(divisor)}});
        for (const Rule& rule : rules)
            body += parent(rule);
        sectiontest::load(*section, "<forward>" + body + "</forward>");
    }
    // The route forward_do chooses for a request: "host:port" of the parent,
    // or "direct".
    std::string route(Connection& connection) {
        connection->forward_mode = FORWARD_DIRECT;
        section->forward_do(connection.get());
        if (connection->forward_mode == FORWARD_DIRECT)
            return "direct";
        std::string chosen = std::string(connection->upstream_host) + ":" +
                             std::to_string(connection->upstream_port);
        // The per-request reset would free it; the next request may reuse
        // the record.
        free(connection->upstream_host);
        connection->upstream_host = nullptr;
        return chosen;
    }
    std::string route(const char* request_text, unsigned bypass = 0) {
        Connection connection(request_text);
        connection->client_ip = const_cast<char*>("10.1.2.3");
        connection->bypass = bypass;
        std::string result = route(connection);
        connection->client_ip = nullptr;
        return result;
    }

    ForwardSection* section = nullptr;
};

TEST_F(ForwardTest, CarpHashMatchesThePublishedHash) {
    const char* urls[] = {"http://www.example.com:80/", "http://a/", "",
                          "http://\xc3\xa9t\xc3\xa9.example:8080/p\xff?q=1",
                          "ftp://files.example:21/pub/very/long/path/name/file.tar.gz"};
    const char* members[] = {"", "parent1.example", "10.0.0.1", "\xe2\x82\xac-proxy"};
    for (unsigned divisor : {0u, 1u, 7u, 1000u}) {
        load({}, true, divisor);
        section->read_lock();
        for (const char* url : urls)
            for (const char* member : members)
                EXPECT_EQ(section->carp_hash(url, member), ref_carp(url, member, divisor))
                    << url << " / " << member << " / " << divisor;
        section->unlock();
    }
    // The empty member name: the URL hash alone, mixed once.
    load({}, true, 0);
    uint32_t url_hash = 0;
    for (char c : std::string("http://a/"))
        url_hash += ref_rotl(url_hash, 19) + static_cast<uint32_t>(c);
    EXPECT_EQ(section->carp_hash("http://a/", ""), ref_rotl(url_hash * 0x62531966u, 21));
}

TEST_F(ForwardTest, RulesApplyByKindProfileAndOrder) {
    struct Case {
        const char* name;
        std::vector<Rule> rules;
        const char* request;
        std::string expected;
    };
    const char* connect = "CONNECT www.example.com:443 HTTP/1.1\r\nHost: www.example.com:443\r\n\r\n";
    const char* ftp = "GET ftp://ftp.example.com/pub/ HTTP/1.1\r\nHost: ftp.example.com\r\n\r\n";
    Rule own{"proxy.example"};
    Rule empty_host{""};
    Rule connect_only{"tunnel.example", "-1", "connect", "connect"};
    Rule http_only{"web.example", "-1", "http", "http"};
    Rule ftp_only{"files.example", "21", "ftp"};
    Rule disabled{"off.example"};
    disabled.enabled = "false";
    Rule guests{"guests.example"};
    guests.profiles = "guest";
    Rule not_guests{"others.example"};
    not_guests.profiles = "!guest";
    Case cases[] = {
        {"own host never chosen", {own}, HTTP_REQUEST, "direct"},
        {"own host skipped, next rule", {own, Rule{"p.example"}}, HTTP_REQUEST, "p.example:8000"},
        {"empty host ends the scan", {empty_host, Rule{"p.example"}}, HTTP_REQUEST, "direct"},
        {"CONNECT-only rule, http request", {connect_only}, HTTP_REQUEST, "direct"},
        {"CONNECT-only rule, port -1 is 443", {connect_only}, connect, "tunnel.example:443"},
        {"http rule, CONNECT request", {http_only}, connect, "direct"},
        {"http rule, port -1 is 3128", {http_only}, HTTP_REQUEST, "web.example:3128"},
        {"ftp rule for ftp only", {ftp_only}, HTTP_REQUEST, "direct"},
        {"ftp rule, ftp request", {ftp_only}, ftp, "files.example:21"},
        {"disabled rule", {disabled}, HTTP_REQUEST, "direct"},
        {"profile rule, no profile", {guests}, HTTP_REQUEST, "direct"},
        {"negated profile, no profile", {not_guests}, HTTP_REQUEST, "others.example:8000"},
    };
    for (const Case& c : cases) {
        load(c.rules);
        EXPECT_EQ(route(c.request), c.expected) << c.name;
    }
}

TEST_F(ForwardTest, ProfilesBypassAndSwitch) {
    Rule guests{"guests.example"};
    guests.profiles = "guest";
    Rule not_guests{"others.example"};
    not_guests.profiles = "!guest";
    load({guests, not_guests});
    Connection guest(HTTP_REQUEST);
    guest->profiles.push_back("guest");
    EXPECT_EQ(route(guest), "guests.example:8000");

    // The bypass letter for parent proxies goes direct whatever the rules say.
    EXPECT_EQ(route(HTTP_REQUEST, BYPASS_FORWARD), "direct");

    // Parent proxies switched off.
    sectiontest::load(*section, "<forward><enabled>false</enabled>" + parent(Rule{"p.example"}) +
                                    "</forward>");
    EXPECT_EQ(route(HTTP_REQUEST), "direct");
}

TEST_F(ForwardTest, EqualRulesAreChosenAtRandomAndLogged) {
    load({Rule{"one.example"}, Rule{"two.example"}});
    std::map<std::string, int> seen;
    for (int i = 0; i < 200 && seen.size() < 2; i++)
        seen[route(HTTP_REQUEST)]++;
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen.count("one.example:8000") && seen.count("two.example:8000"));
    EXPECT_TRUE(logged("[IP:10.1.2.3] forwarding to one.example:8000"));
    EXPECT_TRUE(logged("[IP:10.1.2.3] forwarding to two.example:8000"));
}

TEST_F(ForwardTest, ChosenRuleGivesModeCredentialsAndPeerCode) {
    Rule first{"socks.example", "1080", "http", "socks5"};
    first.user = "alice";
    first.password = "secret";
    Rule second{"plain.example"};
    load({first});
    Connection connection(HTTP_REQUEST);
    EXPECT_EQ(route(connection), "socks.example:1080");
    EXPECT_EQ(connection->forward_mode, FORWARD_SOCKS5);
    EXPECT_STREQ(connection->parent_user, "alice");
    EXPECT_STREQ(connection->parent_password, "secret");
    EXPECT_EQ(connection->parent_domain, nullptr);
    EXPECT_EQ(connection->log.peer_code, static_cast<uint32_t>(PEERCODE_DEFAULT_PARENT));

    // The next request on the connection goes to a parent without
    // credentials: the earlier parent's credentials are not sent there.
    load({second});
    EXPECT_EQ(route(connection), "plain.example:8000");
    EXPECT_EQ(connection->parent_user, nullptr);
    EXPECT_EQ(connection->parent_password, nullptr);
}

TEST_F(ForwardTest, CarpPicksTheHighestMemberOrServesItself) {
    std::vector<std::string> hosts = {"p1.example", "p2.example", "p3.example"};
    std::vector<Rule> rules;
    for (const std::string& host : hosts)
        rules.push_back(Rule{host});
    load(rules, true);
    std::set<std::string> parents_used;
    int direct = 0;
    for (int i = 0; i < 60; i++) {
        std::string url = "http://site" + std::to_string(i) + ".example/x";
        std::string text = "GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n";
        Connection connection(text.c_str());
        std::string full = connection->request->url;
        uint32_t best = 0;
        std::string expected;
        for (const std::string& host : hosts) {
            uint32_t score = ref_carp(full, host, 0);
            if (score > best) {
                best = score;
                expected = host + ":8000";
            }
        }
        bool self = ref_carp(full, "proxy.example", 0) >= best;
        std::string got = route(connection);
        if (self) {
            EXPECT_EQ(got, "direct") << full;
            EXPECT_FALSE(connection->flags & CONN_CARP);
            direct++;
        } else {
            EXPECT_EQ(got, expected) << full;
            EXPECT_TRUE(connection->flags & CONN_CARP);
            EXPECT_EQ(connection->log.peer_code, static_cast<uint32_t>(PEERCODE_NONE));
            parents_used.insert(got);
        }
    }
    EXPECT_GT(direct, 0);
    EXPECT_EQ(parents_used.size(), 3u);

    // A divisor of 1 makes every score 0: the proxy serves everything itself.
    load(rules, true, 1);
    EXPECT_EQ(route(HTTP_REQUEST), "direct");
    // CONNECT requests go direct with CARP.
    load(rules, true);
    EXPECT_EQ(route("CONNECT a.example:443 HTTP/1.1\r\n\r\n"), "direct");
}

// ---- ICP against scripted parents -------------------------------------------------------

Rule icp_rule(const std::string& host_port, const IcpParent& peer, const std::string& mode) {
    Rule rule{"127.0.0.1", host_port};
    rule.icp_mode = mode;
    rule.icp_port = peer.port;
    return rule;
}

TEST_F(ForwardTest, IcpHitBeatsMissAndHitOnlyMissGoesDirect) {
    IcpParent hit(ICP_OP_HIT), miss(ICP_OP_MISS);
    load({icp_rule("1001", miss, "hit-and-miss"), icp_rule("1002", hit, "hit-and-miss")});
    Connection connection(HTTP_REQUEST);
    EXPECT_EQ(route(connection), "127.0.0.1:1002");
    EXPECT_EQ(connection->log.peer_code, static_cast<uint32_t>(PEERCODE_PARENT_HIT));
    EXPECT_TRUE(logged("response opcode from 127.0.0.1:" + std::to_string(hit.port) +
                       ": ICP_OP_HIT"));

    // A mode-1 MISS (10) still beats a rule without ICP (1).
    load({Rule{"plain.example"}, icp_rule("1001", miss, "hit-and-miss")});
    Connection second(HTTP_REQUEST);
    EXPECT_EQ(route(second), "127.0.0.1:1001");
    EXPECT_EQ(second->log.peer_code, static_cast<uint32_t>(PEERCODE_FIRST_PARENT_MISS));

    // A hit-only parent answering MISS keeps 0: the request goes direct.
    load({icp_rule("1003", miss, "hit-only")});
    EXPECT_EQ(route(HTTP_REQUEST), "direct");
    // ... and answering HIT ranks 1000, above a mode-1 HIT.
    load({icp_rule("1002", hit, "hit-and-miss"), icp_rule("1004", hit, "hit-only")});
    Connection third(HTTP_REQUEST);
    EXPECT_EQ(route(third), "127.0.0.1:1004");
    EXPECT_EQ(third->log.peer_code, static_cast<uint32_t>(PEERCODE_SIBLING_HIT));
}

TEST_F(ForwardTest, OnlyIcpCandidatesCarryAReplyBuffer) {
    IcpParent peer(ICP_OP_MISS);
    load({Rule{"plain.example"}, icp_rule("1001", peer, "hit-only")});
    proxy_candidate plain(&section->rules.front());
    proxy_candidate asked(&section->rules.back());
    EXPECT_EQ(plain.reply, nullptr);
    ASSERT_NE(asked.reply, nullptr);
    EXPECT_EQ(asked.reply->opcode, 0xFF); // no reply yet
}

TEST_F(ForwardTest, IcpQueryCarriesTheUrlWithPortOnlyWhenNotDefault) {
    IcpParent peer(ICP_OP_MISS);
    load({icp_rule("1001", peer, "hit-and-miss")});
    Connection connection(HTTP_REQUEST);
    connection->client_ip = const_cast<char*>("10.1.2.3");
    connection->interface_ip = const_cast<char*>("10.9.8.7");
    route(connection);
    route("GET http://www.example.com:8080/x HTTP/1.1\r\nHost: a\r\n\r\n");
    connection->client_ip = nullptr;
    connection->interface_ip = nullptr;

    ASSERT_EQ(peer.query_count(), 2u);
    struct Expect {
        std::string url;
        std::string requester;
    } expected[] = {{"http://www.example.com/a/b?c", "10.1.2.3"},
                    {"http://www.example.com:8080/x", "10.1.2.3"}};
    for (size_t i = 0; i < 2; i++) {
        std::string query = peer.query(i);
        EXPECT_EQ(query[0], ICP_OP_QUERY);
        EXPECT_EQ(query[1], 2);
        uint16_t length = static_cast<uint16_t>((static_cast<unsigned char>(query[2]) << 8) |
                                                static_cast<unsigned char>(query[3]));
        EXPECT_EQ(length, 25 + expected[i].url.size());
        EXPECT_EQ(query.size(), length);
        EXPECT_EQ(std::string(query.c_str() + 24), expected[i].url);
        char requester[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, query.data() + 20, requester, sizeof requester);
        EXPECT_EQ(requester, expected[i].requester);
    }
    char sender[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, peer.query(0).data() + 16, sender, sizeof sender);
    EXPECT_STREQ(sender, "10.9.8.7");
}

TEST_F(ForwardTest, SilentParentIsMarkedDownForThirtySeconds) {
    IcpParent silent(-1);
    load({icp_rule("1001", silent, "hit-and-miss")});
    EXPECT_EQ(route(HTTP_REQUEST), "direct");
    EXPECT_TRUE(logged("error: [IP:10.1.2.3] no ICP response received from 127.0.0.1"));
    ASSERT_EQ(silent.query_count(), 1u);
    Forward* rule = &section->rules.front();
    EXPECT_NE(section->get_status(rule), 0);

    // Within 30 seconds it is not asked again.
    EXPECT_EQ(route(HTTP_REQUEST), "direct");
    EXPECT_EQ(silent.query_count(), 1u);

    // Once the mark is older it is asked again.
    rule->icp_failed = time(nullptr) - ICP_DOWN_SECONDS - 1;
    route(HTTP_REQUEST);
    EXPECT_EQ(silent.query_count(), 2u);
}

TEST_F(ForwardTest, UrlTooLongForTheLengthFieldSkipsIcp) {
    IcpParent peer(ICP_OP_HIT);
    load({icp_rule("1001", peer, "hit-and-miss"), Rule{"plain.example"}});
    // A path the 16-bit message length cannot carry (the header reader
    // limits what a client can send, the record itself does not).
    Connection connection(HTTP_REQUEST);
    free(connection->request->path);
    connection->request->path = strdup(("/" + std::string(65600, 'a')).c_str());
    header_complete(connection->request);
    EXPECT_EQ(route(connection), "plain.example:8000");
    EXPECT_EQ(peer.query_count(), 0u);
}

} // namespace
