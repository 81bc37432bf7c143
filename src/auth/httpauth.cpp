// The NTLM and Negotiate relay to the authentication service.
#include "auth/httpauth.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "auth/access.h"
#include "auth/dn_cache.h"
#include "config/general.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/proto_http.h"
#include "http/upstream.h"
#include "net/connection.h"
#include "net/network.h"
#include "net/socket.h"

const char* const AUTH_SERVICE_HOST = "localhost";

namespace {

// Most characters kept of the DN and of the group names the service names.
const size_t LDAP_INFO_MAX = 2047;

const char* scheme_word(const CONNECTION_T* connection) {
    return connection->auth_scheme == AUTH_SCHEME_NTLM ? "NTLM" : "Negotiate";
}

// The token of a request, from the header tokens come in for its kind:
// a transparent client talks to what it takes for the origin server.
const char* token_of(const HEADER* request) {
    if (request == NULL)
        return NULL;
    return request->type == REQUEST_TRANSPARENT ? request->authorization
                                                : request->proxy_authorization;
}

int wait_seconds(CONNECTION_T* connection) {
    if (general_section == NULL)
        return 60;
    return connection->requests != 0 ? general_section->keeptimeout_get(connection)
                                     : general_section->timeout_get(connection);
}

void replace_text(char** field, const char* value) {
    free(*field);
    *field = value != NULL ? xstrdup(value) : NULL;
}

// "DN;group,group": the DN and the group names go into the DN cache.
void store_ldap_info(const char* user, const char* location) {
    if (location == NULL || location[0] == '\0')
        return;
    char** pieces = string_break(location, ';');
    std::string dn;
    std::string groups;
    if (pieces != NULL && pieces[0] != NULL) {
        dn.assign(pieces[0], strnlen(pieces[0], LDAP_INFO_MAX));
        if (pieces[1] != NULL)
            groups.assign(pieces[1], strnlen(pieces[1], LDAP_INFO_MAX));
    }
    array_free(pieces);
    update_dn_cache(user, dn.c_str(), groups.c_str());
}

// The answer of the service, once parsed: 200, 407 or 500.
int answer_status(CONNECTION_T* connection, const HEADER* answer) {
    const char* value = answer->proxy_authenticate;
    if (answer->status == 200) {
        if (value == NULL || value[0] == '\0') {
            // An acceptance that names nobody verifies nobody.
            putlog(LOG_ERROR, "[IP:%s] [%s:%d] %s:accepted without a user name",
                   connection->client_ip, scheme_word(connection), connection->requests,
                   AUTH_SERVICE_HOST);
            replace_text(&connection->auth_host_challenge, NULL);
            connection->auth_host_state = AUTH_HOST_FAILED;
            return 500;
        }
        replace_text(&connection->auth_host_user, value);
        connection->auth_host_state = AUTH_HOST_AUTHENTICATED;
        putlog(LOG_DEBUG, "[IP:%s] %s: authenticated: [user:%s] [ldapinfo:%s]",
               connection->client_ip, scheme_word(connection), value,
               answer->location != NULL ? answer->location : "");
        store_ldap_info(value, answer->location);
        return 200;
    }
    if (answer->status == 407 && answer->proxy_keep_alive != 0) {
        replace_text(&connection->auth_host_challenge, value);
        connection->auth_host_state = AUTH_HOST_CHALLENGE;
        return 407;
    }
    replace_text(&connection->auth_host_challenge, NULL);
    if (answer->status != 407)
        putlog(LOG_ERROR, "trace: code:%d challenge: %s", answer->status,
               value != NULL ? value : "");
    return 500;
}

// A request the client sent during the dialogue brings its own body: it
// is read now, so that it neither stays on the socket as the next request
// nor is lost. The buffer keeps its identity (callers hold it).
void read_new_body(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    bool has_body = request->chunked ||
                    ((request->flags & HEADER_HAS_LENGTH) && request->content_length > 0);
    if (connection->body != NULL)
        connection->body->Resize(0);
    connection->flags &= ~static_cast<unsigned>(CONN_BODY_STREAMED);
    if (!has_body)
        return;
    Filebuf* body = http_transfer_filebuf(connection, SIDE_CLIENT);
    if (connection->body == NULL) {
        connection->body = body;
    } else {
        connection->body->Swap(body);
        delete body;
    }
    connection->bytes_up = static_cast<int64_t>(connection->body->size);
    if (connection->flags & CONN_TRANSFER_FAILED)
        connection->client_keepalive = 0;
}

} // namespace

void flush_httpauth_socket(CONNECTION_T* connection) {
    if (connection->server != NULL)
        connection->server->Flush();
}

void close_httpauth_socket(CONNECTION_T* connection) {
    if (connection->server == NULL)
        return;
    connection->server->Flush();
    delete connection->server;
    connection->server = NULL;
}

int make_new_httpauth_socket(CONNECTION_T* connection) {
    if (connection->server != NULL)
        return 0;
    int fd = net_connect(AUTH_SERVICE_HOST, AUTH_SERVICE_PORT, AUTH_SERVICE_CONNECT_TIMEOUT);
    putlog(LOG_DEBUG, "creating new httpauth connection:%d", fd);
    if (fd < 0) {
        putlog(LOG_ERROR, "security: [IP:%s] connection failed to %s:%d", connection->client_ip,
               AUTH_SERVICE_HOST, AUTH_SERVICE_PORT);
        return -1;
    }
    connection->server = new Socket(fd);
    return 0;
}

