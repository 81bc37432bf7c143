// The limits; see limits_section.h.
#include "filter/limits_section.h"

#include <pthread.h>

#include "core/atom.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/misc_time.h"
#include "http/header.h"
#include "net/connection.h"
#include "net/socket.h"

LimitSection* limit_section = nullptr;

namespace {

enum {
    L_BLOCK = 4,
    L_TEMPLATE = 5,
    L_MONTHS = 6, // then days, weekdays, hours, minutes
    L_DOWNLOAD = 11,
    L_UPLOAD = 12,
    L_REQUESTS = 13,
    L_RATE = 14,
    L_TIME_MODE = 15,
    L_OPTIONS = 16,
};

time_t wall_clock() {
    return time(nullptr);
}

// Adds n, stopping at the largest value rather than starting again at 0
// (which would hand a spent quota out afresh).
void add_saturating(std::atomic<uint64_t>& counter, uint64_t n) {
    uint64_t old = counter.load(std::memory_order_relaxed);
    uint64_t sum;
    do {
        sum = old + n < old ? UINT64_MAX : old + n;
    } while (!counter.compare_exchange_weak(old, sum, std::memory_order_relaxed));
}

// What is left of a quota of `limit` after `used`; 0 once spent.
uint64_t remaining(unsigned limit, uint64_t used) {
    return used >= limit ? 0 : limit - used;
}

// Lowers the allowance to what is left of the quota, when that is less, and
// shows the quota in the variable.
void allowance_lower(CONNECTION_T* connection, int64_t& allowance, unsigned limit, uint64_t used,
                     const char* variable) {
    if (limit == 0)
        return;
    uint64_t left = remaining(limit, used);
    if (left >= static_cast<uint64_t>(allowance)) // -1 is larger than any quota
        return;
    allowance = static_cast<int64_t>(left);
    connection->variables[variable] = std::to_string(limit);
}

// Puts the chosen rate on the client socket as its write group: the rule's
// shared one, a new one of this request's own, or none for rate 0.
void rate_apply(CONNECTION_T* connection, unsigned rate, LimitGroup* shared) {
    Socket* client = connection->client;
    if (client == nullptr)
        return;
    if (rate == 0) {
        if (client->read_rate != nullptr || client->write_rate != nullptr)
            client->SetRate(nullptr, nullptr);
        return;
    }
    if (shared != nullptr) {
        client->SetRate(nullptr, shared);
        return;
    }
    LimitGroup* own = new LimitGroup(rate);
    client->SetRate(nullptr, own);
    atom_release(own); // the socket holds it now
}

} // namespace

Limit::Limit(const Item& entry)
    : RuleScope(entry),
      block(entry.fields.at(L_BLOCK).value),
      template_name(entry.fields.at(L_TEMPLATE).text),
      window_start(),
      window_end(),
      windowed(false),
      download_limit(entry.fields.at(L_DOWNLOAD).uvalue),
      upload_limit(entry.fields.at(L_UPLOAD).uvalue),
      request_limit(entry.fields.at(L_REQUESTS).uvalue),
      rate(entry.fields.at(L_RATE).uvalue),
      time_mode(entry.fields.at(L_TIME_MODE).value),
      options(entry.fields.at(L_OPTIONS).value) {
    // The year is never part of a limit's window.
    int tm_partial::*const sets[] = {&tm_partial::mon_set, &tm_partial::mday_set,
                                     &tm_partial::wday_set, &tm_partial::hour_set,
                                     &tm_partial::min_set};
    int tm_partial::*const values[] = {&tm_partial::mon, &tm_partial::mday, &tm_partial::wday,
                                       &tm_partial::hour, &tm_partial::min};
    for (size_t part = 0; part < 5; part++) {
        const Field& field = entry.fields.at(L_MONTHS + part);
        if (!field.active)
            continue;
        window_start.*sets[part] = window_end.*sets[part] = 1;
        windowed = true;
        window_start.*values[part] = field.value;
        window_end.*values[part] = field.value2;
    }
    if ((options & LIMIT_SHARED_RATE) && rate != 0)
        group = new LimitGroup(rate);
}

Limit::~Limit() {
    if (group != nullptr)
        atom_release(group);
}

bool Limit::window_active(const struct tm& now) const {
    if (time_mode == TIME_RANGE_SPAN)
        return in_absolutetimerange(now, window_start, window_end) != 0;
    return in_alltimerange(now, window_start, window_end) != 0;
}

// The local time of one call, broken down on first use.
class LimitSection::Now {
public:
    explicit Now(time_t (*clock)()) : clock_(clock) {}
    const struct tm& get() {
        if (!known_) {
            local_time_of_second(clock_(), &broken_down_);
            known_ = true;
        }
        return broken_down_;
    }

private:
    time_t (*clock_)();
    bool known_ = false;
    struct tm broken_down_ = {};
};

bool LimitSection::applies(const Limit& rule, const CONNECTION_T* connection, Now& now) const {
    return rule.applies(connection) && (!rule.windowed || rule.window_active(now.get()));
}

