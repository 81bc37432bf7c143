// Fuzz target of the category service's answer decoder: any bytes, read
// from a buffer of exactly their length so that a read past the end shows.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "filter/vantori_mx.h"
#include "fuzz_check.h"
#include "net/connection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > static_cast<size_t>(VANTORI_ANSWER_MAX))
        size = VANTORI_ANSWER_MAX;
    unsigned char* answer = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
    if (size > 0)
        memcpy(answer, data, size);
    int scores[CATEGORY_SCORES] = {0};
    int named = vantori_mx_decode(answer, static_cast<int>(size), scores);
    // Every MX record takes at least 11 bytes of name, fixed part and data.
    FUZZ_CHECK(named >= 0 && static_cast<size_t>(named) * 11 <= size);
    for (int slot = 0; slot < CATEGORY_SCORES; slot++)
        FUZZ_CHECK(scores[slot] >= 0 && scores[slot] <= 65535);
    FUZZ_CHECK(scores[CATEGORY_SCORES - 1] == 0);
    free(answer);
    return 0;
}
