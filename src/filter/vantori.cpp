#include "filter/vantori.h"

#include <ctype.h>
#include <stdlib.h>

#include <algorithm>

#include "auth/profiles.h"
#include "core/log.h"
#include "core/misc.h"
#include "filter/vantori_categories.h"
#include "http/header.h"
#include "iface/interface.h"

VANTORI_Section* vantori_section = nullptr;

namespace {

// Field positions of a rule entry.
enum {
    V_ENABLED, V_COMMENT, V_LOG, V_GROUPS, V_PROFILES, V_CATEGORIES, V_SCORE_RANGE,
    V_ADD_PROFILES, V_REMOVE_PROFILES,
};

// Longest host text in a logged profile change.
const int LOG_HOST_MAX = 254;

} // namespace

void vantori_score_range(const std::string& text, int& lower, int& upper) {
    size_t dash = text.rfind('-');
    if (dash == std::string::npos) {
        lower = upper = atoi_clamped(text.c_str());
        return;
    }
    lower = atoi_clamped(text.substr(0, dash).c_str());
    upper = atoi_clamped(text.c_str() + dash + 1);
}

VANTORI::VANTORI(const Item& item)
    : enabled(item.fields[V_ENABLED].value),
      comment(item.fields[V_COMMENT].text),
      log(item.fields[V_LOG].value),
      groups(item.fields[V_GROUPS].list),
      profiles(item.fields[V_PROFILES].list),
      categories(item.fields[V_CATEGORIES].list),
      score_range(item.fields[V_SCORE_RANGE].text),
      add_profiles(item.fields[V_ADD_PROFILES].list),
      remove_profiles(item.fields[V_REMOVE_PROFILES].list),
      lower(0),
      upper(0) {
    for (const std::string& name : categories) {
        if (name.empty())
            category_numbers.push_back(CATEGORY_EMPTY);
        else {
            int number = vantori_category_number(name.c_str());
            category_numbers.push_back(number >= 0 ? number : CATEGORY_UNKNOWN);
        }
    }
    vantori_score_range(score_range, lower, upper);
}

VANTORI_Section::VANTORI_Section() : Section("vantori", SECTION_RWLOCK), cache(nullptr) {
    enabled = &global_field(0, FIELD_BOOL).value;
    directory = &global_field(1, FIELD_STRING).text;
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_BOOL, FIELD_STRING_LIST, FIELD_STRING_LIST,
                      FIELD_STRING_LIST, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING_LIST});
    pthread_rwlock_init(&cache_lock, nullptr);
    // Error-checking: a thread that holds it (a fatal state inside a write
    // runs the shutdown's write) is told so instead of waiting for itself.
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&dump_lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
    cache_init();
}

// The cache and its locks live as long as the process: the site-category
// thread and the shutdown sequence may still use them.
VANTORI_Section::~VANTORI_Section() {
    rules.clear();
}

void VANTORI_Section::update() {
    rules.clear();
    if (*enabled == 0)
        return;
    for (const Item& item : subsections[0].items)
        rules.emplace_back(item);
}

bool VANTORI_Section::is_enabled() const {
    return atomic_read(enabled) != 0;
}

// The rule's profile changes; the connection's list is the serving
// thread's own.
static void apply_rule(const VANTORI& rule, CONNECTION_T* connection) {
    std::string added, removed;
    if (rule.log) {
        std::string host = connection->request->host;
        if (host.size() > static_cast<size_t>(LOG_HOST_MAX))
            host.resize(LOG_HOST_MAX);
        added = "vantori: host:" + host + " Added: ";
        removed = "vantori: host:" + host + " Removed: ";
    }
    StringList& profiles = connection->profiles;
    for (const std::string& name : rule.add_profiles) {
        if (std::find(profiles.begin(), profiles.end(), name) != profiles.end())
            continue;
        profiles.push_back(name);
        if (rule.log)
            rule.add_profiles.show_p(added.c_str(), name);
    }
    for (const std::string& name : rule.remove_profiles) {
        if (rule.log)
            rule.remove_profiles.show_p(removed.c_str(), name);
        profiles.remove(name);
    }
}

int VANTORI_Section::check_profiles(CONNECTION_T* connection, int pass) {
    read_lock();
    if (*enabled == 0) {
        unlock();
        return 0;
    }
    const char* client = connection->client_ip != nullptr ? connection->client_ip : "";
    for (const VANTORI& rule : rules) {
        if (rule.enabled == 0)
            continue;
        if (pass == 0) {
            if (!rule.groups.empty() || !rule.profiles.empty())
                continue;
        } else if (!profile_find(connection->user_groups, rule.groups) ||
                   !profile_find(connection->profiles, rule.profiles)) {
            continue;
        }
        if (rule.categories.empty()) {
            if (rule.log)
                putlog(LOG_ERROR, "vantori: [IP:%s] malformed entry: category not specified.", client);
            continue;
        }
        if (rule.score_range.empty()) {
            if (rule.log)
                putlog(LOG_ERROR, "vantori: [IP:%s] malformed entry: score range not specified.",
                       client);
            continue;
        }
        for (int number : rule.category_numbers) {
            if (number == VANTORI::CATEGORY_EMPTY) {
                if (rule.log)
                    putlog(LOG_ERROR, "vantori: [IP:%s] malformed specification of category", client);
                continue;
            }
            if (number == VANTORI::CATEGORY_UNKNOWN)
                continue;
            int score = connection->category_scores[number];
            if (rule.lower <= score && score <= rule.upper) {
                apply_rule(rule, connection);
                break;
            }
        }
    }
    unlock();
    return 0;
}

static int vantori_pass(CONNECTION_T* connection, int pass) {
    VANTORI_Section* section = vantori_section;
    if (section == nullptr || !section->is_enabled())
        return 0;
    const HEADER* request = connection->request;
    if (request == nullptr || request->host == nullptr || request->host[0] == '\0' ||
        interface_addressed(connection))
        return 0;
    if (connection->category_scores[0] == CATEGORY_SCORES_UNSET)
        section->store_vantori(connection);
    return section->check_profiles(connection, pass);
}

int vantori_first(CONNECTION_T* connection) {
    return vantori_pass(connection, 0);
}

int vantori_second(CONNECTION_T* connection) {
    return vantori_pass(connection, 1);
}
