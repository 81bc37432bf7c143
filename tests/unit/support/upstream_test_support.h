// Helpers for the tests of relays, SOCKS clients, the server pool and the
// upstream connection: the network fixture with the sections these read
// (general, templates, cache, network) built from the shipped definition
// file, and a scripted peer that reads fixed byte counts and answers each
// with fixed bytes (the SOCKS parents).
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include <tinyxml2.h>

#include "cache/cache.h"
#include "config/general.h"
#include "config/section.h"
#include "http/header.h"
#include "iface/templates.h"
#include "net/connection.h"
#include "net/network_section.h"
#include "net/socket.h"
#include "support/config_test_support.h"
#include "support/net_test_support.h"

namespace nettest {

// The general settings these tests vary: the server pool's globals and one
// General entry that matches every connection.
struct GeneralValues {
    int poolsize = 100;
    int pooltimeout = 30;
    int connecttimeout = 5;
    int timeout = 1; // I/O time-out
    std::string maxdownloadbuffer = "0";
    std::string maxuploadbuffer = "0";
    int bufferwait = 0;
};

// NetTest plus the sections, made from etc/sections.xml. They are left
// alone at the end, like the rest of the process record.
class UpstreamFixture : public NetTest {
protected:
    GeneralValues general;

    void SetUp() override {
        NetTest::SetUp();
        sectionxml = new tinyxml2::XMLDocument();
        std::string definition = configtest::source_dir() + "/etc/sections.xml";
        ASSERT_EQ(sectionxml->LoadFile(definition.c_str()), tinyxml2::XML_SUCCESS) << definition;
        general_section = new GeneralSection();
        template_section = new TemplateSection();
        cache_section = new CacheSection();
        network_section = new NetworkSection();
        apply_general();
    }

    // Loads `general` into the general section.
    void apply_general() {
        auto element = [](const std::string& name, const std::string& value) {
            return "<" + name + ">" + value + "</" + name + ">";
        };
        std::string text =
            "<kestrivan><general>" + element("poolsize", std::to_string(general.poolsize)) +
            element("pooltimeout", std::to_string(general.pooltimeout)) + "<general>" +
            element("enabled", "true") + element("comment", "tests") + element("groups", "") +
            element("profiles", "") +
            element("connecttimeout", std::to_string(general.connecttimeout)) +
            element("timeout", std::to_string(general.timeout)) +
            element("keepalivetimeout", "60") +
            element("maxdownloadbuffer", general.maxdownloadbuffer) +
            element("maxuploadbuffer", general.maxuploadbuffer) +
            element("bufferwait", std::to_string(general.bufferwait)) +
            element("connectports", "") + element("compressmime", "") +
            element("compressout", "false") + element("compressin", "false") +
            element("xforwardedfor", "false") + element("via", "false") +
            "</general></general></kestrivan>";
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.Parse(text.c_str()), tinyxml2::XML_SUCCESS) << doc.ErrorStr();
        general_section->load(&doc, 1);
    }
    void TearDown() override {
        template_section = nullptr;
        cache_section = nullptr;
        network_section = nullptr;
        NetTest::TearDown();
    }
};

// A connection whose client and upstream are played through socket pairs:
// `client_link.peer` is the client, `server_link.peer` the upstream server.
class LinkedConnectionFixture : public UpstreamFixture {
protected:
    Pair client_link;
    Pair server_link;
    CONNECTION_T* conn = nullptr;

    void SetUp() override {
        UpstreamFixture::SetUp();
        BLOCKSIZE = 8192;
        conn = connection_on(client_link);
        conn->server = new Socket(server_link.take());
        conn->client_keepalive = 1;
        conn->server_keepalive = 1;
    }
    void TearDown() override {
        release_connection(conn);
        UpstreamFixture::TearDown();
    }
    // Closes both sockets, frees both headers and the record.
    static void release_connection(CONNECTION_T* one) {
        delete one->server;
        one->server = nullptr;
        delete one->client;
        one->client = nullptr;
        http_header_free(one->request);
        one->request = nullptr;
        http_header_free(one->response);
        one->response = nullptr;
        connection_free(one);
    }
};

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
