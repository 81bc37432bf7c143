#include "config/general.h"

#include "auth/profiles.h"
#include "core/misc.h"
#include "net/connection.h"

GeneralSection* general_section = nullptr;

namespace {

// Field positions of a General entry.
enum {
    G_ENABLED, G_COMMENT, G_GROUPS, G_PROFILES, G_CONNECT_TIMEOUT, G_TIMEOUT,
    G_KEEPALIVE_TIMEOUT, G_MAX_DOWNLOAD_BUFFER, G_MAX_UPLOAD_BUFFER, G_BUFFER_WAIT,
    G_CONNECT_PORTS, G_COMPRESS_MIME, G_COMPRESS_OUT, G_COMPRESS_IN, G_X_FORWARDED_FOR, G_VIA,
};

// Time-outs without a matching entry, in seconds.
const int DEFAULT_TIMEOUT = 60;

} // namespace

General::General(const Item& item)
    : enabled(item.fields[G_ENABLED].value),
      comment(item.fields[G_COMMENT].text),
      groups(item.fields[G_GROUPS].list),
      profiles(item.fields[G_PROFILES].list),
      connect_timeout(item.fields[G_CONNECT_TIMEOUT].value),
      timeout(item.fields[G_TIMEOUT].value),
      keepalive_timeout(item.fields[G_KEEPALIVE_TIMEOUT].value),
      max_download_buffer(item.fields[G_MAX_DOWNLOAD_BUFFER].uvalue),
      max_upload_buffer(item.fields[G_MAX_UPLOAD_BUFFER].uvalue),
      buffer_wait(item.fields[G_BUFFER_WAIT].value),
      connect_ports(item.fields[G_CONNECT_PORTS].portlist),
      compress_mime(item.fields[G_COMPRESS_MIME].text),
      compress_mime_regex(NULL),
      compress_out(item.fields[G_COMPRESS_OUT].value),
      compress_in(item.fields[G_COMPRESS_IN].value),
      x_forwarded_for(item.fields[G_X_FORWARDED_FOR].value),
      via(item.fields[G_VIA].value) {
    compile();
}

General::General(const General& other)
    : enabled(other.enabled), comment(other.comment), groups(other.groups),
      profiles(other.profiles), connect_timeout(other.connect_timeout), timeout(other.timeout),
      keepalive_timeout(other.keepalive_timeout), max_download_buffer(other.max_download_buffer),
      max_upload_buffer(other.max_upload_buffer), buffer_wait(other.buffer_wait),
      connect_ports(other.connect_ports), compress_mime(other.compress_mime),
      compress_mime_regex(NULL), compress_out(other.compress_out),
      compress_in(other.compress_in), x_forwarded_for(other.x_forwarded_for), via(other.via) {
    compile();
}

General::~General() {
    if (compress_mime_regex != NULL)
        reg_free(compress_mime_regex);
}

// A pattern that does not compile is logged by reg_compile and leaves the
// entry without one, so it never allows compression.
void General::compile() {
    if (!compress_mime.empty())
        compress_mime_regex = reg_compile(compress_mime.c_str(), REGEXP_ICASE);
}

GeneralSection::GeneralSection()
    : Section("general", SECTION_RWLOCK),
      hostname(&global_field(0, FIELD_STRING).text),
      tempdir(&global_field(1, FIELD_STRING).text),
      linelength(&global_field(2, FIELD_INT).value),
      poolsize(&global_field(3, FIELD_INT).value),
      pooltimeout(&global_field(4, FIELD_INT).value) {
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING_LIST, FIELD_INT,
                      FIELD_INT, FIELD_INT, FIELD_FILE_SIZE, FIELD_FILE_SIZE, FIELD_INT,
                      FIELD_PORT_RANGE_LIST, FIELD_STRING, FIELD_BOOL, FIELD_BOOL, FIELD_BOOL,
                      FIELD_BOOL});
}

GeneralSection::~GeneralSection() {
    generals.clear();
}

