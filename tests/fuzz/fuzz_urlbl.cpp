// Fuzz target of the black-list file reader: the input read as a "domains"
// file and as a "urls" file. Every entry must come out cleaned and bounded,
// whatever the bytes.
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "filter/urlbl.h"
#include "fuzz_check.h"

namespace {

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

void check_domain(const std::string& domain)
{
    FUZZ_CHECK(!domain.empty() && domain.size() <= URLBL_DOMAIN_MAX);
    FUZZ_CHECK(domain.front() != '.' && domain.back() != '.');
    FUZZ_CHECK(domain.find("..") == std::string::npos);
    FUZZ_CHECK(!blank(domain.front()) && !blank(domain.back()));
    for (char c : domain)
        FUZZ_CHECK(!isupper(static_cast<unsigned char>(c)) && c != '\n');
}

URLBLDomains read(const uint8_t* data, size_t size, bool urls)
{
    URLBLDomains category;
    std::string copy(reinterpret_cast<const char*>(data), size);
    FILE* file = fmemopen(copy.empty() ? nullptr : &copy[0], copy.size(), "r");
    if (file == nullptr)
        return category; // fmemopen refuses an empty buffer
    urlbl_read_list(file, urls, category);
    fclose(file);
    return category;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (const auto& entry : read(data, size, false)) {
        check_domain(entry.first);
        FUZZ_CHECK(entry.second.empty()); // listed whole
    }
    for (const auto& entry : read(data, size, true)) {
        check_domain(entry.first);
        FUZZ_CHECK(!entry.second.empty()); // a line gives one prefix at least
        for (const std::string& prefix : entry.second) {
            FUZZ_CHECK(prefix.size() <= URLBL_LINE_MAX);
            FUZZ_CHECK(prefix.empty() || prefix.front() == '/');
            FUZZ_CHECK(prefix.empty() || !blank(prefix.back()));
            FUZZ_CHECK(prefix.find('\n') == std::string::npos);
        }
    }
    return 0;
}
