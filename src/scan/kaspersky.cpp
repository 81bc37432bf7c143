#include "scan/kaspersky.h"

#include "core/extensions.h"
#include "core/log.h"
#include "net/connection.h"
#include "scan/kavd.h"

KasperskySection* kaspersky_section = nullptr;

KasperskySection::KasperskySection()
    : ScannerSection("kaspersky", 0, 1,
                     {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING},
                     LOG_ANTIVIRUS, ""),
      socket_path(&global_field(2, FIELD_STRING).text) {
    processors.Add(kaspersky_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(kaspersky_buffcheck, PROCESSOR_BUFFCHECK);
}

int KasperskySection::check_and_block(CONNECTION_T* connection, Filebuf* body) const {
    read_lock();
    const Kaspersky* rule = find(connection);
    if (rule == NULL) {
        unlock();
        return SCAN_PASS;
    }
    std::string page = template_for(*rule);
    std::string daemon = *socket_path;
    unlock();

    std::string virus;
    int verdict = kavd_scan(daemon.c_str(), body, scan_timeout(connection), &virus);
    if (verdict == KAVD_CLEAN) {
        putlog(LOG_ANTIVIRUS, "no viruses detected by Kaspersky");
        return SCAN_PASS;
    }
    if (verdict != KAVD_INFECTED) {
        scan_incomplete(connection);
        return SCAN_PASS;
    }
    if (virus.empty())
        virus = "unknown";
    putlog(LOG_ANTIVIRUS, "detected %s virus with Kaspersky", virus.c_str());
    return scan_virus_block(connection, page, "Kaspersky", "Kaspersky", virus);
}

int kaspersky_buffcheck(CONNECTION_T* connection, Filebuf*) {
    return kaspersky_section->check_match(connection);
}

int kaspersky_respcheck(CONNECTION_T* connection, Filebuf* body) {
    return kaspersky_section->check_and_block(connection, body);
}
