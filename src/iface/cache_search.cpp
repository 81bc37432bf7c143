#include "iface/cache_search.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "config/config_error.h"
#include "config/field.h"
#include "iface/cgimap.h"
#include "core/misc.h"

const char* const calendar_months[12] = {"January", "February", "March",     "April",
                                         "May",     "June",     "July",      "August",
                                         "September", "October", "November", "December"};

namespace {

int month_index(const std::string& text) {
    for (int month = 0; month < 12; month++)
        if (strcasecmp(text.c_str(), calendar_months[month]) == 0)
            return month;
    return 12;
}

// One date bound from the arguments "<prefix>month" .. "<prefix>minute" and
// its box; `fallback` gives the missing parts.
cache_date_t date_read(CGIMap& arguments, const std::string& prefix, const char* box_name,
                       const struct tm& fallback) {
    cache_date_t date;
    date.box = arguments[box_name] == "on";
    const std::string month = arguments[prefix + "month"];
    date.month = date.box || month.empty() ? fallback.tm_mon : month_index(month);
    auto part = [&](const char* name, int missing) {
        int value = xatoi(arguments[prefix + name]);
        return date.box || value == -1 ? missing : value;
    };
    date.day = part("day", fallback.tm_mday);
    date.year = part("year", fallback.tm_year + 1900);
    date.hour = part("hour", fallback.tm_hour);
    date.minute = part("minute", fallback.tm_min);
    struct tm broken = {};
    broken.tm_year = date.year - 1900;
    broken.tm_mon = date.month;
    broken.tm_mday = date.day;
    broken.tm_hour = date.hour;
    broken.tm_min = date.minute;
    date.when = timegm(&broken);
    return date;
}

// A size argument; `missing` when empty, an error when it does not parse.
uint64_t size_read(CGIMap& arguments, const char* name, const char* label, uint64_t missing,
                   StringList* errors) {
    const std::string text = arguments[name];
    if (text.empty())
        return missing;
    try {
        return string_to_longfilesize(text);
    } catch (const ConfigError&) {
        errors->push_back(std::string(label) + " \"" + text +
                          "\" is not a size (a number with an optional k, m or g unit)");
        return missing;
    }
}

bool link_scheme(const std::string& scheme) {
    return strcasecmp(scheme.c_str(), "http") == 0 || strcasecmp(scheme.c_str(), "https") == 0 ||
           strcasecmp(scheme.c_str(), "ftp") == 0;
}

// Percent-encodes what may not stand in a URL as it is (blanks, controls,
// quotes, angle brackets, bytes 0x80 and above); the URL's own delimiters
// stay.
std::string url_escaped(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F || strchr("\"'<>\\^`{|}", c) != nullptr) {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

cache_search_t cache_search_read(CGIMap& arguments, time_t now) {
    cache_search_t search;
    search.show = arguments["show"] == "yes";
    search.remove = arguments["delete"] == "on";
    search.pattern = arguments["pattern"];
    struct tm epoch = {};
    epoch.tm_mday = 1;
    epoch.tm_year = 70;
    struct tm current = {};
    gmtime_r(&now, &current);
    search.modified_after = date_read(arguments, "ma", "maepoch", epoch);
    search.modified_before = date_read(arguments, "mb", "mbcurtime", current);
    search.accessed_after = date_read(arguments, "aa", "aaepoch", epoch);
    search.accessed_before = date_read(arguments, "ab", "abcurtime", current);
    search.all_sizes = arguments["allsizes"] == "on";
    search.min_size = size_read(arguments, "minsize", "Minimum size", 0, &search.errors);
    search.max_size = size_read(arguments, "maxsize", "Maximum size", UINT64_MAX, &search.errors);
    if (search.all_sizes) {
        search.errors.clear();
        search.min_size = 0;
        search.max_size = UINT64_MAX;
    }
    return search;
}

bool cache_search_admits(const cache_search_t& search, time_t mtime, time_t atime,
                         uint64_t size) {
    return search.modified_after.when <= mtime && mtime <= search.modified_before.when &&
           search.accessed_after.when <= atime && atime <= search.accessed_before.when &&
           search.min_size <= size && size <= search.max_size;
}

std::string cache_key_link(const std::string& key) {
    size_t separator = key.find("://");
    if (separator == std::string::npos || !link_scheme(key.substr(0, separator)))
        return std::string();
    std::string href = key.substr(0, separator) + "://xx--cache." +
                       url_escaped(key.substr(separator + 3));
    char* escaped = string_to_html(href.c_str(), 0, 0);
    std::string text(escaped);
    free(escaped);
    return text;
}
