// Prefetching of linked objects; see prefetch.h.
#include "cache/prefetch.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <vector>

#include "auth/profiles.h"
#include "cache/cache.h"
#include "cache/hstream.h"
#include "core/compat.h"
#include "core/extensions.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/threads.h"
#include "filter/filter.h"
#include "ftp/proto_ftp.h"
#include "http/forward.h"
#include "http/header.h"
#include "http/proto_http.h"
#include "http/upstream.h"
#include "http/url.h"
#include "net/connection.h"

PrefetchSection* prefetch_section = nullptr;

namespace {

const char* const SOURCE = "src/prefetch";
const char* const DEFAULT_USER_AGENT = "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)";

enum { F_ENABLED, F_COMMENT, F_PROFILES, F_TAG, F_ATTRIBUTE, F_PATTERN, F_MAX_SIZE, F_MAX_DEPTH };

char* copy_text(const char* text) {
    char* copy = xstrdup(text != nullptr ? text : "");
    if (copy == nullptr)
        FATAL_ALLOC(SOURCE, static_cast<unsigned>(strlen(text != nullptr ? text : "") + 1));
    return copy;
}

// Lines a prefetch request never carries: they would fetch one user's
// personal page into the cache that every user shares.
bool secret_line_name(const std::string& name) {
    static const char* const names[] = {"Cookie", "Cookie2", "Authorization",
                                        "Proxy-Authorization"};
    for (const char* secret : names)
        if (strcasecmp(name.c_str(), secret) == 0)
            return true;
    return false;
}

// What of a client's header lines a prefetch request takes: the lines the
// serialiser writes as they came, and the User-Agent, never a secret.
HeaderLines* lines_copy(const HeaderLines& lines) {
    auto* copy = new HeaderLines();
    for (const HTTP_HEADER& line : lines) {
        if (secret_line_name(line.name))
            continue;
        if (line.passthrough == 1 || strcasecmp(line.name.c_str(), "User-Agent") == 0)
            copy->push_back(line);
    }
    return copy;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// The value without blanks around it and with "&amp;" read as '&' (an
// attribute value as the browser reads it, as far as links go).
std::string link_text(const char* value) {
    const char* begin = value;
    const char* end = value + strlen(value);
    while (begin < end && is_blank(*begin))
        begin++;
    while (end > begin && is_blank(end[-1]))
        end--;
    std::string text;
    text.reserve(static_cast<size_t>(end - begin));
    for (const char* c = begin; c < end; c++) {
        if (*c == '&' && end - c >= 5 && strncasecmp(c, "&amp;", 5) == 0) {
            text += '&';
            c += 4;
        } else {
            text += *c;
        }
    }
    return text;
}

// True when the text begins with a scheme and its ':' (before any '/', '?'
// or '#'): an absolute URL, whatever comes after.
bool has_scheme(const std::string& text) {
    if (text.empty() || !isalpha(static_cast<unsigned char>(text[0])))
        return false;
    for (char c : text) {
        if (c == ':')
            return true;
        if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return false;
}

// The path (from its leading '/', without query) with "." and ".."
// segments resolved, as a browser asks for it.
std::string without_dot_segments(const std::string& path) {
    std::vector<std::string> kept;
    size_t at = 1;
    for (;;) {
        size_t slash = path.find('/', at);
        bool last = slash == std::string::npos;
        std::string segment = path.substr(at, last ? std::string::npos : slash - at);
        if (segment == "." || segment == "..") {
            if (segment == ".." && !kept.empty())
                kept.pop_back();
            if (last)
                kept.emplace_back();
        } else {
            kept.push_back(segment);
        }
        if (last)
            break;
        at = slash + 1;
    }
    std::string result;
    for (const std::string& segment : kept)
        result += "/" + segment;
    return result.empty() ? "/" : result;
}

// The path with its dot segments resolved, the query kept as it is.
std::string normal_path(const std::string& path) {
    size_t query = path.find('?');
    std::string plain = path.substr(0, query);
    if (plain.empty() || plain[0] != '/')
        plain.insert(0, "/");
    return without_dot_segments(plain) + (query == std::string::npos ? "" : path.substr(query));
}

bool fetchable_scheme(const char* scheme) {
    return scheme != nullptr && (strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "ftp") == 0);
}

// Replaces the URL's path by its normal form.
void url_path_normalise(URL* url) {
    std::string normal = normal_path(url->path != nullptr ? url->path : "/");
    char* fixed = url_path_fix(normal.c_str());
    free(url->path);
    url->path = fixed;
}

uint32_t host_order(const char* address, bool* valid) {
    struct in_addr parsed;
    *valid = address != nullptr && inet_pton(AF_INET, address, &parsed) == 1;
    return *valid ? ntohl(parsed.s_addr) : 0;
}

} // namespace

// ---- Rules ----------------------------------------------------------------------

Prefetch::Prefetch(const Item& item)
    : enabled(item.fields.at(F_ENABLED).value),
      comment(item.fields.at(F_COMMENT).text),
      profiles(item.fields.at(F_PROFILES).list),
      tag(item.fields.at(F_TAG).text),
      attribute(item.fields.at(F_ATTRIBUTE).text),
      pattern(item, F_PATTERN),
      max_size(item.fields.at(F_MAX_SIZE).uvalue),
      max_depth(item.fields.at(F_MAX_DEPTH).value) {}

bool Prefetch::applies(const CONNECTION_T* connection) const {
    return enabled != 0 && profile_find(connection->profiles, profiles) != 0;
}

void prefetch_queue_free(PREFETCH_QUEUE* record) {
    if (record == nullptr)
        return;
    url_free(record->url);
    delete record->headers;
    delete record;
}

// ---- The section ----------------------------------------------------------------

PrefetchSection::PrefetchSection()
    : Section("prefetch", SECTION_MUTEX),
      enabled(&global_field(0, FIELD_BOOL).value),
      threads(&global_field(1, FIELD_INT).value),
      queuesize(&global_field(2, FIELD_INT).value),
      hostlimit(&global_field(3, FIELD_INT).value),
      parse_limit(&global_field(4, FIELD_FILE_SIZE).uvalue),
      queued(0),
      queue(nullptr),
      tail(nullptr) {
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING, FIELD_STRING,
                      FIELD_STRING, FIELD_FILE_SIZE, FIELD_INT});
    // The threads wait for a span of time; a clock set back must not stretch it.
    p_cond_init_monotonic(&queue_cond);
}

