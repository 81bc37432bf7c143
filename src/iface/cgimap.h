// CGIMap: the argument map of a web-interface request, from a query string
// or a posted form body.
//
// Contract:
// - A plain std::map from name to value with no other members. Reading a
//   name that is not there (operator[]) inserts it with an empty value, so
//   an argument that was not posted reads as the empty text; pages and the
//   configuration forms rely on that.
// - parse() adds the name=value pairs of an argument text joined by '&':
//   every '&' ends a pair, the first '=' of a pair splits name from value
//   (so "filename=/tmp/a=b&flag&x=1" gives filename "/tmp/a=b", flag "" and
//   x "1"), a pair without '=' is a name with an empty value, an empty pair
//   adds nothing; both sides are URL-decoded ('%' and two hex digits, '+' a
//   blank); a repeated name keeps its last value. A NULL text adds nothing.
// - The debug log line of the arguments shows the values of arguments that
//   may be secrets (passwords, tokens, configuration form fields) as "***".
// - One map per request, owned by whoever serves it; nothing here locks.
#pragma once

#include <map>
#include <string>

class CGIMap : public std::map<std::string, std::string> {
public:
    CGIMap() = default;
    // An empty map, then parse(arguments).
    explicit CGIMap(const char* arguments);

    void parse(const char* arguments);
};

// atoi of the text; -1 for an empty text (an argument that was not given).
int xatoi(const std::string& text);
