#include "iface/templates.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "auth/profiles.h"
#include "core/access_log.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "core/regexp.h"
#include "http/header.h"
#include "http/header_io.h"
#include "iface/interface.h"
#include "net/connection.h"
#include "net/relay.h"
#include "scan/external_exec.h"

TemplateSection* template_section = nullptr;

namespace {

// Field positions of a Template entry.
enum {
    T_ENABLED, T_COMMENT, T_GROUPS, T_PROFILES, T_NAME, T_FILE, T_MIMETYPE, T_STATUS, T_TYPE,
    T_PARSE,
};

// Longest template file path.
const size_t TEMPLATE_PATH_MAX = 255;

// What get() needs of the matching entry, copied under the section lock.
struct EntryCopy {
    bool found = false;
    std::string file;
    std::string mime_type;
    std::string directory;
    int status = 0;
    int kind = 0;
    int parse = 0;
};

void set_content_type(Filebuf* page, const char* type) {
    free(page->content_type);
    page->content_type = NULL;
    if (type == NULL || type[0] == '\0')
        return;
    page->content_type = xstrdup(type);
    if (page->content_type == NULL)
        FATAL_ALLOC("src/templates", static_cast<unsigned>(strlen(type) + 1));
}

bool is_html(const Filebuf* page) {
    return page->content_type != NULL && s_strcasestr(page->content_type, "html") != NULL;
}

// The value as it may stand in HTML text or in a quoted attribute.
std::string html_escaped(const std::string& value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (char c : value) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

// Fills @NAME@ placeholders. Values come from the request (URL, host,
// path, header lines) and so are escaped in an HTML page.
void substitute_variables(CONNECTION_T* connection, Filebuf* page) {
    if (!is_html(page)) {
        variables_parse(connection->variables, page);
        return;
    }
    template_variables escaped;
    for (const auto& variable : connection->variables)
        escaped.emplace_hint(escaped.end(), variable.first, html_escaped(variable.second));
    variables_parse(escaped, page);
}

// Whether an entry's status field holds an HTTP status.
bool names_status(int status) {
    return status >= 100 && status <= 599;
}

std::string file_path(const EntryCopy& entry) {
    if (entry.file[0] == '/' || entry.directory.empty())
        return entry.file;
    return entry.directory + "/" + entry.file;
}

// The page read from the entry's file; NULL (logged) when it cannot be read.
Filebuf* file_page(const char* name, const EntryCopy& entry) {
    std::string path = file_path(entry);
    if (path.size() > TEMPLATE_PATH_MAX) {
        putlog(LOG_ERROR, "template %s: file name %s is longer than %u characters", name,
               path.c_str(), static_cast<unsigned>(TEMPLATE_PATH_MAX));
        return NULL;
    }
    Filebuf* page = new Filebuf();
    errno = 0;
    if (page->Read(path.c_str()) == -1) {
        putlog(LOG_ERROR, "[system: open:%d:%s], in %s, failed to read template file %s for %s",
               errno, strerror(errno), __func__, path.c_str(), name);
        delete page;
        return NULL;
    }
    set_content_type(page, entry.mime_type.c_str());
    return page;
}

// The output of the entry's program, without the response header it starts
// with; that header's Content-Type becomes the page's. NULL when the program
// could not be started.
Filebuf* program_page(CONNECTION_T* connection, const EntryCopy& entry) {
    Filebuf* page = external_exec(connection, entry.file.c_str(), NULL, 0, NULL);
    if (page == NULL || page->size == 0)
        return page;
    int length = header_length(page->data, page->size);
    std::string header_text(page->data, static_cast<size_t>(length));
    HEADER* header = http_header_parse_response(header_text.c_str());
    if (header != NULL && header->content_type != NULL)
        set_content_type(page, header->content_type);
    http_header_free(header);
    page->Trim(length);
    return page;
}

// The built-in page; HTML pages get the style sheet in front.
Filebuf* builtin_page(CONNECTION_T* connection, const char* name, int* parse) {
    const template_page_t* row = template_page_find(name);
    if (row == NULL)
        return NULL;
    Filebuf* page = new Filebuf();
    if (strcasecmp(row->mime_type, "text/html") == 0 && strcasecmp(name, "interface.css") != 0)
        interface_stylesheet(connection, page);
    size_t length = row->length == -1 ? strlen(row->data) : static_cast<size_t>(row->length);
    if (length > 0)
        page->Add(row->data, static_cast<unsigned>(length));
    set_content_type(page, row->mime_type);
    *parse = row->parse;
    return page;
}

} // namespace

Template::Template(const Item& item)
    : enabled(item.fields[T_ENABLED].value),
      comment(item.fields[T_COMMENT].text),
      groups(item.fields[T_GROUPS].list),
      profiles(item.fields[T_PROFILES].list),
      name(item.fields[T_NAME].text),
      file(item.fields[T_FILE].text),
      mime_type(item.fields[T_MIMETYPE].text),
      status(item.fields[T_STATUS].value),
      kind(item.fields[T_TYPE].value),
      parse(item.fields[T_PARSE].value) {}

TemplateSection::TemplateSection()
    : Section("templates", SECTION_RWLOCK), templatedir(&global_field(0, FIELD_STRING).text) {
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING_LIST,
                      FIELD_STRING, FIELD_STRING, FIELD_STRING, FIELD_INT,
                      FIELD_STRING_SELECT_ONE, FIELD_BOOL});
}