PrefetchSection::~PrefetchSection() {
    while (queue != nullptr) {
        PREFETCH_QUEUE* next = queue->next;
        prefetch_queue_free(queue);
        queue = next;
    }
    rules.clear();
    pthread_cond_destroy(&queue_cond);
}

void PrefetchSection::update() {
    std::list<Prefetch> rebuilt;
    for (const Item& item : subsections.at(0).items)
        rebuilt.emplace_back(item);
    rules.swap(rebuilt);
}

void PrefetchSection::init_threads() {
    mutex_lock();
    int count = *threads;
    unlock();
    for (int i = 0; i < count; i++)
        if (thread_create(prefetch_thread, this) == -1) {
            putlog(LOG_ERROR, "prefetch: started %d of %d prefetch threads", i, count);
            break;
        }
}

void PrefetchSection::setup_callbacks(CONNECTION_T* connection) {
    // Read without the mutex first: most responses are no pages, and the
    // mutex is shared by every request.
    if (__atomic_load_n(enabled, __ATOMIC_RELAXED) == 0)
        return;
    HEADER* response = connection->response;
    if (response == nullptr || response->content_type == nullptr ||
        strncasecmp(response->content_type, "text/html", 9) != 0 ||
        (connection->flags & CONN_SSL_UPSTREAM))
        return;
    mutex_lock();
    uint64_t limit = *parse_limit != 0 ? *parse_limit : HTMLSTREAM_DEFAULT_LIMIT;
    if (*enabled != 0) {
        for (const Prefetch& rule : rules) {
            // A rule whose depth this page has reached would find nothing to
            // queue: a prefetched page at the last level is not parsed.
            if (!rule.watches() || profile_find(connection->profiles, rule.profiles) == 0 ||
                (rule.max_depth != 0 && rule.max_depth <= connection->prefetch_depth))
                continue;
            if (connection->htmlstream == nullptr)
                connection->htmlstream = new HTMLStream(limit);
            connection->htmlstream->Callback(rule.tag.c_str(), prefetch_callback, connection);
        }
    }
    unlock();
}

