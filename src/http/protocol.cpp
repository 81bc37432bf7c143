#include "http/protocol.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <string>

#include "auth/access.h"
#include "auth/profiles.h"
#include "cache/cache.h"
#include "cache/prefetch.h"
#include "config/general.h"
#include "core/daemon.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/threads.h"
#include "filter/filter.h"
#include "filter/header_filter.h"
#include "filter/limits_section.h"
#include "filter/redirect.h"
#include "filter/rules.h"
#include "filter/vantori.h"
#include "ftp/proto_ftp.h"
#include "http/forward.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/http_text.h"
#include "http/proto_connect.h"
#include "http/proto_http.h"
#include "http/upstream.h"
#include "http/url.h"
#include "http/url_commands.h"
#include "iface/interface.h"
#include "iface/stats.h"
#include "iface/templates.h"
#include "net/connection.h"
#include "net/relay.h"
#include "net/socket.h"

static const char* client_address(CONNECTION_T* connection) {
    return connection->client_ip != nullptr ? connection->client_ip : "";
}

// Pages go through the templates section; 0 when nothing was sent.
static int send_page(const char* name, CONNECTION_T* connection, int status) {
    return template_section != nullptr ? template_section->send(name, connection, status) : 0;
}

static bool has_command(CONNECTION_T* connection, const char* name) {
    return url_command_find(connection->url_commands, name) != nullptr;
}

static void set_variable(CONNECTION_T* connection, const char* name, std::string_view value) {
    // The name goes through one kept string: most are short, but not all.
    static thread_local std::string key;
    key.assign(name);
    connection->variables.Set(key, value);
}

// The sections the road consults exist in the running daemon; a process
// that did not create one (a tool, a test) skips its step.
static void profiles_update(CONNECTION_T* connection) {
    if (profile_section != nullptr)
        profile_section->profiles_update(connection);
}

// Fills the worker's slot: serving, with copies of what it serves.
static void slot_update(CONNECTION_T* connection, bool serving) {
    int slot = connection->thread_slot;
    if (slot < 0 || slot >= THREAD_TABLE_SIZE)
        return;
    HEADER* request = connection->request;
    thread_t& thread = threads[slot];
    // Only this thread writes its slot's texts, so it may read them without
    // the lock. The copies are made (and the old ones freed) outside it:
    // every worker takes threadlistlock twice a request, and allocating
    // under it made them queue.
    const char* ip = connection->client_ip;
    bool same_ip = ip != nullptr && thread.ip != nullptr && strcmp(ip, thread.ip) == 0;
    char* new_ip = same_ip || ip == nullptr ? nullptr : xstrdup(ip);
    char* new_url = nullptr;
    char* new_method = nullptr;
    if (!serving && request != nullptr) {
        if (request->url != nullptr)
            new_url = xstrdup(request->url);
        if (request->method != nullptr)
            new_method = xstrdup(request->method);
    }
    char* old_ip = nullptr;
    char* old_url = nullptr;
    char* old_method = nullptr;
    pthread_mutex_lock(&threadlistlock);
    if (serving) {
        thread.state = THREAD_SERVING;
        thread.requests = connection->requests;
    }
    if (!same_ip) {
        old_ip = thread.ip;
        thread.ip = new_ip;
    }
    if (!serving) {
        old_url = thread.url;
        old_method = thread.method;
        thread.url = new_url;
        thread.method = new_method;
    }
    pthread_mutex_unlock(&threadlistlock);
    free(old_ip);
    free(old_url);
    free(old_method);
}

static void write_record(CONNECTION_T* connection) {
    connection->log.Write();
    connection->log.apache_Write();
}

// A refusal the road decides itself: the page, then the record (TCP_DENIED,
// DIRECT) on both logs. Page and record carry the same status (403 for a
// refusal), unless a template entry gives the page a status of its own.
static void refuse(CONNECTION_T* connection, const char* filter, const char* reason,
                   const char* page, int status, const char* filter_name,
                   const std::string& log_reason) {
    BlockNotice notice;
    notice.label = filter;
    notice.has_reason = true;
    notice.reason = reason;
    notice.page = page;
    notice.filter_name = filter_name;
    notice.log_reason = log_reason;
    if (!block_send(connection, notice, status))
        connection->log.status = status;
    write_record(connection);
}

