#include "config/config_lists.h"

#include <stdio.h>
#include <strings.h>

#include "core/log.h"
#include "core/misc.h"

StringList::StringList(const std::string& text, char separator) {
    parse(text, separator);
}

void StringList::parse(const std::string& text, char separator) {
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find(separator, start);
        if (end == std::string::npos) {
            push_back(text.substr(start));
            return;
        }
        push_back(text.substr(start, end - start));
        start = end + 1;
    }
    // A text ending in the separator stops here: the empty rest adds nothing.
}

int StringList::has(const std::string& text) const {
    if (text.empty())
        return 0;
    for (const std::string& item : *this)
        if (item == text)
            return 1;
    return 0;
}

int StringList::show_p(const char* label, const std::string& name) const {
    putlog(LOG_PROFILES, "%s Profile: %s", label, name.c_str());
    return 1;
}

int StringList::display(const std::string& item, char* area, size_t size) {
    if (size == 0)
        return 0;
    int wanted = snprintf(area, size, "%s,", item.c_str());
    if (wanted < 0)
        return 0;
    return static_cast<size_t>(wanted) < size ? wanted : static_cast<int>(size - 1);
}

void StringList::get_strlist(const std::string& item, char* area, size_t size) {
    s_strncpy(area, item.c_str(), size);
}

Couple::Couple(const std::string& text) {
    parse(text, ',');
    if (size() != 2) {
        clear();
        throw ConfigError();
    }
}

std::string Couple::first() const {
    return front();
}

std::string Couple::second() const {
    return back();
}

StringSelect::StringSelect(std::string value_, std::string comment_, std::string desc_, bool selected_)
    : value(std::move(value_)), comment(std::move(comment_)), desc(std::move(desc_)), selected(selected_) {}

void StringSelectVector::reset() {
    for (StringSelect& choice : *this)
        choice.selected = false;
}

int StringSelectVector::case_indexof(const std::string& text) const {
    for (size_type i = 0; i < size(); ++i)
        if (strcasecmp((*this)[i].value.c_str(), text.c_str()) == 0)
            return static_cast<int>(i);
    throw ConfigError();
}
