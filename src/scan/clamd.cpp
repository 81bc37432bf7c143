#include "scan/clamd.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>

#include <chrono>

#include "core/filebuf.h"
#include "core/log.h"
#include "net/socket.h"
#include "scan/scanner.h"

// The text with control characters shown as '?', fit for one log line.
static std::string printable(const char* text, size_t length) {
    std::string out(text, length);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

int clamd_reply_parse(const char* reply, size_t length, std::string* virus_name) {
    const char* nul = static_cast<const char*>(memchr(reply, '\0', length));
    size_t end = nul != NULL ? static_cast<size_t>(nul - reply) : length;
    while (end > 0 && (reply[end - 1] == '\n' || reply[end - 1] == '\r' || reply[end - 1] == ' '))
        end--;
    if (end == 0)
        return CLAMD_REPLY_UNKNOWN;
    std::string text = printable(reply, end);
    size_t blank = text.rfind(' ');
    std::string word = blank == std::string::npos ? text : text.substr(blank + 1);
    if (word == "OK")
        return CLAMD_REPLY_OK;
    if (word == "ERROR")
        return CLAMD_REPLY_ERROR;
    if (word != "FOUND")
        return CLAMD_REPLY_UNKNOWN;
    std::string name;
    if (blank != std::string::npos) {
        size_t colon = text.find(": ");
        size_t start = colon != std::string::npos && colon < blank ? colon + 2 : 0;
        name = text.substr(start, blank - start);
        size_t first = name.find_first_not_of(' ');
        name = first == std::string::npos ? std::string() : name.substr(first);
        while (!name.empty() && name.back() == ' ')
            name.pop_back();
    }
    if (virus_name != NULL)
        *virus_name = name.empty() ? "unknown" : name;
    return CLAMD_REPLY_FOUND;
}

namespace {

std::string where(const char* address, int port) {
    if (address[0] == '/')
        return address;
    return std::string(address) + ":" + std::to_string(port);
}

enum SendOutcome { SENT, TIMED_OUT, BROKEN };

// One piece through the socket (in non-blocking mode): what cannot go at
// once waits in the socket's write buffer and goes as the daemon takes it;
// `timeout` seconds without progress is a time-out.
SendOutcome send_piece(Socket& socket, const char* data, unsigned length, int timeout) {
    if (socket.Write(data, static_cast<int>(length)) == -1)
        return BROKEN;
    while (socket.write_pending > 0) {
        struct pollfd entry = {socket.fd, POLLOUT, 0};
        int ready = poll(&entry, 1, timeout > 0 ? timeout * 1000 : -1);
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready == 0)
            return TIMED_OUT;
        if (ready == -1 || socket.Write(NULL, -1) == -1)
            return BROKEN;
    }
    return SENT;
}

SendOutcome send_stream(Socket& socket, const Filebuf* body, int timeout) {
    static const char command[] = "zINSTREAM";
    socket.Blocking(false);
    SendOutcome outcome = send_piece(socket, command, sizeof command, timeout); // with its NUL
    unsigned size = body != NULL ? body->size : 0;
    for (unsigned done = 0; outcome == SENT && done < size;) {
        unsigned piece = size - done < CLAMD_CHUNK ? size - done : CLAMD_CHUNK;
        uint32_t length = htonl(piece);
        outcome = send_piece(socket, reinterpret_cast<const char*>(&length), sizeof length, timeout);
        if (outcome == SENT)
            outcome = send_piece(socket, body->data + done, piece, timeout);
        done += piece;
    }
    if (outcome == SENT) {
        uint32_t end = 0;
        outcome = send_piece(socket, reinterpret_cast<const char*>(&end), sizeof end, timeout);
    }
    // What could not be sent must not hold the thread again when the socket
    // is flushed on its way out.
    if (outcome != SENT)
        socket.Clear(1);
    return outcome;
}

enum { REPLY_TIMED_OUT = -1, REPLY_FAILED = -2 };

// Reads the answer up to its NUL, the end of the stream or the limit, within
// `timeout` seconds in all. The bytes read (0: closed without a word), or
// REPLY_TIMED_OUT, or REPLY_FAILED with errno set.
int read_reply(Socket& socket, char* reply, unsigned capacity, int timeout) {
    using clock = std::chrono::steady_clock;
    clock::time_point deadline = clock::now() + std::chrono::seconds(timeout);
    unsigned got = 0;
    while (got < capacity && memchr(reply, '\0', got) == NULL) {
        int64_t left_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left_ms <= 0)
            return got > 0 ? static_cast<int>(got) : REPLY_TIMED_OUT;
        int wait = static_cast<int>((left_ms + 999) / 1000);
        errno = 0;
        int result = socket.Read(reply + got, static_cast<int>(capacity - got), wait);
        if (result > 0) {
            got += static_cast<unsigned>(result);
            continue;
        }
        if (result == 0)
            break;
        if (got > 0)
            break;
        return errno == 0 || errno == EAGAIN ? REPLY_TIMED_OUT : REPLY_FAILED;
    }
    return static_cast<int>(got);
}