void GeneralSection::update() {
    generals.clear();
    for (const Item& item : subsections[0].items)
        generals.emplace_back(item);
}

int GeneralSection::linelength_get() {
    return atomic_read(linelength);
}

int GeneralSection::poolsize_get() {
    return atomic_read(poolsize);
}

int GeneralSection::pooltimeout_get() {
    return atomic_read(pooltimeout);
}

std::string GeneralSection::hostname_get() {
    read_lock();
    std::string copy = *hostname;
    unlock();
    return copy;
}

std::string GeneralSection::tempdir_get() {
    read_lock();
    std::string copy = *tempdir;
    unlock();
    return copy;
}

const General* GeneralSection::find(const CONNECTION_T* connection) const {
    for (const General& entry : generals) {
        if (entry.enabled != 0 && profile_find(connection->user_groups, entry.groups) &&
            profile_find(connection->profiles, entry.profiles))
            return &entry;
    }
    return NULL;
}

template <typename Result, typename Read>
Result GeneralSection::entry_value(const CONNECTION_T* connection, Result fallback, Read read) {
    read_lock();
    const General* entry = find(connection);
    Result result = entry != NULL ? read(*entry) : fallback;
    unlock();
    return result;
}

int GeneralSection::ctimeout_get(CONNECTION_T* connection) {
    return entry_value(connection, DEFAULT_TIMEOUT,
                       [](const General& entry) { return entry.connect_timeout; });
}

int GeneralSection::timeout_get(CONNECTION_T* connection) {
    connection->timeout =
        entry_value(connection, DEFAULT_TIMEOUT, [](const General& entry) { return entry.timeout; });
    return connection->timeout;
}

int GeneralSection::keeptimeout_get(CONNECTION_T* connection) {
    connection->keepalive_timeout = entry_value(
        connection, DEFAULT_TIMEOUT, [](const General& entry) { return entry.keepalive_timeout; });
    return connection->keepalive_timeout;
}

unsigned GeneralSection::maxdbuffer_get(CONNECTION_T* connection) {
    return entry_value(connection, 0u,
                       [](const General& entry) { return unsigned{entry.max_download_buffer}; });
}

unsigned GeneralSection::maxubuffer_get(CONNECTION_T* connection) {
    return entry_value(connection, 0u,
                       [](const General& entry) { return unsigned{entry.max_upload_buffer}; });
}

int GeneralSection::bufferwait_get(CONNECTION_T* connection) {
    return entry_value(connection, 0, [](const General& entry) { return entry.buffer_wait; });
}

int GeneralSection::cportrange_check(CONNECTION_T* connection, int port) {
    return entry_value(connection, 1,
                       [port](const General& entry) { return entry.connect_ports.has(port); });
}

int GeneralSection::encodemime_check(CONNECTION_T* connection, const char* mime) {
    return entry_value(connection, 0, [mime](const General& entry) {
        return entry.compress_mime_regex != NULL && mime != NULL &&
                       reg_exec(entry.compress_mime_regex, mime) == 0
                   ? 1
                   : 0;
    });
}

int GeneralSection::compressout_get(CONNECTION_T* connection) {
    return entry_value(connection, 0, [](const General& entry) { return entry.compress_out; });
}

int GeneralSection::compressin_get(CONNECTION_T* connection) {
    return entry_value(connection, 0, [](const General& entry) { return entry.compress_in; });
}

int GeneralSection::xforwardedfor_get(CONNECTION_T* connection) {
    return entry_value(connection, 0, [](const General& entry) { return entry.x_forwarded_for; });
}

int GeneralSection::via_get(CONNECTION_T* connection) {
    return entry_value(connection, 0, [](const General& entry) { return entry.via; });
}

// Declared with the three-argument form in core/misc.h; defined here, where
// the line length is kept.
char* string_to_html(const char* text, int flags) {
    int line_length = general_section != NULL ? general_section->linelength_get() : 0;
    return string_to_html(text, flags, line_length);
}
