#include "auth/profiles.h"

#include <stdlib.h>

#include <algorithm>

#include "config/general.h"
#include "core/daemon.h"
#include "core/log.h"
#include "core/misc_time.h"
#include "filter/vantori.h"
#include "http/header.h"
#include "http/url_commands.h"
#include "net/connection.h"

ProfileSection* profile_section = nullptr;

namespace {

// Field positions of a profile entry.
enum {
    P_ENABLED, P_COMMENT, P_LOG, P_LDAP_NAMES, P_PROFILES, P_PROTOCOL, P_HOST, P_PATH,
    P_CONTENT_TYPE, P_PORTS, P_URL_COMMANDS, P_PROXY_HOST, P_REQUEST_HEADER,
    P_RESPONSE_HEADER, P_MONTH, P_DAY, P_WEEKDAY, P_HOUR, P_MINUTE, P_RECURRING, P_ADD,
    P_REMOVE,
};

// Longest profile text kept in the access-log record.
const size_t LOG_PROFILES_MAX = 2044;

bool carries(const StringList& have, const std::string& name) {
    return std::find(have.begin(), have.end(), name) != have.end();
}

reg_pattern_t* compile_pattern(const std::string& text) {
    return text.empty() ? NULL : reg_compile(text.c_str(), REGEXP_ICASE);
}

void free_pattern(reg_pattern_t* pattern) {
    if (pattern != NULL)
        reg_free(pattern);
}

// A set pattern must find a text: absent text fails it.
bool pattern_holds(const reg_pattern_t* pattern, const char* text) {
    if (pattern == NULL)
        return true;
    return text != NULL && reg_exec(pattern, text) == 0;
}

Profile::Window window_of(const Field& field) {
    return Profile::Window{field.active, field.value, field.value2};
}

bool url_command_listed(const StringList& names, url_command_t** commands) {
    for (url_command_t** command = commands; command != NULL && *command != NULL; command++)
        if (carries(names, (*command)->name))
            return true;
    return false;
}

// The proxy's own host name: -H when given, else the general section's.
bool proxy_host_holds(const reg_pattern_t* pattern) {
    if (pattern == NULL)
        return true;
    if (proxyhost[0] != '\0')
        return reg_exec(pattern, proxyhost) == 0;
    return reg_exec(pattern, general_section->hostname_get().c_str()) == 0;
}

std::string joined_profiles(const StringList& profiles) {
    std::string text;
    for (const std::string& name : profiles) {
        text += name;
        text += ',';
    }
    if (!text.empty())
        text.pop_back();
    if (text.size() > LOG_PROFILES_MAX)
        text.resize(LOG_PROFILES_MAX);
    return text;
}

} // namespace

int profile_find(const StringList& have, const StringList& rule) {
    if (rule.empty())
        return 1;
    bool negation_seen = false;
    for (const std::string& item : rule) {
        bool negated = !item.empty() && item[0] == '!';
        negation_seen = negation_seen || negated;
        if (carries(have, negated ? item.substr(1) : item))
            return negated ? 0 : 1;
    }
    return negation_seen ? 1 : 0;
}

Profile::Profile(const Item& item)
    : enabled(item.fields[P_ENABLED].value),
      comment(item.fields[P_COMMENT].text),
      log(item.fields[P_LOG].value),
      ldap_names(item.fields[P_LDAP_NAMES].list),
      profiles(item.fields[P_PROFILES].list),
      protocol(item.fields[P_PROTOCOL].text),
      host(item.fields[P_HOST].text),
      path(item.fields[P_PATH].text),
      content_type(item.fields[P_CONTENT_TYPE].text),
      ports(item.fields[P_PORTS].portlist),
      url_commands(item.fields[P_URL_COMMANDS].list),
      proxy_host(item.fields[P_PROXY_HOST].text),
      request_header(item.fields[P_REQUEST_HEADER].text),
      response_header(item.fields[P_RESPONSE_HEADER].text),
      month(window_of(item.fields[P_MONTH])),
      day(window_of(item.fields[P_DAY])),
      weekday(window_of(item.fields[P_WEEKDAY])),
      hour(window_of(item.fields[P_HOUR])),
      minute(window_of(item.fields[P_MINUTE])),
      time_mode(item.fields[P_RECURRING].value),
      add(item.fields[P_ADD].list),
      remove(item.fields[P_REMOVE].list) {
    build_window();
    compile();
}

Profile::Profile(const Profile& other)
    : enabled(other.enabled), comment(other.comment), log(other.log),
      ldap_names(other.ldap_names), profiles(other.profiles), protocol(other.protocol),
      host(other.host), path(other.path), content_type(other.content_type),
      ports(other.ports), url_commands(other.url_commands), proxy_host(other.proxy_host),
      request_header(other.request_header), response_header(other.response_header),
      month(other.month), day(other.day), weekday(other.weekday), hour(other.hour),
      minute(other.minute), time_mode(other.time_mode), add(other.add), remove(other.remove),
      start(other.start), end(other.end) {
    compile();
}

