// The cursor over the configuration document through which values are read.
//
// Document layout: root "kestrivan"; one child per section named by the
// section; in it the global field elements, then the entry elements named by
// their subsection, each holding one element per field. A field's value is
// the text of its element; a missing element or one without text reads as
// the empty text. Elements are found by name (the first of several equal
// names counts); entries of one subsection are taken in document order.
//
// The cursor only reads; the document belongs to its caller (the
// configuration loader holds `documentlock` while it walks `document`).
#pragma once

#include <string>

#include <tinyxml2.h>

#include "config/config_error.h"

// The text of an element: the value of its first child when that child is
// text; empty for an element without text and for NULL.
std::string xml_text(const tinyxml2::XMLElement* element);

// The first child element of the root "kestrivan" named `name`; ConfigError
// when there is none. A NULL document or one without the root element
// "kestrivan" is an impossible state (fatal).
tinyxml2::XMLElement* section_select(tinyxml2::XMLDocument* doc, const char* name);

class XmlElement {
public:
    // A section cursor: node = the section's element; ConfigError when the
    // document has no element for the section.
    XmlElement(tinyxml2::XMLDocument* doc, const std::string& section);
    // An entry cursor: node = the first entry element of the subsection in
    // the section's element (NULL when none); element = the subsection name.
    // ConfigError when the document has no element for the section.
    XmlElement(tinyxml2::XMLDocument* doc, const std::string& section,
               const std::string& subsection);

    // 1 while the cursor stands on an element.
    int full() const;
    // Moves to the next entry element of the cursor's subsection; 1 when
    // there is one.
    int next();
    // The current element's first child element with that name, or NULL.
    const tinyxml2::XMLElement* child(const std::string& name) const;
    // The text of that child; empty when it or its text is missing.
    std::string string_read(const std::string& name) const;
    // The child's attribute "active": absent or "true" (any case) gives 1,
    // "false" (any case) gives 0; another value, or no such child, throws
    // ConfigError.
    int check_active(const std::string& name) const;
    std::string section_get() const;
    std::string element_get() const;

    tinyxml2::XMLElement* node;
    std::string section;
    std::string element; // empty for a section cursor
};
