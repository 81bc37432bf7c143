#include "http/forward.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "auth/profiles.h"
#include "cache/cache.h"
#include "config/general.h"
#include "core/compat.h"
#include "core/daemon.h"
#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/url.h"
#include "net/connection.h"

ForwardSection* forward_section = nullptr;

namespace {

enum {
    F_ENABLED, F_COMMENT, F_GROUPS, F_PROFILES, F_HOST, F_USER, F_PASSWORD, F_DOMAIN, F_PORT,
    F_ICP_MODE, F_ICP_PORT, F_PROXY_TYPE, F_PROTOCOLS,
};

// Ranks by ICP answer, and of a rule without ICP.
const uint32_t RANK_HIT_ONLY_HIT = 1000;
const uint32_t RANK_HIT = 100;
const uint32_t RANK_MISS = 10;
const uint32_t RANK_NO_ICP = 1;

// Ports of a parent rule with port -1.
const int DEFAULT_CONNECT_PARENT_PORT = 443;
const int DEFAULT_PARENT_PORT = 3128;

// First reply byte while no ICP reply has come.
const uint8_t ICP_UNANSWERED = 0xFF;

const char* client_address(CONNECTION_T* connection) {
    return connection->client_ip != NULL ? connection->client_ip : "-";
}

uint32_t rotl(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

// The CARP text hash: characters as signed bytes, unsigned 32-bit sums.
uint32_t carp_text_hash(const char* text) {
    uint32_t hash = 0;
    for (const char* c = text; *c != '\0'; c++)
        hash += rotl(hash, 19) + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*c)));
    return hash;
}

const uint32_t CARP_MULTIPLIER = 0x62531966u;

// Replaces a connection's text by a copy of value (NULL for an empty one).
void replace_text(char** field, const std::string& value) {
    free(*field);
    *field = NULL;
    if (value.empty())
        return;
    *field = xstrdup(value.c_str());
    if (*field == NULL)
        FATAL_ALLOC("src/forward", static_cast<unsigned>(value.size() + 1));
}

} // namespace

Forward::Forward(const Item& item)
    : enabled(item.fields[F_ENABLED].value),
      comment(item.fields[F_COMMENT].text),
      groups(item.fields[F_GROUPS].list),
      profiles(item.fields[F_PROFILES].list),
      host(item.fields[F_HOST].text),
      user(item.fields[F_USER].text),
      password(item.fields[F_PASSWORD].text),
      domain(item.fields[F_DOMAIN].text),
      port(item.fields[F_PORT].value),
      icp_mode(item.fields[F_ICP_MODE].value),
      icp_port(item.fields[F_ICP_PORT].value),
      proxy_type(item.fields[F_PROXY_TYPE].value),
      protocols(item.fields[F_PROTOCOLS].value),
      icp_failed(0) {}

void proxy_candidate::reply_free::operator()(icp_packet* packet) const { free(packet); }

proxy_candidate::proxy_candidate(Forward* chosen_rule)
    : request_number(0), priority(0), rule(chosen_rule), queried(false) {
    if (rule->icp_mode != ICP_MODE_NONE) {
        reply.reset(static_cast<icp_packet*>(xmalloc(sizeof(icp_packet))));
        if (reply == nullptr)
            FATAL_ALLOC("src/forward", static_cast<unsigned>(sizeof(icp_packet)));
        reply->opcode = ICP_UNANSWERED;
    }
}

ForwardSection::ForwardSection()
    : Section("forward", SECTION_RWLOCK),
      enabled(&global_field(0, FIELD_BOOL).value),
      carp(&global_field(1, FIELD_BOOL).value),
      carp_divisor(&global_field(2, FIELD_UINT).uvalue) {
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING_LIST,
                      FIELD_STRING, FIELD_STRING, FIELD_STRING, FIELD_STRING, FIELD_INT,
                      FIELD_STRING_SELECT_ONE, FIELD_INT, FIELD_STRING_SELECT_ONE,
                      FIELD_STRING_SELECT_MANY});
    pthread_mutex_init(&status_mutex, NULL);
}

ForwardSection::~ForwardSection() {
    rules.clear();
    pthread_mutex_destroy(&status_mutex);
}

void ForwardSection::update() {
    rules.clear();
    for (const Item& item : subsections[0].items)
        rules.emplace_back(item);
}

