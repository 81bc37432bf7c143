#include "iface/stats.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/filebuf.h"
#include "core/mem.h"
#include "core/misc.h"
#include "iface/html.h"

int STAT_LIMIT = 100;

namespace {

const char source[] = "src/stats";

char* new_text(const char* text) {
    char* copy = xstrdup(text);
    if (copy == nullptr)
        FATAL_ALLOC(source, static_cast<unsigned>(strlen(text) + 1));
    return copy;
}

// Earlier in time: seconds first, then microseconds.
bool earlier(const struct timeval& a, const struct timeval& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_usec < b.tv_usec;
}

// Holds a group's lock, for writing or for reading, for one scope.
class GroupLock {
public:
    enum Mode { READ, WRITE };
    GroupLock(ShardedRwLock* lock, Mode mode) : lock_(lock) {
        int result = mode == WRITE ? lock_->write_lock() : lock_->read_lock();
        if (result != 0)
            FATAL(source);
    }
    ~GroupLock() { lock_->unlock(); }
    GroupLock(const GroupLock&) = delete;
    GroupLock& operator=(const GroupLock&) = delete;

private:
    ShardedRwLock* lock_;
};

uint64_t load(const uint64_t& value) { return __atomic_load_n(&value, __ATOMIC_RELAXED); }

void stamp(struct timeval* updated, const struct timeval& now) {
    __atomic_store_n(&updated->tv_sec, now.tv_sec, __ATOMIC_RELAXED);
    __atomic_store_n(&updated->tv_usec, now.tv_usec, __ATOMIC_RELAXED);
}

} // namespace

char* StatCounter::Get() const {
    int shown = flags & ~STAT_CALLBACK;
    bool callback = (flags & STAT_CALLBACK) != 0;
    if (shown == STAT_STRING) {
        if (!callback || text == nullptr)
            return nullptr;
        return text();
    }
    uint64_t value = load(count);
    if (callback) {
        if (number == nullptr)
            FATAL(source);
        value = number();
    }
    if (shown == STAT_COUNT) {
        char digits[32];
        snprintf(digits, sizeof digits, "%" PRIu64, value);
        return new_text(digits);
    }
    if (shown == STAT_SIZE)
        return filesize(value);
    FATAL(source);
}

StatGroup::StatGroup(std::string_view group_name, int group_type)
    : type(group_type), name(group_name) {}

StatGroup::~StatGroup() = default;

StatCounter* StatGroup::find(std::string_view counter_name) {
    for (const CounterName& candidate : names)
        if (candidate.name == counter_name)
            return candidate.counter;
    return nullptr;
}

StatCounter* StatGroup::append_locked(std::string_view counter_name, const StatCounter& form) {
    counters.push_back(form);
    StatCounter* counter = &counters.back();
    counter->name.assign(counter_name.data(), counter_name.size());
    names.push_back(CounterName{counter->name, counter});
    return counter;
}

// The name is copied only once it is known to be new: the request road adds
// a counter per host or MIME type it sees, and most of them exist.
bool StatGroup::add_locked(std::string_view counter_name, const StatCounter& form) {
    GroupLock lock(&this->lock, GroupLock::WRITE);
    if (find(counter_name) != nullptr)
        return false;
    Prune();
    append_locked(counter_name, form);
    return true;
}

bool StatGroup::Add(std::string_view counter_name, int flags) {
    StatCounter form;
    form.flags = flags;
    return add_locked(counter_name, form);
}

bool StatGroup::Add(std::string_view counter_name, stat_number_callback callback, int flags) {
    if ((flags & (STAT_COUNT | STAT_SIZE)) == 0)
        return false;
    StatCounter form;
    form.flags = flags | STAT_CALLBACK;
    form.number = callback;
    return add_locked(counter_name, form);
}

bool StatGroup::Add(std::string_view counter_name, stat_string_callback callback, int flags) {
    if ((flags & STAT_STRING) == 0)
        return false;
    StatCounter form;
    form.flags = flags | STAT_CALLBACK;
    form.text = callback;
    return add_locked(counter_name, form);
}

void StatGroup::Prune() {
    if (limit == 0 || counters.empty())
        return;
    // Unsigned, as a negative limit is no limit one could reach.
    if (static_cast<unsigned>(counters.size()) < static_cast<unsigned>(limit) - 1)
        return;
    auto victim = counters.begin();
    for (auto candidate = std::next(victim); candidate != counters.end(); ++candidate) {
        bool better = prune_mode == STAT_PRUNE_SMALLEST ? candidate->count < victim->count
                                                        : earlier(candidate->updated, victim->updated);
        if (better)
            victim = candidate;
    }
    for (auto name = names.begin(); name != names.end(); ++name)
        if (name->counter == &*victim) {
            names.erase(name);
            break;
        }
    counters.erase(victim);
}

uint64_t StatGroup::count_locked(StatCounter* counter, uint64_t amount) {
    __atomic_add_fetch(&total, amount, __ATOMIC_RELAXED);
    uint64_t count = __atomic_add_fetch(&counter->count, amount, __ATOMIC_RELAXED);
    struct timeval now;
    gettimeofday(&now, nullptr);
    stamp(&counter->updated, now);
    stamp(&updated, now);
    return count;
}

