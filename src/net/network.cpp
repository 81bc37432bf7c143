#include "net/network.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "core/compat.h"
#include "core/daemon.h"
#include "core/global.h"
#include "core/log.h"
#include "core/misc.h"
#include "core/misc_time.h"
#include "iface/performance.h"
#include "net/connection.h"
#include "net/socket.h"

socklist_t socklist[SOCKLIST_SIZE];

static const int DEFAULT_BACKLOG = 25;

static void network_count(const char* name) {
    if (global != nullptr)
        global->stats.Increment("network", name, 1);
}

static void count_failed_connection() {
    network_count("failed connections");
    if (performance_log != nullptr)
        performance_log->set_connection_fail(1);
}

void net_init() {
    for (socklist_t& slot : socklist) {
        slot.inuse = 0;
        slot.fd = -1;
        slot.port = 0;
        slot.address = nullptr;
    }
}

// ---- Listening --------------------------------------------------------------

int net_listen_backlog(const char* somaxconn_path) {
    int value = DEFAULT_BACKLOG;
    FILE* file = s_fopen(somaxconn_path, "r");
    if (file != nullptr) {
        unsigned read_value;
        if (fscanf(file, "%u", &read_value) == 1) {
            value = static_cast<int>(read_value);
            putlog(LOG_NETWORK, "default system somaxconn: %d", value);
        } else {
            putlog(LOG_ERROR, "default system somaxconn: %d", value);
        }
        fclose(file);
    }
    int backlog = value < MAXTHREADS ? value : MAXTHREADS;
    putlog(LOG_NETWORK, "listen queue: %d", backlog);
    return backlog;
}

static int get_int_option(int fd, int level, int name) {
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, level, name, &value, &length) == -1)
        return 0;
    return value;
}

static void set_int_option(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof value);
}

static void raise_blocksize(int value) {
    if (static_cast<unsigned>(value) > BLOCKSIZE)
        BLOCKSIZE = static_cast<unsigned>(value);
}

// Asks for a buffer of `requested` bytes (the system doubles what it is
// given) and reports what it granted.
static void request_buffer(int fd, int option, int requested, const char* direction) {
    set_int_option(fd, SOL_SOCKET, option, requested / 2);
    int allowed = get_int_option(fd, SOL_SOCKET, option);
    putlog(LOG_NETWORK, "TCP Buffer size for %s in bytes Requested[%d], Allowed[%d]", direction,
           requested / 2 * 2, allowed);
    raise_blocksize(allowed);
}

// Buffer sizes of a listener (accepted sockets inherit them). The system
// reports doubled sizes, so requests are halved and reported doubled.
static void tune_listener_buffers(int fd) {
    int receive = get_int_option(fd, SOL_SOCKET, SO_RCVBUF);
    putlog(LOG_NETWORK, "System Default TCP Buffer size for client->kestrivan->website %d bytes",
           receive);
    if (receive != 0)
        BLOCKSIZE = static_cast<unsigned>(receive);
    int send = get_int_option(fd, SOL_SOCKET, SO_SNDBUF);
    putlog(LOG_NETWORK, "System Default TCP Buffer size for client<-kestrivan<-website %d bytes ",
           send);
    raise_blocksize(send);
    if (RCV_BUF > 0)
        request_buffer(fd, SO_SNDBUF, RCV_BUF, "client<-kestrivan<-website");
    if (SND_BUF > 0)
        request_buffer(fd, SO_RCVBUF, SND_BUF, "client->kestrivan->website");
    putlog(LOG_ADVICE, "network: Memory allocation: per socket R/W: %d bytes",
           static_cast<int>(BLOCKSIZE));
}

// Keep-alive probing of one socket from the command-line settings; a
// setting of 0 or less keeps the system's value.
static void set_keepalive_options(int fd) {
    if (TCP_KEEPIDLE_TIME > 0)
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, TCP_KEEPIDLE_TIME);
    if (TCP_KEEPINTVL_TIME > 0)
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, TCP_KEEPINTVL_TIME);
    if (TCP_KEEPCNT_COUNTS > 0)
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, TCP_KEEPCNT_COUNTS);
}

