// TEMPORARY: the few scanner-pattern names the image filter uses, until the
// daemon's scanner pattern lands; replaced by "scan/scanner.h" then.
#pragma once

#include <string>

#include "core/access_log.h"
#include "iface/templates.h"
#include "net/connection.h"

enum {
    SCAN_PASS = 0,
    SCAN_BLOCKED = 1,
};

inline bool scan_cached_clean(CONNECTION_T*) { return false; }
inline void scan_incomplete(CONNECTION_T*) {}
inline std::string scan_template_choose(const std::string& rule_template,
                                        const std::string& section_template, const char* builtin) {
    return !rule_template.empty() ? rule_template : !section_template.empty() ? section_template : builtin;
}
inline int scan_block(CONNECTION_T* connection, const std::string& template_name,
                      const char* filter_name, const std::string& reason) {
    if (template_section != NULL)
        template_section->send(template_name.c_str(), connection, 200);
    LogEntry& record = connection->log;
    record.filter_name = filter_name;
    record.filtering_reason = reason;
    record.set_cachecode(CACHECODE_TCP_DENIED);
    record.set_peercode(PEERCODE_DIRECT);
    record.peer = "kestrivan";
    record.status = 403;
    return SCAN_BLOCKED;
}
