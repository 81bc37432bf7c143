// The external-program section; see external.h for the contract.
#include "scan/external.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "auth/access.h"
#include "auth/profiles.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "http/header.h"
#include "net/connection.h"
#include "scan/external_exec.h"

ExternalSection* external_section = nullptr;

namespace {

// Entry field positions.
enum {
    X_ENABLED = 0,
    X_COMMENT = 1,
    X_GROUPS = 2,
    X_PROFILES = 3,
    X_COMMAND = 4,
    X_TEMPFILE = 5,
    X_MODE = 6,
    X_AUTH_PROGRAM = 7,
    X_HEADERS = 8,
};

// The authentication stage runs request programs too.
constexpr int STAGE_AUTH = EXTERNAL_MODE_REQUEST | EXTERNAL_MODE_AUTH;

// Tests 1 to 4 and 6 of the entry choice: everything but the
// authentication-program conditions.
bool entry_fits(const External& entry, const CONNECTION_T* connection, int mode) {
    return entry.enabled != 0 && profile_find(connection->user_groups, entry.groups) &&
           profile_find(connection->profiles, entry.profiles) && (entry.mode & mode) != 0 &&
           !entry.command.empty();
}

bool entry_runs(const External& entry, const CONNECTION_T* connection, int mode) {
    if (!entry_fits(entry, connection, mode))
        return false;
    return entry.auth_program != 1 ||
           ((mode & EXTERNAL_MODE_AUTH) && !(connection->auth_flags & CONN_AUTH_EXTERNAL_FAILED));
}

// Header texts and body, as the entry asks for them.
Filebuf* program_input(const External& entry, const CONNECTION_T* connection, const Filebuf* body) {
    Filebuf* input = new Filebuf();
    if ((entry.headers & EXTERNAL_HEADERS_REQUEST) && connection->request != NULL &&
        connection->request->raw != NULL)
        input->Add(connection->request->raw, static_cast<unsigned>(strlen(connection->request->raw)));
    if ((entry.headers & EXTERNAL_HEADERS_RESPONSE) && connection->response != NULL &&
        connection->response->raw != NULL)
        input->Add(connection->response->raw,
                   static_cast<unsigned>(strlen(connection->response->raw)));
    if (body != NULL && body->size > 0)
        input->Add(body->data, body->size);
    return input;
}

// Adds the comma-separated names the connection does not carry yet, in
// order; blanks around a name are not part of it.
void profiles_add(CONNECTION_T* connection, const std::string& value) {
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos)
            comma = value.size();
        size_t first = value.find_first_not_of(" \t", start);
        std::string name;
        if (first != std::string::npos && first < comma) {
            size_t last = value.find_last_not_of(" \t", comma - 1);
            name = value.substr(first, last - first + 1);
        }
        if (!name.empty() && !connection->profiles.has(name))
            connection->profiles.push_back(name);
        start = comma + 1;
    }
}

// The X-username and X-profiles lines of a program's header.
void identity_apply(CONNECTION_T* connection, const HEADER* header) {
    for (const HTTP_HEADER& line : header->lines) {
        if (strcasecmp(line.name.c_str(), "X-username") == 0) {
            putlog(LOG_DEBUG, "external: external parser sent X-username: %s", line.value.c_str());
            free(connection->user);
            connection->user = xstrdup(line.value.c_str());
            if (connection->user == NULL)
                FATAL_ALLOC("src/external", line.value.size() + 1);
        } else if (strcasecmp(line.name.c_str(), "X-profiles") == 0) {
            putlog(LOG_DEBUG, "external: external parser sent X-profiles: %s", line.value.c_str());
            profiles_add(connection, line.value);
        }
    }
}

// The body buffer of a stage: the response body for responses, else the
// request body.
Filebuf* stage_body(CONNECTION_T* connection, Filebuf* body, int mode) {
    if (body != NULL || mode == EXTERNAL_MODE_RESPONSE)
        return body;
    return connection->body;
}

