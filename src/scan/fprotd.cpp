#include "scan/fprotd.h"

#include <errno.h>
#include <string.h>
#include <strings.h>

#include <tinyxml2.h>

#include "core/log.h"
#include "http/header.h"
#include "scan/scanner.h"

std::string fprot_report_strip_doctype(const std::string& report) {
    static const char OPENING[] = "<!DOCTYPE";
    const size_t opening_length = sizeof OPENING - 1;
    std::string out;
    size_t copied = 0;
    for (size_t at = 0; at + opening_length <= report.size();) {
        if (strncasecmp(report.c_str() + at, OPENING, opening_length) != 0) {
            at++;
            continue;
        }
        // Only a declaration with an internal subset: its "[" comes before
        // any ">", and it ends at the first "]" when a ">" follows.
        size_t subset = report.find_first_of("[>", at + opening_length);
        size_t bracket = subset != std::string::npos && report[subset] == '['
                             ? report.find(']', subset)
                             : std::string::npos;
        if (bracket == std::string::npos || bracket + 1 >= report.size() ||
            report[bracket + 1] != '>') {
            at++;
            continue;
        }
        out.append(report, copied, at - copied);
        copied = at = bracket + 2;
    }
    out.append(report, copied, std::string::npos);
    return out;
}

// The text of an element's first child when that is text, blanks around it
// dropped; empty otherwise.
static std::string element_text(const tinyxml2::XMLElement* element) {
    const char* text = element != nullptr ? element->GetText() : nullptr;
    if (text == nullptr)
        return std::string();
    std::string value(text);
    size_t first = value.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    size_t last = value.find_last_not_of(" \t\r\n");
    return value.substr(first, last - first + 1);
}

int fprot_report_parse(const char* report, size_t length, std::string* virus_name) {
    const char* nul = static_cast<const char*>(memchr(report, '\0', length));
    std::string text = fprot_report_strip_doctype(
        std::string(report, nul != nullptr ? static_cast<size_t>(nul - report) : length));
    tinyxml2::XMLDocument document;
    if (document.Parse(text.c_str(), text.size()) != tinyxml2::XML_SUCCESS)
        return FPROT_REPORT_UNPARSABLE;
    const tinyxml2::XMLElement* results = document.FirstChildElement("fprot-results");
    const tinyxml2::XMLElement* summary =
        results != nullptr ? results->FirstChildElement("summary") : nullptr;
    if (summary == nullptr)
        return FPROT_REPORT_UNPARSABLE;
    if (strcasecmp(element_text(summary).c_str(), "infected") != 0)
        return FPROT_REPORT_CLEAN;
    const tinyxml2::XMLElement* detected = results->FirstChildElement("detected");
    std::string name =
        element_text(detected != nullptr ? detected->FirstChildElement("name") : nullptr);
    if (virus_name != nullptr)
        *virus_name = scan_printable(name.data(), name.size());
    return FPROT_REPORT_INFECTED;
}

namespace {

// The file's path as a URL path: bytes other than letters, digits and
// "-._~/" percent-encoded.
std::string path_encoded(const std::string& path) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            strchr("-._~/", c) != nullptr) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 0xf];
        }
    }
    return out;
}

int failed(int port, const char* what) {
    putlog(LOG_ANTIVIRUS, "error: F-Prot: the daemon on 127.0.0.1:%d %s", port, what);
    return FPROTD_FAILED;
}

// Reads the daemon's answer: its header and report, up to the length the
// header announces or to the close. *body_start: where the report begins.
// FPROTD_CLEAN when the answer is whole, else FPROTD_FAILED (logged).
int read_answer(ScanChannel& channel, int port, std::string* answer, size_t* body_start) {
    size_t header_end = std::string::npos;
    bool has_length = false;
    size_t length = 0;
    for (;;) {
        if (has_length && answer->size() - *body_start >= length)
            return FPROTD_CLEAN;
        scan_io_t got = channel.read_some(FPROTD_REPORT_LIMIT, answer);
        if (got == SCAN_IO_CLOSED)
            break;
        if (got == SCAN_IO_TIMED_OUT) {
            putlog(LOG_ANTIVIRUS, "error: F-Prot: no report from the daemon on 127.0.0.1:%d "
                                  "within %d seconds", port, channel.timeout());
            return FPROTD_FAILED;
        }
        if (got == SCAN_IO_TOO_LONG)
            return failed(port, "sent an answer longer than the report limit");
        if (got == SCAN_IO_FAILED) {
            putlog(LOG_ANTIVIRUS, "[system: read:%d:%s], in %s, failed to read the report of the "
                                  "F-Prot daemon on 127.0.0.1:%d", channel.error(),
                   strerror(channel.error()), __func__, port);
            return FPROTD_FAILED;
        }
        if (header_end != std::string::npos)
            continue;
        size_t crlf = answer->find("\r\n\r\n");
        size_t lf = answer->find("\n\n");
        if (crlf == std::string::npos && lf == std::string::npos)
            continue;
        header_end = crlf != std::string::npos && (lf == std::string::npos || crlf < lf) ? crlf
                                                                                        : lf;
        *body_start = header_end + (header_end == crlf ? 4 : 2);
        HEADER* header = http_header_parse_response(answer->substr(0, *body_start).c_str());
        if (header == nullptr)
            return failed(port, "sent no HTTP answer");
        bool chunked = header->chunked != 0;
        has_length = (header->flags & HEADER_HAS_LENGTH) != 0;
        length = header->content_length;
        http_header_free(header);
        if (chunked)
            return failed(port, "sent its report in chunks to an HTTP/1.0 request");
    }
    // Closed by the daemon.
    if (answer->empty())
        return failed(port, "closed the connection without a report");
    if (header_end == std::string::npos) {
        if (answer->compare(0, 5, "HTTP/") == 0)
            return failed(port, "closed the connection within its answer's header");
        *body_start = 0; // a bare report, without a header
        return FPROTD_CLEAN;
    }
    if (has_length && answer->size() - *body_start < length)
        return failed(port, "closed the connection before the end of its report");
    return FPROTD_CLEAN;
}

} // namespace

int fprotd_scan(const std::string& path, const std::string& options, int first_port,
                int port_count, int timeout, std::string* virus_name) {
    int fd = -1;
    int port = first_port;
    for (int i = 0; i < port_count && fd < 0; i++) {
        port = first_port + i;
        fd = scan_connect("127.0.0.1", port, timeout);
    }
    if (fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to F-Prot daemon scanner failed");
        return FPROTD_FAILED;
    }
    ScanChannel channel(fd, timeout);
    std::string request = "GET " + path_encoded(path) + "?" + options +
                          "-remote-dtd%20 HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: close\r\n\r\n";
    scan_io_t sent = channel.send(request);
    if (sent != SCAN_IO_DONE)
        return failed(port, sent == SCAN_IO_TIMED_OUT ? "took no request" : "refused the request");

    std::string answer;
    size_t body_start = 0;
    if (read_answer(channel, port, &answer, &body_start) != FPROTD_CLEAN)
        return FPROTD_FAILED;
    switch (fprot_report_parse(answer.data() + body_start, answer.size() - body_start,
                               virus_name)) {
    case FPROT_REPORT_CLEAN:
        return FPROTD_CLEAN;
    case FPROT_REPORT_INFECTED:
        return FPROTD_INFECTED;
    default:
        putlog(LOG_ANTIVIRUS, "error parsing F-Prot result XML");
        return FPROTD_FAILED;
    }
}