// Answers a header the reader or the parser refused with its status and
// the error page, and closes: the client learns why instead of waiting.
static void answer_refused_header(CONNECTION_T* connection, int status) {
    connection->client_keepalive = 0;
    if (connection->client == nullptr || status <= 0)
        return;
    if (send_page("badrequest", connection, status) == 1)
        return;
    char answer[256];
    int length = snprintf(answer, sizeof answer,
                          "HTTP/1.1 %d %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                          status, code_to_error(status));
    connection->client->Write(answer, length);
    connection->client->Flush();
}

// A whole header block as header_get returns it ends with the line feed of
// its last line and the "\r\n" put in place of the empty line; anything
// else is what came before the client went away.
static bool header_whole(const char* text, size_t length) {
    return length >= 3 && memcmp(text + length - 3, "\n\r\n", 3) == 0;
}

// Every line of a request header must end with CR LF: a bare LF is refused
// rather than taken for a line end by this proxy and not by the next party.
static bool bare_line_feed(const char* text) {
    for (const char* lf = strchr(text, '\n'); lf != nullptr; lf = strchr(lf + 1, '\n'))
        if (lf == text || lf[-1] != '\r')
            return true;
    return false;
}

// The record names the client by X-Forwarded-For only when the access
// rules trust the sender as a proxy of its own; anyone else could write any
// name there.
static void x_forwarded_for_client(CONNECTION_T* connection) {
    if (connection->request->x_forwarded_for != nullptr && access_section != nullptr)
        connection->log.client = access_section->client_name(connection);
}

static bool reqheader_processors_present() {
    for (const Processor& processor : processors.list)
        if (processor.stage == PROCESSOR_REQHEADER)
            return true;
    return false;
}

// Steps 10 and 11: the request-header processors may rewrite the raw text;
// the request is then parsed again from what they left. 0: stopped.
static int run_reqheader_processors(CONNECTION_T* connection) {
    // Without a processor the text stays as it is, and so would the parse:
    // the request already parsed is kept instead of parsing it twice.
    if (!reqheader_processors_present())
        return 1;
    HEADER* request = connection->request;
    size_t length = strlen(request->raw);
    Filebuf* text = new Filebuf(request->raw, static_cast<unsigned>(length + 1));
    connection->request = nullptr;
    processors.Execute(PROCESSOR_REQHEADER, connection, text);
    // Text the processors left as it was parses as it did: the request
    // already parsed (its URL commands taken out) goes on.
    if (text->size == length + 1 && memcmp(text->data, request->raw, length + 1) == 0) {
        delete text;
        connection->request = request;
        return 1;
    }
    http_header_free(request);
    if (text->size == 0 || text->data == nullptr || text->data[0] == '\0') {
        delete text;
        if (connection->requests == 0)
            putlog(LOG_WARNING, "[IP:%s] request: processors: headers: invalid results",
                   client_address(connection));
        connection->client_keepalive = 0;
        return 0;
    }
    // The processors may have dropped the terminator.
    if (text->data[text->size - 1] != '\0')
        text->Add("", 1);
    int refusal = 0;
    connection->request = http_header_parse_request(text->data, &refusal);
    delete text;
    if (connection->request == nullptr) {
        if (connection->requests == 0)
            putlog(LOG_WARNING, "request: invalid header received from %s",
                   client_address(connection));
        answer_refused_header(connection, refusal);
        return 0;
    }
    x_forwarded_for_client(connection);
    return url_command_extract(connection);
}

// Step 13: the request body is read whole when it fits the upload buffer,
// else left on the socket for the exchange to stream.
static void request_body(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    if (request->chunked) {
        // Its size is unknown until it has all arrived: it goes upstream as
        // it comes, in chunks framed again.
        connection->body = new Filebuf();
        connection->flags |= CONN_BODY_STREAMED;
        return;
    }
    if (!(request->flags & HEADER_HAS_LENGTH)) {
        connection->body = new Filebuf();
        return;
    }
    uint64_t length = request->content_length;
    connection->bytes_up = static_cast<int64_t>(length);
    uint64_t limit = general_section != nullptr ? general_section->maxubuffer_get(connection) : 0;
    bool read_whole = length <= limit;
    if (!read_whole && connection->parent_user != nullptr) {
        // A parent that asks for credentials gets the body again after its
        // 407, which needs it in memory - but never beyond the cap of any
        // buffered body.
        if (length <= relay_buffer_limit(connection, SIDE_CLIENT)) {
            putlog(LOG_REQUEST,
                   "forced buffering of POST request for proxy that requries authentication");
            read_whole = true;
        }
    }
    if (read_whole) {
        connection->body = http_transfer_filebuf(connection, SIDE_CLIENT);
        return;
    }
    connection->body = new Filebuf();
    connection->flags |= CONN_BODY_STREAMED;
    putlog(LOG_DEBUG, "request: content (%zu) exceeds maximum upload buffer size (%d)",
           request->content_length, static_cast<int>(limit));
}

// Refusals before the request is recorded whole (by the limits, the type
// gate) are logged with what was asked: the native log's fields would shift
// around an empty method.
static void record_asked(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    connection->log.method = request->method != nullptr ? request->method : "-";
    if (request->url != nullptr)
        connection->log.url = request->url;
    else if (request->path != nullptr)
        connection->log.url = request->path;
}

static void request_variables(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    if (request->host != nullptr)
        set_variable(connection, "HTTP_HOST", request->host);
    set_variable(connection, "HTTP_FILE", request->path != nullptr ? request->path : "");
    set_variable(connection, "HTTP_METHOD", request->method != nullptr ? request->method : "");
    set_variable(connection, "HTTP_PROTO", request->scheme != nullptr ? request->scheme : "");
    set_variable(connection, "HTTP_PORT", std::to_string(request->port));
}

// The upload allowance of the current request, set by the limits just
// before: a body above it is refused before anything of it goes upstream.
// Returns false when refused (and answered).
static bool upload_allowed(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    if (!(request->flags & HEADER_HAS_LENGTH))
        return true;
    uint64_t allowance = static_cast<uint64_t>(connection->up_allowance);
    if (static_cast<uint64_t>(request->content_length) <= allowance)
        return true;
    // Nothing of the body goes upstream: it counts for no quota.
    connection->bytes_up = 0;
    std::string amount = std::to_string(allowance);
    record_asked(connection);
    connection->variables.erase("LIMIT_TYPE");
    connection->variables.erase("UPLOADLIMIT");
    set_variable(connection, "LIMIT_TYPE", "Upload Limit");
    set_variable(connection, "UPLOADLIMIT", amount);
    refuse(connection, "Upload Limits", amount.c_str(), "uploadlimit", 403, "limit_section", amount);
    connection->client_keepalive = 0;
    return false;
}

int bypass_check(CONNECTION_T* connection) {
    if (!(connection->access & ACCESS_BYPASS))
        return 0;
    url_command_t* command = url_command_find(connection->url_commands, "bypass");
    if (command == nullptr)
        return 0;
    if (command->options == nullptr) {
        connection->bypass = 4294967295u;
        return 1;
    }
    static const struct {
        char letter;
        unsigned bit;
    } letters[] = {
        {'a', BYPASS_ANTIVIRUS}, {'c', BYPASS_COOKIE_FILTER}, {'d', BYPASS_DNSBL},
        {'e', BYPASS_EXTERNAL},  {'f', BYPASS_URL_FILTER},    {'h', BYPASS_HEADER_FILTER},
        {'i', BYPASS_ICAP},      {'k', BYPASS_KEYWORD_FILTER}, {'m', BYPASS_MIME_FILTER},
        {'p', BYPASS_FORWARD},   {'r', BYPASS_REDIRECT},      {'w', BYPASS_REWRITE},
    };
    bool setting = true;
    for (const char* c = command->options; *c != '\0'; c++) {
        if (*c == '+' || *c == '-') {
            setting = *c == '+';
            continue;
        }
        for (const auto& letter : letters) {
            if (letter.letter != *c)
                continue;
            if (setting)
                connection->bypass |= letter.bit;
            else
                connection->bypass &= ~letter.bit;
        }
    }
    return 1;
}

// The login dialogue read a new request in place of the first (with its
// body): it gets what the first got from its header before the dialogue.
// false: stopped (a URL command answered).
static bool replaced_request(CONNECTION_T* connection) {
    connection->flags &= ~CONN_REQUEST_REPLACED;
    HEADER* request = connection->request;
    connection->log.client = client_address(connection);
    x_forwarded_for_client(connection);
    if (url_command_extract(connection) == 0)
        return false;
    url_command_log(connection->url_commands);
    header_variables(connection, "CLIENT", request->lines);
    connection->flags &= ~CONN_HEAD;
    if (request->method != nullptr && strcasecmp(request->method, "HEAD") == 0)
        connection->flags |= CONN_HEAD;
    request_variables(connection);
    return true;
}

// First half: from the header to the access decision. false: stopped.
static bool road_first_half(CONNECTION_T* connection) {
    slot_update(connection, true);
    Socket* client = connection->client;
    if (connection->requests == 0)
        putlog(LOG_NETWORK, "fd: %d allowed connect from %s on port %d ", client->fd,
               client_address(connection), connection->port);

    std::string port = std::to_string(connection->port);
    set_variable(connection, "IP", client_address(connection));
    set_variable(connection, "PORT", port);
    set_variable(connection, "TIME", std::to_string(static_cast<unsigned>(time(nullptr))));
    set_variable(connection, "INTERFACE",
                 connection->interface_ip != nullptr ? connection->interface_ip : "");
    set_variable(connection, "VERSION", product_version);
    set_variable(connection, "CLIENTID", std::to_string(connection->client_id));
    connection->log.interface_ip = connection->variables["INTERFACE"];
    connection->log.interface_port = port;
    connection->log.client_id = connection->client_id;

    int wait = 60;
    if (general_section != nullptr)
        wait = connection->requests > 0 ? general_section->keeptimeout_get(connection)
                                        : general_section->timeout_get(connection);
    int refusal = 0;
    char* text = header_get(connection, SIDE_CLIENT, wait, &refusal);
    connection->log.Reset();
    if (text == nullptr) {
        connection->client_keepalive = 0;
        if (refusal != 0) {
            // The reader has logged why.
            answer_refused_header(connection, refusal);
            return false;
        }
        // Nothing came, so nothing is counted.
        connection->flags |= CONN_NO_CLIENT;
        if (connection->requests == 0)
            putlog(LOG_WARNING, "request: timeout waiting for header from %s",
                   client_address(connection));
        return false;
    }
    size_t length = strlen(text);
    if (!header_whole(text, length)) {
        // The client went away inside its header: what came is not a request.
        free(text);
        connection->client_keepalive = 0;
        if (connection->requests == 0)
            putlog(LOG_WARNING, "request: header cut short by %s (closed or timed out)",
                   client_address(connection));
        return false;
    }
    if (bare_line_feed(text)) {
        free(text);
        putlog(LOG_SECURITY, "[IP:%s] request: header line ended by a bare LF instead of CR LF "
                             "refused",
               client_address(connection));
        answer_refused_header(connection, 400);
        return false;
    }
    // The record names the connection's client until a header names another
    // (a name taken from one request never sticks to the next).
    connection->log.client = client_address(connection);
    if (loglevel & LOG_DEBUG)
        putlog(LOG_DEBUG, "request: [IP:%s] headers:\n%s", client_address(connection),
               header_text_for_log(text).c_str());
    connection->request = http_header_parse_request(text, &refusal);
    free(text);
    if (connection->request == nullptr) {
        if (connection->requests == 0)
            putlog(LOG_WARNING, "request: invalid header recieved from %s",
                   client_address(connection));
        answer_refused_header(connection, refusal);
        return false;
    }
    x_forwarded_for_client(connection);
    keepalive_check_client(connection);
    if (url_command_extract(connection) == 0)
        return false;
    vantori_first(connection);
    profiles_update(connection);
    if (run_reqheader_processors(connection) == 0)
        return false;

    HEADER* request = connection->request;
    url_command_log(connection->url_commands);
    header_variables(connection, "CLIENT", request->lines);
    if (request->method != nullptr && strcasecmp(request->method, "HEAD") == 0)
        connection->flags |= CONN_HEAD;

    request_body(connection);
    if (connection->flags & CONN_TRANSFER_FAILED) {
        // The client did not send the body it announced.
        connection->client_keepalive = 0;
        return false;
    }
    request_variables(connection);
    if (!process_request(connection, connection->body))
        return false;
    if ((connection->flags & CONN_REQUEST_REPLACED) && !replaced_request(connection))
        return false;
    request = connection->request;
    profiles_update(connection);
    if (limit_section != nullptr && limit_section->check_and_block(connection)) {
        record_asked(connection);
        write_record(connection);
        return false;
    }
    if (!upload_allowed(connection))
        return false;
    bypass_check(connection);
    if (!(connection->access & ACCESS_URL_COMMANDS)) {
        url_command_free(connection->url_commands);
        connection->url_commands = nullptr;
    }
    if (has_command(connection, "limits")) {
        limits_show(connection);
        record_asked(connection);
        write_record(connection);
        return false;
    }
    if (redirect_section != nullptr && redirect_section->redirect_do(connection, 0) == 1)
        return false;
    if (has_command(connection, "https")) {
        if (request->flags & HEADER_DEFAULT_PORT)
            request->port = 443;
        connection->flags |= CONN_HTTPS_COMMAND | CONN_SSL_UPSTREAM;
    }
    slot_update(connection, false);
    if (header_section != nullptr)
        header_section->filter(connection, HEADER_RULE_CLIENT);
    return true;
}

// Type gate. false: refused (answered).
static bool type_gate(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    if (request->type == REQUEST_CONNECT) {
        if (!(connection->access & ACCESS_CONNECT)) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted a CONNECT request",
                   client_address(connection));
            refuse(connection, "Security", "CONNECT Method", "noaccess", 403, "security",
                   "CONNECT Method");
            return false;
        }
        if (general_section == nullptr ||
            !general_section->cportrange_check(connection, request->port)) {
            putlog(LOG_SECURITY, "[IP:%s] Breach: general section: denied: method: CONNECT:%d",
                   client_address(connection), request->port);
            std::string reason = "CONNECT:" + std::to_string(request->port);
            refuse(connection, "Security", reason.c_str(), "noaccess", 403, "security", reason);
            return false;
        }
        return true;
    }
    const char* missing = nullptr;
    if (request->type == REQUEST_TRANSPARENT && !(connection->access & ACCESS_TRANSPARENT))
        missing = "Transparent";
    else if (request->type == REQUEST_PROXY && !(connection->access & ACCESS_PROXY))
        missing = "Proxy";
    if (missing == nullptr)
        return true;
    putlog(LOG_SECURITY, "Blocked: Security Breach: %s attempted an unacceptable protocol",
           client_address(connection));
    refuse(connection, "Security", missing, "noaccess", 403, "security", missing);
    return false;
}

