// The ICAP client against a scripted ICAP server on loopback: the bytes of
// REQMOD and RESPMOD requests with and without a preview, what each kind of
// reply changes, when a socket goes back to the pool, a pooled socket the
// server closed, the OPTIONS query and the entry choice.
#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/daemon.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "http/header.h"
#include "icap/icap.h"
#include "net/serverpool.h"
#include "support/upstream_test_support.h"

using namespace nettest;

namespace {

// Bytes that arrive within `ms` milliseconds, until the peer stops.
std::string read_for(int fd, int ms) {
    std::string got;
    char piece[65536];
    for (;;) {
        struct pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, ms) != 1)
            return got;
        ssize_t n = read(fd, piece, sizeof piece);
        if (n <= 0)
            return got;
        got.append(piece, static_cast<size_t>(n));
    }
}

// The bytes of one read, waiting at most `ms` milliseconds for them.
std::string read_some(int fd, int ms) {
    char piece[65536];
    struct pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, ms) != 1)
        return "";
    ssize_t n = read(fd, piece, sizeof piece);
    return n > 0 ? std::string(piece, static_cast<size_t>(n)) : "";
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// One ICAP request as the client sends it up to the point where it waits:
// the ICAP header, the encapsulated headers and the body part (a preview,
// or the whole body) up to its last chunk.
std::string read_icap_request(int fd) {
    std::string got = read_until(fd, "\r\n\r\n", 5);
    size_t head_end = got.find("\r\n\r\n");
    if (head_end == std::string::npos)
        return got;
    head_end += 4;
    size_t at = got.find("Encapsulated: ");
    if (at == std::string::npos)
        return got;
    std::string value = got.substr(at + 14, got.find("\r\n", at) - at - 14);
    size_t last = static_cast<size_t>(atoi(value.c_str() + value.rfind('=') + 1));
    bool body = value.find("null-body") == std::string::npos;
    std::string rest = got.substr(head_end);
    while (rest.size() < last || (body && !ends_with(rest, "\r\n\r\n"))) {
        std::string more = read_some(fd, 5000);
        if (more.empty())
            break;
        rest += more;
    }
    return got.substr(0, head_end) + rest;
}

// A scripted ICAP server: the n-th accepted connection runs the n-th
// script. Connections stay open until the server is destroyed (unless a
// script closes them), so that the client's pooling can be seen.
class ScriptedIcap {
public:
    using Script = std::function<void(int fd, ScriptedIcap& server)>;

    explicit ScriptedIcap(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
        thread_ = std::thread([this] {
            for (Script& script : scripts_) {
                struct pollfd entry = {listener_.fd, POLLIN, 0};
                if (poll(&entry, 1, 10000) != 1)
                    return;
                int fd = listener_.accept_one();
                if (fd == -1)
                    return;
                {
                    std::lock_guard<std::mutex> hold(mutex_);
                    open_.push_back(fd);
                    accepted++;
                }
                script(fd, *this);
            }
        });
    }
    ~ScriptedIcap() {
        thread_.join();
        for (int fd : open_)
            close(fd);
    }
    int port() const { return listener_.port; }
    void record(const std::string& text) {
        std::lock_guard<std::mutex> hold(mutex_);
        received.push_back(text);
    }
    void wait() { thread_.join(); thread_ = std::thread([] {}); }

    std::vector<std::string> received;
    int accepted = 0;

private:
    Listener listener_;
    std::vector<Script> scripts_;
    std::vector<int> open_;
    std::mutex mutex_;
    std::thread thread_;
};

// Reads one request and answers with `reply`.
ScriptedIcap::Script answer(std::string reply) {
    return [reply](int fd, ScriptedIcap& server) {
        server.record(read_icap_request(fd));
        send_all(fd, reply);
    };
}

const char* REQUEST = "GET http://origin.test/file HTTP/1.1\r\nHost: origin.test\r\n\r\n";
const char* RESPONSE = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\n";

