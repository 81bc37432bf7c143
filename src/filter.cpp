#include "filter.h"

#include "connection.h"
#include "templates.h"

FilterSection* filter_section = nullptr;

FilterSection::FilterSection() : Section("url-filtering", SECTION_RWLOCK) {}

// No rules exist yet: the page says no rule decided.
int FilterSection::check_show(CONNECTION_T* connection) {
    connection->variables["FILTER"] = "None";
    return template_section->send("unknown", connection, 200);
}
