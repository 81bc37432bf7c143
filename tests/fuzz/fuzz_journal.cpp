// Fuzz target of the journal line: a line that is taken formats back into
// a line that parses to the same fields; keys never hold a line end or TAB.
#include <stdint.h>
#include <string.h>

#include <string>

#include "cache/journal.h"
#include "fuzz_check.h"

namespace {

bool same_text(const char* a, const char* b) {
    return (a == nullptr) == (b == nullptr) && (a == nullptr || strcmp(a, b) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= JOURNAL_LINE_MAX)
        return 0; // the reader never hands a longer line over
    std::string text((const char*)data, size);
    JournalLine line;
    if (!journal_parse(&text[0], &line))
        return 0;
    FUZZ_CHECK(line.key[0] != '\0' && strpbrk(line.key, "\t\r\n") == nullptr);
    FUZZ_CHECK(line.md5 == nullptr || strpbrk(line.md5, "\t\r\n") == nullptr);

    char formatted[JOURNAL_LINE_MAX];
    size_t length = journal_format(line, formatted, sizeof formatted);
    if (length == 0)
        return 0;
    FUZZ_CHECK(length == strlen(formatted));
    JournalLine again;
    FUZZ_CHECK(journal_parse(formatted, &again));
    FUZZ_CHECK(same_text(line.key, again.key) && same_text(line.md5, again.md5));
    FUZZ_CHECK(line.flags == again.flags && line.size == again.size &&
               line.mtime == again.mtime && line.atime == again.atime);
    FUZZ_CHECK(line.has_freshness == again.has_freshness && line.minage == again.minage &&
               line.maxage == again.maxage && line.maxnoexp == again.maxnoexp &&
               line.lmfactor == again.lmfactor);
    return 0;
}