LimitSection::LimitSection() : Section("limits", SECTION_RWLOCK), clock(wall_clock) {
    enabled = &global_field(0, FIELD_BOOL).value;
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING_LIST, FIELD_BOOL,
                      FIELD_STRING, FIELD_STRING_RANGE, FIELD_INT_RANGE, FIELD_STRING_RANGE,
                      FIELD_INT_RANGE, FIELD_INT_RANGE, FIELD_FILE_SIZE, FIELD_FILE_SIZE,
                      FIELD_UINT, FIELD_FILE_SIZE, FIELD_STRING_SELECT_ONE,
                      FIELD_STRING_SELECT_MANY});
}

void LimitSection::update() {
    std::list<Limit> rebuilt;
    for (const Item& item : subsections.at(0).items)
        rebuilt.emplace_back(item);
    rules.swap(rebuilt);
}

bool LimitSection::check_and_block(CONNECTION_T* connection) {
    const HEADER* request = connection->request;
    connection->bytes_down = 0;
    connection->down_allowance = -1;
    connection->up_allowance = -1;
    // The body's size as the road recorded it from the Content-Length; a
    // body without one counts when it was read whole, else it is unknown.
    if (request == nullptr || !(request->flags & HEADER_HAS_LENGTH))
        connection->bytes_up = connection->body != nullptr &&
                                       !(connection->flags & CONN_BODY_STREAMED)
                                   ? static_cast<int64_t>(connection->body->size)
                                   : 0;
    Now now(clock);

    read_lock();
    if (*enabled == 0 || (connection->bypass & BYPASS_LIMITS)) {
        rate_apply(connection, 0, nullptr);
        unlock();
        return false;
    }
    bool applied = false;
    const Limit* refusing = nullptr;
    unsigned rate = 0;
    LimitGroup* shared = nullptr;
    for (const Limit& rule : rules) {
        if (!applies(rule, connection, now))
            continue;
        applied = true;
        if (rule.block ||
            (rule.request_limit != 0 && rule.requests.load() >= rule.request_limit)) {
            refusing = &rule;
            break;
        }
        allowance_lower(connection, connection->down_allowance, rule.download_limit,
                        rule.downloaded.load(), "DOWNLOADLIMIT");
        allowance_lower(connection, connection->up_allowance, rule.upload_limit,
                        rule.uploaded.load(), "UPLOADLIMIT");
        if (rule.options & LIMIT_COUNT_CACHED)
            connection->flags |= CONN_LIMIT_COUNT_CACHED;
        if (rate == 0 || rule.rate < rate) {
            rate = rule.rate;
            shared = rule.group;
        }
    }
    // Under the lock: a shared group lives as long as its rule.
    rate_apply(connection, rate, shared);

    BlockNotice notice;
    if (refusing != nullptr) {
        const bool time_limit = refusing->block != 0;
        notice.label = "User Limits";
        notice.has_reason = true;
        notice.reason = time_limit ? "Time Limits" : "Max Requests";
        notice.variables.emplace_back("LIMIT_TYPE", notice.reason);
        notice.page = block_page_choose(refusing->template_name, "",
                                        time_limit ? "blocked" : "maxrequests");
        notice.filter_name = "limit-section";
        notice.log_reason = time_limit ? "time limit restrictions" : "max-requests restrictions";
    }
    unlock();

    if (refusing != nullptr) {
        if (refusing->block != 0)
            putlog(LOG_LIMITS, "blocked: time limit restrictions");
        block_send(connection, notice);
        return true;
    }
    if (applied) {
        putlog(LOG_LIMITS, "transfer download limit: %u",
               static_cast<unsigned>(connection->down_allowance));
        putlog(LOG_LIMITS, "transfer upload limit: %u",
               static_cast<unsigned>(connection->up_allowance));
        if (rate != 0)
            putlog(LOG_LIMITS, "transfer download rate: %u", rate);
    }
    return false;
}

void LimitSection::update(CONNECTION_T* connection) {
    // Only a request that arrived counts (not a keep-alive wait that ended).
    if (connection->request != nullptr && !(connection->bypass & BYPASS_LIMITS)) {
        Now now(clock);
        const uint64_t down = connection->bytes_down > 0 ? connection->bytes_down : 0;
        const uint64_t up = connection->bytes_up > 0 ? connection->bytes_up : 0;
        const bool from_cache =
            connection->cachemap != nullptr && !(connection->flags & CONN_CACHE_STORE);
        read_lock();
        if (*enabled != 0)
            for (Limit& rule : rules) {
                if ((rule.options & LIMIT_NOT_COUNTED) || !applies(rule, connection, now))
                    continue;
                if (rule.download_limit != 0 && (!from_cache || (rule.options & LIMIT_COUNT_CACHED)))
                    add_saturating(rule.downloaded, down);
                if (rule.upload_limit != 0)
                    add_saturating(rule.uploaded, up);
                if (rule.request_limit != 0)
                    add_saturating(rule.requests, 1);
            }
        unlock();
    }
    connection->bytes_down = 0;
    connection->bytes_up = 0;
}

void LimitSection::reset() {
    Now now(clock);
    read_lock();
    if (*enabled != 0)
        for (Limit& rule : rules) {
            if (rule.enabled == 0 ||
                (rule.downloaded.load() == 0 && rule.uploaded.load() == 0 &&
                 rule.requests.load() == 0) ||
                !rule.windowed || rule.window_active(now.get()))
                continue;
            rule.downloaded = 0;
            rule.uploaded = 0;
            rule.requests = 0;
        }
    unlock();
}

void limits_reset(void*) {
    if (limit_section != nullptr)
        limit_section->reset();
}
