// Helpers for tests of sockets, connections, workers and the client pool: a
// fixture with the error log in a private directory, the thread table, the
// process record GLOBAL with its pools, the performance log and the general
// section; socket pairs and loopback listeners; bounded waits.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "config/general.h"
#include "core/daemon.h"
#include "core/global.h"
#include "core/mem.h"
#include "core/threads.h"
#include "iface/performance.h"
#include "net/clientpool.h"
#include "net/connection.h"
#include "net/network.h"
#include "net/serverpool.h"
#include "net/socket.h"
#include "support/log_test_support.h"

namespace nettest {

// Polls the predicate every 10 ms for at most `seconds`; its last value.
inline bool wait_until(const std::function<bool()>& predicate, double seconds = 10.0) {
    struct timespec begin, now;
    clock_gettime(CLOCK_MONOTONIC, &begin);
    for (;;) {
        if (predicate())
            return true;
        clock_gettime(CLOCK_MONOTONIC, &now);
        double spent = static_cast<double>(now.tv_sec - begin.tv_sec) +
                       static_cast<double>(now.tv_nsec - begin.tv_nsec) / 1e9;
        if (spent >= seconds)
            return predicate();
        usleep(10000);
    }
}

// Everything the peer sends until it closes, or until `seconds` pass
// without a byte.
inline std::string read_until_close(int fd, int seconds = 10) {
    std::string got;
    char piece[4096];
    for (;;) {
        struct pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, seconds * 1000) != 1)
            return got;
        ssize_t n = read(fd, piece, sizeof piece);
        if (n <= 0)
            return got;
        got.append(piece, static_cast<size_t>(n));
    }
}

// Reads until `text` has arrived (or the peer closes, or `seconds` pass
// without a byte); everything read.
inline std::string read_until(int fd, const std::string& text, int seconds = 10) {
    std::string got;
    char piece[4096];
    while (got.find(text) == std::string::npos) {
        struct pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, seconds * 1000) != 1)
            break;
        ssize_t n = read(fd, piece, sizeof piece);
        if (n <= 0)
            break;
        got.append(piece, static_cast<size_t>(n));
    }
    return got;
}

inline void send_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// A loopback listener on a free port.
struct Listener {
    int fd = -1;
    int port = 0;
    explicit Listener(int backlog = 16, const char* address = "127.0.0.1") {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in local = {};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, address, &local.sin_addr);
        if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) == 0 &&
            listen(fd, backlog) == 0) {
            socklen_t length = sizeof local;
            getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &length);
            port = ntohs(local.sin_port);
        }
    }
    ~Listener() {
        if (fd != -1)
            close(fd);
    }
    int accept_one() { return accept(fd, nullptr, nullptr); }
};

// A port nothing listens on (bound and released at once).
inline int unused_port() {
    Listener probe;
    int port = probe.port;
    return port;
}

// Serves one connection on a loopback port: reads the request header,
// answers with `reply` and closes. `request` receives what was read,
// `extra` anything the client sent after it (a second request would show
// there). Both are complete once the object is destroyed.
class OneShotServer {
public:
    explicit OneShotServer(std::string reply) : reply_(std::move(reply)) {
        thread_ = std::thread([this] {
            int fd = listener_.accept_one();
            if (fd == -1)
                return;
            request = read_until(fd, "\r\n\r\n", 10);
            send_all(fd, reply_);
            extra = read_until_close(fd, 1);
            close(fd);
        });
    }
    ~OneShotServer() { thread_.join(); }
    int port() const { return listener_.port; }

    std::string request;
    std::string extra;

private:
    Listener listener_;
    std::string reply_;
    std::thread thread_;
};

// A connected pair of stream sockets: `ours` for the code under test,
// `peer` for the test playing the other side.
struct Pair {
    int ours = -1;
    int peer = -1;
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            ours = fds[0];
            peer = fds[1];
        }
    }
    ~Pair() {
        if (ours != -1)
            close(ours);
        if (peer != -1)
            close(peer);
    }
    // Hands `ours` over (to a Socket, which closes it).
    int take() {
        int fd = ours;
        ours = -1;
        return fd;
    }
    void close_peer() {
        close(peer);
        peer = -1;
    }
};

// A connection record for an accepted client played by the test through a
// socket pair.
inline CONNECTION_T* connection_on(Pair& pair, unsigned client_id = 7,
                                   const char* ip = "10.0.0.9") {
    CONNECTION_T* connection = connection_new();
    connection->client = new Socket(pair.take());
    connection->client_id = client_id;
    connection->client_ip = xstrdup(ip);
    connection->interface_ip = xstrdup("10.0.0.1");
    connection->port = 3128;
    return connection;
}

inline int count_in(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// The process as start-up leaves it for the network code: thread table,
// GLOBAL with its pools, performance log and general section. At the end
// the workers are given time to end (bounded), the process-wide pointers
// and settings are put back, and the objects are left alone (a late thread
// may still hold them).
class NetTest : public logtest::LogDirTest {
protected:
    struct Settings {
        int maxthreads = MAXTHREADS, thread_timeout = THREAD_TIMEOUT,
            pool_timeout = CLIENT_POOL_TIMEOUT, overload = overload_factor,
            keepidle = TCP_KEEPIDLE_TIME, keepintvl = TCP_KEEPINTVL_TIME,
            keepcnt = TCP_KEEPCNT_COUNTS, stack = max_opt_stack;
        unsigned blocksize = BLOCKSIZE;
        void restore() const {
            MAXTHREADS = maxthreads;
            THREAD_TIMEOUT = thread_timeout;
            CLIENT_POOL_TIMEOUT = pool_timeout;
            overload_factor = overload;
            TCP_KEEPIDLE_TIME = keepidle;
            TCP_KEEPINTVL_TIME = keepintvl;
            TCP_KEEPCNT_COUNTS = keepcnt;
            max_opt_stack = stack;
            BLOCKSIZE = blocksize;
        }
    } saved_;

    void TearDown() override {
        MAXTHREADS = 64;
        wait_until([&] { return slots_in(THREAD_FREE) + 1 >= MAXTHREADS; }, 15);
        global = nullptr;
        performance_log = nullptr;
        general_section = nullptr;
        saved_.restore();
        LogDirTest::TearDown();
    }

    void SetUp() override {
        saved_ = Settings();
        LogDirTest::SetUp();
        signal(SIGPIPE, SIG_IGN);
        MAXTHREADS = 64;
        THREAD_TIMEOUT = 1;
        CLIENT_POOL_TIMEOUT = 1;
        overload_factor = 1;
        threads_init();
        global = new GLOBAL();
        pthread_mutex_init(&global->mutex, nullptr);
        global->serverpool = new ServerPool();
        global->clientpool = new ClientPool();
        performance_log = new PerformanceLog();
    }

    std::string log() { return logtest::read_file(log_path); }

    int slots_in(int state) {
        thread_repo_t report;
        thread_report(&report);
        switch (state) {
        case THREAD_FREE: return report.free;
        case THREAD_SERVING: return report.serving;
        case THREAD_IDLE: return report.idle;
        case THREAD_STARTING: return report.starting;
        default: return report.prefetching;
        }
    }
};

} // namespace nettest
