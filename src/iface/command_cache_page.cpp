// The "cache" URL-command page: the cached object of the request URL
// (declared in command_pages.h).
#include "iface/command_pages.h"

#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "cache/cache.h"
#include "cache/store.h"
#include "config/sync.h"
#include "core/filebuf.h"
#include "http/header.h"
#include "iface/html.h"
#include "iface/interface.h"
#include "net/connection.h"

namespace {

// What the page shows of an object, copied under the cache mutex.
struct entry_copy_t {
    std::vector<std::pair<const char*, std::string>> rows; // label, value (unescaped)
    std::string header;                                    // the stored response header
};

std::string date_text(time_t t) {
    char text[64];
    return sync_time_format(t, text, sizeof text) != 0 ? text : "-";
}

// The rows of an object; the cache mutex is held.
void entry_copy(CacheSection* cache, CACHEMAP* object, entry_copy_t* copy) {
    auto& rows = copy->rows;
    if (object->store != nullptr && object->store->path != nullptr)
        rows.emplace_back("Path", *object->store->path);
    rows.emplace_back("Size", std::to_string(object->size) + " bytes");
    rows.emplace_back("Retrieved", date_text(object->mtime));
    if (object->lastmod != 0)
        rows.emplace_back("Last modified", date_text(object->lastmod));
    if (object->expires != 0)
        rows.emplace_back("Expires", date_text(object->expires));
    if (object->lmexpires != 0)
        rows.emplace_back("Fresh until", date_text(object->lmexpires));
    rows.emplace_back("Minimum age", std::to_string(object->minage));
    rows.emplace_back("Maximum age", std::to_string(object->maxage));
    rows.emplace_back("Validate age", std::to_string(object->maxnoexp));
    rows.emplace_back("Last-Modified time factor", std::to_string(object->lmfactor));
    rows.emplace_back("MD5 sum", object->md5);
    char* flags = cache->flag_string(object);
    rows.emplace_back("Flags", flags != nullptr ? flags : "");
    free(flags);
    if (object->header != nullptr && object->header->raw != nullptr)
        copy->header = object->header->raw;
}

} // namespace

int cache_show(CONNECTION_T* connection) {
    const HEADER* request = connection->request;
    std::string location = request->scheme != nullptr ? request->scheme : "";
    location += "://";
    location += request->host != nullptr ? request->host : "";
    location += ":" + std::to_string(request->port);
    location += request->path != nullptr ? request->path : "";

    // A lookup that also finds objects stored against the response's own
    // caching rules; the reference keeps the object while it is copied.
    CACHEMAP* object = cache_section != nullptr
                           ? cache_section->cache_open(nullptr, request->url, nullptr, CACHE_OFFLINE)
                           : nullptr;
    entry_copy_t copy;
    if (object != nullptr) {
        cache_section->mutex_lock();
        entry_copy(cache_section, object, &copy);
        cache_section->unlock();
        cache_section->cache_close(object, false);
    }

    Filebuf page;
    command_page_open(connection, &page, "Cache information for", location);
    command_page_box(&page, "bigdialog");
    page.Addf("<tr class=\"dialoghead\"><td align=\"center\" colspan=\"2\">Cache information for ");
    html_add(&page, location);
    page.Addf("</td></tr>\n");
    if (object == nullptr) {
        page.Addf("<tr><td align=\"center\" colspan=\"2\">Nothing found</td></tr>\n");
    } else {
        for (const auto& row : copy.rows) {
            page.Addf("<tr><td>%s</td><td>", row.first);
            html_add(&page, row.second);
            page.Addf("</td></tr>\n");
        }
        page.Addf("<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Header\n</td></tr>"
                  "<tr class=\"bigdialog\"><td colspan=\"2\"><pre>");
        html_add(&page, copy.header);
        page.Addf("</pre></td></tr>\n");
    }
    command_page_close(&page);
    interface_send_response(connection, &page);
    return 1;
}
