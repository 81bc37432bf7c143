#include "auth/parent_auth.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <ntlm.h>

#include <string>
#include <vector>

#include "auth/base64.h"
#include "config/general.h"
#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/header_io.h"
#include "http/proto_http.h"
#include "http/upstream.h"
#include "net/connection.h"

namespace {

// libntlm keeps state that is not safe for concurrent use.
pthread_mutex_t ntlm_mutex = PTHREAD_MUTEX_INITIALIZER;

// Longest "user:password" and credential value sent.
const size_t CREDENTIALS_MAX = 4094;

const char* client_address(CONNECTION_T* connection) {
    return connection->client_ip != NULL ? connection->client_ip : "-";
}

// "<scheme> <Base64 of bytes>" as a new text.
char* credential_text(const char* scheme, const unsigned char* bytes, size_t count) {
    std::vector<char> encoded(base64_encoded_size(count));
    to64frombits(encoded.data(), bytes, count);
    std::string text = std::string(scheme) + " " + encoded.data();
    if (text.size() > CREDENTIALS_MAX)
        text.resize(CREDENTIALS_MAX);
    char* copy = xstrdup(text.c_str());
    if (copy == NULL)
        FATAL_ALLOC("src/parent_auth", static_cast<unsigned>(text.size() + 1));
    return copy;
}

char* basic_credentials(const char* user, const char* password) {
    std::string pair = std::string(user != NULL ? user : "") + ":" + (password != NULL ? password : "");
    if (pair.size() > CREDENTIALS_MAX)
        pair.resize(CREDENTIALS_MAX);
    return credential_text("Basic", reinterpret_cast<const unsigned char*>(pair.data()),
                           pair.size());
}

void parent_auth_set(CONNECTION_T* connection, char* value) {
    free(connection->parent_auth);
    connection->parent_auth = value;
}

void send_to_parent(CONNECTION_T* connection) {
    header_send(connection->request, connection, SIDE_SERVER, HEADER_SEND_PARENT);
    parent_auth_set(connection, NULL);
}

// What the NTLM handshake changes on the connection, put back on every path.
struct saved_request {
    int server_keepalive;
    char* method;
    unsigned flags;
    size_t content_length;
};

} // namespace

int proxy_authenticate(CONNECTION_T* connection) {
    HEADER* response = connection->response;
    const char* challenge = response != NULL ? response->proxy_authenticate : NULL;
    // Without credentials of the forward rule there is nothing to answer
    // with (credentials the client sent already reached the parent).
    if (challenge == NULL || (connection->parent_user == NULL && connection->parent_password == NULL))
        return 0;
    if (strncmp(challenge, "NTLM", 4) == 0) {
        putlog(LOG_ADVICE, "[IP:%s] got NTLM header", client_address(connection));
        return send_ntlm_response(connection);
    }
    if (strncasecmp(challenge, "Basic", 5) == 0)
        return send_basic_response(connection);
    return 0;
}

int send_basic_response(CONNECTION_T* connection) {
    http_transfer_discard(connection, SIDE_SERVER);
    parent_auth_set(connection,
                    basic_credentials(connection->parent_user, connection->parent_password));
    send_to_parent(connection);
    return 1;
}

static void request_restore(CONNECTION_T* connection, saved_request& saved) {
    HEADER* request = connection->request;
    connection->server_keepalive = saved.server_keepalive;
    free(request->method);
    request->method = saved.method;
    saved.method = NULL;
    request->flags = saved.flags;
    request->content_length = saved.content_length;
}

int send_ntlm_response(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    saved_request saved = {connection->server_keepalive, request->method, request->flags,
                           request->content_length};
    // The handshake messages carry no body.
    request->method = xstrdup("GET");
    if (request->method == NULL)
        FATAL_ALLOC("src/parent_auth", 4);
    request->flags &= ~HEADER_HAS_LENGTH;

    http_transfer_discard(connection, SIDE_SERVER);
    tSmbNtlmAuthRequest negotiate;
    pthread_mutex_lock(&ntlm_mutex);
    buildSmbNtlmAuthRequest(&negotiate, connection->parent_user != NULL ? connection->parent_user : "",
                            connection->parent_domain);
    pthread_mutex_unlock(&ntlm_mutex);
    parent_auth_set(connection,
                    credential_text("NTLM", reinterpret_cast<const unsigned char*>(&negotiate),
                                    SmbLength(&negotiate)));
    send_to_parent(connection);

    // The handshake belongs to this one connection: an answer that does not
    // come on it ends the handshake (the request is never sent again).
    char* text = header_get(connection, SIDE_SERVER,
                            general_section != NULL ? general_section->timeout_get(connection) : 60);
    bool received = text != NULL;
    HEADER* answer = received ? http_header_parse_response(text) : NULL;
    free(text);
    if (received && answer == NULL)
        putlog(LOG_ERROR, "[IP:%s] failed to parse header recieved from upstream proxy server",
               client_address(connection));
    if (answer != NULL) {
        http_header_free(connection->response);
        connection->response = answer;
    }

    const char* offer = answer != NULL ? answer->proxy_authenticate : NULL;
    tSmbNtlmAuthChallenge challenge;
    int challenge_size = -1;
    if (offer != NULL && strncasecmp(offer, "NTLM ", 5) == 0) {
        http_transfer_discard(connection, SIDE_SERVER);
        memset(&challenge, 0, sizeof challenge);
        challenge_size = from64tobits(reinterpret_cast<char*>(&challenge), offer + 5, sizeof challenge);
    }
    if (challenge_size <= 0) {
        putlog(LOG_ADVICE, "error in NTLM forwarding");
        request_restore(connection, saved);
        return 0;
    }

    tSmbNtlmAuthResponse authenticate;
    pthread_mutex_lock(&ntlm_mutex);
    buildSmbNtlmAuthResponse(&challenge, &authenticate,
                             connection->parent_user != NULL ? connection->parent_user : "",
                             connection->parent_password != NULL ? connection->parent_password : "");
    pthread_mutex_unlock(&ntlm_mutex);
    parent_auth_set(connection,
                    credential_text("NTLM", reinterpret_cast<const unsigned char*>(&authenticate),
                                    SmbLength(&authenticate)));
    request_restore(connection, saved);
    send_to_parent(connection);
    return 1;
}

int authenicate_basic_response(CONNECTION_T* connection) {
    HEADER* request = connection->request;
    free(request->authorization);
    request->authorization = basic_credentials(request->user, request->password);
    header_send(request, connection, SIDE_SERVER, HEADER_SEND_ORIGIN);
    free(request->authorization);
    request->authorization = NULL;
    return 1;
}
