// Fuzz target of the URL record: parsing, printing and re-parsing, the
// path normaliser, form coding and the path-as-links renderer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_check.h"
#include "http/url.h"

namespace {

bool sendable(const char* text)
{
    for (const unsigned char* p = (const unsigned char*)text; *p != 0; p++)
        if (*p <= 0x20 || *p >= 0x7F)
            return false;
    return true;
}

void check_record(const URL* url)
{
    FUZZ_CHECK(url->scheme != NULL && url->host != NULL && url->path != NULL);
    FUZZ_CHECK((url->user == NULL) == (url->password == NULL));
    FUZZ_CHECK(url->user == NULL || (url->user[0] != '\0' &&
                                     strlen(url->user) <= URL_CREDENTIAL_MAX &&
                                     strlen(url->password) <= URL_CREDENTIAL_MAX));
    FUZZ_CHECK(url_host_valid(url->host, strlen(url->host)));
    FUZZ_CHECK(url->path[0] == '/' && strchr(url->path, '#') == NULL && sendable(url->path));
    FUZZ_CHECK((url->port >= 1 && url->port <= 65535) || url->port == protocol_port(url->scheme));
}

// Printed and parsed again, a URL names the same resource.
void check_round_trip(const URL* url)
{
    if (url->port == 0)
        return; // a scheme without default port prints ":0", which is no port
    char* text = url_create(url);
    URL* again = url_parse(text);
    FUZZ_CHECK(again != NULL);
    FUZZ_CHECK(urlcmp(url, again) == 1);
    FUZZ_CHECK(strcmp(url->host, again->host) == 0 && strcmp(url->path, again->path) == 0);
    url_free(again);
    free(text);
}

// Escaped HTML leaves only the renderer's own markup.
void check_links(const char* text)
{
    char* html = path_to_url(text);
    std::string rest = html;
    for (const char* markup : {"<a href=\"", "\">", "</a>"}) {
        size_t at;
        while ((at = rest.find(markup)) != std::string::npos)
            rest.erase(at, strlen(markup));
    }
    FUZZ_CHECK(rest.find_first_of("<>\"") == std::string::npos);
    free(html);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text((const char*)data, size);
    const char* c_text = text.c_str(); // ends at the first NUL, like every caller

    URL* url = url_parse(c_text);
    if (url != NULL) {
        check_record(url);
        check_round_trip(url);
        url_free(url);
    }

    char* fixed = url_path_fix(c_text);
    FUZZ_CHECK(sendable(fixed) && strchr(fixed, '#') == NULL);
    free(fixed);

    char* encoded = url_encode(c_text, (unsigned)-1);
    FUZZ_CHECK(sendable(encoded));
    char* decoded = url_decode(encoded, (unsigned)-1);
    FUZZ_CHECK(strcmp(decoded, c_text) == 0);
    free(decoded);
    free(encoded);

    unsigned limit = size > 0 ? data[0] : 0;
    decoded = url_decode(c_text, limit);
    FUZZ_CHECK(strlen(decoded) <= strlen(c_text) && strlen(decoded) <= limit);
    free(decoded);

    check_links(c_text);
    return 0;
}