// The part of an ICAP request after its encapsulated headers.
std::string body_part(const std::string& request) {
    size_t at = request.find("Encapsulated: ");
    std::string value = request.substr(at + 14, request.find("\r\n", at) - at - 14);
    size_t offset = static_cast<size_t>(atoi(value.c_str() + value.rfind('=') + 1));
    size_t start = request.find("\r\n\r\n") + 4;
    return start + offset <= request.size() ? request.substr(start + offset) : "(short)";
}

std::string header_line(const std::string& request, const std::string& name) {
    size_t at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos || at > request.find("\r\n\r\n"))
        return "(none)";
    at += name.size() + 4;
    return request.substr(at, request.find("\r\n", at) - at);
}

class IcapTest : public UpstreamFixture {
protected:
    void SetUp() override {
        UpstreamFixture::SetUp();
        BLOCKSIZE = 8192;
    }
    void TearDown() override {
        global->serverpool->Clean(1);
        UpstreamFixture::TearDown();
    }

    // A connection record as the road holds it at the modification stage.
    struct Record {
        CONNECTION_T* c;
        Filebuf body;
        Record(int mode, const std::string& body_text) {
            c = connection_new();
            c->client_ip = xstrdup("10.0.0.9");
            c->interface_ip = xstrdup("10.0.0.1");
            c->request = http_header_parse_request(REQUEST);
            if (mode == ICAP_MODE_RESPMOD)
                c->response = http_header_parse_response(RESPONSE);
            c->body = new Filebuf();
            body.Add(body_text.data(), static_cast<unsigned>(body_text.size()));
            if (mode == ICAP_MODE_REQMOD)
                c->body->Add(body_text.data(), static_cast<unsigned>(body_text.size()));
        }
        ~Record() { connection_reset(c), connection_free(c); }
        Filebuf* stage_body(int mode) { return mode == ICAP_MODE_REQMOD ? c->body : &body; }
        std::string text(int mode) {
            Filebuf* b = stage_body(mode);
            return b->size == 0 ? "" : std::string(b->data, b->size);
        }
    };

    bool exchange(Record& record, int mode, int port, int preview) {
        return ICAPSection::protocol_icap(record.c, record.stage_body(mode), mode, "127.0.0.1",
                                          "/svc", static_cast<unsigned>(port), preview);
    }
    size_t pooled() { return global->serverpool->pool.size(); }
};

