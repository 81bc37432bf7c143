#include "scan/sophie.h"

#include "core/extensions.h"
#include "core/log.h"
#include "net/connection.h"
#include "scan/sophied.h"

SophieSection* sophie_section = nullptr;

SophieSection::SophieSection()
    : ScannerSection("sophie", 0, 4,
                     {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING},
                     LOG_ANTIVIRUS, ""),
      socket_path(&global_field(1, FIELD_STRING).text),
      host(&global_field(2, FIELD_STRING).text),
      port(&global_field(3, FIELD_INT).value) {
    processors.Add(sophie_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(sophie_buffcheck, PROCESSOR_BUFFCHECK);
}

int SophieSection::check_and_block(CONNECTION_T* connection, Filebuf* body) const {
    read_lock();
    const Sophie* rule = find(connection);
    if (rule == NULL) {
        unlock();
        return SCAN_PASS;
    }
    std::string page = template_for(*rule);
    bool over_tcp = socket_path->empty();
    std::string address = over_tcp ? *host : *socket_path;
    int daemon_port = over_tcp ? *port : 0;
    unlock();

    std::string virus;
    int timeout = scan_timeout(connection);
    int verdict = address.compare(0, 1, "/") == 0
                      ? sophied_scan_socket(address.c_str(), body, timeout, &virus)
                      : sophied_scan_tcp(address.c_str(), daemon_port, body, timeout, &virus);
    if (verdict == SOPHIED_CLEAN)
        return SCAN_PASS;
    if (verdict != SOPHIED_INFECTED) {
        scan_incomplete(connection);
        return SCAN_PASS;
    }
    if (virus.empty())
        virus = "unknown";
    putlog(LOG_ANTIVIRUS, "detected %s virus with Sophie", virus.c_str());
    return scan_virus_block(connection, page, "Sophie", "Sophie", virus);
}

int sophie_buffcheck(CONNECTION_T* connection, Filebuf*) {
    return sophie_section->check_match(connection);
}

int sophie_respcheck(CONNECTION_T* connection, Filebuf* body) {
    return sophie_section->check_and_block(connection, body);
}
