#include "iface/html.h"

#include <stdlib.h>
#include <string.h>

#include "core/filebuf.h"
#include "core/misc.h"

void html_add(Filebuf* page, const char* text, int flags) {
    if (text == nullptr)
        return;
    char* escaped = string_to_html(text, flags);
    page->Add(escaped, static_cast<unsigned>(strlen(escaped)));
    free(escaped);
}

void html_add(Filebuf* page, const std::string& text, int flags) {
    html_add(page, text.c_str(), flags);
}

const char* html_row_class(unsigned row) {
    return row % 2 == 0 ? "listeven" : "listodd";
}
