// Configuration section "general": proxy-wide settings that belong to no
// filter (the host name by which the proxy names itself, the temporary
// directory, the line length of HTML-escaped text, the server pool's size
// and idle time) and, per connection, the General entries that set
// time-outs, buffer limits, CONNECT ports, compression and the forwarding
// headers Via and X-Forwarded-For.
//
// Contract:
// - The global values are bound by pointer into the section's global
//   fields, so loads and web edits are seen without rebinding. `hostname`
//   and `tempdir` are read under the section's read lock (hostname_get and
//   tempdir_get copy them so).
// - find() returns the first enabled entry whose user-group and profile
//   lists match the connection (profile_find); the caller holds the read
//   lock. Every per-connection getter takes the read lock itself and
//   answers the documented default when no entry matches: 60 seconds for
//   the time-outs, every CONNECT port allowed, 0 for everything else.
// - The section owns its General records; each owns its strings, lists and
//   compiled MIME pattern (a copy compiles its own).
#pragma once

#include <stdint.h>

#include <list>
#include <string>

#include "config/config_lists.h"
#include "config/ranges.h"
#include "config/section.h"
#include "core/regexp.h"

struct CONNECTION_T;

// One per-connection entry, built from an entry by field position.
class General {
public:
    explicit General(const Item& item);
    General(const General& other);
    General& operator=(const General&) = delete;
    ~General();

    int enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    int connect_timeout;
    int timeout;
    int keepalive_timeout;
    uint32_t max_download_buffer;
    uint32_t max_upload_buffer;
    int buffer_wait;
    PortRangeList connect_ports;
    std::string compress_mime;
    reg_pattern_t* compress_mime_regex; // NULL: empty or uncompilable pattern
    int compress_out;
    int compress_in;
    int x_forwarded_for;
    int via;

private:
    void compile();
};

class GeneralSection : public Section {
public:
    GeneralSection();
    ~GeneralSection() override;

    // Rebuilds the General list from the entries of the first subsection.
    void update() override;

    // Global values, each read under the section lock.
    int linelength_get();
    int poolsize_get();
    int pooltimeout_get();
    std::string hostname_get();
    std::string tempdir_get();

    // The first matching enabled entry, or NULL; the caller holds the lock.
    const General* find(const CONNECTION_T* connection) const;

    int ctimeout_get(CONNECTION_T* connection);
    // Also stored in CONNECTION_T::timeout.
    int timeout_get(CONNECTION_T* connection);
    // Also stored in CONNECTION_T::keepalive_timeout.
    int keeptimeout_get(CONNECTION_T* connection);
    unsigned maxdbuffer_get(CONNECTION_T* connection);
    unsigned maxubuffer_get(CONNECTION_T* connection);
    int bufferwait_get(CONNECTION_T* connection);
    // 1 when a CONNECT request may reach the port.
    int cportrange_check(CONNECTION_T* connection, int port);
    // 1 when the response MIME type may be compressed towards the client.
    int encodemime_check(CONNECTION_T* connection, const char* mime);
    int compressout_get(CONNECTION_T* connection);
    int compressin_get(CONNECTION_T* connection);
    int xforwardedfor_get(CONNECTION_T* connection);
    int via_get(CONNECTION_T* connection);

    std::string* hostname; // the global field's text
    std::string* tempdir;  // the global field's text
    int* linelength;
    int* poolsize;
    int* pooltimeout;
    std::list<General> generals;

private:
    // Runs read(entry) on the matching entry under the read lock, or gives
    // fallback when none matches.
    template <typename Result, typename Read>
    Result entry_value(const CONNECTION_T* connection, Result fallback, Read read);
};

extern GeneralSection* general_section;
