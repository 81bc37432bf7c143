// The web interface's login, its session cookie and the Referer guard.
#include "iface/interface_login.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <string>
#include <vector>

#include <openssl/crypto.h>

#include "auth/base64.h"
#include "config/general.h"
#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/misc.h"
#include "filter/cookie_filter.h"
#include "http/header.h"
#include "iface/cgimap.h"
#include "iface/html.h"
#include "iface/interface.h"
#include "iface/login_sessions.h"
#include "net/connection.h"

namespace {

const char LOGIN_COOKIE[] = "login";

// Longest "user:password" taken from a Basic authorization.
const size_t BASIC_CREDENTIALS_MAX = 1023;

bool same_secret(const std::string& given, const std::string& expected) {
    return given.size() == expected.size() &&
           CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
}

std::string credentials_key(const CONNECTION_T* connection) {
    return login_credentials_key(connection->interface_user, connection->interface_password);
}

// The values of every "login" pair of the request's Cookie lines.
std::vector<std::string> session_tokens(const CONNECTION_T* connection) {
    std::vector<std::string> tokens;
    if (connection->request == nullptr)
        return tokens;
    for (const HTTP_HEADER& line : connection->request->lines) {
        if (strcasecmp(line.name.c_str(), "Cookie") != 0)
            continue;
        CookieHeader cookie(line.value);
        for (const auto& pair : cookie.pairs)
            if (pair.first == LOGIN_COOKIE)
                tokens.push_back(pair.second);
    }
    return tokens;
}

// Adds "Set-Cookie: login=<token>; path=/; expires=<GMT>; HttpOnly". The
// browser forgets the cookie at `expires` (real universal time).
void set_login_cookie(HEADER* response, const std::string& token, time_t expires) {
    CookieHeader cookie;
    cookie.pairs.emplace_back(LOGIN_COOKIE, token);
    cookie.path = "/";
    cookie.has_path = true;
    cookie.has_expiry = gmtime_r(&expires, &cookie.expiry) != nullptr;
    cookie.flags.push_back("HttpOnly");
    response->lines.push_back(HTTP_HEADER{1, "Set-Cookie", cookie.Build()});
}

// The rule's credentials given as "Authorization: Basic ...".
bool basic_credentials_match(const CONNECTION_T* connection) {
    const char* authorization = connection->request->authorization;
    if (authorization == nullptr || strncasecmp(authorization, "Basic ", 6) != 0)
        return false;
    const char* encoded = authorization + 6;
    while (*encoded == ' ')
        encoded++;
    char decoded[BASIC_CREDENTIALS_MAX];
    int length = from64tobits(decoded, encoded, sizeof decoded);
    if (length <= 0) {
        OPENSSL_cleanse(decoded, sizeof decoded);
        return false;
    }
    std::string plain(decoded, static_cast<size_t>(length));
    OPENSSL_cleanse(decoded, sizeof decoded);
    size_t colon = plain.find(':');
    bool match = colon != std::string::npos &&
                 plain.compare(0, colon, connection->interface_user) == 0 &&
                 same_secret(plain.substr(colon + 1), connection->interface_password);
    OPENSSL_cleanse(&plain[0], plain.size());
    return match;
}

// Whether the referer begins with "http://" and the name, followed by ':'
// or '/'.
bool referer_names(const char* referer, const std::string& name) {
    if (name.empty())
        return false;
    char candidate[128];
    snprintf(candidate, sizeof candidate, "http://%s", name.c_str());
    size_t length = strlen(candidate);
    return strncasecmp(referer, candidate, length) == 0 &&
           (referer[length] == ':' || referer[length] == '/');
}

} // namespace

std::string interface_proxy_host() {
    std::string name = proxyhost[0] != '\0'
                           ? std::string(proxyhost)
                           : (general_section != nullptr ? general_section->hostname_get() : "");
    if (name.size() > 255)
        name.resize(255);
    return name;
}

bool interface_login_required(const CONNECTION_T* connection) {
    return !connection->interface_user.empty() && !connection->interface_password.empty();
}

bool interface_export_allowed(CONNECTION_T* connection) {
    if (!interface_login_required(connection))
        return true;
    if (basic_credentials_match(connection))
        return true;
    std::string key = credentials_key(connection);
    time_t now = login_clock();
    for (const std::string& token : session_tokens(connection))
        if (login_session_renew(token, key, now))
            return true;
    return false;
}

void interface_logout(CONNECTION_T* connection, HEADER* response) {
    for (const std::string& token : session_tokens(connection))
        login_session_close(token);
    set_login_cookie(response, "", 0);
}

void interface_login_form(Filebuf* page, const char* action) {
    page->Addf("<table class=\"bigdialog\">\n<form action=\"");
    html_add(page, action);
    page->Addf("\" method=\"POST\">\n"
               "<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Web interface "
               "login</td></tr>\n"
               "<tr><td>Username</td><td><input type=\"text\" name=\"username\" "
               "size=\"80\"></td></tr>\n"
               "<tr><td>Password</td><td><input type=\"password\" name=\"password\" "
               "size=\"80\"></td></tr>\n"
               "<tr><td colspan=\"2\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
               "</form>\n</table>\n");
}

bool interface_login(CONNECTION_T* connection, CGIMap& arguments, HEADER* response,
                     Filebuf* page) {
    connection->interface_session.clear();
    if (!interface_login_required(connection))
        return true;
    std::string key = credentials_key(connection);
    time_t now = login_clock();
    time_t expires = time(nullptr) + LOGIN_SESSION_LIFETIME;
    for (const std::string& token : session_tokens(connection)) {
        if (login_session_renew(token, key, now)) {
            set_login_cookie(response, token, expires);
            connection->interface_session = token;
            return true;
        }
    }
    auto user = arguments.find("username");
    auto password = arguments.find("password");
    if (user != arguments.end() && password != arguments.end() &&
        user->second == connection->interface_user &&
        same_secret(password->second, connection->interface_password)) {
        std::string token = login_session_open(key, now);
        if (!token.empty()) {
            set_login_cookie(response, token, expires);
            connection->interface_session = token;
            return true;
        }
        putlog(LOG_ERROR, "[IP:%s] web interface login: no random bytes for a session token",
               connection->client_ip);
    }
    interface_login_form(page, connection->request->path != nullptr ? connection->request->path
                                                                     : "/");
    return false;
}

int interface_check_referer(CONNECTION_T* connection) {
    const char* referer = connection->request->referer;
    if (referer == nullptr) {
        putlog(LOG_SECURITY, "web interface request without referer");
        return 0;
    }
    if (referer_names(referer, INTERFACE_HOSTNAME) || referer_names(referer, interface_proxy_host()))
        return 1;
    putlog(LOG_SECURITY, "web interface request from invalid referer (%s)", referer);
    return 0;
}
