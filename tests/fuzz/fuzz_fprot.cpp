// Fuzz target of the reading of the F-Prot daemon's XML reports: any bytes
// give one of the three verdicts, and an infected one a name that fits one
// log line; removing document type declarations never grows the text.
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz_check.h"
#include "scan/fprotd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    std::string stripped = fprot_report_strip_doctype(std::string(text, size));
    FUZZ_CHECK(stripped.size() <= size);
    std::string name;
    int verdict = fprot_report_parse(text, size, &name);
    FUZZ_CHECK(verdict >= FPROT_REPORT_CLEAN && verdict <= FPROT_REPORT_UNPARSABLE);
    if (verdict != FPROT_REPORT_INFECTED) {
        FUZZ_CHECK(name.empty());
        return 0;
    }
    FUZZ_CHECK(name.size() < size);
    for (char c : name)
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    return 0;
}