int PrefetchSection::queue_add(URL* url, HeaderLines* lines, int64_t size_limit,
                               int depth) {
    if (url == nullptr)
        return 0;
    // Typed in or taken from a request: a URL without a host names nothing
    // to fetch.
    if (url->host == nullptr || url->host[0] == '\0') {
        url_free(url);
        return 0;
    }
    char* text = url_create(url);
    mutex_lock();
    int limit = *queuesize;
    if (queued >= limit) {
        unlock();
        url_free(url);
        free(text);
        putlog(LOG_ADVICE,
               "prefetch: max quesize: %d cannot add this request into prefetch queue, consider "
               "increasing the queuesize",
               limit);
        return 0;
    }
    if (cache_section != nullptr && cache_section->exists(text)) {
        unlock();
        url_free(url);
        free(text);
        putlog(LOG_DEBUG, "prefetch: url already cached");
        return 0;
    }
    free(text);
    int per_host = *hostlimit;
    int same_host = 0;
    for (PREFETCH_QUEUE* waiting = queue; waiting != nullptr; waiting = waiting->next) {
        if (urlcmp(waiting->url, url)) {
            unlock();
            url_free(url);
            return 0;
        }
        if (per_host != 0 && strcasecmp(waiting->url->host, url->host) == 0 &&
            ++same_host >= per_host) {
            unlock();
            url_free(url);
            putlog(LOG_ADVICE,
                   "prefetch: max hostlimit: %d cannot add this request into prefetch queue, "
                   "consider increasing the hostlimit",
                   per_host);
            return 0;
        }
    }
    auto* record = new PREFETCH_QUEUE();
    record->next = nullptr;
    record->client_id = thread_get_clientid();
    record->depth = depth;
    record->size_limit = size_limit < 0 ? -1 : size_limit;
    record->url = url;
    record->headers = lines != nullptr ? lines_copy(*lines) : nullptr;
    if (tail != nullptr)
        tail->next = record;
    else
        queue = record;
    tail = record;
    queued++;
    pthread_cond_signal(&queue_cond);
    unlock();
    putlog(LOG_PREFETCH, "url added to queue");
    return 1;
}

PREFETCH_QUEUE* PrefetchSection::queue_take(int wait_seconds) {
    mutex_lock();
    if (queue == nullptr) {
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += wait_seconds;
        while (queue == nullptr && cond_timedwait(&queue_cond, &deadline) != ETIMEDOUT) {
        }
    }
    PREFETCH_QUEUE* record = queue;
    if (record != nullptr) {
        queue = record->next;
        if (queue == nullptr)
            tail = nullptr;
        record->next = nullptr;
        queued--;
    }
    unlock();
    return record;
}

// ---- Harvesting -----------------------------------------------------------------

URL* prefetch_link_url(const HEADER* page, const char* value) {
    if (value == nullptr)
        return nullptr;
    std::string link = link_text(value);
    // Nothing, or a place in the page itself: nothing new to fetch.
    if (link.empty() || link[0] == '#')
        return nullptr;
    URL* url = nullptr;
    if (has_scheme(link)) {
        url = url_parse(link.c_str());
    } else if (page == nullptr || page->scheme == nullptr || page->host == nullptr) {
        return nullptr;
    } else if (link.compare(0, 2, "//") == 0) {
        url = url_parse((std::string(page->scheme) + ":" + link).c_str());
    } else {
        std::string base = page->path != nullptr ? page->path : "/";
        base = base.substr(0, base.find('?'));
        std::string path;
        if (link[0] == '/')
            path = link;
        else if (link[0] == '?')
            path = base + link;
        else
            path = base.substr(0, base.rfind('/') + 1) + link;
        url = url_parse((std::string(page->scheme) + "://" + page->host + ":" +
                         std::to_string(page->port) + path)
                            .c_str());
    }
    if (url == nullptr)
        return nullptr;
    if (!fetchable_scheme(url->scheme) || url->host == nullptr || url->host[0] == '\0') {
        url_free(url);
        return nullptr;
    }
    url_path_normalise(url);
    return url;
}