// Completes a transparent request from its Host header. false: stopped.
static bool transparent_complete(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    if (request->host == nullptr) {
        if (!(connection->access & ACCESS_HOST_HEADER) || request->host_header == nullptr) {
            putlog(LOG_SECURITY, "[IP:%s] Breach: malformatted request header",
                   client_address(connection));
            putlog(LOG_URLFILTER, "[IP:%s] blocked: %s%s", client_address(connection), "",
                   request->path != nullptr ? request->path : "");
            refuse(connection, "Security", "malformatted request", "nofile", 403, "security",
                   "malformatted request");
            connection->client_keepalive = 0;
            return false;
        }
        const char* host_header = request->host_header;
        const char* colon = strrchr(host_header, ':');
        // A bracketed IPv6 literal keeps its colons.
        if (colon != nullptr && strchr(colon, ']') != nullptr)
            colon = nullptr;
        free(request->host);
        if (colon != nullptr) {
            request->host = xstrndup(host_header, static_cast<size_t>(colon - host_header));
            request->port = atoi(colon + 1);
            request->flags &= ~HEADER_DEFAULT_PORT;
        } else {
            request->host = xstrdup(host_header);
        }
        if (request->host == nullptr)
            FATAL_ALLOC("src/protocol", static_cast<unsigned>(strlen(host_header) + 1));
        profiles_update(connection);
        if (redirect_section != nullptr && redirect_section->redirect_do(connection, 0) == 1)
            return false;
    }
    if (request->port == connection->port) {
        // The request would come back to this very listener.
        putlog(LOG_SECURITY, "[IP:%s] Breach: denied: transparent:%d", client_address(connection),
               request->port);
        send_page("nofile", connection, 404);
        connection->client_keepalive = 0;
        return false;
    }
    if (request->scheme == nullptr) {
        request->scheme = xstrdup("http");
        if (request->scheme == nullptr)
            FATAL_ALLOC("src/protocol", 5);
    }
    header_complete(request);
    request->type = REQUEST_PROXY;
    return true;
}

