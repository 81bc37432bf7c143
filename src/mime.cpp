#include "mime.h"

#include "connection.h"
#include "templates.h"

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
