// Configuration section "sophie": scans collected response bodies with the
// Sophie daemon, over its unix-domain socket or over TCP (scan/sophied.h),
// and answers an infected one with the block page (template "virus" unless
// the rule or the section names another).
//
// Contract:
// - Follows the scanner pattern of scan/scanner.h: sophie_buffcheck at
//   PROCESSOR_BUFFCHECK asks for the body when a rule applies (not for a
//   cached copy already marked clean), sophie_respcheck at
//   PROCESSOR_RESPCHECK scans it. Both are registered by the constructor,
//   the response check first.
// - Rules are scoped by profiles. A socket path set selects the socket
//   exchange whatever host and port say; an empty one selects TCP to host
//   and port. A socket path that does not begin with "/" is taken for a
//   host name with port 0, which cannot be reached. What the scan needs is
//   copied under the read lock; the daemon is spoken to with no lock held.
// - A daemon that is down, silent past the connection's read time-out,
//   answers an error or an answer this client does not understand lets the
//   body pass: logged, never called clean, the cached copy not marked clean.
// - A block sets "AVSCANNER" = "Sophie" and "VIRUSNAME" = the name
//   ("unknown" when the daemon named none), and records filter "Sophie"
//   with the name as reason, TCP_DENIED, DIRECT, "kestrivan", 403.
#pragma once

#include <string>

#include "scan/scanner.h"

class Filebuf;
struct CONNECTION_T;

// One rule: 0 enabled, 1 comment, 2 profiles, 3 template.
class Sophie : public ScanRule {
public:
    explicit Sophie(const Item& item) : ScanRule(item, PROFILES_ONLY) {}
};

class SophieSection : public ScannerSection<Sophie> {
public:
    SophieSection();

    // Scans the collected body; SCAN_BLOCKED after a block, else SCAN_PASS.
    int check_and_block(CONNECTION_T* connection, Filebuf* body) const;

    std::string* socket_path; // global field 1: empty selects TCP
    std::string* host;        // global field 2
    int* port;                // global field 3 (its low 16 bits)
};

extern SophieSection* sophie_section;

// The processor callbacks (the buffer argument of the first is NULL).
int sophie_buffcheck(CONNECTION_T* connection, Filebuf* unused);
int sophie_respcheck(CONNECTION_T* connection, Filebuf* body);
