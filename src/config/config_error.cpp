#include "config/config_error.h"

#include <stdarg.h>
#include <stdio.h>

InterfaceError::InterfaceError(const char* format, ...) {
    // 8096 bytes: at most 8095 characters, longer output is cut.
    char area[8096] = {0};
    va_list args;
    va_start(args, format);
    vsnprintf(area, sizeof area, format, args);
    va_end(args);
    message = area;
}
