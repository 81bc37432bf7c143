// The status page "/dnscache": every name the DNS cache holds.
#include <pthread.h>
#include <time.h>

#include "core/filebuf.h"
#include "core/global.h"
#include "core/hash.h"
#include "iface/html.h"
#include "iface/status_pages.h"

void interface_page_dnscache(Filebuf* page, CGIMap&, CONNECTION_T*) {
    page->Addf("<table class=\"list\">\n");
    page->Addf("<tr class=\"listhead\"><td>Hostname</td><td>IP address</td><td>Age</td></tr>\n");
    if (global != nullptr && global->dnscache != nullptr) {
        time_t now = time(nullptr);
        unsigned row = 0;
        pthread_mutex_lock(&global->dnscache_lock);
        const HASH_TABLE* table = global->dnscache;
        for (int bucket = 0; bucket < table->buckets; bucket++)
            for (const HASH_ENTRY* entry = table->table[bucket]; entry != nullptr;
                 entry = entry->next) {
                page->Addf("<tr class=\"%s\"><td>", html_row_class(row++));
                // Names come from requests: escaped.
                html_add(page, entry->key);
                page->Addf("</td><td>");
                html_add(page, static_cast<const char*>(entry->value));
                page->Addf("</td><td>%lld</td></tr>\n",
                           static_cast<long long>(now - entry->stamp));
            }
        pthread_mutex_unlock(&global->dnscache_lock);
    }
    page->Addf("</table>\n");
}
