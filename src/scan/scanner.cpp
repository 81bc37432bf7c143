#include "scan/scanner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "cache/cache.h"
#include "config/general.h"
#include "core/compat.h"
#include "core/filebuf.h"
#include "net/network.h"
#include "net/socket.h"

// Fields 0 to 3 as the filters read them, or enabled, comment and profiles
// at 0 to 2 for rules that name no user groups.
static RuleScope scope_of(const Item& item, ScanRule::Scoping scoping) {
    if (scoping == ScanRule::GROUPS_AND_PROFILES)
        return RuleScope(item);
    RuleScope scope;
    scope.enabled = item.fields.at(0).value;
    scope.comment = item.fields.at(1).text;
    scope.profiles = item.fields.at(2).list;
    return scope;
}

ScanRule::ScanRule(const Item& item, Scoping scoping)
    : RuleScope(scope_of(item, scoping)),
      template_name(item.fields.at(scoping == GROUPS_AND_PROFILES ? 4 : 3).text),
      next_field(scoping == GROUPS_AND_PROFILES ? 5 : 4) {}

bool scan_cached_clean(CONNECTION_T* connection) {
    return !(connection->flags & CONN_CACHE_STORE) && connection->cachemap != NULL &&
           cache_section != NULL &&
           (cache_section->flag_get(connection->cachemap) & CACHE_CLEAN) != 0;
}

void scan_incomplete(CONNECTION_T* connection) {
    connection->flags |= CONN_SCAN_INCOMPLETE;
}

int scan_virus_block(CONNECTION_T* connection, const std::string& page, const char* scanner,
                     const char* filter_name, const std::string& virus_name) {
    BlockNotice notice;
    notice.label = "Antivirus";
    notice.has_reason = true;
    notice.reason = virus_name;
    notice.variables = {{"AVSCANNER", scanner}, {"VIRUSNAME", virus_name}};
    notice.page = page;
    notice.filter_name = filter_name;
    notice.log_reason = virus_name;
    block_send(connection, notice);
    return SCAN_BLOCKED;
}

// Send and receive time limits of a scanner descriptor. A unix-domain
// connect also waits no longer than the send limit.
static void scan_io_limits(int fd, int timeout) {
    if (timeout <= 0)
        return;
    struct timeval limit = {timeout, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

static int scan_connect_unix(const char* path, int timeout) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    // A cut path would name another socket: refuse it instead.
    if (strlen(path) >= sizeof address.sun_path)
        return -1;
    memcpy(address.sun_path, path, strlen(path) + 1);
    int fd = s_socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return -2;
    scan_io_limits(fd, timeout);
    int result;
    do {
        result = connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address);
    } while (result == -1 && errno == EINTR);
    if (result == -1) {
        int error = errno;
        close(fd);
        errno = error;
        return -2;
    }
    return fd;
}

int scan_connect(const char* address, int port, int timeout) {
    if (address == NULL || address[0] == '\0')
        return -1;
    if (address[0] == '/')
        return scan_connect_unix(address, timeout);
    int fd = net_connect(address, port, timeout > 0 ? timeout : -1);
    if (fd >= 0)
        scan_io_limits(fd, timeout);
    return fd;
}

int scan_timeout(CONNECTION_T* connection) {
    if (general_section == NULL)
        return 60;
    return general_section->timeout_get(connection);
}

