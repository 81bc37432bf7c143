#include "core/access_log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "core/compat.h"
#include "core/line_combiner.h"
#include "core/daemon.h"
#include "core/log.h"
#include "core/misc_time.h"

int slogfd = -1;
int elogfd = -1;
int64_t slogsize = 0;
int64_t elogsize = 0;
pthread_mutex_t slogfile_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t elogfile_lock = PTHREAD_MUTEX_INITIALIZER;

const char* const access_legend =
    "#start_time_in_seconds.milliseconds elapsed_time client cachecode/status size method url "
    "username peercode/peer mime\n";
const char* const apache_legend =
    "#\"record_id\" elapsed_time client \"username\" \"client_id\" [date] \"HTTP_method "
    "proto://url\" status size \"http_referer\" \"useragent\" mime \"filter_name "
    "filtering_reason\" \"comma_separated_list_of_applied_profiles\" "
    "\"interface_ip:interface_port\"\n";

namespace {

// Room for the fixed parts and the numbers of a record beyond its texts.
constexpr size_t RECORD_SLACK = 1023;

const char* const CACHE_WORDS[] = {
    "UNSPECIFIED", "TCP_HIT", "TCP_MISS", "TCP_REFRESH_HIT", "TCP_REF_FAIL_HIT",
    "TCP_REFRESH_MISS", "TCP_CLIENT_REFRESH", "TCP_IMS_HIT", "TCP_IMS_MISS", "TCP_DENIED",
    "UDP_HIT", "UDP_MISS", "UDP_HIT_OBJ", "UDP_DENIED", "UDP_INVALID",
};

const char* const PEER_WORDS[] = {
    "NONE", "DIRECT", "FIREWALL_IP_DIRECT", "FIRST_PARENT_MISS", "FIRST_UP_PARENT",
    "LOCAL_IP_DIRECT", "SIBLING_HIT", "NO_DIRECT_FAIL", "NO_PARENT_DIRECT", "PARENT_HIT",
    "SINGLE_PARENT", "SOURCE_FASTEST", "PARENT_UDP_HIT_OBJ", "SIBLING_UDP_HIT_OBJ",
    "PASSTHROUGH_PARENT", "SSL_PARENT_MISS", "DEFAULT_PARENT", "ROUNDROBIN_PARENT",
    "CLOSEST_PARENT_MISS", "CLOEST_DIRECT",
};

const char* word_of(const char* const* words, size_t count, uint32_t code) {
    return code < count ? words[code] : words[0];
}

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// What ends a field: the native record's words end at a blank, the
// extended record's quoted texts at a quote, its bare words at either.
const char* const NATIVE_WORD = " ";
const char* const QUOTED_TEXT = "\"";
const char* const BARE_WORD = " \"";

// A field's text as the record shows it: the text itself, or (only when it
// holds control characters or a character that would end the field early)
// a copy with each of them written as \xHH.
class FieldText {
public:
    FieldText(const std::string& text, const char* enders) : text_(&text), enders_(enders) {
        for (unsigned char c : text)
            if (escaped(c)) {
                escape();
                break;
            }
    }
    const char* c_str() const { return text_->c_str(); }
    size_t size() const { return text_->size(); }

private:
    bool escaped(unsigned char c) const {
        return is_control(c) || ((c == ' ' || c == '"') && strchr(enders_, c) != NULL);
    }

    void escape() {
        static const char HEX[] = "0123456789ABCDEF";
        escaped_.reserve(text_->size() + 16);
        for (unsigned char c : *text_) {
            if (escaped(c)) {
                escaped_ += "\\x";
                escaped_ += HEX[c >> 4];
                escaped_ += HEX[c & 0xf];
            } else {
                escaped_ += static_cast<char>(c);
            }
        }
        text_ = &escaped_;
    }