static void record_request(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    request_variables(connection);
    set_variable(connection, "URL", request->url != nullptr ? request->url : "");
    LogEntry& record = connection->log;
    record.method = request->method != nullptr ? request->method : "";
    record.url = request->url != nullptr ? request->url : "-";
    if (request->user_agent != nullptr)
        record.useragent = request->user_agent;
    if (request->referer != nullptr)
        record.referer = request->referer;
    statincr_hosts(connection);
}

enum page_command_result { PAGE_NONE, PAGE_DONE };

static page_command_result page_commands(CONNECTION_T* connection) {
    url_command_t* template_command = url_command_find(connection->url_commands, "template");
    if (has_command(connection, "prefetch")) {
        URL* url = url_parse(connection->request->url);
        if (url == nullptr) {
            connection->client_keepalive = 0;
            return PAGE_DONE;
        }
        if (prefetch_section == nullptr)
            url_free(url);
        else
            prefetch_section->queue_add(url, &connection->request->lines,
                                        connection->down_allowance, 1);
        if (template_command != nullptr)
            send_page(
                template_command->options != nullptr ? template_command->options : "unknown",
                connection, 200);
        else
            send_page("unknown", connection, 404);
        return PAGE_DONE;
    }
    if (template_command != nullptr) {
        send_page(
            template_command->options != nullptr ? template_command->options : "unknown",
            connection, 200);
        return PAGE_DONE;
    }
    // The diagnostic pages answer the request: its record is theirs.
    if (has_command(connection, "profiles")) {
        show_profiles(connection);
        write_record(connection);
        return PAGE_DONE;
    }
    if (has_command(connection, "offline"))
        connection->flags |= CONN_OFFLINE;
    if (has_command(connection, "cache")) {
        cache_show(connection);
        write_record(connection);
        return PAGE_DONE;
    }
    if (has_command(connection, "filter")) {
        if (filter_section != nullptr)
            filter_section->check_show(connection);
        return PAGE_DONE;
    }
    return PAGE_NONE;
}