time_t ForwardSection::get_status(const Forward* rule) {
    pthread_mutex_lock(&status_mutex);
    time_t failed = rule->icp_failed;
    pthread_mutex_unlock(&status_mutex);
    return failed;
}

void ForwardSection::set_status(const Forward* rule, int down) {
    pthread_mutex_lock(&status_mutex);
    const_cast<Forward*>(rule)->icp_failed = down != 0 ? time(NULL) : 0;
    pthread_mutex_unlock(&status_mutex);
}

// ---- Choosing a parent -----------------------------------------------------------

static bool rule_serves_kind(const Forward& rule, const HEADER* request) {
    if (request->type == REQUEST_CONNECT)
        return (rule.protocols & FORWARD_PROTOCOL_CONNECT) != 0;
    const char* scheme = request->scheme != NULL ? request->scheme : "";
    if (strcasecmp(scheme, "http") == 0)
        return (rule.protocols & FORWARD_PROTOCOL_HTTP) != 0;
    if (strcasecmp(scheme, "ftp") == 0)
        return (rule.protocols & FORWARD_PROTOCOL_FTP) != 0;
    return true;
}

int ForwardSection::forward_do(CONNECTION_T* connection) {
    if (connection->bypass & BYPASS_FORWARD)
        return 0;
    read_lock();
    if (*enabled == 0) {
        unlock();
        return 0;
    }
    std::string own_name = general_section != NULL ? general_section->hostname_get() : "";
    if (proxyhost[0] != '\0')
        own_name = proxyhost;

    HEADER* request = connection->request;
    std::list<proxy_candidate> candidates;
    for (Forward& rule : rules) {
        if (rule.enabled == 0 || rule.host == own_name || !rule_serves_kind(rule, request))
            continue;
        if (!profile_find(connection->user_groups, rule.groups) ||
            !profile_find(connection->profiles, rule.profiles))
            continue;
        if (rule.host.empty())
            break;
        if (rule.proxy_type == FORWARD_HTTP_PARENT &&
            ((connection->flags & CONN_HTTPS_COMMAND) ||
             ((connection->flags & CONN_REVALIDATING) && rule.icp_mode != ICP_MODE_NONE)))
            continue;
        candidates.emplace_back(&rule);
    }

    Forward* chosen = candidates.empty() ? NULL : proxy_select(connection, candidates);
    if (chosen != NULL) {
        connection->forward_mode = chosen->proxy_type;
        replace_text(&connection->upstream_host, chosen->host);
        replace_text(&connection->parent_user, chosen->user);
        replace_text(&connection->parent_password, chosen->password);
        replace_text(&connection->parent_domain, chosen->domain);
        if (chosen->port != -1)
            connection->upstream_port = chosen->port;
        else
            connection->upstream_port = chosen->proxy_type == FORWARD_CONNECT_PARENT
                                            ? DEFAULT_CONNECT_PARENT_PORT
                                            : DEFAULT_PARENT_PORT;
        putlog(LOG_FORWARD, "[IP:%s] forwarding to %s:%d", client_address(connection),
               connection->upstream_host, connection->upstream_port);
    }
    unlock();
    return 0;
}

Forward* ForwardSection::proxy_select(CONNECTION_T* connection,
                                      std::list<proxy_candidate>& candidates) {
    HEADER* request = connection->request;
    bool carp_on = *carp != 0;
    if (request->type != REQUEST_CONNECT) {
        if (carp_on)
            peer_select_carp(connection, candidates);
        else
            peer_select_icp(connection, candidates);
    }

    uint32_t highest = 0;
    for (proxy_candidate& candidate : candidates) {
        if (!carp_on && candidate.rule->icp_mode == ICP_MODE_NONE)
            candidate.priority = RANK_NO_ICP;
        if (candidate.priority > highest)
            highest = candidate.priority;
    }

    if (carp_on) {
        // The proxy is a member of the array too: when its own score for
        // the URL is the highest, it serves the request itself.
        if (request->type == REQUEST_CONNECT || request->url == NULL)
            return NULL;
        std::string own_name =
            proxyhost[0] != '\0' ? std::string(proxyhost)
                                 : (general_section != NULL ? general_section->hostname_get() : "");
        if (carp_hash(request->url, own_name.c_str()) >= highest)
            return NULL;
        connection->flags |= CONN_CARP;
    } else if (highest == 0) {
        return NULL;
    }

    putlog(LOG_DEBUG, "[IP:%s] forwarding: highest peer priority: %u", client_address(connection),
           static_cast<unsigned>(highest));
    unsigned ties = 0;
    for (const proxy_candidate& candidate : candidates)
        if (candidate.priority == highest)
            ties++;
    unsigned pick = static_cast<unsigned>(rand()) % ties;
    proxy_candidate* chosen = NULL;
    for (proxy_candidate& candidate : candidates)
        if (candidate.priority == highest && pick-- == 0) {
            chosen = &candidate;
            break;
        }

    uint32_t peercode = PEERCODE_NONE;
    if (!carp_on) {
        switch (chosen->rule->icp_mode) {
        case ICP_MODE_HIT_AND_MISS:
            peercode = chosen->reply != nullptr && chosen->reply->opcode == ICP_OP_HIT
                           ? PEERCODE_PARENT_HIT
                           : PEERCODE_FIRST_PARENT_MISS;
            break;
        case ICP_MODE_HIT_ONLY:
            peercode = PEERCODE_SIBLING_HIT;
            break;
        default:
            peercode = PEERCODE_DEFAULT_PARENT;
            break;
        }
    }
    connection->log.set_peercode(peercode);
    return chosen->rule;
}

