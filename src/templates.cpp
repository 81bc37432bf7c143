#include "templates.h"

#include <string>

#include "connection.h"
#include "filebuf.h"
#include "http_text.h"
#include "log.h"
#include "socket.h"

TemplateSection* template_section = nullptr;

TemplateSection::TemplateSection() : Section("templates", SECTION_RWLOCK) {}

int TemplateSection::send(const char* name, CONNECTION_T* connection, int status) {
    if ((connection->flags & CONN_NO_CLIENT) || connection->client == nullptr)
        return 0;
    std::string body = std::string("<html><body>") + name + "</body></html>\n";
    Filebuf page;
    page.Addf("HTTP/1.1 %d %s\r\nContent-Type: text/html\r\nContent-Length: %zu\r\n\r\n", status,
              code_to_error(status), body.size());
    page.Add(body.data(), static_cast<unsigned>(body.size()));
    connection->client->WriteFilebuf(&page);
    putlog(LOG_TEMPLATE, "[IP:%s] sent %s", connection->client_ip, name);
    return 1;
}
