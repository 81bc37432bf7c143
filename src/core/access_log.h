// The access-log record of one request (LogEntry) and the two access logs it
// is written to: the native log (option -a, slogfile) and the extended log
// (option -e, elogfile).
//
// Every connection carries one LogEntry. The request road, the filters, the
// scanners and the parent selection set its public fields while a request is
// served; at the end the road calls Write and apache_Write (also for blocked
// and failed requests) and Reset at the start of the next request. A
// LogEntry belongs to the thread serving its connection and is not locked.
//
// Log files: opened on first use (read-write, create, mode 0640), kept open,
// and rotated by size exactly like the error log (LOG_SIZE_LIMIT,
// PROCESS_OLD_LOGS, time_stamped_rename, add_to_ziplist of log.h); a log that
// cannot be moved aside is kept under its name. A new file starts with its
// legend line; each record begins with a newline, so the file's last line has
// none. Each log has its own mutex, held for open, write and rotation
// (ziplist_lock is taken inside it); the two never hold each other's.
// Records written by several threads at once leave in one write by one of
// them (core/line_combiner.h): Write may return while the thread writing at
// that moment is about to write its record; a thread alone on the log
// writes its record before Write returns. The ends of the process call
// access_logs_flush.
//
// Texts are written as they are, except that control characters (a CR or LF
// in a user name, say) and the characters that would end the field early (a
// blank in a native record's field or a bare word of the extended record, a
// quote in the extended record) are written as \xHH, so that no field can
// forge a record or a field of its own.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <sys/time.h>

#include <string>

enum {
    CACHECODE_TCP_HIT = 1,
    CACHECODE_TCP_MISS = 2,
    CACHECODE_TCP_REFRESH_HIT = 3,
    CACHECODE_TCP_REF_FAIL_HIT = 4,
    CACHECODE_TCP_REFRESH_MISS = 5,
    CACHECODE_TCP_CLIENT_REFRESH = 6,
    CACHECODE_TCP_IMS_HIT = 7,
    CACHECODE_TCP_IMS_MISS = 8,
    CACHECODE_TCP_DENIED = 9,
    CACHECODE_UDP_HIT = 10,
    CACHECODE_UDP_MISS = 11,
    CACHECODE_UDP_HIT_OBJ = 12,
    CACHECODE_UDP_DENIED = 13,
    CACHECODE_UDP_INVALID = 14,
    CACHECODE_UNSPECIFIED = 16,
};

enum {
    PEERCODE_DIRECT = 1,
    PEERCODE_FIREWALL_IP_DIRECT = 2,
    PEERCODE_FIRST_PARENT_MISS = 3,
    PEERCODE_FIRST_UP_PARENT = 4,
    PEERCODE_LOCAL_IP_DIRECT = 5,
    PEERCODE_SIBLING_HIT = 6,
    PEERCODE_NO_DIRECT_FAIL = 7,
    PEERCODE_NO_PARENT_DIRECT = 8,
    PEERCODE_PARENT_HIT = 9,
    PEERCODE_SINGLE_PARENT = 10,
    PEERCODE_SOURCE_FASTEST = 11,
    PEERCODE_PARENT_UDP_HIT_OBJ = 12,
    PEERCODE_SIBLING_UDP_HIT_OBJ = 13,
    PEERCODE_PASSTHROUGH_PARENT = 14,
    PEERCODE_SSL_PARENT_MISS = 15,
    PEERCODE_DEFAULT_PARENT = 16,
    PEERCODE_ROUNDROBIN_PARENT = 17,
    PEERCODE_CLOSEST_PARENT_MISS = 18,
    PEERCODE_CLOSEST_DIRECT = 19,
    PEERCODE_NONE = 20,
};

// The open access logs (-1 while closed) and their byte counts, each pair
// guarded by its mutex. The paths are slogfile and elogfile (daemon.h).
extern int slogfd;
extern int elogfd;
extern int64_t slogsize;
extern int64_t elogsize;
extern pthread_mutex_t slogfile_lock;
extern pthread_mutex_t elogfile_lock;

// Waits at most timeout_ms (for each log) until every record handed over so
// far is written; false when it gave up.
bool access_logs_flush(int timeout_ms);

// The first line of each new log file.
extern const char* const access_legend;
extern const char* const apache_legend;

class LogEntry {
public:
    uint32_t cache_code;          // CACHECODE_*; 0 after Reset
    uint32_t peer_code;           // PEERCODE_*; 0 after Reset
    std::string client;           // client name or address; kept by Reset
    struct timeval start_time;    // start of the request; now at Reset
    struct timeval end_time;      // set to now by Build and apache_Build
    int status;                   // HTTP status sent to the client
    int64_t size;                 // bytes of the response
    std::string method;           // kept by Reset
    std::string url;              // "-" after Reset
    std::string username;         // kept by Reset
    std::string peer;             // upstream peer, or "kestrivan"; "-" after Reset
    std::string mime;             // "-" after Reset
    std::string useragent;        // kept by Reset
    std::string referer;          // kept by Reset
    std::string filter_name;      // "-" after Reset
    std::string filtering_reason; // "-" after Reset
    std::string profiles;         // comma-separated; "-" after Reset
    std::string interface_ip;     // local address that accepted; kept by Reset
    std::string interface_port;   // local port that accepted; kept by Reset
    uint32_t client_id;           // set by the connection code; kept by Reset

    // client, username, useragent and referer "-", method and the interface
    // texts empty, client id 0, end time unset, then Reset.
    LogEntry();

    // Start time now; cache code, peer code, status and size 0; url, peer,
    // mime, filter name, filtering reason and profiles "-".
    void Reset();

    LogEntry* set_cachecode(uint32_t code);
    LogEntry* set_peercode(uint32_t code);
    // The word of the code; "UNSPECIFIED" and "NONE" for any unknown value.
    std::string cachecode() const;
    std::string peercode() const;

    // End time now; the record in the native or the extended format.
    std::string Build();
    std::string apache_Build();

    // Appends the record to the native or the extended log; nothing (but the
    // end time) when its path is empty. A log that cannot be opened is
    // reported at LOG_ERROR and the record dropped; the next one tries again.
    void Write();
    void apache_Write();

private:
    // Build and apache_Build into a string the caller keeps.
    void BuildInto(std::string& out);
    void apache_BuildInto(std::string& out);
};
