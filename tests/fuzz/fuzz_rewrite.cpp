// Fuzz target of the substitutions the rewrite and redirect rules make: a
// pattern (first line), a replacement template (second line) and a subject
// (the rest, NUL bytes included). Replacing every match by itself must give
// the subject back; deleting matches never grows it; any template expands
// without reading outside the match or the subject.
#include <stdint.h>
#include <string.h>

#include <string>

#include "core/filebuf.h"
#include "core/regexp.h"
#include "filter/rules.h"
#include "fuzz_check.h"

namespace {

std::string contents(const Filebuf& buffer)
{
    return std::string(buffer.data == nullptr ? "" : buffer.data, buffer.size);
}

void fill(Filebuf& buffer, const std::string& text)
{
    if (!text.empty())
        buffer.Add(text.data(), (unsigned)text.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input((const char*)data, size);
    size_t first = input.find('\n');
    size_t second = first == std::string::npos ? std::string::npos : input.find('\n', first + 1);
    if (second == std::string::npos)
        return 0;
    std::string pattern = input.substr(0, first);
    std::string replacement = input.substr(first + 1, second - first - 1);
    std::string subject = input.substr(second + 1);
    if (pattern.find('\0') != std::string::npos || replacement.find('\0') != std::string::npos)
        return 0;
    regex_sub_t* compiled = reg_sub_compile(pattern.c_str(), SUBSTITUTION_OPTIONS);
    if (compiled == nullptr)
        return 0;
    template_variables variables{{"HOST", "example.test"}};

    Filebuf same;
    fill(same, subject);
    int matches = reg_replace(&same, compiled, "$0", variables);
    FUZZ_CHECK(matches >= 0);
    FUZZ_CHECK(contents(same) == subject);

    Filebuf deleted;
    fill(deleted, subject);
    reg_replace(&deleted, compiled, nullptr, variables);
    FUZZ_CHECK(deleted.size <= subject.size());

    Filebuf expanded;
    fill(expanded, subject);
    reg_replace(&expanded, compiled, replacement.c_str(), variables);

    regmatch_sub_t* match = reg_sub_exec(compiled, subject.c_str());
    if (match != nullptr) {
        FUZZ_CHECK(match->start <= match->end || pattern.find("\\K") != std::string::npos);
        char* text = reg_sub_parse(match, replacement.c_str(), variables);
        free(text);
        reg_sub_match_free(match);
    }
    reg_sub_free(compiled);
    return 0;
}
