// The client pool: new connections go straight to workers, served ones wait
// in the pool until they are readable, gone or idle too long.
#include <gtest/gtest.h>

#include <string>

#include "core/filebuf.h"
#include "support/upstream_test_support.h"

namespace {

class ClientPoolTest : public nettest::UpstreamFixture {
protected:
    ClientPool* pool = nullptr;

    void SetUp() override {
        UpstreamFixture::SetUp();
        pool = global->clientpool;
        new_client = 0;
        wakepipe_calls = 0;
    }

    // A connection that has served `requests` requests, played by `pair`.
    CONNECTION_T* served(nettest::Pair& pair, unsigned id, int requests = 1) {
        CONNECTION_T* connection = nettest::connection_on(pair, id);
        connection->requests = requests;
        return connection;
    }

    size_t pooled() {
        pthread_mutex_lock(&pool->mutex);
        size_t n = pool->pool.size();
        pthread_mutex_unlock(&pool->mutex);
        return n;
    }

    std::string table() {
        Filebuf page;
        pool->show_connections(&page);
        return std::string(page.data, page.size);
    }
};

const char HEAD_ROWS[] =
    "<table class=\"list\">\n"
    "<tr class=\"listhead\"><td colspan=\"4\" align=\"center\"><b>Client pool</b></td></tr>\n"
    "<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Idle</td></tr>\n";

} // namespace

TEST_F(ClientPoolTest, NewConnectionGoesStraightToAWorker) {
    nettest::Pair pair;
    CONNECTION_T* connection = nettest::connection_on(pair, 3);
    pool->Add(connection);
    EXPECT_TRUE(pool->pending.empty());
    EXPECT_EQ(new_client, 1);
    EXPECT_EQ(connection->timeout, general.timeout); // the general section's I/O time-out
    nettest::send_all(pair.peer, "GET http://kestrivan/ HTTP/1.0\r\n\r\n");
    // Served: the interface answers (here refusing, as the access rules say).
    EXPECT_EQ(nettest::read_until_close(pair.peer, 10).rfind("HTTP/1.1 403", 0), 0u);
}

TEST_F(ClientPoolTest, NewConnectionWithoutAWorkerIsClosed) {
    MAXTHREADS = 1;
    nettest::Pair pair;
    pool->Add(nettest::connection_on(pair, 4));
    EXPECT_TRUE(pool->pending.empty());
    EXPECT_EQ(nettest::read_until_close(pair.peer, 5), "");
    EXPECT_NE(log().find("[4] network: 10.0.0.9 disconnected after making 0 requests"),
              std::string::npos);
}

TEST_F(ClientPoolTest, ServedConnectionWaitsWithoutBufferMemory) {
    nettest::Pair pair;
    CONNECTION_T* connection = served(pair, 9);
    connection->client->Resize(10, 0); // a read buffer kept from its last request
    connection->client->Clear(0);
    ASSERT_EQ(connection->client->read_capacity, SOCKET_BUFFER_STEP);
    pool->Add(connection);
    EXPECT_EQ(connection->client->read_capacity, 0u);
    EXPECT_EQ(pool->pending.size(), 1u);
    EXPECT_EQ(wakepipe_calls, 1);
    EXPECT_EQ(connection->keepalive_timeout, 60);

    pool->Cycle(); // the wake-up ends the wait at once
    EXPECT_EQ(pooled(), 1u);
    EXPECT_TRUE(pool->pending.empty());
    EXPECT_EQ(wakepipe_calls, 0);
    EXPECT_EQ(performance_log->clients_in_pool.load(), 1u);
    std::string rows = table();
    EXPECT_EQ(rows.rfind(HEAD_ROWS, 0), 0u);
    EXPECT_NE(rows.find("<tr class=\"listeven\"><td>9</td><td>10.0.0.9</td><td>1</td><td>"),
              std::string::npos);
}

TEST_F(ClientPoolTest, ReadableConnectionGoesBackToAWorker) {
    nettest::Pair pair;
    pool->Add(served(pair, 10));
    pool->Cycle();
    ASSERT_EQ(pooled(), 1u);
    nettest::send_all(pair.peer, "GET http://kestrivan/ HTTP/1.1\r\nConnection: close\r\n\r\n");
    pool->Cycle();
    EXPECT_EQ(pooled(), 0u);
    std::string answer = nettest::read_until_close(pair.peer, 10);
    EXPECT_EQ(answer.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);
    EXPECT_TRUE(nettest::wait_until([&] {
        return log().find("[10] network: 10.0.0.9 disconnected after making 2 requests") !=
               std::string::npos;
    }));
}

TEST_F(ClientPoolTest, ConnectionsLeaveWhenGoneOrIdleTooLong) {
    nettest::Pair gone, idle, fresh;
    CONNECTION_T* expiring = served(idle, 12);
    pool->Add(served(gone, 11));
    pool->Add(expiring);
    pool->Add(served(fresh, 13));
    expiring->keepalive_timeout = 0; // its limit is already reached
    gone.close_peer();               // readable at end of stream
    pool->Cycle();
    pool->Cycle();
    EXPECT_EQ(pooled(), 1u);
    EXPECT_EQ(nettest::read_until_close(idle.peer, 5), ""); // closed by the pool
    EXPECT_TRUE(nettest::wait_until([&] {
        std::string text = log();
        return text.find("[11] network: 10.0.0.9 disconnected after making 1 requests") !=
                   std::string::npos &&
               text.find("[12] network: 10.0.0.9 disconnected after making 1 requests") !=
                   std::string::npos;
    }));
    EXPECT_EQ(log().find("[13] network"), std::string::npos); // still waiting
}

TEST_F(ClientPoolTest, CleanEmptiesThePoolButNotTheQueue) {
    nettest::Pair a, b, c;
    pool->Add(served(a, 21));
    pool->Add(served(b, 22));
    pool->Cycle();
    pool->Add(served(c, 23));
    EXPECT_EQ(pool->Clean(), 2);
    EXPECT_EQ(pooled(), 0u);
    EXPECT_EQ(pool->pending.size(), 1u);
    EXPECT_EQ(nettest::read_until_close(a.peer, 5), "");
    EXPECT_EQ(table(), std::string(HEAD_ROWS) + "</table>\n");
}

TEST_F(ClientPoolTest, LoadSheddingClosesTheLongestWaiting) {
    MAXTHREADS = 16;
    overload_factor = 4;
    nettest::Pair pairs[5];
    for (unsigned i = 0; i < 5; i++)
        pool->Add(served(pairs[i], 31 + i));
    pool->Cycle();
    ASSERT_EQ(pooled(), 5u);
    // 16 / 6 and 16 / 5 are below 4; 16 / 4 is not.
    EXPECT_EQ(pool->load_shedding(), 2);
    EXPECT_EQ(pooled(), 3u);
    std::string text = log();
    EXPECT_NE(text.find("[31] network: 10.0.0.9 disconnected"), std::string::npos);
    EXPECT_NE(text.find("[32] network: 10.0.0.9 disconnected"), std::string::npos);
    EXPECT_EQ(text.find("[33] network"), std::string::npos);
}