// ---- CARP -----------------------------------------------------------------------------

unsigned ForwardSection::carp_hash(const char* url, const char* member) {
    uint32_t url_hash = carp_text_hash(url);
    uint32_t member_hash = 0;
    if (member[0] != '\0')
        member_hash = rotl(carp_text_hash(member) * CARP_MULTIPLIER, 21);
    uint32_t combined = rotl((url_hash ^ member_hash) * CARP_MULTIPLIER, 21);
    unsigned divisor = *carp_divisor;
    return divisor != 0 ? combined % divisor : combined;
}

void ForwardSection::peer_select_carp(CONNECTION_T* connection,
                                      std::list<proxy_candidate>& candidates) {
    const char* url = connection->request->url != NULL ? connection->request->url : "";
    for (proxy_candidate& candidate : candidates)
        candidate.priority = carp_hash(url, candidate.rule->host.c_str());
}

// ---- ICP client -----------------------------------------------------------------------

// Fills the query for the request; false when the URL does not fit the
// message's 16-bit length (ICP is then skipped for the request).
static bool icp_query_build(CONNECTION_T* connection, icp_packet* query) {
    HEADER* request = connection->request;
    std::string url;
    const char* scheme = request->scheme != NULL ? request->scheme : "";
    if (request->port == protocol_port(scheme))
        url = std::string(scheme) + "://" + (request->host != NULL ? request->host : "") +
              (request->path != NULL ? request->path : "");
    else
        url = request->url != NULL ? request->url : "";
    size_t length = ICP_HEADER_SIZE + 4 + url.size() + 1;
    if (length > ICP_MESSAGE_MAX) {
        putlog(LOG_ICP, "error: [IP:%s] URL too long for an ICP query, parents not asked",
               client_address(connection));
        return false;
    }
    memset(query, 0, ICP_HEADER_SIZE + 4);
    query->opcode = ICP_OP_QUERY;
    query->version = ICP_VERSION;
    query->length = static_cast<uint16_t>(length);
    if (connection->interface_ip != NULL)
        inet_pton(AF_INET, connection->interface_ip, &query->sender);
    if (connection->client_ip != NULL)
        inet_pton(AF_INET, connection->client_ip, query->payload);
    memcpy(query->payload + 4, url.c_str(), url.size() + 1);
    return true;
}

// Opens the client's UDP socket on any local address and port; -1 on failure.
static int icp_socket_open() {
    int fd = s_socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return -1;
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) == -1) {
        putlog(LOG_ERROR, "[system: bind:%d:%s], in %s, failed to bind ICP client socket", errno,
               strerror(errno), __func__);
        close(fd);
        return -1;
    }
    return fd;
}

// Gives a received reply to the unanswered candidate it answers; false
// when none waits for it.
static bool icp_reply_deliver(std::list<proxy_candidate>& candidates, const icp_packet* reply) {
    for (proxy_candidate& candidate : candidates)
        if (candidate.queried && candidate.reply->opcode == ICP_UNANSWERED &&
            candidate.request_number == reply->request_number) {
            memcpy(candidate.reply.get(), reply, reply->length);
            return true;
        }
    return false;
}

