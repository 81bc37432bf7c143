// The web forms of fields and entries: read-only rows, input rows, reading
// posted values back, and the entry block with its action links. The
// section-level pages that use them live in config_forms.cpp.
#include <stdlib.h>

#include <string>

#include "config/config_forms.h"
#include "config/field.h"
#include "config/section.h"
#include "core/filebuf.h"
#include "core/misc.h"
#include "core/regexp.h"
#include "http/url.h"
#include "iface/cgimap.h"

namespace {

// HTML-escaped copy of text (string_to_html flags), as a std::string.
std::string html(const std::string& text, int flags) {
    char* escaped = string_to_html(text.c_str(), flags, 0);
    std::string copy(escaped);
    free(escaped);
    return copy;
}

// Appends text of any length (Addf cuts at 16383 characters).
void put(Filebuf* page, const std::string& text) {
    page->Add(text.data(), static_cast<unsigned>(text.size()));
}

const char* row_class(bool odd) {
    return odd ? "entryfieldodd" : "entryfieldeven";
}

// The form key of the field at position n, with an optional suffix.
std::string form_key(int n, const std::string& suffix = std::string()) {
    return "F" + std::to_string(n) + suffix;
}

// The first choice whose value equals text byte for byte, or -1.
int exact_choice(const StringSelectVector& choices, const std::string& text) {
    for (size_t i = 0; i < choices.size(); ++i)
        if (choices[i].value == text)
            return static_cast<int>(i);
    return -1;
}

// A label inside `tag` whose description pops up as a tool-tip (the
// "tooltip" script of the interface frame); both texts stand inside script
// strings there.
void tooltip_label(Filebuf* page, const char* tag, const std::string& label,
                   const std::string& desc) {
    page->Addf("<%s onmouseover=\"EnterContent('ToolTip','", tag);
    put(page, html(label, HTML_PATTERN_QUOTE));
    put(page, "','");
    put(page, html(desc, HTML_NEWLINE_BREAK | HTML_PATTERN_QUOTE));
    put(page, "'); Activate();\" onmouseout=\"deActivate()\">");
    put(page, html(label, 0));
    page->Addf("</%s>", tag);
}

// The options of a select over a choice list, `chosen` selected.
void select_options(Filebuf* page, const StringSelectVector& choices, int chosen) {
    for (size_t i = 0; i < choices.size(); ++i)
        page->Addf("<option value=\"%s\"%s>%s</option>", html(choices[i].value, 0).c_str(),
                   static_cast<int>(i) == chosen ? " selected" : "",
                   html(choices[i].comment, 0).c_str());
}

} // namespace

// ---- Field ------------------------------------------------------------------

void Field::display(Filebuf* page, bool& odd) const {
    if (!enabled)
        return;
    if (optional ? !active : text.empty())
        return;
    page->Addf("<tr class=\"%s\"><td>%s</td><td>", row_class(odd), html(comment, 0).c_str());
    put(page, html(text, HTML_NEWLINE_BREAK));
    put(page, "</td></tr>\n");
    odd = !odd;
}