std::string scan_printable(const char* text, size_t length) {
    std::string out(text, length);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

static int64_t monotonic_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A daemon must never hold a worker for ever, whatever the settings say.
static const int SCAN_DEFAULT_TIMEOUT = 60;
static const size_t SCAN_SEND_PIECE = 65536;

ScanChannel::ScanChannel(int fd, int timeout)
    : socket_(new Socket(fd)), timeout_(timeout > 0 ? timeout : SCAN_DEFAULT_TIMEOUT) {
    // Sends wait in poll, never in a blocking write.
    socket_->Blocking(false);
    deadline_ms_ = monotonic_ms() + static_cast<int64_t>(timeout_) * 1000;
}

ScanChannel::~ScanChannel() {
    delete socket_;
}

scan_io_t ScanChannel::send(const char* data, size_t length) {
    scan_io_t outcome = SCAN_IO_DONE;
    while (outcome == SCAN_IO_DONE && length > 0) {
        // Pieces of a size the socket's write buffer may take whole.
        int piece = length > SCAN_SEND_PIECE ? static_cast<int>(SCAN_SEND_PIECE)
                                             : static_cast<int>(length);
        if (socket_->Write(data, piece) == -1) {
            error_ = errno;
            outcome = SCAN_IO_FAILED;
            break;
        }
        data += piece;
        length -= static_cast<size_t>(piece);
        // What could not go at once waits in the socket's write buffer and
        // goes as the daemon takes it.
        while (socket_->write_pending > 0) {
            struct pollfd entry = {socket_->fd, POLLOUT, 0};
            int ready = poll(&entry, 1, timeout_ * 1000);
            if (ready == -1 && errno == EINTR)
                continue;
            if (ready == 0) {
                outcome = SCAN_IO_TIMED_OUT;
                break;
            }
            if (ready == -1 || socket_->Write(NULL, -1) == -1) {
                error_ = errno;
                outcome = SCAN_IO_FAILED;
                break;
            }
        }
    }
    if (outcome != SCAN_IO_DONE) {
        // Nothing of it may hold the thread when the socket is closed.
        socket_->Clear(1);
        return outcome;
    }
    deadline_ms_ = monotonic_ms() + static_cast<int64_t>(timeout_) * 1000;
    return SCAN_IO_DONE;
}

// One read of at most `room` bytes appended to *into, waiting no later than
// the deadline.
scan_io_t ScanChannel::receive(std::string* into, size_t room) {
    int64_t left_ms = deadline_ms_ - monotonic_ms();
    if (left_ms <= 0)
        return SCAN_IO_TIMED_OUT;
    char piece[16384];
    int want = room < sizeof piece ? static_cast<int>(room) : static_cast<int>(sizeof piece);
    errno = 0;
    int got = socket_->Read(piece, want, static_cast<int>((left_ms + 999) / 1000));
    if (got > 0) {
        into->append(piece, static_cast<size_t>(got));
        return SCAN_IO_DONE;
    }
    if (got == 0)
        return SCAN_IO_CLOSED;
    if (errno == 0 || errno == EAGAIN || errno == EINTR)
        return SCAN_IO_TIMED_OUT;
    error_ = errno;
    return SCAN_IO_FAILED;
}

scan_io_t ScanChannel::read_until(char terminator, size_t limit, std::string* text) {
    size_t searched = 0;
    for (;;) {
        size_t at = pending_.find(terminator, searched);
        if (at != std::string::npos && at <= limit) {
            text->assign(pending_, 0, at);
            pending_.erase(0, at + 1);
            return SCAN_IO_DONE;
        }
        if (pending_.size() > limit) {
            text->assign(pending_, 0, limit);
            pending_.clear();
            return SCAN_IO_TOO_LONG;
        }
        searched = pending_.size();
        scan_io_t outcome = receive(&pending_, limit + 1 - pending_.size());
        if (outcome != SCAN_IO_DONE) {
            text->swap(pending_);
            pending_.clear();
            return outcome;
        }
    }
}

scan_io_t ScanChannel::read_some(size_t limit, std::string* text) {
    size_t room = text->size() < limit ? limit - text->size() : 0;
    if (room == 0)
        return SCAN_IO_TOO_LONG;
    if (pending_.empty())
        return receive(text, room);
    size_t take = std::min(room, pending_.size());
    text->append(pending_, 0, take);
    pending_.erase(0, take);
    return SCAN_IO_DONE;
}

ScanTempFile::~ScanTempFile() {
    remove();
}

void ScanTempFile::remove() {
    if (!file_path.empty())
        unlink(file_path.c_str());
    if (!directory_path.empty())
        rmdir(directory_path.c_str());
    file_path.clear();
    directory_path.clear();
}

bool ScanTempFile::write_body(int fd, const Filebuf* body) {
    unsigned done = 0;
    while (body != NULL && done < body->size) {
        ssize_t result = write(fd, body->data + done, body->size - done);
        if (result == -1 && errno == EINTR)
            continue;
        if (result <= 0) {
            putlog(LOG_ERROR, "[system: write:%d:%s], in %s, failed to write temporary file %s",
                   errno, strerror(errno), __func__, file_path.c_str());
            close(fd);
            return false;
        }
        done += static_cast<unsigned>(result);
    }
    if (close(fd) == -1) {
        putlog(LOG_ERROR, "[system: close:%d:%s], in %s, failed to write temporary file %s", errno,
               strerror(errno), __func__, file_path.c_str());
        return false;
    }
    return true;
}

static std::string temporary_directory() {
    return general_section != NULL ? general_section->tempdir_get() : "/tmp";
}

bool ScanTempFile::create(const Filebuf* body, const char* prefix) {
    std::string path = temporary_directory() + "/" + prefix + "XXXXXX";
    int fd = mkostemp(&path[0], O_CLOEXEC);
    if (fd == -1) {
        putlog(LOG_ERROR, "[system: mkstemp:%d:%s], in %s, failed to create temporary file %s",
               errno, strerror(errno), __func__, path.c_str());
        return false;
    }
    file_path = path;
    if (!write_body(fd, body)) {
        remove();
        return false;
    }
    return true;
}

bool ScanTempFile::create_shared(const Filebuf* body, const char* prefix, gid_t group) {
    std::string directory = temporary_directory() + "/" + prefix + "XXXXXX";
    if (mkdtemp(&directory[0]) == NULL) {
        putlog(LOG_ERROR, "[system: mkdtemp:%d:%s], in %s, failed to create temporary directory %s",
               errno, strerror(errno), __func__, directory.c_str());
        return false;
    }
    directory_path = directory;
    std::string path = directory + "/" + prefix + "body";
    int fd = s_open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd == -1) {
        putlog(LOG_ERROR, "[system: open:%d:%s], in %s, failed to create temporary file %s", errno,
               strerror(errno), __func__, path.c_str());
        remove();
        return false;
    }
    file_path = path;
    if (group != getegid() && (fchown(fd, (uid_t)-1, group) == -1 ||
                               chown(directory.c_str(), (uid_t)-1, group) == -1))
        putlog(LOG_WARNING, "[system: chown:%d:%s], in %s, cannot give %s to group %u: the "
               "proxy's user must be a member of the scanner's group", errno, strerror(errno),
               __func__, directory.c_str(), static_cast<unsigned>(group));
    // The modes last: until the group is right nobody else may read.
    if (fchmod(fd, 0640) == -1 || chmod(directory.c_str(), 0750) == -1) {
        putlog(LOG_ERROR, "[system: chmod:%d:%s], in %s, failed to open %s to the scanner",
               errno, strerror(errno), __func__, directory.c_str());
        close(fd);
        remove();
        return false;
    }
    if (!write_body(fd, body)) {
        remove();
        return false;
    }
    return true;
}
