#include "core/daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "core/signals.h"
#include "core/threads.h"
#include "net/network.h"

char configfile[256];
char sectionfile[256];
char slogfile[256];
char elogfile[256];
char vantorifeed[256];
char proxyhost[256];
char listenip[16];
int listenport = 0;
char masterhost[256];
int masterport = 0;
char masteruser[256];
char masterpassword[256];
int slave = 0;
char syncsections[256];
char nosyncsections[256];
int syncinterval = 60;
char moduledir[256] = "/opt/kestrivan/modules/";
char username[256];
char group[256];
char pamfile[256] = "kestrivan";
unsigned password_cachesize = 8111;
int password_cachexpire = 600;
int authflag = 0;
int MAXTHREADS = THREAD_TABLE_SIZE;
int opt_stack = 0;
int max_opt_stack = 1048576;
int THREAD_TIMEOUT = 1;
int CLIENT_POOL_TIMEOUT = 1;
// 0 keeps the system's buffer sizes, and with them the kernel's autotuning:
// a fixed small size makes every large transfer wait on delayed ACKs.
int SND_BUF = 0;
int RCV_BUF = 0;
unsigned BLOCKSIZE = 8192;
int TCP_KEEPIDLE_TIME = 900;
int TCP_KEEPINTVL_TIME = 75;
int TCP_KEEPCNT_COUNTS = 9;
int overload_factor = 1;
char plogfile[512] = "/opt/kestrivan/kestrivan/logs/performance/performance.log";
unsigned clientid = 1;

const char* const product_banner = "Kestrivan filtering, authenticating, virus-scanning and caching proxy";
const char* const product_edition = "Kestrivan";
const char* const product_version = KESTRIVAN_VERSION;

static const int RELEASE_BUILD = 20120127;

int get_my_release_build() { return RELEASE_BUILD; }

static void help_line(const char* option, const char* text) {
    fprintf(stderr, " %-21s: %s\n", option, text);
}