    const std::string* text_;
    const char* enders_;
    std::string escaped_;
};

// A record put together piece by piece, as printf would have written it
// from its format: a few dozen appends instead of a format to interpret for
// every request. Cut, when it is done, to fit an area of `area` bytes.
class Record {
public:
    Record(std::string& out, size_t area) : out_(out), area_(area) {
        out_.clear();
        out_.reserve(area);
    }
    Record& operator<<(const char* text) {
        out_.append(text);
        return *this;
    }
    Record& operator<<(char c) {
        out_ += c;
        return *this;
    }
    Record& operator<<(const FieldText& field) {
        out_.append(field.c_str(), field.size());
        return *this;
    }
    Record& operator<<(long long number) { return decimal(number < 0, magnitude(number), 1); }
    Record& operator<<(int number) { return *this << static_cast<long long>(number); }
    Record& operator<<(unsigned number) { return decimal(false, number, 1); }
    // "%.3d": at least three digits.
    Record& milliseconds(int number) {
        return decimal(number < 0, magnitude(number), 3);
    }
    // printf's cut: the record fits the area with its terminating NUL.
    void finish() {
        if (area_ > 0 && out_.size() > area_ - 1)
            out_.resize(area_ - 1);
    }

private:
    static unsigned long long magnitude(long long number) {
        return number < 0 ? 0ULL - static_cast<unsigned long long>(number)
                          : static_cast<unsigned long long>(number);
    }
    Record& decimal(bool negative, unsigned long long value, int min_digits) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count < min_digits)
            digits[count++] = '0';
        if (negative)
            out_ += '-';
        while (count > 0)
            out_ += digits[--count];
        return *this;
    }

    std::string& out_;
    size_t area_;
};

// The extended record's "[%d/%b/%Y:%H:%M:%S]" in local time, made once a
// second per thread: localtime_r takes the C library's time-zone lock,
// which every record of every worker would otherwise queue for.
const char* local_date_of(time_t seconds) {
    static thread_local time_t made_for = -1;
    static thread_local char date[64];
    if (seconds != made_for) {
        struct tm local;
        if (localtime_r(&seconds, &local) == NULL ||
            strftime(date, sizeof date, "[%d/%b/%Y:%H:%M:%S]", &local) == 0)
            date[0] = '\0';
        made_for = seconds;
    }
    return date;
}

void now(struct timeval* when) {
    gettimeofday(when, NULL);
}

// One access log: its path, descriptor, byte count, mutex and legend.
struct AccessLogFile {
    const char* path;
    int* fd;
    int64_t* size;
    pthread_mutex_t* lock;
    const char* legend;
    bool extended;
};

const AccessLogFile NATIVE_LOG = {slogfile, &slogfd, &slogsize, &slogfile_lock, access_legend,
                                  false};
const AccessLogFile EXTENDED_LOG = {elogfile, &elogfd, &elogsize, &elogfile_lock, apache_legend,
                                    true};

ssize_t write_once(int fd, const char* text, size_t length) {
    ssize_t written;
    do
        written = write(fd, text, length);
    while (written == -1 && errno == EINTR);
    return written;
}

// The caller holds the log's mutex. Opens the log at its end; a new (empty)
// file gets the legend first.
bool open_locked(const AccessLogFile& log) {
    int fd = s_open64(log.path, O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd == -1) {
        if (log.extended)
            putlog(LOG_ERROR, "[system: s_open64:%d:%s], in %s, unable to open file %s", errno,
                   strerror(errno), "apache_Write", log.path);
        else
            putlog(LOG_ERROR, "[system: open64:%d:%s], in %s, unable to open logfile %s", errno,
                   strerror(errno), "Write", log.path);
        return false;
    }
    off_t end = lseek(fd, 0, SEEK_END);
    if (end == 0) {
        ssize_t written = write_once(fd, log.legend, strlen(log.legend));
        *log.size = written > 0 ? written : 0;
    } else {
        *log.size = end > 0 ? end : 0;
    }
    *log.fd = fd;
    return true;
}

