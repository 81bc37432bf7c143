#include "scan/kavd.h"

#include <string.h>

#include "core/log.h"
#include "scan/scanner.h"

int kavd_reply_line(const char* line, size_t length, std::string* virus_name) {
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        length--;
    if (length < 3)
        return KAVD_LINE_UNKNOWN;
    int code = 0;
    for (size_t i = 0; i < 3; i++) {
        if (line[i] < '0' || line[i] > '9')
            return KAVD_LINE_UNKNOWN;
        code = code * 10 + (line[i] - '0');
    }
    // A fourth digit makes another number.
    if (length > 3 && line[3] >= '0' && line[3] <= '9')
        return KAVD_LINE_UNKNOWN;
    switch (code) {
    case 201:
    case 321:
    case 325:
        return KAVD_LINE_PROGRESS;
    case 220:
        return KAVD_LINE_CLEAN;
    case 230:
        return KAVD_LINE_INFECTED;
    case 322: {
        size_t start = length > 4 ? 4 : length;
        size_t end = start;
        while (end < length && end - start < KAVD_NAME_LIMIT && line[end] != ' ' &&
               line[end] != '\t')
            end++;
        if (virus_name != NULL)
            *virus_name = scan_printable(line + start, end - start);
        return KAVD_LINE_NAME;
    }
    default:
        return KAVD_LINE_UNKNOWN;
    }
}

namespace {

int failed(const char* what, const char* socket_path) {
    if (what != NULL)
        putlog(LOG_ANTIVIRUS, "error: Kaspersky: the daemon on %s %s", socket_path, what);
    putlog(LOG_ANTIVIRUS, "error checking file for viruses");
    return KAVD_FAILED;
}

// Reads reply lines up to a final code. KAVD_CLEAN, KAVD_INFECTED, or
// KAVD_FAILED (logged).
int read_verdict(ScanChannel& channel, const char* socket_path, std::string* virus_name) {
    virus_name->clear();
    for (;;) {
        std::string line;
        scan_io_t got = channel.read_until('\n', KAVD_LINE_LIMIT, &line);
        // A last line the daemon closed the connection after counts as well.
        if (got == SCAN_IO_CLOSED && !line.empty())
            got = SCAN_IO_DONE;
        switch (got) {
        case SCAN_IO_DONE:
            break;
        case SCAN_IO_CLOSED:
            return failed("closed the connection before its verdict", socket_path);
        case SCAN_IO_TIMED_OUT:
            putlog(LOG_ANTIVIRUS, "error: Kaspersky: no verdict from the daemon on %s within %d "
                                  "seconds", socket_path, channel.timeout());
            return failed(NULL, socket_path);
        case SCAN_IO_TOO_LONG:
            return failed("sent a reply line longer than the line limit", socket_path);
        default:
            putlog(LOG_ANTIVIRUS, "[system: read:%d:%s], in %s, failed to read the reply of the "
                                  "Kaspersky daemon on %s", channel.error(),
                   strerror(channel.error()), __func__, socket_path);
            return failed(NULL, socket_path);
        }
        std::string name;
        switch (kavd_reply_line(line.data(), line.size(), &name)) {
        case KAVD_LINE_PROGRESS:
            break;
        case KAVD_LINE_NAME:
            *virus_name = name;
            break;
        case KAVD_LINE_CLEAN:
            return KAVD_CLEAN;
        case KAVD_LINE_INFECTED:
            return KAVD_INFECTED;
        default: {
            size_t length = line.size();
            if (length > 0 && line[length - 1] == '\r')
                length--;
            std::string shown = scan_printable(line.data(), length);
            putlog(LOG_WARNING, "unknown response from Kaspersky daemon: %s", shown.c_str());
            return failed(NULL, socket_path);
        }
        }
    }
}

} // namespace

int kavd_scan(const char* socket_path, const Filebuf* body, int timeout,
              std::string* virus_name) {
    int fd = scan_connect(socket_path, 0, timeout);
    if (fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to Kaspersky daemon failed");
        return failed(NULL, socket_path);
    }
    ScanChannel channel(fd, timeout);
    ScanTempFile file;
    if (!file.create(body, "kestrivan-kav."))
        return failed(NULL, socket_path);
    scan_io_t sent = channel.send("SCAN xmQPRSTUWabcdefghi " + file.path() + "\r\n");
    if (sent != SCAN_IO_DONE)
        return failed(sent == SCAN_IO_TIMED_OUT ? "took no command" : "refused the command",
                      socket_path);
    int verdict = read_verdict(channel, socket_path, virus_name);
    channel.send("QUIT\r\n");
    return verdict;
}
