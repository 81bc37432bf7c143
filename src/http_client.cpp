#include "http_client.h"

int http_fetch_document(const std::string&, int* status, Filebuf** body) {
    *status = 0;
    *body = nullptr;
    return 0;
}
