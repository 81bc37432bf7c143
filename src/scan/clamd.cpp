#include "scan/clamd.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "core/filebuf.h"
#include "core/log.h"
#include "scan/scanner.h"

int clamd_reply_parse(const char* reply, size_t length, std::string* virus_name) {
    const char* nul = static_cast<const char*>(memchr(reply, '\0', length));
    size_t end = nul != NULL ? static_cast<size_t>(nul - reply) : length;
    while (end > 0 && (reply[end - 1] == '\n' || reply[end - 1] == '\r' || reply[end - 1] == ' '))
        end--;
    if (end == 0)
        return CLAMD_REPLY_UNKNOWN;
    std::string text = scan_printable(reply, end);
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

// The command, the body in chunks and the zero-length chunk that ends it.
scan_io_t send_stream(ScanChannel& channel, const Filebuf* body) {
    static const char command[] = "zINSTREAM";
    scan_io_t outcome = channel.send(command, sizeof command); // with its NUL
    unsigned size = body != NULL ? body->size : 0;
    for (unsigned done = 0; outcome == SCAN_IO_DONE && done < size;) {
        unsigned piece = size - done < CLAMD_CHUNK ? size - done : CLAMD_CHUNK;
        uint32_t length = htonl(piece);
        outcome = channel.send(reinterpret_cast<const char*>(&length), sizeof length);
        if (outcome == SCAN_IO_DONE)
            outcome = channel.send(body->data + done, piece);
        done += piece;
    }
    if (outcome == SCAN_IO_DONE) {
        uint32_t end = 0;
        outcome = channel.send(reinterpret_cast<const char*>(&end), sizeof end);
    }
    return outcome;
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
    ScanChannel channel(fd, timeout);
    scan_io_t sent = send_stream(channel, body);
    if (sent == SCAN_IO_TIMED_OUT) {
        putlog(LOG_ANTIVIRUS, "error: ClamAV: clamd at %s took no data for %d seconds",
               where(address, port).c_str(), channel.timeout());
        return failed();
    }

    // After a broken send clamd may still have said why it stopped reading.
    std::string reply;
    scan_io_t got = channel.read_until('\0', CLAMD_REPLY_LIMIT, &reply);
    if (reply.empty()) {
        if (got == SCAN_IO_TIMED_OUT) {
            putlog(LOG_ANTIVIRUS, "error: ClamAV: no answer from clamd at %s within %d seconds",
                   where(address, port).c_str(), channel.timeout());
            return failed();
        }
        if (got == SCAN_IO_FAILED && channel.error() != ECONNRESET && channel.error() != EPIPE) {
            int error = channel.error();
            putlog(LOG_ADVICE, "ClamAV: Please Verify the Socket Read Permissions");
            putlog(LOG_ANTIVIRUS,
                   "[system: read:%d:%s], in %s, failed to read the answer of clamd at %s", error,
                   strerror(error), __func__, where(address, port).c_str());
            return failed();
        }
        // clamd drops the connection without reading on when a body grows
        // over its StreamMaxLength; the reset may take its answer with it.
        putlog(LOG_ANTIVIRUS, "error: ClamAV: clamd at %s closed the connection without an answer",
               where(address, port).c_str());
        if (sent == SCAN_IO_FAILED || got == SCAN_IO_FAILED)
            advise_stream_limit();
        return failed();
    }

    std::string text = scan_printable(reply.data(), reply.size());
    switch (clamd_reply_parse(reply.data(), reply.size(), virus_name)) {
    case CLAMD_REPLY_FOUND:
        return CLAMD_INFECTED;
    case CLAMD_REPLY_OK:
        if (sent == SCAN_IO_DONE)
            return CLAMD_CLEAN;
        // A verdict on less than the whole body says nothing about it.
        putlog(LOG_ANTIVIRUS, "error: ClamAV: clamd at %s answered \"%s\" to a body it did not "
                              "receive whole", where(address, port).c_str(), text.c_str());
        return failed();
    case CLAMD_REPLY_ERROR:
        putlog(LOG_ANTIVIRUS, "error: ClamAV: clamd at %s could not scan the body: %s",
               where(address, port).c_str(), text.c_str());
        if (sent == SCAN_IO_FAILED || text.find("size limit") != std::string::npos)
            advise_stream_limit();
        return failed();
    default:
        putlog(LOG_ANTIVIRUS, "error: ClamAV: unexpected answer from clamd at %s: %s",
               where(address, port).c_str(), text.c_str());
        return failed();
    }
}
