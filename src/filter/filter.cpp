#include "filter/filter.h"

#include "iface/templates.h"
#include "net/connection.h"

FilterSection* filter_section = nullptr;

FilterSection::FilterSection() : Section("url-filtering", SECTION_RWLOCK) {}

// No rules exist yet: the page says no rule decided.
int FilterSection::check_show(CONNECTION_T* connection) {
    connection->variables["FILTER"] = "None";
    return template_section->send("unknown", connection, 200);
}
