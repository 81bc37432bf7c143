// The redirect rules; see redirect.h.
#include "filter/redirect.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <vector>

#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/url.h"
#include "http/url_commands.h"
#include "net/connection.h"

RedirectSection* redirect_section = nullptr;

namespace {

enum { R_PATTERN = 4, R_REPLACEMENT = 5, R_PORT = 6, R_ACTION = 7, R_ENCODING = 8, R_APPLIES_TO = 9 };

enum { SIDE_REQUEST = 0, SIDE_LOCATION = 1 };

const char* or_empty(const char* text) {
    return text != nullptr ? text : "";
}

void set_text(char*& field, const std::string& text) {
    char* copy = xstrndup(text.data(), text.size());
    if (copy == nullptr)
        FATAL_ALLOC("src/redirect", text.size() + 1);
    free(field);
    field = copy;
}

// The port field: -1, or a port a connection can be made to.
int port_field(const Item& entry) {
    const Field& field = entry.fields.at(R_PORT);
    if (field.value == -1 || (field.value >= 1 && field.value <= 65535))
        return field.value;
    char line[1024];
    snprintf(line, sizeof line,
             "section %s, element %s: %s must be -1 or a port number from 1 to 65535, but it is "
             "given value %s",
             entry.section.c_str(), entry.subsection.c_str(), field.name.c_str(),
             field.text.c_str());
    throw ConfigError(line);
}

// What the patterns see (see redirect.h).
std::string old_url(const CONNECTION_T* connection, int side) {
    if (side == SIDE_LOCATION)
        return connection->response->location;
    const HEADER* request = connection->request;
    if (request->host == nullptr || request->host[0] == '\0')
        return or_empty(request->path);
    std::string url = or_empty(request->scheme);
    url += "://";
    url += request->host;
    url += or_empty(request->path);
    return url;
}

// Where the path of a URL begins: the first "/" after "://", else the first
// "/"; npos when there is none.
size_t path_begin(const std::string& url) {
    size_t scheme_end = url.find("://");
    return url.find('/', scheme_end == std::string::npos ? 0 : scheme_end + 3);
}

// Everything after the first "/" of the path, form-encoded or decoded.
void recode_path(std::string& url, int encoding) {
    if (!(encoding & (REDIRECT_ENCODE_PATH | REDIRECT_DECODE_PATH)))
        return;
    size_t slash = path_begin(url);
    if (slash == std::string::npos)
        return;
    std::string rest = url.substr(slash + 1);
    char* coded = (encoding & REDIRECT_ENCODE_PATH)
                      ? url_encode(rest.c_str(), static_cast<unsigned>(-1))
                      : url_decode(rest.c_str(), static_cast<unsigned>(rest.size()));
    url.replace(slash + 1, std::string::npos, coded);
    free(coded);
}

std::string lower_case(std::string text) {
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// A port number written after the host ("name:8080"), or -1.
int host_port(const std::string& host, size_t& colon) {
    colon = host.rfind(':');
    // A bracketed IPv6 literal keeps its colons.
    if (colon == std::string::npos || host.find(']', colon) != std::string::npos ||
        colon + 1 == host.size() || colon + 6 < host.size())
        return -1;
    int port = 0;
    for (size_t i = colon + 1; i < host.size(); ++i) {
        if (!isdigit(static_cast<unsigned char>(host[i])))
            return -1;
        port = port * 10 + (host[i] - '0');
    }
    return port >= 1 && port <= 65535 ? port : -1;
}

void reply_302(CONNECTION_T* connection, const std::string& from, const std::string& to) {
    putlog(LOG_REDIRECT, "[IP:%s] sent 302 redirect for request for %s to %s",
           or_empty(connection->client_ip), from.c_str(), to.c_str());
    std::string location = to;
    bool commands = connection->url_commands != nullptr && connection->url_commands[0] != nullptr;
    if (commands && (to.empty() || to[0] != '/')) {
        // The commands stay with the client: they go in front of the host.
        char* labels = url_command_create(connection->url_commands);
        size_t scheme_end = to.find("://");
        if (scheme_end != std::string::npos)
            location = to.substr(0, scheme_end + 3) + labels + to.substr(scheme_end + 3);
        else
            location = labels + to;
        free(labels);
    }
    header_send_redirect(connection, location);
}

void rewrite_request(CONNECTION_T* connection, const std::string& from, const std::string& to,
                     int rule_port) {
    HEADER* request = connection->request;
    size_t host_begin = 0;
    std::string scheme;
    size_t scheme_end = to.find("://");
    if (scheme_end != std::string::npos) {
        scheme = lower_case(to.substr(0, scheme_end));
        host_begin = scheme_end + 3;
    }
    size_t slash = path_begin(to);
    int port = -1;
    std::string host;
    if (to.empty() || to[0] != '/') {
        host = lower_case(to.substr(host_begin, slash == std::string::npos ? std::string::npos
                                                                           : slash - host_begin));
        // The port a host part names is the request's port, never part of
        // the host name that is looked up.
        size_t colon;
        port = host_port(host, colon);
        if (port != -1)
            host.erase(colon);
        if (!host.empty() && !url_host_valid(host.data(), host.size())) {
            putlog(LOG_WARNING, "[IP:%s] redirect: request for %s not rewritten: %s is no host name",
                   or_empty(connection->client_ip), from.c_str(), host.c_str());
            return;
        }
    }
    // A port that only followed from the old scheme follows the new one.
    bool scheme_port = (request->flags & HEADER_DEFAULT_PORT) ||
                       request->port == protocol_port(request->scheme);
    bool scheme_changed = scheme_end != std::string::npos && scheme != or_empty(request->scheme);
    if (scheme_end != std::string::npos)
        set_text(request->scheme, scheme);
    if (!host.empty())
        set_text(request->host, host);
    set_text(request->path, slash == std::string::npos ? std::string("/") : to.substr(slash));
    if (rule_port != -1)
        port = rule_port;
    if (port != -1) {
        request->port = port;
        request->flags &= ~HEADER_DEFAULT_PORT;
    } else if (scheme_changed && scheme_port && protocol_port(request->scheme) > 0) {
        request->port = protocol_port(request->scheme);
    }
    if (request->host == nullptr || request->host[0] == '\0') {
        putlog(LOG_REDIRECT, "[IP:%s] request for %s to %s", or_empty(connection->client_ip),
               from.c_str(), request->path);
        return;
    }
    if (request->type != REQUEST_CONNECT)
        request->type = REQUEST_PROXY;
    if (request->scheme == nullptr)
        set_text(request->scheme, "http");
    // The URL is the cache's key: the object is stored under the new one.
    header_complete(request);
    putlog(LOG_REDIRECT, "[IP:%s] request for %s to %s://%s%s", or_empty(connection->client_ip),
           from.c_str(), request->scheme, request->host, request->path);
}

} // namespace

Redirect::Redirect(const Item& entry)
    : RuleScope(entry),
      pattern(entry, R_PATTERN),
      replacement(entry.fields.at(R_REPLACEMENT).text),
      port(port_field(entry)),
      action(entry.fields.at(R_ACTION).value),
      encoding(entry.fields.at(R_ENCODING).value),
      applies_to(entry.fields.at(R_APPLIES_TO).value) {}

bool Redirect::admits(int side) const {
    if (applies_to == REDIRECT_APPLY_BOTH)
        return true;
    return side == SIDE_REQUEST ? applies_to == REDIRECT_APPLY_REQUEST
                                : applies_to == REDIRECT_APPLY_LOCATION;
}

RedirectSection::RedirectSection() : Section("redirect", SECTION_RWLOCK) {
    enabled = &global_field(0, FIELD_BOOL).value;
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING_LIST, FIELD_STRING,
                      FIELD_STRING, FIELD_INT, FIELD_STRING_SELECT_ONE, FIELD_STRING_SELECT_MANY,
                      FIELD_STRING_SELECT_ONE});
}