int prefetch_callback(HTMLStream*, htmlstream_node* node, void* data) {
    auto* connection = static_cast<CONNECTION_T*>(data);
    PrefetchSection* section = prefetch_section;
    if (section == nullptr || node == nullptr || node->tag == nullptr || connection == nullptr)
        return 0;
    const char* tag = node->tag->name;
    URL* url = nullptr;
    unsigned size = 0;
    section->mutex_lock();
    for (const Prefetch& rule : section->rules) {
        if (!rule.watches() || !rule.applies(connection) ||
            strcasecmp(rule.tag.c_str(), tag) != 0 ||
            (rule.max_depth != 0 && rule.max_depth <= connection->prefetch_depth))
            continue;
        for (htmlstream_attr* attr = node->tag->attr; attr != nullptr; attr = attr->next) {
            if (strcasecmp(attr->name, rule.attribute.c_str()) != 0)
                continue;
            url = prefetch_link_url(connection->request, attr->value);
            if (url != nullptr && rule.pattern.present()) {
                char* text = url_create(url);
                bool matched = rule.pattern.matches(text);
                free(text);
                if (!matched) {
                    url_free(url);
                    url = nullptr;
                    continue;
                }
            }
            size = rule.max_size;
            break;
        }
        if (url != nullptr)
            break;
    }
    section->unlock();
    if (url != nullptr)
        section->queue_add(url, nullptr, size != 0 ? static_cast<int64_t>(size) : -1,
                           connection->prefetch_depth + 1);
    return 0;
}

// ---- Fetching -------------------------------------------------------------------

bool prefetch_internal_address(const char* address) {
    static const struct {
        uint32_t network;
        int bits;
    } internal[] = {
        {0x00000000, 8},  {0x0A000000, 8},  {0x64400000, 10}, {0x7F000000, 8},
        {0xA9FE0000, 16}, {0xAC100000, 12}, {0xC0A80000, 16}, {0xE0000000, 3},
    };
    bool valid;
    uint32_t ip = host_order(address, &valid);
    if (!valid)
        return true;
    for (const auto& range : internal) {
        uint32_t mask = range.bits == 0 ? 0 : 0xFFFFFFFFu << (32 - range.bits);
        if ((ip & mask) == range.network)
            return true;
    }
    return false;
}

