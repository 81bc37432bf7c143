// The interface page "/vantori": the form, the score tables of sites, the
// refresh, escaping and the bound on sites.
#include <gtest/gtest.h>

#include <string>

#include "core/filebuf.h"
#include "filter/vantori_page.h"
#include "iface/cgimap.h"
#include "support/vantori_test_support.h"

using vantoritest::VantoriTest;

namespace {

class VantoriPageTest : public VantoriTest {
protected:
    std::string page(const std::string& query) {
        CGIMap arguments(query.c_str());
        Filebuf body;
        interface_page_vantori(&body, arguments, nullptr);
        return std::string(body.data != nullptr ? body.data : "", body.size);
    }
    static size_t count(const std::string& text, const std::string& piece) {
        size_t found = 0;
        for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
            found++;
        return found;
    }
};

TEST_F(VantoriPageTest, WithoutSitesTheFormAsksForThem) {
    std::string form = page("");
    EXPECT_NE(form.find("<form action=\"vantori\" method=\"POST\">"), std::string::npos);
    EXPECT_NE(form.find("width=\"10%\""), std::string::npos);
    EXPECT_EQ(form.find("Score"), std::string::npos);
    EXPECT_EQ(page("domain=,,"), page("domain=,,"));
    EXPECT_EQ(service.asked_count(), 0u);
}

TEST_F(VantoriPageTest, EachSiteGetsItsTableInAlternatingRows) {
    service.scores("one.test", {{"ads", 11}, {"housekeeping", 26}});
    service.scores("two.test", {{"instantmessaging", 3}, {"business", 44}});
    std::string shown = page("domain=one.test,,two.test,unknown.test&refresh=no");
    EXPECT_EQ(count(shown, "<tr class=\"listodd\">"), 4u);
    EXPECT_EQ(count(shown, "<tr class=\"listeven\">"), 2u);
    EXPECT_LT(shown.find("one.test"), shown.find("two.test"));
    EXPECT_NE(shown.find("<td><b>Score</b></td><td >11</td> <td>0</td>"), std::string::npos);
    EXPECT_NE(shown.find("<td>0</td> <td>26</td></tr>"), std::string::npos);
    EXPECT_NE(shown.find(" <td><b>Score</b></td><td>3</td>"), std::string::npos);
    // Business is slot 30; the unnamed slot 31 follows it.
    EXPECT_NE(shown.find("<td>44</td><td>0</td><td></td></tr>"), std::string::npos);
    // A site nobody knows shows zeros and stays unknown for a while.
    EXPECT_NE(shown.find("<td><b>Score</b></td><td >0</td>"), std::string::npos);
    EXPECT_EQ(service.asked_count(), 3u);

    page("domain=one.test,two.test&refresh=no");
    EXPECT_EQ(service.asked_count(), 3u);
    page("domain=one.test&refresh=yes");
    EXPECT_EQ(service.asked_count(), 4u);
}

TEST_F(VantoriPageTest, SiteNamesAreEscapedAndTheirNumberBounded) {
    std::string shown = page("domain=%3Cscript%3Ex%26y%22.test");
    EXPECT_NE(shown.find("&lt;script&gt;x&amp;y&quot;.test"), std::string::npos);
    EXPECT_EQ(shown.find("<script>"), std::string::npos);

    std::string many;
    for (int i = 0; i <= VANTORI_PAGE_SITES; i++)
        many += "s" + std::to_string(i) + ".test,";
    shown = page("domain=" + many);
    EXPECT_EQ(service.asked_count(), 1u + VANTORI_PAGE_SITES);
    EXPECT_NE(shown.find("Only the first 50 sites are shown."), std::string::npos);
}

} // namespace
