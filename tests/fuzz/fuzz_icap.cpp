// Fuzz target of the ICAP Encapsulated parser: any text gives offsets that
// are absent (-1) or non-negative, and a value that parses as valid names
// again the same offsets when it is written back in the usual form.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "fuzz_check.h"
#include "icap/icap.h"

namespace {

std::string written(const ICAP_ENCAPSULATION& parts)
{
    std::string text;
    auto add = [&text](const char* name, int offset) {
        if (offset == -1)
            return;
        if (!text.empty())
            text += ", ";
        text += std::string(name) + "=" + std::to_string(offset);
    };
    add("req-hdr", parts.req_hdr);
    add("res-hdr", parts.res_hdr);
    add("req-body", parts.req_body);
    add("res-body", parts.res_body);
    add("null-body", parts.null_body);
    add("opt-body", parts.opt_body);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text((const char*)data, size);
    ICAP_ENCAPSULATION parts = ICAPSection::encapsulation_parse(text.c_str());
    for (int offset : {parts.req_hdr, parts.res_hdr, parts.req_body, parts.res_body,
                       parts.null_body, parts.opt_body})
        FUZZ_CHECK(offset >= -1);
    if (parts.valid) {
        ICAP_ENCAPSULATION again = ICAPSection::encapsulation_parse(written(parts).c_str());
        FUZZ_CHECK(again.valid && written(again) == written(parts));
    }
    return 0;
}