TEST_F(IcapTest, EncapsulatedValues) {
    struct Case {
        const char* value;
        int req_hdr, res_hdr, req_body, res_body, null_body;
        bool valid;
    } cases[] = {
        {"res-hdr=0, res-body=219", -1, 0, -1, 219, -1, true},
        {"REQ-HDR=0,NULL-BODY=75", 0, -1, -1, -1, 75, true},
        {"req-hdr=0, res-hdr=45, res-body=120", 0, 45, -1, 120, -1, true},
        {"res-hdr=0, res-hdr=10, other=3", -1, 10, -1, -1, -1, true},
        {"res-hdr=zero, null-body=4", -1, -1, -1, -1, 4, false},
        {"res-hdr=-1", -1, -1, -1, -1, -1, false},
        {"res-hdr=99999999999", -1, -1, -1, -1, -1, false},
        {"", -1, -1, -1, -1, -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ICAP_ENCAPSULATION parts = ICAPSection::encapsulation_parse(c.value);
        EXPECT_EQ(parts.req_hdr, c.req_hdr);
        EXPECT_EQ(parts.res_hdr, c.res_hdr);
        EXPECT_EQ(parts.req_body, c.req_body);
        EXPECT_EQ(parts.res_body, c.res_body);
        EXPECT_EQ(parts.null_body, c.null_body);
        EXPECT_EQ(parts.valid, c.valid);
    }
}

// Bodies of 0 bytes, under, exactly at and over the preview, and with the
// preview unknown. The rest of a body goes out only after "100 Continue";
// a final reply to the preview leaves nothing more to send.
TEST_F(IcapTest, PreviewAndTheRestOfTheBody) {
    struct Case {
        const char* name;
        size_t size;
        int preview;
        bool continue_first; // the server asks for the rest
        std::string first;   // body part up to where the client waits
        std::string rest;    // what follows "100 Continue" (or nothing)
    } cases[] = {
        {"empty body", 0, 1024, false, "", ""},
        {"under the preview", 100, 4096, true,
         "64\r\n" + std::string(100, 'x') + "\r\n0; ieof\r\n\r\n", ""},
        {"exactly the preview", 1024, 1024, true,
         "400\r\n" + std::string(1024, 'x') + "\r\n0; ieof\r\n\r\n", ""},
        {"over the preview", 10000, 4096, true,
         "1000\r\n" + std::string(4096, 'x') + "\r\n0\r\n\r\n",
         "1710\r\n" + std::string(5904, 'x') + "\r\n0\r\n\r\n"},
        {"over the preview, final reply at once", 10000, 4096, false,
         "1000\r\n" + std::string(4096, 'x') + "\r\n0\r\n\r\n", ""},
        {"preview unknown", 100, -1, false,
         "64\r\n" + std::string(100, 'x') + "\r\n0\r\n\r\n", ""},
    };
    for (int mode : {ICAP_MODE_REQMOD, ICAP_MODE_RESPMOD})
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (mode == ICAP_MODE_REQMOD ? " REQMOD" : " RESPMOD"));
            std::string rest;
            ScriptedIcap server({[&](int fd, ScriptedIcap& s) {
                s.record(read_icap_request(fd));
                if (c.continue_first) {
                    send_all(fd, "ICAP/1.0 100 Continue\r\n\r\n");
                    rest = c.rest.empty() ? read_for(fd, 300) : read_until(fd, "0\r\n\r\n", 5);
                } else {
                    rest = read_for(fd, 300);
                }
                send_all(fd, "ICAP/1.0 204 No Content\r\nEncapsulated: null-body=0\r\n\r\n");
            }});
            Record record(mode, std::string(c.size, 'x'));
            HEADER* response = record.c->response;
            EXPECT_FALSE(exchange(record, mode, server.port(), c.preview));
            server.wait();
            ASSERT_EQ(server.received.size(), 1u);
            const std::string& sent = server.received[0];
            EXPECT_EQ(sent.rfind(std::string(mode == ICAP_MODE_REQMOD ? "REQMOD" : "RESPMOD") +
                                     " icap://127.0.0.1:" + std::to_string(server.port()) +
                                     "/svc ICAP/1.0\r\n",
                                 0),
                      0u);
            EXPECT_EQ(header_line(sent, "Preview"),
                      c.size > 0 && c.preview >= 0 ? std::to_string(c.preview) : "(none)");
            EXPECT_EQ(header_line(sent, "Allow"), "204");
            EXPECT_EQ(header_line(sent, "X-Client-IP"), "10.0.0.9");
            std::string encapsulated = header_line(sent, "Encapsulated");
            EXPECT_NE(encapsulated.find(c.size == 0 ? "null-body=" : "-body="), std::string::npos);
            EXPECT_EQ(body_part(sent), c.first);
            EXPECT_EQ(rest, c.rest);
            // 204: nothing changed; the exchange is over, so the socket
            // serves the next one.
            EXPECT_EQ(record.text(mode), std::string(c.size, 'x'));
            EXPECT_EQ(record.c->response, response);
            EXPECT_EQ(pooled(), 1u);
            global->serverpool->Clean(1);
        }
}

