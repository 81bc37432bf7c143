// Property checks of the fuzz targets: a broken property stops the run with
// the reason on standard error, so libFuzzer keeps the input as a crash and
// the corpus test fails.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(condition)                                                         \
    do {                                                                              \
        if (!(condition)) {                                                           \
            fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__,       \
                    #condition);                                                      \
            abort();                                                                  \
        }                                                                             \
    } while (0)
