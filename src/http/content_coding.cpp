// Filebuf's content codings by connection (declared with Filebuf in
// core/filebuf.h). They live with the HTTP exchange, their one caller,
// because they read the connection's headers and the general section; the
// buffer itself only knows the coding words.
#include "core/filebuf.h"

#include <stdlib.h>
#include <string.h>

#include "config/general.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/header_io.h"
#include "net/connection.h"
#include "net/relay.h"

int Filebuf::Decode(CONNECTION_T* connection) {
    const HEADER* response = connection->response;
    return DecodeContent(response != NULL ? response->content_encoding : NULL,
                         relay_buffer_limit(connection, SIDE_SERVER));
}

int Filebuf::Encode(CONNECTION_T* connection) {
    const HEADER* request = connection->request;
    HEADER* response = connection->response;
    if ((connection->flags & CONN_ENCODING_ASKED) != 0 || request == NULL ||
        request->accept_encoding == NULL || response == NULL)
        return 0;
    if (general_section->compressout_get(connection) != 1)
        return 0;
    const char* coding = EncodeContent(request->accept_encoding);
    if (coding == NULL)
        return 0;
    char* copy = xstrdup(coding);
    if (copy == NULL)
        FATAL_ALLOC("src/filebuf", static_cast<unsigned>(strlen(coding) + 1));
    free(response->content_encoding);
    response->content_encoding = copy;
    return 1;
}
