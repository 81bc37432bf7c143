// CONNECTION_T: one client connection and its current request.
#pragma once

#include <map>
#include <string>

class Socket;
struct HEADER;

// CONNECTION_T::flags
enum {
    CONN_NO_CLIENT = 0x4000, // nothing is written to the client
};

struct CONNECTION_T {
    unsigned client_id;
    unsigned flags;        // CONN_* bits of the current request
    Socket* client;        // the client's socket; NULL for the proxy's own requests
    Socket* server;        // the upstream socket of the current request
    char* client_ip;       // client address text
    int port;              // port of the listener that accepted the client
    char* interface_ip;    // local address the client connected to
    int client_keepalive;  // 1: the client connection stays open after this request
    char* parent_auth;     // Proxy-Authorization value for the parent proxy
    HEADER* request;       // parsed request header
    HEADER* response;      // response header being sent
    std::map<std::string, std::string> variables; // template variables
};
