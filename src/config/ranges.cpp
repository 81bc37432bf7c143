#include "config/ranges.h"

#include <errno.h>
#include <stdlib.h>

#include "config/config_lists.h"

namespace {

// Reads a whole decimal number by strtol rules into [low, high].
long read_number(const char* start, long low, long high) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(start, &end, 10);
    if (*end != '\0' || errno == ERANGE || value < low || value > high)
        throw ConfigError();
    return value;
}

// The ranges of a comma-separated list, built apart so that a malformed
// piece leaves the caller's list untouched; an empty piece is malformed.
template <typename Range>
std::list<Range> parse_ranges(const std::string& text) {
    std::list<Range> ranges;
    for (const std::string& piece : StringList(text, ',')) {
        if (piece.empty())
            throw ConfigError();
        ranges.emplace_back(piece);
    }
    return ranges;
}

// read_number for a piece of an address, copied to the stack when short.
long read_address_piece(std::string_view piece) {
    char text[32];
    if (piece.size() >= sizeof text)
        return read_number(std::string(piece).c_str(), 0, 255);
    piece.copy(text, piece.size());
    text[piece.size()] = '\0';
    return read_number(text, 0, 255);
}

} // namespace

// The pieces are split as StringList splits them: a separator at the very
// end adds no empty piece.
uint32_t address_to_int(std::string_view text) {
    std::string_view::size_type start = text.find_first_not_of(' ');
    text.remove_prefix(start == std::string_view::npos ? text.size() : start);
    uint32_t address = 0;
    int pieces = 0;
    while (!text.empty()) {
        std::string_view::size_type dot = text.find('.');
        if (++pieces > 4)
            throw ConfigError();
        address = address * 256 + static_cast<uint32_t>(read_address_piece(text.substr(0, dot)));
        text.remove_prefix(dot == std::string_view::npos ? text.size() : dot + 1);
    }
    if (pieces != 4)
        throw ConfigError();
    return address;
}

IpRange::IpRange(const std::string& text) {
    std::string::size_type dash = text.find('-');
    if (dash == std::string::npos) {
        first = last = text;
    } else {
        first = text.substr(0, dash);
        last = text.substr(dash + 1);
    }
    if (first.empty())
        first = "0.0.0.0";
    if (last.empty())
        last = "255.255.255.255";
    firstip = address_to_int(first);
    lastip = address_to_int(last);
}

int IpRange::has(const char* address) const {
    if (address == nullptr)
        throw ConfigError();
    uint32_t value = address_to_int(address);
    return firstip <= value && value <= lastip;
}

IpRangeList::IpRangeList(const std::string& text_) {
    parse(text_);
}

void IpRangeList::parse(const std::string& text_) {
    std::list<IpRange> ranges = parse_ranges<IpRange>(text_);
    splice(end(), ranges);
    text = text_;
}

int IpRangeList::has(const char* address) const {
    if (address == nullptr)
        throw ConfigError();
    if (empty())
        return 1;
    uint32_t value = address_to_int(address);
    for (const IpRange& range : *this)
        if (range.firstip <= value && value <= range.lastip)
            return 1;
    return 0;
}

PortRange::PortRange(const std::string& text) {
    std::string::size_type dash = text.find('-');
    if (dash == std::string::npos) {
        first = last = static_cast<int>(read_number(text.c_str(), 1, 65535));
    } else {
        first = static_cast<int>(read_number(text.substr(0, dash).c_str(), 1, 65535));
        last = static_cast<int>(read_number(text.substr(dash + 1).c_str(), 1, 65535));
    }
}

PortRangeList::PortRangeList(const std::string& text) {
    parse(text);
}

void PortRangeList::parse(const std::string& text) {
    std::list<PortRange> ranges = parse_ranges<PortRange>(text);
    splice(end(), ranges);
}

int PortRangeList::has(int port) const {
    if (empty())
        return 1;
    for (const PortRange& range : *this)
        if (range.first <= port && port <= range.last)
            return 1;
    return 0;
}
