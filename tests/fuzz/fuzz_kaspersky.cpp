// Fuzz target of the reading of the Kaspersky daemon's reply lines: the
// input is cut into lines and read as one dialogue, as the client reads it;
// every line gives one of the five meanings, a name line a name of at most
// the name limit that fits one log line, and the dialogue ends at the first
// final or unknown line.
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz_check.h"
#include "scan/kavd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    while (start < size) {
        const char* end = static_cast<const char*>(memchr(text + start, '\n', size - start));
        size_t length = end != nullptr ? static_cast<size_t>(end - (text + start)) + 1
                                       : size - start;
        std::string name = "unchanged";
        int meaning = kavd_reply_line(text + start, length, &name);
        FUZZ_CHECK(meaning >= KAVD_LINE_PROGRESS && meaning <= KAVD_LINE_UNKNOWN);
        if (meaning != KAVD_LINE_NAME) {
            FUZZ_CHECK(name == "unchanged");
        } else {
            FUZZ_CHECK(name.size() <= KAVD_NAME_LIMIT && (name.empty() || name.size() + 4 <= length));
            for (char c : name)
                FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f && c != ' ');
        }
        if (meaning != KAVD_LINE_PROGRESS && meaning != KAVD_LINE_NAME)
            break;
        start += length;
    }
    return 0;
}
