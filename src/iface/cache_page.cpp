// The page "/cache" (declared in cache_page.h).
#include "iface/cache_page.h"

#include <stdint.h>
#include <string.h>
#include <time.h>

#include <string>

#include "cache/cache.h"
#include "cache/store.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/regexp.h"
#include "iface/cache_search.h"
#include "iface/cgimap.h"
#include "iface/form_token.h"
#include "iface/html.h"
#include "net/connection.h"

namespace {

// Longest scheme of a listed key.
const size_t SCHEME_MAX = 15;

unsigned percent_of(uint64_t part, uint64_t whole) {
    if (part == 0 || whole == 0)
        return 0;
    return static_cast<unsigned>(static_cast<double>(part) / static_cast<double>(whole) * 100.0);
}

// The fill of the memory cache and of every store; the cache mutex is held.
void summary(Filebuf* page, const CacheSection* cache) {
    page->Addf("<table class=\"bigdialog\">\n"
               "<tr class=\"dialoghead\"><td align=\"center\" colspan=\"2\">Cache "
               "information</td></tr>\n");
    if (cache == nullptr) {
        page->Addf("</table>\n");
        return;
    }
    uint64_t memory = cache->memory_size != nullptr ? *cache->memory_size : 0;
    page->Addf("<tr class=\"listeven\"><td>Memory cache</td><td>%d entries / %llu bytes / %u%% "
               "used</td></tr>\n",
               cache->mem_objects, static_cast<unsigned long long>(cache->mem_bytes),
               percent_of(cache->mem_bytes, memory));
    for (const Store* store : cache->stores) {
        if (store->path == nullptr || store->path->empty())
            continue;
        page->Addf("<tr><td>Disk cache ");
        html_add(page, *store->path);
        page->Addf("</td><td>%d entries / %llu bytes / %u%% used</td></tr>\n", store->entries,
                   static_cast<unsigned long long>(store->bytes),
                   percent_of(store->bytes, store->limit != nullptr ? *store->limit : 0));
    }
    page->Addf("</table>\n");
}

// One date row of the search form.
void date_row(Filebuf* page, const char* label, const char* prefix, const char* box_label,
              const char* box_name, const cache_date_t& date) {
    page->Addf("<tr><td>%s</td><td>Date: <select name=\"%smonth\">\n", label, prefix);
    for (int month = 0; month < 12; month++)
        page->Addf("<option value=\"%s\" %s>%s\n", calendar_months[month],
                   month == date.month ? "selected" : "", calendar_months[month]);
    page->Addf("</select>\n<select name=\"%sday\">\n", prefix);
    for (int day = 1; day <= 31; day++)
        page->Addf("<option value=\"%d\" %s>%d\n", day, day == date.day ? "selected" : "", day);
    page->Addf("</select>\n<input type=\"text\" name=\"%syear\" value=\"%d\" size=\"4\">\n"
               "Time: <input type=\"text\" name=\"%shour\" value=\"%.2d\" size=\"2\">:\n"
               "<input type=\"text\" name=\"%sminute\" value=\"%.2d\" size=\"2\"> UTC\n"
               "%s<input type=\"checkbox\" name=\"%s\" %s></td></tr>\n",
               prefix, date.year, prefix, date.hour, prefix, date.minute, box_label, box_name,
               date.box ? "checked" : "");
}

void search_form(Filebuf* page, const cache_search_t& search, const CONNECTION_T* connection) {
    page->Addf("<br><table class=\"bigdialog\">\n"
               "<tr class=\"dialoghead\"><td align=\"center\" colspan=\"2\">Regular expression "
               "match</td></tr>\n"
               "<form action=\"cache\" method=\"POST\">\n"
               "<input type=\"hidden\" name=\"show\" value=\"yes\">\n");
    interface_form_token_field(page, connection);
    page->Addf("<tr><td align=\"center\" colspan=\"2\"><input type=\"text\" name=\"pattern\" "
               "value=\"");
    html_add(page, search.pattern);
    page->Addf("\" size=\"80\"></td></tr>\n");
    date_row(page, "Modified after", "ma", " Epoch time: ", "maepoch", search.modified_after);
    date_row(page, "Modified before", "mb", " Current time: ", "mbcurtime",
             search.modified_before);
    date_row(page, "Accessed after", "aa", " Epoch time: ", "aaepoch", search.accessed_after);
    date_row(page, "Accessed before", "ab", " Current time: ", "abcurtime",
             search.accessed_before);
    page->Addf("<tr><td>File size</td><td>All sizes: <input type=\"checkbox\" name=\"allsizes\" "
               "%s> \n<input type=\"textbox\" name=\"minsize\" value=\"%llu\" size=\"10\">"
               " - <input type=\"textbox\" name=\"maxsize\" value=\"%llu\" size=\"20\"> bytes"
               "</td></tr>\n"
               "<tr><td align=\"center\" colspan=\"2\">Delete matches: <input type=\"checkbox\" "
               "name=\"delete\"></td></tr>\n"
               "<tr class=\"dialogfoot\"><td align=\"center\" colspan=\"2\"><input "
               "type=\"submit\" value=\"Submit\"></td></tr>\n"
               "</form></table>\n",
               search.all_sizes ? "checked" : "",
               static_cast<unsigned long long>(search.min_size),
               static_cast<unsigned long long>(search.max_size));
}

void message_rows(Filebuf* page, const StringList& messages) {
    page->Addf("<br><table class=\"bigdialog\">\n");
    for (const std::string& message : messages) {
        page->Addf("<tr><td style=\"color: rgb(102, 0, 0)\">");
        html_add(page, message);
        page->Addf("</td></tr>\n");
    }
    page->Addf("</table>\n");
}

// One listed object; the cache mutex is held.
void object_row(Filebuf* page, const CACHEMAP* object, unsigned row) {
    const std::string key = object->key;
    const std::string link = cache_key_link(key);
    page->Addf("<tr class=\"%s\"><td>", html_row_class(row));
    if (!link.empty())
        page->Addf("<a href=\"%s\">", link.c_str());
    html_add(page, key);
    page->Addf("%s</td><td align=\"right\">%llu</td><td align=\"center\">%s</td>"
               "<td align=\"center\">%s</td><td>%d</td></tr>\n",
               link.empty() ? "" : "</a>", static_cast<unsigned long long>(object->size),
               (object->flags & CACHE_MEM) ? "yes" : "no",
               (object->flags & CACHE_DISK) ? "yes" : "no", object->refcount);
}

// Walks the whole table: lists or deletes the objects the search admits;
// the cache mutex is held.
void walk(Filebuf* page, CacheSection* cache, const cache_search_t& search,
          const reg_pattern_t* pattern) {
    page->Addf("<br><table class=\"list\">\n<tr class=\"listhead\"><td>URL</td><td>Size</td>"
               "<td>Mem</td><td>Disk</td><td>Users</td></tr>\n");
    unsigned listed = 0, in_use = 0, deleted = 0;
    for (unsigned chain = 0; cache != nullptr && cache->table != nullptr &&
                             chain < cache->table_size;
         chain++) {
        CACHEMAP* next = nullptr;
        for (CACHEMAP* object = cache->table[chain]; object != nullptr; object = next) {
            next = object->chain_next;
            if (object->key == nullptr ||
                !cache_search_admits(search, object->mtime, object->atime, object->size))
                continue;
            if (object->refcount != 0) {
                in_use++;
                continue;
            }
            if (pattern != nullptr && reg_exec(pattern, object->key) != 0)
                continue;
            if (search.remove) {
                object->refcount++;
                cache->invalidate_unlocked(object);
                deleted++;
                continue;
            }
            const char* separator = strstr(object->key, "://");
            if (separator == nullptr || static_cast<size_t>(separator - object->key) > SCHEME_MAX)
                continue;
            object_row(page, object, listed++);
        }
    }
    page->Addf("<tr><td colspan=\"2\" align=\"left\">listed %u files</td><td colspan=\"2\" "
               "align=\"right\">another %u files that were in use</td></tr>\n",
               listed, in_use);
    if (search.remove)
        page->Addf("<tr><td colspan=\"5\">deleted %u files</td></tr>\n", deleted);
    page->Addf("</table>\n");
}

} // namespace