void show_help(char** argv) {
    char text[512];
    fprintf(stderr, "\n%s\n", product_banner);
    fprintf(stderr, "\n%s", product_edition);
    fprintf(stderr, " - VERSION - %s - BUILD - %d", product_version, RELEASE_BUILD);
    fprintf(stderr, "\nUsage: %s [options]\n\n", argv[0]);
    help_line("-c <file>", "location of config file (required)");
    help_line("-s <file>", "location of section file (required)");
    help_line("-l <file>", "file to log activity to (native log)");
    help_line("-a <file>", "alternate format log file (access log)");
    help_line("-e <file>", "alternate format log file (extended log)");
    help_line("-H <hostname>", "proxy's hostname (overrides configuration file)");
    help_line("-L <ip:port>", "specify address and port to listen on");
    help_line("-M <[user:password@]host:port>",
              "master host and port to syncronize configuration from (with its interface login)");
    help_line("-S <sections>",
              "comma separated list of sections to syncronize from master (default: all sections)");
    help_line("-E <sections>",
              "comma separated list of sections to not syncronize from master (default: none)");
    help_line("-I <seconds>", "time interval between syncronization attempts to master");
    help_line("-m <dir>", "module directory");
    help_line("-p <file>", "PID file");
    help_line("-u <username>", "run as alternate user");
    help_line("-g <groupname>", "run in alternate group");
    snprintf(text, sizeof text, "set the file containing PAM directives (default: %s) ", "kestrivan");
    help_line("-x <pam>", text);
    snprintf(text, sizeof text, "set the maximum size and age of the password_cache (default: %d:%d)",
             8111, 600);
    help_line("-P <size:age>", text);
    snprintf(text, sizeof text,
             "specify the maximum number of allowed concurrent threads (less than: %d)",
             THREAD_TABLE_SIZE);
    help_line("-t <max_threads>", text);
    snprintf(text, sizeof text,
             "specify the base value for thread stacksize (Default of 20, sets the stack size to %d) ",
             1048576);
    help_line("-z <stack_size>", text);
    snprintf(text, sizeof text,
             "specify the time in seconds for a thread to wait for another connection (default: %d)",
             THREAD_TIMEOUT);
    help_line("-T <thread_timeout>", text);
    snprintf(text, sizeof text,
             "specify the minimum time in seconds for a Client socket to be presumed available "
             "(default: %d)",
             CLIENT_POOL_TIMEOUT);
    help_line("-C <socket_timeout>", text);
    snprintf(text, sizeof text, "specify the TCP Send and Receive Buffer sizes (default: %d:%d)",
             SND_BUF, RCV_BUF);
    help_line("-b <SND_BUF:RCV_BUF>", text);
    snprintf(text, sizeof text, "specify the TCP Keepalive parameters (default: %d:%d:%d)",
             TCP_KEEPIDLE_TIME, TCP_KEEPINTVL_TIME, TCP_KEEPCNT_COUNTS);
    fprintf(stderr, " -k <keepidle_time:keepalive_intvl:keepalive_count>  : %s\n", text);
    snprintf(text, sizeof text, "overload factor (default: %d)", 1);
    help_line("-o <overload_factor>", text);
    help_line("-J <log_size_limit>", "log file size limit in bytes (default: 52428800)");
    help_line("-j <process_old_logs>",
              "specify action to take when log file size exceeds log_size_limit (default: 0)");
    fputs(" Add any of the following to specify action to take when log file size exceeds "
          "log_size_limit:\n",
          stderr);
    fputs(" 0 = Delete old log files\n", stderr);
    fputs(" 1 = Compress old log files using gzip\n", stderr);
    fputs(" 2 = Do nothing, leave old log files, as they are\n", stderr);
    help_line("-f", "don't daemonize (log written to stdout)");
    help_line("-h", "show this help, message and exit ");
    help_line("-v", "show kestrivan version, and exit ");
    fprintf(stderr, " -d <level>           : set log level (default: %d)\n\n", loglevel);
    fputs(" Add any of the following to specify logging detail:\n", stderr);
    static const char* const category_words[] = {
        "requests", "network", "url filtering", "header filtering", "mime filtering",
        "cookie filtering", "redirections", "templates", "keyword filtering", "rewriting",
        "limits", "caching", "prefetching", "ICP", "forwarding", "config syncronization",
        "antivirus", "external parsers", "ICAP", "DNS blacklist", "URL blacklist",
        "URL commands", "modules", "security", "warnings", "errors", "profiles", "debug",
    };
    int bit = 1;
    for (const char* word : category_words) {
        fprintf(stderr, " %9d = %s\n", bit, word);
        bit <<= 1;
    }
}

// The port text of -L: decimal digits only, 1 to 65535.
static bool listen_port_text_valid(const char* text) {
    if (text[0] == '\0' || strspn(text, "0123456789") != strlen(text) || strlen(text) > 5)
        return false;
    return listen_port_valid(atoi(text));
}

// Splits "address:port" for -L and -M. The address must fit `size` bytes
// (terminator included); returns false when there is no ":" or it does not.
static bool split_host_port(const char* arg, char* host, size_t size, int* port) {
    const char* colon = strchr(arg, ':');
    if (colon == nullptr)
        return false;
    size_t length = static_cast<size_t>(colon - arg);
    if (length >= size)
        return false;
    memcpy(host, arg, length);
    host[length] = '\0';
    *port = atoi(colon + 1);
    return true;
}

// Splits "a:b[:c...]" into at most `count` parts; an empty part keeps the
// setting it stands for.
static void apply_colon_parts(const char* arg, int* const* targets, int count) {
    const char* part = arg;
    for (int i = 0; i < count && part != nullptr; i++) {
        const char* colon = strchr(part, ':');
        size_t length = colon == nullptr ? strlen(part) : static_cast<size_t>(colon - part);
        if (length > 0)
            *targets[i] = atoi(part);
        part = colon == nullptr ? nullptr : colon + 1;
    }
}

