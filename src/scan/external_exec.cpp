// The program starter; see external_exec.h for the contract.
#include "scan/external_exec.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "config/general.h"
#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "http/header_io.h"
#include "net/connection.h"
#include "net/relay.h"
#include "scan/scanner.h"

namespace {

void close_all(const int* descriptors, int count) {
    for (int i = 0; i < count; i++)
        if (descriptors[i] != -1)
            close(descriptors[i]);
}

long long monotonic_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Child side, between fork and exec: only async-signal-safe calls (the
// argument and environment vectors were built before the fork). Never
// returns.
[[noreturn]] void exec_child(char** argv, char** environment, int input_fd, int output_fd,
                             int highest_fd) {
    // A group of its own, so that a time-out kill reaches whatever the
    // program started as well.
    setpgid(0, 0);
    // The worker threads block the signals the signal thread waits for, and
    // a blocked mask survives exec: the program would never see SIGTERM.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
    struct sigaction default_action;
    memset(&default_action, 0, sizeof default_action);
    default_action.sa_handler = SIG_DFL;
    for (int signo = 1; signo < NSIG; signo++) {
        struct sigaction current;
        if (sigaction(signo, NULL, &current) == 0 && current.sa_handler == SIG_IGN)
            sigaction(signo, &default_action, NULL);
    }
    // Lift both pipe ends above 2 first: when the daemon runs with a
    // standard descriptor closed, a pipe end may sit on 0 or 1 and the
    // first dup2 would clobber the other.
    int input = fcntl(input_fd, F_DUPFD_CLOEXEC, 3);
    int output = fcntl(output_fd, F_DUPFD_CLOEXEC, 3);
    if (input == -1 || output == -1 || dup2(input, STDIN_FILENO) == -1 ||
        dup2(output, STDOUT_FILENO) == -1)
        _exit(1);
    // Nothing of the daemon (client sockets, pooled upstreams, log files)
    // may reach the program.
    if (close_range(3, ~0u, 0) == -1)
        for (int fd = 3; fd <= highest_fd; fd++)
            close(fd);
    if (argv[0] != NULL)
        execvpe(argv[0], argv, environment);
    _exit(1);
}

// "name=value" for every template variable of the connection.
char** environment_of(const CONNECTION_T* connection) {
    char** environment = array_add(NULL, NULL);
    if (connection == NULL)
        return environment;
    for (const auto& variable : connection->variables)
        environment = array_add(environment, (variable.first + "=" + variable.second).c_str());
    return environment;
}

// The highest descriptor the child closes when close_range is missing.
int highest_descriptor() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < 65536)
        return static_cast<int>(limit.rlim_cur) - 1;
    return 65535;
}

enum exchange_end { EXCHANGE_DONE, EXCHANGE_TIMED_OUT, EXCHANGE_TOO_LONG };

// Feeds the input (when any) and collects the output until the program
// closes its standard output, the deadline passes or the output grows past
// the limit. The input end is closed on return.
exchange_end exchange(int input_fd, int output_fd, const Filebuf* input, Filebuf* output,
                      long long deadline, uint64_t output_limit) {
    unsigned written = 0;
    unsigned piece = BLOCKSIZE > 0 ? BLOCKSIZE : 8192;
    char* buffer = static_cast<char*>(xmalloc(piece));
    if (buffer == NULL)
        FATAL_ALLOC("src/external_exec", piece);
    exchange_end end = EXCHANGE_DONE;
    for (;;) {
        long long left = deadline - monotonic_ms();
        if (left <= 0) {
            end = EXCHANGE_TIMED_OUT;
            break;
        }
        struct pollfd fds[2] = {{output_fd, POLLIN, 0}, {input_fd, POLLOUT, 0}};
        int result = poll(fds, input_fd != -1 ? 2 : 1, static_cast<int>(left));
        if (result <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            ssize_t got = read(output_fd, buffer, piece);
            if (got > 0) {
                if (output->size + static_cast<uint64_t>(got) > output_limit) {
                    end = EXCHANGE_TOO_LONG;
                    break;
                }
                output->Add(buffer, static_cast<unsigned>(got));
                continue;
            }
            if (got == -1 && (errno == EINTR || errno == EAGAIN))
                continue;
            break;
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            break;
        if (input_fd == -1)
            continue;
        if (fds[1].revents & POLLOUT) {
            unsigned length = input->size - written < piece ? input->size - written : piece;
            ssize_t sent = write(input_fd, input->data + written, length);
            if (sent <= 0 && errno != EINTR && errno != EAGAIN) {
                // The program stopped reading: its output still counts.
                close(input_fd);
                input_fd = -1;
                continue;
            }
            if (sent > 0)
                written += static_cast<unsigned>(sent);
            if (written == input->size) {
                close(input_fd);
                input_fd = -1;
            }
        } else if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            close(input_fd);
            input_fd = -1;
        }
    }
    if (input_fd != -1)
        close(input_fd);
    free(buffer);
    return end;
}

// Waits for the child until the deadline, then kills its group and reaps
// it. false when the child cannot be waited for (its end is unknown).
bool reap(pid_t child, long long deadline, int* status) {
    long long pause_ms = 1;
    for (;;) {
        pid_t done = waitpid(child, status, WNOHANG);
        if (done == child)
            return true;
        if (done == -1 && errno != EINTR) {
            putlog(LOG_ERROR, "[system: waitpid:%d:%s], in %s, failed to wait for program %d",
                   errno, strerror(errno), __func__, static_cast<int>(child));
            return false;
        }
        if (monotonic_ms() >= deadline)
            break;
        struct timespec pause = {0, static_cast<long>(pause_ms) * 1000000L};
        nanosleep(&pause, NULL);
        if (pause_ms < 50)
            pause_ms *= 2;
    }
    kill(-child, SIGKILL);
    pid_t done;
    while ((done = waitpid(child, status, 0)) == -1 && errno == EINTR) {
    }
    return done == child;
}

