#include "scan/sophied.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "core/filebuf.h"
#include "core/log.h"
#include "scan/scanner.h"

int sophie_answer_parse(const char* answer, size_t length, std::string* virus_name) {
    while (length > 0 && (answer[length - 1] == '\n' || answer[length - 1] == '\r'))
        length--;
    if (length == 0)
        return SOPHIE_ANSWER_UNKNOWN;
    switch (answer[0]) {
    case '1':
        if (virus_name != NULL)
            *virus_name = length > 2 ? scan_printable(answer + 2, length - 2) : std::string();
        return SOPHIE_ANSWER_VIRUS;
    case '-':
        return SOPHIE_ANSWER_ERROR;
    case '0':
        return SOPHIE_ANSWER_CLEAN;
    default:
        return SOPHIE_ANSWER_UNKNOWN;
    }
}

namespace {

int failed(const char* where, const char* what) {
    if (what != NULL)
        putlog(LOG_ANTIVIRUS, "error: Sophie: the daemon at %s %s", where, what);
    putlog(LOG_ANTIVIRUS, "error checking file for viruses");
    return SOPHIED_FAILED;
}

// One answer line read and judged; `clean_line` is logged for a clean one.
int read_verdict(ScanChannel& channel, const char* where, const char* clean_line,
                 std::string* virus_name) {
    std::string answer;
    scan_io_t got = channel.read_until('\n', SOPHIED_ANSWER_LIMIT, &answer);
    // An answer the daemon closed the connection after counts as well.
    if (got == SCAN_IO_CLOSED && !answer.empty())
        got = SCAN_IO_DONE;
    switch (got) {
    case SCAN_IO_DONE:
        break;
    case SCAN_IO_CLOSED:
        return failed(where, "closed the connection without an answer");
    case SCAN_IO_TIMED_OUT:
        putlog(LOG_ANTIVIRUS, "error: Sophie: no answer from the daemon at %s within %d seconds",
               where, channel.timeout());
        return failed(where, NULL);
    case SCAN_IO_TOO_LONG:
        return failed(where, "sent an answer longer than the answer limit");
    default:
        putlog(LOG_ANTIVIRUS, "[system: read:%d:%s], in %s, failed to read the answer of the "
                              "Sophie daemon at %s", channel.error(), strerror(channel.error()),
               __func__, where);
        return failed(where, NULL);
    }
    std::string shown = scan_printable(answer.data(), answer.size());
    switch (sophie_answer_parse(answer.data(), answer.size(), virus_name)) {
    case SOPHIE_ANSWER_VIRUS:
        return SOPHIED_INFECTED;
    case SOPHIE_ANSWER_CLEAN:
        putlog(LOG_ANTIVIRUS, "%s", clean_line);
        return SOPHIED_CLEAN;
    case SOPHIE_ANSWER_ERROR:
        putlog(LOG_ANTIVIRUS, "error: Sophie: the daemon at %s could not scan the file: %s", where,
               shown.c_str());
        return failed(where, NULL);
    default:
        putlog(LOG_ANTIVIRUS, "error: Sophie: unexpected answer from the daemon at %s: %s", where,
               shown.c_str());
        return failed(where, NULL);
    }
}

// The name announced over TCP: the daemon there cannot read our files, so
// it only labels the bytes that follow. Unique within the process.
std::string announced_name() {
    static std::atomic<unsigned long> scans{0};
    return "kestrivan-sophie." + std::to_string(getpid()) + "." + std::to_string(++scans);
}

} // namespace

int sophied_scan_socket(const char* socket_path, const Filebuf* body, int timeout,
                        std::string* virus_name) {
    int fd = scan_connect(socket_path, 0, timeout);
    if (fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to Sophie daemon failed");
        return SOPHIED_FAILED;
    }
    ScanChannel channel(fd, timeout);
    // The daemon reads the file as its own user: its group, which owns its
    // socket, is given the private directory.
    struct stat socket_owner;
    gid_t group = stat(socket_path, &socket_owner) == 0 ? socket_owner.st_gid : getegid();
    ScanTempFile file;
    if (!file.create_shared(body, "kestrivan-sophie.", group))
        return failed(socket_path, NULL);
    if (channel.send(file.path() + "\n") != SCAN_IO_DONE) {
        putlog(LOG_ANTIVIRUS, "cann't write into socket");
        return failed(socket_path, NULL);
    }
    return read_verdict(channel, socket_path, "no viruses detected by Sophie", virus_name);
}

int sophied_scan_tcp(const char* host, int port, const Filebuf* body, int timeout,
                     std::string* virus_name) {
    int fd = scan_connect(host, port & 0xffff, timeout);
    if (fd == -3) {
        putlog(LOG_ANTIVIRUS, "Unknown host %s", host);
        return SOPHIED_FAILED;
    }
    if (fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to Sophie failed");
        return SOPHIED_FAILED;
    }
    std::string where = std::string(host) + ":" + std::to_string(port & 0xffff);
    ScanChannel channel(fd, timeout);
    unsigned size = body != NULL ? body->size : 0;
    std::string announcement = announced_name() + "/" + std::to_string(size) + "\n";
    scan_io_t sent = channel.send(announcement);
    if (sent != SCAN_IO_DONE)
        return failed(where.c_str(),
                      sent == SCAN_IO_TIMED_OUT ? "took no announcement" : "refused the announcement");

    std::string line;
    scan_io_t got = channel.read_until('\n', SOPHIED_ANSWER_LIMIT, &line);
    if (got != SCAN_IO_DONE || line.compare(0, 2, "OK") != 0) {
        putlog(LOG_ANTIVIRUS, "'OK' not returned from Sophie");
        return failed(where.c_str(), got == SCAN_IO_TIMED_OUT ? "sent nothing in time" : NULL);
    }
    // Straight from the buffer: what the announcement counted.
    sent = size > 0 ? channel.send(body->data, size) : SCAN_IO_DONE;
    if (sent != SCAN_IO_DONE)
        return failed(where.c_str(),
                      sent == SCAN_IO_TIMED_OUT ? "took no data in time" : "refused the body");
    return read_verdict(channel, where.c_str(), "No virus Found", virus_name);
}
