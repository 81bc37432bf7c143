// Every case that installs the signal handling runs in a child process
// (EXPECT_EXIT): the child either ends through the shutdown sequence or
// leaves with status 0 after its own checks (another status names the check
// that failed). The parent then reads the error log the child wrote.
#include <gtest/gtest.h>

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/mem.h"
#include "core/signals.h"
#include "support/log_test_support.h"

namespace {

using logtest::after_stamp;
using logtest::file_lines;
using logtest::read_file;

// Polls (up to ten seconds) until `done` holds.
bool wait_until(const std::function<bool()>& done) {
    for (int i = 0; i < 1000; i++) {
        if (done())
            return true;
        usleep(10000);
    }
    return done();
}

// Leaves the child with `status` unless the process ends first.
[[noreturn]] void wait_for_end(int status) {
    wait_until([] { return false; });
    _exit(status);
}

bool is_stamped(const std::string& line) {
    return std::regex_match(line.substr(0, 19),
                            std::regex("[0-9]{4} [0-9]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
}

class Signals : public logtest::LogDirTest {
protected:
    std::string pid_path;

    void SetUp() override {
        LogDirTest::SetUp();
        pid_path = dir + "/kestrivan.pid";
        snprintf(pidfile, sizeof pidfile, "%s", pid_path.c_str());
    }

    void TearDown() override {
        pidfile[0] = '\0';
        LogDirTest::TearDown();
    }

    void write_pidfile(unsigned pid) {
        FILE* file = fopen(pid_path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        fprintf(file, "%u\n", pid);
        fclose(file);
    }

    // Log lines without their time stamp.
    std::vector<std::string> messages() {
        std::vector<std::string> texts;
        for (const std::string& line : file_lines(log_path))
            texts.push_back(is_stamped(line) ? after_stamp(line) : line);
        return texts;
    }

    // The number of unstamped (backtrace) lines right before the line at
    // `index`.
    size_t backtrace_lines_before(const std::vector<std::string>& lines, size_t index) {
        size_t count = 0;
        while (index > count && !is_stamped(lines[index - 1 - count]))
            count++;
        return count;
    }
};

struct EndingCase {
    const char* name;
    std::function<void()> act; // run in the child after signal_setup
    int status;
    const char* last_line;     // the line the handling logged last
    bool backtrace;
};

void crash_on_worker() {
    std::thread([] {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }).detach();
}

void abort_on_worker() {
    std::thread([] { abort(); }).detach();
}

void fatal_on_worker() {
    std::thread([] { FATAL("src/test"); }).detach();
}

TEST_F(Signals, EachEndingSignalLogsShutsDownAndExitsWithItsStatus) {
    const EndingCase cases[] = {
        {"SIGTERM", [] { kill(getpid(), SIGTERM); }, 0, " [0] advice: Recieved TERM Signal to EXIT",
         false},
        {"fault", crash_on_worker, 1, " [0] advice: Recieved Signal for Segmentation violation",
         true},
        {"SIGSEGV sent", [] { kill(getpid(), SIGSEGV); }, 1,
         " [0] advice: Recieved Signal for Segmentation violation", true},
        {"abort", abort_on_worker, 1, " [0] error: Recieved Signal for IOT trap ", true},
        {"SIGABRT sent", [] { kill(getpid(), SIGABRT); }, 1,
         " [0] error: Recieved Signal for IOT trap ", true},
        {"fatal state", fatal_on_worker, 1, " [0] advice: Recieved Signal for Termination", false},
    };
    for (const EndingCase& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(log_path.c_str());
        logfd = -1;
        write_pidfile(0); // replaced by the child's own pid below
        EXPECT_EXIT(
            {
                write_pidfile(static_cast<unsigned>(getpid()));
                putlog(LOG_ADVICE, "started"); // opens the error log
                signal_setup();
                c.act();
                wait_for_end(99);
            },
            ::testing::ExitedWithCode(c.status), "");
        std::vector<std::string> lines = messages();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.last_line);
        std::vector<std::string> raw = file_lines(log_path);
        size_t frames = backtrace_lines_before(raw, raw.size() - 1);
        if (c.backtrace) {
            EXPECT_GE(frames, 1u);
            EXPECT_LE(frames, 20u);
        } else {
            EXPECT_EQ(frames, 0u);
        }
        EXPECT_FALSE(logtest::exists(pid_path)) << "the PID file is removed";
    }
}

TEST_F(Signals, ShutdownKeepsAPidFileOfAnotherProcess) {
    write_pidfile(1); // not ours: a foreground instance given -p never wrote it
    EXPECT_EXIT(
        {
            signal_setup();
            kill(getpid(), SIGTERM);
            wait_for_end(99);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(read_file(pid_path), "1\n");
}

// A crash signal sent to the process the moment the handling is set up
// goes through the shutdown like any other, every time. The thread that
// waits for signals must not take it: it starts its life with the crash
// signals open until it blocks them itself, and a crash handled on it could
// only end the process at once, without the shutdown's log line and
// without removing the PID file. The window is short, so the race is tried
// many times over (bounded in count and in time).
TEST_F(Signals, CrashSignalSentAtStartUpIsHandedOverEveryTime) {
    const time_t give_up = time(nullptr) + 20;
    for (int attempt = 0; attempt < 300 && time(nullptr) < give_up; attempt++) {
        SCOPED_TRACE(attempt);
        unlink(log_path.c_str());
        logfd = -1;
        write_pidfile(0);
        EXPECT_EXIT(
            {
                write_pidfile(static_cast<unsigned>(getpid()));
                putlog(LOG_ADVICE, "started");
                signal_setup();
                kill(getpid(), attempt % 2 == 0 ? SIGSEGV : SIGABRT);
                wait_for_end(99);
            },
            ::testing::ExitedWithCode(1), "");
        std::vector<std::string> lines = messages();
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(lines.back() == " [0] advice: Recieved Signal for Segmentation violation" ||
                    lines.back() == " [0] error: Recieved Signal for IOT trap ")
            << lines.back();
        EXPECT_FALSE(logtest::exists(pid_path)) << "the PID file is removed";
        if (HasFailure())
            break;
    }
}

TEST_F(Signals, BacktraceGoesToStandardErrorWithoutAnErrorLog) {
    logfile[0] = '\0';
    EXPECT_EXIT(
        {
            signal_setup();
            crash_on_worker();
            wait_for_end(99);
        },
        ::testing::ExitedWithCode(1), "\\[0x[0-9a-f]+\\]");
}

struct NoteCase {
    int signo;
    const char* line;
    int lines; // how many the handling writes
};

// Sends each informational signal in turn and checks the lines it left;
// leaves with 0 when all are right.
[[noreturn]] void send_informational_signals(const std::string& log_path) {
    putlog(LOG_ADVICE, "started");
    signal_setup();
    const NoteCase cases[] = {
        {SIGUSR1, " [0] advice: Recieved Signal for Log Rotation", 1},
        {SIGUSR2, " [0] advice: Recieved Test Signal for USR2", 1},
        {SIGPIPE, " [0] error: Recieved Signal for Broken pipe", 1},
        // The listeners close, the cache and the category data are saved,
        // the idle pooled connections are shed.
        {SIGHUP, " [0] advice: Recieved HUP Signal for cleaning cache and closing all FDs", 2},
    };
    size_t seen = 1;
    int step = 10;
    for (const NoteCase& c : cases) {
        kill(getpid(), c.signo);
        if (!wait_until([&] { return file_lines(log_path).size() >= seen + c.lines; }))
            _exit(step);
        std::vector<std::string> lines = file_lines(log_path);
        if (lines.size() != seen + c.lines || after_stamp(lines[seen]) != c.line)
            _exit(step + 1);
        seen = lines.size();
        step += 10;
    }
    if (after_stamp(file_lines(log_path).back()) !=
        " [0] error: failure opening file descriptor, attempting to free resources")
        _exit(3);
    _exit(0);
}

TEST_F(Signals, InformationalSignalsLogOneLineAndTheProcessGoesOn) {
    EXPECT_EXIT(send_informational_signals(log_path), ::testing::ExitedWithCode(0), "");
}

TEST_F(Signals, EveryBrokenPipeIsLoggedAndTheWriteFails) {
    EXPECT_EXIT(
        {
            signal_setup();
            int ends[2];
            if (pipe(ends) == -1)
                _exit(2);
            close(ends[0]);
            for (int i = 0; i < 3; i++)
                if (write(ends[1], "x", 1) != -1 || errno != EPIPE)
                    _exit(3);
            auto pipe_lines = [&] {
                size_t count = 0;
                for (const std::string& line : file_lines(log_path))
                    count += after_stamp(line) == " [0] error: Recieved Signal for Broken pipe";
                return count;
            };
            if (!wait_until([&] { return pipe_lines() == 3; }))
                _exit(4);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// The handling never runs on a thread interrupted in the middle of logging:
// a signal arriving while this thread holds the error log's lock is handled
// once the lock is free, and threads made later keep the signals blocked.
TEST_F(Signals, HandlingWaitsForLocksInsteadOfInterruptingTheirHolder) {
    EXPECT_EXIT(
        {
            signal_setup();
            sigset_t blocked;
            bool inherited = false;
            std::thread([&] {
                pthread_sigmask(SIG_BLOCK, NULL, &blocked);
                inherited = sigismember(&blocked, SIGTERM) && sigismember(&blocked, SIGHUP) &&
                            sigismember(&blocked, SIGUSR1) && sigismember(&blocked, SIGUSR2);
            }).join();
            if (!inherited)
                _exit(2);

            pthread_mutex_lock(&logfile_lock);
            kill(getpid(), SIGUSR2);
            usleep(100000);
            // The handler may have opened (made) the file, not written it.
            bool logged_early = !logtest::read_file(log_path).empty();
            pthread_mutex_unlock(&logfile_lock);
            if (logged_early)
                _exit(3);
            if (!wait_until([&] { return !logtest::read_file(log_path).empty(); }))
                _exit(4);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

struct FurtherCase {
    void (*handler)(int);
    const char* line;
    int status; // -1: the process goes on
};

TEST_F(Signals, FurtherHandlersLogTheirLineAndEndAsTheyShould) {
    const FurtherCase cases[] = {
        {sigsys, " [0] advice: Recieved Signal for Bad system call", -1},
        {sigio, " [0] advice: Recieved Signal for I/O now possible ", -1},
        {sigpoll, " [0] advice: Recieved Signal for Pollable event occurred ", -1},
        {sigwinch, " [0] advice: Recieved Signal for Window size change", -1},
        {sigprof, " [0] advice: Recieved Signal for Profiling alarm clock", -1},
        {sigvtalrm, " [0] advice: Recieved Signal for Virtual alarm clock ", -1},
        {sigxfsz, " [0] advice: Recieved Signal for File size limit exceeded", -1},
        {sigurg, " [0] advice: Recieved Signal for Urgent condition on socket ", -1},
        {sigttou, " [0] advice: Recieved Signal for Background write to tty", -1},
        {sigttin, " [0] advice: Recieved Signal for Background read from tty", -1},
        {sigcont, " [0] advice: Recieved Signal to Continue ", -1},
        {sigchld, " [0] advice: Recieved Signal of Child status has changed ", -1},
        {sigalarm, " [0] advice: Recieved Signal for Alarm clock ", -1},
        {sigpwr, " [0] advice: Recieved Signal for Power failure restart ", 0},
        {sigstk, " [0] error: Recieved Signal for Stack fault", 1},
        {sigfpe, " [0] error: Recieved Signal for Floating-point exception", 1},
        {sigbus, " [0] error: Recieved Signal for BUS error ", 1},
        {sigxcpu, " [0] advice: Recieved Signal for CPU limit exceeded ", 0},
        {sigtstp, " [0] advice: Recieved Signal for Keyboard stop", 0},
        {sigstop, " [0] advice: Recieved Signal for Stop", 0},
        {sigabrt, " [0] advice: Recieved Signal to Abort", 1},
        {sigtrap, " [0] error: Recieved Signal for Trace trap (POSIX)", 1},
        {sigill, " [0] error: Recieved Signal for Illegal instruction ", 1},
        {sigquit, " [0] advice: Recieved Signal to Quit", 0},
        {sigint, " [0] advice: Recieved Signal of Interrupt", 0},
    };
    for (const FurtherCase& c : cases) {
        SCOPED_TRACE(c.line);
        unlink(log_path.c_str());
        if (logfd != -1)
            close(logfd);
        logfd = -1;
        write_pidfile(0);
        if (c.status == -1) {
            c.handler(0);
        } else {
            EXPECT_EXIT(
                {
                    write_pidfile(static_cast<unsigned>(getpid()));
                    c.handler(0);
                },
                ::testing::ExitedWithCode(c.status), "");
            EXPECT_FALSE(logtest::exists(pid_path));
        }
        EXPECT_EQ(messages(), std::vector<std::string>{c.line});
    }
}

} // namespace