static void tune_listener_keepalive(int fd) {
    putlog(LOG_NETWORK, "System Default TCP_KEEPIDLE %d seconds",
           get_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE));
    putlog(LOG_NETWORK, "System Default TCP_KEEPINTVL %d seconds",
           get_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL));
    putlog(LOG_NETWORK, "System Default TCP_KEEPCNT %d probes",
           get_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT));
    set_keepalive_options(fd);
    if (TCP_KEEPIDLE_TIME > 0)
        putlog(LOG_NETWORK, "Changed TCP_KEEPIDLE to %d seconds",
               get_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE));
    if (TCP_KEEPINTVL_TIME > 0)
        putlog(LOG_NETWORK, "Changed TCP_KEEPINTVL to %d seconds",
               get_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL));
    if (TCP_KEEPCNT_COUNTS > 0)
        putlog(LOG_NETWORK, "Changed TCP_KEEPCNT to %d probes",
               get_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT));
}

bool listen_address_valid(const char* address) {
    struct in_addr parsed;
    return address != nullptr && inet_pton(AF_INET, address, &parsed) == 1;
}

bool listen_port_valid(int port) {
    return port >= 1 && port <= 65535;
}

int net_listen(int port, const char* address) {
    const char* shown = address != nullptr ? address : "0.0.0.0";
    if (address != nullptr && !listen_address_valid(address)) {
        putlog(LOG_NETWORK, "error: failed to bind to %s:%d: not an IPv4 address", shown, port);
        return -1;
    }
    // Port 0 (a port the system picks) is left to callers that ask for it;
    // the listeners of the command line and the configuration never do.
    if (port != 0 && !listen_port_valid(port)) {
        putlog(LOG_NETWORK, "error: failed to bind to %s:%d: the port is outside 1-65535", shown,
               port);
        return -1;
    }
    int backlog = net_listen_backlog("/proc/sys/net/core/somaxconn");

    int slot = -1;
    for (int i = 0; i < SOCKLIST_SIZE; i++)
        if (!socklist[i].inuse) {
            slot = i;
            break;
        }
    if (slot == -1) {
        putlog(LOG_NETWORK, "error: failed to bind to %s:%d: all %d listener slots are taken",
               shown, port, SOCKLIST_SIZE);
        return -1;
    }
    int fd = s_socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int error = errno;
    if (fd != -1) {
        set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
        set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
        set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        tune_listener_buffers(fd);
        tune_listener_keepalive(fd);

        struct sockaddr_in local;
        memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<uint16_t>(port));
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (address != nullptr)
            inet_pton(AF_INET, address, &local.sin_addr);
        if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) == 0 &&
            listen(fd, backlog) == 0) {
            socklist[slot].inuse = 1;
            socklist[slot].fd = fd;
            socklist[slot].port = port;
            socklist[slot].address = address != nullptr ? xstrdup(address) : nullptr;
            putlog(LOG_NETWORK, "listening on %s:%d", shown, port);
            return slot;
        }
        error = errno;
        close(fd);
    }
    putlog(LOG_NETWORK, "error: failed to bind to %s:%d: %s", shown, port, strerror(error));
    return -1;
}

void net_listen_closeall() {
    for (socklist_t& slot : socklist) {
        if (!__atomic_load_n(&slot.inuse, __ATOMIC_ACQUIRE))
            continue;
        // The slot is given up first, so that the accept loop, woken by the
        // shutdown while it waits on this listener, takes nothing from it.
        // A close alone would neither wake it nor end the listening, which
        // its wait keeps alive.
        __atomic_store_n(&slot.inuse, 0, __ATOMIC_RELEASE);
        shutdown(slot.fd, SHUT_RDWR);
        close(slot.fd);
        free(slot.address);
        slot.fd = -1;
        slot.port = 0;
        slot.address = nullptr;
    }
}

// ---- Accepting --------------------------------------------------------------

