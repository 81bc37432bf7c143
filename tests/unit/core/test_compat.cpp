// Descriptor wrappers, descriptor-shortage handling, directory making and the
// portability layer.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/compat.h"
#include "core/log.h"
#include "core/mem.h"

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool is_directory(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool exists(const std::string& path)
{
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

// Runs `body` in a forked child so that what it changes (descriptor limit,
// mount namespace, descriptors it leaks) stays there. The child's text comes
// back to the parent: empty means success, "SKIP: ..." means the machine
// cannot run the check, anything else is the failure. A watchdog ends a child
// that hangs (a deadlock must fail the test, not stall the suite).
std::string run_in_child(const std::function<std::string()>& body)
{
    int channel[2];
    if (pipe(channel) == -1)
        return std::string("pipe failed: ") + strerror(errno);
    fflush(NULL);
    pid_t child = fork();
    if (child == -1)
        return std::string("fork failed: ") + strerror(errno);
    if (child == 0) {
        close(channel[0]);
        alarm(60);
        std::string verdict = body();
        size_t written = 0;
        while (written < verdict.size()) {
            ssize_t n = write(channel[1], verdict.data() + written, verdict.size() - written);
            if (n <= 0)
                break;
            written += (size_t)n;
        }
        _exit(0);
    }
    close(channel[1]);
    std::string verdict;
    char piece[512];
    ssize_t n;
    while ((n = read(channel[0], piece, sizeof(piece))) > 0)
        verdict.append(piece, (size_t)n);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status))
        return verdict + " [child ended by signal " + std::to_string(WTERMSIG(status)) + "]";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return verdict + " [child exited with " + std::to_string(WEXITSTATUS(status)) + "]";
    return verdict;
}

#define EXPECT_CHILD_OK(body)                                                           \
    do {                                                                                \
        std::string verdict_ = run_in_child(body);                                      \
        if (verdict_.rfind("SKIP: ", 0) == 0)                                           \
            GTEST_SKIP() << verdict_;                                                   \
        EXPECT_EQ("", verdict_);                                                        \
    } while (0)

// Lowers this process's descriptor limit to what it uses now, so the next
// descriptor it asks for fails with EMFILE. Returns "" or the reason it could
// not.
std::string exhaust_descriptors()
{
    // Fill every hole below the highest open descriptor, then cap the limit
    // right above it.
    std::vector<int> fillers;
    int highest = -1;
    for (int fd = 0; fd < 4096; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            highest = fd;
    for (;;) {
        int fd = open("/dev/null", O_RDONLY);
        if (fd == -1)
            return std::string("cannot fill descriptors: ") + strerror(errno);
        if (fd > highest) {
            close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == -1)
        return "getrlimit failed";
    limit.rlim_cur = (rlim_t)(highest + 1);
    if (setrlimit(RLIMIT_NOFILE, &limit) == -1)
        return std::string("setrlimit failed: ") + strerror(errno);
    int probe = open("/dev/null", O_RDONLY);
    if (probe != -1 || errno != EMFILE)
        return "descriptor limit did not take effect";
    return "";
}

const char* SHORTAGE_LINE = "error: failure opening file descriptor, attempting to free resources";

// Each test works in its own temporary folder, with the error log written
// there (not echoed) so the test can read exactly what was logged.
class CompatTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        close_log();
        char pattern[] = "/tmp/kestrivan-compat-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        folder_ = pattern;
        log_path_ = folder_ + "/error.log";
        snprintf(logfile, sizeof(logfile), "%s", log_path_.c_str());
        daemonize = 1;
        loglevel = 0x07FFFFFF;
        umask(022);
        ASSERT_NE(nullptr, getcwd(saved_cwd_, sizeof(saved_cwd_)));
        ASSERT_EQ(0, chdir(folder_.c_str()));
    }

    void TearDown() override
    {
        close_log();
        if (chdir(saved_cwd_) == -1)
            ADD_FAILURE() << "cannot return to " << saved_cwd_;
        nftw(folder_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }

    // The error log stays open between lines; each test starts its own.
    static void close_log()
    {
        if (logfd != -1)
            close(logfd);
        logfd = -1;
        logsize = 0;
    }

    std::string logged() const { return read_file(log_path_); }

    // Opens the error log now, so that later lines do not need a new
    // descriptor; the marker separates set-up from what the test logs.
    void open_log()
    {
        putlog(LOG_ADVICE, "test begins");
        ASSERT_NE(-1, logfd);
    }

    std::string after_marker() const
    {
        std::string text = logged();
        size_t marker = text.find("test begins\n");
        return marker == std::string::npos ? text : text.substr(marker + 12);
    }

    std::string folder_;
    std::string log_path_;
    char saved_cwd_[4096];
};

// --- openers ---------------------------------------------------------------

TEST_F(CompatTest, OpenersReturnTheSystemResultAndStaySilentOnOrdinaryFailure)
{
    ASSERT_EQ(0, mkdir("present", 0755));
    ASSERT_TRUE(std::ofstream("present/file") << "x");

    int fd = s_open("present/file", O_RDONLY, 0);
    EXPECT_GE(fd, 0);
    close(fd);
    fd = s_open64("present/new", O_RDWR | O_CREAT, 0640);
    EXPECT_GE(fd, 0);
    close(fd);
    FILE* file = s_fopen("present/file", "r");
    EXPECT_NE(nullptr, file);
    if (file != nullptr)
        fclose(file);
    DIR* directory = s_opendir("present");
    EXPECT_NE(nullptr, directory);
    if (directory != nullptr)
        closedir(directory);
    fd = s_socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_GE(fd, 0);
    close(fd);

    struct Case {
        const char* what;
        std::function<bool()> failed;
        int expected_errno;
    };
    const Case cases[] = {
        {"s_open missing", [] { return s_open("missing", O_RDONLY, 0) == -1; }, ENOENT},
        {"s_open64 missing", [] { return s_open64("missing", O_RDONLY, 0) == -1; }, ENOENT},
        {"s_fopen missing", [] { return s_fopen("missing", "r") == nullptr; }, ENOENT},
        {"s_opendir missing", [] { return s_opendir("missing") == nullptr; }, ENOENT},
        {"s_opendir of a file", [] { return s_opendir("present/file") == nullptr; }, ENOTDIR},
        {"s_socket bad family", [] { return s_socket(12345, SOCK_STREAM, 0) == -1; },
         EAFNOSUPPORT},
    };
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_TRUE(c.failed()) << c.what;
        EXPECT_EQ(c.expected_errno, errno) << c.what;
    }
    EXPECT_EQ("", logged());
}

