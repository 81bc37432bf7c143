#include "ftp/proto_ftp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "core/compat.h"
#include "core/log.h"
#include "ftp/ftp_list.h"
#include "http/http_text.h"
#include "net/network.h"
#include "net/socket.h"

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Copies a line without its CR LF, cut to the buffer.
void keep_line(char* kept, const char* line) {
    size_t length = strcspn(line, "\r\n");
    if (length >= static_cast<size_t>(FTP_LINE_MAX))
        length = FTP_LINE_MAX - 1;
    memcpy(kept, line, length);
    kept[length] = '\0';
}

// 1xx replies only announce that more is coming (a transfer starting); a
// plain-text line (code 0) ends a reply like any final code.
bool is_final(int code) {
    return code < 100 || code > 199;
}

// Bytes that would end an FTP command early.
bool holds_line_break(const char* text, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (text[i] == '\r' || text[i] == '\n' || text[i] == '\0')
            return true;
    return false;
}

// Sends one command and waits for its final reply. The reply code, -1 when
// none came, -2 when the command was refused (nothing sent).
int command_reply(FtpControl* control, int timeout, const char* verb, const std::string& argument,
                  ftp_reply_t* reply) {
    int sent = ftp_command_send(control, verb, argument);
    if (sent == -2)
        return -2;
    if (sent == -1)
        return -1;
    int code;
    do
        code = ftp_reply_read(control, timeout, reply);
    while (code != -1 && !is_final(code));
    return code;
}

// The control connection's peer or local address; false when it has none.
bool socket_address(int fd, bool peer, struct sockaddr_storage* address) {
    memset(address, 0, sizeof *address);
    socklen_t length = sizeof *address;
    int result = peer ? getpeername(fd, reinterpret_cast<struct sockaddr*>(address), &length)
                      : getsockname(fd, reinterpret_cast<struct sockaddr*>(address), &length);
    if (result == -1) {
        putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, no address of the FTP control connection",
               peer ? "getpeername" : "getsockname", errno, strerror(errno), __func__);
        return false;
    }
    return true;
}

// Sends the data command and waits for its preliminary reply.
bool command_started(FtpControl* control, int timeout, const char* verb,
                     const std::string& argument, ftp_reply_t* reply) {
    if (ftp_command_send(control, verb, argument) != 0)
        return false;
    int code = ftp_code_wait(control, timeout, 150, 125, reply);
    return code == 150 || code == 125;
}

// Passive mode: the data connection goes to the control peer, whatever
// address the 227 reply names.
Socket* passive_open(FtpControl* control, int control_fd, int timeout, const char* verb,
                     const std::string& argument, ftp_reply_t* reply) {
    if (ftp_command_send(control, "PASV", "") != 0 ||
        ftp_code_wait(control, timeout, 227, 227, reply) != 227)
        return NULL;
    int port = ftp_pasv_port(strchr(reply->last, '(') != NULL ? reply->last : reply->first);
    struct sockaddr_storage peer, target;
    if (port == -1 || !socket_address(control_fd, true, &peer) ||
        !ftp_pasv_target(&peer, port, &target) || target.ss_family != AF_INET) {
        putlog(LOG_ERROR, "ftp: unusable passive mode reply: %s", reply->last);
        return NULL;
    }
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(&target)->sin_addr, host,
              sizeof host);
    int fd = net_connect(host, port, timeout);
    if (fd < 0)
        return NULL;
    Socket* data = new Socket(fd);
    if (!command_started(control, timeout, verb, argument, reply)) {
        delete data;
        return NULL;
    }
    return data;
}

