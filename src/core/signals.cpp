#include "core/signals.h"

#include <errno.h>
#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "core/access_log.h"
#include "core/compat.h"
#include "core/log.h"
#include "core/threads.h"

char pidfile[256];

namespace {

constexpr int BACKTRACE_FRAMES = 20;
// The longest the end of the process waits for each log's queued lines.
constexpr int LOG_FLUSH_WAIT_MS = 2000;

// The signals the signal thread waits for; every other thread blocks them.
const int WAITED_SIGNALS[] = {SIGHUP, SIGTERM, SIGUSR1, SIGUSR2};

// The queued real-time signal through which handlers hand a signal over to
// the signal thread; its value carries the signal number. It is always sent
// to the signal thread itself, which keeps it blocked and waits for it.
int handover_signal = 0;

std::atomic<bool> signal_thread_ready{false};
pthread_t signal_thread_id;

// Broken pipes counted by the SIGPIPE handler and not logged yet. Only the
// first of a burst queues a hand-over, so a flood of broken pipes cannot fill
// the process's queue of pending signals.
std::atomic<int> pending_pipes{0};

std::atomic<bool> shutdown_started{false};
std::atomic<bool> shutdown_thread_known{false};
pthread_t shutdown_thread_id;

bool on_thread(const std::atomic<bool>& known, const pthread_t& id) {
    return known.load() && pthread_equal(pthread_self(), id);
}

// Async-signal-safe from here to the handlers' end.

void watchdog_expired(int) {
    _exit(1);
}

// Ends the process with status 1 should the shutdown not have done so within
// the grace time.
void arm_watchdog() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = watchdog_expired;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, NULL);
    alarm(SHUTDOWN_GRACE_SECONDS);
}

// pthread_sigqueue is one system call (rt_tgsigqueueinfo): no lock, no
// allocation.
bool hand_over(int signo) {
    if (!signal_thread_ready.load())
        return false;
    union sigval value;
    value.sival_int = signo;
    return pthread_sigqueue(signal_thread_id, handover_signal, value) == 0;
}

// backtrace was warmed up by signal_setup (its first call loads the unwinder,
// which allocates); backtrace_symbols_fd writes without allocating.
void write_backtrace() {
    void* frames[BACKTRACE_FRAMES];
    int count = backtrace(frames, BACKTRACE_FRAMES);
    int fd = __atomic_load_n(&logfd, __ATOMIC_ACQUIRE);
    backtrace_symbols_fd(frames, count, fd != -1 ? fd : STDERR_FILENO);
}

void crash_handler(int signo) {
    write_backtrace();
    // The shutdown cannot be handed to the thread that would have to run it.
    if (!signal_thread_ready.load() || on_thread(signal_thread_ready, signal_thread_id) ||
        on_thread(shutdown_thread_known, shutdown_thread_id))
        _exit(1);
    arm_watchdog();
    if (!hand_over(signo))
        _exit(1);
    // Returning would run the faulting instruction again (or let abort() end
    // the process by default); the signal thread ends the process.
    for (;;)
        pause();
}

void pipe_handler(int) {
    int saved_errno = errno;
    if (pending_pipes.fetch_add(1) == 0 && !hand_over(SIGPIPE))
        pending_pipes.fetch_sub(1); // the next broken pipe tries again
    errno = saved_errno;
}

// A waited-for signal that reached a thread which does not block it (one
// made before signal_setup), or a stray hand-over signal sent from outside.
void forward_handler(int signo) {
    int saved_errno = errno;
    hand_over(signo);
    errno = saved_errno;
}

// End of the async-signal-safe part.

void install(int signo, void (*handler)(int), bool block_all) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    if (block_all)
        sigfillset(&action.sa_mask);
    else
        sigemptyset(&action.sa_mask);
    if (sigaction(signo, &action, NULL) == -1)
        putlog(LOG_ERROR, "[system: sigaction:%d:%s], in %s, unable to install handler for signal %d",
               errno, strerror(errno), "signal_setup", signo);
}

void waited_set(sigset_t* set) {
    sigemptyset(set);
    for (int signo : WAITED_SIGNALS)
        sigaddset(set, signo);
    sigaddset(set, handover_signal);
}

void log_pipes() {
    for (int count = pending_pipes.exchange(0); count > 0; count--)
        sigpipe(SIGPIPE);
}

