// The status pages with hostile values planted where requests, servers and
// DNS answers put them: every value shows escaped; the "/log" page's
// pattern, size and clear arguments, and its errors.
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "core/filebuf.h"
#include "core/global.h"
#include "core/hash.h"
#include "core/log.h"
#include "core/threads.h"
#include "http/header.h"
#include "iface/cgimap.h"
#include "iface/form_token.h"
#include "iface/status_pages.h"
#include "net/clientpool.h"
#include "net/connection.h"
#include "net/serverpool.h"
#include "support/log_test_support.h"
#include "support/section_test_support.h"

namespace {

const char PROBE[] = "<script>alert(1)</script>\"'&";
const char ESCAPED[] = "&lt;script&gt;alert(1)&lt;/script&gt;&quot;'&amp;";

std::string text_of(const Filebuf& page) {
    return std::string(page.data != nullptr ? page.data : "", page.size);
}

class StatusPages : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        threads_init();
        saved_ = global;
        global = new GLOBAL();
        pthread_mutex_init(&global->mutex, nullptr);
        pthread_mutex_init(&global->dnscache_lock, nullptr);
        global->dnscache = hash_create(8111);
        global->serverpool = new ServerPool();
        global->clientpool = new ClientPool();
        global->logbuffer = log_buffer;
    }
    void TearDown() override {
        hash_destroy(global->dnscache);
        global->stats.Delete();
        global = saved_;
        LogDirTest::TearDown();
    }

    std::string page(void (*show)(Filebuf*, CGIMap&, CONNECTION_T*), CGIMap arguments = {},
                     CONNECTION_T* connection = nullptr) {
        Filebuf page;
        show(&page, arguments, connection);
        return text_of(page);
    }

    GLOBAL* saved_ = nullptr;
};

TEST_F(StatusPages, PlantedValuesShowEscaped) {
    // The DNS cache: a host name and its address text.
    HASH_ENTRY* entry = hash_insert(global->dnscache, PROBE, strdup(PROBE));
    entry->stamp = time(nullptr) - 5;
    std::string dns = page(interface_page_dnscache);
    EXPECT_EQ(dns.find("<script>"), std::string::npos) << dns;
    EXPECT_NE(dns.find(std::string("<td>") + ESCAPED + "</td><td>" + ESCAPED + "</td><td>5</td>"),
              std::string::npos)
        << dns;

    // The server pool: host and user; a pooled socket without user.
    serverpool_t planted = {nullptr, time(nullptr), strdup("http"), strdup(PROBE), strdup(PROBE),
                            strdup("secret"), 80, 0, strdup("")};
    serverpool_t anonymous = {nullptr, time(nullptr), strdup("ftp"), strdup("ftp.example"),
                              nullptr, nullptr, 21, 0, strdup("")};
    global->serverpool->pool.push_back(&planted);
    global->serverpool->pool.push_back(&anonymous);
    std::string pool = page(interface_page_pool);
    global->serverpool->pool.clear();
    for (serverpool_t* e : {&planted, &anonymous}) {
        free(e->protocol);
        free(e->host);
        free(e->user);
        free(e->password);
        free(e->route);
    }
    EXPECT_EQ(pool.find("<script>"), std::string::npos) << pool;
    EXPECT_EQ(pool.find("secret"), std::string::npos) << pool;
    EXPECT_NE(pool.find(std::string("<td>") + ESCAPED + "</td><td>80</td><td>" + ESCAPED),
              std::string::npos)
        << pool;
    EXPECT_NE(pool.find("<td>ftp.example</td><td>21</td><td>(none)</td>"), std::string::npos)
        << pool;

    // A request being served: its address, method and URL.
    pthread_mutex_lock(&threadlistlock);
    threads[0].state = THREAD_SERVING;
    threads[0].url = strdup(PROBE);
    threads[0].method = strdup(PROBE);
    threads[0].ip = strdup("127.0.0.1");
    pthread_mutex_unlock(&threadlistlock);
    std::string connections = page(interface_page_connections);
    pthread_mutex_lock(&threadlistlock);
    thread_slot_forget_request_locked(threads[0]);
    threads[0].state = THREAD_STARTING;
    pthread_mutex_unlock(&threadlistlock);
    EXPECT_EQ(connections.find("<script>"), std::string::npos) << connections;
    EXPECT_NE(connections.find(std::string("<td>127.0.0.1</td><td>0</td><td>") + ESCAPED +
                               "</td><td>" + ESCAPED + "</td>"),
              std::string::npos)
        << connections;
    EXPECT_NE(connections.find("Client pool"), std::string::npos);

    // The administrator's own header lines.
    std::string request = std::string("GET http://kestrivan/headers HTTP/1.1\r\nHost: kestrivan\r\n"
                                      "X-Probe: ") +
                          PROBE + "\r\n\r\n";
    CONNECTION_T connection{};
    connection.request = http_header_parse_request(request.c_str());
    ASSERT_NE(connection.request, nullptr);
    std::string headers = page(interface_page_headers, {}, &connection);
    http_header_free(connection.request);
    EXPECT_EQ(headers.find("<script>"), std::string::npos) << headers;
    EXPECT_NE(headers.find(std::string("<td>X-Probe</td><td>") + ESCAPED + "</td>"),
              std::string::npos)
        << headers;
    EXPECT_NE(headers.find("<b>Filtered</b>"), std::string::npos);
}

