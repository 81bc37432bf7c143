#include "interface.h"

#include "templates.h"

int interface_stylesheet(CONNECTION_T* connection, Filebuf* page) {
    return template_section->insert(connection, page, "interface.css");
}
