// Section pages, entry dialogs and posted actions of the web configuration
// forms. Pages are drawn under the section's read lock, actions applied
// under its write lock; documentsynctime is stamped only after the section
// lock is released (documentlock is never taken holding a section lock).
#include "config/config_forms.h"

#include <errno.h>
#include <stdlib.h>
#include <time.h>

#include <iterator>
#include <vector>

#include "config/configfile.h"
#include "config/section.h"
#include "core/filebuf.h"
#include "core/misc.h"
#include "core/regexp.h"
#include "iface/cgimap.h"
#include "iface/form_token.h"

const char* const ENTRY_ID_MISSING = "Entry ID doesn't exist";

std::string subsection_missing(const std::string& name) {
    return "Subsection \"" + name + "\" doesn't exist";
}

namespace {

std::string html(const std::string& text) {
    char* escaped = string_to_html(text.c_str(), 0, 0);
    std::string copy(escaped);
    free(escaped);
    return copy;
}

void put(Filebuf* page, const std::string& text) {
    page->Add(text.data(), static_cast<unsigned>(text.size()));
}

// The "id" argument: -1 when empty, -2 (names no entry) when it is not a
// plain decimal number, so a stray text never addresses entry 0.
int id_argument(CGIMap& args) {
    const std::string& text = args["id"];
    if (text.empty())
        return -1;
    char* end = nullptr;
    errno = 0;
    long id = strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size() || errno == ERANGE || id < 0 || id > 0x7FFFFFFF)
        return -2;
    return static_cast<int>(id);
}

void head_row(Filebuf* page) {
    put(page, "<tr class=\"entrydialoghead\"><td>Option</td><td>Value</td></tr>\n");
}

// The messages as a dark-red bulleted list in one table row (they may
// quote what was posted, so they are escaped).
void error_rows(Filebuf* page, const StringList& errors) {
    if (errors.empty())
        return;
    put(page, "<tr><td colspan=\"2\"><ul style=\"color: rgb(102, 0, 0)\">\n");
    for (const std::string& message : errors)
        put(page, "<li>" + html(message) + "</li>\n");
    put(page, "</ul></td></tr>\n");
}

void submit_row(Filebuf* page) {
    put(page, "<tr><td colspan=\"2\" align=\"center\"><input type=\"submit\" value=\"Submit\">"
              "</td></tr>\n");
}

void hidden(Filebuf* page, const char* name, const std::string& value) {
    put(page, std::string("<input type=\"hidden\" name=\"") + name + "\" value=\"" + html(value) +
                  "\">\n");
}

// What an action may have to put back when the section refuses the result
// in update(): the global fields and every subsection's entries, ids kept.
struct SectionState {
    FieldVector globals;
    std::vector<ItemList> items;
};

SectionState state_copy(const Section& section) {
    SectionState state;
    state.globals = section.globals;
    for (const Subsection& sub : section.subsections) {
        state.items.emplace_back();
        for (const Item& item : sub.items) {
            state.items.back().push_back(item);
            state.items.back().back().id = item.id;
        }
    }
    return state;
}

void state_restore(Section& section, SectionState& state) {
    // Field by field: sections keep pointers into their global fields.
    for (size_t i = 0; i < section.globals.size(); ++i)
        section.globals[i] = state.globals[i];
    for (size_t k = 0; k < section.subsections.size(); ++k)
        section.subsections[k].items.swap(state.items[k]);
}

// Moves an entry within its own subsection by the "direction" argument.
// Every moved entry is a copy and takes a fresh id; the others keep theirs.
void shift(ItemList& items, ItemList::iterator entry, const std::string& direction) {
    bool first = entry == items.begin();
    bool last = std::next(entry) == items.end();
    if (direction == "up" && !first) {
        items.insert(std::prev(entry), *entry);
        items.erase(entry);
    } else if (direction == "down" && !last) {
        items.insert(std::next(entry, 2), *entry);
        items.erase(entry);
    } else if (direction == "top" && !first) {
        items.push_front(*entry);
        items.erase(entry);
    } else if (direction == "bottom" && !last) {
        items.push_back(*entry);
        items.erase(entry);
    }
}

// The search of a section page: "matchname" over field names and
// "matchvalue" over field values, each a case-insensitive pattern; an empty
// or uncompilable one (reg_compile logs it) matches anything.
class SearchPatterns {
public:
    SearchPatterns(const std::string& name_text, const std::string& value_text)
        : name_(compile(name_text)), value_(compile(value_text)) {}
    SearchPatterns(const SearchPatterns&) = delete;
    SearchPatterns& operator=(const SearchPatterns&) = delete;
    ~SearchPatterns() {
        if (name_ != nullptr)
            reg_free(name_);
        if (value_ != nullptr)
            reg_free(value_);
    }

    bool match(const Item& item) const { return item.match(name_, value_); }

private:
    static reg_pattern_t* compile(const std::string& text) {
        return text.empty() ? nullptr : reg_compile(text.c_str(), REGEXP_ICASE);
    }

    reg_pattern_t* name_;
    reg_pattern_t* value_;
};

} // namespace

