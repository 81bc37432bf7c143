// List-shaped configuration values: StringList (texts split at a separator),
// Couple (exactly two comma-separated texts), StringSelect (one choice of a
// choice list) and StringSelectVector (a choice list).
//
// These are plain values: they do not lock, and whoever holds one (a Field,
// a rule, a connection) owns it. Comparisons are exact and case-sensitive
// unless an operation says otherwise. Malformed text throws ConfigError.
#pragma once

#include <stddef.h>

#include <list>
#include <string>
#include <vector>

#include "config/config_error.h"

// Items keep insertion order and may repeat.
class StringList : public std::list<std::string> {
public:
    StringList() = default;
    StringList(const std::string& text, char separator);

    // Appends the pieces of text split at the separator: an empty text adds
    // nothing; inner and leading empty pieces are kept; a trailing separator
    // adds nothing; a lone separator gives one empty item; nothing is
    // trimmed.
    void parse(const std::string& text, char separator);

    // 1 when an item equals text exactly; 0 for an empty text (even when the
    // list holds an empty item) and for an empty list.
    int has(const std::string& text) const;

    // Logs "<label> Profile: <name>" in the profiles category; returns 1.
    int show_p(const char* label, const std::string& name) const;

    // Writes the item and a comma into area (at most size-1 characters,
    // always terminated); returns the number of characters written.
    static int display(const std::string& item, char* area, size_t size);
    // Copies the item into area (at most size-1 characters, terminated).
    static void get_strlist(const std::string& item, char* area, size_t size);
};

// Exactly two items. The constructor throws ConfigError unless text split at
// ',' (StringList rules) gives exactly two items.
class Couple : public StringList {
public:
    explicit Couple(const std::string& text);
    std::string first() const;
    std::string second() const;
};

// One choice of a choice list: what the file and the forms carry, the label
// shown in forms, its tooltip, and whether it is chosen.
struct StringSelect {
    StringSelect() = default;
    StringSelect(std::string value, std::string comment, std::string desc, bool selected);

    std::string value;
    std::string comment;
    std::string desc;
    bool selected = false;
};

// Choices in definition order.
class StringSelectVector : public std::vector<StringSelect> {
public:
    // Clears every selected flag.
    void reset();
    // Index of the first choice whose value equals text ignoring case;
    // ConfigError when none does (or the list is empty).
    int case_indexof(const std::string& text) const;
};