// Waits for replies until none is pending or the time-out (ms) has passed.
static void icp_replies_wait(CONNECTION_T* connection, int fd,
                             std::list<proxy_candidate>& candidates, int pending, int timeout_ms) {
    icp_packet* reply = static_cast<icp_packet*>(xmalloc(sizeof(icp_packet)));
    if (reply == NULL)
        FATAL_ALLOC("src/forward", static_cast<unsigned>(sizeof(icp_packet)));
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (pending > 0) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        if (elapsed >= timeout_ms)
            break;
        struct pollfd entry = {fd, POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(timeout_ms - elapsed));
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        struct sockaddr_in from;
        if (icp_packet_receive(fd, &from, reply) == -1) {
            putlog(LOG_ICP, "error: [IP:%s] failed to receive ICP packet",
                   client_address(connection));
            continue;
        }
        char sender[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
        putlog(LOG_ICP, "[IP:%s] response opcode from %s:%d: %s", client_address(connection),
               sender, static_cast<int>(ntohs(from.sin_port)), icp_opcode_name(reply->opcode));
        if (icp_reply_deliver(candidates, reply))
            pending--;
        else
            putlog(LOG_ICP, "error: [IP:%s] received unknown ICP response number",
                   client_address(connection));
    }
    free(reply);
}

void ForwardSection::peer_select_icp(CONNECTION_T* connection,
                                     std::list<proxy_candidate>& candidates) {
    bool any = false;
    for (const proxy_candidate& candidate : candidates)
        if (candidate.rule->icp_mode != ICP_MODE_NONE)
            any = true;
    if (!any)
        return;

    icp_packet* query = static_cast<icp_packet*>(xmalloc(sizeof(icp_packet)));
    if (query == NULL)
        FATAL_ALLOC("src/forward", static_cast<unsigned>(sizeof(icp_packet)));
    if (!icp_query_build(connection, query)) {
        free(query);
        return;
    }

    int fd = -1;
    int pending = 0;
    time_t now = time(NULL);
    for (proxy_candidate& candidate : candidates) {
        Forward* rule = candidate.rule;
        if (rule->icp_mode == ICP_MODE_NONE)
            continue;
        time_t failed = get_status(rule);
        if (failed != 0) {
            if (now - failed < ICP_DOWN_SECONDS)
                continue;
            set_status(rule, 0);
        }
        candidate.reply->opcode = ICP_UNANSWERED;
        struct sockaddr_in to;
        memset(&to, 0, sizeof to);
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(rule->icp_port));
        if (inet_pton(AF_INET, rule->host.c_str(), &to.sin_addr) != 1) {
            putlog(LOG_ICP, "error: [IP:%s] ICP parent %s is not an IPv4 address",
                   client_address(connection), rule->host.c_str());
            continue;
        }
        if (fd == -1 && (fd = icp_socket_open()) == -1)
            continue;
        query->request_number = static_cast<uint32_t>(rand());
        candidate.request_number = query->request_number;
        candidate.queried = true;
        if (icp_packet_send(fd, &to, query) == -1)
            putlog(LOG_ICP, "error: [IP:%s] [system: sendto:%d:%s], failed to send ICP query to %s",
                   client_address(connection), errno, strerror(errno), rule->host.c_str());
        pending++;
    }
    free(query);

    if (pending > 0)
        icp_replies_wait(connection, fd, candidates, pending,
                         cache_section != NULL ? cache_section->icptimeout_get() : 0);
    if (fd != -1)
        close(fd);

    for (proxy_candidate& candidate : candidates) {
        if (!candidate.queried)
            continue;
        Forward* rule = candidate.rule;
        int opcode = candidate.reply->opcode;
        if (opcode == ICP_UNANSWERED) {
            putlog(LOG_FORWARD, "error: [IP:%s] no ICP response received from %s",
                   client_address(connection), rule->host.c_str());
            set_status(rule, 1);
        } else if (rule->icp_mode == ICP_MODE_HIT_AND_MISS) {
            if (opcode == ICP_OP_HIT)
                candidate.priority = RANK_HIT;
            else if (opcode == ICP_OP_MISS)
                candidate.priority = RANK_MISS;
        } else if (rule->icp_mode == ICP_MODE_HIT_ONLY && opcode == ICP_OP_HIT) {
            candidate.priority = RANK_HIT_ONLY_HIT;
        }
    }
}
