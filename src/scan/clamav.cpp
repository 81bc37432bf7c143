#include "scan/clamav.h"

#include "core/extensions.h"
#include "core/log.h"
#include "net/connection.h"
#include "scan/clamd.h"

ClamAVSection* clamav_section = nullptr;

ClamAVSection::ClamAVSection()
    : ScannerSection("clamav", 0, 3,
                     {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING_LIST,
                      FIELD_STRING},
                     LOG_DEBUG, "ClamAV: "),
      address(&global_field(1, FIELD_STRING).text),
      port(&global_field(2, FIELD_INT).value) {
    processors.Add(clamav_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(clamav_buffcheck, PROCESSOR_BUFFCHECK);
}

int ClamAVSection::check_and_block(CONNECTION_T* connection, Filebuf* body) const {
    read_lock();
    const ClamAV* rule = find(connection);
    if (rule == NULL) {
        unlock();
        return SCAN_PASS;
    }
    std::string page = template_for(*rule);
    std::string daemon = *address;
    int daemon_port = *port;
    unlock();

    std::string virus;
    int verdict = clamd_scan(daemon.c_str(), daemon_port, body, scan_timeout(connection), &virus);
    if (verdict == CLAMD_CLEAN) {
        putlog(LOG_DEBUG, "ClamAV: no viruses found");
        return SCAN_PASS;
    }
    if (verdict != CLAMD_INFECTED) {
        scan_incomplete(connection);
        return SCAN_PASS;
    }
    putlog(LOG_ANTIVIRUS, "ClamAV: detected %s virus", virus.c_str());
    return scan_virus_block(connection, page, "ClamAV", "ClamAV", virus);
}

int clamav_buffcheck(CONNECTION_T* connection, Filebuf*) {
    return clamav_section->check_match(connection);
}

int clamav_respcheck(CONNECTION_T* connection, Filebuf* body) {
    return clamav_section->check_and_block(connection, body);
}
