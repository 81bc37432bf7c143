// Formatting and parsing one journal line (journal.h).
#include "cache/journal.h"

#include <string.h>

#include <charconv>
#include <limits>

#include "cache/cache.h"

namespace {

const int FIELDS = 10;

// Appends text to the line being built; false when it does not fit.
class LineBuilder {
public:
    LineBuilder(char* buffer, size_t size) : at_(buffer), end_(buffer + size) {}

    bool text(const char* value) {
        size_t length = strlen(value);
        if (length >= static_cast<size_t>(end_ - at_))
            return false;
        memcpy(at_, value, length);
        at_ += length;
        return true;
    }
    template <typename Number> bool number(Number value) {
        std::to_chars_result result = std::to_chars(at_, end_, value);
        if (result.ec != std::errc() || result.ptr == end_)
            return false;
        at_ = result.ptr;
        return true;
    }
    bool tab() {
        if (end_ - at_ < 2)
            return false;
        *at_++ = '\t';
        return true;
    }
    char* at() const { return at_; }

private:
    char* at_;
    char* end_;
};

// A whole field of decimal digits within the range of `Number`.
template <typename Number> bool parse_number(const char* text, Number* out) {
    if (*text == '\0')
        return false;
    const char* end = text + strlen(text);
    std::from_chars_result result = std::from_chars(text, end, *out);
    return result.ec == std::errc() && result.ptr == end && *text != '-' && *text != '+';
}

} // namespace

bool journal_key_storable(const char* key) {
    if (key == nullptr || key[0] == '\0')
        return false;
    size_t length = strcspn(key, "\t\r\n");
    return key[length] == '\0' && length <= JOURNAL_KEY_MAX;
}

JournalLine journal_line_of(const CACHEMAP* object) {
    JournalLine line;
    line.flags = object->flags;
    line.key = object->key;
    line.size = object->size;
    line.mtime = static_cast<uint64_t>(object->mtime);
    line.atime = static_cast<uint64_t>(object->atime);
    line.has_freshness = true;
    // The Refresh numbers are never negative (select_refresh caps them).
    line.minage = static_cast<uint64_t>(object->minage < 0 ? 0 : object->minage);
    line.maxage = static_cast<uint64_t>(object->maxage < 0 ? 0 : object->maxage);
    line.maxnoexp = static_cast<uint64_t>(object->maxnoexp < 0 ? 0 : object->maxnoexp);
    line.lmfactor = object->lmfactor;
    line.md5 = object->md5;
    return line;
}

size_t journal_format(const JournalLine& line, char* buffer, size_t size) {
    if (size == 0)
        return 0;
    LineBuilder out(buffer, size);
    bool fits = out.number(line.flags) && out.tab() && out.text(line.key) && out.tab() &&
                out.number(line.size) && out.tab() && out.number(line.mtime) && out.tab() &&
                out.number(line.atime);
    if (fits && line.has_freshness)
        fits = out.tab() && out.number(line.minage) && out.tab() && out.number(line.maxage) &&
               out.tab() && out.number(line.maxnoexp) && out.tab() && out.number(line.lmfactor);
    if (fits && line.has_freshness && line.md5 != nullptr)
        fits = out.tab() && out.text(line.md5[0] != '\0' ? line.md5 : "0");
    if (!fits) {
        buffer[0] = '\0';
        return 0;
    }
    *out.at() = '\0';
    return static_cast<size_t>(out.at() - buffer);
}

bool journal_parse(char* text, JournalLine* line) {
    char* fields[FIELDS];
    int count = 0;
    text[strcspn(text, "\r\n")] = '\0';
    for (char* at = text; *at != '\0' && count < FIELDS;) {
        while (*at == '\t')
            at++;
        if (*at == '\0')
            break;
        fields[count++] = at;
        at += strcspn(at, "\t");
        if (*at == '\t')
            *at++ = '\0';
    }
    if (count < 5)
        return false;
    line->key = fields[1];
    if (!parse_number(fields[0], &line->flags) || !parse_number(fields[2], &line->size) ||
        !parse_number(fields[3], &line->mtime) || !parse_number(fields[4], &line->atime))
        return false;
    // Times beyond what time_t holds are damage, not dates.
    const uint64_t time_max = static_cast<uint64_t>(std::numeric_limits<time_t>::max());
    if (line->mtime > time_max || line->atime > time_max)
        return false;
    line->has_freshness = count >= 9;
    line->minage = line->maxage = line->maxnoexp = 0;
    line->lmfactor = 0;
    if (line->has_freshness &&
        (!parse_number(fields[5], &line->minage) || !parse_number(fields[6], &line->maxage) ||
         !parse_number(fields[7], &line->maxnoexp) || !parse_number(fields[8], &line->lmfactor)))
        return false;
    line->md5 = count >= 10 ? fields[9] : nullptr;
    return true;
}
