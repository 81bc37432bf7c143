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

void html_add_bytes(Filebuf* page, const char* data, size_t length) {
    // Runs without a special character go in one piece.
    size_t run = 0;
    for (size_t i = 0; i < length; i++) {
        const char* entity;
        switch (data[i]) {
        case '"': entity = "&quot;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '&': entity = "&amp;"; break;
        case '\0': entity = "&#9216;"; break;
        default: continue;
        }
        page->Add(data + run, static_cast<unsigned>(i - run));
        page->Add(entity, static_cast<unsigned>(strlen(entity)));
        run = i + 1;
    }
    page->Add(data + run, static_cast<unsigned>(length - run));
}

const char* html_row_class(unsigned row) {
    return row % 2 == 0 ? "listeven" : "listodd";
}

void html_error(Filebuf* page, const std::string& message) {
    page->Addf("<p align=\"center\"><b>Error: ");
    html_add(page, message);
    page->Addf("</b></p>\n");
}