options_result parse_options(int argc, char** argv) {
    bool feed_from_log = false;
    opterr = 0; // unknown options are ignored without a complaint
    optind = 1;
    int option;
    while ((option = getopt(argc, argv, "c:s:l:a:e:H:L:M:S:E:I:m:p:u:g:x:P:t:z:T:C:b:k:o:J:j:r:d:fhv")) !=
           -1) {
        switch (option) {
        case 'c': s_strncpy(configfile, optarg, sizeof configfile); break;
        case 's': s_strncpy(sectionfile, optarg, sizeof sectionfile); break;
        case 'l':
            s_strncpy(logfile, optarg, sizeof logfile);
            feed_from_log = true;
            break;
        case 'a': s_strncpy(slogfile, optarg, sizeof slogfile); break;
        case 'e': s_strncpy(elogfile, optarg, sizeof elogfile); break;
        case 'H': s_strncpy(proxyhost, optarg, sizeof proxyhost); break;
        case 'L':
            if (!split_host_port(optarg, listenip, sizeof listenip, &listenport)) {
                show_help(argv);
                return OPTIONS_EXIT_USAGE;
            }
            // Anything else would quietly listen somewhere the operator did
            // not ask for: every interface, or a port wrapped round 65536.
            if (!listen_address_valid(listenip) || !listen_port_text_valid(strchr(optarg, ':') + 1)) {
                fprintf(stderr, "-L %s: give an IPv4 address and a port from 1 to 65535\n",
                        optarg);
                return OPTIONS_EXIT_USAGE;
            }
            break;
        case 'M': {
            const char* colon = strchr(optarg, ':');
            if (colon == nullptr)
                break;
            // "user:password@host:port": the master's interface login, as a
            // URL writes it (percent-encoded where needed).
            const char* at = strrchr(optarg, '@');
            const char* address = at != nullptr ? at + 1 : optarg;
            if (!split_host_port(address, masterhost, sizeof masterhost, &masterport)) {
                show_help(argv);
                return OPTIONS_EXIT_USAGE;
            }
            masteruser[0] = masterpassword[0] = '\0';
            if (at != nullptr) {
                std::string userinfo(optarg, static_cast<size_t>(at - optarg));
                size_t colon = userinfo.find(':');
                s_strncpy(masteruser, userinfo.substr(0, colon).c_str(), sizeof masteruser);
                if (colon != std::string::npos)
                    s_strncpy(masterpassword, userinfo.substr(colon + 1).c_str(),
                              sizeof masterpassword);
            }
            slave = 1;
            break;
        }
        case 'S': s_strncpy(syncsections, optarg, sizeof syncsections); break;
        case 'E': s_strncpy(nosyncsections, optarg, sizeof nosyncsections); break;
        case 'I': syncinterval = atoi(optarg); break;
        case 'm': {
            s_strncpy(moduledir, optarg, sizeof moduledir);
            size_t length = strlen(moduledir);
            if (length == 0 || moduledir[length - 1] != '/')
                s_strncat(moduledir, "/", sizeof moduledir);
            break;
        }
        case 'p': s_strncpy(pidfile, optarg, sizeof pidfile); break;
        case 'u': s_strncpy(username, optarg, sizeof username); break;
        case 'g': s_strncpy(group, optarg, sizeof group); break;
        case 'x': s_strncpy(pamfile, optarg, sizeof pamfile); break;
        case 'P': {
            const char* colon = strchr(optarg, ':');
            if (colon == nullptr) {
                show_help(argv);
                return OPTIONS_EXIT_USAGE;
            }
            long size = atol(optarg);
            int age = atoi(colon + 1);
            // A cache of size 0 that still ages entries would divide by its
            // size: refuse it instead of starting a broken cache.
            if (size <= 0 && age > 0) {
                show_help(argv);
                return OPTIONS_EXIT_USAGE;
            }
            if (age > 0 || size > 0) {
                password_cachesize = static_cast<unsigned>(size);
                password_cachexpire = age;
                authflag = 0;
            } else if (age == 0 && size == 0) {
                authflag = 1;
            }
            break;
        }
        case 't': {
            int n = atoi(optarg);
            // Below 1 the main thread would have no slot: keep the default.
            if (n >= 1 && n <= THREAD_TABLE_SIZE)
                MAXTHREADS = n;
            break;
        }
        case 'z': {
            // A stack below the system's thread minimum (2^14) cannot be
            // created and one over 2^30 cannot be an int: keep the setting.
            int n = atoi(optarg);
            if (n >= 14 && n <= 30)
                opt_stack = max_opt_stack = static_cast<int>(xpow(n));
            break;
        }
        case 'T': THREAD_TIMEOUT = atoi(optarg); break;
        case 'C': CLIENT_POOL_TIMEOUT = atoi(optarg); break;
        case 'b': {
            int* const targets[] = {&SND_BUF, &RCV_BUF};
            apply_colon_parts(optarg, targets, 2);
            if (SND_BUF > 8192 || RCV_BUF > 8192)
                BLOCKSIZE = static_cast<unsigned>(SND_BUF > RCV_BUF ? SND_BUF : RCV_BUF);
            break;
        }
        case 'k': {
            int* const targets[] = {&TCP_KEEPIDLE_TIME, &TCP_KEEPINTVL_TIME, &TCP_KEEPCNT_COUNTS};
            apply_colon_parts(optarg, targets, 3);
            break;
        }
        case 'o': overload_factor = atoi(optarg); break;
        case 'J': LOG_SIZE_LIMIT = strtoll(optarg, nullptr, 10); break;
        case 'j': PROCESS_OLD_LOGS = atoi(optarg); break;
        case 'r': s_strncpy(plogfile, optarg, sizeof plogfile); break;
        case 'd': loglevel = static_cast<int>(strtol(optarg, nullptr, 0)); break;
        case 'f': daemonize = 0; break;
        case 'h': show_help(argv); return OPTIONS_EXIT_OK;
        case 'v':
            printf("%s - VERSION - %s - BUILD - %d\n", product_edition, product_version,
                   RELEASE_BUILD);
            return OPTIONS_EXIT_OK;
        default: break;
        }
    }
    // The feed file follows the access log, whatever the order of -l and -a.
    if (feed_from_log) {
        s_strncpy(vantorifeed, slogfile, sizeof vantorifeed);
        s_strncat(vantorifeed, ".vantorifeed", sizeof vantorifeed);
    }
    return OPTIONS_RUN;
}

