// The server pool: keys (case, credentials, tunnel, route), eviction with
// its one warning per size, cleaning by age, stale sockets, use from many
// threads at once, and no password in the log.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <unordered_map>

#include "support/upstream_test_support.h"

using namespace nettest;

namespace {

class ServerPoolTest : public UpstreamFixture {
protected:
    ServerPool* pool = nullptr;
    std::vector<Pair*> pairs;

    void SetUp() override {
        UpstreamFixture::SetUp();
        loglevel = 0x0FFFFFFF;
        pool = global->serverpool;
    }
    void TearDown() override {
        for (Pair* pair : pairs)
            delete pair;
        UpstreamFixture::TearDown();
    }
    // A fresh connected socket for parking; its peer stays open.
    Socket* fresh() {
        Pair* pair = new Pair();
        pairs.push_back(pair);
        return new Socket(pair->take());
    }
    int warnings() {
        return count_in(log(), "is inadequate");
    }
};

TEST_F(ServerPoolTest, FullPoolDropsOldestAndWarnsOncePerSizeUntilClean) {
    general.poolsize = 2;
    apply_general();
    Socket* first = fresh();
    pool->Add(first, "http", "a.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    pool->Add(fresh(), "http", "b.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    pool->Add(fresh(), "http", "c.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    EXPECT_EQ(pool->pool.size(), 2u);
    EXPECT_EQ(pool->Find("http", "a.test", 80, NULL, NULL, TUNNEL_ID_NONE), nullptr);
    EXPECT_EQ(warnings(), 1);
    pool->Add(fresh(), "http", "d.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    EXPECT_EQ(warnings(), 1);

    general.pooltimeout = 3600;
    apply_general();
    pool->Clean(0);
    pool->Add(fresh(), "http", "e.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    EXPECT_EQ(warnings(), 2);
}

struct KeyCase {
    const char* name;
    // parked
    const char* protocol;
    const char* host;
    int port;
    const char* user;
    const char* password;
    unsigned tunnel;
    const char* route;
    // asked
    const char* ask_protocol;
    const char* ask_host;
    int ask_port;
    const char* ask_user;
    const char* ask_password;
    unsigned ask_tunnel;
    const char* ask_route;
    bool found;
};

const KeyCase key_cases[] = {
    {"same key", "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE, "",
     "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE, "", true},
    {"host and protocol ignore case", "HTTP", "H.Test", 80, NULL, NULL, TUNNEL_ID_NONE, "",
     "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE, "", true},
    {"other port", "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE, "",
     "http", "h.test", 8080, NULL, NULL, TUNNEL_ID_NONE, "", false},
    {"user and password equal", "ftp", "h.test", 21, "ann", "Secret", TUNNEL_ID_NONE, "",
     "ftp", "h.test", 21, "ann", "Secret", TUNNEL_ID_NONE, "", true},
    {"password differs in case only", "ftp", "h.test", 21, "ann", "Secret", TUNNEL_ID_NONE, "",
     "ftp", "h.test", 21, "ann", "secret", TUNNEL_ID_NONE, "", false},
    {"user differs in case only", "ftp", "h.test", 21, "ann", "Secret", TUNNEL_ID_NONE, "",
     "ftp", "h.test", 21, "ANN", "Secret", TUNNEL_ID_NONE, "", false},
    {"same user, parked without password", "ftp", "h.test", 21, "ann", NULL, TUNNEL_ID_NONE, "",
     "ftp", "h.test", 21, "ann", "Secret", TUNNEL_ID_NONE, "", false},
    {"no user asked, parked with password only", "http", "h.test", 80, NULL, "x", TUNNEL_ID_NONE,
     "", "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE, "", true},
    {"no user asked, parked with user", "http", "h.test", 80, "ann", "x", TUNNEL_ID_NONE, "",
     "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE, "", false},
    {"tunnel-bound socket for ordinary request", "http", "h.test", 80, NULL, NULL, 7, "",
     "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE, "", false},
    {"tunnel-bound socket for its own client", "http", "h.test", 80, NULL, NULL, 7, "",
     "http", "h.test", 80, NULL, NULL, 7, "", true},
    {"direct socket for a SOCKS route", "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE, "",
     "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE, "socks5 127.0.0.1:1080", false},
    {"plain socket for TLS", "http", "h.test", 443, NULL, NULL, TUNNEL_ID_NONE, "",
     "http", "h.test", 443, NULL, NULL, TUNNEL_ID_NONE, "tls", false},
    {"other bound interface", "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE,
     "from 10.0.0.1", "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE, "from 10.0.0.2", false},
};

TEST_F(ServerPoolTest, FindMatchesTheWholeKey) {
    for (const KeyCase& c : key_cases) {
        SCOPED_TRACE(c.name);
        Socket* parked = fresh();
        pool->Add(parked, c.protocol, c.host, c.port, c.user, c.password, c.tunnel, c.route);
        Socket* got = pool->Find(c.ask_protocol, c.ask_host, c.ask_port, c.ask_user,
                                 c.ask_password, c.ask_tunnel, c.ask_route);
        EXPECT_EQ(got, c.found ? parked : nullptr);
        delete got;
        pool->CloseMyTunnel(c.tunnel);
        pool->Clean(1);
        EXPECT_TRUE(pool->pool.empty());
    }
}

TEST_F(ServerPoolTest, TunnelSocketSurvivesCleaningUntilItsClientEnds) {
    pool->Add(fresh(), "http", "h.test", 80, NULL, NULL, 7);
    pool->Add(fresh(), "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    EXPECT_EQ(pool->Clean(1), 1);
    ASSERT_EQ(pool->pool.size(), 1u);
    EXPECT_EQ(pool->CloseMyTunnel(TUNNEL_ID_NONE), 0);
    EXPECT_EQ(pool->CloseMyTunnel(7), 1);
    EXPECT_TRUE(pool->pool.empty());
    EXPECT_NE(log().find("debug: added secured socket [7] to pool: h.test:80"),
              std::string::npos);
}

TEST_F(ServerPoolTest, CleanDropsSocketsIdleForThePoolTimeout) {
    general.pooltimeout = 30;
    apply_general();
    pool->Add(fresh(), "http", "old.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    pool->Add(fresh(), "http", "young.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    pool->pool.front()->added = time(NULL) - 30;
    pool->pool.back()->added = time(NULL) - 29;
    EXPECT_EQ(pool->Clean(0), 1);
    ASSERT_EQ(pool->pool.size(), 1u);
    EXPECT_STREQ(pool->pool.front()->host, "young.test");
    EXPECT_NE(log().find("connection pool: deleted: 1 of 2 connections"), std::string::npos);
}

TEST_F(ServerPoolTest, DroppedSocketIsClosedAndHitsAreCounted) {
    Pair* pair = new Pair();
    pairs.push_back(pair);
    pool->Add(new Socket(pair->take()), "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    Socket* back = pool->Find("http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(performance_log->connection_pool_hit.load(), 1u);
    pool->Add(back, "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    pool->Clean(1);
    EXPECT_EQ(read_until_close(pair->peer, 5), ""); // end of stream: closed
}

// Bytes left over after an answer, or the peer's close, would be taken for
// the answer to the next request sent on the socket (perhaps another
// client's): a socket with bytes in its buffer is never parked, and one with
// anything on its descriptor (before or while parked) is never handed out.
// Either way it is closed.
TEST_F(ServerPoolTest, SocketWithAnythingToReadIsNeitherParkedNorHandedOut) {
    struct Case {
        const char* what;
        bool while_parked;
        bool buffered; // the bytes were read into the socket's buffer
        const char* bytes;
        bool closed;
    } cases[] = {
        {"a second answer in the read buffer", false, true, "HTTP/1.1 200 OK\r\n", false},
        {"bytes on the descriptor", false, false, "POISONED", false},
        {"closed by the server", false, false, "", true},
        {"bytes while parked", true, false, "POISONED", false},
        {"closed while parked", true, false, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Pair* pair = new Pair();
        pairs.push_back(pair);
        Socket* sock = new Socket(pair->take());
        auto arrive = [&] {
            if (c.bytes[0] != '\0')
                send_all(pair->peer, c.bytes);
            if (c.closed)
                pair->close_peer();
        };
        if (!c.while_parked) {
            arrive();
            if (c.buffered) {
                ASSERT_GT(sock->Read(NULL, -1), 0);
            }
        }
        pool->Add(sock, "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE);
        if (c.while_parked)
            arrive();
        EXPECT_EQ(pool->Find("http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE), nullptr);
        EXPECT_TRUE(pool->pool.empty());
        if (!c.closed) {
            EXPECT_EQ(read_until_close(pair->peer, 5), ""); // closed by the pool
        }
    }
    // A socket with nothing to read is parked and handed out again.
    Socket* quiet = fresh();
    pool->Add(quiet, "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    EXPECT_EQ(pool->Find("http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE), quiet);
    delete quiet;
}

// Stale sockets are checked after they leave the list: each one met is
// closed, and the oldest quiet socket of the key is handed out, not a
// younger one and not one of another key.
TEST_F(ServerPoolTest, StaleSocketsOfAKeyAreClosedAndTheOldestQuietOneIsHandedOut) {
    Pair* talked = new Pair();
    Pair* hung_up = new Pair();
    pairs.push_back(talked);
    pairs.push_back(hung_up);
    pool->Add(new Socket(talked->take()), "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    Socket* other_key = fresh();
    pool->Add(other_key, "http", "other.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    pool->Add(new Socket(hung_up->take()), "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    Socket* oldest_quiet = fresh();
    pool->Add(oldest_quiet, "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    Socket* youngest = fresh();
    pool->Add(youngest, "http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    send_all(talked->peer, "POISONED");
    hung_up->close_peer();

    Socket* got = pool->Find("http", "h.test", 80, NULL, NULL, TUNNEL_ID_NONE);
    EXPECT_EQ(got, oldest_quiet);
    delete got;
    EXPECT_EQ(read_until_close(talked->peer, 5), ""); // closed by the pool
    ASSERT_EQ(pool->pool.size(), 2u);
    EXPECT_EQ(pool->pool.front()->sock, other_key);
    EXPECT_EQ(pool->pool.back()->sock, youngest);
}

// Threads park and take sockets of a few shared keys while another cleans:
// no socket is handed to two threads at once, and none is lost or closed.
TEST_F(ServerPoolTest, ConcurrentParkingAndTakingLosesAndSharesNoSocket) {
    loglevel = 0x07FFFFFF; // no per-call debug lines
    general.poolsize = 1000;
    general.pooltimeout = 3600;
    apply_general();
    const int threads = 4, per_thread = 3, rounds = 2000;
    const char* const hosts[] = {"a.test", "b.test", "c.test"};
    std::vector<std::vector<Socket*>> held(threads);
    std::unordered_map<Socket*, int> index;
    for (auto& mine : held) {
        for (int i = 0; i < per_thread; i++) {
            Socket* sock = fresh();
            index[sock] = static_cast<int>(index.size());
            mine.push_back(sock);
        }
    }
    std::vector<std::atomic<bool>> in_hand(index.size());
    for (auto& flag : in_hand)
        flag = true;
    std::atomic<int> shared{0};
    std::atomic<int> unknown{0};
    std::atomic<bool> done{false};

    std::thread cleaner([&] {
        while (!done) {
            pool->Clean(0);
            pool->CloseMyTunnel(9);
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            std::vector<Socket*>& mine = held[t];
            for (int i = 0; i < rounds; i++) {
                const char* host = hosts[(t + i) % 3];
                if (!mine.empty()) {
                    in_hand[index.at(mine.back())] = false;
                    pool->Add(mine.back(), "http", host, 80, NULL, NULL, TUNNEL_ID_NONE);
                    mine.pop_back();
                }
                Socket* got = pool->Find("http", host, 80, NULL, NULL, TUNNEL_ID_NONE);
                if (got == NULL)
                    continue;
                auto known = index.find(got);
                if (known == index.end())
                    unknown++;
                else if (in_hand[known->second].exchange(true))
                    shared++;
                mine.push_back(got);
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    done = true;
    cleaner.join();

    EXPECT_EQ(shared.load(), 0);
    EXPECT_EQ(unknown.load(), 0);
    std::set<Socket*> everywhere;
    for (const serverpool_t* entry : pool->pool)
        everywhere.insert(entry->sock);
    for (auto& mine : held)
        everywhere.insert(mine.begin(), mine.end());
    size_t count = pool->pool.size();
    for (auto& mine : held)
        count += mine.size();
    EXPECT_EQ(count, index.size());
    EXPECT_EQ(everywhere.size(), index.size());
    for (Pair* pair : pairs) { // still open: nothing to read, no end of stream
        struct pollfd probe = {pair->peer, POLLIN, 0};
        EXPECT_EQ(poll(&probe, 1, 0), 0);
    }
    for (auto& mine : held)
        for (Socket* sock : mine)
            delete sock;
    pool->Clean(1);
    for (Pair* pair : pairs) // every parked socket was closed by Clean or above
        EXPECT_EQ(read_until_close(pair->peer, 5), "");
}

TEST_F(ServerPoolTest, PasswordsNeverReachTheLog) {
    general.poolsize = 1;
    apply_general();
    pool->Add(fresh(), "ftp", "h.test", 21, "ann", "Sesame42", TUNNEL_ID_NONE);
    pool->Add(fresh(), "ftp", "h.test", 21, "ann", "Sesame42", TUNNEL_ID_NONE);
    delete pool->Find("ftp", "h.test", 21, "ann", "Sesame42", TUNNEL_ID_NONE);
    delete pool->Find("ftp", "h.test", 21, "ann", "Sesame42", TUNNEL_ID_NONE);
    std::string text = log();
    EXPECT_NE(text.find("users accessing ftp://ann:*@h.test:21"), std::string::npos);
    EXPECT_NE(text.find("Connection Pool: hit: ftp://ann:*@h.test:21"), std::string::npos);
    EXPECT_NE(text.find("Connection Pool: miss: ftp://ann:*@h.test:21"), std::string::npos);
    EXPECT_EQ(text.find("Sesame42"), std::string::npos);
}

} // namespace