int failed() {
    putlog(LOG_ANTIVIRUS, "error: ClamAV: failed to check file for viruses");
    return CLAMD_FAILED;
}

void advise_stream_limit() {
    putlog(LOG_ADVICE, "ClamAV: clamd refuses bodies over its StreamMaxLength; such bodies pass "
                       "unscanned unless StreamMaxLength is at least the download buffer limit");
}

} // namespace

int clamd_scan(const char* address, int port, const Filebuf* body, int timeout,
               std::string* virus_name) {
    int fd = scan_connect(address, port, timeout);
    if (fd < 0) {
        if (address[0] == '/')
            putlog(LOG_ADVICE, "ClamAV: Please Verify that ClamAV is listening on %s", address);
        else
            putlog(LOG_ADVICE, "ClamAV: Please Verify that ClamAV is listening on %s:%d", address,
                   port);
        return failed();
    }
    Socket socket(fd);
    SendOutcome sent = send_stream(socket, body, timeout);
    if (sent == TIMED_OUT) {
        putlog(LOG_ANTIVIRUS, "error: ClamAV: clamd at %s took no data for %d seconds",
               where(address, port).c_str(), timeout);
        return failed();
    }

    // After a broken send clamd may still have said why it stopped reading.
    char reply[CLAMD_REPLY_LIMIT];
    int length = read_reply(socket, reply, sizeof reply, timeout);
    if (length == REPLY_TIMED_OUT) {
        putlog(LOG_ANTIVIRUS, "error: ClamAV: no answer from clamd at %s within %d seconds",
               where(address, port).c_str(), timeout);
        return failed();
    }
    if (length == REPLY_FAILED && errno != ECONNRESET && errno != EPIPE) {
        int error = errno;
        putlog(LOG_ADVICE, "ClamAV: Please Verify the Socket Read Permissions");
        putlog(LOG_ANTIVIRUS, "[system: read:%d:%s], in %s, failed to read the answer of clamd at %s",
               error, strerror(error), __func__, where(address, port).c_str());
        return failed();
    }
    if (length <= 0) {
        // clamd drops the connection without reading on when a body grows
        // over its StreamMaxLength; the reset may take its answer with it.
        putlog(LOG_ANTIVIRUS, "error: ClamAV: clamd at %s closed the connection without an answer",
               where(address, port).c_str());
        if (sent == BROKEN || length == REPLY_FAILED)
            advise_stream_limit();
        return failed();
    }

    std::string text = printable(reply, strnlen(reply, static_cast<size_t>(length)));
    switch (clamd_reply_parse(reply, static_cast<size_t>(length), virus_name)) {
    case CLAMD_REPLY_FOUND:
        return CLAMD_INFECTED;
    case CLAMD_REPLY_OK:
        if (sent == SENT)
            return CLAMD_CLEAN;
        // A verdict on less than the whole body says nothing about it.
        putlog(LOG_ANTIVIRUS, "error: ClamAV: clamd at %s answered \"%s\" to a body it did not "
                              "receive whole", where(address, port).c_str(), text.c_str());
        return failed();
    case CLAMD_REPLY_ERROR:
        putlog(LOG_ANTIVIRUS, "error: ClamAV: clamd at %s could not scan the body: %s",
               where(address, port).c_str(), text.c_str());
        if (sent == BROKEN || text.find("size limit") != std::string::npos)
            advise_stream_limit();
        return failed();
    default:
        putlog(LOG_ANTIVIRUS, "error: ClamAV: unexpected answer from clamd at %s: %s",
               where(address, port).c_str(), text.c_str());
        return failed();
    }
}
