// Configuration section "clamav": scans collected response bodies (HTTP and
// FTP downloads) with clamd and answers an infected one with the block page
// (template "virus" unless the rule or the section names another).
//
// Contract:
// - Follows the scanner pattern of scan/scanner.h: clamav_buffcheck at
//   PROCESSOR_BUFFCHECK asks for the body when a rule applies (not for a
//   cached copy already marked clean), clamav_respcheck at
//   PROCESSOR_RESPCHECK scans it. Both are registered by the constructor,
//   the response check first.
// - Rules are scoped by user groups, then profiles. The first enabled rule
//   that matches applies; none applies while the section is off or the
//   connection bypasses the antivirus scanners.
// - The rule, the template name, the address and the port are copied under
//   the read lock; clamd is spoken to with no lock held (scan/clamd.h).
// - A clamd that is down, silent past the connection's read time-out,
//   refuses the body (over its StreamMaxLength) or answers nonsense lets the
//   body pass: logged, never called clean, the cached copy not marked clean.
// - A block sets "AVSCANNER" = "ClamAV", "VIRUSNAME" and "REASON" = the
//   name, "FILTER" = "Antivirus", and records filter "ClamAV" with the name
//   as reason, TCP_DENIED, DIRECT, "kestrivan", 403.
#pragma once

#include <string>

#include "scan/scanner.h"

class Filebuf;
struct CONNECTION_T;

// One rule: 0 enabled, 1 comment, 2 groups, 3 profiles, 4 template.
class ClamAV : public ScanRule {
public:
    explicit ClamAV(const Item& item) : ScanRule(item, GROUPS_AND_PROFILES) {}
};

class ClamAVSection : public ScannerSection<ClamAV> {
public:
    ClamAVSection();

    // Scans the collected body; SCAN_BLOCKED after a block, else SCAN_PASS.
    int check_and_block(CONNECTION_T* connection, Filebuf* body) const;

    std::string* address; // global field 1: socket path ("/...") or host
    int* port;            // global field 2: TCP port for a host
};

extern ClamAVSection* clamav_section;

// The processor callbacks (the buffer argument of the first is NULL).
int clamav_buffcheck(CONNECTION_T* connection, Filebuf* unused);
int clamav_respcheck(CONNECTION_T* connection, Filebuf* body);