// A broken pipe raised by writing the program's input must not reach the
// daemon's signal handling (a program may well stop reading early): the
// signal is blocked in this thread for the run and a pending one taken
// back afterwards.
class PipeSignalGuard {
public:
    PipeSignalGuard() {
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_only, &saved_);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~PipeSignalGuard() {
        sigset_t pending;
        sigpending(&pending);
        if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
            sigset_t pipe_only;
            sigemptyset(&pipe_only);
            sigaddset(&pipe_only, SIGPIPE);
            struct timespec now = {0, 0};
            while (sigtimedwait(&pipe_only, NULL, &now) == -1 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &saved_, NULL);
    }

private:
    sigset_t saved_;
    bool was_pending_;
};

} // namespace

Filebuf* external_exec(CONNECTION_T* connection, const char* command, Filebuf* input, int mode,
                       int* exit_status) {
    putlog(LOG_DEBUG, "executing %s", command);
    int time_limit = EXTERNAL_DEFAULT_TIME_LIMIT;
    if (connection != NULL && general_section != NULL)
        time_limit = general_section->timeout_get(connection);
    if (time_limit <= 0)
        time_limit = EXTERNAL_DEFAULT_TIME_LIMIT;
    // The per-connection download limit needs a connection to match.
    uint64_t output_limit = connection != NULL ? relay_buffer_limit(connection, SIDE_SERVER)
                                               : RELAY_BUFFER_DEFAULT_MAX;

    // Close-on-exec from the start: a program another thread starts at the
    // same moment must not hold our pipe ends (it would keep the output
    // open after our program ends).
    int output_pipe[2] = {-1, -1};
    int input_pipe[2] = {-1, -1};
    if (pipe2(output_pipe, O_CLOEXEC) == -1 || pipe2(input_pipe, O_CLOEXEC) == -1) {
        putlog(LOG_ERROR, "[system: pipe:%d:%s], in %s, failed to create pipes for %s", errno,
               strerror(errno), __func__, command);
        int opened[] = {output_pipe[0], output_pipe[1], input_pipe[0], input_pipe[1]};
        close_all(opened, 4);
        return NULL;
    }
    int ends[] = {output_pipe[0], output_pipe[1], input_pipe[0], input_pipe[1]};

    // Removed when this call returns, whatever happens.
    ScanTempFile tempfile;
    if (mode == 1 && !tempfile.create(input, "kestrivan.")) {
        // A program given half its input would judge the wrong thing.
        close_all(ends, 4);
        return NULL;
    }

    char** argv = cmdline_parse(command);
    if (!tempfile.path().empty())
        argv = array_add(argv, tempfile.path().c_str());
    char** environment = environment_of(connection);
    int highest_fd = highest_descriptor();
    long long deadline = monotonic_ms() + static_cast<long long>(time_limit) * 1000;
    pid_t child = fork();
    int fork_errno = errno;
    if (child == 0)
        exec_child(argv, environment, input_pipe[0], output_pipe[1], highest_fd);
    array_free(argv);
    array_free(environment);
    if (child == -1) {
        putlog(LOG_ERROR, "[system: fork:%d:%s], in %s, failed to run %s", fork_errno,
               strerror(fork_errno), __func__, command);
        close_all(ends, 4);
        return NULL;
    }
    // Also from here, so that the group exists before a kill may need it
    // (whichever of the two calls comes first makes it).
    setpgid(child, child);

    close(input_pipe[0]);
    close(output_pipe[1]);
    int input_fd = input_pipe[1];
    if (mode == 1 || input == NULL || input->size == 0) {
        close(input_fd);
        input_fd = -1;
    } else {
        fcntl(input_fd, F_SETFL, fcntl(input_fd, F_GETFL) | O_NONBLOCK);
    }
    fcntl(output_pipe[0], F_SETFL, fcntl(output_pipe[0], F_GETFL) | O_NONBLOCK);

    Filebuf* output = new Filebuf();
    exchange_end end;
    {
        PipeSignalGuard guard;
        end = exchange(input_fd, output_pipe[0], input, output, deadline, output_limit);
    }
    close(output_pipe[0]);
    if (end != EXCHANGE_DONE) {
        kill(-child, SIGKILL);
        if (end == EXCHANGE_TIMED_OUT)
            putlog(LOG_ERROR, "external: %s ran longer than %d seconds and was killed", command,
                   time_limit);
        else
            putlog(LOG_ERROR, "external: output of %s exceeds %llu bytes; the program was killed",
                   command, static_cast<unsigned long long>(output_limit));
        output->Resize(0);
    }

    int wait_status = 0;
    int status;
    if (!reap(child, deadline, &wait_status)) {
        status = 128 + SIGKILL;
        output->Resize(0);
    } else if (WIFEXITED(wait_status)) {
        status = WEXITSTATUS(wait_status);
    } else {
        status = 128 + (WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : SIGKILL);
        if (end == EXCHANGE_DONE)
            putlog(LOG_ERROR, "external: %s was ended by signal %d", command, status - 128);
        // Whatever it wrote before it was ended is no answer.
        output->Resize(0);
    }
    if (exit_status != NULL)
        *exit_status = status;
    return output;
}