// What each final reply changes, and whether its socket is kept.
TEST_F(IcapTest, RepliesAreInstalledOrLeaveEverythingAsItWas) {
    const std::string new_response = "HTTP/1.1 403 Forbidden\r\nContent-Type: text/html\r\n\r\n";
    const std::string new_request = "GET http://other.test/moved HTTP/1.1\r\nHost: other.test\r\n\r\n";
    const std::string len = std::to_string(new_response.size());
    const std::string req_len = std::to_string(new_request.size());
    const std::string page = "7\r\nblocked\r\n0\r\n\r\n";
    struct Case {
        const char* name;
        int mode;
        std::string reply;
        bool handled;
        int status;        // of the response afterwards (0: none)
        std::string body;  // the stage's body afterwards
        std::string path;  // the request's path afterwards
        bool pooled;
    } cases[] = {
        {"204", ICAP_MODE_RESPMOD,
         "ICAP/1.0 204 No Content\r\nISTag: \"x\"\r\nEncapsulated: null-body=0\r\n\r\n", false, 200,
         "orig", "/file", true},
        {"204, connection close", ICAP_MODE_RESPMOD,
         "ICAP/1.0 204 No Content\r\nConnection: close\r\nEncapsulated: null-body=0\r\n\r\n",
         false, 200, "orig", "/file", false},
        {"204 announcing a header", ICAP_MODE_RESPMOD,
         "ICAP/1.0 204 No Content\r\nEncapsulated: res-hdr=0, null-body=19\r\n\r\n", false, 200,
         "orig", "/file", false},
        {"new response and body", ICAP_MODE_RESPMOD,
         "ICAP/1.0 200 OK\r\nX-Virus-ID: Eicar Test\r\nEncapsulated: res-hdr=0, res-body=" + len +
             "\r\n\r\n" + new_response + page,
         true, 403, "blocked", "/file", true},
        {"new response, null body", ICAP_MODE_RESPMOD,
         "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, null-body=" + len + "\r\n\r\n" + new_response,
         true, 403, "orig", "/file", true},
        {"request and response headers", ICAP_MODE_RESPMOD,
         "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, res-hdr=" + req_len + ", res-body=" +
             std::to_string(new_request.size() + new_response.size()) + "\r\n\r\n" + new_request +
             new_response + page,
         true, 403, "blocked", "/file", true},
        {"connection close", ICAP_MODE_RESPMOD,
         "ICAP/1.0 200 OK\r\nConnection: close\r\nEncapsulated: res-hdr=0, null-body=" + len +
             "\r\n\r\n" + new_response,
         true, 403, "orig", "/file", false},
        {"bytes after the reply", ICAP_MODE_RESPMOD,
         "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" + len + "\r\n\r\n" +
             new_response + page + "STRAY",
         true, 403, "blocked", "/file", false},
        {"both bodies", ICAP_MODE_RESPMOD,
         "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, req-body=1, res-body=" + len + "\r\n\r\n" +
             new_response + page,
         false, 200, "orig", "/file", false},
        {"no Encapsulated", ICAP_MODE_RESPMOD, "ICAP/1.0 200 OK\r\nISTag: x\r\n\r\n", false, 200,
         "orig", "/file", false},
        {"server error", ICAP_MODE_RESPMOD,
         "ICAP/1.0 500 Server Error\r\nEncapsulated: null-body=0\r\n\r\n", false, 200, "orig",
         "/file", false},
        {"no status line", ICAP_MODE_RESPMOD, "HELLO THERE\r\n\r\n", false, 200, "orig", "/file",
         false},
        {"malformed Encapsulated", ICAP_MODE_RESPMOD,
         "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=zero, null-body=4\r\n\r\n" + new_response,
         false, 200, "orig", "/file", false},
        {"broken body chunk", ICAP_MODE_RESPMOD,
         "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" + len + "\r\n\r\n" +
             new_response + "zz\r\nblocked\r\n0\r\n\r\n",
         false, 200, "orig", "/file", false},
        {"header cut off", ICAP_MODE_RESPMOD, "ICAP/1.0 200 OK\r\nEncaps", false, 200, "orig",
         "/file", false},
        {"REQMOD answered with a response", ICAP_MODE_REQMOD,
         "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" + len + "\r\n\r\n" +
             new_response + page,
         true, 403, "blocked", "/file", true},
        {"REQMOD with a new request", ICAP_MODE_REQMOD,
         "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, null-body=" + req_len + "\r\n\r\n" +
             new_request,
         true, 0, "", "/moved", true},
        {"RESPMOD answered with a request", ICAP_MODE_RESPMOD,
         "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, null-body=" + req_len + "\r\n\r\n" +
             new_request,
         true, 200, "orig", "/file", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool closes = std::string(c.name) == "header cut off";
        ScriptedIcap server({[&](int fd, ScriptedIcap& s) {
            s.record(read_icap_request(fd));
            send_all(fd, c.reply);
            if (closes)
                shutdown(fd, SHUT_WR);
        }});
        Record record(c.mode, "orig");
        EXPECT_EQ(exchange(record, c.mode, server.port(), -1), c.handled);
        server.wait();
        EXPECT_EQ(record.c->response != nullptr ? record.c->response->status : 0, c.status);
        EXPECT_EQ(record.text(c.mode), c.body);
        EXPECT_STREQ(record.c->request->path, c.path.c_str());
        EXPECT_EQ(pooled(), c.pooled ? 1u : 0u);
        global->serverpool->Clean(1);
    }
}

// The verdict of a 200 reply names the filter and the reason in the pages'
// variables and the access-log record.
TEST_F(IcapTest, VerdictOfA200Reply) {
    struct Case {
        const char* lines;
        const char* filter;
        const char* reason;
    } cases[] = {
        {"X-Virus-ID: Eicar Test\r\n", "Missing_ISTag_header", "Eicar_Test"},
        {"ISTag: \"abc\"\r\n", "ICAP/'abc'/RESPMOD", "Missing_X-Virus-ID_header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        ScriptedIcap server({answer(std::string("ICAP/1.0 200 OK\r\n") + c.lines +
                                    "Encapsulated: res-hdr=0, null-body=19\r\n\r\n"
                                    "HTTP/1.1 200 OK\r\n\r\n")});
        Record record(ICAP_MODE_RESPMOD, "orig");
        EXPECT_TRUE(exchange(record, ICAP_MODE_RESPMOD, server.port(), 4096));
        EXPECT_EQ(record.c->variables["FILTER"], c.filter);
        EXPECT_EQ(record.c->variables["REASON"], c.reason);
        EXPECT_EQ(record.c->log.filter_name, c.filter);
        EXPECT_EQ(record.c->log.filtering_reason, c.reason);
    }
}

