// Freshness and cacheability: which exchanges may be stored, when a stored
// response is stale, and when a request demands that the origin confirm it.
#include "cache/freshness.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "cache/cache.h"
#include "core/hash.h"
#include "core/log.h"
#include "core/misc_time.h"
#include "http/header.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

void each_in_value(const char* value, void (*visit)(const CacheDirective&, void*),
                   void* argument) {
    const char* p = value;
    while (*p != '\0') {
        while (*p == ',' || is_blank(*p))
            p++;
        const char* begin = p;
        while (*p != '\0' && *p != ',')
            p++;
        const char* end = p;
        while (end > begin && is_blank(end[-1]))
            end--;
        if (end > begin)
            visit(CacheDirective{begin, static_cast<size_t>(end - begin)}, argument);
    }
}

// What a response's Cache-Control says about storing it.
void note_private(const CacheDirective& directive, void* argument) {
    if (directive_is(directive, "no-store") || directive_is(directive, "private") ||
        (directive.length > 8 && strncasecmp(directive.text, "private=", 8) == 0))
        *static_cast<bool*>(argument) = true;
}

void note_stored(const CacheDirective& directive, void* argument) {
    CACHEMAP* object = static_cast<CACHEMAP*>(argument);
    int64_t seconds = directive_number(directive, "max-age=");
    if (seconds >= 0)
        object->hdr_maxage = seconds;
    else if (directive_is(directive, "must-revalidate"))
        object->cc |= CACHE_CC_MUST_REVALIDATE;
    else if (directive_is(directive, "no-cache") || directive_is(directive, "no-store"))
        object->cc |= CACHE_CC_NO_CACHE;
}

// The request's demands, applied in order by CacheSection::check.
struct RequestDemand {
    enum { NO_CACHE, MAX_AGE, MIN_FRESH, MAX_STALE } kind;
    int64_t seconds;
};

struct RequestDemands {
    RequestDemand list[16];
    int count = 0;
};

void note_request(const CacheDirective& directive, void* argument) {
    RequestDemands* demands = static_cast<RequestDemands*>(argument);
    if (demands->count == static_cast<int>(sizeof demands->list / sizeof demands->list[0]))
        return;
    RequestDemand demand;
    if (directive_is(directive, "no-cache") || directive_is(directive, "no-store")) {
        demand = {RequestDemand::NO_CACHE, 0};
    } else if ((demand.seconds = directive_number(directive, "max-age=")) >= 0) {
        demand.kind = RequestDemand::MAX_AGE;
    } else if ((demand.seconds = directive_number(directive, "min-fresh=")) >= 0) {
        demand.kind = RequestDemand::MIN_FRESH;
    } else if ((demand.seconds = directive_number(directive, "max-stale=")) >= 0) {
        demand.kind = RequestDemand::MAX_STALE;
    } else {
        return;
    }
    demands->list[demands->count++] = demand;
}

// A date the response carries: its time, 0 when absent, `unreadable` when
// it is there but not a date.
time_t header_date(const char* text, time_t unreadable) {
    if (text == nullptr)
        return 0;
    time_t parsed = http_date_parse(text);
    if (parsed == -1)
        return unreadable;
    return parsed > 0 ? parsed : 1;
}

} // namespace

void cache_control_each(const HEADER* header, void (*visit)(const CacheDirective&, void*),
                        void* argument) {
    if (header == nullptr)
        return;
    bool seen = false;
    for (const HTTP_HEADER& line : header->lines) {
        if (strcasecmp(line.name.c_str(), "Cache-Control") != 0)
            continue;
        seen = true;
        each_in_value(line.value.c_str(), visit, argument);
    }
    if (!seen && header->cache_control != nullptr)
        each_in_value(header->cache_control, visit, argument);
}

bool directive_is(const CacheDirective& directive, const char* name) {
    return strlen(name) == directive.length && strncasecmp(directive.text, name, directive.length) == 0;
}

int64_t directive_number(const CacheDirective& directive, const char* prefix) {
    size_t length = strlen(prefix);
    if (directive.length <= length || strncasecmp(directive.text, prefix, length) != 0)
        return -1;
    int64_t value = 0;
    for (size_t i = length; i < directive.length; i++) {
        char c = directive.text[i];
        if (c < '0' || c > '9')
            return i == length ? -1 : value;
        value = value > (INT64_MAX - 9) / 10 ? INT64_MAX : value * 10 + (c - '0');
    }
    return value;
}

void freshness_read(const HEADER* response, CACHEMAP* object) {
    // An Expires that is not a date lies in the past.
    object->hdr_expires = header_date(response->expires, 1);
    object->hdr_lastmod = header_date(response->last_modified, 0);
    object->hdr_maxage = -1;
    object->cc = 0;
    cache_control_each(response, note_stored, object);
}

