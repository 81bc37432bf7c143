// Freshness and cacheability helpers shared by the cache's files: the
// Cache-Control reader and the reading of a stored response's freshness
// headers. The operations themselves (cacheable, CacheSection::check_header,
// CacheSection::check) are declared in cache.h.
//
// Cache-Control values are split at commas with the blanks around each
// directive removed ("public, max-age=60" holds "max-age=60"); every
// Cache-Control line of a header counts, in order, as if they were one
// list. Directives compare ignoring case.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

struct CACHEMAP;
struct HEADER;

// One Cache-Control directive: its text (not terminated) and length.
struct CacheDirective {
    const char* text;
    size_t length;
};

// Calls visit(directive, argument) for every directive of the header's
// Cache-Control lines, in order.
void cache_control_each(const HEADER* header, void (*visit)(const CacheDirective&, void*),
                        void* argument);

// True when the directive is `name` (whole, ignoring case).
bool directive_is(const CacheDirective& directive, const char* name);

// The number after the prefix (such as "max-age=") when the directive
// begins with it; -1 when it does not or no number follows. Numbers beyond
// the range of the 64-bit result are taken as its largest value.
int64_t directive_number(const CacheDirective& directive, const char* prefix);

// Reads the stored response's Expires, Last-Modified and Cache-Control into
// the object's hdr_ fields (CACHEMAP::hdr_expires and the others).
void freshness_read(const HEADER* response, CACHEMAP* object);