void RedirectSection::update() {
    std::list<Redirect> rebuilt;
    for (const Item& item : subsections.at(0).items)
        rebuilt.emplace_back(item);
    rules.swap(rebuilt);
}

int RedirectSection::redirect_do(CONNECTION_T* connection, int side) {
    if (side == SIDE_REQUEST ? connection->request == nullptr
                             : connection->response == nullptr ||
                                   connection->response->location == nullptr)
        return 0;
    read_lock();
    if (!rule_section_takes_part(*enabled, connection, BYPASS_REDIRECT) || rules.empty()) {
        unlock();
        return 0;
    }
    std::string from = old_url(connection, side);
    std::string decoded;
    bool decoded_made = false;
    const Redirect* chosen = nullptr;
    regmatch_sub_t* match = nullptr;
    for (const Redirect& rule : rules) {
        if (!rule.pattern.present() || !rule.admits(side) || !rule.applies(connection))
            continue;
        const char* subject = from.c_str();
        if (rule.encoding & REDIRECT_DECODE_URL) {
            if (!decoded_made) {
                char* text = url_decode(from.c_str(), static_cast<unsigned>(from.size()));
                decoded = text;
                free(text);
                decoded_made = true;
            }
            subject = decoded.c_str();
        }
        match = reg_sub_exec(rule.pattern.get(), subject);
        if (match != nullptr) {
            chosen = &rule;
            break;
        }
    }
    if (chosen == nullptr) {
        unlock();
        return 0;
    }
    char* expanded = reg_sub_parse(match, chosen->replacement.c_str(), connection->variables);
    std::string to = expanded;
    free(expanded);
    reg_sub_match_free(match);
    const int action = chosen->action, port = chosen->port, encoding = chosen->encoding;
    // What follows changes the connection or writes to the client: the
    // rules are no longer needed.
    unlock();
    recode_path(to, encoding);
    if (side == SIDE_LOCATION) {
        putlog(LOG_REDIRECT, "[IP:%s] 302 redirect for %s to %s", or_empty(connection->client_ip),
               from.c_str(), to.c_str());
        set_text(connection->response->location, to);
        return 0;
    }
    if (action == REDIRECT_REPLY_302) {
        reply_302(connection, from, to);
        return 1;
    }
    rewrite_request(connection, from, to, port);
    return 0;
}
