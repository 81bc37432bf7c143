// Fuzz target of the reading of clamd's answers: any bytes give one of the
// four verdicts, and a FOUND verdict a name that fits one log line.
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz_check.h"
#include "scan/clamd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string name;
    int verdict = clamd_reply_parse(reinterpret_cast<const char*>(data), size, &name);
    FUZZ_CHECK(verdict >= CLAMD_REPLY_OK && verdict <= CLAMD_REPLY_UNKNOWN);
    if (verdict != CLAMD_REPLY_FOUND) {
        FUZZ_CHECK(name.empty());
        return 0;
    }
    FUZZ_CHECK(name == "unknown" || (!name.empty() && name.size() < size));
    FUZZ_CHECK(name.front() != ' ' && name.back() != ' ');
    for (char c : name)
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    return 0;
}