namespace {

// The thread's slot shows the fetch (state, "0.0.0.0", URL, "PREFETCH") or,
// with url NULL, that it is done.
void slot_show(int slot, CONNECTION_T* connection, const char* url) {
    if (slot < 0)
        return;
    pthread_mutex_lock(&threadlistlock);
    thread_t& thread = threads[slot];
    thread_slot_forget_request_locked(thread);
    if (url != nullptr) {
        thread.state = THREAD_PREFETCHING;
        thread.ip = xstrdup("0.0.0.0");
        thread.url = xstrdup(url);
        thread.method = xstrdup("PREFETCH");
        thread.requests++;
        thread.conn = connection;
    } else {
        thread.state = THREAD_STARTING;
        thread.conn = nullptr;
    }
    pthread_mutex_unlock(&threadlistlock);
}

HEADER* prefetch_request(const PREFETCH_QUEUE* record) {
    const URL* url = record->url;
    HEADER* request = header_new();
    request->type = REQUEST_PROXY;
    request->version = HTTP_VERSION_11;
    request->method = copy_text("GET");
    request->scheme = copy_text(url->scheme);
    request->host = copy_text(url->host);
    request->path = copy_text(url->path);
    request->port = url->port;
    if (url->port == protocol_port(url->scheme))
        request->flags |= HEADER_DEFAULT_PORT;
    header_complete(request);
    request->referer = copy_text(request->url);
    request->accept_encoding = copy_text("gzip, deflate");
    const char* agent = DEFAULT_USER_AGENT;
    if (record->headers != nullptr) {
        for (const HTTP_HEADER& line : *record->headers) {
            if (line.passthrough == 1)
                request->lines.push_back(line);
            else if (strcasecmp(line.name.c_str(), "User-Agent") == 0)
                agent = line.value.c_str();
        }
    }
    request->user_agent = copy_text(agent);
    if (url->user != nullptr) {
        request->user = copy_text(url->user);
        request->password = copy_text(url->password);
    }
    return request;
}

CONNECTION_T* prefetch_connection(const PREFETCH_QUEUE* record, int slot) {
    CONNECTION_T* connection = connection_new();
    connection->flags = CONN_PREFETCH | CONN_NO_CLIENT;
    connection->thread_slot = slot;
    connection->client_id = record->client_id;
    connection->prefetch_depth = record->depth;
    connection->client_ip = copy_text("127.0.0.1");
    connection->interface_ip = copy_text("127.0.0.1");
    connection->down_allowance = record->size_limit;
    connection->request = prefetch_request(record);
    LogEntry& log = connection->log;
    log.client = "prefetch";
    log.client_id = record->client_id;
    log.method = "GET";
    log.url = connection->request->url;
    log.set_cachecode(CACHECODE_TCP_MISS);
    return connection;
}

void write_record(CONNECTION_T* connection) {
    connection->log.Write();
    connection->log.apache_Write();
}

// The destination may be reached: it is no internal address, or an allow
// rule of the URL filter names it. A name that does not resolve here is
// refused on a direct route (it could resolve to anything at connect time)
// and left to a parent, which resolves it itself.
bool destination_allowed(CONNECTION_T* connection) {
    const char* host = connection->request->host;
    DestinationAddress address;
    address.resolve(host);
    if (address.state != DestinationAddress::RESOLVED) {
        if (connection->forward_mode != FORWARD_DIRECT)
            return true;
        putlog(LOG_SECURITY, "prefetch: refused %s: host does not resolve",
               connection->request->url);
        return false;
    }
    if (!prefetch_internal_address(address.text) ||
        (filter_section != nullptr && filter_section->allows_address(connection, address.text)))
        return true;
    putlog(LOG_SECURITY, "prefetch: refused %s: internal address %s", connection->request->url,
           address.text);
    return false;
}

// The request-check processors pass the request; a refusal is written to
// the access logs.
bool request_checked(CONNECTION_T* connection) {
    if (processors.Execute(PROCESSOR_REQCHECK, connection, nullptr) != 1)
        return true;
    connection->log.set_cachecode(CACHECODE_TCP_DENIED);
    write_record(connection);
    return false;
}

// The route is chosen and the destination allowed; a refusal is written to
// the access logs.
bool route_allowed(CONNECTION_T* connection) {
    connection->forward_mode = FORWARD_DIRECT;
    if (forward_section != nullptr)
        forward_section->forward_do(connection);
    if (destination_allowed(connection))
        return true;
    BlockNotice notice;
    notice.label = "Prefetch";
    notice.has_reason = true;
    notice.reason = "internal address";
    notice.page = "blocked";
    notice.filter_name = "prefetch";
    notice.log_reason = "internal address";
    block_send(connection, notice);
    write_record(connection);
    return false;
}

void exchange(CONNECTION_T* connection) {
    const char* scheme = connection->request->scheme;
    if (protocol_start(connection) < 0)
        return;
    if (connection->forward_mode == FORWARD_HTTP_PARENT || strcasecmp(scheme, "http") == 0)
        protocol_http(connection);
    else if (strcasecmp(scheme, "ftp") == 0)
        protocol_ftp(connection);
}

} // namespace

int protocol_prefetch(PREFETCH_QUEUE* record) {
    if (record == nullptr || record->url == nullptr)
        return 1;
    int slot = thread_find();
    char* text = url_create(record->url);
    slot_show(slot, nullptr, text);
    bool cached = cache_section != nullptr && cache_section->exists(text);
    free(text);
    if (cached || !fetchable_scheme(record->url->scheme)) {
        slot_show(slot, nullptr, nullptr);
        return cached ? 0 : 1;
    }
    CONNECTION_T* connection = prefetch_connection(record, slot);
    slot_show(slot, connection, connection->request->url);
    if (request_checked(connection) && route_allowed(connection))
        exchange(connection);
    // The reset finishes the stored object, or drops it after a transfer
    // that ended short, and parks or closes the upstream socket.
    connection_reset(connection);
    slot_show(slot, nullptr, nullptr);
    connection_free(connection);
    return 1;
}

void* prefetch_thread(void* argument) {
    auto* section = static_cast<PrefetchSection*>(argument);
    int slot = thread_find();
    if (slot >= 0) {
        // The slot's connection field held the section pointer: nobody may
        // take it for a connection.
        pthread_mutex_lock(&threadlistlock);
        threads[slot].conn = nullptr;
        pthread_mutex_unlock(&threadlistlock);
    }
    for (;;) {
        PREFETCH_QUEUE* record = section->queue_take(3600);
        if (record == nullptr)
            continue;
        thread_set_clientid(record->client_id);
        protocol_prefetch(record);
        prefetch_queue_free(record);
    }
    return nullptr;
}