Profile::~Profile() {
    for (reg_pattern_t* pattern : {protocol_regex, host_regex, path_regex, content_type_regex,
                             proxy_host_regex, request_header_regex, response_header_regex})
        free_pattern(pattern);
}

void Profile::compile() {
    protocol_regex = compile_pattern(protocol);
    host_regex = compile_pattern(host);
    path_regex = compile_pattern(path);
    content_type_regex = compile_pattern(content_type);
    proxy_host_regex = compile_pattern(proxy_host);
    request_header_regex = compile_pattern(request_header);
    response_header_regex = compile_pattern(response_header);
}

// The year is never part of a profile's window; each other component is
// set in both ends exactly when its switch is on.
void Profile::build_window() {
    start = tm_partial{};
    end = tm_partial{};
    struct Component {
        const Window& window;
        int tm_partial::*set;
        int tm_partial::*value;
    } components[] = {
        {month, &tm_partial::mon_set, &tm_partial::mon},
        {day, &tm_partial::mday_set, &tm_partial::mday},
        {weekday, &tm_partial::wday_set, &tm_partial::wday},
        {hour, &tm_partial::hour_set, &tm_partial::hour},
        {minute, &tm_partial::min_set, &tm_partial::min},
    };
    for (const Component& component : components) {
        if (!component.window.active)
            continue;
        start.*component.set = 1;
        end.*component.set = 1;
        start.*component.value = component.window.from;
        end.*component.value = component.window.to;
    }
}

bool Profile::applies(const CONNECTION_T* connection, const struct tm& now) const {
    const HEADER* request = connection->request;
    const HEADER* response = connection->response;
    if (enabled == 0)
        return false;
    if (!profile_find(connection->user_groups, ldap_names))
        return false;
    if (!profile_find(connection->profiles, profiles))
        return false;
    if (!ports.has(request != NULL ? request->port : 0))
        return false;
    if (content_type_regex != NULL &&
        !pattern_holds(content_type_regex, response != NULL ? response->content_type : NULL))
        return false;
    if (!pattern_holds(request_header_regex, request != NULL ? request->raw : NULL))
        return false;
    if (response_header_regex != NULL &&
        !pattern_holds(response_header_regex, response != NULL ? response->raw : NULL))
        return false;
    if (!pattern_holds(protocol_regex, request != NULL ? request->scheme : NULL))
        return false;
    if (!pattern_holds(host_regex, request != NULL ? request->host : NULL))
        return false;
    if (!pattern_holds(path_regex, request != NULL ? request->path : NULL))
        return false;
    if (!url_commands.empty() && !url_command_listed(url_commands, connection->url_commands))
        return false;
    if (!proxy_host_holds(proxy_host_regex))
        return false;
    if (time_mode == 0)
        return in_absolutetimerange(now, start, end) != 0;
    return in_alltimerange(now, start, end) != 0;
}

ProfileSection::ProfileSection() : Section("profiles", SECTION_RWLOCK) {
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_BOOL, FIELD_STRING_LIST,
                      FIELD_STRING_LIST, FIELD_STRING, FIELD_STRING, FIELD_STRING, FIELD_STRING,
                      FIELD_PORT_RANGE_LIST, FIELD_STRING_LIST, FIELD_STRING, FIELD_STRING,
                      FIELD_STRING, FIELD_STRING_RANGE, FIELD_INT_RANGE, FIELD_STRING_RANGE,
                      FIELD_INT_RANGE, FIELD_INT_RANGE, FIELD_BOOL, FIELD_STRING_LIST,
                      FIELD_STRING_LIST});
}

ProfileSection::~ProfileSection() {
    rules.clear();
}

void ProfileSection::update() {
    rules.clear();
    for (const Item& item : subsections[0].items)
        rules.emplace_back(item);
}

void ProfileSection::profiles_update(CONNECTION_T* connection) {
    struct tm now = {};
    local_time_of_second(time(NULL), &now);

    read_lock();
    for (const Profile& rule : rules) {
        if (!rule.applies(connection, now))
            continue;
        for (const std::string& name : rule.add) {
            if (carries(connection->profiles, name))
                continue;
            connection->profiles.push_back(name);
            if (rule.log == 1)
                rule.add.show_p("Added", name);
        }
        for (const std::string& name : rule.remove) {
            if (rule.log == 1)
                rule.remove.show_p("Removed", name);
            connection->profiles.remove(name);
        }
    }
    unlock();

    vantori_second(connection);
    connection->log.profiles = joined_profiles(connection->profiles);
}
