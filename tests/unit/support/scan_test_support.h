// A scanner daemon played by a test: it listens on a unix-domain socket (a
// path) or a loopback TCP port and serves each connection it accepts with
// the test's script, one after the other, in a thread of its own. Scripts
// read and write with the helpers below, which give up after 10 seconds or
// as soon as the daemon is destroyed, so a script that waits for ever (a
// silent daemon) ends with the test.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "support/net_test_support.h"

namespace scantest {

class ScriptedDaemon {
public:
    using Script = std::function<void(ScriptedDaemon& daemon, int fd)>;

    // socket_path empty: a free loopback TCP port (or `tcp_port` when not 0).
    explicit ScriptedDaemon(Script script, const std::string& socket_path = "",
                            int tcp_port = 0)
        : script_(std::move(script)) {
        if (pipe(stop_) != 0)
            ADD_FAILURE() << "pipe";
        if (socket_path.empty()) {
            listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int on = 1;
            setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            struct sockaddr_in local = {};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            local.sin_port = htons(static_cast<uint16_t>(tcp_port));
            socklen_t length = sizeof local;
            if (bind(listen_fd_, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0 ||
                listen(listen_fd_, 8) != 0 ||
                getsockname(listen_fd_, reinterpret_cast<struct sockaddr*>(&local), &length) != 0)
                ADD_FAILURE() << "cannot listen on loopback port " << tcp_port;
            port = ntohs(local.sin_port);
            address = "127.0.0.1";
        } else {
            listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            struct sockaddr_un local = {};
            local.sun_family = AF_UNIX;
            snprintf(local.sun_path, sizeof local.sun_path, "%s", socket_path.c_str());
            unlink(socket_path.c_str());
            if (bind(listen_fd_, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0 ||
                listen(listen_fd_, 8) != 0)
                ADD_FAILURE() << "cannot listen on " << socket_path;
            address = socket_path;
        }
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedDaemon() {
        if (write(stop_[1], "x", 1) != 1)
            ADD_FAILURE() << "stop";
        thread_.join();
        close(stop_[0]);
        close(stop_[1]);
        close(listen_fd_);
    }
    ScriptedDaemon(const ScriptedDaemon&) = delete;
    ScriptedDaemon& operator=(const ScriptedDaemon&) = delete;

    // Waits until `count` scripts have ended.
    void finish(int count = 1) {
        nettest::wait_until([&] { return served >= count; }, 10);
    }

    // Waits for input on fd (or its close) for at most `seconds`; false
    // when the daemon is being destroyed or the time passed.
    bool wait(int fd, int seconds = 10) {
        struct pollfd entries[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        return poll(entries, 2, seconds * 1000) > 0 &&
               (entries[0].revents & (POLLIN | POLLHUP)) && !(entries[1].revents & POLLIN);
    }
    // Reads up to and including `end`; false when the peer closed or went
    // quiet first (*text then holds what came).
    bool read_to(int fd, const std::string& end, std::string* text) {
        char c;
        while (text->size() < end.size() ||
               text->compare(text->size() - end.size(), end.size(), end) != 0) {
            if (!wait(fd) || read(fd, &c, 1) != 1)
                return false;
            *text += c;
        }
        return true;
    }
    bool read_exactly(int fd, size_t length, std::string* text) {
        char piece[65536];
        while (length > 0) {
            if (!wait(fd))
                return false;
            ssize_t n = read(fd, piece, length < sizeof piece ? length : sizeof piece);
            if (n <= 0)
                return false;
            text->append(piece, static_cast<size_t>(n));
            length -= static_cast<size_t>(n);
        }
        return true;
    }
    // Keeps the connection open and quiet until the daemon is destroyed.
    void stay_silent() {
        struct pollfd entry = {stop_[0], POLLIN, 0};
        poll(&entry, 1, 30000);
    }

    std::string address; // the socket's path, or "127.0.0.1"
    int port = 0;        // the TCP port
    std::atomic<int> served{0};

private:
    void Serve() {
        for (;;) {
            if (!wait(listen_fd_, 30))
                return;
            int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd == -1)
                return;
            script_(*this, fd);
            close(fd);
            served++;
        }
    }

    Script script_;
    int stop_[2] = {-1, -1};
    int listen_fd_ = -1;
    std::thread thread_;
};

} // namespace scantest
