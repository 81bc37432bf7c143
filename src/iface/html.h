// Small helpers of the HTML that the interface pages write.
//
// Contract: no state, no lock; the text given may come from a request and
// is always escaped (string_to_html of core/misc.h with the flags given).
#pragma once

#include <stddef.h>

#include <string>

class Filebuf;

// Appends the text HTML-escaped (NULL: nothing).
void html_add(Filebuf* page, const char* text, int flags = 0);
void html_add(Filebuf* page, const std::string& text, int flags = 0);

// Appends `length` bytes HTML-escaped (the four characters of
// string_to_html's flags 0), NUL bytes included: each shows as U+2400, so a
// body holding one is shown whole.
void html_add_bytes(Filebuf* page, const char* data, size_t length);

// Class of the n-th data row of a "list" table: "listeven", "listodd", ...
const char* html_row_class(unsigned row);

// Appends an error line for the administrator above a page's form: the
// message HTML-escaped, in bold.
void html_error(Filebuf* page, const std::string& message);
