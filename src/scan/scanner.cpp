#include "scan/scanner.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "cache/cache.h"
#include "config/general.h"
#include "core/compat.h"
#include "core/filebuf.h"
#include "net/network.h"

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

ScanTempFile::~ScanTempFile() {
    if (!file_path.empty())
        unlink(file_path.c_str());
}

bool ScanTempFile::create(const Filebuf* body, const char* prefix) {
    std::string directory = general_section != NULL ? general_section->tempdir_get() : "/tmp";
    std::string path = directory + "/" + prefix + "XXXXXX";
    int fd = mkostemp(&path[0], O_CLOEXEC);
    if (fd == -1) {
        putlog(LOG_ERROR, "[system: mkstemp:%d:%s], in %s, failed to create temporary file %s",
               errno, strerror(errno), __func__, path.c_str());
        return false;
    }
    bool written = true;
    if (body != NULL && body->size > 0) {
        unsigned done = 0;
        while (done < body->size) {
            ssize_t result = write(fd, body->data + done, body->size - done);
            if (result == -1 && errno == EINTR)
                continue;
            if (result <= 0) {
                putlog(LOG_ERROR, "[system: write:%d:%s], in %s, failed to write temporary file %s",
                       errno, strerror(errno), __func__, path.c_str());
                written = false;
                break;
            }
            done += static_cast<unsigned>(result);
        }
    }
    if (close(fd) == -1 && written) {
        putlog(LOG_ERROR, "[system: close:%d:%s], in %s, failed to write temporary file %s", errno,
               strerror(errno), __func__, path.c_str());
        written = false;
    }
    if (!written) {
        unlink(path.c_str());
        return false;
    }
    file_path = path;
    return true;
}