// Seconds on a clock that never jumps.
time_t monotonic_seconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// Waits until `deadline` for the server's data connection from `peer`;
// connections from anywhere else are closed. The descriptor, or -1.
int accept_from(int listener, const struct sockaddr_storage* peer, time_t deadline) {
    for (;;) {
        time_t left = deadline - monotonic_seconds();
        if (left <= 0)
            return -1;
        struct pollfd wait = {listener, POLLIN, 0};
        int ready = poll(&wait, 1, static_cast<int>(left) * 1000);
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready != 1)
            return -1;
        struct sockaddr_storage from;
        socklen_t length = sizeof from;
        int fd = s_accept(listener, reinterpret_cast<struct sockaddr*>(&from), &length);
        if (fd == -1)
            return -1;
        if (ftp_data_peer_allowed(peer, &from))
            return fd;
        char text[INET6_ADDRSTRLEN] = "";
        if (from.ss_family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(&from)->sin_addr, text,
                      sizeof text);
        putlog(LOG_SECURITY, "ftp: refused a data connection from %s: not the FTP server", text);
        close(fd);
    }
}

// Active mode: a listener on the control connection's local address.
Socket* active_open(FtpControl* control, int control_fd, int timeout, const char* verb,
                    const std::string& argument, ftp_reply_t* reply) {
    struct sockaddr_storage local, peer;
    if (!socket_address(control_fd, false, &local) || !socket_address(control_fd, true, &peer) ||
        local.ss_family != AF_INET)
        return NULL;
    auto* address = reinterpret_cast<struct sockaddr_in*>(&local);
    address->sin_port = 0;
    int listener = s_socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener == -1) {
        putlog(LOG_ERROR, "[system: socket:%d:%s], in %s, no socket for an FTP data connection",
               errno, strerror(errno), __func__);
        return NULL;
    }
    socklen_t length = sizeof *address;
    const char* failed = NULL;
    if (bind(listener, reinterpret_cast<struct sockaddr*>(address), sizeof *address) == -1)
        failed = "bind";
    else if (listen(listener, 1) == -1)
        failed = "listen";
    else if (getsockname(listener, reinterpret_cast<struct sockaddr*>(address), &length) == -1)
        failed = "getsockname";
    if (failed != NULL) {
        putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, no listener for an FTP data connection",
               failed, errno, strerror(errno), __func__);
        close(listener);
        return NULL;
    }
    char* port_argument = ftpport_create(address);
    std::string port_text = port_argument;
    free(port_argument);
    int fd = -1;
    if (ftp_command_send(control, "PORT", port_text) == 0 &&
        ftp_code_wait(control, timeout, 200, 0, reply) >= 0 &&
        command_started(control, timeout, verb, argument, reply))
        fd = accept_from(listener, &peer, monotonic_seconds() + timeout);
    close(listener);
    return fd == -1 ? NULL : new Socket(fd);
}

} // namespace

Socket* ftp_data_open(FtpControl* control, int control_fd, int passive, int timeout,
                      const char* verb, const std::string& argument, ftp_reply_t* reply) {
    ftp_reply_t own;
    if (reply == NULL)
        reply = &own;
    ftp_reply_start(reply);
    std::string command;
    if (!ftp_command_build(&command, verb, argument))
        return NULL;
    if (passive == 1)
        return passive_open(control, control_fd, timeout, verb, argument, reply);
    return active_open(control, control_fd, timeout, verb, argument, reply);
}

int FtpSocketControl::GetLine(char* dst, int max, int timeout) {
    return socket_->GetLine(dst, max, timeout);
}

int FtpSocketControl::Write(const char* data, int length) {
    if (socket_->Write(data, length) == -1)
        return -1;
    socket_->Flush();
    return length;
}

int ftp_line_code(const char* line) {
    int code = 0;
    for (int i = 0; i < 9 && is_digit(line[i]); i++)
        code = code * 10 + (line[i] - '0');
    return code;
}

void ftp_reply_start(ftp_reply_t* reply) {
    memset(reply, 0, sizeof *reply);
}

