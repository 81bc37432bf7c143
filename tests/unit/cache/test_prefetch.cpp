// Prefetching: links turned into URLs, which pages are parsed and which of
// their tags queue what, the queue's limits, what a queued request keeps of
// a client's header, and the addresses a prefetch never reaches on its own.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "cache/hstream.h"
#include "cache/prefetch.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/url.h"
#include "net/connection.h"
#include "support/cache_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;

namespace {

std::string rule(const std::string& tag, const std::string& attribute,
                 const std::string& pattern = "", const std::string& max_size = "0",
                 const std::string& max_depth = "0", const std::string& profiles = "",
                 const std::string& enabled = "true") {
    return "<prefetch>" +
           elements({{"enabled", enabled}, {"comment", tag + " " + attribute},
                     {"profiles", profiles}, {"tag", tag}, {"attribute", attribute},
                     {"pattern", pattern}, {"max_size", max_size}, {"max_depth", max_depth}}) +
           "</prefetch>";
}

std::string url_text(const URL* url) {
    char* text = url_create(url);
    std::string result = text;
    free(text);
    return result;
}

class PrefetchTest : public cachetest::CacheTest {
protected:
    PrefetchSection* prefetch = nullptr;
    Connection page{"GET http://origin.test:8080/dir/page.html?x=/y HTTP/1.1\r\n"
                    "Host: origin.test:8080\r\n\r\n"};