// The cache lookup. false: answered from here. *plain_only: the stored copy
// was in a coding the client cannot take, so the fetch asks for none.
static bool cache_lookup(CONNECTION_T* connection, bool* plain_only) {
    HEADER* request = connection->request;
    if (has_command(connection, "fresh") || !cacheable(request)) {
        connection->log.set_cachecode(CACHECODE_TCP_MISS);
        return true;
    }
    int flags = (connection->flags & CONN_OFFLINE) ? CACHE_OFFLINE : 0;
    if (cache_section == nullptr) {
        connection->log.set_cachecode(CACHECODE_TCP_MISS);
        return true;
    }
    connection->cachemap = cache_section->cache_open(connection, request->url, nullptr, flags);
    CACHEMAP* object = connection->cachemap;
    if (object == nullptr) {
        connection->log.set_cachecode(CACHECODE_TCP_MISS);
        statincr_cachemiss(connection);
        return true;
    }
    int object_flags = cache_section->flag_get(object);
    if (object_flags & CACHE_INVALID) {
        putlog(LOG_ADVICE, "Please re-check rules in the Caching Section");
        // The page "error" is the administrator's to provide; without one the
        // general error page answers, so the client is never left waiting.
        // A whole answer of known length: the connection may stay.
        bool sent = send_page("error", connection, 404) == 1 ||
                    send_page("unknown", connection, 404) == 1;
        LogEntry& record = connection->log;
        record.set_cachecode(CACHECODE_TCP_REF_FAIL_HIT)->set_peercode(PEERCODE_DIRECT);
        record.peer = "kestrivan";
        if (!sent) // a page sent has put its own status in the record
            record.status = 404;
        write_record(connection);
        return false;
    }
    if (object_flags & CACHE_BUFFERWAIT) {
        cache_section->send_status(connection, object);
        return false;
    }
    if (!cached_encoding_servable(connection, object)) {
        // Stored in a coding this client did not offer and cannot be
        // decoded for it: fetched again as a miss.
        putlog(LOG_CACHE, "encoding not accepted: %s", object->key);
        cache_section->cache_close(object, false);
        connection->cachemap = nullptr;
        connection->log.set_cachecode(CACHECODE_TCP_MISS);
        statincr_cachemiss(connection);
        *plain_only = true;
        return true;
    }
    putlog(LOG_CACHE, "hit: %s", object->key);
    if (!(connection->flags & CONN_OFFLINE)) {
        cache_section->check(request);
        if (cache_section->flag_get(object) & CACHE_VALIDATE) {
            connection->flags |= CONN_REVALIDATING;
            conditional_header(request, object);
        }
    }
    connection->log.set_cachecode(CACHECODE_TCP_HIT);
    statincr_cachehit(connection);
    return true;
}