// A silent server costs one bounded wait (the I/O time-out, 1 second here)
// and changes nothing.
TEST_F(IcapTest, SilentServerFailsAfterTheTimeout) {
    ScriptedIcap server({[](int fd, ScriptedIcap& s) {
        s.record(read_icap_request(fd));
        read_for(fd, 3000);
    }});
    Record record(ICAP_MODE_REQMOD, "posted");
    time_t begin = time(nullptr);
    EXPECT_FALSE(exchange(record, ICAP_MODE_REQMOD, server.port(), 4096));
    EXPECT_LE(time(nullptr) - begin, 3);
    EXPECT_EQ(record.text(ICAP_MODE_REQMOD), "posted");
    EXPECT_EQ(record.c->response, nullptr);
    EXPECT_TRUE(configtest::log_has(log_path, "error reading response from ICAP server"));
}

// A pooled socket that the server closes when the next request arrives:
// the same request goes out again on a fresh connection.
TEST_F(IcapTest, PooledSocketClosedByTheServerIsRetriedOnAFreshOne) {
    const std::string ok =
        "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, null-body=19\r\n\r\nHTTP/1.1 200 OK\r\n\r\n";
    ScriptedIcap server({[&](int fd, ScriptedIcap& s) {
                             s.record(read_icap_request(fd));
                             send_all(fd, ok);
                             s.record(read_icap_request(fd));
                             shutdown(fd, SHUT_RDWR);
                         },
                         answer(ok)});
    {
        Record first(ICAP_MODE_RESPMOD, "one");
        EXPECT_TRUE(exchange(first, ICAP_MODE_RESPMOD, server.port(), 4096));
        EXPECT_EQ(pooled(), 1u);
    }
    Record second(ICAP_MODE_RESPMOD, "two");
    EXPECT_TRUE(exchange(second, ICAP_MODE_RESPMOD, server.port(), 4096));
    server.wait();
    EXPECT_EQ(server.accepted, 2);
    ASSERT_EQ(server.received.size(), 3u);
    EXPECT_EQ(server.received[1], server.received[2]);
    EXPECT_EQ(pooled(), 1u);
    EXPECT_TRUE(configtest::log_has(log_path, "looping!"));
}