    void SetUp() override {
        CacheTest::SetUp();
        prefetch = new PrefetchSection();
        prefetch_section = prefetch;
        page->response = http_header_parse_response(
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n");
    }
    void TearDown() override {
        delete page->htmlstream;
        page->htmlstream = nullptr;
        prefetch_section = nullptr;
        CacheTest::TearDown();
    }

    // Loads the section: the given globals (the first element of a name
    // counts), then prefetching on with roomy limits, and the rules.
    void configure_prefetch(const std::string& globals, const std::string& rules) {
        sectiontest::load(*prefetch, "<prefetch>" + globals +
                                         "<enabled>true</enabled><threads>0</threads>"
                                         "<queuesize>100</queuesize><hostlimit>0</hostlimit>" +
                                         rules + "</prefetch>");
    }

    // The waiting requests as "url depth size", in queue order.
    std::vector<std::string> waiting() {
        std::vector<std::string> texts;
        for (PREFETCH_QUEUE* record = prefetch->queue; record != nullptr; record = record->next)
            texts.push_back(url_text(record->url) + " " + std::to_string(record->depth) + " " +
                            std::to_string(record->size_limit));
        return texts;
    }

    // The page parsed as the road parses a relayed page.
    void relay(const std::string& html) {
        prefetch->setup_callbacks(page.get());
        ASSERT_NE(page->htmlstream, nullptr);
        page->htmlstream->Add(html.data(), static_cast<unsigned>(html.size()));
        page->htmlstream->Add(nullptr, 0);
    }

    int add(const std::string& text, int depth = 1) {
        return prefetch->queue_add(url_parse(text.c_str()), nullptr, -1, depth);
    }
};

} // namespace

TEST(PrefetchLink, ValuesBecomeTheUrlsABrowserWouldAsk) {
    HEADER* page = http_header_parse_request(
        "GET http://Origin.test:8080/dir/sub/page.html?q=/z HTTP/1.1\r\nHost: origin.test\r\n\r\n");
    ASSERT_NE(page, nullptr);
    const struct {
        const char* value;
        const char* url; // NULL: nothing
    } cases[] = {
        {"img.png", "http://origin.test:8080/dir/sub/img.png"},
        {"/top.png", "http://origin.test:8080/top.png"},
        {"../up.png", "http://origin.test:8080/dir/up.png"},
        {"./same/../x.png", "http://origin.test:8080/dir/sub/x.png"},
        {"../../../../root.png", "http://origin.test:8080/root.png"},
        {"..", "http://origin.test:8080/dir/"},
        {"?page=2", "http://origin.test:8080/dir/sub/page.html?page=2"},
        {"a.cgi?x=1&amp;y=2", "http://origin.test:8080/dir/sub/a.cgi?x=1&y=2"},
        {"  spaced.png \n", "http://origin.test:8080/dir/sub/spaced.png"},
        {"img.png#part", "http://origin.test:8080/dir/sub/img.png"},
        {"with space.png", "http://origin.test:8080/dir/sub/with%20space.png"},
        {"time.cgi?at=12:30", "http://origin.test:8080/dir/sub/time.cgi?at=12:30"},
        {"http://other.test/a/../b.png", "http://other.test:80/b.png"},
        {"HTTP://Other.test:81/c.png", "http://other.test:81/c.png"},
        {"//cdn.test/lib.js", "http://cdn.test:80/lib.js"},
        {"ftp://files.test/pub/f.txt", "ftp://files.test:21/pub/f.txt"},
        {"https://secure.test/x.png", nullptr},
        {"javascript:void(0)", nullptr},
        {"mailto:someone@example.test", nullptr},
        {"#top", nullptr},
        {"", nullptr},
        {"   ", nullptr},
        {"http://bad host/x", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        URL* url = prefetch_link_url(page, c.value);
        if (c.url == nullptr) {
            EXPECT_EQ(url, nullptr) << url_text(url);
        } else {
            ASSERT_NE(url, nullptr);
            EXPECT_EQ(url_text(url), c.url);
            EXPECT_EQ(url->user, nullptr);
        }
        url_free(url);
    }
    http_header_free(page);
}

TEST(PrefetchLink, InternalAddresses) {
    const struct {
        const char* address;
        bool internal;
    } cases[] = {
        {"127.0.0.1", true},     {"127.255.255.254", true}, {"10.0.0.1", true},
        {"172.16.0.1", true},    {"172.31.255.255", true},  {"172.32.0.1", false},
        {"192.168.1.1", true},   {"169.254.169.254", true}, {"100.64.0.1", true},
        {"100.128.0.1", false},  {"0.0.0.0", true},         {"224.0.0.1", true},
        {"255.255.255.255", true}, {"192.0.2.7", false},    {"8.8.8.8", false},
        {"11.0.0.1", false},     {"not an address", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(prefetch_internal_address(c.address), c.internal) << c.address;
}

TEST_F(PrefetchTest, TagsOfRelayedPagesQueueTheirLinks) {
    configure_prefetch("", rule("img", "src", "", "5K") + rule("a", "href", "\\.html$", "0", "2") +
                               rule("a", "data-next"));
    relay("<html><body><IMG ALT=\"\" SRC=\"pic.png\">\n"
          "<img src='/abs.png'><img src=http://other.test/o.png><img alt=none>"
          "<a href=\"next.html\">next</a><a href=\"doc.pdf\" data-next=\"more.html\">pdf</a>"
          "<a href=\"x.zip\">zip</a><img src=\"pic.png\"></body></html>");
    EXPECT_EQ(waiting(), (std::vector<std::string>{
                             "http://origin.test:8080/dir/pic.png 1 5120",
                             "http://origin.test:8080/abs.png 1 5120",
                             "http://other.test:80/o.png 1 5120",
                             "http://origin.test:8080/dir/next.html 1 -1",
                             // the pattern refused doc.pdf: the next rule's
                             // attribute decides
                             "http://origin.test:8080/dir/more.html 1 -1",
                         }));
    EXPECT_EQ(prefetch->queued, 5);
}

TEST_F(PrefetchTest, LinksAreFollowedBelowTheRuleDepth) {
    configure_prefetch("", rule("a", "href", "", "0", "2") + rule("img", "src"));
    for (int depth : {0, 1, 2, 3}) {
        SCOPED_TRACE(depth);
        delete page->htmlstream;
        page->htmlstream = nullptr;
        page->prefetch_depth = depth;
        std::string n = std::to_string(depth);
        relay("<a href=\"d" + n + ".html\"><img src=i" + n + ".png>");
    }
    EXPECT_EQ(waiting(), (std::vector<std::string>{
                             "http://origin.test:8080/dir/d0.html 1 -1",
                             "http://origin.test:8080/dir/i0.png 1 -1",
                             "http://origin.test:8080/dir/d1.html 2 -1",
                             "http://origin.test:8080/dir/i1.png 2 -1",
                             "http://origin.test:8080/dir/i2.png 3 -1",
                             "http://origin.test:8080/dir/i3.png 4 -1",
                         }));

    // A page at the depth of every rule is not parsed at all.
    configure_prefetch("", rule("a", "href", "", "0", "2"));
    delete page->htmlstream;
    page->htmlstream = nullptr;
    page->prefetch_depth = 2;
    prefetch->setup_callbacks(page.get());
    EXPECT_EQ(page->htmlstream, nullptr);
}

TEST_F(PrefetchTest, OnlyTheConfiguredPartOfAPageIsParsed) {
    configure_prefetch("<parse_limit>1K</parse_limit>", rule("img", "src"));
    relay("<img src=early.png>" + std::string(2000, 'x') + "<img src=late.png>");
    EXPECT_EQ(waiting(), (std::vector<std::string>{"http://origin.test:8080/dir/early.png 1 -1"}));
    EXPECT_TRUE(page->htmlstream->truncated());
}

TEST_F(PrefetchTest, WhichResponsesAreParsed) {
    const struct {
        const char* globals;
        const char* content_type; // NULL: none
        bool ssl;
        const char* rules;
        bool parsed;
    } cases[] = {
        {"", "text/html", false, "", true},
        {"", "TEXT/HTML;charset=latin1", false, "", true},
        {"", "text/plain", false, "", false},
        {"", "application/xhtml+xml", false, "", false},
        {"", nullptr, false, "", false},
        {"", "text/html", true, "", false},
        {"<enabled>false</enabled>", "text/html", false, "", false},
        // Rules without a tag or an attribute, or for other profiles, make
        // no parser.
        {"", "text/html", false, "none", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.globals) + (c.content_type ? c.content_type : "(none)") +
                     (c.ssl ? " ssl" : ""));
        std::string rules = std::string(c.rules) == "none"
                                ? rule("", "src") + rule("img", "") +
                                      rule("img", "src", "", "0", "0", "staff")
                                : rule("img", "src");
        configure_prefetch(c.globals, rules);
        delete page->htmlstream;
        page->htmlstream = nullptr;
        free(page->response->content_type);
        page->response->content_type = c.content_type ? strdup(c.content_type) : nullptr;
        page->flags = c.ssl ? CONN_SSL_UPSTREAM : 0;
        prefetch->setup_callbacks(page.get());
        EXPECT_EQ(page->htmlstream != nullptr, c.parsed);
    }
}

TEST_F(PrefetchTest, RulesAreScopedByProfileAndSwitchedOff) {
    configure_prefetch("", rule("img", "src", "", "0", "0", "staff") +
                               rule("img", "src", "", "0", "0", "", "false") +
                               rule("img", "data-src", "", "0", "0", "!staff"));
    relay("<img src=a.png data-src=b.png>");
    EXPECT_EQ(waiting(), (std::vector<std::string>{"http://origin.test:8080/dir/b.png 1 -1"}));
    page->profiles.push_back("staff");
    delete page->htmlstream;
    page->htmlstream = nullptr;
    relay("<img src=c.png data-src=d.png>");
    EXPECT_EQ(waiting(), (std::vector<std::string>{"http://origin.test:8080/dir/b.png 1 -1",
                                                    "http://origin.test:8080/dir/c.png 1 -1"}));
}

TEST_F(PrefetchTest, QueueSizeHostLimitDuplicatesAndCachedUrls) {
    configure_prefetch("<queuesize>10</queuesize><hostlimit>2</hostlimit>", "");
    EXPECT_EQ(add("http://Host.test/1"), 1);
    EXPECT_EQ(add("http://HOST.test/2"), 1);
    EXPECT_EQ(add("http://host.TEST/3"), 0); // a third for the same host
    EXPECT_TRUE(logged("prefetch: max hostlimit: 2 cannot add this request into prefetch "
                       "queue, consider increasing the hostlimit"));
    EXPECT_EQ(add("http://host.test/1"), 0); // waiting already: silently
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(add("http://h" + std::to_string(i) + ".test/"), 1) << i;
    EXPECT_EQ(prefetch->queued, 10);
    EXPECT_EQ(add("http://eleventh.test/"), 0);
    EXPECT_TRUE(logged("prefetch: max quesize: 10 cannot add this request into prefetch queue, "
                       "consider increasing the queuesize"));
    EXPECT_EQ(prefetch->queued, 10);

    // An object in the cache table, even an invalid one, is not queued.
    PREFETCH_QUEUE* first = prefetch->queue_take(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(url_text(first->url), "http://host.test:80/1");
    prefetch_queue_free(first);
    ASSERT_TRUE(store("http://stored.test:80/", cachetest::response(), "body"));
    // Invalidated while a follower holds it: it stays in the table.
    CACHEMAP* writer = create("http://invalid.test:80/");
    ASSERT_NE(writer, nullptr);
    ASSERT_NE(lookup("http://invalid.test:80/"), nullptr);
    cache->invalidate(writer);
    EXPECT_EQ(add("http://stored.test/"), 0);
    EXPECT_EQ(add("http://invalid.test/"), 0);
    EXPECT_EQ(prefetch->queued, 9);

    // A URL without a host (typed in, or a request's) is refused.
    URL* hostless = url_parse("http://nohost.test/a");
    ASSERT_NE(hostless, nullptr);
    free(hostless->host);
    hostless->host = xstrdup("");
    EXPECT_EQ(prefetch->queue_add(hostless, nullptr, -1, 1), 0);
    EXPECT_EQ(prefetch->queued, 9);
}

TEST_F(PrefetchTest, AnEmptyQueueSizeRefusesEverything) {
    configure_prefetch("<queuesize>0</queuesize>", "");
    EXPECT_EQ(add("http://any.test/"), 0);
    EXPECT_EQ(prefetch->queue, nullptr);
}

TEST_F(PrefetchTest, TheQueueIsFirstInFirstOut) {
    configure_prefetch("", "");
    EXPECT_EQ(prefetch->queue_take(0), nullptr);
    for (const char* text : {"http://a.test/", "http://b.test/", "http://c.test/"})
        ASSERT_EQ(add(text), 1);
    for (const char* expected : {"http://a.test:80/", "http://b.test:80/", "http://c.test:80/"}) {
        PREFETCH_QUEUE* record = prefetch->queue_take(0);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(url_text(record->url), expected);
        prefetch_queue_free(record);
    }
    EXPECT_EQ(prefetch->queued, 0);
    EXPECT_EQ(prefetch->tail, nullptr);
    ASSERT_EQ(add("http://d.test/"), 1); // appended to an emptied queue
    EXPECT_EQ(waiting(), (std::vector<std::string>{"http://d.test:80/ 1 -1"}));
}

TEST_F(PrefetchTest, AClientsSecretsStayOutOfTheQueue) {
    configure_prefetch("", "");
    Connection client{"GET http://origin.test/page HTTP/1.1\r\nHost: origin.test\r\n"
                      "Cookie: session=secret\r\ncookie2: $Version=1\r\n"
                      "Authorization: Basic dXNlcjpwYXNz\r\n"
                      "Proxy-Authorization: Basic cHJveHk6cGFzcw==\r\n"
                      "Accept-Language: de\r\nUser-Agent: Browser/1.0\r\n"
                      "X-Custom: kept\r\nConnection: keep-alive\r\n\r\n"};
    // A client's download allowance beyond 4 GiB is kept whole.
    const int64_t allowance = int64_t(5) << 30;
    ASSERT_EQ(prefetch->queue_add(url_parse("http://origin.test/page"), &client->request->lines,
                                  allowance, 1),
              1);
    EXPECT_EQ(prefetch->queue->size_limit, allowance);
    ASSERT_NE(prefetch->queue->headers, nullptr);
    std::vector<std::string> kept;
    for (const HTTP_HEADER& line : *prefetch->queue->headers)
        kept.push_back(line.name + ": " + line.value);
    EXPECT_EQ(kept, (std::vector<std::string>{"Accept-Language: de", "User-Agent: Browser/1.0",
                                               "X-Custom: kept"}));
}