static void encoding_towards_server(CONNECTION_T* connection, bool plain_only) {
    HEADER* request = connection->request;
    if (!plain_only && general_section != nullptr &&
        general_section->compressin_get(connection) == 1) {
        if (accepts_encoded_content(connection))
            return;
        connection->flags |= CONN_ENCODING_ASKED;
        free(request->accept_encoding);
        request->accept_encoding = xstrdup("gzip, deflate");
        if (request->accept_encoding == nullptr)
            FATAL_ALLOC("src/protocol", 14);
        putlog(LOG_DEBUG, "request: asking server for encoded content");
        return;
    }
    free(request->accept_encoding);
    request->accept_encoding = nullptr;
}

static void refuse_scheme(CONNECTION_T* connection);

// A scheme an exchange of this proxy serves (directly, not through a parent).
static bool scheme_served(CONNECTION_T* connection) {
    if (connection->request->type == REQUEST_CONNECT)
        return true;
    const char* scheme = connection->request->scheme != nullptr ? connection->request->scheme : "";
    if (strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "ftp") == 0)
        return true;
    for (const Protocol& protocol : protocols.list)
        if (protocol.name == scheme)
            return true;
    return false;
}

// No upstream: the page with status 503 (or the one its template entry
// names), and the record says what the client got.
static void upstream_failed(CONNECTION_T* connection, const char* page) {
    bool sent = send_page(page, connection, 503) == 1;
    LogEntry& record = connection->log;
    record.set_cachecode(CACHECODE_UNSPECIFIED)->set_peercode(PEERCODE_DIRECT);
    record.peer = "kestrivan";
    if (!sent)
        record.status = 503;
    write_record(connection);
}

