// The URL black lists; see urlbl.h.
#include "filter/urlbl.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <string_view>

#include "core/compat.h"
#include "core/extensions.h"
#include "core/log.h"
#include "http/header.h"
#include "http/url.h"
#include "net/connection.h"

URLBLSection* urlbl_section = nullptr;

namespace {

enum { B_CATEGORIES = 4, B_TEMPLATE = 5 };
enum { G_DIRECTORY = 2, G_TEMPLATE = 3 };

const char* or_empty(const char* text) {
    return text != nullptr ? text : "";
}

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// The name's labels joined by single dots: "a..b." is "a.b", as a host with
// a stray dot still names its domain.
std::string labels_of(std::string_view name) {
    std::string joined;
    joined.reserve(name.size());
    for (char c : name) {
        if (c == '.' && (joined.empty() || joined.back() == '.'))
            continue;
        joined += c;
    }
    if (!joined.empty() && joined.back() == '.')
        joined.pop_back();
    return joined;
}

// A database domain: cut, lower-cased, labels cleaned. Blanks and dots at
// either end belong to no label.
std::string domain_of(std::string_view text) {
    text = text.substr(0, URLBL_DOMAIN_MAX);
    while (!text.empty() && (blank(text.front()) || text.front() == '.'))
        text.remove_prefix(1);
    while (!text.empty() && (blank(text.back()) || text.back() == '.'))
        text.remove_suffix(1);
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return labels_of(lower);
}

// Enters one line of a list file (see urlbl.h).
void list_line(std::string_view line, bool urls, URLBLDomains& category) {
    line = trimmed(line);
    if (line.empty())
        return;
    if (!urls) {
        std::string domain = domain_of(line);
        if (!domain.empty())
            category[domain].clear(); // the whole domain, whatever was listed before
        return;
    }
    size_t slash = line.find('/');
    std::string domain = domain_of(line.substr(0, slash));
    if (domain.empty())
        return;
    // A line without a path lists every path: the empty prefix.
    std::string prefix(slash == std::string_view::npos ? std::string_view() : line.substr(slash));
    auto found = category.find(domain);
    if (found == category.end())
        category[domain].push_back(prefix);
    else if (!found->second.empty())
        found->second.push_back(prefix);
    // else listed whole already: nothing to add
}

// Reads the category directories of `directory` into `database`; false
// (errno set) when the directory cannot be opened.
bool database_read(const std::string& directory, URLBLDatabase& database, int& categories) {
    DIR* dir = s_opendir(directory.c_str());
    if (dir == nullptr)
        return false;
    categories = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        std::string path = directory + "/" + entry->d_name;
        struct stat status;
        if (stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            continue;
        categories++;
        URLBLDomains& category = database[entry->d_name];
        category.clear();
        // "domains" first, so that its whole domains ignore "urls" lines.
        for (bool urls : {false, true}) {
            FILE* file = s_fopen((path + (urls ? "/urls" : "/domains")).c_str(), "r");
            if (file == nullptr)
                continue; // a category may have either file, or none
            urlbl_read_list(file, urls, category);
            fclose(file);
        }
    }
    closedir(dir);
    return true;
}

} // namespace

void urlbl_read_list(FILE* file, bool urls, URLBLDomains& category) {
    std::string line;
    line.reserve(URLBL_LINE_MAX);
    for (;;) {
        line.clear();
        int c;
        bool read_any = false;
        // The rest of an overlong line is skipped, never taken as a line.
        while ((c = getc_unlocked(file)) != EOF && c != '\n') {
            read_any = true;
            if (line.size() < URLBL_LINE_MAX)
                line += static_cast<char>(c);
        }
        if (read_any)
            list_line(line, urls, category);
        if (c == EOF)
            return;
    }
}

URLBL::URLBL(const Item& entry)
    : RuleScope(entry), template_name(entry.fields.at(B_TEMPLATE).text) {
    for (const std::string& name : entry.fields.at(B_CATEGORIES).list)
        categories.push_back(name);
    std::sort(categories.begin(), categories.end());
    categories.erase(std::unique(categories.begin(), categories.end()), categories.end());
}

URLBLSection::URLBLSection() : RuleSection<URLBL>("urlblacklist", BYPASS_URLBL) {
    directory = &global_field(G_DIRECTORY, FIELD_STRING).text;
    template_name = &global_field(G_TEMPLATE, FIELD_STRING).text;
    const std::vector<int> rule_fields = {FIELD_BOOL,        FIELD_STRING,      FIELD_STRING_LIST,
                                          FIELD_STRING_LIST, FIELD_STRING_LIST, FIELD_STRING};
    subsection_at(0, rule_fields);
    subsection_at(1, rule_fields);
    processors.Add(urlbl_reqcheck, PROCESSOR_REQCHECK);
}