int ftp_reply_feed(ftp_reply_t* reply, const char* line) {
    if (reply->complete)
        ftp_reply_start(reply);
    keep_line(reply->last, line);
    bool three_digits = is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]);
    if (!reply->multiline) {
        keep_line(reply->first, line);
        reply->code = ftp_line_code(line);
        if (three_digits && line[3] == '-') {
            reply->multiline = 1;
            return 0;
        }
        reply->complete = 1;
        return 1;
    }
    // Inside a multi-line reply only "ddd " (or "ddd" alone) with the
    // reply's own code ends it; every other line is text.
    if (three_digits && ftp_line_code(line) == reply->code && strchr(" \r\n", line[3]) != NULL) {
        reply->multiline = 0;
        reply->complete = 1;
        return 1;
    }
    return 0;
}

int ftp_reply_read(FtpControl* control, int timeout, ftp_reply_t* reply) {
    ftp_reply_start(reply);
    char line[FTP_LINE_MAX];
    for (;;) {
        if (control->GetLine(line, sizeof line, timeout) <= 0)
            return -1;
        if (ftp_reply_feed(reply, line))
            return reply->code;
    }
}

int ftp_code_wait(FtpControl* control, int timeout, int code, int other, ftp_reply_t* reply) {
    ftp_reply_t own;
    if (reply == NULL)
        reply = &own;
    for (;;) {
        int got = ftp_reply_read(control, timeout, reply);
        if (got == -1)
            return FTP_NO_REPLY;
        if (got == code || got == other)
            return got;
        if (is_final(got))
            return FTP_UNEXPECTED;
    }
}

bool ftp_command_build(std::string* command, const char* verb, const std::string& argument) {
    if (holds_line_break(argument.data(), argument.size()))
        return false;
    std::string built;
    if (verb != NULL) {
        if (holds_line_break(verb, strlen(verb)))
            return false;
        built = verb;
        if (!argument.empty())
            built += ' ';
    }
    built += argument;
    if (built.empty())
        return false;
    built += "\r\n";
    command->swap(built);
    return true;
}

int ftp_command_send(FtpControl* control, const char* verb, const std::string& argument) {
    std::string command;
    if (!ftp_command_build(&command, verb, argument))
        return -2;
    return control->Write(command.data(), static_cast<int>(command.size())) == -1 ? -1 : 0;
}

int ftp_login(FtpControl* control, int timeout, const std::string& user,
              const std::string& password) {
    std::string ignored;
    if (!ftp_command_build(&ignored, "USER", user) || !ftp_command_build(&ignored, "PASS", password))
        return FTP_LOGIN_BAD_INPUT;

    ftp_reply_t reply;
    int code = command_reply(control, timeout, "USER", user, &reply);
    if (code == -1)
        return FTP_LOGIN_NO_REPLY;
    if (code >= 500 && code <= 599)
        return FTP_LOGIN_BAD_USER;
    if (code == 331) {
        code = command_reply(control, timeout, "PASS", password, &reply);
        if (code < 200 || code > 299)
            return FTP_LOGIN_BAD_PASSWORD;
    } else if (code != 230) {
        return FTP_LOGIN_NO_REPLY;
    }
    code = command_reply(control, timeout, "TYPE", "I", &reply);
    return code == 200 || code == 0 ? FTP_LOGIN_OK : FTP_LOGIN_NO_TYPE;
}

int ftp_action_run(FtpControl* control, int timeout, const std::string& action,
                   const std::string& argument, const std::string& filename, ftp_reply_t* reply) {
    ftp_reply_t own;
    if (reply == NULL)
        reply = &own;
    ftp_reply_start(reply);

    const char* verb = NULL;
    const std::string* operand = NULL;
    if (action == "mkdir") {
        verb = "MKD";
        operand = &argument;
    } else if (action == "raw") {
        operand = &argument;
    } else if (action == "delete") {
        verb = "DELE";
        operand = &filename;
    } else if (action == "rmdir") {
        verb = "RMD";
        operand = &filename;
    } else if (action == "rename") {
        if (argument.empty() || filename.empty())
            return 1;
        std::string ignored;
        if (!ftp_command_build(&ignored, "RNTO", argument))
            return -2;
        int code = command_reply(control, timeout, "RNFR", filename, reply);
        if (code < 0)
            return code;
        if (code != 350)
            return 0;
        operand = &argument;
        verb = "RNTO";
    } else {
        return 1;
    }
    if (operand->empty())
        return 1;
    int code = command_reply(control, timeout, verb, *operand, reply);
    if (code < 0)
        return code;
    return code >= 200 && code <= 299 ? 1 : 0;
}

