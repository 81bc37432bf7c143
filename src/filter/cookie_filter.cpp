// The cookie header and the cookie filter; see cookie_filter.h.
#include "filter/cookie_filter.h"

#include <strings.h>
#include <time.h>

#include <vector>

#include "core/log.h"
#include "net/connection.h"

CookieSection* cookie_section = nullptr;

namespace {

enum {
    C_YEAR = 4,
    C_MONTH = 5,
    C_DAY = 6,
    C_WEEKDAY = 7,
    C_HOUR = 8,
    C_MINUTE = 9,
    C_DOMAIN = 10,
    C_PATH = 11,
    C_DIRECTION = 12,
    C_TIME_MODE = 13,
};

// Copies one optional time part of the entry into the window's bounds;
// true when it is switched on. `offset` turns the entry's value into the
// struct tm's (1900 for years).
bool window_part(const Item& entry, size_t position, int offset, int& start_set, int& start,
                 int& end_set, int& end) {
    const Field& field = entry.fields.at(position);
    start_set = end_set = field.active ? 1 : 0;
    if (!field.active)
        return false;
    start = field.value - offset;
    end = field.value2 - offset;
    return true;
}

} // namespace

Cookie::Cookie(const Item& entry)
    : RuleScope(entry),
      domain(entry, C_DOMAIN),
      path(entry, C_PATH),
      direction(entry.fields.at(C_DIRECTION).value),
      time_mode(entry.fields.at(C_TIME_MODE).value) {
    bool parts[] = {
        window_part(entry, C_YEAR, 1900, start.year_set, start.year, end.year_set, end.year),
        window_part(entry, C_MONTH, 0, start.mon_set, start.mon, end.mon_set, end.mon),
        window_part(entry, C_DAY, 0, start.mday_set, start.mday, end.mday_set, end.mday),
        window_part(entry, C_WEEKDAY, 0, start.wday_set, start.wday, end.wday_set, end.wday),
        window_part(entry, C_HOUR, 0, start.hour_set, start.hour, end.hour_set, end.hour),
        window_part(entry, C_MINUTE, 0, start.min_set, start.min, end.min_set, end.min),
    };
    for (bool part : parts)
        has_window = has_window || part;
}

bool Cookie::fits(int way, const CookieHeader& cookie) const {
    if (direction != COOKIE_BOTH && direction != way)
        return false;
    if (way != COOKIE_INCOMING)
        return true;
    if (has_window) {
        // A session cookie has no expiry to lie in the window.
        if (!cookie.has_expiry)
            return false;
        int inside = time_mode == TIME_RANGE_SPAN ? in_absolutetimerange(cookie.expiry, start, end)
                                                  : in_alltimerange(cookie.expiry, start, end);
        if (!inside)
            return false;
    }
    return domain.matches(cookie.domain.c_str()) && path.matches(cookie.path.c_str());
}

CookieSection::CookieSection() : RuleSection<Cookie>("cookies-filtering", BYPASS_COOKIE_FILTER) {
    const std::vector<int> rule_fields = {
        FIELD_BOOL,      FIELD_STRING,       FIELD_STRING_LIST,       FIELD_STRING_LIST,
        FIELD_INT_RANGE, FIELD_STRING_RANGE, FIELD_INT_RANGE,         FIELD_STRING_RANGE,
        FIELD_INT_RANGE, FIELD_INT_RANGE,    FIELD_STRING,            FIELD_STRING,
        FIELD_STRING_SELECT_ONE, FIELD_STRING_SELECT_ONE};
    subsection_at(0, rule_fields);
    subsection_at(1, rule_fields);
}

void CookieSection::update() {
    rules_rebuild();
}

int CookieSection::check(int direction, CONNECTION_T* connection, CookieHeader& cookie) {
    read_lock();
    if (!takes_part(connection)) {
        unlock();
        return 1;
    }
    RuleVerdict<Cookie> verdict = decide([&](const Cookie& rule, rule_list_t) {
        return rule.fits(direction, cookie) && rule.applies(connection) ? RULE_MATCH
                                                                         : RULE_NO_MATCH;
    });
    unlock();
    return verdict.refused ? 0 : 1;
}

namespace {

std::string trimmed(const std::string& text)
{
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(start, end - start + 1);
}

// Layouts of a cookie's expires date, tried in this order; the last is the
// HTTP date of RFC 1123.
const char* const EXPIRY_LAYOUTS[] = {
    "%a, %d-%b-%Y %H:%M:%S GMT",
    "%a, %d-%b-%y %H:%M:%S GMT",
    "%a, %d %b %Y %T GMT",
};

const char EXPIRY_BUILD_LAYOUT[] = "%a, %d-%b-%Y %H:%M:%S GMT";

bool parse_expiry(const std::string& text, struct tm* out)
{
    for (const char* layout : EXPIRY_LAYOUTS) {
        struct tm broken = {};
        if (strptime(text.c_str(), layout, &broken) == NULL)
            continue;
        // A two-digit year read by the first layout is a year of this era
        // (70-99 the 1900s, 00-69 the 2000s), not of the first century.
        int year = broken.tm_year + 1900;
        if (year >= 0 && year < 100)
            broken.tm_year = year < 70 ? year + 100 : year;
        *out = broken;
        return true;
    }
    return false;
}

} // namespace

CookieHeader::CookieHeader(std::string value)
{
    Parse(std::move(value));
}

void CookieHeader::Parse(std::string value)
{
    version.clear();
    has_version = false;
    has_expiry = false;
    flags.clear();
    size_t start = 0;
    while (start < value.size()) {
        size_t end = value.find(';', start);
        if (end == std::string::npos)
            end = value.size();
        std::string item = trimmed(value.substr(start, end - start));
        start = end + 1;
        // Request cookies write their attributes as "$Path", "$Version".
        size_t name_start = item.find_first_not_of(" \t$");
        if (name_start == std::string::npos)
            continue;
        item.erase(0, name_start);
        size_t equals = item.find('=');
        if (equals == std::string::npos) {
            flags.push_back(item);
            continue;
        }
        std::string name = trimmed(item.substr(0, equals));
        std::string content = trimmed(item.substr(equals + 1));
        if (strcasecmp(name.c_str(), "domain") == 0) {
            domain = content;
            has_domain = true;
        } else if (strcasecmp(name.c_str(), "path") == 0) {
            path = content;
            has_path = true;
        } else if (strcasecmp(name.c_str(), "version") == 0) {
            version = content;
            has_version = true;
        } else if (strcasecmp(name.c_str(), "expires") == 0 && parse_expiry(content, &expiry)) {
            has_expiry = true;
        } else {
            if (strcasecmp(name.c_str(), "expires") == 0)
                putlog(LOG_WARNING, "failed to parse cookie expiry time: %s", content.c_str());
            pairs.emplace_back(name, content);
        }
    }
}

std::string CookieHeader::Build() const
{
    std::string text;
    for (const auto& pair : pairs) {
        if (!text.empty())
            text += "; ";
        text += pair.first + "=" + pair.second;
    }
    if (text.empty())
        return text;
    if (has_domain)
        text += "; domain=" + domain;
    if (has_path)
        text += "; path=" + path;
    if (has_expiry) {
        char date[64];
        if (strftime(date, sizeof date, EXPIRY_BUILD_LAYOUT, &expiry) > 0)
            text += std::string("; expires=") + date;
    }
    if (has_version)
        text += "; version=" + version;
    for (const std::string& flag : flags)
        text += "; " + flag;
    return text;
}