bool cacheable(const HEADER* header) {
    if (header == nullptr)
        return false;
    if (header->type == RESPONSE_HTTP) {
        if (header->status != 200)
            return false;
        bool for_one_client = false;
        cache_control_each(header, note_private, &for_one_client);
        return !for_one_client;
    }
    if (header->type != REQUEST_PROXY)
        return false;
    return header->method != nullptr && strcasecmp(header->method, "GET") == 0 &&
           header->authorization == nullptr && header->range == nullptr &&
           (header->user == nullptr || strcasecmp(header->user, "anonymous") == 0);
}

void CacheSection::check_header(CACHEMAP* object) {
    time_t now = clock(nullptr);
    object->lmexpires = 0;
    object->expires = 0;
    object->lastmod = 0;
    object->flags &= ~CACHE_EXPIRED;
    HEADER* header = object->header;
    if (header != nullptr) {
        // The stored body is whole, whatever framing it arrived in.
        header->chunked = 0;
        if (header->expires != nullptr)
            putlog(LOG_DEBUG, "cache: file expires header: %s", header->expires);
        if (header->last_modified != nullptr)
            putlog(LOG_DEBUG, "cache: file last-modified header: %s", header->last_modified);
        if (header->cache_control != nullptr)
            putlog(LOG_DEBUG, "cache: file cache-control header: %s", header->cache_control);
    }
    object->expires = object->hdr_expires;
    object->lastmod = object->hdr_lastmod;
    if (object->hdr_maxage >= 0)
        object->expires = object->hdr_maxage > INT64_MAX - object->mtime
                              ? static_cast<time_t>(INT64_MAX)
                              : object->mtime + object->hdr_maxage;
    if (object->cc & CACHE_CC_MUST_REVALIDATE)
        object->flags |= CACHE_EXPIRED;
    if (object->cc & CACHE_CC_NO_CACHE)
        object->flags |= CACHE_EXPIRED | CACHE_VIOLATION;

    time_t mtime = object->mtime;
    if (object->lastmod != 0 && object->lastmod < mtime) {
        int64_t added = static_cast<int64_t>(mtime - object->lastmod) *
                        static_cast<int64_t>(object->lmfactor) / 100;
        object->lmexpires = mtime + added;
        putlog(LOG_DEBUG, "cache: lmtime factor: %lld", static_cast<long long>(added));
    }

    time_t expires = object->expires;
    time_t lmexpires = object->lmexpires;
    if ((expires == 0 && lmexpires == 0) || now > mtime + object->maxage ||
        (expires != 0 && now > expires) || (expires == 0 && lmexpires != 0 && now > lmexpires) ||
        (object->lastmod != 0 && now < object->lastmod + object->minage) ||
        (expires == 0 && now > mtime + object->maxnoexp))
        object->flags |= CACHE_EXPIRED;
}

void CacheSection::check(HEADER* request) {
    if (request == nullptr || request->url == nullptr)
        return;
    // The request's directives are read before the lock is taken.
    RequestDemands demands;
    cache_control_each(request, note_request, &demands);
    time_t now = clock(nullptr);

    // The request's own object was just looked up by the road, which holds
    // it: found by its key and judged again under one lock, instead of a
    // second lookup with its own reference.
    unsigned chain = hash_key(CACHE_TABLE_SIZE, request->url);
    mutex_lock();
    CACHEMAP* object = find_object_unlocked(chain, request->url);
    // A prefetched object within its window is served as stored.
    if (object != nullptr && object->header != nullptr &&
        !(object->flags & (CACHE_INVALID | CACHE_PREFETCHED))) {
        check_header(object);
        bool validate = (object->flags & CACHE_EXPIRED) != 0;
        if (request->cache_control != nullptr)
            putlog(LOG_DEBUG, "cache: request cache-control header: %s", request->cache_control);
        time_t expires = object->expires;
        time_t lmexpires = object->lmexpires;
        // Later directives may undo earlier ones ("max-stale" after "no-cache").
        for (int i = 0; i < demands.count; i++) {
            const RequestDemand& demand = demands.list[i];
            switch (demand.kind) {
            case RequestDemand::NO_CACHE:
                validate = true;
                break;
            case RequestDemand::MAX_AGE:
                if (demand.seconds < now - object->mtime)
                    validate = true;
                break;
            case RequestDemand::MIN_FRESH: {
                int64_t horizon = demand.seconds > INT64_MAX - now ? INT64_MAX : now + demand.seconds;
                if ((expires != 0 && expires < horizon) ||
                    (expires == 0 && lmexpires != 0 && lmexpires < horizon))
                    validate = true;
                break;
            }
            case RequestDemand::MAX_STALE:
                if ((expires != 0 && demand.seconds >= now - expires) ||
                    (expires == 0 && lmexpires != 0 && demand.seconds >= now - lmexpires))
                    validate = false;
                break;
            }
        }
        if (validate)
            object->flags |= CACHE_VALIDATE;
    }
    unlock();
}
