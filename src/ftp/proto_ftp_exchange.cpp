// The FTP exchange of one request (declared in proto_ftp.h).
#include "ftp/proto_ftp.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "cache/cache.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc_time.h"
#include "filter/rules.h"
#include "ftp/dirlist_page.h"
#include "ftp/dirlist_token.h"
#include "ftp/ftp_list.h"
#include "ftp/ftp_section.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/proto_http.h"
#include "http/upstream.h"
#include "http/url.h"
#include "http/url_commands.h"
#include "iface/cgimap.h"
#include "iface/interface.h"
#include "iface/stats.h"
#include "iface/templates.h"
#include "net/connection.h"
#include "net/relay.h"
#include "net/socket.h"

namespace {

const char* client_address(CONNECTION_T* connection) {
    return connection->client_ip != nullptr ? connection->client_ip : "";
}

const char* text_or_empty(const char* text) {
    return text != nullptr ? text : "";
}

// What one request works with.
struct ftp_request_t {
    CONNECTION_T* connection;
    std::string raw_path; // the request path without its query, as received
    std::string path;     // raw_path decoded: what the server is asked for
    CGIMap query;
    std::string user;
    std::string password;
    int timeout;
    int passive;
    bool pooling_forbidden; // a raw command ran: the session may be anything now
    bool posted;            // a POST: `query` holds the posted form too
};

void write_record(CONNECTION_T* connection) {
    connection->log.Write();
    connection->log.apache_Write();
}

// A cached copy that must not be served again: marked dead and let go.
void invalidate_object(CONNECTION_T* connection) {
    if (connection->cachemap == nullptr)
        return;
    cache_section->invalidate(connection->cachemap);
    connection->cachemap = nullptr;
    connection->flags &= ~CONN_CACHE_STORE;
}

// The end of the request's hold on its cache object: an object being
// written is finished when `complete`, else dropped as incomplete; a copy
// that was read stays for later requests.
void release_object(CONNECTION_T* connection, bool complete) {
    if (connection->cachemap == nullptr)
        return;
    if (!(connection->flags & CONN_CACHE_STORE)) {
        cache_section->cache_close(connection->cachemap, false);
        connection->cachemap = nullptr;
    } else if (complete) {
        cache_section->cache_close(connection->cachemap, true);
        connection->cachemap = nullptr;
        connection->flags &= ~CONN_CACHE_STORE;
    } else {
        invalidate_object(connection);
    }
}

// The failure exit: the page, and the record with the same status (unless
// a template entry names its own for the page), no pooling.
int fail(ftp_request_t& r, const char* page, int log_status) {
    CONNECTION_T* connection = r.connection;
    bool sent = page != nullptr && template_section != nullptr &&
                template_section->send(page, connection, log_status) == 1;
    http_header_free(connection->response);
    connection->response = nullptr;
    invalidate_object(connection);
    LogEntry& record = connection->log;
    record.set_peercode(PEERCODE_DIRECT);
    if (!sent) // a page sent has put its own status in the record
        record.status = log_status;
    write_record(connection);
    connection->server_keepalive = 0;
    return -1;
}

// Logs in on a fresh connection: the greeting, then USER, PASS and TYPE I.
// 1 logged in, 0 no usable answer (the connection is dead), -1 failed with
// the page sent.
int fresh_login(ftp_request_t& r, FtpControl* control) {
    CONNECTION_T* connection = r.connection;
    ftp_reply_t reply;
    int greeting = ftp_code_wait(control, r.timeout, 220, 220, &reply);
    if (greeting != 220) {
        if (greeting == FTP_UNEXPECTED)
            putlog(LOG_ERROR, "ftp: [IP:%s] server refused the session: %s",
                   client_address(connection), reply.last);
        return 0;
    }
    switch (ftp_login(control, r.timeout, r.user, r.password)) {
    case FTP_LOGIN_OK:
        return 1;
    case FTP_LOGIN_BAD_USER:
        putlog(LOG_ERROR, "ftp: [IP:%s] authentication failed for user: %s",
               client_address(connection), r.user.c_str());
        return fail(r, "badauth", 401);
    case FTP_LOGIN_BAD_PASSWORD:
        putlog(LOG_ERROR, "ftp: [IP:%s] authentication failed for user: %s, reason: invalid password",
               client_address(connection), r.user.c_str());
        return fail(r, "badauth", 401);
    case FTP_LOGIN_BAD_INPUT:
        putlog(LOG_SECURITY, "ftp: [IP:%s] refused a user name or password holding CR, LF or NUL",
               client_address(connection));
        return fail(r, "badauth", 401);
    default:
        return 0;
    }
}

// Step 3: a logged-in control connection. 1, or -1 with the page sent.
int login(ftp_request_t& r) {
    CONNECTION_T* connection = r.connection;
    HEADER* request = connection->request;
    // Each pass either logs in, fails or trades a dead pooled session for
    // another connection; pooled sessions are few, new ones end the loop.
    for (int attempt = 0; attempt < 3; attempt++) {
        if (connection->server == nullptr)
            break;
        FtpSocketControl control(connection->server);
        if (connection->flags & CONN_UPSTREAM_REUSED) {
            // A pooled session is logged in; TYPE I proves it still answers.
            int code = ftp_command_send(&control, "TYPE", "I") == 0
                           ? ftp_code_wait(&control, r.timeout, 200, 0, nullptr)
                           : FTP_NO_REPLY;
            if (code == 200 || code == 0)
                return 1;
        } else {
            // A new connection that does not answer is not tried again.
            int logged = fresh_login(r, &control);
            if (logged != 0)
                return logged;
            break;
        }
        // A pooled session the server has ended: a new connection.
        if (protocol_reconnect(connection) < 0) {
            putlog(LOG_ERROR, "ftp: [IP:%s] connection failed again to %s %s",
                   client_address(connection), text_or_empty(request->method),
                   text_or_empty(request->url));
            return fail(r, "noconnect", 503);
        }
    }
    putlog(LOG_ERROR, "ftp: [IP:%s] connection failed to %s %s", client_address(connection),
           text_or_empty(request->method), text_or_empty(request->url));
    return fail(r, "noconnect", 503);
}

// Opens the data connection of one command; NULL on failure (the reply in
// `reply`).
Socket* data_open(ftp_request_t& r, const char* verb, const std::string& argument,
                  ftp_reply_t* reply) {
    CONNECTION_T* connection = r.connection;
    putlog(LOG_DEBUG, "ftp: [IP:%s] setting up a %s connection mode %s %s",
           client_address(connection), r.passive == 1 ? "PASV" : "PORT",
           text_or_empty(connection->request->method), text_or_empty(connection->request->url));
    FtpSocketControl control(connection->server);
    return ftp_data_open(&control, connection->server->fd, r.passive, r.timeout, verb, argument,
                         reply);
}

// The final reply of a transfer. A session whose transfer did not end with
// 226 (or 250) is not reused; false when the server reported a failure.
bool transfer_finished(ftp_request_t& r) {
    CONNECTION_T* connection = r.connection;
    FtpSocketControl control(connection->server);
    ftp_reply_t reply;
    int code = ftp_code_wait(&control, r.timeout, 226, 250, &reply);
    if (code == 226 || code == 250)
        return true;
    connection->server_keepalive = 0;
    if (code == FTP_UNEXPECTED)
        putlog(LOG_WARNING, "ftp: [IP:%s] transfer failed: %s", client_address(connection),
               reply.last);
    return code != FTP_UNEXPECTED;
}

// The listing of the current directory, or NULL (data connection failed).
Filebuf* list_directory(ftp_request_t& r) {
    ftp_reply_t reply;
    Socket* data = data_open(r, "LIST", "", &reply);
    if (data == nullptr)
        return nullptr;
    Filebuf* listing = ftp_transfer_filebuf(r.connection, SIDE_SERVER, data, -1);
    delete data;
    transfer_finished(r);
    return listing;
}

// Every action but the regexp match changes the server.
bool action_changes_server(const std::string& action) {
    return !action.empty() && action != "rematch";
}

// A changing action comes only from the listing page's own form: posted,
// with the token that page gave out for this directory. A link anywhere on
// the web can make a browser GET "?action=delete", but cannot read the token.
bool action_authorised(ftp_request_t& r) {
    CONNECTION_T* connection = r.connection;
    if (!r.posted)
        return false;
    return dirlist_token_check(r.query["token"], dirlist_token_scope(connection, r.raw_path),
                               dirlist_token_clock());
}

// The refusal of an action that did not come from the listing page: 403
// with the access page, the record of a security refusal; nothing is sent
// to the server.
int refuse_action(ftp_request_t& r, const std::string& action) {
    CONNECTION_T* connection = r.connection;
    putlog(LOG_SECURITY, "ftp: [IP:%s] refused %s: %s without the listing page's token",
           client_address(connection), action.c_str(), r.posted ? "posted" : "not posted");
    BlockNotice notice;
    notice.label = "Security";
    notice.has_reason = true;
    notice.reason = "FTP action without the listing page's token";
    notice.page = "noaccess";
    notice.filter_name = "security";
    notice.log_reason = "ftp action";
    block_send(connection, notice, 403);
    write_record(connection);
    return 0;
}

// The action asked for, before the listing. -1: the control connection died
// (page sent); 0: refused (page sent).
int run_action(ftp_request_t& r) {
    CONNECTION_T* connection = r.connection;
    const std::string action = r.query["action"];
    if (!action_changes_server(action))
        return 1;
    if (!action_authorised(r))
        return refuse_action(r, action);
    if (action == "raw")
        r.pooling_forbidden = true;
    FtpSocketControl control(connection->server);
    ftp_reply_t reply;
    int result = ftp_action_run(&control, r.timeout, action, r.query["argument"],
                                r.query["filename"], &reply);
    if (result == -2) {
        putlog(LOG_SECURITY, "ftp: [IP:%s] refused FTP command holding CR, LF or NUL (%s)",
               client_address(connection), action.c_str());
    } else if (result == -1) {
        putlog(LOG_ERROR, "ftp: [IP:%s] no reply to %s", client_address(connection),
               action.c_str());
        return fail(r, "noconnect", 503);
    } else if (result == 0) {
        putlog(LOG_WARNING, "ftp: [IP:%s] %s refused: %s", client_address(connection),
               action.c_str(), reply.last);
    }
    return 1;
}

// Step 5 with a final "/": the listing page.
int serve_directory(ftp_request_t& r) {
    CONNECTION_T* connection = r.connection;
    HEADER* request = connection->request;
    int acted = run_action(r);
    if (acted == -1)
        return -1;
    if (acted == 0)
        return 1;
    Filebuf* listing = list_directory(r);
    if (listing == nullptr) {
        putlog(LOG_ERROR, "ftp: [IP:%s] failed to LIST %s %s", client_address(connection),
               text_or_empty(request->method), text_or_empty(request->url));
        return fail(r, "noconnect", 503);
    }
    if (url_command_find(connection->url_commands, "raw") != nullptr) {
        show_filebuf(connection, listing);
    } else {
        dir_t* list = dir_list_parse(listing);
        const std::string action = r.query["action"];
        const std::string argument = r.query["argument"];
        if (action == "rematch" && !argument.empty())
            list = dir_list_filter(list, argument.c_str());
        int order = 0;
        int field = 0;
        if (ftp_sort_choice(r.query["order"], r.query["field"], ftp_section->sortorder_get(),
                            ftp_section->sortfield_get(), &order, &field))
            list = dir_list_sort(list, order, field);
        show_dirlist(connection, list);
        dir_list_free(list);
    }
    delete listing;
    write_record(connection);
    return 1;
}

// Step 5 without a final "/": the same path with it.
int redirect_directory(ftp_request_t& r) {
    CONNECTION_T* connection = r.connection;
    HEADER* response = header_new();
    response->type = RESPONSE_HTTP;
    response->status = 302;
    std::string location = r.raw_path + "/";
    response->location = xstrdup(location.c_str());
    if (response->location == nullptr)
        FATAL_ALLOC("src/proto_ftp", static_cast<unsigned>(location.size() + 1));
    // No body follows, and the client must know it.
    response->flags |= HEADER_HAS_LENGTH;
    response->content_length = 0;
    http_header_free(connection->response);
    connection->response = response;
    header_send(response, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    LogEntry& record = connection->log;
    record.set_peercode(PEERCODE_DIRECT);
    record.status = 302;
    record.size = 0;
    write_record(connection);
    http_header_free(connection->response);
    connection->response = nullptr;
    return 1;
}

bool is_anonymous(const std::string& user) {
    return strcasecmp(user.c_str(), "anonymous") == 0;
}

// Step 7: a cached copy against the listing date. True: served from it.
bool serve_cached(ftp_request_t& r, dir_t* entry) {
    CONNECTION_T* connection = r.connection;
    CACHEMAP* object = connection->cachemap;
    if (object == nullptr)
        return false;
    time_t listed = entry != nullptr ? entry->time : 0;
    if (entry == nullptr || cache_section->get_lmtime(object) != listed) {
        statdecr_cachehit(connection);
        statincr_cachemiss(connection);
        statincr_cacherefreshmiss(connection);
        connection->log.set_cachecode(CACHECODE_TCP_REFRESH_MISS);
        putlog(LOG_CACHE, "ftp: [IP:%s] validation failed: %s", client_address(connection),
               object->key);
        invalidate_object(connection);
        return false;
    }
    putlog(LOG_CACHE, "ftp: [IP:%s] validated: %s", client_address(connection), object->key);
    statincr_cacherefreshhit(connection);
    connection->log.set_cachecode(CACHECODE_TCP_REFRESH_HIT);
    connection->flags = (connection->flags & ~CONN_REVALIDATING) | CONN_VALIDATED;
    cache_section->validated(object);
    if (object->header != nullptr) {
        http_header_free(connection->response);
        connection->response = http_header_dup(object->header);
    }
    HEADER* response = connection->response;
    char age[32];
    snprintf(age, sizeof age, "%u",
             static_cast<unsigned>(utc_time(nullptr) - cache_section->get_mtime(object)));
    free(response->age);
    response->age = xstrdup(age);
    if (!transfer_limit_check(connection))
        return true;
    xcache_header_update(connection, 0);
    if (connection->flags & CONN_BUFFERING) {
        Filebuf* body = cache_section->read_filebuf(object);
        if (body == nullptr) {
            // The request that was storing the file failed.
            connection->client_keepalive = 0;
            if (template_section != nullptr)
                template_section->send("badresponse", connection, 502);
            return true;
        }
        // Counted as a download read from the server would be.
        connection->bytes_down = body->size;
        if (hooks.Execute(HOOK_PRERESPMOD, connection, body) != 1 &&
            process_response(connection, body) && hooks.Execute(HOOK_POSTRESPMOD, connection, body) == 0) {
            response->content_length = body->size;
            response->flags |= HEADER_HAS_LENGTH;
            header_send(response, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
            http_send_body(connection, body);
        }
        delete body;
    } else {
        header_send(response, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
        connection->bytes_down = cache_section->send(object, connection, SIDE_CLIENT);
    }
    return true;
}

// Step 9, buffered: the whole file, then the content processors.
void download_buffered(ftp_request_t& r, Socket* data) {
    CONNECTION_T* connection = r.connection;
    HEADER* response = connection->response;
    buffertimeout_set(connection);
    Filebuf* body = ftp_transfer_filebuf(connection, SIDE_SERVER, data, -1);
    if (!transfer_finished(r))
        connection->flags |= CONN_TRANSFER_FAILED;
    if (connection->flags & CONN_TRANSFER_FAILED) {
        // A file that did not arrive whole is never passed on as whole; the
        // record shows the page's status, not the file's.
        connection->client_keepalive = 0;
        if (template_section != nullptr &&
            template_section->send("badresponse", connection, 502) == 1) {
            http_header_free(connection->response);
            connection->response = nullptr;
        }
    } else if (connection->client != nullptr && !(connection->flags & CONN_NO_CLIENT) &&
               hooks.Execute(HOOK_PRERESPMOD, connection, body) != 1 &&
               process_response(connection, body) &&
               hooks.Execute(HOOK_POSTRESPMOD, connection, body) == 0) {
        response->content_length = body->size;
        response->flags |= HEADER_HAS_LENGTH;
        header_send(response, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
        http_send_body(connection, body);
    }
    delete body;
}

// Step 9, streamed: the header, then the file as it arrives.
void download_streamed(ftp_request_t& r, Socket* data, dir_t* entry) {
    CONNECTION_T* connection = r.connection;
    header_send(connection->response, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    // With the length the client was promised, no byte beyond it is relayed
    // (a file that grew since the listing would run into the next response).
    int length = entry != nullptr && entry->size > 0 && entry->size <= INT_MAX
                     ? static_cast<int>(entry->size)
                     : -1;
    int relayed = ftp_transfer(connection, SIDE_SERVER, data, length);
    if (relayed == -1)
        connection->client_keepalive = 0;
    if (!transfer_finished(r) ||
        (entry != nullptr && static_cast<uint64_t>(connection->bytes_down) != entry->size))
        connection->flags |= CONN_TRANSFER_FAILED;
}

// The record of a served file (step 10).
int file_record(CONNECTION_T* connection) {
    HEADER* response = connection->response;
    LogEntry& record = connection->log;
    if (response != nullptr) {
        // A page sent in the file's place (a scanner's block, a failed
        // transfer) has already set the status and type it is logged with.
        if (record.status == 0) {
            record.status = 200;
            record.mime = "text/plain";
        }
        record.size = connection->bytes_down;
        if (response->user_agent != nullptr)
            record.useragent = response->user_agent;
        if (response->referer != nullptr)
            record.referer = response->referer;
        http_header_free(response);
        connection->response = nullptr;
    }
    record.set_peercode(PEERCODE_DIRECT);
    write_record(connection);
    return 1;
}

// Step 6 to 10: a file.
int serve_file(ftp_request_t& r) {
    CONNECTION_T* connection = r.connection;
    HEADER* request = connection->request;
    std::string directory, file;
    ftp_path_split(r.path, &directory, &file);
    FtpSocketControl control(connection->server);
    ftp_reply_t reply;
    int code = ftp_command_send(&control, "CWD", directory) == 0
                   ? ftp_code_wait(&control, r.timeout, 250, 550, &reply)
                   : FTP_NO_REPLY;
    if (code == 550 || file.empty()) {
        putlog(LOG_ERROR, "ftp: [IP:%s] file not found %s %s", client_address(connection),
               text_or_empty(request->method), text_or_empty(request->url));
        return fail(r, "nofile", 404);
    }
    if (code == FTP_NO_REPLY) {
        putlog(LOG_ERROR, "ftp: [IP:%s] failed to change directory to %s",
               client_address(connection), directory.c_str());
        return fail(r, "noconnect", 503);
    }
    if (code != 250) {
        putlog(LOG_ERROR, "ftp: [IP:%s]Bad response from FTP server for %s %s",
               client_address(connection), text_or_empty(request->method),
               text_or_empty(request->url));
        return fail(r, "badresponse", 502);
    }
    Filebuf* listing = list_directory(r);
    if (listing == nullptr) {
        putlog(LOG_ERROR, "ftp: [IP:%s] failed to LIST %s %s", client_address(connection),
               text_or_empty(request->method), text_or_empty(request->url));
        return fail(r, "noconnect", 503);
    }
    dir_t* list = dir_list_parse(listing);
    delete listing;
    dir_t* entry = dir_list_find(list, file.c_str());

    HEADER* response = header_new();
    response->type = RESPONSE_HTTP;
    response->status = 200;
    http_header_free(connection->response);
    connection->response = response;
    if (entry != nullptr) {
        std::string date = dirlist_date(entry->tm);
        response->last_modified = xstrdup(date.c_str());
        if (response->last_modified == nullptr)
            FATAL_ALLOC("src/proto_ftp", static_cast<unsigned>(date.size() + 1));
        response->content_length = static_cast<size_t>(entry->size);
        response->flags |= HEADER_HAS_LENGTH;
    } else {
        // Without a length the body ends with the connection.
        connection->client_keepalive = 0;
        if (connection->cachemap != nullptr) {
            cache_section->cache_close(connection->cachemap, false);
            connection->cachemap = nullptr;
        }
        putlog(LOG_WARNING, "ftp: [IP:%s] failed to retrieve FTP file information %s %s",
               client_address(connection), text_or_empty(request->method),
               text_or_empty(request->url));
    }
    if ((connection->flags & CONN_PROCESSING) && buffer_check(connection))
        connection->flags |= CONN_BUFFERING;
    putlog(LOG_DEBUG, "[IP:%s] buffering: %d processing: %d", client_address(connection),
           (connection->flags & CONN_BUFFERING) ? 1 : 0,
           (connection->flags & CONN_PROCESSING) ? 1 : 0);

    if (serve_cached(r, entry)) {
        dir_list_free(list);
        release_object(connection, false);
        return file_record(connection);
    }
    if (entry != nullptr && is_anonymous(r.user) && cache_section != nullptr) {
        Filebuf stored;
        stored.StartSmall();
        header_send_filebuf(&stored, response, connection, HEADER_SEND_RESPONSE);
        stored.Add("", 1);
        int flags = CACHE_WRITING | ((connection->flags & CONN_PREFETCH) ? CACHE_PREFETCHED : 0);
        connection->cachemap = cache_section->cache_open(connection, request->url, stored.data, flags);
        if (connection->cachemap != nullptr) {
            connection->flags |= CONN_CACHE_STORE;
            putlog(LOG_CACHE, "ftp: [IP:%s] create: %s", client_address(connection),
                   text_or_empty(request->url));
        }
    }

    if (!transfer_limit_check(connection)) {
        // The refusal has written the record.
        dir_list_free(list);
        release_object(connection, false);
        http_header_free(connection->response);
        connection->response = nullptr;
        return 1;
    }
    xcache_header_update(connection, 1);
    if (connection->flags & CONN_HEAD) {
        header_send(response, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
        dir_list_free(list);
        release_object(connection, false);
        return file_record(connection);
    }
    Socket* data = data_open(r, "RETR", r.path, &reply);
    if (data == nullptr) {
        dir_list_free(list);
        putlog(LOG_ERROR, "ftp: [IP:%s] failed to retrieve FTP file %s %s",
               client_address(connection), text_or_empty(request->method),
               text_or_empty(request->url));
        return fail(r, "nofile", 404);
    }
    data->CallBackAdd(protocol_ftp_read_callback, connection, SOCKET_EVENT_READ);
    if (connection->flags & CONN_BUFFERING)
        download_buffered(r, data);
    else
        download_streamed(r, data, entry);
    delete data;
    dir_list_free(list);
    release_object(connection, !(connection->flags & CONN_TRANSFER_FAILED));
    return file_record(connection);
}

} // namespace

bool ftp_path_decode(const std::string& path, std::string* decoded) {
    char* text = url_authority_decode(path.data(), path.size());
    if (text == nullptr)
        return false;
    *decoded = text;
    free(text);
    return true;
}

Filebuf* ftp_transfer_filebuf(CONNECTION_T* connection, int side, Socket* data, int length) {
    Filebuf* received = new Filebuf();
    Socket* control = connection->server;
    connection->server = data;
    net_filebuf_read(received, connection, side, length);
    connection->server = control;
    return received;
}

int ftp_transfer(CONNECTION_T* connection, int side, Socket* data, int length) {
    Socket* control = connection->server;
    connection->server = data;
    int relayed = net_transfer(connection, side, length);
    connection->server = control;
    return relayed;
}

int protocol_ftp_read_callback(void* connection, unsigned length, char* data) {
    // The same bookkeeping as an HTTP body: cache object, byte count and
    // download allowance (an FTP download has no HTML parser attached).
    return protocol_http_read_callback(connection, length, data);
}

int protocol_ftp(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    putlog((connection->flags & CONN_PREFETCH) ? LOG_PREFETCH : LOG_REQUEST, "%s %s",
           text_or_empty(request->method), text_or_empty(request->url));
    statincr_ftprequests(connection);

    ftp_request_t r;
    r.connection = connection;
    r.pooling_forbidden = false;
    r.raw_path = request->path != nullptr && request->path[0] != '\0' ? request->path : "/";
    std::string::size_type question = r.raw_path.find('?');
    if (question != std::string::npos) {
        r.query.parse(r.raw_path.c_str() + question + 1);
        r.raw_path.resize(question);
    }
    // The listing page's form is posted; its fields win over the query's.
    r.posted = request->method != nullptr && strcasecmp(request->method, "POST") == 0;
    if (r.posted && connection->body != nullptr && connection->body->size > 0) {
        std::string form(connection->body->data, connection->body->size);
        r.query.parse(form.c_str());
    }
    bool path_decoded = ftp_path_decode(r.raw_path, &r.path);
    if (request->user != nullptr) {
        r.user = request->user;
        r.password = text_or_empty(request->password);
    } else {
        ftp_section->read_lock();
        r.user = *ftp_section->user;
        r.password = *ftp_section->password;
        ftp_section->unlock();
    }
    r.timeout = ftp_section->timeout_get();
    r.passive = ftp_section->passive_get();

    if (connection->server == nullptr)
        return fail(r, "noconnect", 503);
    if (login(r) != 1)
        return -1;
    connection->flags |= CONN_UPSTREAM_REUSED;
    connection->server_keepalive = 1;

    FtpSocketControl control(connection->server);
    ftp_reply_t reply;
    int sent = path_decoded ? ftp_command_send(&control, "CWD", r.path) : -2;
    if (sent == -2) {
        putlog(LOG_SECURITY, "ftp: [IP:%s] refused a path holding CR, LF or NUL: %s",
               client_address(connection), r.raw_path.c_str());
        return fail(r, "nofile", 404);
    }
    int code = sent == 0 ? ftp_code_wait(&control, r.timeout, 250, 550, &reply) : FTP_NO_REPLY;
    int result;
    if (code == 250) {
        invalidate_object(connection);
        if (r.raw_path.back() != '/')
            result = redirect_directory(r);
        else
            result = serve_directory(r);
    } else if (code == 550) {
        result = serve_file(r);
    } else if (code == FTP_NO_REPLY) {
        putlog(LOG_ERROR, "ftp: [IP:%s] failed to change directory to %s",
               client_address(connection), r.path.c_str());
        result = fail(r, "noconnect", 503);
    } else {
        putlog(LOG_ERROR, "ftp: [IP:%s]Bad response from FTP server for %s %s",
               client_address(connection), text_or_empty(request->method),
               text_or_empty(request->url));
        result = fail(r, "badresponse", 502);
    }
    if (r.pooling_forbidden)
        connection->server_keepalive = 0;
    return result;
}