// --- accept ----------------------------------------------------------------

int loopback_listener(struct sockaddr_in* bound)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener == -1)
        return -1;
    memset(bound, 0, sizeof(*bound));
    bound->sin_family = AF_INET;
    bound->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(*bound);
    if (bind(listener, (struct sockaddr*)bound, sizeof(*bound)) == -1
        || listen(listener, 8) == -1
        || getsockname(listener, (struct sockaddr*)bound, &length) == -1) {
        close(listener);
        return -1;
    }
    return listener;
}

int connect_to(const struct sockaddr_in& address)
{
    int client = socket(AF_INET, SOCK_STREAM, 0);
    if (client != -1 && connect(client, (const struct sockaddr*)&address, sizeof(address)) == -1) {
        close(client);
        return -1;
    }
    return client;
}

TEST_F(CompatTest, AcceptTakesAWaitingConnectionWithItsAddress)
{
    struct sockaddr_in bound;
    int listener = loopback_listener(&bound);
    ASSERT_NE(-1, listener);
    int client = connect_to(bound);
    ASSERT_NE(-1, client);

    struct sockaddr_in peer;
    socklen_t length = sizeof(peer);
    int accepted = s_accept(listener, (struct sockaddr*)&peer, &length);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(sizeof(peer), length);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), peer.sin_addr.s_addr);
    close(accepted);
    close(client);
    close(listener);
    EXPECT_EQ("", logged());
}

TEST_F(CompatTest, AcceptIsSilentOnANonSocketAndLogsOtherFailures)
{
    int file = open("plain", O_RDWR | O_CREAT, 0600);
    ASSERT_NE(-1, file);
    errno = 0;
    EXPECT_EQ(-1, s_accept(file, nullptr, nullptr));
    EXPECT_EQ(ENOTSOCK, errno);
    EXPECT_EQ("", logged());
    close(file);

    int unlistened = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(-1, unlistened);
    errno = 0;
    EXPECT_EQ(-1, s_accept(unlistened, nullptr, nullptr));
    EXPECT_EQ(EINVAL, errno) << "the caller sees the errno of accept, not of the log";
    close(unlistened);
    std::string text = logged();
    EXPECT_NE(std::string::npos,
              text.find("error: [system: accept:22:Invalid argument], in s_accept, unable to "
                        "connect on a socket\n"))
        << text;
    EXPECT_EQ(std::string::npos, text.find(SHORTAGE_LINE)) << "no shedding for other errors";
}