// The caller holds the log's mutex and the log is open. The full log is
// deleted (PROCESS_OLD_LOGS 0) or moved aside and, with 1, queued for
// compression. A log that cannot be moved stays under its name: nothing that
// is to be kept is ever deleted. The caller closes the result once it has
// released the mutex.
RetiredLog rotate_locked(const AccessLogFile& log) {
    int fd = *log.fd;
    *log.fd = -1;
    return retire_full_log(fd, log.path);
}

// How much of `records` (each begins with its line feed) to write before
// the log reaches `limit` with `size` bytes in it: up to and with the record
// that reaches it, as when records came one by one.
size_t records_before_rotation(const char* records, size_t length, int64_t size, int64_t limit) {
    if (limit <= 0 || size + static_cast<int64_t>(length) < limit)
        return length;
    size_t room = size < limit ? static_cast<size_t>(limit - size) : 1;
    const char* next = static_cast<const char*>(memchr(records + room, '\n', length - room));
    return next != NULL ? static_cast<size_t>(next - records) : length;
}

// The batch writer of a log's line queue: records handed over by any thread.
void write_records(void* context, const char* records, size_t length) {
    const AccessLogFile& log = *static_cast<const AccessLogFile*>(context);
    RetiredLog retired = {-1, false};
    pthread_mutex_lock(log.lock);
    while (length > 0) {
        if (*log.fd == -1 && !open_locked(log))
            break; // lost from the file; the next record tries again
        size_t taken = records_before_rotation(records, length, *log.size, LOG_SIZE_LIMIT);
        ssize_t written = write_once(*log.fd, records, taken);
        if (written > 0)
            *log.size += written;
        if (LOG_SIZE_LIMIT > 0 && *log.size >= LOG_SIZE_LIMIT) {
            close_retired_log(retired); // a batch larger than the limit
            retired = rotate_locked(log);
        }
        records += taken;
        length -= taken;
    }
    pthread_mutex_unlock(log.lock);
    close_retired_log(retired);
}

// Never destroyed: threads may still log while the process ends.
LineCombiner& records_of(const AccessLogFile& log) {
    static LineCombiner* native = new LineCombiner(write_records, const_cast<AccessLogFile*>(&NATIVE_LOG));
    static LineCombiner* extended =
        new LineCombiner(write_records, const_cast<AccessLogFile*>(&EXTENDED_LOG));
    return log.extended ? *extended : *native;
}

void append(const AccessLogFile& log, const std::string& record) {
    records_of(log).Add(record.data(), record.size());
}

} // namespace

LogEntry::LogEntry()
    : cache_code(0), peer_code(0), client("-"), start_time{0, 0}, end_time{0, 0}, status(0),
      size(0), url("-"), username("-"), peer("-"), mime("-"), useragent("-"), referer("-"),
      filter_name("-"), filtering_reason("-"), profiles("-"), client_id(0) {
    Reset();
}

void LogEntry::Reset() {
    now(&start_time);
    cache_code = 0;
    peer_code = 0;
    status = 0;
    size = 0;
    url = "-";
    peer = "-";
    mime = "-";
    filter_name = "-";
    filtering_reason = "-";
    profiles = "-";
}

LogEntry* LogEntry::set_cachecode(uint32_t code) {
    cache_code = code;
    return this;
}

LogEntry* LogEntry::set_peercode(uint32_t code) {
    peer_code = code;
    return this;
}

std::string LogEntry::cachecode() const {
    return word_of(CACHE_WORDS, sizeof CACHE_WORDS / sizeof *CACHE_WORDS, cache_code);
}

std::string LogEntry::peercode() const {
    return word_of(PEER_WORDS, sizeof PEER_WORDS / sizeof *PEER_WORDS, peer_code);
}

