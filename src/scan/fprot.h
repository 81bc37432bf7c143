// Configuration section "fprot": scans collected response bodies with the
// F-Prot daemon (scan/fprotd.h) and answers an infected one with the block
// page (template "virus" unless the rule or the section names another).
//
// Contract:
// - Follows the scanner pattern of scan/scanner.h: fprot_buffcheck at
//   PROCESSOR_BUFFCHECK asks for the body when a rule applies (not for a
//   cached copy already marked clean), fprot_respcheck at
//   PROCESSOR_RESPCHECK scans it. Both are registered by the constructor,
//   the response check first; start-up creates this section before the
//   other antivirus clients, so its check runs first.
// - A cached copy already marked clean is never sent to the daemon, even
//   when another section made the road collect it.
// - Rules are scoped by profiles. The rule's option words and the template
//   name are copied under the read lock; the body is written to a temporary
//   file (mode 0600, removed on every path) and the daemon asked with no
//   lock held.
// - A daemon that is down, silent past the connection's read time-out or
//   answers no usable report lets the body pass: logged, never called
//   clean, the cached copy not marked clean.
// - A block sets "AVSCANNER" = "F-Prot" and "VIRUSNAME" = the name
//   ("unknown" when the report names none), and records filter "f-prot"
//   with the name as reason, TCP_DENIED, DIRECT, "kestrivan", 403.
#pragma once

#include <string>

#include "scan/scanner.h"

class Filebuf;
struct CONNECTION_T;

// Option bits of a rule (field 5), in the order of their choices.
enum {
    FPROT_ARCHIVE = 0x1,
    FPROT_PACKED = 0x2,
    FPROT_AI = 0x4,
    FPROT_NOHEUR = 0x8,
    FPROT_NOMACRO = 0x10,
    FPROT_ONLYMACRO = 0x20,
};

// One rule: 0 enabled, 1 comment, 2 profiles, 3 template, 4 archive depth,
// 5 options.
class FProt : public ScanRule {
public:
    explicit FProt(const Item& item);

    // The option words of the daemon's query, each followed by "%20", in
    // the order of the bits ("-archive=<depth>%20" first).
    std::string options_text() const;

    int archive_depth;
    unsigned options;
};

class FProtSection : public ScannerSection<FProt> {
public:
    FProtSection();

    // Scans the collected body; SCAN_BLOCKED after a block, else SCAN_PASS.
    int check_and_block(CONNECTION_T* connection, Filebuf* body) const;

    // The daemon's ports: FPROTD_FIRST_PORT and the four after it. Tests
    // move them to free ports.
    int first_port;
    int port_count;
};

extern FProtSection* fprot_section;

// The processor callbacks (the buffer argument of the first is NULL).
int fprot_buffcheck(CONNECTION_T* connection, Filebuf* unused);
int fprot_respcheck(CONNECTION_T* connection, Filebuf* body);