void Field::dialog_display(Filebuf* page, CGIMap&, int n, bool& odd) const {
    if (!enabled)
        return;
    const std::string key = form_key(n);
    page->Addf("<tr class=\"%s\">", row_class(odd));
    tooltip_label(page, "td", comment, desc);
    put(page, "<td>");
    if (optional)
        page->Addf("<input type=\"checkbox\" name=\"%s\"%s> active ", form_key(n, "_active").c_str(),
                   active ? " checked" : "");
    switch (type) {
    case FIELD_BOOL: {
        bool yes = text == "true";
        page->Addf("Yes:<input type=\"radio\" name=\"%s\" value=\"true\"%s> "
                   "No:<input type=\"radio\" name=\"%s\" value=\"false\"%s>",
                   key.c_str(), yes ? " checked" : "", key.c_str(), yes ? "" : " checked");
        break;
    }
    case FIELD_STRING_SELECT_ONE:
        for (const StringSelect& choice : choices) {
            tooltip_label(page, "span", choice.comment, choice.desc);
            page->Addf("<input type=\"radio\" name=\"%s\" value=\"%s\"%s> ", key.c_str(),
                       html(choice.value, 0).c_str(), choice.selected ? " checked" : "");
        }
        break;
    case FIELD_STRING_SELECT_MANY:
        put(page, "<table class=\"checklist\">");
        for (const StringSelect& choice : choices)
            page->Addf("<tr><td>%s</td><td><input type=\"checkbox\" name=\"%s\"%s></td></tr>",
                       html(choice.comment, 0).c_str(),
                       html(form_key(n, "_" + choice.value), 0).c_str(),
                       choice.selected ? " checked" : "");
        put(page, "</table>");
        break;
    case FIELD_STRING_RANGE:
        page->Addf("<select name=\"%s\">", key.c_str());
        select_options(page, choices, value);
        page->Addf("</select> to <select name=\"%s\">", form_key(n, "_2").c_str());
        select_options(page, choices2, value2);
        put(page, "</select>");
        break;
    case FIELD_INT_RANGE:
        page->Addf("<input type=\"text\" name=\"%s\" size=\"%d\" value=\"%d\"> to "
                   "<input type=\"text\" name=\"%s\" size=\"%d\" value=\"%d\">",
                   key.c_str(), width, value, form_key(n, "_2").c_str(), width, value2);
        break;
    case FIELD_MULTILINE_STRING:
        page->Addf("<textarea name=\"%s\" cols=\"80\" rows=\"8\" wrap=\"soft\">", key.c_str());
        put(page, html(text, 0));
        put(page, "</textarea>");
        break;
    default: {
        page->Addf("<input type=\"text\" name=\"%s\" size=\"%d\" value=\"", key.c_str(), width);
        put(page, html(text, 0));
        put(page, "\">");
        break;
    }
    }
    put(page, "</td></tr>\n");
    odd = !odd;
}

void Field::read(CGIMap& args, int n) {
    if (!enabled)
        return;
    const std::string key = form_key(n);
    if (optional) {
        active = args[form_key(n, "_active")] == "on";
        if (!active)
            return; // switched off: the value stays as it was
    }
    const std::string v = args[key];
    switch (type) {
    case FIELD_BOOL:
        // Written back in the one form the loader accepts, so whatever was
        // posted the saved file loads again.
        value = v == "true";
        text = value ? "true" : "false";
        break;
    case FIELD_STRING:
    case FIELD_MULTILINE_STRING:
        text = v;
        break;
    case FIELD_STRING_SELECT_ONE: {
        text = v;
        choices.reset();
        int chosen = exact_choice(choices, v);
        if (chosen >= 0) {
            choices[static_cast<size_t>(chosen)].selected = true;
            value = chosen;
        }
        break;
    }
    case FIELD_STRING_SELECT_MANY: {
        // The definition reader refuses more than 32 choices, so every
        // choice has a bit of its own.
        text.clear();
        list.clear();
        choices.reset();
        unsigned mask = 0;
        for (size_t k = 0; k < choices.size(); ++k) {
            if (args[form_key(n, "_" + choices[k].value)] != "on")
                continue;
            choices[k].selected = true;
            mask |= 1u << k;
            text += (text.empty() ? "" : ",") + choices[k].value;
            list.push_back(choices[k].value);
        }
        value = static_cast<int>(mask);
        break;
    }
    case FIELD_STRING_RANGE: {
        // Only a pair of its own choices: anything else would be saved as a
        // text the configuration loader refuses.
        choices.reset();
        choices2.reset();
        const std::string w = args[form_key(n, "_2")];
        text = v + "," + w;
        int first = exact_choice(choices, v);
        int second = exact_choice(choices2, w);
        if (first < 0 || second < 0)
            throw ConfigError();
        choices[static_cast<size_t>(first)].selected = true;
        choices2[static_cast<size_t>(second)].selected = true;
        value = first;
        value2 = second;
        break;
    }
    case FIELD_INT_RANGE:
        // The pair as the file holds it, checked against the bounds by the
        // loader's own conversion.
        text = v + "," + args[form_key(n, "_2")];
        parse_text();
        break;
    case FIELD_INT:
    case FIELD_UINT:
    case FIELD_STRING_LIST:
    case FIELD_IP_RANGE_LIST:
    case FIELD_PORT_RANGE_LIST:
    case FIELD_FILE_SIZE:
    case FIELD_LONG_FILE_SIZE:
    case FIELD_DOUBLE:
        // Converted exactly as a loaded value is, so what a form accepts
        // the configuration file accepts too.
        text = v;
        parse_text();
        break;
    default:
        break;
    }
}

