// The authentication front end: access_auth, the challenge header and the
// refusal page. The rules it applies are in access.cpp.
#include "auth/access.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "auth/base64.h"
#include "auth/httpauth.h"
#include "config/general.h"
#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "iface/stats.h"
#include "iface/templates.h"
#include "net/connection.h"

namespace {

// Most characters of the realm name.
const size_t REALM_MAX = 255;

// Most characters of a scheme word; a longer word is no scheme.
const size_t SCHEME_WORD_MAX = 9;

// Most characters of a challenge line's value.
const size_t CHALLENGE_VALUE_MAX = 8191;

// The name the proxy gives in its challenges: -H, else the general
// section's host name.
std::string realm_name() {
    std::string realm;
    if (proxyhost[0] != '\0')
        realm = proxyhost;
    else if (general_section != NULL)
        realm = general_section->hostname_get();
    if (realm.size() > REALM_MAX)
        realm.resize(REALM_MAX);
    return realm;
}

// The header that carries the client's credentials, or NULL. A transparent
// request authenticates with Authorization only when it addresses the proxy
// itself; any other Authorization belongs to the origin server.
const char* credentials_of(const HEADER* request, bool direct, const std::string& realm) {
    if (request == NULL)
        return NULL;
    if (!direct)
        return request->proxy_authorization;
    if (request->authorization == NULL)
        return NULL;
    if (request->host_header != NULL && strcasecmp(request->host_header, realm.c_str()) != 0)
        return NULL;
    if (request->host != NULL && strcasecmp(request->host, realm.c_str()) != 0)
        return NULL;
    return request->authorization;
}

// The answer goes with the connection's body buffer, which holds the
// request's own body: a challenge carries nothing but itself.
int challenge(CONNECTION_T* connection, bool direct, bool ntlm, const std::string& realm) {
    http_header_free(connection->response);
    connection->response = auth_header(direct, ntlm, realm.c_str());
    if (connection->body != NULL)
        connection->body->Resize(0);
    return REQUEST_ANSWERED;
}

// The rules for the name the relay verified (its own name is its
// password: the check is skipped for it); true when they admit it. A
// refusal is logged in the words of the path that asked (`token`: the
// client sent a token with this request).
// A login that named nobody verifies nobody.
bool relay_user_admitted(CONNECTION_T* connection, bool token) {
    const char* name = connection->auth_host_user != NULL ? connection->auth_host_user : "";
    if (name[0] != '\0') {
        access_section->check_and_setup(connection, name, name);
        if ((connection->auth_flags & CONN_AUTH_REQUIRED) == 0)
            return true;
    }
    if (token)
        putlog(LOG_SECURITY, "warn: [IP:%s] NTLM user [%s] denied by access restrictions",
               connection->client_ip, name);
    else
        putlog(LOG_SECURITY, "warn: [IP:%s] access restrictions: blocked user[%s]",
               connection->client_ip, name);
    return false;
}

// A request without usable credentials: the rules decide alone.
int without_credentials(CONNECTION_T* connection, bool direct, bool ntlm,
                        const std::string& realm) {
    if (!access_section->check_and_setup(connection)) {
        access_block(connection);
        return REQUEST_ANSWERED;
    }
    statincr_ipaddresses(connection);
    if ((connection->auth_flags & CONN_AUTH_REQUIRED) == 0)
        return 0;
    if (ntlm && connection->auth_host_state == AUTH_HOST_AUTHENTICATED &&
        relay_user_admitted(connection, false))
        return 0;
    return challenge(connection, direct, ntlm, realm);
}

// Decodes "user:password" and runs the rules with it. False for a value
// that is not Base64, decodes to more than the buffer holds, holds a zero
// byte or no ":": the request then counts as one without credentials.
bool basic_credentials(CONNECTION_T* connection, const char* encoded) {
    while (*encoded == ' ')
        encoded++;
    char decoded[ACCESS_BASIC_DECODED_SIZE];
    int length = from64tobits(decoded, encoded, sizeof decoded - 1);
    if (length < 0 || memchr(decoded, '\0', static_cast<size_t>(length)) != NULL) {
        putlog(LOG_ERROR, "security: [IP:%s] unusable basic credentials", connection->client_ip);
        explicit_bzero(decoded, sizeof decoded);
        return false;
    }
    decoded[length] = '\0';
    char* colon = strchr(decoded, ':');
    if (colon != NULL) {
        *colon = '\0';
        access_section->check_and_setup(connection, decoded, colon + 1);
    }
    // The password is not left behind on the stack.
    explicit_bzero(decoded, sizeof decoded);
    return colon != NULL;
}

// The relay has verified (or now verifies) an NTLM or Negotiate user; the
// rules then decide for that name. 0 when the request may go on.
int relayed_credentials(CONNECTION_T* connection) {
    if (connection->auth_host_state != AUTH_HOST_AUTHENTICATED)
        ntlm_communicate(connection, NULL);
    if (connection->auth_host_state == AUTH_HOST_AUTHENTICATED &&
        relay_user_admitted(connection, true))
        return 0;
    access_section->check_and_setup(connection);
    return -1;
}

} // namespace