// --- descriptor shortage ---------------------------------------------------

TEST_F(CompatTest, ShortageShedsPoolsRetriesOnceAndLogsTheSecondFailure)
{
    ASSERT_TRUE(std::ofstream("present") << "x");
    ASSERT_EQ(0, mkdir("folder", 0755));
    open_log();

    struct Case {
        const char* what;
        std::function<bool()> failed; // true when the wrapper returned its failure
        const char* failure_line;
    };
    const Case cases[] = {
        {"s_open", [] { return s_open("present", O_RDONLY, 0) == -1; },
         "error: [system: open:24:Too many open files], in s_open, failed to open file present\n"},
        {"s_open64", [] { return s_open64("present", O_RDONLY, 0) == -1; },
         "error: [system: open64:24:Too many open files], in s_open64, failed to open file "
         "present\n"},
        {"s_fopen", [] { return s_fopen("present", "r") == nullptr; },
         "error: [system: fopen:24:Too many open files], in s_fopen, unable to open file\n"},
        {"s_opendir", [] { return s_opendir("folder") == nullptr; },
         "error: [system: opendir:24:Too many open files], in s_opendir, unable to open "
         "directory\n"},
        {"s_socket", [] { return s_socket(AF_INET, SOCK_STREAM, 0) == -1; },
         "error: [system: socket:24:Too many open files], in s_socket unable to create socket\n"},
    };
    for (const Case& c : cases) {
        size_t before = logged().size();
        std::string verdict = run_in_child([&c] {
            std::string reason = exhaust_descriptors();
            if (!reason.empty())
                return "SKIP: " + reason;
            errno = 0;
            if (!c.failed())
                return std::string("succeeded although no descriptor is left");
            if (errno != EMFILE)
                return std::string("errno after the second try is ") + strerror(errno);
            return std::string();
        });
        if (verdict.rfind("SKIP: ", 0) == 0)
            GTEST_SKIP() << verdict;
        EXPECT_EQ("", verdict) << c.what;
        std::string lines = logged().substr(before);
        std::string expected = std::string(SHORTAGE_LINE) + "\n";
        size_t shed_at = lines.find(expected);
        ASSERT_NE(std::string::npos, shed_at) << c.what << ":\n" << lines;
        // The retry's failure comes after the shedding, exactly once.
        size_t failure_at = lines.find(c.failure_line);
        EXPECT_NE(std::string::npos, failure_at) << c.what << ":\n" << lines;
        EXPECT_GT(failure_at, shed_at) << c.what;
        EXPECT_EQ(std::string::npos, lines.find(c.failure_line, failure_at + 1)) << c.what;
        EXPECT_EQ(std::string::npos, lines.find(expected, shed_at + 1))
            << c.what << ": shed more than once";
    }
}

TEST_F(CompatTest, AcceptUnderShortageLogsShedsAndTriesOnceMore)
{
    struct sockaddr_in bound;
    int listener = loopback_listener(&bound);
    ASSERT_NE(-1, listener);
    int client = connect_to(bound);
    ASSERT_NE(-1, client);
    open_log();

    EXPECT_CHILD_OK([listener] {
        std::string reason = exhaust_descriptors();
        if (!reason.empty())
            return "SKIP: " + reason;
        struct sockaddr_in peer;
        socklen_t length = sizeof(peer);
        errno = 0;
        if (s_accept(listener, (struct sockaddr*)&peer, &length) != -1)
            return std::string("accepted although no descriptor is left");
        if (errno != EMFILE)
            return std::string("errno after the second try is ") + strerror(errno);
        return std::string();
    });
    const std::string accept_line = "error: [system: accept:24:Too many open files], in s_accept, "
                                    "unable to connect on a socket\n";
    std::string lines = after_marker();
    size_t first = lines.find(accept_line);
    size_t shed = lines.find(SHORTAGE_LINE);
    ASSERT_NE(std::string::npos, first) << lines;
    ASSERT_NE(std::string::npos, shed) << lines;
    size_t second = lines.find(accept_line, first + 1);
    EXPECT_LT(first, shed) << "the failure is logged before anything else";
    EXPECT_NE(std::string::npos, second) << lines;
    EXPECT_GT(second, shed);

    // The connection still waits: with descriptors back, it is taken.
    int accepted = s_accept(listener, nullptr, nullptr);
    EXPECT_GE(accepted, 0);
    close(accepted);
    close(client);
    close(listener);
}