// Turns one accepted descriptor into a connection record; NULL (descriptor
// closed, reason logged) when the addresses cannot be told.
static CONNECTION_T* accepted_connection(int fd, const struct sockaddr_in& peer, int port) {
    char client_ip[INET_ADDRSTRLEN] = "";
    if (inet_ntop(AF_INET, &peer.sin_addr, client_ip, sizeof client_ip) == nullptr ||
        client_ip[0] == '\0') {
        putlog(LOG_ERROR, "network: client ip identification failed");
        close(fd);
        return nullptr;
    }
    struct sockaddr_in local;
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &length) == -1) {
        int error = errno;
        putlog(LOG_ERROR,
               "network: [system: getsockname:%d:%s], in %s, problem in accepting a new connection",
               error, strerror(error), "net_accept");
        close(fd);
        return nullptr;
    }
    char interface_ip[INET_ADDRSTRLEN] = "";
    if (inet_ntop(AF_INET, &local.sin_addr, interface_ip, sizeof interface_ip) == nullptr ||
        interface_ip[0] == '\0') {
        putlog(LOG_ERROR, "network: interface ip identification failed");
        close(fd);
        return nullptr;
    }
    CONNECTION_T* connection = connection_new();
    connection->client = new Socket(fd);
    connection->port = port;
    connection->client_ip = xstrdup(client_ip);
    connection->interface_ip = xstrdup(interface_ip);
    connection->log.client = client_ip;
    if (connection->client_ip == nullptr || connection->interface_ip == nullptr)
        FATAL_ALLOC("src/network", sizeof client_ip);
    return connection;
}

CONNECTION_T* net_accept(int timeout) {
    struct pollfd listeners[SOCKLIST_SIZE];
    int slots[SOCKLIST_SIZE];
    int count = 0;
    for (int i = 0; i < SOCKLIST_SIZE && __atomic_load_n(&socklist[i].inuse, __ATOMIC_ACQUIRE); i++) {
        listeners[count].fd = socklist[i].fd;
        listeners[count].events = POLLIN;
        listeners[count].revents = 0;
        slots[count++] = i;
    }
    int ready = poll(listeners, static_cast<nfds_t>(count), timeout == -1 ? -1 : timeout * 1000);
    if (ready <= 0)
        return nullptr;
    for (int i = 0; i < count; i++) {
        if ((listeners[i].revents & POLLIN) == 0)
            continue;
        if (!__atomic_load_n(&socklist[slots[i]].inuse, __ATOMIC_ACQUIRE))
            continue; // closed while we waited
        struct sockaddr_in peer;
        socklen_t length = sizeof peer;
        memset(&peer, 0, sizeof peer);
        int fd = s_accept(listeners[i].fd, reinterpret_cast<struct sockaddr*>(&peer), &length);
        if (fd == -1) {
            int error = errno;
            if (error != ENOTSOCK)
                putlog(LOG_ERROR,
                       "network: [system: accept:%d:%s], in %s, failed to accept a new connection",
                       error, strerror(error), "net_accept");
            continue;
        }
        CONNECTION_T* connection = accepted_connection(fd, peer, socklist[slots[i]].port);
        if (connection != nullptr)
            return connection;
    }
    return nullptr;
}

// ---- Connecting -------------------------------------------------------------

// Waits for the outcome of a non-blocking connect. 0 when connected, else
// the failure has been logged.
static int connect_wait(int fd, int timeout) {
    struct timespec begin;
    clock_gettime(CLOCK_MONOTONIC, &begin);
    for (;;) {
        int wait_ms = -1;
        if (timeout >= 0) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            int64_t spent = (static_cast<int64_t>(now.tv_sec) - begin.tv_sec) * 1000 +
                            (now.tv_nsec - begin.tv_nsec) / 1000000;
            int64_t left = static_cast<int64_t>(timeout) * 1000 - spent;
            wait_ms = left > 0 ? static_cast<int>(left) : 0;
        }
        struct pollfd entry = {fd, POLLOUT, 0};
        int ready = poll(&entry, 1, wait_ms);
        if (ready == -1 && errno == EINTR)
            continue;
        bool failed = ready <= 0 || (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        if (failed) {
            if (ready == 0)
                errno = ETIMEDOUT;
            else if (ready > 0) {
                // The socket's own error says why (refused, unreachable).
                int error = get_int_option(fd, SOL_SOCKET, SO_ERROR);
                errno = error != 0 ? error : ECONNABORTED;
            }
            int error = errno;
            putlog(LOG_ERROR, "network: outbound connection: poll[%d]: %d:%s", ready, error,
                   strerror(error));
            return -1;
        }
        int error = get_int_option(fd, SOL_SOCKET, SO_ERROR);
        if (error != 0) {
            putlog(LOG_ERROR, "network: outbound connection: getsockopt: %d:%s", error,
                   strerror(error));
            putlog(LOG_ERROR, "network: socket lost while trying to make a network connection, "
                              "reduce load and restart the service");
            return -1;
        }
        return 0;
    }
}