unsigned pid_check(const char* path) {
    FILE* file = fopen(path, "r");
    if (file != nullptr) {
        unsigned pid = 0;
        int matched = fscanf(file, "%u", &pid);
        fclose(file);
        // kill(pid, 0) probes for the process without disturbing it.
        if (matched == 1 && pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM))
            return pid;
    }
    unlink(path);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) {
        fprintf(stderr, "[system: open:%d:%s], in %s, failed to create pid file %s\n", errno,
                strerror(errno), __func__, path);
        return 1;
    }
    char text[32];
    int length = snprintf(text, sizeof text, "%u\n", static_cast<unsigned>(getpid()));
    bool written = write(fd, text, static_cast<size_t>(length)) == length;
    int error = errno;
    if (close(fd) == -1) {
        written = false;
        error = errno;
    }
    if (!written) {
        fprintf(stderr, "[system: write:%d:%s], in %s, failed to write pid file %s\n", error,
                strerror(error), __func__, path);
        unlink(path);
        return 1;
    }
    return 0;
}

void fix_gid() {
    if (group[0] == '\0') {
        gid_t gid = getgid();
        struct group* entry = getgrgid(gid);
        if (entry != nullptr)
            s_strncpy(group, entry->gr_name, sizeof group);
        else
            snprintf(group, sizeof group, "%d", static_cast<int>(gid));
        return;
    }
    struct group* entry = getgrnam(group);
    if (entry == nullptr) {
        fputs("getgrnam: unknown group\n", stderr);
        exit(1);
    }
    if (setgid(entry->gr_gid) == -1) {
        perror("setgid");
        exit(1);
    }
}

