#include "scan/fprot.h"

#include "core/extensions.h"
#include "core/log.h"
#include "net/connection.h"
#include "scan/fprotd.h"

FProtSection* fprot_section = nullptr;

FProt::FProt(const Item& item)
    : ScanRule(item, PROFILES_ONLY),
      archive_depth(item.fields.at(next_field).value),
      options(static_cast<unsigned>(item.fields.at(next_field + 1).value)) {}

std::string FProt::options_text() const {
    std::string text;
    if (options & FPROT_ARCHIVE)
        text += "-archive=" + std::to_string(archive_depth) + "%20";
    if (options & FPROT_PACKED)
        text += "-packed%20";
    if (options & FPROT_AI)
        text += "-ai%20";
    if (options & FPROT_NOHEUR)
        text += "-noheur%20";
    if (options & FPROT_NOMACRO)
        text += "-nomacro%20";
    if (options & FPROT_ONLYMACRO)
        text += "-onlymacro%20";
    return text;
}

FProtSection::FProtSection()
    : ScannerSection("fprot", 0, 1,
                     {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING, FIELD_INT,
                      FIELD_STRING_SELECT_MANY},
                     LOG_ANTIVIRUS, ""),
      first_port(FPROTD_FIRST_PORT),
      port_count(FPROTD_PORTS) {
    processors.Add(fprot_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(fprot_buffcheck, PROCESSOR_BUFFCHECK);
}

int FProtSection::check_and_block(CONNECTION_T* connection, Filebuf* body) const {
    if (scan_cached_clean(connection))
        return SCAN_PASS;
    read_lock();
    const FProt* rule = find(connection);
    if (rule == NULL) {
        unlock();
        return SCAN_PASS;
    }
    std::string page = template_for(*rule);
    std::string options = rule->options_text();
    unlock();

    std::string virus;
    int verdict;
    {
        ScanTempFile file; // gone before the client is answered
        if (!file.create(body, "kestrivan-fprot.")) {
            scan_incomplete(connection);
            return SCAN_PASS;
        }
        verdict = fprotd_scan(file.path(), options, first_port, port_count,
                              scan_timeout(connection), &virus);
    }
    if (verdict == FPROTD_CLEAN) {
        putlog(LOG_ANTIVIRUS, "no viruses detected by F-Prot");
        return SCAN_PASS;
    }
    if (verdict != FPROTD_INFECTED) {
        scan_incomplete(connection);
        return SCAN_PASS;
    }
    if (virus.empty()) {
        putlog(LOG_ANTIVIRUS, "detected unknown virus with F-Prot");
        virus = "unknown";
    } else {
        putlog(LOG_ANTIVIRUS, "detected %s virus with F-Prot", virus.c_str());
    }
    return scan_virus_block(connection, page, "F-Prot", "f-prot", virus);
}

int fprot_buffcheck(CONNECTION_T* connection, Filebuf*) {
    return fprot_section->check_match(connection);
}

int fprot_respcheck(CONNECTION_T* connection, Filebuf* body) {
    return fprot_section->check_and_block(connection, body);
}
