// Configuration section "kaspersky": scans collected response bodies with
// the Kaspersky daemon over its unix-domain socket (scan/kavd.h) and
// answers an infected one with the block page (template "virus" unless the
// rule or the section names another).
//
// Contract:
// - Follows the scanner pattern of scan/scanner.h: kaspersky_buffcheck at
//   PROCESSOR_BUFFCHECK asks for the body when a rule applies (not for a
//   cached copy already marked clean), kaspersky_respcheck at
//   PROCESSOR_RESPCHECK scans it. Both are registered by the constructor,
//   the response check first.
// - Rules are scoped by profiles. The template name and the socket path are
//   copied under the read lock; the daemon is spoken to with no lock held.
// - A daemon that is down, silent past the connection's read time-out, ends
//   the exchange before a final code or answers a code this client does
//   not know lets the body pass: logged, never called clean, the cached
//   copy not marked clean.
// - A block sets "AVSCANNER" = "Kaspersky" and "VIRUSNAME" = the name
//   ("unknown" when the daemon named none), and records filter "Kaspersky"
//   with the name as reason, TCP_DENIED, DIRECT, "kestrivan", 403.
#pragma once

#include <string>

#include "scan/scanner.h"

class Filebuf;
struct CONNECTION_T;

// One rule: 0 enabled, 1 comment, 2 profiles, 3 template.
class Kaspersky : public ScanRule {
public:
    explicit Kaspersky(const Item& item) : ScanRule(item, PROFILES_ONLY) {}
};

class KasperskySection : public ScannerSection<Kaspersky> {
public:
    KasperskySection();

    // Scans the collected body; SCAN_BLOCKED after a block, else SCAN_PASS.
    int check_and_block(CONNECTION_T* connection, Filebuf* body) const;

    std::string* socket_path; // global field 2: the daemon's socket
};

extern KasperskySection* kaspersky_section;

// The processor callbacks (the buffer argument of the first is NULL).
int kaspersky_buffcheck(CONNECTION_T* connection, Filebuf* unused);
int kaspersky_respcheck(CONNECTION_T* connection, Filebuf* body);
