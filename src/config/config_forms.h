// The web configuration forms of every section: the section page, the entry
// dialog and the posted actions are members of Section (declared in
// section.h, built in config_forms.cpp); the rows of fields and entries are
// field_form.cpp's. This header holds what the interface page "config" and
// the tests share beyond those members.
#pragma once

#include <string>

// The message of an action on an entry id that names no entry of the
// section (deleted meanwhile, or never there).
extern const char* const ENTRY_ID_MISSING;

// The message of an action or dialog naming a subsection the section does
// not have.
std::string subsection_missing(const std::string& name);

// A name for the query of a form link: percent-encoded, then HTML-escaped.
std::string form_url_part(const std::string& text);