int validate_auth_tracking(CONNECTION_T* connection) {
    flush_httpauth_socket(connection);
    const HEADER* request = connection->request;
    const char* token = token_of(request);
    if (connection->server == NULL || token == NULL) {
        connection->auth_host_state = AUTH_HOST_FAILED;
        return 500;
    }
    // The service learns the client's address; a forwarded one only from
    // a proxy the access rules trust.
    std::string forwarded = access_section != NULL
                                ? access_section->client_name(connection)
                                : std::string(connection->client_ip != NULL ? connection->client_ip : "");
    const char* forwarded_for = forwarded.c_str();
    // Built whole rather than through a formatted write, which would cut a
    // long Negotiate token.
    std::string text;
    text.reserve(160 + strlen(forwarded_for) + strlen(token));
    text.append("GET http://").append(AUTH_SERVICE_HOST).append("/authenticate HTTP/1.1\r\n");
    text.append("Host: ").append(AUTH_SERVICE_HOST).append("\r\n");
    text.append("X-Forwarded-For: ").append(forwarded_for).append("\r\n");
    text.append("Proxy-Authorization: ").append(token).append("\r\n\r\n");
    if (connection->server->Write(text.data(), static_cast<int>(text.size())) == -1) {
        putlog(LOG_ERROR, "[IP:%s] [%s:%d] %s:socket write failed", connection->client_ip,
               scheme_word(connection), connection->requests, AUTH_SERVICE_HOST);
        connection->auth_host_state = AUTH_HOST_FAILED;
        return 500;
    }
    connection->server->Flush();

    char* raw = header_get(connection, SIDE_SERVER, wait_seconds(connection));
    if (raw == NULL) {
        putlog(LOG_ERROR, "[IP:%s] [%s:%d] %s:socket read failed", connection->client_ip,
               scheme_word(connection), connection->requests, AUTH_SERVICE_HOST);
        connection->auth_host_state = AUTH_HOST_FAILED;
        return 500;
    }
    putlog(LOG_DEBUG, "security: [IP:%s] auth service:\n%s", connection->client_ip, raw);
    HEADER* answer = http_header_parse_response(raw);
    free(raw);
    // Text without a status line is no answer of the service.
    if (answer == NULL || answer->version == HTTP_VERSION_09) {
        http_header_free(answer);
        putlog(LOG_ERROR, "[IP:%s] [%s:%d] %s:response corrupted", connection->client_ip,
               scheme_word(connection), connection->requests, AUTH_SERVICE_HOST);
        return 500;
    }
    int result = answer_status(connection, answer);
    http_header_free(answer);
    return result;
}

int send_auth_request_to_client(CONNECTION_T* connection) {
    // A request body still on the socket (too large to be read first)
    // would be read as the client's next request: the dialogue cannot go
    // on over this connection, which ends after the final challenge.
    if (connection->flags & CONN_BODY_STREAMED) {
        connection->client_keepalive = 0;
        return -1;
    }
    bool direct = connection->request != NULL && connection->request->type == REQUEST_TRANSPARENT;
    HEADER* header = header_new();
    header->type = RESPONSE_HTTP;
    header->status = direct ? 401 : 407;
    header->flags |= HEADER_HAS_LENGTH;
    header->content_length = 0;
    header->chunked = 0;
    connection->client_keepalive = 1;
    header->lines.push_back(HTTP_HEADER{1, "Proxy-support", "Session-Based-Authentication"});
    if (connection->auth_host_challenge != NULL)
        header->lines.push_back(HTTP_HEADER{1, direct ? "WWW-Authenticate" : "Proxy-Authenticate",
                                            connection->auth_host_challenge});
    header_send(header, connection, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    http_header_free(header);

    char* text = header_get(connection, SIDE_CLIENT, wait_seconds(connection));
    if (text == NULL) {
        connection->client_keepalive = 0;
        return -1;
    }
    size_t length = strlen(text);
    bool whole = (length >= 2 && text[length - 1] == '\n' && text[length - 2] == '\n') ||
                 (length >= 4 && strcmp(text + length - 4, "\r\n\r\n") == 0);
    HEADER* next = whole ? http_header_parse_request(text) : NULL;
    free(text);
    if (next == NULL) {
        // What came is no request: the one being authenticated stays, and
        // the client connection ends after the answer it gets now, since
        // nothing more on it can be trusted to start a request.
        connection->client_keepalive = 0;
        return -1;
    }
    http_header_free(connection->request);
    connection->request = next;
    connection->flags |= CONN_REQUEST_REPLACED;
    keepalive_check_client(connection);
    read_new_body(connection);
    if (token_of(next) == NULL) {
        putlog(LOG_SECURITY, "warn: [IP:%s] [request:%d] NULL Proxy-Authorization Headers recieved",
               connection->client_ip, connection->requests);
        return -1;
    }
    return 0;
}

int ntlm_communicate(CONNECTION_T* connection, char*) {
    if (connection->auth_host_state == AUTH_HOST_AUTHENTICATED) {
        putlog(LOG_ERROR, "[IP:%s] %s:%d connection already authenticated", connection->client_ip,
               scheme_word(connection), connection->requests);
        return 200;
    }
    if (make_new_httpauth_socket(connection) == -1)
        return 407;
    int answer;
    for (;;) {
        answer = validate_auth_tracking(connection);
        if (answer != 407)
            break;
        if (send_auth_request_to_client(connection) == -1)
            break;
    }
    close_httpauth_socket(connection);
    return answer == 200 ? 200 : 407;
}
