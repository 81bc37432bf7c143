// What the content scanners (the antivirus daemon clients) share: the result
// of a response check. A scanner that cannot reach or understand its daemon
// lets the body pass, so only SCAN_BLOCKED stops a response, and it means
// that the block page has already been sent as the whole answer and the
// access-log record filled.
#pragma once

enum {
    SCAN_PASS = 0,    // nothing blocked: no rule applies, clean, or no usable answer
    SCAN_BLOCKED = 1, // blocked; the client has its block page
};
