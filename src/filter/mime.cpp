#include "filter/mime.h"

#include "iface/templates.h"
#include "net/connection.h"

MimeSection* mime_section = nullptr;

MimeSection::MimeSection() : Section("mime-filtering", SECTION_RWLOCK) {}

int MimeSection::check_and_block(CONNECTION_T*) {
    return 1;
}

// No rules exist yet, so no rule decides.
int MimeSection::check_show(CONNECTION_T* connection) {
    connection->variables["FILTER"] = "None";
    return template_section->send("unknown", connection, 200);
}