void interface_page_cache(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection) {
    cache_search_t search = cache_search_read(arguments, time(nullptr));
    StringList problems = search.errors;
    reg_pattern_t* pattern = nullptr;
    if (search.show && problems.empty()) {
        if (search.remove && !interface_form_posted(connection, arguments))
            problems.push_back(FORM_TOKEN_REFUSED);
        // A pattern that does not compile must never widen the search to
        // every object (a deletion would take the whole window).
        std::string reason;
        if (!search.pattern.empty() &&
            (!reg_check(search.pattern.c_str(), REGEXP_ICASE, &reason) ||
             (pattern = reg_compile(search.pattern.c_str(), REGEXP_ICASE)) == nullptr))
            problems.push_back("The pattern \"" + search.pattern + "\" does not compile (" +
                               reason + "): nothing was listed or deleted");
    }

    CacheSection* cache = cache_section;
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr>"
               "<td align=\"center\">\n");
    if (cache != nullptr)
        cache->mutex_lock();
    summary(page, cache);
    search_form(page, search, connection);
    if (!problems.empty())
        message_rows(page, problems);
    else if (search.show)
        walk(page, cache, search, pattern);
    if (cache != nullptr)
        cache->unlock();
    page->Addf("</td></tr></table>\n");
    if (pattern != nullptr)
        reg_free(pattern);
}
