#include "filter/vantori_page.h"

#include <stdlib.h>
#include <string.h>

#include "core/filebuf.h"
#include "core/misc.h"
#include "filter/vantori.h"
#include "iface/cgimap.h"

namespace {

void append_form(Filebuf* page) {
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\">Hostname</td></tr>\n");
    page->Addf("<form action=\"vantori\" method=\"POST\">\n");
    page->Addf("<tr><td>Enter the comma separated list of domains to identify vantori</td>"
               "<td><input type=\"text\" name=\"domain\" value=\"\" size=\"125\"></td></tr>\n");
    page->Addf("<tr><td width=\"10%%\">refresh</td><td align=\"center\">Yes: <input type=\"radio\" "
               "name=\"refresh\" value=\"yes\" checked> No: <input type=\"radio\" name=\"refresh\" "
               "value=\"no\"></td></tr>\n");
    page->Addf("<tr><td><br></td></tr> <tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\">"
               "<input type=\"submit\" value=\"Submit\"></td></tr>\n");
    page->Addf("</form></table>\n");
    page->Addf("</td></tr></table>\n");
}

// The two caption rows and two score rows of one site (all 0 when it has
// no scores).
void append_scores(Filebuf* page, const char* row_class, const int* s) {
    page->Addf("<tr><td align=\"center\">\n<table class=\"list\">\n");
    page->Addf("<tr class=\"%s\">", row_class);
    page->Addf("<td><b>Category</b></td><td>Ads</td><td>Adult</td><td>Adult Education</td>"
               "<td>Arts</td><td>Chat</td><td>Drugs</td><td>Education</td><td>Fileshare</td>"
               "<td>Finance</td><td>Gambling</td><td>Games</td><td>Government</td><td>Hacking</td>"
               "<td>Hate</td><td>Highrisk</td><td>Housekeeping</td></tr>");
    page->Addf("<tr><td><b>Score</b></td><td >%d</td> <td>%d</td> <td>%d</td> <td>%d</td> "
               "<td>%d</td> <td>%d</td> <td>%d</td> <td>%d</td> <td>%d</td> <td>%d</td> <td>%d</td> "
               "<td>%d</td> <td>%d</td> <td>%d</td> <td>%d</td> <td>%d</td></tr>",
               s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8], s[9], s[10], s[11], s[12], s[13],
               s[14], s[15]);
    page->Addf("<tr class=\"%s\">", row_class);
    page->Addf("<td><b>Category</b></td><td>Instantmessaging</td><td>Jobs</td><td>Leisure</td>"
               "<td>Mail</td><td>Multimedia</td><td>News</td><td>Porn</td><td>Proxy</td>"
               "<td>Searchengines</td><td>Shopping</td><td>Social</td><td>Sports</td>"
               "<td>Systemutils</td><td>Travel</td><td>Business</td><td></td></tr>\n");
    page->Addf(" <td><b>Score</b></td><td>%d</td><td>%d</td><td>%d</td><td>%d</td><td>%d</td>"
               "<td>%d</td><td>%d</td><td>%d</td><td>%d</td><td>%d</td><td>%d</td><td>%d</td>"
               "<td>%d</td><td>%d</td><td>%d</td><td>%d</td><td></td></tr>\n",
               s[16], s[17], s[18], s[19], s[20], s[21], s[22], s[23], s[24], s[25], s[26], s[27],
               s[28], s[29], s[30], s[31]);
    page->Addf("</td></tr></table>\n");
    page->Addf("</td></tr></table>\n");
}

void append_site(Filebuf* page, const char* site, const char* row_class, bool refresh) {
    if (refresh)
        vantori_section->vantori_cache_purge(site);
    char* shown = string_to_html(site, 0);
    page->Addf("<tr><td align=\"center\">\n");
    page->Addf("<table class=\"bigdialog\"><tr class=\"listhead\"><td align=\"center\">%s</td></tr>"
               "</table>\n",
               shown);
    free(shown);
    int scores[CATEGORY_SCORES] = {0};
    if (vantori_section->vantori_cache_search(site, scores) == 0)
        memset(scores, 0, sizeof scores);
    append_scores(page, row_class, scores);
}

} // namespace

void interface_page_vantori(Filebuf* page, CGIMap& arguments, CONNECTION_T*) {
    const std::string& domain = arguments["domain"];
    bool refresh = arguments["refresh"] == "yes";
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\">");
    if (domain.empty() || vantori_section == nullptr) {
        append_form(page);
        return;
    }
    page->Addf("<tr><td><table class=\"bigdialog\">\n");
    char** sites = string_break(domain.c_str(), ',');
    int shown = 0;
    for (char** site = sites; site != nullptr && *site != nullptr; site++) {
        if ((*site)[0] == '\0')
            continue;
        if (shown == VANTORI_PAGE_SITES) {
            page->Addf("<tr><td align=\"center\">Only the first %d sites are shown.</td></tr>\n",
                       VANTORI_PAGE_SITES);
            break;
        }
        append_site(page, *site, shown % 2 == 0 ? "listodd" : "listeven", refresh);
        shown++;
    }
    array_free(sites);
    page->Addf("</table></td></tr>\n");
    page->Addf("</td></tr></table></td></tr></table>\n");
}
