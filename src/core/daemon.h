// The daemon's command line and its process-wide settings, the detaching
// double fork, the PID file, the switch of user and group, and the host feed
// file written for the site-category service.
//
// Every setting below is written only while the options are parsed, on the
// main thread before any other thread exists, and only read afterwards.
#pragma once

extern char configfile[256];
extern char sectionfile[256];
extern char slogfile[256];
extern char elogfile[256];
extern char vantorifeed[256];
extern char proxyhost[256];
extern char listenip[16];
extern int listenport;
extern char masterhost[256];
extern int masterport;
// The master's interface user and password from -M (percent-encoded as in
// a URL; empty: none).
extern char masteruser[256];
extern char masterpassword[256];
extern int slave;
extern char syncsections[256];
extern char nosyncsections[256];
extern int syncinterval;
extern char moduledir[256];
extern char username[256];
extern char group[256];
extern char pamfile[256];
extern unsigned password_cachesize;
extern int password_cachexpire;
extern int authflag;
extern int MAXTHREADS;
extern int opt_stack;
extern int max_opt_stack;
extern int THREAD_TIMEOUT;
extern int CLIENT_POOL_TIMEOUT;
extern int SND_BUF;
extern int RCV_BUF;
extern unsigned BLOCKSIZE;
extern int TCP_KEEPIDLE_TIME;
extern int TCP_KEEPINTVL_TIME;
extern int TCP_KEEPCNT_COUNTS;
extern int overload_factor;
extern char plogfile[512];
extern unsigned clientid;

// Product texts shown by -h and -v; the version is also the template
// variable "VERSION".
extern const char* const product_banner;
extern const char* const product_edition;
extern const char* const product_version;

// Outcome of reading the command line.
enum options_result {
    OPTIONS_RUN,        // go on starting
    OPTIONS_EXIT_OK,    // help or version shown: exit 0
    OPTIONS_EXIT_USAGE, // a malformed option: help shown, exit 1
};

// Reads every option into the settings above (getopt; unknown options are
// ignored without a complaint). Help and usage texts go to standard error,
// the version to standard output.
options_result parse_options(int argc, char** argv);

// Writes the usage text to standard error, naming the program by argv[0].
void show_help(char** argv);

// Returns the pid of a live instance recorded in the file; otherwise
// replaces the file by the own pid ("%u\n") and returns 0, or 1 when it
// cannot be created.
unsigned pid_check(const char* path);

// Switch to the configured group and user (an empty setting records the
// current one); a failure writes its message to standard error and exits
// with status 1. fix_uid also drops the supplementary groups.
void fix_gid();
void fix_uid();

// Writes the host feed file from the access log; see daemon.cpp.
void create_feedlog();

int get_my_release_build();

// New text "current: %ld  maximum: %ld" ("unlimited" for -1); caller frees.
char* print_rlimit(long current, long maximum);

// Detach from the terminal: double fork, new session, /dev/null on the
// standard descriptors, PID file. Returns in the grandchild only; on failure
// exits with status 1. The launching process stays until the daemon calls
// daemon_ready() or ends: meanwhile what the daemon writes to standard error
// appears on the launcher's, and the launcher exits with status 0 only when
// the daemon came up (1 otherwise, also when no message was written).
void daemon_detach();

// Start-up is complete (listeners open): a detached daemon releases its
// launcher and points standard error at /dev/null. Nothing in the
// foreground.
void daemon_ready();

// A start-up failure: the message goes to the error log and to standard
// error (a detached daemon's launcher shows it), and the process exits with
// status 1.
[[noreturn]] __attribute__((format(printf, 1, 2))) void startup_failed(const char* format, ...);

// Opens (creating when missing) the error log and both access logs that the
// command line names; one that cannot be opened is reported on standard
// error and the process exits with status 1, before it runs without a log
// it was given.
void startup_logs_check();

// Hands out the next client id: 1 to 4294967294, then 1 again.
unsigned next_clientid();

// The daemon works from "/": turns every relative file option into an
// absolute path against the starting directory first, so that relative
// paths on the command line mean what they meant where it was started.
void make_paths_absolute();
