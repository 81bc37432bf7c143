// The connection record: initial values, the reset after each request and
// the orderly close.
#include <gtest/gtest.h>

#include <string>

#include "core/filebuf.h"
#include "iface/stats.h"
#include "net/connection.h"
#include "support/net_test_support.h"

namespace {

class ConnectionTest : public nettest::NetTest {};

} // namespace

TEST_F(ConnectionTest, NewRecordStartsDirectUnlimitedAndUnscored) {
    CONNECTION_T* connection = connection_new();
    EXPECT_EQ(connection->forward_mode, FORWARD_DIRECT);
    EXPECT_EQ(connection->down_allowance, -1);
    EXPECT_EQ(connection->up_allowance, -1);
    EXPECT_EQ(connection->tunnel_id, 4294967295u);
    for (int score : connection->category_scores)
        EXPECT_EQ(score, -1);
    EXPECT_EQ(connection->flags, 0u);
    EXPECT_EQ(connection->bypass, 0u);
    EXPECT_EQ(connection->requests, 0);
    EXPECT_EQ(connection->client, nullptr);
    EXPECT_EQ(connection->server, nullptr);
    EXPECT_EQ(connection->auth_host_state, AUTH_HOST_CHALLENGE);
    EXPECT_TRUE(connection->variables.empty());
    connection_free(connection);
}

// What one request was granted ends with it; what belongs to the client
// connection stays (the bypass bits among them: the access rule of the next
// request decides whether they are still its own).
TEST_F(ConnectionTest, ResetEndsTheRequestNotTheConnection) {
    nettest::Pair pair;
    CONNECTION_T* connection = nettest::connection_on(pair);
    connection->flags = CONN_OFFLINE | CONN_HEAD;
    connection->bypass = BYPASS_URL_FILTER | BYPASS_ANTIVIRUS;
    connection->access = ACCESS_PROXY | ACCESS_BYPASS;
    connection->auth_flags = CONN_AUTH_REQUIRED;
    connection->user = xstrdup("alice@10.0.0.9");
    connection->variables["FILTER"] = "url";
    connection->profiles.push_back("staff");
    connection->user_groups.push_back("ou=sales");
    connection->dn_parts.push_back("dc=example");
    connection->body = new Filebuf();
    connection->body->Add("form=1", 6);
    connection->upstream_host = xstrdup("parent.example");
    connection->category_scores[3] = 40;
    connection->client_keepalive = 1;
    connection->client->Freeze(true);
    connection->client->Write("answer", 6);

    connection_reset(connection);

    EXPECT_EQ(connection->flags, 0u);
    EXPECT_EQ(connection->bypass, unsigned(BYPASS_URL_FILTER | BYPASS_ANTIVIRUS));
    EXPECT_EQ(connection->access, 0u);
    EXPECT_TRUE(connection->variables.empty());
    EXPECT_TRUE(connection->profiles.empty());
    EXPECT_TRUE(connection->user_groups.empty());
    EXPECT_TRUE(connection->dn_parts.empty());
    EXPECT_EQ(connection->body, nullptr);
    EXPECT_EQ(connection->upstream_host, nullptr);
    EXPECT_EQ(connection->category_scores[3], -1);
    EXPECT_EQ(connection->requests, 1);
    EXPECT_EQ(connection->client_keepalive, 1);
    EXPECT_EQ(connection->auth_flags, static_cast<unsigned>(CONN_AUTH_REQUIRED));
    EXPECT_STREQ(connection->user, "alice@10.0.0.9");
    // The client socket was flushed.
    EXPECT_EQ(connection->client->write_pending, 0u);
    EXPECT_EQ(nettest::read_until(pair.peer, "answer", 5), "answer");
    net_close(connection);
}

TEST_F(ConnectionTest, FailedTransferEndsKeepAlive) {
    nettest::Pair pair;
    CONNECTION_T* connection = nettest::connection_on(pair, 7, "1.2.3.4");
    connection->flags = CONN_TRANSFER_FAILED;
    connection->client_keepalive = 1;
    connection->server_keepalive = 1;
    nettest::Pair upstream;
    connection->server = new Socket(upstream.take());
    connection_reset(connection);
    EXPECT_EQ(connection->client_keepalive, 0);
    EXPECT_EQ(connection->server_keepalive, 0);
    EXPECT_EQ(connection->server, nullptr);
    EXPECT_EQ(nettest::read_until_close(upstream.peer, 5), ""); // closed
    EXPECT_NE(log().find("warning: [IP:1.2.3.4] process: transfer failed"), std::string::npos);
    net_close(connection);
}

TEST_F(ConnectionTest, NoClientRequestIsNotCounted) {
    nettest::Pair pair;
    CONNECTION_T* connection = nettest::connection_on(pair);
    connection->flags = CONN_NO_CLIENT | CONN_HEAD;
    connection_reset(connection);
    EXPECT_EQ(connection->requests, 0);
    EXPECT_EQ(connection->flags, static_cast<unsigned>(CONN_NO_CLIENT | CONN_HEAD));
    net_close(connection);
}

TEST_F(ConnectionTest, CloseCountsLogsAndHangsUp) {
    net_close(nullptr);
    EXPECT_EQ(performance_log->connections_closed.load(), 1u);
    EXPECT_EQ(log().find("disconnected"), std::string::npos);

    nettest::Pair pair;
    CONNECTION_T* connection = nettest::connection_on(pair, 12, "10.0.0.9");
    connection->requests = 2;
    net_close(connection);
    EXPECT_EQ(performance_log->connections_closed.load(), 2u);
    EXPECT_NE(log().find("network: 10.0.0.9 disconnected after making 2 requests"),
              std::string::npos);
    EXPECT_EQ(nettest::read_until_close(pair.peer, 5), "");
}

TEST_F(ConnectionTest, SharedStatisticsGoWithTheirLastHolder) {
    Stats* shared = new Stats();
    CONNECTION_T* first = connection_new();
    CONNECTION_T* second = connection_new();
    first->user_stats = shared;
    second->user_stats = static_cast<Stats*>(shared->New());
    connection_free(first);
    EXPECT_EQ(shared->count, 1);
    connection_free(second); // the last holder deletes it (a leak or a
                             // destruction with holders left would show)
}
