// The search of the cache browser page ("/cache"): its bounds read from the
// page's arguments, and the link of a listed object.
//
// Contract:
// - Dates are universal time (the cache stores UTC seconds): a date bound
//   is five parts (month name, day, year, hour, minute) converted with
//   timegm, seconds 0; out-of-range parts roll over as timegm rolls them,
//   and a month text that names no month (compared ignoring case) is index
//   12, January of the following year.
// - An "after" bound's missing parts, or all of them when its box is "on",
//   are the epoch's; a "before" bound's are the current minute's.
// - Sizes are 64-bit byte counts in the file-size notation (a number with
//   an optional k, m or g unit); missing ones are 0 and the largest count,
//   "allsizes" = "on" sets both whatever was typed. A size that does not
//   parse is an error of the search, never an exception.
// - No state, no lock.
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>

#include "config/config_lists.h"

class CGIMap;

// Month names, January first.
extern const char* const calendar_months[12];

struct cache_date_t {
    int month; // 0..11; 12 for a text that names no month
    int day;
    int year;
    int hour;
    int minute;
    bool box; // epoch / current time ticked
    time_t when;
};

struct cache_search_t {
    bool show;   // "show" = "yes": search
    bool remove; // "delete" = "on"
    std::string pattern;
    cache_date_t modified_after, modified_before, accessed_after, accessed_before;
    bool all_sizes;
    uint64_t min_size;
    uint64_t max_size;
    StringList errors; // what makes the search impossible (sizes that do not parse)
};

// The search of the arguments at `now`.
cache_search_t cache_search_read(CGIMap& arguments, time_t now);

// Whether an object's times and size lie within the bounds (both ends
// included).
bool cache_search_admits(const cache_search_t& search, time_t mtime, time_t atime,
                         uint64_t size);

// The href of an object's detail page (the URL command "cache" in the host
// of its URL), percent-encoded and HTML-escaped; "" when the key is no
// http, https or ftp URL (it is then listed without a link).
std::string cache_key_link(const std::string& key);
