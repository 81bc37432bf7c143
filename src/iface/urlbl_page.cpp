// The status page "/urlbl": a search through the URL black-list database
// by category, domain pattern and path pattern.
#include <string>
#include <vector>

#include "core/filebuf.h"
#include "core/regexp.h"
#include "filter/urlbl.h"
#include "iface/cgimap.h"
#include "iface/html.h"
#include "iface/status_pages.h"

namespace {

// The most rows one search lists: the section's read lock is held while
// the list is built, and black-list checks of requests wait for it.
const unsigned URLBL_PAGE_MAX_ROWS = 10000;

// The compiled pattern, or NULL for an empty one or one that does not
// compile (the page then says so, and the pattern filters nothing).
reg_pattern_t* compile_search(Filebuf* page, const char* label, const std::string& pattern) {
    if (pattern.empty())
        return nullptr;
    std::string reason;
    if (!reg_check(pattern.c_str(), REGEXP_ICASE, &reason)) {
        html_error(page, std::string("the ") + label + " pattern does not compile: " + reason);
        return nullptr;
    }
    return reg_compile(pattern.c_str(), REGEXP_ICASE);
}

bool matches(const reg_pattern_t* pattern, const char* text) {
    return pattern == nullptr || reg_exec(pattern, text) == 0;
}

class Listing {
public:
    explicit Listing(Filebuf* page) : page_(page) {}
    // False once the list is full.
    bool add(const std::string& category, const std::string& domain, const char* path) {
        if (row_ >= URLBL_PAGE_MAX_ROWS) {
            full_ = true;
            return false;
        }
        page_->Addf("<tr class=\"%s\"><td>", html_row_class(row_++));
        html_add(page_, category);
        page_->Addf("</td><td>");
        html_add(page_, domain);
        page_->Addf("</td><td>");
        html_add(page_, path);
        page_->Addf("</td></tr>\n");
        return true;
    }
    bool full() const { return full_; }

private:
    Filebuf* page_;
    unsigned row_ = 0;
    bool full_ = false;
};

// Rows of one category; false once the list is full.
bool list_category(Listing& listing, const std::string& name, const URLBLDomains& domains,
                   const reg_pattern_t* domain_pattern, const reg_pattern_t* file_pattern) {
    for (const auto& [domain, paths] : domains) {
        if (!matches(domain_pattern, domain.c_str()))
            continue;
        if (paths.empty()) {
            if (matches(file_pattern, "/") && !listing.add(name, domain, "/"))
                return false;
            continue;
        }
        for (const std::string& path : paths)
            if (matches(file_pattern, path.c_str()) && !listing.add(name, domain, path.c_str()))
                return false;
    }
    return true;
}

} // namespace

void interface_page_urlbl(Filebuf* page, CGIMap& arguments, CONNECTION_T*) {
    if (urlbl_section == nullptr)
        return;
    const bool show = arguments["show"] == "true";
    const std::string domain = arguments["domain"];
    const std::string file = arguments["file"];
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr><td "
               "align=\"center\">\n");
    reg_pattern_t* domain_pattern = show ? compile_search(page, "domain", domain) : nullptr;
    reg_pattern_t* file_pattern = show ? compile_search(page, "file", file) : nullptr;

    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\">Search URL blacklist</td></tr>\n");
    page->Addf("<form action=\"urlbl\" method=\"POST\">\n");
    page->Addf("<tr><td colspan=\"2\"><table class=\"checklist\"><tr>\n");
    urlbl_section->read_lock();
    std::vector<const std::string*> ticked;
    unsigned column = 0;
    for (const auto& [name, domains] : urlbl_section->database) {
        // The first visit ticks every category.
        bool on = !show || !arguments[name].empty();
        if (on)
            ticked.push_back(&name);
        if (column > 0 && column % 8 == 0)
            page->Addf("</tr><tr>\n");
        column++;
        page->Addf("<td><input type=\"checkbox\" name=\"");
        html_add(page, name);
        page->Addf("\"%s></td><td>", on ? " checked" : "");
        html_add(page, name);
        page->Addf("</td>");
    }
    page->Addf("</tr></table></td></tr>\n");
    page->Addf("<tr><td>Domain:</td><td><input type=\"text\" name=\"domain\" value=\"");
    html_add(page, domain);
    page->Addf("\" size=\"80\"></td></tr>\n");
    page->Addf("<tr><td>File:</td><td><input type=\"text\" name=\"file\" value=\"");
    html_add(page, file);
    page->Addf("\" size=\"80\"></td></tr>\n");
    page->Addf("<input type=\"hidden\" name=\"show\" value=\"true\">\n");
    page->Addf("<tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\"><input "
               "type=\"submit\" value=\"Search\"></td></tr>\n");
    page->Addf("</form></table>\n");

    if (show) {
        page->Addf("</td></tr><tr><td><br></td></tr><tr><td>\n<table class=\"list\">\n");
        page->Addf("<tr class=\"listhead\"><td>Category</td><td>Domain</td><td>Path</td></tr>\n");
        Listing listing(page);
        for (const std::string* name : ticked)
            if (!list_category(listing, *name, urlbl_section->database.find(*name)->second,
                               domain_pattern, file_pattern))
                break;
        page->Addf("</table>\n");
        if (listing.full())
            page->Addf("<p>Only the first %u entries are shown; narrow the search.</p>\n",
                       URLBL_PAGE_MAX_ROWS);
    }
    urlbl_section->unlock();
    page->Addf("</td></tr></table>\n");
    if (domain_pattern != nullptr)
        reg_free(domain_pattern);
    if (file_pattern != nullptr)
        reg_free(file_pattern);
}
