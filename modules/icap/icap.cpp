// The ICAP section: entries, their choice, the processors and the OPTIONS
// query; the exchange is icap_exchange.cpp. See icap.h for the contract.
#include "icap/icap.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <iterator>
#include <string>

#include "auth/access.h"
#include "auth/profiles.h"
#include "core/daemon.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/header_io.h"
#include "iface/interface.h"
#include "net/connection.h"
#include "net/network.h"
#include "net/serverpool.h"
#include "net/socket.h"

ICAPSection* icap_section = nullptr;

namespace {

// Entry field positions.
enum {
    I_ENABLED = 0,
    I_COMMENT = 1,
    I_PROFILES = 2,
    I_HOST = 3,
    I_SERVICE = 4,
    I_PORT = 5,
    I_MODE = 6,
};

const char* method_word(int mode) {
    return (mode & ICAP_MODE_RESPMOD) ? "RESPMOD" : "REQMOD";
}

bool entry_fits(const ICAP& entry, const CONNECTION_T* connection, int mode) {
    return entry.enabled != 0 && profile_find(connection->profiles, entry.profiles) &&
           (entry.mode & mode) != 0 && !entry.host.empty() && !entry.service.empty();
}

bool section_applies(const ICAPSection& section, const CONNECTION_T* connection) {
    return *section.enabled != 0 && !(connection->bypass & BYPASS_ICAP);
}

// Nothing of the last reply is left: no byte buffered, none arrived, and
// the server has not closed.
bool socket_clean(Socket* socket) {
    if (socket->read_pending != 0 || socket->write_pending != 0)
        return false;
    struct pollfd entry = {socket->fd, POLLIN, 0};
    int ready;
    do
        ready = poll(&entry, 1, 0);
    while (ready == -1 && errno == EINTR);
    return ready == 0;
}

} // namespace

void icap_socket_release(Socket* socket, const std::string& host, unsigned port, bool keep) {
    if (socket == NULL)
        return;
    if (keep && global != NULL && global->serverpool != NULL && socket_clean(socket)) {
        global->serverpool->Add(socket, "icap", host.c_str(), static_cast<int>(port), NULL, NULL,
                                TUNNEL_ID_NONE);
        return;
    }
    delete socket;
}

ICAP::ICAP(const Item& item)
    : enabled(item.fields[I_ENABLED].value),
      comment(item.fields[I_COMMENT].text),
      profiles(item.fields[I_PROFILES].list),
      host(item.fields[I_HOST].text),
      service(item.fields[I_SERVICE].text),
      port(item.fields[I_PORT].value),
      mode(item.fields[I_MODE].value) {}

ICAPSection::ICAPSection()
    : Section("icap", SECTION_RWLOCK), enabled(&global_field(0, FIELD_BOOL).value) {
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING, FIELD_STRING,
                      FIELD_INT, FIELD_STRING_SELECT_MANY});
    processors.Add(icap_reqmod, PROCESSOR_REQMOD);
    processors.Add(icap_respmod, PROCESSOR_RESPMOD);
    processors.Add(icap_buffcheck, PROCESSOR_BUFFCHECK);
}

void ICAPSection::update() {
    // No server is asked here: this runs under the write lock, and every
    // request that needs the section would wait for the answers.
    servers.clear();
    for (const Item& item : subsections[0].items)
        servers.emplace_back(item);
    generation++;
}

int ICAPSection::check_match(CONNECTION_T* connection, int mode) const {
    int found = 0;
    read_lock();
    if (section_applies(*this, connection))
        for (const ICAP& entry : servers)
            if (entry_fits(entry, connection, mode)) {
                found = 1;
                break;
            }
    unlock();
    return found;
}

int ICAPSection::process(CONNECTION_T* connection, Filebuf* body, int mode) {
    std::string host;
    std::string service;
    unsigned port = 0;
    int preview = -1;
    bool ask = false;
    unsigned asked_generation = 0;
    size_t index = 0;

    read_lock();
    ICAP* chosen = NULL;
    if (section_applies(*this, connection))
        for (ICAP& entry : servers) {
            if (entry_fits(entry, connection, mode)) {
                chosen = &entry;
                break;
            }
            index++;
        }
    if (chosen == NULL) {
        unlock();
        return 0;
    }
    host = chosen->host;
    service = chosen->service;
    port = static_cast<unsigned>(chosen->port);
    if (chosen->preview_state.load() == ICAP_PREVIEW_KNOWN) {
        preview = chosen->preview.load();
    } else if (!slave && chosen->enabled == 1 && time(NULL) >= chosen->retry_after.load()) {
        // One thread asks; the others go on without a preview meanwhile.
        int expected = ICAP_PREVIEW_UNKNOWN;
        ask = chosen->preview_state.compare_exchange_strong(expected, ICAP_PREVIEW_ASKING);
        asked_generation = generation;
    }
    unlock();

    if (slave) {
        preview = get_max_preview(mode, host.c_str(), service.c_str(), port);
    } else if (ask) {
        bool answered = false;
        preview = get_max_preview(mode, host.c_str(), service.c_str(), port, &answered);
        read_lock();
        if (generation == asked_generation) {
            auto entry = servers.begin();
            std::advance(entry, static_cast<long>(index));
            entry->preview.store(preview);
            if (!answered)
                entry->retry_after.store(time(NULL) + ICAP_OPTIONS_RETRY);
            entry->preview_state.store(answered ? ICAP_PREVIEW_KNOWN : ICAP_PREVIEW_UNKNOWN);
        }
        unlock();
    }

    putlog(LOG_ICAP, "debug: processing %s", mode == ICAP_MODE_REQMOD ? "requests" : "response");
    return protocol_icap(connection, body, mode, host, service, port, preview) ? 1 : 0;
}