TemplateSection::~TemplateSection() {
    templates.clear();
}

void TemplateSection::update() {
    templates.clear();
    for (const Item& item : subsections[0].items)
        templates.emplace_back(item);
}

Filebuf* TemplateSection::get(CONNECTION_T* connection, const char* name, int* status) {
    EntryCopy entry;
    read_lock();
    for (const Template& candidate : templates) {
        if (profile_find(connection->user_groups, candidate.groups) &&
            profile_find(connection->profiles, candidate.profiles) && !candidate.name.empty() &&
            candidate.enabled == 1 && strcasecmp(candidate.name.c_str(), name) == 0) {
            entry.found = true;
            entry.file = candidate.file;
            entry.mime_type = candidate.mime_type;
            entry.directory = *templatedir;
            entry.status = candidate.status;
            entry.kind = candidate.kind;
            entry.parse = candidate.parse;
            break;
        }
    }
    unlock();

    Filebuf* page = NULL;
    int parse = entry.parse;
    bool builtin = !entry.found || entry.file.empty();
    if (!builtin) {
        if (entry.kind == TEMPLATE_FILE) {
            page = file_page(name, entry);
            if (page == NULL) {
                putlog(LOG_TEMPLATE, "template %s: sending the built-in page instead", name);
                builtin = true;
            }
        } else if (entry.kind == TEMPLATE_PROGRAM) {
            page = program_page(connection, entry);
        }
    }
    if (builtin)
        page = builtin_page(connection, name, &parse);
    if (page == NULL)
        return NULL;
    if (parse == 1)
        substitute_variables(connection, page);
    // An entry written without a status (its field reads 0) names none:
    // the caller's status stands, as it would for the built-in page.
    if (entry.found && status != NULL && names_status(entry.status))
        *status = entry.status;
    return page;
}

int TemplateSection::insert(CONNECTION_T* connection, Filebuf* out, const char* name) {
    Filebuf* page = get(connection, name, NULL);
    if (page == NULL)
        return 0;
    if (page->size > 0)
        out->Add(page->data, page->size);
    delete page;
    return 1;
}

bool send_own_page(CONNECTION_T* connection, int status, const char* content_type,
                   const char* last_modified, Filebuf* body) {
    if ((connection->flags & CONN_NO_CLIENT) != 0 || connection->client == NULL)
        return false;
    HEADER* header = header_new();
    header->type = RESPONSE_HTTP;
    header->status = status;
    header->content_type = xstrdup(content_type);
    header->cache_control = xstrdup("no-cache");
    if (header->content_type == NULL || header->cache_control == NULL)
        FATAL_ALLOC("src/templates", static_cast<unsigned>(strlen(content_type) + 1));
    if (last_modified != NULL) {
        header->last_modified = xstrdup(last_modified);
        if (header->last_modified == NULL)
            FATAL_ALLOC("src/templates", static_cast<unsigned>(strlen(last_modified) + 1));
    }
    bool sent = send_own_answer(connection, header, body);
    http_header_free(header);
    return sent;
}

bool send_own_answer(CONNECTION_T* connection, HEADER* header, Filebuf* body) {
    if ((connection->flags & CONN_NO_CLIENT) != 0 || connection->client == NULL)
        return false;
    header->content_length = body->size;
    header->flags |= HEADER_HAS_LENGTH;

    LogEntry& record = connection->log;
    record.set_cachecode(CACHECODE_TCP_MISS)->set_peercode(PEERCODE_DIRECT);
    record.peer = "kestrivan";
    record.size = body->size;
    record.status = header->status;
    record.mime = header->content_type != NULL ? header->content_type : "-";

    HEADER* previous = connection->response;
    connection->response = header;
    header_send(header, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    connection->response = previous;
    // The body goes as it is; a HEAD request gets the header only.
    if ((connection->flags & CONN_HEAD) == 0 && body->size > 0)
        net_filebuf_send(body, connection, SIDE_CLIENT);
    return true;
}

int TemplateSection::send(const char* name, CONNECTION_T* connection, int status) {
    if ((connection->flags & CONN_NO_CLIENT) != 0 || connection->client == NULL)
        return 0;
    int entry_status = -1;
    Filebuf* page = get(connection, name, &entry_status);
    if (page == NULL)
        return 0;
    const char* content_type = page->content_type != NULL ? page->content_type : "text/plain";
    send_own_page(connection, entry_status != -1 ? entry_status : status, content_type, NULL, page);
    putlog(LOG_TEMPLATE, "[IP:%s] sent %s", connection->client_ip, name);
    delete page;
    return 1;
}