std::string form_url_part(const std::string& text) {
    char* encoded = url_encode(text.c_str(), static_cast<unsigned>(-1));
    std::string copy = html(encoded != nullptr ? encoded : "", 0);
    free(encoded);
    return copy;
}

// ---- FieldVector ----------------------------------------------------------------

void FieldVector::display(Filebuf* page) const {
    bool odd = false;
    for (const Field& field : *this)
        field.display(page, odd);
}

void FieldVector::dialog_display(Filebuf* page, CGIMap& args) const {
    bool odd = false;
    int n = 0;
    for (const Field& field : *this)
        field.dialog_display(page, args, n++, odd);
}

StringList FieldVector::read(CGIMap& args) {
    StringList messages;
    int n = 0;
    for (Field& field : *this) {
        try {
            field.read(args, n);
        } catch (const ConfigError&) {
            messages.push_back(field.comment + " must be " + field.nature());
        }
        ++n;
    }
    return messages;
}

// ---- Item -------------------------------------------------------------------------

namespace {

// One button of an entry: a form posting the action on the entry.
void action_button(Filebuf* page, const Item& item, const char* action, const char* direction,
                   const char* label, const std::string& token) {
    page->Addf(" <form action=\"config\" method=\"POST\" style=\"display: inline\">"
               "<input type=\"hidden\" name=\"section\" value=\"%s\">"
               "<input type=\"hidden\" name=\"subsection\" value=\"%s\">"
               "<input type=\"hidden\" name=\"action\" value=\"%s\">"
               "<input type=\"hidden\" name=\"id\" value=\"%d\">",
               html(item.section, 0).c_str(), html(item.subsection, 0).c_str(), action, item.id);
    if (direction != nullptr)
        page->Addf("<input type=\"hidden\" name=\"direction\" value=\"%s\">", direction);
    page->Addf("<input type=\"hidden\" name=\"token\" value=\"%s\">"
               "<input type=\"submit\" value=\"%s\"></form>",
               html(token, 0).c_str(), label);
}

} // namespace

void Item::display(Filebuf* page, int moves, const std::string& token) const {
    put(page, "<tr class=\"entrydialoghead\"><td>Option</td><td>Value</td></tr>\n");
    fields.display(page);
    page->Addf("<tr class=\"entrydialogfoot\"><td colspan=\"2\" align=\"center\">"
               "<a href=\"config?section=%s&amp;subsection=%s&amp;dialog=show&amp;id=%d\">Edit</a>",
               form_url_part(section).c_str(), form_url_part(subsection).c_str(), id);
    if (!token.empty()) {
        action_button(page, *this, "delete", nullptr, "Delete", token);
        action_button(page, *this, "clone", nullptr, "Clone", token);
        if (moves != 0) {
            static const char* const directions[][2] = {
                {"up", "Up"}, {"down", "Down"}, {"top", "Top"}, {"bottom", "Bottom"}};
            for (const auto& direction : directions)
                action_button(page, *this, "shift", direction[0], direction[1], token);
        }
    }
    put(page, "</td></tr>\n");
}

StringList Item::read(CGIMap& args) {
    return fields.read(args);
}

bool Item::match(const reg_pattern_t* name_pattern, const reg_pattern_t* value_pattern) const {
    for (const Field& field : fields)
        if ((name_pattern == nullptr || reg_exec(name_pattern, field.name.c_str()) == 0) &&
            (value_pattern == nullptr || reg_exec(value_pattern, field.text.c_str()) == 0))
            return true;
    return false;
}
