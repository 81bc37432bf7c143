// The internal HTTP client: GET requests the proxy makes for itself (a
// configuration given as a URL, a master's configuration, another
// instance's DN cache).
//
// Placeholder until the client is built: no request is made and every fetch
// reports that no response came.
#pragma once

#include <string>

class Filebuf;

// GET of an http URL (a user and password in it travel as Basic
// credentials). Returns 1 when a response came, with its status in *status
// and, for status 200, a new Filebuf holding the body in *body (owned by the
// caller; NULL for other statuses); 0 when no response could be read.
int http_fetch_document(const std::string& url, int* status, Filebuf** body);