void Section::interface(Filebuf* page, CGIMap& args, CONNECTION_T* connection,
                        const StringList& errors) {
    const std::string matchname = args["matchname"];
    const std::string matchvalue = args["matchvalue"];
    const bool searching = !matchname.empty() || !matchvalue.empty();

    read_lock();
    put(page, "<div class=\"sectiondesc\"><b>" + html(name) + " section</b><br>" + html(desc) +
                  "</div>\n");

    if (!globals.empty() && !searching) {
        put(page, "<form action=\"config\" method=\"POST\">\n");
        hidden(page, "section", name);
        hidden(page, "action", "global");
        interface_form_token_field(page, connection);
        put(page, "<table class=\"entryeditdialog\">\n");
        head_row(page);
        error_rows(page, errors);
        globals.dialog_display(page, args);
        submit_row(page);
        put(page, "</table>\n</form>\n");
    } else if (!errors.empty()) {
        // No global form to stand above: the messages must still be seen.
        put(page, "<table class=\"entryeditdialog\">\n");
        error_rows(page, errors);
        put(page, "</table>\n");
    }

    SearchPatterns patterns(matchname, matchvalue);
    const std::string token = interface_form_token(connection);
    for (const Subsection& sub : subsections) {
        if (!sub.enabled)
            continue;
        put(page, "<div class=\"subsectionheader\"><span onmouseover=\"EnterContent('ToolTip','");
        char* title_js = string_to_html(sub.comment.c_str(), HTML_PATTERN_QUOTE, 0);
        char* desc_js = string_to_html(sub.desc.c_str(), HTML_NEWLINE_BREAK | HTML_PATTERN_QUOTE, 0);
        put(page, std::string(title_js) + "','" + desc_js +
                      "'); Activate();\" onmouseout=\"deActivate()\">" + html(sub.comment) +
                      "</span> <a href=\"config?section=" + form_url_part(name) + "&amp;subsection=" +
                      form_url_part(sub.name) + "&amp;dialog=show\">Add</a></div>\n");
        free(title_js);
        free(desc_js);
        for (const Item& item : sub.items) {
            if (!patterns.match(item))
                continue;
            put(page, "<table class=\"entrydialog\">\n");
            item.display(page, 1, token);
            put(page, "</table>\n");
        }
    }
    unlock();
}

void Section::interface_dialog(Filebuf* page, CGIMap& args, CONNECTION_T* connection,
                               const StringList& errors) {
    const int id = id_argument(args);
    const std::string subname = args["subsection"];

    read_lock();
    const Subsection* sub = subsection_get(subname);
    if (sub != nullptr && !sub->enabled) {
        unlock();
        return;
    }
    const Item* item = id >= 0 ? item_get(id) : nullptr;
    StringList shown = errors;
    if (sub == nullptr && shown.empty())
        shown.push_back(subsection_missing(subname));
    else if (id != -1 && item == nullptr && shown.empty())
        shown.push_back(ENTRY_ID_MISSING);

    put(page, "<table class=\"entryeditdialog\">\n");
    head_row(page);
    if (shown.empty()) {
        put(page, "<form action=\"config\" method=\"POST\">\n");
        hidden(page, "section", name);
        hidden(page, "subsection", subname);
        interface_form_token_field(page, connection);
        if (item == nullptr) {
            hidden(page, "action", "add");
            sub->fields.dialog_display(page, args);
        } else {
            hidden(page, "action", "edit");
            hidden(page, "id", std::to_string(id));
            item->fields.dialog_display(page, args);
        }
        submit_row(page);
        put(page, "</form>\n");
    } else {
        error_rows(page, shown);
    }
    put(page, "</table>\n");
    unlock();
}

StringList Section::interface_action(Filebuf*, CGIMap& args, CONNECTION_T*) {
    StringList errors;
    const int id = id_argument(args);
    const std::string subname = args["subsection"];
    const std::string action = args["action"];
    if (action.empty())
        return errors;

    write_lock();
    Subsection* sub = subname.empty() ? nullptr : subsection_get(subname);
    if (action != "global" && !subname.empty() && sub == nullptr) {
        unlock();
        errors.push_back(subsection_missing(subname));
        return errors;
    }
    if (sub != nullptr && !sub->enabled) {
        unlock();
        return errors;
    }
    SectionState before = state_copy(*this);

    if (action == "global") {
        // Only this action touches the global fields.
        FieldVector edited = globals;
        errors = edited.read(args);
        if (errors.empty())
            for (size_t i = 0; i < globals.size(); ++i)
                globals[i] = edited[i];
    } else if (action == "add") {
        if (sub == nullptr) {
            unlock();
            errors.push_back(subsection_missing(subname));
            return errors;
        }
        Item entry(*sub, nullptr);
        errors = entry.read(args);
        if (errors.empty())
            sub->items.push_back(entry);
    } else {
        // Every other action names an entry, in whichever subsection it is.
        Subsection* owner = nullptr;
        ItemList::iterator entry;
        for (Subsection& candidate : subsections) {
            for (auto it = candidate.items.begin(); it != candidate.items.end(); ++it)
                if (id >= 0 && it->id == id) {
                    owner = &candidate;
                    entry = it;
                    break;
                }
            if (owner != nullptr)
                break;
        }
        if (owner == nullptr) {
            unlock();
            errors.push_back(ENTRY_ID_MISSING);
            return errors;
        }
        if (action == "delete") {
            owner->items.erase(entry);
        } else if (action == "edit") {
            FieldVector edited = entry->fields;
            errors = edited.read(args);
            if (errors.empty())
                entry->fields = edited;
        } else if (action == "clone") {
            owner->items.insert(entry, *entry);
        } else if (action == "shift") {
            shift(owner->items, entry, args["direction"]);
        }
    }

    try {
        update();
    } catch (const ConfigError& refused) {
        // A value the rules cannot be built from (a pattern that does not
        // compile): the section goes back to what it was and says why.
        state_restore(*this, before);
        try {
            update();
        } catch (const ConfigError&) {
        }
        errors.push_back(refused.what());
    }
    unlock();

    pthread_mutex_lock(&documentlock);
    documentsynctime = time(nullptr);
    pthread_mutex_unlock(&documentlock);
    return errors;
}