TEST_F(CompatTest, ErrorLogOpenedDuringAShortageDoesNotDeadlock)
{
    // The log is not open yet: putlog opens it through s_open64, whose
    // shedding logs again from inside putlog. That must come back.
    ASSERT_EQ(-1, logfd);
    EXPECT_CHILD_OK([] {
        std::string reason = exhaust_descriptors();
        if (!reason.empty())
            return "SKIP: " + reason;
        putlog(LOG_ERROR, "line while descriptors are short");
        if (s_socket(AF_INET, SOCK_STREAM, 0) != -1)
            return std::string("socket succeeded although no descriptor is left");
        return std::string();
    });
}

TEST_F(CompatTest, ShortageHandlersLogTheirLineAndKeepErrno)
{
    open_log();
    struct Case {
        void (*handler)();
        const char* line;
    };
    const Case cases[] = {
        {fd_failure, SHORTAGE_LINE},
        {client_pool_failure, "error: flushing client pool, attempting to free resources"},
        {server_pool_failure, "error: flushing outbound connections, attempting to free resources"},
    };
    for (const Case& c : cases) {
        size_t before = logged().size();
        errno = EMFILE;
        c.handler();
        EXPECT_EQ(EMFILE, errno) << c.line;
        std::string lines = logged().substr(before);
        EXPECT_NE(std::string::npos, lines.find(std::string(c.line) + "\n")) << lines;
    }
}

// --- create_recursive_directory ---------------------------------------------

TEST_F(CompatTest, RecursiveDirectoryMakesEveryPiece)
{
    struct Case {
        std::string given;    // relative to the test folder unless absolute
        std::string expected; // the deepest directory that must stand afterwards
    };
    const Case cases[] = {
        {"a/b", folder_ + "/a/b"},                   // relative: from the working directory
        {"./c//d/", folder_ + "/c/d"},               // empty pieces and a trailing '/' skipped
        {folder_ + "/e/f/g", folder_ + "/e/f/g"},    // absolute
        {"//" + folder_ + "///h", folder_ + "/h"},   // doubled separators
        {"a/b", folder_ + "/a/b"},                   // an existing tree is fine
        {"a/../i", folder_ + "/i"},                  // the system resolves ".."
    };
    for (const Case& c : cases) {
        EXPECT_EQ(1, create_recursive_directory(c.given.c_str())) << c.given;
        EXPECT_TRUE(is_directory(c.expected)) << c.given;
    }

    struct stat status;
    ASSERT_EQ(0, stat((folder_ + "/e/f").c_str(), &status));
    EXPECT_EQ(0755u, status.st_mode & 07777);
    EXPECT_EQ("", logged());
}

TEST_F(CompatTest, RecursiveDirectoryPathLimitIsAnErrorNotACut)
{
    // Exactly the limit is made; one character more is refused before
    // anything is made, and said so.
    std::string at_limit = "p/";
    while (at_limit.size() < CREATE_DIRECTORY_PATH_MAX)
        at_limit += "q";
    ASSERT_EQ((size_t)CREATE_DIRECTORY_PATH_MAX, at_limit.size());
    std::string over_limit = "r/" + at_limit.substr(2) + "q";
    ASSERT_EQ((size_t)CREATE_DIRECTORY_PATH_MAX + 1, over_limit.size());

    EXPECT_EQ(1, create_recursive_directory(at_limit.c_str()));
    EXPECT_TRUE(is_directory(at_limit));
    errno = 0;
    EXPECT_EQ(-1, create_recursive_directory(over_limit.c_str()));
    EXPECT_EQ(ENAMETOOLONG, errno);
    EXPECT_FALSE(exists("r")) << "a refused path must not be made in part";
    EXPECT_NE(std::string::npos,
              logged().find("error: [system: mkdir:36:File name too long], in "
                            "create_recursive_directory, failed to create directory "
                            + over_limit + "\n"));
}

TEST_F(CompatTest, RecursiveDirectoryRefusesWhatCannotBeADirectory)
{
    ASSERT_TRUE(std::ofstream("file") << "x");
    struct Case {
        const char* given;
        int expected_errno;
    };
    const Case cases[] = {
        {"file", ENOTDIR},     // the last piece exists but is no directory
        {"file/sub", ENOTDIR}, // a middle piece is a file
        {"", ENOENT},
    };
    for (const Case& c : cases) {
        size_t before = logged().size();
        errno = 0;
        EXPECT_EQ(-1, create_recursive_directory(c.given)) << c.given;
        EXPECT_EQ(c.expected_errno, errno) << c.given;
        std::string expected = std::string("error: [system: mkdir:") + std::to_string(c.expected_errno)
                               + ":" + strerror(c.expected_errno)
                               + "], in create_recursive_directory, failed to create directory "
                               + c.given + "\n";
        EXPECT_NE(std::string::npos, logged().substr(before).find(expected)) << logged();
    }
    EXPECT_EQ(-1, create_recursive_directory(nullptr));
    EXPECT_EQ(ENOENT, errno);
}