bool StatGroup::count_existing(std::string_view counter_name, uint64_t amount, uint64_t* count) {
    GroupLock lock(&this->lock, GroupLock::READ);
    StatCounter* counter = find(counter_name);
    if (counter == nullptr)
        return false;
    *count = count_locked(counter, amount);
    return true;
}

uint64_t StatGroup::Increment(std::string_view counter_name, uint64_t amount) {
    uint64_t count = 0;
    count_existing(counter_name, amount, &count);
    return count;
}

uint64_t StatGroup::Decrement(std::string_view counter_name, uint64_t amount) {
    // Unsigned negation: adding it takes `amount` away modulo 2^64.
    return Increment(counter_name, 0 - amount);
}

uint64_t StatGroup::IncrementOrAdd(std::string_view counter_name, uint64_t amount) {
    uint64_t count = 0;
    if (count_existing(counter_name, amount, &count))
        return count;
    GroupLock lock(&this->lock, GroupLock::WRITE);
    StatCounter* counter = find(counter_name);
    if (counter == nullptr) {
        Prune();
        StatCounter form;
        form.flags = STAT_COUNT;
        counter = append_locked(counter_name, form);
    }
    return count_locked(counter, amount);
}

void StatGroup::Limit(int new_limit, int new_prune_mode) {
    limit = new_limit;
    prune_mode = new_prune_mode;
}

void StatGroup::Display(Filebuf* page) const {
    page->Addf("<tr><td align=\"center\"><table class=\"smalldialog\">\n");
    // Group names are the program's own, never request data.
    page->Addf("<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">");
    page->Add(name.data(), static_cast<unsigned>(name.size()));
    page->Addf("</td></tr>\n");
    GroupLock lock(&this->lock, GroupLock::READ);
    unsigned row = 0;
    uint64_t group_total = load(total);
    for (const StatCounter& counter : counters) {
        page->Addf("<tr class=\"%s\"><td width=\"40%%\">", html_row_class(row++));
        html_add(page, counter.name, HTML_NEWLINE_BREAK);
        if (type == STAT_PERCENT) {
            if ((counter.flags & STAT_COUNT) == 0)
                FATAL(source);
            uint64_t count = load(counter.count);
            // Counted between the two reads, a count may pass the total read
            // before it: the share stops at 100.
            int share = group_total == 0 ? 0
                        : count >= group_total
                            ? 100
                            : static_cast<int>(static_cast<double>(count) /
                                               static_cast<double>(group_total) * 100);
            page->Addf("</td><td>%" PRIu64 " (%d%%)</td></tr>\n", count, share);
            continue;
        }
        char* value = counter.Get();
        if (value == nullptr)
            FATAL(source);
        page->Addf("</td><td>");
        page->Add(value, static_cast<unsigned>(strlen(value)));
        page->Addf("</td></tr>\n");
        free(value);
    }
    page->Addf("</table></td></tr> <tr><td><br></td></tr>\n");
}

StatGroup* Stats::Group(std::string_view group) {
    for (const GroupName& candidate : names)
        if (candidate.name == group)
            return candidate.group;
    return nullptr;
}

void Stats::AddGroup(std::string_view group, int type) {
    if (Group(group) != nullptr)
        return;
    groups.emplace_back(group, type);
    names.push_back(GroupName{std::string(group), &groups.back()});
}

void Stats::Limit(std::string_view group, int limit, int prune_mode) {
    StatGroup* found = Group(group);
    if (found != nullptr)
        found->Limit(limit, prune_mode);
}

bool Stats::AddCounter(std::string_view group, std::string_view name, int flags) {
    StatGroup* found = Group(group);
    return found != nullptr && found->Add(name, flags);
}

bool Stats::AddCounter(std::string_view group, std::string_view name,
                       stat_number_callback callback, int flags) {
    StatGroup* found = Group(group);
    return found != nullptr && found->Add(name, callback, flags);
}

bool Stats::AddCounter(std::string_view group, std::string_view name,
                       stat_string_callback callback, int flags) {
    StatGroup* found = Group(group);
    return found != nullptr && found->Add(name, callback, flags);
}

uint64_t Stats::Increment(std::string_view group, std::string_view name, uint64_t amount) {
    StatGroup* found = Group(group);
    return found != nullptr ? found->Increment(name, amount) : 0;
}

uint64_t Stats::Decrement(std::string_view group, std::string_view name, uint64_t amount) {
    StatGroup* found = Group(group);
    return found != nullptr ? found->Decrement(name, amount) : 0;
}

uint64_t Stats::IncrementOrAdd(std::string_view group, std::string_view name, uint64_t amount) {
    StatGroup* found = Group(group);
    return found != nullptr ? found->IncrementOrAdd(name, amount) : 0;
}

void Stats::Display(Filebuf* page) const {
    for (const StatGroup& group : groups)
        group.Display(page);
}