int ftp_pasv_port(const char* line) {
    const char* p = line == NULL ? NULL : strchr(line, '(');
    if (p == NULL)
        return -1;
    p++;
    int numbers[6];
    int found = 0;
    while (found < 6) {
        while (*p == ' ' || *p == ',')
            p++;
        if (!is_digit(*p))
            return -1;
        int value = 0;
        int digits = 0;
        while (is_digit(*p)) {
            value = value * 10 + (*p++ - '0');
            if (++digits > 3)
                return -1;
        }
        if (value > 255)
            return -1;
        numbers[found++] = value;
        while (*p == ' ')
            p++;
        if (found < 6 && *p != ',')
            return -1;
    }
    // The sixth number must not run on into more numbers.
    if (*p == ',') {
        const char* rest = p;
        while (*rest == ',' || *rest == ' ')
            rest++;
        if (is_digit(*rest))
            return -1;
    }
    return numbers[4] * 256 + numbers[5];
}

bool ftp_pasv_target(const struct sockaddr_storage* control_peer, int port,
                     struct sockaddr_storage* target) {
    if (port < 1 || port > 65535)
        return false;
    if (control_peer->ss_family == AF_INET) {
        *target = *control_peer;
        reinterpret_cast<struct sockaddr_in*>(target)->sin_port = htons(static_cast<uint16_t>(port));
        return true;
    }
    if (control_peer->ss_family == AF_INET6) {
        *target = *control_peer;
        reinterpret_cast<struct sockaddr_in6*>(target)->sin6_port =
            htons(static_cast<uint16_t>(port));
        return true;
    }
    return false;
}

bool ftp_data_peer_allowed(const struct sockaddr_storage* control_peer,
                           const struct sockaddr_storage* data_peer) {
    if (control_peer->ss_family != data_peer->ss_family)
        return false;
    if (control_peer->ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const struct sockaddr_in*>(control_peer);
        const auto* b = reinterpret_cast<const struct sockaddr_in*>(data_peer);
        return a->sin_addr.s_addr == b->sin_addr.s_addr;
    }
    if (control_peer->ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const struct sockaddr_in6*>(control_peer);
        const auto* b = reinterpret_cast<const struct sockaddr_in6*>(data_peer);
        return memcmp(&a->sin6_addr, &b->sin6_addr, sizeof a->sin6_addr) == 0;
    }
    return false;
}

void ftp_path_split(const std::string& path, std::string* directory, std::string* file) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        *directory = "/";
        *file = path;
        return;
    }
    *directory = path.substr(0, slash + 1);
    *file = path.substr(slash + 1);
}

int ftp_sort_choice(const std::string& order, const std::string& field, int default_order,
                    int default_field, int* sort_order, int* sort_field) {
    static const char* const ORDERS[] = {"ascending", "descending"};
    static const char* const FIELDS[] = {NULL, "name", "size", "date"};
    int chosen_order = -1;
    int chosen_field = -1;
    for (int i = 0; i < 2; i++)
        if (order == ORDERS[i])
            chosen_order = i;
    for (int i = DIR_SORT_NAME; i <= DIR_SORT_DATE; i++)
        if (field == FIELDS[i])
            chosen_field = i;
    if (chosen_order == -1 || chosen_field == -1) {
        chosen_order = default_order == 0 ? DIR_SORT_ASCENDING : DIR_SORT_DESCENDING;
        chosen_field = default_field;
    }
    if (chosen_field < DIR_SORT_NAME || chosen_field > DIR_SORT_DATE)
        return 0;
    *sort_order = chosen_order;
    *sort_field = chosen_field;
    return 1;
}
