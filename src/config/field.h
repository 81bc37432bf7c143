// Field: one typed configuration value together with its definition, and
// FieldVector, the fields of a section's globals, of a subsection's template
// or of one entry, in definition order. Also the converters that turn
// configuration text into numbers.
//
// Field::text always holds the text last loaded or typed, whatever the
// type, so saving never formats a number; the typed members hold its value
// (see the type table below). A field is copyable and copies are
// independent. A FieldVector is never resized after it was built, so
// pointers to its fields (and to their value members) stay valid: sections
// bind their global values that way.
//
// Every converter takes the whole text and throws ConfigError for anything
// malformed, out of its type's range included; it logs nothing. Field::load
// (reading from the configuration document) logs a malformed value once,
// naming section, element, field and value, and throws ConfigError with that
// message; the loader decides whether that stops start-up or only keeps the
// section's previous values.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "config/config_error.h"
#include "config/config_lists.h"
#include "config/ranges.h"

class CGIMap;
class Filebuf;
class XmlElement;

// Type codes (Field::type) and the words of the definition file.
enum {
    FIELD_INT = 0,                // "INT": value
    FIELD_UINT = 1,               // "UINT": uvalue
    FIELD_BOOL = 2,               // "BOOL": value 0 or 1
    FIELD_STRING = 3,             // "STRING": text
    FIELD_STRING_SELECT_ONE = 4,  // "STRING_SELECT_ONE": value = chosen index
    FIELD_STRING_SELECT_MANY = 5, // "STRING_SELECT_MANY": value = bit mask, list
    FIELD_STRING_LIST = 6,        // "STRING_LIST": list
    FIELD_IP_RANGE_LIST = 7,      // "IP_RANGE_LIST": iplist
    FIELD_PORT_RANGE_LIST = 8,    // "PORT_RANGE_LIST": portlist
    // code 9 is not assigned
    FIELD_STRING_RANGE = 10,      // "STRING_RANGE": value, value2 (indexes)
    FIELD_INT_RANGE = 11,         // "INT_RANGE": value, value2 within min..max
    FIELD_FILE_SIZE = 12,         // "FILE_SIZE": uvalue in bytes
    FIELD_MULTILINE_STRING = 13,  // "MULTILINE_STRING": text
    FIELD_LONG_FILE_SIZE = 14,    // "LONG_FILE_SIZE": lvalue in bytes
    FIELD_DOUBLE = 15,            // "DOUBLE": dvalue
};

// Decimal by strtol rules, within int; an empty text is 0.
int string_to_int(const std::string& text);
// Decimal by strtoul rules, within 0..4294967295 (a minus sign is refused);
// an empty text is 0.
unsigned string_to_uint(const std::string& text);
// By strtod rules; an empty text is 0; an overflowing number is refused.
double string_to_double(const std::string& text);
// An unsigned decimal number, then optionally (after blanks) a unit word
// compared ignoring case: k, kb, kbit (x 1024), m, mb, mbit (x 2^20), g, gb,
// gbit (x 2^30). Text after the unit word is not examined. An empty text, a
// missing number, an unknown unit or a size beyond 32 (64) bits is refused.
uint32_t string_to_filesize(const std::string& text);
uint64_t string_to_longfilesize(const std::string& text);

class Field {
public:
    // A field of any type but the three select types, with its default
    // parsed by type (INT, UINT, FILE_SIZE, LONG_FILE_SIZE, DOUBLE and the
    // three list types by their converters; BOOL true when the default is
    // "true" in any case, its text then reads "true" or "false"; INT_RANGE:
    // the default is the bounds "min,max"). ConfigError for a default its
    // converter refuses.
    Field(bool enabled, std::string name, std::string comment, std::string desc,
          std::string default_text, int type, bool optional);
    // A field of a select type with its choice list. The choices marked
    // selected in the definition are the field's initial value and text.
    Field(bool enabled, std::string name, std::string comment, std::string desc,
          const StringSelectVector& choices, int type, bool optional);