// Applies one program's output (see the contract).
void output_apply(CONNECTION_T* connection, const External& entry, Filebuf* output, int status,
                  Filebuf* body, int mode) {
    size_t length = output->size > 0
                        ? static_cast<size_t>(header_length(output->data, output->size))
                        : 0;
    std::string header_text(output->data != NULL ? output->data : "", length);
    bool response = header_type(header_text.c_str(), static_cast<unsigned>(length)) == RESPONSE_HTTP;
    HEADER* header = NULL;
    if (length > 0)
        header = response ? http_header_parse_response(header_text.c_str())
                          : http_header_parse_request(header_text.c_str());
    if (header == NULL)
        putlog(LOG_EXTERNAL, "error: external parser sent null or invalid %s headers",
               response ? "response" : "request");

    bool trusted = status == 0 || entry.auth_program != 1;
    if (header != NULL && trusted)
        identity_apply(connection, header);
    if (header != NULL && status == 0) {
        HEADER*& slot = response ? connection->response : connection->request;
        if (!response && slot != NULL) {
            // The client connection's own terms stay the client's.
            header->version = slot->version;
            header->keep_alive = slot->keep_alive;
            header->proxy_keep_alive = slot->proxy_keep_alive;
        }
        http_header_free(slot);
        slot = header;
        header = NULL;
    }
    http_header_free(header);

    if (status == 0 && output->size > length) {
        output->Trim(static_cast<int>(length));
        bool streamed = mode != EXTERNAL_MODE_RESPONSE && (connection->flags & CONN_BODY_STREAMED);
        if (streamed)
            putlog(LOG_EXTERNAL, "error: %s: the request body streams upstream and cannot be replaced",
                   entry.command.c_str());
        else if (body != NULL)
            body->Swap(output);
    }
}

} // namespace

External::External(const Item& item)
    : enabled(item.fields[X_ENABLED].value),
      comment(item.fields[X_COMMENT].text),
      groups(item.fields[X_GROUPS].list),
      profiles(item.fields[X_PROFILES].list),
      command(item.fields[X_COMMAND].text),
      tempfile(item.fields[X_TEMPFILE].value),
      mode(item.fields[X_MODE].value),
      auth_program(item.fields[X_AUTH_PROGRAM].value),
      headers(item.fields[X_HEADERS].value) {}

ExternalSection::ExternalSection()
    : Section("external", SECTION_RWLOCK),
      enabled(&global_field(0, FIELD_BOOL).value),
      programs(std::make_shared<const std::vector<External>>()) {
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING_LIST, FIELD_STRING,
                      FIELD_BOOL, FIELD_STRING_SELECT_MANY, FIELD_BOOL,
                      FIELD_STRING_SELECT_MANY});
    processors.Add(external_reqmod, PROCESSOR_REQMOD);
    processors.Add(external_respmod, PROCESSOR_RESPMOD);
    processors.Add(external_auth, PROCESSOR_AUTH);
    processors.Add(external_buffcheck, PROCESSOR_BUFFCHECK);
}

void ExternalSection::update() {
    auto rebuilt = std::make_shared<std::vector<External>>();
    for (const Item& item : subsections[0].items)
        rebuilt->emplace_back(item);
    programs = std::move(rebuilt);
}

int ExternalSection::check_match(CONNECTION_T* connection, int mode) const {
    int found = 0;
    read_lock();
    if (*enabled != 0 && !(connection->bypass & BYPASS_EXTERNAL))
        for (const External& entry : *programs)
            if (entry_fits(entry, connection, mode)) {
                found = 1;
                break;
            }
    unlock();
    return found;
}

void ExternalSection::process(CONNECTION_T* connection, Filebuf* body, int mode) const {
    std::shared_ptr<const std::vector<External>> list;
    read_lock();
    if (*enabled != 0 && !(connection->bypass & BYPASS_EXTERNAL))
        list = programs;
    unlock();
    if (list == nullptr)
        return;
    body = stage_body(connection, body, mode);
    for (const External& entry : *list) {
        // Judged now: an earlier program may have added profiles.
        if (!entry_runs(entry, connection, mode))
            continue;
        Filebuf* input = program_input(entry, connection, body);
        int status = 1;
        Filebuf* output = external_exec(connection, entry.command.c_str(), input,
                                        entry.tempfile == 1 ? 1 : 0, &status);
        delete input;
        if (output == NULL)
            continue;
        output_apply(connection, entry, output, status, body, mode);
        delete output;
        putlog(LOG_EXTERNAL, "parsed with %s", entry.command.c_str());
        if (entry.auth_program == 1) {
            if (status != 0)
                connection->auth_flags |= CONN_AUTH_EXTERNAL_FAILED;
            break;
        }
    }
}

int external_reqmod(CONNECTION_T* connection, Filebuf* body) {
    external_section->process(connection, body, EXTERNAL_MODE_REQUEST);
    return connection->response != NULL ? REQUEST_ANSWERED : 0;
}

int external_respmod(CONNECTION_T* connection, Filebuf* body) {
    external_section->process(connection, body, EXTERNAL_MODE_RESPONSE);
    return 1;
}

int external_auth(CONNECTION_T* connection, Filebuf* body) {
    external_section->process(connection, body, STAGE_AUTH);
    return connection->response != NULL ? REQUEST_ANSWERED : 0;
}

int external_buffcheck(CONNECTION_T* connection, Filebuf*) {
    return external_section->check_match(connection, EXTERNAL_MODE_RESPONSE);
}