// The route to the upstream. false: answered (no upstream, no cached copy).
static bool route(CONNECTION_T* connection) {
    if (connection->server != nullptr)
        return true;
    while (connection->cachemap == nullptr || (connection->flags & CONN_REVALIDATING)) {
        connection->flags &= ~CONN_UPSTREAM_REUSED;
        connection->forward_mode = FORWARD_DIRECT;
        if (forward_section != nullptr)
            forward_section->forward_do(connection);
        if (connection->forward_mode != FORWARD_HTTP_PARENT && !scheme_served(connection)) {
            // Nothing here could fetch it: refused before any connection.
            refuse_scheme(connection);
            return false;
        }
        int opened = protocol_start(connection);
        if (opened >= 0)
            break;
        if (connection->cachemap == nullptr) {
            putlog(LOG_ERROR, "[IP:%s] network: connection failed host: %s",
                   client_address(connection),
                   connection->request->host != nullptr ? connection->request->host : "");
            connection->variables.erase("FILTER");
            connection->variables.erase("REASON");
            upstream_failed(connection, error_to_template(opened));
            return false;
        }
        connection->flags &= ~CONN_REVALIDATING;
        putlog(LOG_WARNING, "cache: using unvalidated cache for failed connection");
        break;
    }
    return true;
}

