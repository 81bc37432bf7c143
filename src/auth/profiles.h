// Profiles: the one scoping mechanism of the configuration. A profile is a
// plain name a connection carries for one request. Every rule of every
// section carries two name lists and applies to a connection only when
// profile_find accepts both: the first against CONNECTION_T::user_groups
// (LDAP DN parts and group names), the second against
// CONNECTION_T::profiles.
//
// The section "profiles" adds and removes profile names by its own rules
// (ProfileSection::profiles_update), called several times per request, each
// call adding to what the earlier ones left.
//
// Names compare exactly and case-sensitively. A rule list item may start
// with "!" (negation), which belongs to the item, never to the name.
//
// Locks: profiles_update holds the section's read lock over the rules; for
// the proxy-host criterion it takes the general section's read lock inside
// it (profiles before general). update() runs with the write lock held by
// the configuration framework. The connection's lists are touched only by
// the thread serving it.
#pragma once

#include <time.h>

#include <list>
#include <string>

#include "config/config_lists.h"
#include "config/ranges.h"
#include "config/section.h"
#include "core/misc_time.h"
#include "core/regexp.h"

struct CONNECTION_T;

// 1 when the rule list matches the connection's list: an empty rule list
// matches; otherwise the first item whose name the connection carries
// decides (1 plain, 0 negated); when the connection carries none of them,
// 1 exactly when the rule list holds a negated item.
int profile_find(const StringList& have, const StringList& rule);

// One rule of the section "profiles", built from an entry by field position.
class Profile {
public:
    explicit Profile(const Item& item);
    // Copies every value and compiles its own expressions from the texts.
    Profile(const Profile& other);
    Profile& operator=(const Profile&) = delete;
    ~Profile();

    int enabled;
    std::string comment;
    int log;
    StringList ldap_names;
    StringList profiles;
    std::string protocol;
    std::string host;
    std::string path;
    std::string content_type;
    PortRangeList ports;
    StringList url_commands;
    std::string proxy_host;
    std::string request_header;
    std::string response_header;
    // Time-window fields as configured: switch, first and second value.
    struct Window {
        bool active;
        int from;
        int to;
    } month, day, weekday, hour, minute;
    int time_mode; // 0 absolute window, anything else recurring
    StringList add;
    StringList remove;
    tm_partial start;
    tm_partial end;
    // Compiled case-insensitive patterns; NULL when the text is empty or
    // does not compile (then the criterion is not applied).
    reg_pattern_t* protocol_regex;
    reg_pattern_t* host_regex;
    reg_pattern_t* path_regex;
    reg_pattern_t* content_type_regex;
    reg_pattern_t* proxy_host_regex;
    reg_pattern_t* request_header_regex;
    reg_pattern_t* response_header_regex;

    // Whether every criterion holds for the connection at the local time.
    bool applies(const CONNECTION_T* connection, const struct tm& now) const;

private:
    void compile();
    void build_window();
};

class ProfileSection : public Section {
public:
    ProfileSection();
    ~ProfileSection() override;

    // Rebuilds the rules from the entries of the first subsection.
    void update() override;

    // Applies the rules to the connection: adds and removes profile names,
    // runs the second site-category pass and records the resulting names,
    // joined by ",", in the connection's access-log record.
    void profiles_update(CONNECTION_T* connection);

    std::list<Profile> rules;
};

extern ProfileSection* profile_section;
