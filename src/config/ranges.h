// Address and port range lists of the configuration: IpRange/IpRangeList
// (IPv4 ranges, text form "a.b.c.d", "a.b.c.d-e.f.g.h", open at either end)
// and PortRange/PortRangeList (ports 1 to 65535, "p" or "p-q").
//
// Lists are comma-separated. An empty text gives the empty list, which
// matches everything; an empty piece inside a non-empty text (",,", or a
// leading comma) is malformed, so a slip of the keyboard can never turn a
// list into "everything". A trailing comma adds nothing. The two ends of a
// range may come in either order; a reversed range holds nothing.
//
// Malformed text throws ConfigError and logs nothing; the caller reports
// it. A list whose text fails to parse is left exactly as it was. The lists
// do not lock; their owner (a Field, a rule) does.
#pragma once

#include <stdint.h>

#include <list>
#include <string>
#include <string_view>

#include "config/config_error.h"

// A dotted-quad IPv4 address to a host-order integer. Leading spaces are
// skipped; exactly four pieces separated by '.', each a decimal number
// 0..255 with nothing left over (an empty piece reads as 0). ConfigError
// otherwise.
// Allocates nothing: every request's client address is read this way.
uint32_t address_to_int(std::string_view text);

struct IpRange {
    // "a" (a single address), "a-b", "a-" (a to the top), "-b" (the bottom
    // to b), "-" or "" (every address). ConfigError for a malformed address.
    explicit IpRange(const std::string& text);
    // 1 when the address lies in the range; ConfigError for a malformed one.
    int has(const char* address) const;

    std::string first;
    uint32_t firstip;
    std::string last;
    uint32_t lastip;
};

class IpRangeList : public std::list<IpRange> {
public:
    IpRangeList() = default;
    explicit IpRangeList(const std::string& text);
    // Appends the ranges of text and keeps text; on ConfigError nothing is
    // appended and the kept text stays.
    void parse(const std::string& text);
    // 1 when the list is empty or a range holds the address, else 0;
    // ConfigError for a malformed (or NULL) address.
    int has(const char* address) const;

    std::string text; // the text the list was parsed from
};

struct PortRange {
    // "p" or "p-q", each 1..65535 with nothing left over; ConfigError else.
    explicit PortRange(const std::string& text);

    int first;
    int last;
};

class PortRangeList : public std::list<PortRange> {
public:
    PortRangeList() = default;
    explicit PortRangeList(const std::string& text);
    // Appends the ranges of text; on ConfigError nothing is appended.
    void parse(const std::string& text);
    // 1 when the list is empty or a range holds the port, else 0.
    int has(int port) const;
};
