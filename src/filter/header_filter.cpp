// The header filter; see header_filter.h.
#include "filter/header_filter.h"

#include <string.h>

#include <vector>

#include "core/log.h"
#include "http/header.h"
#include "http/header_io.h"
#include "net/connection.h"

HeaderSection* header_section = nullptr;

namespace {

enum { H_NAME = 4, H_VALUE = 5, H_DIRECTION = 6 };

const char* side_word(int side) {
    return side == HEADER_RULE_CLIENT ? "client" : "server";
}

// The value as a log line may show it.
const char* value_for_log(const std::string& name, const std::string& value) {
    return header_secret_name(name.data(), name.size()) ? "***" : value.c_str();
}

} // namespace

Header::Header(const Item& entry, kind_t kind)
    : RuleScope(entry), direction(entry.fields.at(H_DIRECTION).value) {
    if (kind == PATTERNS) {
        name = RulePattern(entry, H_NAME);
        value = RulePattern(entry, H_VALUE);
    } else {
        line_name = entry.fields.at(H_NAME).text;
        line_value = entry.fields.at(H_VALUE).text;
    }
}

bool Header::applies_to(const CONNECTION_T* connection, int side) const {
    return (direction & side) != 0 && RuleScope::applies(connection);
}

bool Header::matches(const CONNECTION_T* connection, int side, const HTTP_HEADER& line) const {
    return applies_to(connection, side) && name.matches(line.name.c_str()) &&
           value.matches(line.value.c_str());
}

HeaderSection::HeaderSection() : RuleSection<Header>("header-filtering", BYPASS_HEADER_FILTER) {
    const std::vector<int> rule_fields = {FIELD_BOOL,        FIELD_STRING, FIELD_STRING_LIST,
                                          FIELD_STRING_LIST, FIELD_STRING, FIELD_STRING,
                                          FIELD_STRING_SELECT_MANY};
    for (size_t position = 0; position < 3; ++position)
        subsection_at(position, rule_fields);
}

void HeaderSection::update() {
    // The insert rules first: they cannot fail, and the allow and deny
    // lists stay as they were when one of their patterns is refused.
    std::list<Header> new_insert;
    for (const Item& item : subsections.at(2).items)
        new_insert.emplace_back(item, Header::LINE);
    rules_rebuild();
    insert.swap(new_insert);
}

void HeaderSection::filter(CONNECTION_T* connection, int side) {
    HEADER* header = side == HEADER_RULE_CLIENT ? connection->request : connection->response;
    if (header == nullptr)
        return;
    read_lock();
    if (!takes_part(connection)) {
        unlock();
        return;
    }
    // The decision of every line first: a header no rule changes is left
    // as it is, without a copy. One per worker, so that it stays grown.
    thread_local std::vector<char> kept;
    kept.clear();
    bool changed = false;
    for (const HTTP_HEADER& line : header->lines) {
        RuleVerdict<Header> verdict = decide([&](const Header& rule, rule_list_t) {
            return rule.matches(connection, side, line) ? RULE_MATCH : RULE_NO_MATCH;
        });
        kept.push_back(!verdict.refused);
        if (verdict.refused) {
            changed = true;
            putlog(LOG_HEADER, "removed: from %s: %s: %s", side_word(side), line.name.c_str(),
                   value_for_log(line.name, line.value));
        }
    }
    for (const Header& rule : insert)
        if (rule.applies_to(connection, side) && !rule.line_name.empty() &&
            !rule.line_value.empty())
            changed = true;
    if (!changed) {
        unlock();
        return;
    }
    header->filtered_lines.clear();
    size_t position = 0;
    for (const HTTP_HEADER& line : header->lines)
        if (kept[position++])
            header->filtered_lines.push_back(line);
    for (const Header& rule : insert) {
        if (!rule.applies_to(connection, side) || rule.line_name.empty() ||
            rule.line_value.empty())
            continue;
        header->filtered_lines.push_back(HTTP_HEADER{1, rule.line_name, rule.line_value});
        putlog(LOG_HEADER, "added: to %s: %s: %s", side_word(side), rule.line_name.c_str(),
               value_for_log(rule.line_name, rule.line_value));
    }
    header->flags |= HEADER_FILTERED;
    unlock();
}