// --- portability wrappers ---------------------------------------------------

TEST(CompatPortability, MremapMovesWhenItCannotGrowInPlace)
{
    long page = sysconf(_SC_PAGESIZE);
    char* region = static_cast<char*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, region);
    // The second page blocks growth in place, so only a move can succeed.
    strcpy(region, "kept");
    char* grown = static_cast<char*>(p_mremap(region, page, 16 * page, 0));
    ASSERT_NE(MAP_FAILED, grown);
    EXPECT_NE(region, grown);
    EXPECT_STREQ("kept", grown);
    grown[16 * page - 1] = 1;
    munmap(grown, 16 * page);
    munmap(region + page, page);
}

TEST(CompatPortability, EnvironmentAndPoll)
{
    EXPECT_EQ(0, p_setenv("KESTRIVAN_COMPAT", "one", 1));
    EXPECT_EQ(0, p_setenv("KESTRIVAN_COMPAT", "two", 0));
    EXPECT_STREQ("one", getenv("KESTRIVAN_COMPAT"));
    EXPECT_EQ(0, p_clearenv());
    EXPECT_EQ(nullptr, getenv("KESTRIVAN_COMPAT"));
    EXPECT_EQ(nullptr, getenv("PATH"));

    int channel[2];
    ASSERT_EQ(0, pipe(channel));
    struct pollfd wait_for = {channel[0], POLLIN, 0};
    EXPECT_EQ(0, p_poll(&wait_for, 1, 0));
    ASSERT_EQ(1, write(channel[1], "x", 1));
    EXPECT_EQ(1, p_poll(&wait_for, 1, 0));
    EXPECT_TRUE(wait_for.revents & POLLIN);
    close(channel[0]);
    close(channel[1]);
}

// --- resolver ---------------------------------------------------------------

std::string expect_loopback(const char* name)
{
    HOSTENT* host = p_gethostbyname(name);
    if (host == nullptr)
        return std::string(name) + " did not resolve";
    std::string verdict;
    unsigned char expected[4] = {127, 0, 0, 1};
    if (host->length != 4 || memcmp(host->addr, expected, 4) != 0)
        verdict = std::string(name) + " resolved to something other than 127.0.0.1";
    hostent_free(host);
    return verdict;
}

TEST(CompatResolver, LocalhostResolvesToLoopback)
{
    EXPECT_EQ("", expect_loopback("localhost"));
    EXPECT_EQ(nullptr, p_gethostbyname(nullptr));
}

// In a private mount namespace the child sees its own hosts table and a
// resolver that reads only files, so nothing leaves the machine: the
// localhost entry carries enough aliases to overflow the first work area,
// and an unknown name is answered from the files alone.
TEST(CompatResolver, LargeEntryGrowsTheWorkAreaAndUnknownNameGivesNull)
{
    char pattern[] = "/tmp/kestrivan-hosts-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    std::string folder = pattern;
    {
        std::ofstream hosts(folder + "/hosts");
        hosts << "127.0.0.1 localhost";
        for (int i = 0; i < 300; ++i)
            hosts << " kestrivan-loopback-alias-" << i;
        hosts << "\n";
        std::ofstream(folder + "/nsswitch.conf") << "hosts: files\n";
    }
    EXPECT_CHILD_OK([&folder] {
        if (unshare(CLONE_NEWNS) == -1)
            return std::string("SKIP: no private mount namespace: ") + strerror(errno);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1
            || mount((folder + "/hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == -1
            || mount((folder + "/nsswitch.conf").c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND,
                     nullptr)
                   == -1)
            return std::string("SKIP: cannot bind the test hosts table: ") + strerror(errno);
        std::string verdict = expect_loopback("localhost");
        if (verdict.empty())
            verdict = expect_loopback("kestrivan-loopback-alias-299");
        if (verdict.empty() && p_gethostbyname("kestrivan-unknown-host") != nullptr)
            verdict = "an unknown name resolved";
        return verdict;
    });
    unlink((folder + "/hosts").c_str());
    unlink((folder + "/nsswitch.conf").c_str());
    rmdir(folder.c_str());
}

} // namespace