int net_connect(const char* host, int port, struct in_addr bind_address, int timeout) {
    if (host == nullptr || port <= 0) {
        count_failed_connection();
        return -1;
    }
    HOSTENT* resolved = net_dns(host);
    if (resolved == nullptr) {
        network_count("DNS failures");
        count_failed_connection();
        return -3;
    }
    struct sockaddr_in remote;
    memset(&remote, 0, sizeof remote);
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    memcpy(&remote.sin_addr, resolved->addr, sizeof remote.sin_addr);
    hostent_free(resolved);

    int fd = s_socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        count_failed_connection();
        return -2;
    }
    set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    if (SND_BUF > 0)
        set_int_option(fd, SOL_SOCKET, SO_SNDBUF, SND_BUF / 2);
    set_keepalive_options(fd);

    // Binding to "any address" would change nothing but take a port early;
    // a chosen address gets its port at connect time, so that outgoing
    // connections to different servers may share local ports.
    if (bind_address.s_addr != htonl(INADDR_ANY)) {
        set_int_option(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1);
        struct sockaddr_in local;
        memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        local.sin_addr = bind_address;
        if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) == -1) {
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &bind_address, text, sizeof text);
            putlog(LOG_NETWORK, "error: failed to bind on %s for outgoing connection", text);
        }
    }

    if (connect(fd, reinterpret_cast<struct sockaddr*>(&remote), sizeof remote) == -1) {
        int error = errno;
        bool pending = error == EINPROGRESS || error == EINTR;
        if (!pending)
            putlog(LOG_ERROR, "network: outbound connection: connect: %d:%s", error,
                   strerror(error));
        if (!pending || connect_wait(fd, timeout) == -1) {
            close(fd);
            count_failed_connection();
            return -2;
        }
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    network_count("successful connections");
    if (performance_log != nullptr)
        performance_log->set_new_connection(1);
    return fd;
}

int net_connect(const char* host, int port, int timeout) {
    struct in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    return net_connect(host, port, any, timeout);
}

int net_connect(const char* host, int port) { return net_connect(host, port, -1); }

// ---- Single options ---------------------------------------------------------

int set_nodelay(int fd, bool on) {
    int value = on ? 1 : 0;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == -1 && errno != 0) {
        int error = errno;
        // A unix-domain stream (a scanner daemon's socket) has no Nagle
        // delay to switch off: nothing is wrong.
        if (error == EOPNOTSUPP)
            return -error;
        putlog(LOG_ERROR, "[socket read TCP_NODELAY retune :%d] %s", error, strerror(error));
        return -error;
    }
    return 0;
}

int SetACK(int fd, bool on) {
    int value = on ? 1 : 0;
    return setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &value, sizeof value);
}

void net_linger_off(int fd) {
    if (fd <= 0)
        return;
    struct linger linger = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &linger, sizeof linger);
    set_int_option(fd, IPPROTO_TCP, TCP_LINGER2, 0);
}

int net_blocking(int fd, bool on) {
    if (fd < 0)
        return 0;
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, on ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK)) == -1) {
        int error = errno;
        putlog(LOG_ERROR, "%s %d: %s", "net_blocking", error, strerror(error));
        return error;
    }
    return 0;
}

int net_get_unread(int fd, unsigned long* count) {
    if (fd <= 0)
        return -1;
    int unread = 0;
    int result = ioctl(fd, FIONREAD, &unread);
    if (result == -1) {
        int error = errno;
        putlog(LOG_ERROR, "network: failed to get unread data:[%d: %s]", error, strerror(error));
        return -error;
    }
    *count = static_cast<unsigned long>(unread);
    return result;
}
