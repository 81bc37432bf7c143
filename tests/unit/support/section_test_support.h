// Helpers for tests of the configuration sections built on the shipped
// section-definition file: a fixture that makes etc/sections.xml the
// definition in force (with a private error log), a loader of one
// section's configuration text, and a bare connection record.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <tinyxml2.h>

#include "config/section.h"
#include "http/header.h"
#include "net/connection.h"
#include "net/socket.h"
#include "support/config_test_support.h"
#include "support/log_test_support.h"

namespace sectiontest {

// Loads "<kestrivan>" + body + "</kestrivan>" into the section, replacing
// its values and entries (as a file load does).
inline void load(Section& section, const std::string& body) {
    tinyxml2::XMLDocument doc;
    std::string xml = "<kestrivan>" + body + "</kestrivan>";
    ASSERT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << doc.ErrorStr();
    section.load(&doc, 1);
}

// "<name>value</name>" for each pair, in order.
inline std::string elements(std::initializer_list<std::pair<std::string, std::string>> pairs) {
    std::string text;
    for (const auto& pair : pairs)
        text += "<" + pair.first + ">" + pair.second + "</" + pair.first + ">";
    return text;
}

// A connection record as the road holds it during a request: the given
// request header (owned by the record), empty lists, and no client socket
// until attach_client() gives it one end of a socket pair.
struct Connection {
    CONNECTION_T record{};
    int peer = -1; // the client's end

    explicit Connection(const char* request_text = nullptr) {
        if (request_text != nullptr) {
            record.request = http_header_parse_request(request_text);
            EXPECT_NE(record.request, nullptr) << request_text;
        }
    }
    ~Connection() {
        http_header_free(record.request);
        http_header_free(record.response);
        delete record.client;
        if (peer != -1)
            close(peer);
    }
    void attach_client() {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        record.client = new Socket(ends[0]);
        peer = ends[1];
    }
    // Everything the proxy sent to the client so far.
    std::string sent() {
        record.client->Flush();
        std::string text;
        char piece[65536];
        ssize_t got;
        while ((got = recv(peer, piece, sizeof piece, MSG_DONTWAIT)) > 0)
            text.append(piece, static_cast<size_t>(got));
        return text;
    }
    CONNECTION_T* operator->() { return &record; }
    CONNECTION_T* get() { return &record; }
};

// Error log in a private directory, shipped section definitions in force.
class ShippedSectionTest : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        sectionxml = new tinyxml2::XMLDocument();
        std::string path = configtest::source_dir() + "/etc/sections.xml";
        ASSERT_EQ(sectionxml->LoadFile(path.c_str()), tinyxml2::XML_SUCCESS) << path;
    }

    bool logged(const std::string& text) { return configtest::log_has(log_path, text); }
};

} // namespace sectiontest