// The log page's arguments as its form posts them, with the page's token.
std::string posted_log_page(const char* arguments) {
    sectiontest::Connection form("POST http://kestrivan/log HTTP/1.1\r\nHost: kestrivan\r\n\r\n");
    CGIMap map(arguments);
    map[FORM_TOKEN_ARGUMENT] = interface_form_token(form.get());
    Filebuf page;
    interface_page_log(&page, map, form.get());
    return text_of(page);
}

TEST_F(StatusPages, LogPageSearchesResizesClearsAndReportsBadInput) {
    logbuffer_add(log_buffer, "first error line");
    logbuffer_add(log_buffer, "a warning");
    logbuffer_add(log_buffer, (std::string("second ERROR ") + PROBE).c_str());

    // The pattern selects lines in any case, newest first; lines and the
    // pattern itself show escaped.
    std::string shown = page(interface_page_log, CGIMap("pattern=error"));
    size_t second = shown.find(std::string("second ERROR ") + ESCAPED);
    size_t first = shown.find("first error line");
    ASSERT_NE(second, std::string::npos) << shown;
    ASSERT_NE(first, std::string::npos);
    EXPECT_LT(second, first);
    EXPECT_EQ(shown.find("a warning"), std::string::npos);
    shown = page(interface_page_log, CGIMap("pattern=%22%3E%3Cscript%3E"));
    EXPECT_NE(shown.find("value=\"&quot;&gt;&lt;script&gt;\""), std::string::npos) << shown;

    // A pattern that does not compile is an error on the page; it filters
    // nothing.
    shown = page(interface_page_log, CGIMap("pattern=(unclosed"));
    EXPECT_NE(shown.find("Error: the pattern does not compile"), std::string::npos) << shown;
    EXPECT_NE(shown.find("a warning"), std::string::npos);

    // Sizes: not a number, or too large, is an error and changes nothing;
    // -1 changes nothing; 0 drops every line.
    struct {
        const char* size;
        bool error;
        int capacity;
    } cases[] = {
        {"abc", true, 1000}, {"12abc", true, 1000}, {"", false, 1000}, {"-1", false, 1000},
        {"-5", true, 1000},  {"100001", true, 1000}, {"99999999999999999999", true, 1000},
        {"2", false, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        shown = posted_log_page((std::string("size=") + c.size).c_str());
        EXPECT_EQ(shown.find("Error: the log buffer size") != std::string::npos, c.error) << shown;
        EXPECT_EQ(log_buffer->capacity, c.capacity);
    }
    EXPECT_EQ(log_buffer->count, 2);
    EXPECT_NE(shown.find("name=\"size\" value=\"2\""), std::string::npos);

    // A link or another site's form changes nothing.
    shown = page(interface_page_log, CGIMap("clear=on&size=50"));
    EXPECT_NE(shown.find("Error: Nothing was changed"), std::string::npos) << shown;
    EXPECT_EQ(log_buffer->count, 2);
    EXPECT_EQ(log_buffer->capacity, 2);

    // Clear before resize: empty, then room for 50.
    posted_log_page("clear=on&size=50");
    EXPECT_EQ(log_buffer->count, 0);
    EXPECT_EQ(log_buffer->capacity, 50);
    posted_log_page("size=0");
    logbuffer_add(log_buffer, "kept nowhere");
    EXPECT_EQ(log_buffer->count, 0);
}

} // namespace