void fix_uid() {
    if (username[0] == '\0') {
        uid_t uid = getuid();
        struct passwd* entry = getpwuid(uid);
        if (entry != nullptr)
            s_strncpy(username, entry->pw_name, sizeof username);
        else
            snprintf(username, sizeof username, "%d", static_cast<int>(uid));
        return;
    }
    struct passwd* entry = getpwnam(username);
    if (entry == nullptr) {
        fputs("getpwnam: unknown user\n", stderr);
        exit(1);
    }
    // Drop the supplementary groups of the starting user (often root's) and
    // take the target user's, keeping the group chosen by fix_gid first.
    if (getuid() == 0 && initgroups(entry->pw_name, getgid()) == -1) {
        perror("initgroups");
        exit(1);
    }
    if (setuid(entry->pw_uid) == -1) {
        perror("setuid");
        exit(1);
    }
}

// The host of one access-log line: the seventh blank-separated field taken as
// scheme "://" host ":" port ...; false when the line has no such host.
static bool feed_host(const char* line, char* host, size_t size) {
    const char* field = line;
    for (int i = 0; i < 6; i++) {
        field = strchr(field, ' ');
        if (field == nullptr)
            return false;
        while (*field == ' ')
            field++;
    }
    const char* start = strstr(field, "://");
    if (start == nullptr)
        return false;
    start += 3;
    const char* end = strchr(start, ':');
    if (end == nullptr)
        return false;
    size_t length = static_cast<size_t>(end - start);
    if (length >= size)
        length = size - 1;
    memcpy(host, start, length);
    host[length] = '\0';
    return true;
}

void create_feedlog() {
    FILE* log = fopen(slogfile, "r");
    if (log == nullptr)
        return;
    FILE* feed = fopen(vantorifeed, "w");
    if (feed == nullptr) {
        fclose(log);
        return;
    }
    static const int FEED_RECORDS = 10001;
    char line[4096];
    char host[1024];
    int records = 0;
    bool line_start = true;
    while (records < FEED_RECORDS && fgets(line, sizeof line, log) != nullptr) {
        // A line longer than the piece is read on in further pieces; only
        // the piece that starts a line can carry its host.
        bool starts_line = line_start;
        line_start = strchr(line, '\n') != nullptr;
        if (!starts_line || !feed_host(line, host, sizeof host))
            continue;
        fprintf(feed, "\n%s", host);
        records++;
    }
    fclose(log);
    fflush(feed);
    fsync(fileno(feed));
    fclose(feed);
}

char* print_rlimit(long current, long maximum) {
    char text[256];
    char cur[32], max[32];
    if (current == -1)
        s_strncpy(cur, "unlimited", sizeof cur);
    else
        snprintf(cur, sizeof cur, "%ld", current);
    if (maximum == -1)
        s_strncpy(max, "unlimited", sizeof max);
    else
        snprintf(max, sizeof max, "%ld", maximum);
    snprintf(text, sizeof text, "current: %s  maximum: %s", cur, max);
    return xstrdup(text);
}

// Points descriptors 0, 1 and 2 at /dev/null, so that nothing a library
// prints, and no descriptor opened later that lands on 0-2, reaches or
// corrupts a terminal or a file by accident.
static void standard_descriptors_to_null() {
    int fd = open("/dev/null", O_RDWR);
    if (fd == -1)
        return;
    for (int target = 0; target <= 2; target++)
        if (fd != target)
            dup2(fd, target);
    if (fd > 2)
        close(fd);
}

// Prefixes a relative path with the working directory; a result that would
// not fit leaves the path as it is (start-up then fails on it visibly).
static void absolute_path(char* path, size_t size) {
    if (path[0] == '\0' || path[0] == '/')
        return;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return;
    char joined[4096];
    int length = snprintf(joined, sizeof joined, "%s/%s", cwd, path);
    if (length < 0 || static_cast<size_t>(length) >= size)
        return;
    memcpy(path, joined, static_cast<size_t>(length) + 1);
}

void make_paths_absolute() {
    // A configuration given as a URL (config_load takes a path with a colon
    // for one) stays as it is.
    if (strchr(configfile, ':') == nullptr)
        absolute_path(configfile, sizeof configfile);
    absolute_path(sectionfile, sizeof sectionfile);
    absolute_path(logfile, sizeof logfile);
    absolute_path(slogfile, sizeof slogfile);
    absolute_path(elogfile, sizeof elogfile);
    absolute_path(vantorifeed, sizeof vantorifeed);
    absolute_path(pidfile, sizeof pidfile);
    absolute_path(moduledir, sizeof moduledir);
    absolute_path(plogfile, sizeof plogfile);
}

