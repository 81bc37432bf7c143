#include "config/field.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "config/xml.h"
#include "core/log.h"
#include "core/mem.h"

using tinyxml2::XMLElement;

// ---- Converters ---------------------------------------------------------

namespace {

// True when strto* stopped exactly at the end of the text (so an embedded
// NUL or anything after the number counts as left over).
bool consumed_all(const std::string& text, const char* end) {
    return end == text.c_str() + text.size();
}

uint64_t scan_size(const std::string& text, uint64_t limit) {
    std::string::size_type at = 0;
    while (at < text.size() && isspace(static_cast<unsigned char>(text[at])))
        ++at;
    std::string::size_type digits = at;
    while (digits < text.size() && isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    if (digits == at)
        throw ConfigError();
    errno = 0;
    unsigned long long number = strtoull(text.substr(at, digits - at).c_str(), nullptr, 10);
    if (errno == ERANGE)
        throw ConfigError();

    std::string::size_type word = digits;
    while (word < text.size() && isspace(static_cast<unsigned char>(text[word])))
        ++word;
    std::string::size_type word_end = word;
    while (word_end < text.size() && !isspace(static_cast<unsigned char>(text[word_end])))
        ++word_end;
    std::string unit = text.substr(word, word_end - word);

    uint64_t multiplier = 1;
    if (unit.empty())
        multiplier = 1;
    else if (!strcasecmp(unit.c_str(), "k") || !strcasecmp(unit.c_str(), "kb") ||
             !strcasecmp(unit.c_str(), "kbit"))
        multiplier = 1024;
    else if (!strcasecmp(unit.c_str(), "m") || !strcasecmp(unit.c_str(), "mb") ||
             !strcasecmp(unit.c_str(), "mbit"))
        multiplier = 1ULL << 20;
    else if (!strcasecmp(unit.c_str(), "g") || !strcasecmp(unit.c_str(), "gb") ||
             !strcasecmp(unit.c_str(), "gbit"))
        multiplier = 1ULL << 30;
    else
        throw ConfigError();
    // A size that does not fit its field is refused rather than wrapped.
    if (number > limit / multiplier)
        throw ConfigError();
    return number * multiplier;
}

} // namespace

int string_to_int(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    long number = strtol(text.c_str(), &end, 10);
    if (!consumed_all(text, end) || errno == ERANGE || number < INT_MIN || number > INT_MAX)
        throw ConfigError();
    return static_cast<int>(number);
}

unsigned string_to_uint(const std::string& text) {
    std::string::size_type sign = text.find_first_not_of(" \t\n\v\f\r");
    if (sign != std::string::npos && text[sign] == '-')
        throw ConfigError();
    char* end = nullptr;
    errno = 0;
    unsigned long number = strtoul(text.c_str(), &end, 10);
    if (!consumed_all(text, end) || errno == ERANGE || number > UINT_MAX)
        throw ConfigError();
    return static_cast<unsigned>(number);
}

double string_to_double(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    double number = strtod(text.c_str(), &end);
    if (!consumed_all(text, end) || (errno == ERANGE && isinf(number)))
        throw ConfigError();
    return number;
}

uint32_t string_to_filesize(const std::string& text) {
    return static_cast<uint32_t>(scan_size(text, UINT32_MAX));
}

uint64_t string_to_longfilesize(const std::string& text) {
    return scan_size(text, UINT64_MAX);
}

// ---- Field ----------------------------------------------------------------

namespace {

struct TypeWord {
    const char* word;
    int type;
};

const TypeWord TYPE_WORDS[] = {
    {"INT", FIELD_INT},
    {"UINT", FIELD_UINT},
    {"BOOL", FIELD_BOOL},
    {"STRING", FIELD_STRING},
    {"STRING_SELECT_ONE", FIELD_STRING_SELECT_ONE},
    {"STRING_SELECT_MANY", FIELD_STRING_SELECT_MANY},
    {"STRING_LIST", FIELD_STRING_LIST},
    {"IP_RANGE_LIST", FIELD_IP_RANGE_LIST},
    {"PORT_RANGE_LIST", FIELD_PORT_RANGE_LIST},
    {"STRING_RANGE", FIELD_STRING_RANGE},
    {"INT_RANGE", FIELD_INT_RANGE},
    {"FILE_SIZE", FIELD_FILE_SIZE},
    {"MULTILINE_STRING", FIELD_MULTILINE_STRING},
    {"LONG_FILE_SIZE", FIELD_LONG_FILE_SIZE},
    {"DOUBLE", FIELD_DOUBLE},
};

bool is_select(int type) {
    return type == FIELD_STRING_SELECT_ONE || type == FIELD_STRING_SELECT_MANY ||
           type == FIELD_STRING_RANGE;
}

unsigned choice_bit(size_t index) {
    // The mask has 32 bits; the definition reader refuses longer lists.
    return 1u << (index % 32);
}

// Logs the malformed value and throws it as a ConfigError with that text.
[[noreturn]] void report_flaw(const XmlElement& cursor, const std::string& field,
                              const std::string& nature, const std::string& value) {
    char line[8192];
    snprintf(line, sizeof line,
             "flawed XML file, section %s, element %s: %s must be %s, but it is given value %s",
             cursor.section_get().c_str(), cursor.element_get().c_str(), field.c_str(),
             nature.c_str(), value.c_str());
    putlog(LOG_ERROR, "%s", line);
    throw ConfigError(line);
}

} // namespace

Field::Field(bool enabled_, std::string name_, std::string comment_, std::string desc_,
             std::string default_text, int type_, bool optional_)
    : enabled(enabled_), name(std::move(name_)), type(type_), comment(std::move(comment_)),
      desc(std::move(desc_)), width(20), min(0), max(0), optional(optional_), active(false),
      value(0), value2(0), uvalue(0), lvalue(0), text(std::move(default_text)), dvalue(0) {
    if (type == FIELD_STRING || type == FIELD_STRING_LIST || type == FIELD_IP_RANGE_LIST ||
        type == FIELD_PORT_RANGE_LIST)
        width = 80;
    if (type == FIELD_BOOL) {
        // Any letter case counts here; the text is written back in the form
        // the loader accepts, so a saved default always loads again.
        value = strcasecmp(text.c_str(), "true") == 0;
        text = value ? "true" : "false";
    } else if (type == FIELD_INT_RANGE) {
        // The default of an INT_RANGE is its bounds; the pair itself comes
        // only from the configuration file or a form.
        Couple bounds(text);
        min = string_to_int(bounds.first());
        max = string_to_int(bounds.second());
    } else if (!is_select(type)) {
        // Every other default reads as a loaded value would; the lists hold
        // theirs from the start, so what a field shows is what it does even
        // before a configuration file sets it.
        parse_text();
    }
}

Field::Field(bool enabled_, std::string name_, std::string comment_, std::string desc_,
             const StringSelectVector& choice_list, int type_, bool optional_)
    : enabled(enabled_), name(std::move(name_)), type(type_), comment(std::move(comment_)),
      desc(std::move(desc_)), width(0), min(0), max(0), optional(optional_), active(false),
      value(0), value2(0), uvalue(0), lvalue(0), choices(choice_list), choices2(choice_list),
      dvalue(0) {
    // The choices the definition preselects are the initial value, and the
    // text says so, so that saving and loading keep them.
    if (type == FIELD_STRING_SELECT_ONE) {
        for (size_t i = 0; i < choices.size(); ++i)
            if (choices[i].selected) {
                value = static_cast<int>(i);
                text = choices[i].value;
                break;
            }
    } else if (type == FIELD_STRING_SELECT_MANY) {
        unsigned mask = 0;
        for (size_t i = 0; i < choices.size(); ++i)
            if (choices[i].selected) {
                mask |= choice_bit(i);
                list.push_back(choices[i].value);
                text += (text.empty() ? "" : ",") + choices[i].value;
            }
        value = static_cast<int>(mask);
    }
}

int Field::type_find(const std::string& word) {
    for (const TypeWord& entry : TYPE_WORDS)
        if (word == entry.word)
            return entry.type;
    return -1;
}

int Field::type_get(const std::string& word) {
    int found = type_find(word);
    if (found < 0)
        fatal_error("src/section", 347, "type_get", 0);
    return found;
}

bool Field::keeps_value_when_missing() const {
    // An empty text is no valid value for these, and an optional field has
    // its switch in the element: a configuration written before the field
    // existed must still load, keeping the field as it is.
    return optional || type == FIELD_BOOL || type == FIELD_STRING_RANGE ||
           type == FIELD_INT_RANGE || type == FIELD_FILE_SIZE || type == FIELD_LONG_FILE_SIZE;
}

void Field::parse_text() {
    switch (type) {
    case FIELD_INT:
        value = string_to_int(text);
        break;
    case FIELD_UINT:
        uvalue = string_to_uint(text);
        break;
    case FIELD_BOOL:
        if (text == "true" || text == "TRUE")
            value = 1;
        else if (text == "false" || text == "FALSE")
            value = 0;
        else
            throw ConfigError();
        break;
    case FIELD_STRING_SELECT_ONE:
        // No matching choice selects nothing and keeps the value.
        for (size_t i = 0; i < choices.size(); ++i) {
            choices[i].selected = choices[i].value == text;
            if (choices[i].selected)
                value = static_cast<int>(i);
        }
        break;
    case FIELD_STRING_SELECT_MANY: {
        StringList items(text, ',');
        unsigned mask = 0;
        for (size_t i = 0; i < choices.size(); ++i) {
            choices[i].selected = items.has(choices[i].value);
            if (choices[i].selected)
                mask |= choice_bit(i);
        }
        list.swap(items);
        value = static_cast<int>(mask);
        break;
    }
    case FIELD_STRING_LIST:
        list = StringList(text, ',');
        break;
    case FIELD_IP_RANGE_LIST:
        iplist = IpRangeList(text);
        break;
    case FIELD_PORT_RANGE_LIST:
        portlist = PortRangeList(text);
        break;
    case FIELD_STRING_RANGE: {
        Couple pair(text);
        int first = choices.case_indexof(pair.first());
        int second = choices2.case_indexof(pair.second());
        value = first;
        value2 = second;
        break;
    }
    case FIELD_INT_RANGE: {
        Couple pair(text);
        int first = string_to_int(pair.first());
        int second = string_to_int(pair.second());
        if (first < min || first > max || second < min || second > max)
            throw ConfigError();
        value = first;
        value2 = second;
        break;
    }
    case FIELD_FILE_SIZE:
        uvalue = string_to_filesize(text);
        break;
    case FIELD_LONG_FILE_SIZE:
        lvalue = string_to_longfilesize(text);
        break;
    case FIELD_DOUBLE:
        dvalue = string_to_double(text);
        break;
    default:
        break; // STRING and MULTILINE_STRING: the text is the value
    }
}

void Field::load(const XmlElement& cursor) {
    if (!enabled)
        return;
    const XMLElement* element = cursor.child(name);
    if (element == nullptr && keeps_value_when_missing())
        return;
    std::string loaded = xml_text(element);
    int switched_on = 1;
    if (optional) {
        try {
            switched_on = cursor.check_active(name);
        } catch (const ConfigError&) {
            const char* state = element->Attribute("active");
            report_flaw(cursor, name + ", attribute active", "true or false",
                        state != nullptr ? state : "");
        }
    }
    text = loaded;
    if (optional) {
        active = switched_on;
        if (!active)
            return; // an inactive field keeps its typed value
    }
    try {
        parse_text();
    } catch (const ConfigError&) {
        error_log(cursor);
    }
}

void Field::error_log(const XmlElement& cursor) const {
    report_flaw(cursor, name, nature(), text);
}

void Field::save(XMLElement* parent) const {
    XMLElement* element = parent->GetDocument()->NewElement(name.c_str());
    if (element == nullptr)
        fatal_error("src/section", 540, "save", 0);
    if (optional)
        element->SetAttribute("active", active ? "true" : "false");
    if (element->InsertNewText(text.c_str()) == nullptr)
        fatal_error("src/section", 549, "save", 0);
    if (parent->InsertEndChild(element) == nullptr)
        fatal_error("src/section", 552, "save", 0);
}

std::string Field::possible_values() const {
    std::string values;
    for (const StringSelect& choice : choices)
        values += (values.empty() ? "" : ",") + choice.value;
    return values;
}

std::string Field::nature() const {
    switch (type) {
    case FIELD_INT:
        return "an integer";
    case FIELD_UINT:
        return "a positive integer";
    case FIELD_BOOL:
        return "true or false";
    case FIELD_STRING:
        return "a string";
    case FIELD_STRING_SELECT_ONE:
        return "a string among these values : " + possible_values();
    case FIELD_STRING_SELECT_MANY:
        return "a list of strings among these values : " + possible_values();
    case FIELD_STRING_LIST:
        return "a string list";
    case FIELD_IP_RANGE_LIST:
        return "an IP range list (see manual)";
    case FIELD_PORT_RANGE_LIST:
        return "a port range list (see manual)";
    case FIELD_STRING_RANGE:
        return "a couple of strings among these values : " + possible_values();
    case FIELD_INT_RANGE: {
        char bounds[128];
        snprintf(bounds, sizeof bounds, "a couple of integers between %d and %d inclusive", min,
                 max);
        return bounds;
    }
    case FIELD_FILE_SIZE:
    case FIELD_LONG_FILE_SIZE:
        return "a file size (for example 120, 10K, 1M)";
    case FIELD_MULTILINE_STRING:
        return "a multi-line string";
    case FIELD_DOUBLE:
        return "a floating point number";
    default:
        return std::string();
    }
}

void Field::zero() {
    value = 0;
    list.clear();
    iplist.clear();
    portlist.clear();
    if (type == FIELD_STRING_SELECT_MANY) {
        text.clear();
        choices.reset();
    }
}

// ---- FieldVector --------------------------------------------------------

namespace {

// "section S, global" or "section S, template T": where a field list of the
// definition file stands, for messages.
std::string definition_place(const XMLElement& parent) {
    const XMLElement* section = &parent;
    while (section->Parent() != nullptr && section->Parent()->ToElement() != nullptr &&
           section->Parent()->Parent() != nullptr &&
           section->Parent()->Parent()->ToDocument() == nullptr)
        section = section->Parent()->ToElement();
    std::string place = std::string("section ") + section->Name() + ", ";
    if (strcmp(parent.Name(), "global") == 0)
        return place + "global";
    return place + "template " + parent.Name();
}

// A fault of the definition file: the message names the place, the field
// and what is wrong; then the fatal-error sequence.
[[noreturn]] void field_fault(const XMLElement& parent, int position, const char* field,
                              const std::string& what, int line, const char* function) {
    putlog(LOG_ERROR, "section-definition file, %s, field %d (%s): %s",
           definition_place(parent).c_str(), position, field, what.c_str());
    fatal_error("src/section", line, function, 0);
}

// The named child of a field element, which must exist (and have text when
// `needs_text`).
const XMLElement* required_child(const XMLElement& parent, const XMLElement& field, int position,
                                 const char* child, bool needs_text, int line_missing,
                                 int line_no_text) {
    const XMLElement* found = field.FirstChildElement(child);
    if (found == nullptr)
        field_fault(parent, position, field.Name(),
                    std::string("element ") + child + " is missing", line_missing, "parse");
    if (needs_text && found->FirstChild() == nullptr)
        field_fault(parent, position, field.Name(),
                    std::string("element ") + child + " has no text", line_no_text, "parse");
    return found;
}

// An optional flag element: true when its text is "true" in any case;
// `absent` without the element; it must have text when present.
bool flag_child(const XMLElement& parent, const XMLElement& field, int position, const char* child,
                bool absent, int line_no_text) {
    const XMLElement* found = field.FirstChildElement(child);
    if (found == nullptr)
        return absent;
    if (found->FirstChild() == nullptr)
        field_fault(parent, position, field.Name(),
                    std::string("element ") + child + " has no text", line_no_text, "parse");
    return strcasecmp(xml_text(found).c_str(), "true") == 0;
}

} // namespace

FieldVector::FieldVector(const XMLElement& parent, const ChoiceLists& lists) {
    parse(parent, lists);
}

void FieldVector::parse(const XMLElement& parent, const ChoiceLists& lists) {
    int position = 0;
    for (const XMLElement* field = parent.FirstChildElement(); field != nullptr;
         field = field->NextSiblingElement(), ++position) {
        const char* name = field->Name();
        const char* number = field->Attribute("n");
        if (number == nullptr)
            field_fault(parent, position, name, "attribute n is missing", 865, "parse");
        int declared = -1;
        if (field->QueryIntAttribute("n", &declared) != tinyxml2::XML_SUCCESS ||
            declared != position)
            field_fault(parent, position, name,
                        std::string("attribute n is ") + number +
                            " but the field stands at position " + std::to_string(position),
                        866, "parse");

        std::string comment = xml_text(required_child(parent, *field, position, "comment", true, 870, 871));
        std::string default_text = xml_text(required_child(parent, *field, position, "value", false, 874, 874));
        std::string word = xml_text(required_child(parent, *field, position, "type", true, 877, 878));
        bool optional = flag_child(parent, *field, position, "optional", false, 884);
        std::string desc = xml_text(required_child(parent, *field, position, "desc", false, 888, 888));
        bool enabled = flag_child(parent, *field, position, "enabled", true, 895);

        int type = Field::type_find(word);
        if (type < 0)
            field_fault(parent, position, name, "type " + word + " is unknown", 347, "type_get");

        if (is_select(type)) {
            auto choices = lists.find(default_text);
            // The chosen values of a multiple choice are one bit each in a
            // 32-bit mask: a longer list would make two choices one.
            if (type == FIELD_STRING_SELECT_MANY && choices != lists.end() &&
                choices->second.size() > 32)
                field_fault(parent, position, name,
                            "choice list " + default_text + " has " +
                                std::to_string(choices->second.size()) +
                                " choices, a multiple choice allows at most 32",
                            __LINE__, "parse");
            static const StringSelectVector no_choices;
            emplace_back(enabled, name, comment, desc,
                         choices != lists.end() ? choices->second : no_choices, type, optional);
            continue;
        }
        try {
            emplace_back(enabled, name, comment, desc, default_text, type, optional);
        } catch (const ConfigError&) {
            std::string expected = "two integers joined by a comma (the bounds)";
            if (type != FIELD_INT_RANGE) {
                // Named as the loader names what the field accepts.
                Field probe(enabled, name, comment, desc, std::string(), FIELD_STRING, optional);
                probe.type = type;
                expected = probe.nature();
            }
            field_fault(parent, position, name, "default " + default_text + " is not " + expected,
                        __LINE__, "parse");
        }
    }
}

void FieldVector::save(XMLElement* parent) const {
    for (const Field& field : *this)
        field.save(parent);
}
