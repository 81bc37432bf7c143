#include "net/connection.h"

#include <stdlib.h>

#include "cache/cache.h"
#include "cache/hstream.h"
#include "core/atom.h"
#include "core/filebuf.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/upstream.h"
#include "http/url_commands.h"
#include "iface/performance.h"
#include "iface/stats.h"
#include "net/serverpool.h"
#include "net/socket.h"

static void scores_unset(CONNECTION_T* connection) {
    for (int& score : connection->category_scores)
        score = CATEGORY_SCORES_UNSET;
}

CONNECTION_T* connection_new() {
    // Value-initialised: every number 0 and every pointer NULL to begin with.
    CONNECTION_T* connection = new CONNECTION_T();
    connection->down_allowance = -1;
    connection->up_allowance = -1;
    connection->forward_mode = FORWARD_DIRECT;
    connection->auth_host_state = AUTH_HOST_CHALLENGE;
    connection->tunnel_id = TUNNEL_ID_NONE;
    scores_unset(connection);
    return connection;
}

// The request's hold on its cache object ends: a response being stored is
// finished, or dropped after a failed transfer; a copy that was read is
// given back, also when its client failed, since other requests use it.
static void release_cache_object(CONNECTION_T* connection) {
    CACHEMAP* object = connection->cachemap;
    if (object == nullptr || cache_section == nullptr)
        return;
    connection->cachemap = nullptr;
    bool storing = (connection->flags & CONN_CACHE_STORE) != 0;
    if (storing && (connection->flags & CONN_TRANSFER_FAILED)) {
        cache_section->invalidate(object);
        return;
    }
    if (storing)
        cache_section->flag_unset(object, CACHE_BUFFERWAIT);
    cache_section->cache_close(object, storing);
}

void connection_reset(CONNECTION_T* connection) {
    if (connection->flags & CONN_TRANSFER_FAILED) {
        putlog(LOG_WARNING, "[IP:%s] process: transfer failed", connection->client_ip);
        connection->server_keepalive = 0;
        connection->client_keepalive = 0;
    }
    release_cache_object(connection);

    // A kept-alive upstream goes to the server pool for the next request to
    // the same place (keyed by the request, so before it goes); any other
    // ends with its request.
    if (!upstream_park(connection))
        delete connection->server;
    connection->server = nullptr;

    url_command_free(connection->url_commands);
    connection->url_commands = nullptr;

    delete connection->body;
    connection->body = nullptr;
    delete connection->htmlstream;
    connection->htmlstream = nullptr;
    http_header_free(connection->request);
    connection->request = nullptr;
    http_header_free(connection->response);
    connection->response = nullptr;

    free(connection->upstream_host);
    connection->upstream_host = nullptr;

    connection->variables.Recycle();
    connection->profiles.clear();
    connection->user_groups.clear();
    connection->dn_parts.clear();
    connection->access = 0;
    // The bypass bits stay: the access rule of the next request keeps them,
    // or drops them when it is another rule or another user.
    scores_unset(connection);

    putlog(LOG_DEBUG, "process: keepalive_client = %s",
           connection->client_keepalive == 1 ? "TRUE" : "FALSE");

    if ((connection->flags & CONN_NO_CLIENT) == 0) {
        connection->requests++;
        connection->flags = 0;
        if (connection->client != nullptr)
            connection->client->Flush();
    }
}

void net_close(CONNECTION_T* connection) {
    if (performance_log != nullptr)
        performance_log->set_connections_closed(1);
    if (connection == nullptr)
        return;
    putlog(LOG_NETWORK, "%s disconnected after making %d requests", connection->client_ip,
           connection->requests);
    delete connection->client;
    connection->client = nullptr;
    connection_free(connection);
}

void connection_free(CONNECTION_T* connection) {
    if (connection == nullptr)
        return;
    if (global != nullptr && global->serverpool != nullptr)
        global->serverpool->CloseMyTunnel(connection->tunnel_id);
    char* texts[] = {
        connection->client_ip,       connection->interface_ip,    connection->user,
        connection->auth_host_user,  connection->auth_host_challenge, connection->upstream_host,
        connection->parent_user,     connection->parent_password, connection->parent_domain,
        connection->parent_auth,
    };
    for (char* text : texts)
        free(text);
    atom_release(connection->user_stats);
    delete connection;
}
