// A scripted peer for tests of protocol clients (the SOCKS parents of the
// SOCKS and upstream tests): it reads fixed byte counts and answers each
// with fixed bytes.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "net_test_support.h"

namespace nettest {

// One step of the fake parent: read exactly `read` bytes, then send `reply`.
struct Step {
    size_t read;
    std::string reply;
};

// Plays a SOCKS parent on the peer end of a socket pair: runs the steps,
// records what it received, then keeps the connection open until stopped
// (or closes it when a step's read comes up short).
class FakeParent {
public:
    FakeParent(int fd, std::vector<Step> steps) : fd_(fd), steps_(std::move(steps)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeParent() { thread_.join(); }
    std::string received() {
        thread_.join();
        thread_ = std::thread([] {});
        return received_;
    }

private:
    void Run() {
        for (const Step& step : steps_) {
            std::string got;
            char piece[512];
            while (got.size() < step.read) {
                struct pollfd entry = {fd_, POLLIN, 0};
                if (poll(&entry, 1, 5000) != 1)
                    break;
                ssize_t n = read(fd_, piece, std::min(sizeof piece, step.read - got.size()));
                if (n <= 0)
                    break;
                got.append(piece, static_cast<size_t>(n));
            }
            received_ += got;
            if (got.size() < step.read)
                return;
            nettest::send_all(fd_, step.reply);
        }
        // Whatever else the client sends (it should send nothing more) is
        // recorded for a short while.
        struct pollfd entry = {fd_, POLLIN, 0};
        char piece[512];
        while (poll(&entry, 1, 200) == 1) {
            ssize_t n = read(fd_, piece, sizeof piece);
            if (n <= 0)
                break;
            received_.append(piece, static_cast<size_t>(n));
        }
    }
    int fd_;
    std::vector<Step> steps_;
    std::string received_;
    std::thread thread_;
};

inline std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (int v : values)
        text.push_back(static_cast<char>(v));
    return text;
}

} // namespace nettest