void dispatch(int signo) {
    switch (signo) {
    case SIGHUP: sighup(signo); break;
    case SIGTERM: sigterm_received(signo); break;
    case SIGUSR1: sigusr1(signo); break;
    case SIGUSR2: sigusr2(signo); break;
    case SIGABRT: sigiot(signo); break;
    case SIGSEGV: sigsegv(signo); break;
    case SIGPIPE: log_pipes(); break;
    default: break;
    }
}

// The signals a handler hands over. Process-directed ones must reach a
// thread that can hand them over, never the signal thread, which is made
// with them blocked (see signal_setup).
void handed_over_set(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGSEGV);
    sigaddset(set, SIGABRT);
    sigaddset(set, SIGPIPE);
}

void* signal_thread(void*) {
    sigset_t waited;
    waited_set(&waited);
    for (;;) {
        siginfo_t info;
        int signo = sigwaitinfo(&waited, &info);
        if (signo == -1)
            continue; // EINTR
        if (signo != handover_signal)
            dispatch(signo);
        else if (info.si_code == SI_QUEUE && info.si_pid == getpid())
            dispatch(info.si_value.sival_int);
    }
    return NULL;
}

// The PID file is removed only when it names this process: a foreground
// instance given -p never wrote one and must not remove another's.
void remove_own_pidfile() {
    if (pidfile[0] == '\0')
        return;
    FILE* file = fopen(pidfile, "r");
    if (file == NULL)
        return;
    unsigned pid = 0;
    int matched = fscanf(file, "%u", &pid);
    fclose(file);
    if (matched == 1 && pid == static_cast<unsigned>(getpid()))
        unlink(pidfile);
}

// Lines other threads handed to a log's writer reach the file before the
// process ends; a log that cannot be written costs a bounded wait.
void flush_logs() {
    access_logs_flush(LOG_FLUSH_WAIT_MS);
    log_flush(LOG_FLUSH_WAIT_MS);
}

[[noreturn]] void remove_pidfile_and_exit(int status) {
    remove_own_pidfile();
    flush_logs();
    _exit(status);
}

} // namespace

void shutdown_sequence(int status) {
    if (shutdown_started.exchange(true)) {
        // Another thread is ending the process (or its watchdog will).
        for (;;)
            pause();
    }
    shutdown_thread_id = pthread_self();
    shutdown_thread_known.store(true);
    arm_watchdog();

    shutdown_services();
    remove_own_pidfile();
    flush_logs();
    _exit(status);
}

void sigterm() {
    putlog(LOG_ADVICE, "Recieved Signal for Termination");
    shutdown_sequence(1);
}

void sighup(int) {
    putlog(LOG_ADVICE, "Recieved HUP Signal for cleaning cache and closing all FDs");
    shutdown_services();
    fd_failure();
}

void sigterm_received(int) {
    putlog(LOG_ADVICE, "Recieved TERM Signal to EXIT");
    shutdown_sequence(0);
}

void sigusr1(int) {
    putlog(LOG_ADVICE, "Recieved Signal for Log Rotation");
}

void sigusr2(int) {
    putlog(LOG_ADVICE, "Recieved Test Signal for USR2");
}

void sigiot(int) {
    putlog(LOG_ERROR, "Recieved Signal for IOT trap ");
    shutdown_sequence(1);
}

void sigsegv(int) {
    putlog(LOG_ADVICE, "Recieved Signal for Segmentation violation");
    shutdown_sequence(1);
}

void sigpipe(int) {
    putlog(LOG_ERROR, "Recieved Signal for Broken pipe");
}

