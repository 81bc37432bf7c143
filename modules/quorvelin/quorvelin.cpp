// The plug-in's entry, its section and its rules, and the start-up
// callback that binds the engine and reads the tune table.
#include "quorvelin/quorvelin.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <gd.h>

#include "core/extensions.h"
#include "core/log.h"
#include "http/url_commands.h"
#include "net/connection.h"

QuorvelinSection* quorvelin_section = nullptr;

namespace {

// Field positions of a rule.
enum { Q_ENABLED, Q_COMMENT, Q_PROFILES, Q_THRESHOLD, Q_TEMPLATE };

// Name of the tune file inside the engine directory, and the longest path
// to it taken (a cut path could name another file).
const char* const TUNE_FILE = "quorvelin.tune";
const size_t TUNE_PATH_MAX = 254;

// libgd's priorities are syslog's (<syslog.h> is not included: its LOG_
// names would clash with the error log's categories); 4 is a warning.
const int GD_PRIORITY_WARNING = 4;

// libgd reports corrupt images through this instead of on standard error,
// which a detached daemon does not have.
void gd_error_to_log(int priority, const char* format, va_list arguments) {
    char text[512];
    vsnprintf(text, sizeof text, format, arguments);
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        text[--length] = '\0';
    putlog(priority <= GD_PRIORITY_WARNING ? LOG_MODULE : LOG_DEBUG, "quorvelin: libgd: %s", text);
}

} // namespace

Quorvelin::Quorvelin(const Item& item)
    : threshold(item.fields[Q_THRESHOLD].dvalue), template_name(item.fields[Q_TEMPLATE].text) {
    enabled = item.fields[Q_ENABLED].value;
    comment = item.fields[Q_COMMENT].text;
    profiles = item.fields[Q_PROFILES].list;
}

QuorvelinSection::QuorvelinSection()
    : Section("quorvelin", SECTION_RWLOCK),
      enabled(&global_field(0, FIELD_BOOL).value),
      directory(&global_field(1, FIELD_STRING).text),
      template_name(&global_field(2, FIELD_STRING).text),
      max_pixels(&global_field(3, FIELD_FILE_SIZE).uvalue),
      ready(false) {
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_DOUBLE, FIELD_STRING});
    tune.set_default();
    processors.Add(quorvelin_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(quorvelin_buffcheck, PROCESSOR_BUFFCHECK);
    hooks.Add(quorvelin_prerespmod, HOOK_PRERESPMOD);
}

QuorvelinSection::~QuorvelinSection() {
    rules.clear();
}

void QuorvelinSection::update() {
    rules.clear();
    for (const Item& item : subsections[0].items)
        rules.emplace_back(item);
}

int QuorvelinSection::initialize_array() {
    tune.set_default();
    std::string path = *directory + "/" + TUNE_FILE;
    if (path.size() > TUNE_PATH_MAX) {
        putlog(LOG_ERROR, "modules: quorvelin: tune file path longer than %zu characters: %s",
               TUNE_PATH_MAX, path.c_str());
        return -1;
    }
    return tune_read(path.c_str(), &tune);
}

bool QuorvelinSection::is_enabled() const {
    return atomic_read(enabled) != 0;
}

const Quorvelin* QuorvelinSection::find(CONNECTION_T* connection) const {
    // The filter is one of the content scanners: their bypass bit skips it.
    if (!ready || !rule_section_takes_part(*enabled, connection, BYPASS_ANTIVIRUS))
        return nullptr;
    for (const Quorvelin& rule : rules)
        if (rule.applies(connection))
            return &rule;
    return nullptr;
}

int QuorvelinSection::engine_tune(float threshold) const {
    return tune.sensitivity(threshold);
}

extern "C" bool quorvelin_load() {
    putlog(LOG_MODULE, "quorvelin: initializing");
    gdSetErrorMethod(gd_error_to_log);
    quorvelin_section = new QuorvelinSection();
    hooks.Add(quorvelin_initialize, HOOK_CONFIGURE);
    return true;
}

int quorvelin_initialize(void*, void*) {
    quorvelin_section->initialize_engine();
    quorvelin_section->initialize_array();
    return 0;
}

int quorvelin_buffcheck(CONNECTION_T* connection, Filebuf*) {
    return quorvelin_section->check_match(connection) ? 1 : 0;
}

int quorvelin_respcheck(CONNECTION_T* connection, Filebuf* body) {
    if (!quorvelin_section->is_enabled())
        return SCAN_PASS;
    return quorvelin_section->check_and_block(connection, body);
}

int quorvelin_prerespmod(void* connection, void* body) {
    CONNECTION_T* served = static_cast<CONNECTION_T*>(connection);
    if (url_command_find(served->url_commands, "imgscore") == nullptr)
        return 0;
    return quorvelin_section->show_score(served, static_cast<Filebuf*>(body)) ? 1 : 0;
}
