// The "/ldap" interface page: the form, the cache listing with alternating
// rows, look-ups by name and the escaping of every text.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>

#include "auth/dn_cache.h"
#include "auth/ldap.h"
#include "core/filebuf.h"
#include "core/global.h"
#include "iface/cgimap.h"
#include "iface/ldap_page.h"
#include "support/log_test_support.h"

namespace {

class LdapPageTest : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        global = new GLOBAL();
        pthread_rwlock_init(&global->dn_cache_lock, nullptr);
        global->dn_cache = dn_cache_create(8111);
        saved_ldap_ = ldap_section;
        ldap_section = nullptr; // no directory: names the cache lacks are not found
    }
    void TearDown() override {
        ldap_section = saved_ldap_;
        global = nullptr;
        LogDirTest::TearDown();
    }

    static std::string page(const char* arguments) {
        CGIMap map(arguments);
        Filebuf buffer;
        interface_page_ldap(&buffer, map, nullptr);
        return std::string(buffer.data != nullptr ? buffer.data : "", buffer.size);
    }

private:
    LdapSection* saved_ldap_ = nullptr;
};

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

const char* const FORM_MARK = "<input type=\"text\" name=\"upn\" value=\"\" size=\"125\">";
const char* const HEAD_ROW =
    "<tr class=\"listhead\"><td width=\"25%\">User Name</td><td>LDAP Profiles</td></tr>\n";

TEST_F(LdapPageTest, WithoutArgumentsOnlyTheForm) {
    update_dn_cache("alice", "uid=alice,dc=example", "staff");
    std::string text = page("");
    EXPECT_EQ(text.rfind("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%\">"
                         "<tr><td align=\"center\">\n<table class=\"bigdialog\">\n",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find(FORM_MARK), std::string::npos);
    EXPECT_NE(text.find("<input type=\"hidden\" name=\"show\" value=\"yes\">"), std::string::npos);
    EXPECT_EQ(text.find("alice"), std::string::npos) << text;
    EXPECT_PRED2(ends_with, text, "</form></table>\n</td></tr></table>\n");
}

TEST_F(LdapPageTest, ShowListsTheWholeCacheEscapedInAlternatingRows) {
    update_dn_cache("alice", "uid=alice,dc=example", "staff,admins");
    update_dn_cache("b<o>b", "cn=\"b&b\",dc=example", "");
    update_dn_cache("carol", "uid=carol,dc=example", "");
    std::string text = page("upn=&show=yes");
    EXPECT_NE(text.find(FORM_MARK), std::string::npos);
    size_t head = text.find(HEAD_ROW);
    ASSERT_NE(head, std::string::npos) << text;
    EXPECT_NE(text.find("<td width=\"25%\">alice</td><td>uid=alice,dc=example,staff,admins"
                        "</td></tr>\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("<td width=\"25%\">b&lt;o&gt;b</td><td>cn=&quot;b&amp;b&quot;,"
                        "dc=example</td></tr>\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("<td width=\"25%\">carol</td><td>uid=carol,dc=example</td></tr>\n"),
              std::string::npos);
    // Three rows in chain order: even, odd, even.
    size_t first = text.find("<tr class=\"listeven\">", head);
    size_t second = text.find("<tr class=\"listodd\">", head);
    size_t third = text.find("<tr class=\"listeven\">", first + 1);
    EXPECT_TRUE(first < second && second < third && third != std::string::npos) << text;
    EXPECT_EQ(count_of(text, "<tr class=\"list"), 4); // head row and three entries
    EXPECT_PRED2(ends_with, text,
              "</td></tr></table>\n<tr><td><br></td></tr>\n</td></tr></table></td></tr>"
              "</table>\n");
}

TEST_F(LdapPageTest, LookUpByNames) {
    update_dn_cache("Alice", "uid=alice,dc=example", "staff");
    update_dn_cache("bob", "uid=bob,dc=example", "");
    std::string text = page("upn=alice,,bob,x%26y&show=yes");
    EXPECT_EQ(text.find(FORM_MARK), std::string::npos) << text;
    EXPECT_NE(text.find(HEAD_ROW), std::string::npos);
    EXPECT_NE(text.find("<tr class=\"listeven\"><td width=\"25%\">alice</td><td>"
                        "uid=alice,dc=example,staff</td></tr>\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("<tr class=\"listodd\"><td width=\"25%\">bob</td><td>"
                        "uid=bob,dc=example</td></tr>\n"),
              std::string::npos)
        << text;
    // Without a directory to ask, a name the cache lacks is not found.
    EXPECT_NE(text.find("<tr class=\"listeven\"><td width=\"25%\">x&amp;y</td><td>User not "
                        "found!</td></tr>\n"),
              std::string::npos)
        << text;
    EXPECT_PRED2(ends_with, text,
              "</table></td></tr>\n</td></tr></table></td></tr></table>\n");
}

} // namespace
