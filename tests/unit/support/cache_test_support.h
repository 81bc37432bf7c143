// Helpers for the object cache's tests: a cache section built from the
// shipped definitions with an injected clock, its configuration, a
// connection to create objects for, and shortcuts that create, fill and
// finish objects.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "cache/cache.h"
#include "core/filebuf.h"
#include "iface/performance.h"
#include "support/section_test_support.h"

namespace cachetest {

// The cache clock of the tests: starts at a fixed time, moved by hand.
inline time_t now_value = 1700000000;
inline time_t test_clock(time_t* out) {
    if (out != nullptr)
        *out = now_value;
    return now_value;
}

// One Refresh rule entry.
inline std::string refresh_rule(unsigned max_age = 86400, unsigned no_expiry = 3600,
                                unsigned lm_factor = 10, unsigned min_age = 0,
                                bool cacheable = true, const std::string& profiles = "") {
    return "<refresh>" +
           sectiontest::elements({{"enabled", "true"},
                                  {"comment", "rule"},
                                  {"profiles", profiles},
                                  {"cacheable", cacheable ? "true" : "false"},
                                  {"min_age", std::to_string(min_age)},
                                  {"max_age", std::to_string(max_age)},
                                  {"max_age_no_expiry", std::to_string(no_expiry)},
                                  {"lm_factor", std::to_string(lm_factor)}}) +
           "</refresh>";
}

// A 200 response header text with further lines (each ending in CRLF).
inline std::string response(const std::string& lines = "") {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n" + lines + "\r\n";
}

class CacheTest : public sectiontest::ShippedSectionTest {
protected:
    CacheSection* cache = nullptr;
    sectiontest::Connection conn{
        "GET http://origin.test/ HTTP/1.1\r\nHost: origin.test\r\n\r\n"};

    void SetUp() override {
        ShippedSectionTest::SetUp();
        now_value = 1700000000;
        performance_log = new PerformanceLog();
        cache = new CacheSection();
        cache_section = cache;
        cache->clock = test_clock;
        configure();
    }
    void TearDown() override {
        cache_section = nullptr;
        ShippedSectionTest::TearDown();
    }

    // Loads the cache section: the given global elements (which win over
    // the defaults here: the first element of a name counts), then enabled,
    // 64 MiB of memory, 8 MiB objects at most, and the rules.
    void configure(const std::string& globals = "", const std::string& rules = refresh_rule()) {
        sectiontest::load(*cache, "<cache>" + globals +
                                      "<enabled>true</enabled><memory_size>64M</memory_size>"
                                      "<memory_free_extra>1M</memory_free_extra>"
                                      "<max_size>8M</max_size><prefetch_window>60</prefetch_window>" +
                                      rules + "</cache>");
    }

    // A writing open for the URL with the header text.
    CACHEMAP* create(const std::string& url, const std::string& header = response(),
                     int flags = CACHE_WRITING) {
        return cache->cache_open(conn.get(), url.c_str(), header.c_str(), flags);
    }

    // A finished object holding the body; the writer's reference is given
    // back. false when it could not be created.
    bool store(const std::string& url, const std::string& header, const std::string& body) {
        CACHEMAP* object = create(url, header);
        if (object == nullptr)
            return false;
        if (!body.empty() && cache->add(object, body.data(), static_cast<unsigned>(body.size())) != 0)
            return false;
        cache->cache_close(object, true);
        return true;
    }

    CACHEMAP* lookup(const std::string& url, int flags = 0) {
        return cache->cache_open(nullptr, url.c_str(), nullptr, flags);
    }

    // The body of a finished object, read as a buffered request reads it.
    std::string body_of(CACHEMAP* object) {
        Filebuf* body = cache->read_filebuf(object);
        if (body == nullptr)
            return "<none>";
        std::string text(body->data != nullptr ? body->data : "", body->size);
        delete body;
        return text;
    }
};

} // namespace cachetest