void LogEntry::BuildInto(std::string& out) {
    now(&end_time);
    const char* cache_word = word_of(CACHE_WORDS, sizeof CACHE_WORDS / sizeof *CACHE_WORDS,
                                     cache_code);
    const char* peer_word = word_of(PEER_WORDS, sizeof PEER_WORDS / sizeof *PEER_WORDS, peer_code);
    FieldText client_text(client, NATIVE_WORD), method_text(method, NATIVE_WORD),
        url_text(url, NATIVE_WORD), username_text(username, NATIVE_WORD),
        peer_text(peer, NATIVE_WORD), mime_text(mime, NATIVE_WORD);
    size_t area = url_text.size() + client_text.size() + method_text.size() +
                  username_text.size() + peer_text.size() + mime_text.size() +
                  strlen(cache_word) + strlen(peer_word) + RECORD_SLACK;
    // "\n%lld.%.3d %lld %s %s/%d %lld %s %s %s %s/%s %s"
    Record record(out, area);
    record << '\n' << static_cast<long long>(start_time.tv_sec) << '.';
    record.milliseconds(static_cast<int>(start_time.tv_usec / 1000));
    record << ' ' << static_cast<long long>(timeval_diff_ms(&start_time, &end_time)) << ' '
           << client_text << ' ' << cache_word << '/' << status << ' '
           << static_cast<long long>(size) << ' ' << method_text << ' ' << url_text << ' '
           << username_text << ' ' << peer_word << '/' << peer_text << ' ' << mime_text;
    record.finish();
}

void LogEntry::apache_BuildInto(std::string& out) {
    now(&end_time);
    const char* date = local_date_of(end_time.tv_sec);
    FieldText client_text(client, BARE_WORD), username_text(username, QUOTED_TEXT),
        method_text(method, BARE_WORD), url_text(url, BARE_WORD),
        useragent_text(useragent, QUOTED_TEXT), referer_text(referer, QUOTED_TEXT),
        mime_text(mime, BARE_WORD), filter_text(filter_name, QUOTED_TEXT),
        reason_text(filtering_reason, QUOTED_TEXT), profiles_text(profiles, QUOTED_TEXT),
        ip_text(interface_ip, QUOTED_TEXT), port_text(interface_port, QUOTED_TEXT);
    size_t area = client_text.size() + username_text.size() + url_text.size() +
                  useragent_text.size() + referer_text.size() + mime_text.size() +
                  filter_text.size() + reason_text.size() + profiles_text.size() +
                  ip_text.size() + port_text.size() + RECORD_SLACK;
    // "\n\"%lld.%.3d-%u-%s-%s\" %lld %s \"%s\" \"%u\" %s \"%s %s\" %d %lld \"%s\" \"%s\" %s "
    // "\"%s %s\" \"%s\" \"%s:%s\""
    Record record(out, area);
    record << "\n\"" << static_cast<long long>(start_time.tv_sec) << '.';
    record.milliseconds(static_cast<int>(start_time.tv_usec / 1000));
    record << '-' << client_id << '-' << ip_text << '-' << port_text << "\" "
           << static_cast<long long>(timeval_diff_ms(&start_time, &end_time)) << ' '
           << client_text << " \"" << username_text << "\" \"" << client_id << "\" " << date
           << " \"" << method_text << ' ' << url_text << "\" " << status << ' '
           << static_cast<long long>(size) << " \"" << referer_text << "\" \"" << useragent_text
           << "\" " << mime_text << " \"" << filter_text << ' ' << reason_text << "\" \""
           << profiles_text << "\" \"" << ip_text << ':' << port_text << '"';
    record.finish();
}

std::string LogEntry::Build() {
    std::string record;
    BuildInto(record);
    return record;
}

std::string LogEntry::apache_Build() {
    std::string record;
    apache_BuildInto(record);
    return record;
}

bool access_logs_flush(int timeout_ms) {
    bool native = records_of(NATIVE_LOG).Flush(timeout_ms);
    return records_of(EXTENDED_LOG).Flush(timeout_ms) && native;
}

void LogEntry::Write() {
    if (slogfile[0] == '\0') {
        now(&end_time);
        return;
    }
    static thread_local std::string record;
    BuildInto(record);
    append(NATIVE_LOG, record);
}

void LogEntry::apache_Write() {
    if (elogfile[0] == '\0') {
        now(&end_time);
        return;
    }
    static thread_local std::string record;
    apache_BuildInto(record);
    append(EXTENDED_LOG, record);
}
