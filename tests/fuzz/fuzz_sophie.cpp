// Fuzz target of the reading of the Sophie daemon's answers: any bytes give
// one of the four meanings, and a virus a name that fits one log line.
#include <stdint.h>

#include <string>

#include "fuzz_check.h"
#include "scan/sophied.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string name = "unchanged";
    int meaning = sophie_answer_parse(reinterpret_cast<const char*>(data), size, &name);
    FUZZ_CHECK(meaning >= SOPHIE_ANSWER_CLEAN && meaning <= SOPHIE_ANSWER_UNKNOWN);
    if (meaning != SOPHIE_ANSWER_VIRUS) {
        FUZZ_CHECK(name == "unchanged");
        return 0;
    }
    FUZZ_CHECK(name.size() + 2 <= size || name.empty());
    for (char c : name)
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    return 0;
}