// Standard error of a detached daemon until it is up: the write end of a
// pipe its launcher reads (see daemon_detach); -1 in the foreground and
// once the daemon is up.
static bool reporting_to_launcher = false;

// The launcher's side: copies what the starting daemon writes to standard
// error onto its own, until the daemon reports that it is up (a NUL byte)
// or the pipe closes because every process holding it ended. The exit
// status of the launcher: 0 when the daemon came up, else 1.
static int launcher_wait(int fd) {
    char buffer[4096];
    bool up = false;
    bool said = false;
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == -1 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        const char* nul = static_cast<const char*>(memchr(buffer, '\0', static_cast<size_t>(got)));
        size_t text = nul != nullptr ? static_cast<size_t>(nul - buffer) : static_cast<size_t>(got);
        if (text > 0) {
            fwrite(buffer, 1, text, stderr);
            said = true;
        }
        if (nul != nullptr) {
            up = true;
            break;
        }
    }
    if (!up && !said)
        fprintf(stderr, "kestrivan did not start (error log: %s)\n",
                logfile[0] != '\0' ? logfile : "none given with -l");
    return up ? 0 : 1;
}

void daemon_detach() {
    // Nothing the launcher says can tell the operator that the daemon came
    // up unless the daemon says so: until then its standard error is this
    // pipe, and the launcher waits on the other end.
    int report[2];
    if (pipe2(report, O_CLOEXEC) == -1) {
        fprintf(stderr, "failed to fork daemon: [system: pipe2:%d:%s]\n", errno, strerror(errno));
        exit(1);
    }
    fflush(stderr);
    pid_t pid = fork();
    if (pid == -1) {
        fputs("failed to fork daemon: first fork failed\n", stderr);
        exit(1);
    }
    if (pid != 0) {
        close(report[1]);
        int status = launcher_wait(report[0]);
        // The first child ends as soon as it has forked again.
        waitpid(pid, nullptr, 0);
        _exit(status);
    }
    close(report[0]);
    if (chdir("/") == -1) {
        // "/" always exists; nothing depends on the working directory from
        // here on because every path was checked before.
    }
    setsid();
    umask(0);
    close(0);
    close(1);
    close(2);
    standard_descriptors_to_null();
    if (dup2(report[1], 2) == 2)
        reporting_to_launcher = true;
    close(report[1]);
    pid = fork();
    if (pid == -1) {
        fputs("failed to fork daemon: second fork failed\n", stderr);
        exit(1);
    }
    if (pid != 0)
        _exit(0);
    umask(022);
    fix_gid();
    fix_uid();
    if (pidfile[0] != '\0' && pid_check(pidfile) != 0)
        exit(1);
}

void daemon_ready() {
    if (!reporting_to_launcher)
        return;
    reporting_to_launcher = false;
    char up = '\0';
    ssize_t written;
    do
        written = write(2, &up, 1);
    while (written == -1 && errno == EINTR);
    // The launcher has gone; standard error points nowhere from now on.
    int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd != -1) {
        dup2(fd, 2);
        close(fd);
    }
}

void startup_failed(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    putlog(LOG_ERROR, "%s", text);
    fprintf(stderr, "%s\n", text);
    fflush(stderr);
    exit(1);
}

void startup_logs_check() {
    const char* const paths[] = {logfile, slogfile, elogfile};
    bool failed = false;
    for (const char* path : paths) {
        if (path[0] == '\0')
            continue;
        int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
        if (fd != -1) {
            close(fd);
            continue;
        }
        fprintf(stderr, "the log file %s cannot be opened: %s\n", path, strerror(errno));
        failed = true;
    }
    if (failed) {
        fputs("kestrivan stops: it would run without the logs it was given\n", stderr);
        exit(1);
    }
}

unsigned next_clientid() {
    unsigned id = clientid;
    if (id == 0 || id == 4294967295u)
        id = 1;
    clientid = id + 1;
    return id;
}