    // The code of a type word (exact comparison); -1 for any other word.
    static int type_find(const std::string& word);
    // The same, but an unknown word is an impossible state (fatal).
    static int type_get(const std::string& word);

    // Reads the field from the cursor's current element: the text of the
    // child element named `name`, and for an optional field its attribute
    // "active" (absent or "true" in any case: on; "false": off, the typed
    // value is then kept). A disabled field is left alone. A missing element
    // reads as the empty text, except that an optional, BOOL, STRING_RANGE,
    // INT_RANGE, FILE_SIZE or LONG_FILE_SIZE field keeps what it has, so a
    // file written before the field existed still loads. A malformed text
    // goes to error_log (BOOL takes exactly true, TRUE, false or FALSE; a
    // STRING_SELECT_ONE text that names no choice only clears the choice).
    void load(const XmlElement& cursor);
    // Appends <name [active="true|false"]>text</name> to parent.
    void save(tinyxml2::XMLElement* parent) const;
    // Logs "flawed XML file, section S, element E: F must be N, but it is
    // given value V" (LOG_ERROR) and throws ConfigError with that text.
    [[noreturn]] void error_log(const XmlElement& cursor) const;

    // Web forms (field_form.cpp). Rows alternate between the classes
    // "entryfieldeven" and "entryfieldodd"; `odd` carries the alternation
    // from field to field and flips after every row drawn.
    // A read-only row: label and HTML-escaped value; nothing for a disabled
    // field, an inactive optional one or a non-optional one without text.
    void display(Filebuf* page, bool& odd) const;
    // An input row for the field at position n of the edited list (form
    // keys "F<n>", "F<n>_active", "F<n>_2", "F<n>_<choice>"); nothing for a
    // disabled field.
    void dialog_display(Filebuf* page, CGIMap& args, int n, bool& odd) const;
    // Reads the field at position n back from the posted arguments. Throws
    // ConfigError for a value the configuration file could not load again:
    // a malformed number, size or range list, an INT_RANGE outside its
    // bounds, a STRING_RANGE value that is none of its choices. The text is
    // assigned before the conversion, so callers read into a copy and
    // commit it only when no field failed.
    void read(CGIMap& args, int n);

    // What the field accepts, for messages ("an integer", ...).
    std::string nature() const;
    // The values of the choices, joined by ",".
    std::string possible_values() const;
    // Resets the value (nothing in the system calls it).
    void zero();

    bool enabled;
    std::string name;
    int type;
    std::string comment;
    std::string desc;
    int width;
    int min;
    int max;
    bool optional;
    bool active;
    int value;
    int value2;
    uint32_t uvalue;
    uint64_t lvalue;
    std::string text;
    StringList list;
    IpRangeList iplist;
    PortRangeList portlist;
    StringSelectVector choices;
    StringSelectVector choices2;
    double dvalue;

private:
    // Parses `text` by type into the typed members; ConfigError when it is
    // malformed. Members are replaced only when the whole text parsed.
    void parse_text();
    // Whether a missing element leaves the field as it is (see load).
    bool keeps_value_when_missing() const;
};

class FieldVector : public std::vector<Field> {
public:
    using ChoiceLists = std::map<std::string, StringSelectVector>;

    FieldVector() = default;
    // Builds the fields declared by the child elements of parent (a
    // definition file's "global" element or one template).
    FieldVector(const tinyxml2::XMLElement& parent, const ChoiceLists& lists);
    // Appends one field per child element of parent, in order; every fault
    // of the definition stops start-up with a message naming the section,
    // the field and what is wrong.
    void parse(const tinyxml2::XMLElement& parent, const ChoiceLists& lists);
    // Field::save of every field, in order.
    void save(tinyxml2::XMLElement* parent) const;

    // Read-only rows of every field (field_form.cpp).
    void display(Filebuf* page) const;
    // Input rows of every field, field n at position n.
    void dialog_display(Filebuf* page, CGIMap& args) const;
    // Field::read of every field by position; one message per field that
    // fails ("<label> must be <nature>"), the others are still read.
    StringList read(CGIMap& args);
};