int access_auth(CONNECTION_T* connection, Filebuf*) {
    const HEADER* request = connection->request;
    bool direct = request != NULL && request->type == REQUEST_TRANSPARENT;
    bool ntlm = access_section->is_ntlm_enabled();
    std::string realm = realm_name();

    const char* credentials = credentials_of(request, direct, realm);
    if (credentials == NULL)
        return without_credentials(connection, direct, ntlm, realm);

    ntlm = access_section->is_ntlm_enabled();
    // Whenever no credential check runs (no scheme word, a scheme this
    // proxy does not take, NTLM switched off, Basic without ":"), the rules
    // still decide for this request: never what an earlier request of the
    // connection left behind.
    const char* blank = strchr(credentials, ' ');
    if (blank == NULL) {
        putlog(LOG_ERROR, "security: [IP:%s] invalid authorization header", connection->client_ip);
        return without_credentials(connection, direct, ntlm, realm);
    }
    size_t word_length = static_cast<size_t>(blank - credentials);
    std::string word;
    if (word_length <= SCHEME_WORD_MAX)
        word.assign(credentials, word_length);
    bool relayed = word.compare(0, 4, "NTLM") == 0 || word.compare(0, 9, "Negotiate") == 0;
    if (word.compare(0, 5, "Basic") == 0)
        connection->auth_scheme = AUTH_SCHEME_BASIC;
    else if (word.compare(0, 4, "NTLM") == 0)
        connection->auth_scheme = AUTH_SCHEME_NTLM;
    else if (word.compare(0, 9, "Negotiate") == 0)
        connection->auth_scheme = AUTH_SCHEME_NEGOTIATE;

    if (word.compare(0, 5, "Basic") == 0) {
        if (!basic_credentials(connection, blank + 1))
            return without_credentials(connection, direct, ntlm, realm);
    } else if (ntlm && relayed) {
        if (relayed_credentials(connection) == 0)
            return 0;
    } else {
        return without_credentials(connection, direct, ntlm, realm);
    }

    if ((connection->auth_flags & CONN_AUTH_REQUIRED) == 0)
        return 0;
    return challenge(connection, direct, ntlm, realm);
}

HEADER* auth_header(bool direct, bool ntlm, const char* realm) {
    HEADER* header = header_new();
    header->type = RESPONSE_HTTP;
    header->status = direct ? 401 : 407;
    header->flags |= HEADER_HAS_LENGTH;
    header->content_length = 0;
    const char* name = direct ? "WWW-Authenticate" : "Proxy-Authenticate";
    if (ntlm) {
        header->lines.push_back(HTTP_HEADER{1, name, "Negotiate"});
        header->lines.push_back(HTTP_HEADER{1, name, "NTLM"});
    }
    char value[CHALLENGE_VALUE_MAX + 1];
    snprintf(value, sizeof value, "Basic realm=\"%s\"", realm != NULL ? realm : "");
    header->lines.push_back(HTTP_HEADER{1, name, value});
    return header;
}

void access_block(CONNECTION_T* connection) {
    putlog(LOG_SECURITY, "[IP:%s] Access Denied by Access Restrictions", connection->client_ip);
    int status = -1;
    Filebuf* page = template_section != NULL
                        ? template_section->get(connection, "noaccess", &status)
                        : NULL;

    HEADER* header = header_new();
    header->type = RESPONSE_HTTP;
    // A refusal, as the record says: 403 unless the template entry names a
    // status of its own.
    header->status = status >= 100 && status <= 999 ? status : 403;
    if (page != NULL && page->content_type != NULL) {
        header->content_type = xstrdup(page->content_type);
        if (header->content_type == NULL)
            FATAL_ALLOC("src/access", static_cast<unsigned>(strlen(page->content_type) + 1));
    }
    http_header_free(connection->response);
    connection->response = header;

    if (connection->body == NULL)
        connection->body = new Filebuf();
    connection->body->Swap(page);
    delete page;
}