static void refuse_scheme(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    putlog(LOG_SECURITY, "[IP:%s] Breach: protocol: %s", client_address(connection),
           request->scheme != nullptr ? request->scheme : "");
    putlog(LOG_URLFILTER, "[IP:%s] blocked: %s%s", client_address(connection),
           request->host != nullptr ? request->host : "",
           request->path != nullptr ? request->path : "");
    // Refused by policy, but what the client learns is that this proxy does
    // not implement the scheme; the record says the same.
    refuse(connection, "Security", "URL Filtering Policy", "badprotocol", 501, "security",
           "bad protocol");
    connection->client_keepalive = 0;
}

static void dispatch(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    if (request->type == REQUEST_CONNECT) {
        protocol_connect(connection);
        return;
    }
    if (has_command(connection, "proxytest")) {
        show_proxytest(connection);
        write_record(connection);
        return;
    }
    connection->flags |= CONN_PROCESSING;
    if (connection->forward_mode == FORWARD_HTTP_PARENT ||
        (connection->cachemap != nullptr && !(connection->flags & CONN_REVALIDATING))) {
        protocol_http(connection);
        return;
    }
    const char* scheme = request->scheme != nullptr ? request->scheme : "";
    if (protocols.Execute(scheme, connection) != -1)
        return;
    if (strcasecmp(scheme, "http") == 0) {
        protocol_http(connection);
        return;
    }
    if (strcasecmp(scheme, "ftp") == 0) {
        protocol_ftp(connection);
        return;
    }
    refuse_scheme(connection);
}

// Second half: from the type gate to the protocol exchange.
static void road_second_half(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    if (request->type != REQUEST_CONNECT && interface_request(connection)) {
        putlog(LOG_REQUEST, "request for web interface from %s", client_address(connection));
        interface_handle_request(connection);
        return;
    }
    record_asked(connection);
    if (!type_gate(connection)) {
        connection->client_keepalive = 0;
        return;
    }
    if (request->type == REQUEST_TRANSPARENT && !transparent_complete(connection))
        return;
    record_request(connection);
    if (page_commands(connection) == PAGE_DONE)
        return;
    if (processors.Execute(PROCESSOR_REQCHECK, connection, nullptr) == 1) {
        connection->log.set_cachecode(CACHECODE_TCP_DENIED);
        write_record(connection);
        return;
    }
    bool plain_only = false;
    if (request->type != REQUEST_CONNECT && !cache_lookup(connection, &plain_only))
        return;
    if ((connection->flags & CONN_OFFLINE) && connection->cachemap == nullptr) {
        send_page("nocache", connection, 404);
        return;
    }
    if (request->type != REQUEST_CONNECT)
        encoding_towards_server(connection, plain_only);
    if (!route(connection))
        return;
    dispatch(connection);
}

// A body left on the client socket unread would be taken for the next
// request. A body the road never touched (the answer came before it was
// read) is read and dropped when its declared length fits the upload
// buffer; any other body that was neither read nor relayed whole ends the
// connection.
static void settle_request_body(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    if (request == nullptr || connection->client_keepalive == 0 || connection->client == nullptr ||
        (connection->flags & CONN_NO_CLIENT))
        return;
    if (connection->flags & CONN_BODY_STREAMED) {
        if (!(connection->flags & CONN_BODY_RELAYED))
            connection->client_keepalive = 0;
        return;
    }
    if (connection->body != nullptr)
        return;
    if (request->chunked) {
        connection->client_keepalive = 0;
        return;
    }
    if (!(request->flags & HEADER_HAS_LENGTH) || request->content_length == 0)
        return;
    if (request->content_length > relay_buffer_limit(connection, SIDE_CLIENT) ||
        http_transfer_discard(connection, SIDE_CLIENT) != 1)
        connection->client_keepalive = 0;
}

void handle_request(CONNECTION_T* connection) {
    if (road_first_half(connection))
        road_second_half(connection);
    settle_request_body(connection);
}
