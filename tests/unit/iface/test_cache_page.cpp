// The cache browser page: listing with escaped keys and encoded links,
// deleting only through a posted form, never for a pattern that does not
// compile nor for an object in use, and sizes that do not parse.
#include <gtest/gtest.h>

#include <string>

#include "iface/cache_page.h"
#include "iface/cgimap.h"
#include "iface/form_token.h"
#include "support/cache_test_support.h"

namespace {

const char POST[] = "POST http://kestrivan/cache HTTP/1.1\r\nHost: kestrivan\r\n\r\n";
const char GET[] = "GET http://kestrivan/cache HTTP/1.1\r\nHost: kestrivan\r\n\r\n";

const char EVIL[] = "http://evil.test/\"><script>alert(1)</script>";

class CachePageTest : public cachetest::CacheTest {
protected:
    void SetUp() override {
        CacheTest::SetUp();
        for (const char* key : {"http://keep.test/one", "http://keep.test/two",
                                "http://drop.test/three", EVIL})
            ASSERT_TRUE(store(key, cachetest::response(), "body"));
    }

    // The page for the arguments; `with_token` adds the form's token.
    std::string page(const char* request, std::string query, bool with_token = false) {
        sectiontest::Connection page_conn(request);
        CGIMap arguments(query.c_str());
        if (with_token)
            arguments[FORM_TOKEN_ARGUMENT] = interface_form_token(&page_conn.record);
        Filebuf out;
        interface_page_cache(&out, arguments, &page_conn.record);
        return std::string(out.data != nullptr ? out.data : "", out.size);
    }

    bool cached(const std::string& key) { return cache->exists(key.c_str()) != 0; }
};

TEST_F(CachePageTest, TheListEscapesKeysAndEncodesTheirLinks) {
    std::string html = page(GET, "show=yes");
    EXPECT_NE(html.find("listed 4 files"), std::string::npos) << html;
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_NE(html.find("<a href=\"http://xx--cache.evil.test/%22%3E%3Cscript%3Ealert(1)"
                        "%3C/script%3E\">http://evil.test/&quot;&gt;&lt;script&gt;"),
              std::string::npos);
    EXPECT_NE(html.find("<a href=\"http://xx--cache.keep.test/one\">"), std::string::npos);
    // The first visit shows no list.
    EXPECT_EQ(page(GET, "").find("listed"), std::string::npos);
    // The pattern is shown escaped in the form.
    html = page(GET, "show=yes&pattern=%22%3E%3Cb%3E");
    EXPECT_NE(html.find("value=\"&quot;&gt;&lt;b&gt;\""), std::string::npos);
}

TEST_F(CachePageTest, OnlyAPostedFormWithTheTokenDeletes) {
    struct Case {
        const char* request;
        bool token;
        const char* query;
        bool deleted;
        const char* says;
    };
    const Case cases[] = {
        {GET, true, "show=yes&delete=on&pattern=drop", false, "Nothing was changed"},
        {POST, false, "show=yes&delete=on&pattern=drop", false, "Nothing was changed"},
        {POST, true, "show=yes&delete=on&pattern=(drop", false, "does not compile"},
        {POST, true, "show=yes&delete=on&pattern=drop&maxsize=big", false, "is not a size"},
        {POST, true, "show=yes&delete=on&pattern=drop", true, "deleted 1 files"},
    };
    for (const Case& c : cases) {
        std::string html = page(c.request, c.query, c.token);
        EXPECT_NE(html.find(c.says), std::string::npos) << c.query << "\n" << html;
        EXPECT_EQ(cached("http://drop.test/three"), !c.deleted) << c.query;
        EXPECT_TRUE(cached("http://keep.test/one")) << c.query;
        EXPECT_TRUE(cached("http://keep.test/two")) << c.query;
    }
}

TEST_F(CachePageTest, ObjectsInUseStayAndAreCounted) {
    CACHEMAP* held = lookup("http://keep.test/one");
    ASSERT_NE(held, nullptr);
    std::string html = page(POST, "show=yes&delete=on&pattern=keep", true);
    EXPECT_NE(html.find("another 1 files that were in use"), std::string::npos) << html;
    EXPECT_NE(html.find("deleted 1 files"), std::string::npos);
    EXPECT_TRUE(cached("http://keep.test/one"));
    EXPECT_FALSE(cached("http://keep.test/two"));
    cache->cache_close(held, false);
}

} // namespace
