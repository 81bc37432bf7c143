#include "config/sync.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include <tinyxml2.h>

#include "config/configfile.h"
#include "config/section.h"
#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "http/header.h"
#include "http/http_client.h"
#include "http/url.h"
#include "iface/interface.h"

namespace {

const char* const HTTP_DATE = "%a, %d %b %Y %T GMT";

// A comma-separated list of section names from -S or -E; NULL when empty.
char** section_names(const char* list) {
    return list[0] != '\0' ? string_break(list, ',') : nullptr;
}

bool names_section(char** names, const std::string& section) {
    if (names == nullptr)
        return false;
    for (char** name = names; *name != nullptr; ++name)
        if (**name != '\0' && strcasecmp(*name, section.c_str()) == 0)
            return true;
    return false;
}

// Whether the section takes part in synchronisation: named by -S (or -S
// empty) and not named by -E, which wins.
bool synchronised(char** wanted, char** unwanted, const std::string& section) {
    if (names_section(unwanted, section))
        return false;
    return wanted == nullptr || names_section(wanted, section);
}

void failure_end(HTTPRESPONSE* response, URL* url) {
    httpresponse_free(response);
    url_free(url);
    putlog(LOG_ERROR, "sync: failed to syncronize with master");
}

// Loads the synchronised sections from the master's document; the caller
// holds documentlock. Returns the number of sections that refused it.
int load_sections(tinyxml2::XMLDocument* master) {
    char** wanted = section_names(syncsections);
    char** unwanted = section_names(nosyncsections);
    putlog(LOG_SYNC, "syncronizing with %s:%d", masterhost, masterport);
    int failed = 0;
    for (const auto& entry : Section::map) {
        if (!synchronised(wanted, unwanted, entry.first))
            continue;
        if (master->RootElement()->FirstChildElement(entry.first.c_str()) == nullptr) {
            // Nothing to copy (a plug-in section the master does not run):
            // retrying would not change that, so it is no failure.
            putlog(LOG_SYNC, "sync: master has no section %s, kept as it is",
                   entry.first.c_str());
            continue;
        }
        try {
            // Mode 1 replaces the entries; a flawed value leaves the section
            // exactly as it was (logged by the loader).
            entry.second->load(master, 1);
            putlog(LOG_SYNC, "syncronized section: %s", entry.first.c_str());
        } catch (const ConfigError&) {
            putlog(LOG_ERROR, "sync: failed to syncronize section: %s ", entry.first.c_str());
            ++failed;
        }
    }
    array_free(wanted);
    array_free(unwanted);
    return failed;
}

} // namespace

size_t sync_time_format(time_t t, char* out, size_t size) {
    struct tm broken;
    if (size == 0)
        return 0;
    out[0] = '\0';
    if (gmtime_r(&t, &broken) == nullptr)
        return 0;
    size_t length = strftime(out, size, HTTP_DATE, &broken);
    if (length == 0)
        out[0] = '\0'; // strftime leaves the area undefined when it does not fit
    return length;
}

time_t sync_time_parse(const char* text) {
    struct tm broken;
    memset(&broken, 0, sizeof broken);
    const char* end = text != nullptr ? strptime(text, HTTP_DATE, &broken) : nullptr;
    if (end == nullptr || *end != '\0')
        return -1;
    return timegm(&broken);
}

void config_sync(void*) {
    if (!slave)
        return;

    std::string address = std::string("http://") + masterhost + ":" + std::to_string(masterport) +
                          "/" + INTERFACE_HOSTNAME + "/xml";
    URL* url = url_parse(address.c_str());
    if (url == nullptr)
        fatal_error("src/sync", 33, "config_sync", 0);
    // The master's interface login goes into the record itself (the fetch
    // sends it as Basic credentials), never through the URL text.
    if (masteruser[0] != '\0') {
        free(url->user);
        free(url->password);
        url->user = xstrdup(masteruser);
        url->password = xstrdup(masterpassword);
        if (url->user == nullptr || url->password == nullptr)
            FATAL_ALLOC("src/sync", sizeof masteruser);
    }

    HTTPRESPONSE* response = http_fetch(url, nullptr);
    if (response == nullptr) {
        putlog(LOG_SYNC, "error: No Response from %s:%d", masterhost, masterport);
        failure_end(response, url);
        return;
    }
    if (response->header->status != 200) {
        putlog(LOG_SYNC, "error: %s:%d responded with %d", masterhost, masterport,
               response->header->status);
        failure_end(response, url);
        return;
    }
    time_t stamp = sync_time_parse(response->header->last_modified);
    if (stamp == -1) {
        putlog(LOG_SYNC, "error: Cannot estimate last configuration update of %s", masterhost);
        failure_end(response, url);
        return;
    }
    pthread_mutex_lock(&documentlock);
    time_t local_stamp = documentsynctime;
    pthread_mutex_unlock(&documentlock);
    if (stamp == local_stamp) {
        putlog(LOG_DEBUG, "sync: already syncronized with %s:%d at %lld", masterhost, masterport,
               static_cast<long long>(stamp));
        httpresponse_free(response);
        url_free(url);
        return;
    }

    // The master's document is parsed on its own first: a body that is not
    // a configuration document changes nothing here.
    auto* master = new tinyxml2::XMLDocument();
    const Filebuf* body = response->body;
    master->Parse(body->data != nullptr ? body->data : "", body->size);
    if (master->Error() || master->RootElement() == nullptr ||
        strcmp(master->RootElement()->Name(), "kestrivan") != 0) {
        delete master;
        putlog(LOG_SYNC, "error: invalid data recieved from %s:%d", masterhost, masterport);
        failure_end(response, url);
        return;
    }

    pthread_mutex_lock(&documentlock);
    int failed = load_sections(master);
    if (failed == 0) {
        delete document;
        document = master;
        master = nullptr;
    }
    pthread_mutex_unlock(&documentlock);
    delete master;

    if (failed != 0) {
        putlog(LOG_SYNC, "error: failed to synchronize local configuration file %s", configfile);
        failure_end(response, url);
        return;
    }
    if (config_save(configfile)) {
        putlog(LOG_SYNC, "synchronized local configuration file %s", configfile);
        pthread_mutex_lock(&documentlock);
        documentsynctime = stamp;
        pthread_mutex_unlock(&documentlock);
    } else {
        putlog(LOG_SYNC, "error: failed to synchronize local configuration file %s", configfile);
    }
    httpresponse_free(response);
    url_free(url);
}