int get_max_preview(int mode, const char* host, const char* service, unsigned port,
                    bool* answered) {
    if (answered != NULL)
        *answered = false;
    const char* method = method_word(mode);
    Socket* socket = NULL;
    if (global != NULL && global->serverpool != NULL)
        socket = global->serverpool->Find("icap", host, static_cast<int>(port), NULL, NULL,
                                          TUNNEL_ID_NONE);
    if (socket == NULL) {
        int fd = net_connect(host, static_cast<int>(port), ICAP_OPTIONS_TIMEOUT);
        if (fd < 0)
            return -1;
        socket = new Socket(fd);
    }

    CONNECTION_T* connection = connection_new();
    connection->flags |= CONN_NO_CLIENT | CONN_INTERNAL;
    connection->client_ip = xstrdup("127.0.0.1");
    connection->interface_ip = xstrdup("127.0.0.1");
    if (connection->client_ip == NULL || connection->interface_ip == NULL)
        FATAL_ALLOC("modules/icap", 10);
    connection->server = socket;

    Filebuf request;
    request.Addf("OPTIONS icap://%s:%u%s ICAP/1.0\r\n", host, port, service);
    request.Addf("User-Agent: Kestrivan ICAP Client/%d\r\n", get_my_release_build());
    request.Addf("Connection: keep-alive\r\n\r\n");
    int sent = socket->WriteFilebuf(&request);
    char* text = sent < 0 ? NULL : header_get(connection, SIDE_SERVER, ICAP_OPTIONS_TIMEOUT);
    connection->server = NULL;
    connection_free(connection);

    if (text == NULL) {
        putlog(LOG_ERROR, "icap: no response for OPTIONS query");
        putlog(LOG_ICAP, "debug: %s: options-query: response:\n%s", method, "NULL");
        delete socket;
        return -1;
    }
    putlog(LOG_ICAP, "debug: %s: options-query: response:\n%s", method, text);
    HEADER* reply = http_header_parse_response(text);
    free(text);
    if (reply == NULL || reply->version == HTTP_VERSION_09) {
        putlog(LOG_ERROR, "icap: failed to get response for options query");
        http_header_free(reply);
        delete socket;
        return -1;
    }
    putlog(LOG_ICAP, "debug: %s: options-query response: %d: %s", method, reply->status,
           reply->status == 100 ? "send body" : "get out");
    if (reply->status != 200) {
        putlog(LOG_ERROR, "icap: failed to get response for options query");
        http_header_free(reply);
        delete socket;
        return -1;
    }
    if (answered != NULL)
        *answered = true;
    int preview = -1;
    for (const HTTP_HEADER& line : reply->lines) {
        if (strcasecmp(line.name.c_str(), "Preview") == 0) {
            putlog(LOG_ICAP, "debug: %s: %s", line.name.c_str(), line.value.c_str());
            char* end = NULL;
            unsigned long value = strtoul(line.value.c_str(), &end, 10);
            if (end != line.value.c_str() && value <= 0x7fffffffUL)
                preview = static_cast<int>(value);
            break;
        }
    }
    // An options body is not read: such a socket is not reused.
    bool keep = reply->keep_alive != 0 &&
                (reply->encapsulated == NULL ||
                 ICAPSection::encapsulation_parse(reply->encapsulated).opt_body == -1);
    http_header_free(reply);
    icap_socket_release(socket, host, port, keep);
    return preview;
}

int icap_reqmod(CONNECTION_T* connection, Filebuf* body) {
    if (interface_addressed(connection))
        return 0;
    icap_section->process(connection, body, ICAP_MODE_REQMOD);
    return connection->response != NULL ? REQUEST_ANSWERED : 0;
}

int icap_respmod(CONNECTION_T* connection, Filebuf* body) {
    if (interface_addressed(connection) || connection->response == NULL || body == NULL)
        return 0;
    // The encapsulated response header names the body's size only where it
    // already carried a length.
    connection->response->content_length = body->size;
    icap_section->process(connection, body, ICAP_MODE_RESPMOD);
    return 1;
}

int icap_buffcheck(CONNECTION_T* connection, Filebuf*) {
    if (interface_addressed(connection))
        return 0;
    return icap_section->check_match(connection, ICAP_MODE_RESPMOD);
}