// The OPTIONS query: the Preview value, whether the socket is kept, and the
// failures that give -1.
TEST_F(IcapTest, OptionsQuery) {
    struct Case {
        const char* name;
        std::string reply;
        int preview;
        bool pooled;
    } cases[] = {
        {"preview, no Connection line", "ICAP/1.0 200 OK\r\nPreview: 4096\r\n\r\n", 4096, true},
        {"preview, Connection close",
         "ICAP/1.0 200 OK\r\nPreview: 4096\r\nConnection: close\r\n\r\n", 4096, false},
        {"no Preview line", "ICAP/1.0 200 OK\r\nMethods: RESPMOD\r\n\r\n", -1, true},
        {"options body", "ICAP/1.0 200 OK\r\nPreview: 10\r\nEncapsulated: opt-body=0\r\n\r\n", 10,
         false},
        {"not found", "ICAP/1.0 404 Not Found\r\n\r\n", -1, false},
        {"no reply", "", -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string request;
        ScriptedIcap server({[&](int fd, ScriptedIcap&) {
            request = read_until(fd, "\r\n\r\n", 5);
            if (c.reply.empty())
                shutdown(fd, SHUT_RDWR);
            else
                send_all(fd, c.reply);
        }});
        bool answered = false;
        EXPECT_EQ(get_max_preview(ICAP_MODE_RESPMOD, "127.0.0.1", "/svc",
                                  static_cast<unsigned>(server.port()), &answered),
                  c.preview);
        server.wait();
        EXPECT_EQ(request, "OPTIONS icap://127.0.0.1:" + std::to_string(server.port()) +
                               "/svc ICAP/1.0\r\nUser-Agent: Kestrivan ICAP Client/" +
                               std::to_string(get_my_release_build()) +
                               "\r\nConnection: keep-alive\r\n\r\n");
        EXPECT_EQ(pooled(), c.pooled ? 1u : 0u);
        global->serverpool->Clean(1);
    }
}

class IcapSectionTest : public IcapTest {
protected:
    void SetUp() override {
        IcapTest::SetUp();
        icap_section = new ICAPSection();
    }
    void TearDown() override {
        for (processor_fn fn : {icap_reqmod, icap_respmod, icap_buffcheck})
            processors.Remove(fn);
        icap_section = nullptr;
        IcapTest::TearDown();
    }
    struct Entry {
        int port;
        std::string mode = "respmod";
        std::string profiles = "";
        std::string host = "127.0.0.1";
        std::string service = "/svc";
        std::string enabled = "true";
    };
    void configure(std::initializer_list<Entry> entries, bool on = true) {
        std::string text = std::string("<kestrivan><icap><enabled>") + (on ? "true" : "false") +
                           "</enabled>";
        for (const Entry& e : entries)
            text += "<servers><enabled>" + e.enabled + "</enabled><profiles>" + e.profiles +
                    "</profiles><host>" + e.host + "</host><service>" + e.service +
                    "</service><port>" + std::to_string(e.port) + "</port><mode>" + e.mode +
                    "</mode></servers>";
        tinyxml2::XMLDocument doc;
        text += "</icap></kestrivan>";
        ASSERT_EQ(doc.Parse(text.c_str()), tinyxml2::XML_SUCCESS);
        icap_section->load(&doc, 1);
    }
};

// Which entry serves a connection; the buffer check follows the choice.
TEST_F(IcapSectionTest, EntryChoice) {
    struct Case {
        const char* name;
        Entry entry;
        bool on;
        unsigned bypass;
        int expected;
    } cases[] = {
        {"serves responses", {1344}, true, 0, 1},
        {"section off", {1344}, false, 0, 0},
        {"bypassed", {1344}, true, BYPASS_ICAP, 0},
        {"requests only", {1344, "reqmod"}, true, 0, 0},
        {"both modes", {1344, "reqmod,respmod"}, true, 0, 1},
        {"other profile", {1344, "respmod", "staff"}, true, 0, 0},
        {"negated other profile", {1344, "respmod", "!staff"}, true, 0, 1},
        {"no host", {1344, "respmod", "", ""}, true, 0, 0},
        {"no service", {1344, "respmod", "", "127.0.0.1", ""}, true, 0, 0},
        {"disabled", {1344, "respmod", "", "127.0.0.1", "/svc", "false"}, true, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        configure({c.entry}, c.on);
        Record record(ICAP_MODE_RESPMOD, "");
        record.c->bypass = c.bypass;
        EXPECT_EQ(icap_section->check_match(record.c, ICAP_MODE_RESPMOD), c.expected);
        EXPECT_EQ(icap_buffcheck(record.c, nullptr), c.expected);
    }
    // Requests for the proxy's own interface never go to a server.
    configure({{1344}});
    Record record(ICAP_MODE_RESPMOD, "");
    http_header_free(record.c->request);
    record.c->request = http_header_parse_request("GET http://kestrivan/xml HTTP/1.1\r\n\r\n");
    EXPECT_EQ(icap_buffcheck(record.c, nullptr), 0);
}

// Loading the configuration asks no server; the first exchange learns the
// preview with OPTIONS (outside any lock) and the next ones use it.
TEST_F(IcapSectionTest, PreviewIsLearntByTheFirstExchangeNotByTheLoad) {
    const std::string ok = "ICAP/1.0 204 No Content\r\nEncapsulated: null-body=0\r\n\r\n";
    ScriptedIcap server({[&](int fd, ScriptedIcap& s) {
        s.record(read_until(fd, "\r\n\r\n", 5));
        send_all(fd, "ICAP/1.0 200 OK\r\nPreview: 10\r\n\r\n");
        // Both exchanges come on the pooled socket.
        for (int round = 0; round < 2; round++) {
            s.record(read_icap_request(fd));
            send_all(fd, ok);
        }
    }});
    configure({{server.port(), "reqmod"}});
    usleep(200000);
    EXPECT_EQ(server.accepted, 0);

    for (int round = 0; round < 2; round++) {
        Record record(ICAP_MODE_REQMOD, std::string(50, 'y'));
        EXPECT_EQ(icap_reqmod(record.c, record.c->body), 0);
    }
    server.wait();
    ASSERT_EQ(server.received.size(), 3u);
    EXPECT_EQ(server.received[0].rfind("OPTIONS ", 0), 0u);
    for (size_t i = 1; i < 3; i++) {
        EXPECT_EQ(header_line(server.received[i], "Preview"), "10");
        EXPECT_EQ(body_part(server.received[i]), "a\r\n" + std::string(10, 'y') + "\r\n0\r\n\r\n");
    }
}

} // namespace