void URLBLSection::update() {
    rules_rebuild();
}

void URLBLSection::load() {
    read_lock();
    std::string path = *directory;
    unlock();
    if (path.empty())
        return; // no database configured
    URLBLDatabase loaded;
    int categories = 0;
    if (!database_read(path, loaded, categories)) {
        int error = errno;
        putlog(LOG_URLBLACKLIST,
               "[system: opendir:%d:%s], in %s, failed to load URL blacklist from %s", error,
               strerror(error), __func__, path.c_str());
        return;
    }
    write_lock();
    database.swap(loaded);
    unlock();
    putlog(LOG_URLBLACKLIST, "loaded %d categories", categories);
}

const std::string* URLBLSection::listing(const URLBL& rule, std::string_view host,
                                         const char* path) const {
    for (const std::string& name : rule.categories) {
        auto category = database.find(name);
        if (category == database.end())
            continue;
        const URLBLDomains& domains = category->second;
        // Suffixes from the shortest: "test", "example.test", ...
        size_t start = host.size();
        for (;;) {
            size_t dot = start == 0 ? std::string_view::npos : host.rfind('.', start - 1);
            start = dot == std::string_view::npos ? 0 : dot + 1;
            auto domain = domains.find(host.substr(start));
            if (domain != domains.end()) {
                if (domain->second.empty())
                    return &category->first;
                for (const std::string& prefix : domain->second)
                    if (strncasecmp(prefix.c_str(), path, prefix.size()) == 0)
                        return &category->first;
            }
            if (start == 0)
                break;
            start = dot;
        }
    }
    return nullptr;
}

const URLBL* URLBLSection::check(CONNECTION_T* connection) const {
    const HEADER* request = connection->request;
    if (!takes_part(connection) || request == nullptr || request->host == nullptr ||
        request->host[0] == '\0')
        return nullptr;
    // Most hosts need no cleaning, and then no copy.
    std::string_view host = request->host;
    std::string cleaned;
    if (host.front() == '.' || host.back() == '.' || host.find("..") != std::string_view::npos) {
        cleaned = labels_of(host);
        host = cleaned;
    }
    std::string scratch;
    const char* path = url_path_unreserved(or_empty(request->path), scratch);
    RuleVerdict<URLBL> verdict = decide([&](const URLBL& rule, rule_list_t) {
        if (!rule.applies(connection))
            return RULE_NO_MATCH;
        const std::string* category = listing(rule, host, path);
        if (category == nullptr)
            return RULE_NO_MATCH;
        template_variables& variables = connection->variables;
        variables.erase("FILTER");
        variables.erase("REASON");
        variables["CATEGORY"] = *category;
        variables["FILTER"] = "URL BlackList";
        putlog(LOG_URLBLACKLIST, "[IP:%s] match found in %s category",
               or_empty(connection->client_ip), category->c_str());
        connection->log.filter_name = "urlbl";
        connection->log.filtering_reason = *category;
        return RULE_MATCH;
    });
    if (!verdict.refused)
        return nullptr;
    return verdict.rule != nullptr ? verdict.rule : &default_rule;
}

int URLBLSection::check_and_block(CONNECTION_T* connection) {
    BlockNotice notice;
    read_lock();
    const URLBL* rule = check(connection);
    if (rule != nullptr)
        notice.page = block_page_choose(rule->template_name, *template_name, "blacklisted");
    unlock();
    if (rule == nullptr)
        return 0;
    const HEADER* request = connection->request;
    putlog(LOG_URLBLACKLIST, "blocked %s%s", or_empty(request->host), or_empty(request->path));
    notice.label = "URL BlackList";
    notice.filter_name = "urlbl";
    // The category the verdict recorded; none when the default rule refused.
    auto category = connection->variables.find("CATEGORY");
    if (rule != &default_rule && category != connection->variables.end()) {
        notice.variables.emplace_back("CATEGORY", category->second);
        notice.log_reason = category->second;
    }
    block_send(connection, notice);
    return 1;
}

int urlbl_reqcheck(CONNECTION_T* connection, Filebuf*) {
    return urlbl_section != nullptr ? urlbl_section->check_and_block(connection) : 0;
}
