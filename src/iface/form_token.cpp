#include "iface/form_token.h"

#include <strings.h>

#include <openssl/crypto.h>

#include "core/filebuf.h"
#include "core/log.h"
#include "http/header.h"
#include "iface/cgimap.h"
#include "iface/html.h"
#include "iface/interface_login.h"
#include "iface/login_sessions.h"
#include "net/connection.h"

const char* const FORM_TOKEN_REFUSED =
    "Nothing was changed: changes are made only through the forms of these pages "
    "(posted, with the token of your session). Reload the page and try again.";

std::string interface_form_token(const CONNECTION_T* connection) {
    if (connection == nullptr)
        return std::string();
    if (interface_login_required(connection)) {
        if (connection->interface_session.empty())
            return std::string();
        return login_form_token(connection->interface_session);
    }
    return login_form_token(std::string());
}

void interface_form_token_field(Filebuf* page, const CONNECTION_T* connection) {
    std::string token = interface_form_token(connection);
    if (token.empty())
        return;
    page->Addf("<input type=\"hidden\" name=\"" FORM_TOKEN_ARGUMENT "\" value=\"");
    html_add(page, token);
    page->Addf("\">\n");
}

bool interface_form_posted(const CONNECTION_T* connection, CGIMap& arguments) {
    const HEADER* request = connection != nullptr ? connection->request : nullptr;
    bool posted = request != nullptr && request->method != nullptr &&
                  strcasecmp(request->method, "POST") == 0;
    std::string expected = interface_form_token(connection);
    const std::string& given = arguments[FORM_TOKEN_ARGUMENT];
    bool match = !expected.empty() && given.size() == expected.size() &&
                 CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
    if (posted && match)
        return true;
    putlog(LOG_SECURITY, "[IP:%s] web interface change refused: %s",
           connection != nullptr && connection->client_ip != nullptr ? connection->client_ip : "-",
           posted ? "wrong or missing form token" : "not posted");
    return false;
}