void signal_setup() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;

    // The first backtrace loads the unwinder, which allocates: do it here, so
    // the crash handler's own call allocates nothing.
    void* warm_up[BACKTRACE_FRAMES];
    backtrace(warm_up, BACKTRACE_FRAMES);

    handover_signal = SIGRTMIN + 1;
    sigset_t waited;
    waited_set(&waited);
    int rc = pthread_sigmask(SIG_BLOCK, &waited, NULL);
    if (rc != 0)
        putlog(LOG_ERROR, "[system: pthread_sigmask:%d:%s], in %s, unable to block signals", rc,
               strerror(rc), __func__);

    for (int signo : WAITED_SIGNALS)
        install(signo, forward_handler, false);
    install(handover_signal, forward_handler, false);
    install(SIGPIPE, pipe_handler, false);
    install(SIGABRT, crash_handler, true);
    install(SIGSEGV, crash_handler, true);
    // A write beyond the file-size limit then fails with EFBIG, which the
    // writer handles (a cache file, a log), instead of ending the process.
    signal(SIGXFSZ, SIG_IGN);

    // Blocked before the thread is made, not by the thread itself: a
    // SIGSEGV or SIGABRT sent to the process just after start-up could
    // otherwise reach it before it blocked them, and a crash on the signal
    // thread can only end the process at once, without the shutdown.
    sigset_t handed, before;
    handed_over_set(&handed);
    pthread_sigmask(SIG_BLOCK, &handed, &before);
    int slot = thread_create_internal(signal_thread, NULL);
    pthread_sigmask(SIG_SETMASK, &before, NULL);
    if (slot == -1)
        return; // logged; signals stay pending
    pthread_mutex_lock(&threadlistlock);
    signal_thread_id = threads[slot].tid;
    pthread_mutex_unlock(&threadlistlock);
    signal_thread_ready.store(true);
}

// Handling of signals that signal_setup does not install.

void sigsys(int) { putlog(LOG_ADVICE, "Recieved Signal for Bad system call"); }
void sigio(int) { putlog(LOG_ADVICE, "Recieved Signal for I/O now possible "); }
void sigpoll(int) { putlog(LOG_ADVICE, "Recieved Signal for Pollable event occurred "); }
void sigwinch(int) { putlog(LOG_ADVICE, "Recieved Signal for Window size change"); }
void sigprof(int) { putlog(LOG_ADVICE, "Recieved Signal for Profiling alarm clock"); }
void sigvtalrm(int) { putlog(LOG_ADVICE, "Recieved Signal for Virtual alarm clock "); }
void sigxfsz(int) { putlog(LOG_ADVICE, "Recieved Signal for File size limit exceeded"); }
void sigurg(int) { putlog(LOG_ADVICE, "Recieved Signal for Urgent condition on socket "); }
void sigttou(int) { putlog(LOG_ADVICE, "Recieved Signal for Background write to tty"); }
void sigttin(int) { putlog(LOG_ADVICE, "Recieved Signal for Background read from tty"); }
void sigcont(int) { putlog(LOG_ADVICE, "Recieved Signal to Continue "); }
void sigchld(int) { putlog(LOG_ADVICE, "Recieved Signal of Child status has changed "); }
void sigalarm(int) { putlog(LOG_ADVICE, "Recieved Signal for Alarm clock "); }

void sigpwr(int) {
    putlog(LOG_ADVICE, "Recieved Signal for Power failure restart ");
    remove_pidfile_and_exit(0);
}

void sigstk(int) {
    putlog(LOG_ERROR, "Recieved Signal for Stack fault");
    remove_pidfile_and_exit(1);
}

void sigfpe(int) {
    putlog(LOG_ERROR, "Recieved Signal for Floating-point exception");
    remove_pidfile_and_exit(1);
}

void sigbus(int) {
    putlog(LOG_ERROR, "Recieved Signal for BUS error ");
    remove_pidfile_and_exit(1);
}

void sigxcpu(int) {
    putlog(LOG_ADVICE, "Recieved Signal for CPU limit exceeded ");
    shutdown_sequence(0);
}

void sigtstp(int) {
    putlog(LOG_ADVICE, "Recieved Signal for Keyboard stop");
    shutdown_sequence(0);
}

void sigstop(int) {
    putlog(LOG_ADVICE, "Recieved Signal for Stop");
    shutdown_sequence(0);
}

void sigabrt(int) {
    putlog(LOG_ADVICE, "Recieved Signal to Abort");
    shutdown_sequence(1);
}

void sigtrap(int) {
    putlog(LOG_ERROR, "Recieved Signal for Trace trap (POSIX)");
    shutdown_sequence(1);
}

void sigill(int) {
    putlog(LOG_ERROR, "Recieved Signal for Illegal instruction ");
    shutdown_sequence(1);
}

void sigquit(int) {
    putlog(LOG_ADVICE, "Recieved Signal to Quit");
    shutdown_sequence(0);
}

void sigint(int) {
    putlog(LOG_ADVICE, "Recieved Signal of Interrupt");
    shutdown_sequence(0);
}
