// Fuzz target of the link harvesting: any attribute value of a page becomes
// either nothing or a URL the proxy can fetch - http or ftp, a valid host, a
// sendable path from the root with its dot segments resolved - that prints
// and parses back to itself.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cache/prefetch.h"
#include "fuzz_check.h"
#include "http/header.h"
#include "http/url.h"

namespace {

bool sendable(const char* text)
{
    for (const unsigned char* p = (const unsigned char*)text; *p != 0; p++)
        if (*p <= 0x20 || *p >= 0x7F)
            return false;
    return true;
}

void check_link(const URL* url)
{
    FUZZ_CHECK(strcmp(url->scheme, "http") == 0 || strcmp(url->scheme, "ftp") == 0);
    FUZZ_CHECK(url->host[0] != '\0' && url_host_valid(url->host, strlen(url->host)));
    FUZZ_CHECK(url->port >= 1 && url->port <= 65535);
    FUZZ_CHECK(url->path[0] == '/' && sendable(url->path) && strchr(url->path, '#') == NULL);
    std::string path = url->path;
    path = path.substr(0, path.find('?')) + "/";
    FUZZ_CHECK(path.find("/./") == std::string::npos && path.find("/../") == std::string::npos);
    char* text = url_create(url);
    URL* again = url_parse(text);
    FUZZ_CHECK(again != NULL && urlcmp(url, again) == 1 && strcmp(url->path, again->path) == 0);
    url_free(again);
    free(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static HEADER* page = http_header_parse_request(
        "GET http://origin.test:8080/dir/sub/page.html?q=/x HTTP/1.1\r\nHost: origin.test\r\n\r\n");
    FUZZ_CHECK(page != NULL);
    std::string value((const char*)data, size);
    URL* url = prefetch_link_url(page, value.c_str());
    if (url != NULL) {
        check_link(url);
        url_free(url);
    }
    return 0;
}
