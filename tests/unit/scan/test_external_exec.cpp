// Running external programs: input, output, environment, temporary-file
// mode and exit status; what a program inherits (descriptors, signal mask)
// and the bounds on a run (time limit, programs ended by a signal).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "config/general.h"
#include "core/filebuf.h"
#include "scan/external_exec.h"
#include "support/section_test_support.h"

using sectiontest::Connection;

namespace {

class ExternalExecTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        general_section = new GeneralSection();
        load_general(60);
    }
    // The temporary directory, and one General entry for every connection
    // whose I/O time-out bounds a program's run.
    void load_general(int timeout) {
        sectiontest::load(*general_section,
                          "<general><tempdir>" + dir + "</tempdir><general>" +
                              sectiontest::elements({{"enabled", "true"},
                                                     {"timeout", std::to_string(timeout)}}) +
                              "</general></general>");
    }
    // Runs the command; returns its output ("(none)" when it could not run).
    std::string run(const char* command, const std::string& input, int mode, int* status,
                    CONNECTION_T* connection = nullptr) {
        Filebuf in;
        if (!input.empty())
            in.Add(input.data(), static_cast<unsigned>(input.size()));
        Filebuf* out = external_exec(connection, command, &in, mode, status);
        if (out == nullptr)
            return "(none)";
        std::string text = out->size == 0 ? "" : std::string(out->data, out->size);
        delete out;
        return text;
    }
};

TEST_F(ExternalExecTest, InputThroughThePipeAndExitStatus) {
    int status = -1;
    std::string big(300000, 'z'); // more than a pipe holds at once
    EXPECT_EQ(run("/bin/cat", big, 0, &status), big);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run("/bin/sh -c 'echo out; exit 3'", "", 0, &status), "out\n");
    EXPECT_EQ(status, 3);
    EXPECT_EQ(run("/nonexistent/program", "", 0, &status), "");
    EXPECT_EQ(status, 1);
}

TEST_F(ExternalExecTest, EnvironmentIsTheTemplateVariablesOnly) {
    Connection connection;
    connection->variables["URL"] = "http://h/a b";
    connection->variables["IP"] = "10.1.2.3";
    int status = -1;
    EXPECT_EQ(run("/usr/bin/env", "", 0, &status, connection.get()),
              "IP=10.1.2.3\nURL=http://h/a b\n");
    EXPECT_EQ(run("/usr/bin/env", "", 0, &status), "");
}

TEST_F(ExternalExecTest, TemporaryFileModePassesAndRemovesTheFile) {
    int status = -1;
    std::string output = run("/bin/sh -c 'cat \"$0\"; echo \" $0\"'", "body", 1, &status);
    ASSERT_EQ(output.rfind("body " + dir + "/", 0), 0u) << output;
    std::string path = output.substr(5, output.size() - 6);
    EXPECT_FALSE(logtest::exists(path)) << path;
}

// The daemon's workers block the signals its signal thread waits for, and
// open sockets and files without caring about children: a program must get
// neither.
TEST_F(ExternalExecTest, ProgramInheritsNoDescriptorAndAnEmptySignalMask) {
    sigset_t blocked, saved;
    sigemptyset(&blocked);
    for (int signo : {SIGTERM, SIGHUP, SIGUSR1, SIGUSR2})
        sigaddset(&blocked, signo);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &saved), 0);
    int stray = open("/dev/null", O_RDONLY); // no O_CLOEXEC, like a careless library
    ASSERT_GE(stray, 3);
    int status = -1;
    std::string output =
        run("/bin/sh -c 'grep -E \"^Sig(Blk|Ign)\" /proc/self/status; ls /proc/self/fd'", "x", 0,
            &status);
    close(stray);
    pthread_sigmask(SIG_SETMASK, &saved, NULL);
    EXPECT_EQ(status, 0);
    EXPECT_NE(output.find("SigBlk:\t0000000000000000\n"), std::string::npos) << output;
    EXPECT_NE(output.find("SigIgn:\t0000000000000000\n"), std::string::npos) << output;
    // 0, 1, 2 and the one ls opens to list the directory.
    EXPECT_NE(output.find("\n0\n1\n2\n3\n"), std::string::npos) << output;
    EXPECT_EQ(output.find("\n4\n"), std::string::npos) << output;
}

// A program past its time limit is killed with whatever it started, its
// output is dropped, and a program a signal ended never counts as a success.
TEST_F(ExternalExecTest, RunsAreBoundedAndKilledProgramsFail) {
    load_general(1);
    Connection connection;
    int status = 0;
    struct timespec begin, end, first;
    clock_gettime(CLOCK_MONOTONIC, &first);
    begin = first;
    std::string marker = dir + "/survivor";
    std::string command = "/bin/sh -c 'echo partial; (sleep 2; touch " + marker +
                          ") & sleep 30'";
    EXPECT_EQ(run(command.c_str(), "", 0, &status, connection.get()), "");
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_EQ(status, 128 + SIGKILL);
    EXPECT_LT(end.tv_sec - begin.tv_sec, 3);
    EXPECT_TRUE(logged("ran longer than 1 seconds and was killed"));

    // A program that closes its output but goes on running is bounded too.
    clock_gettime(CLOCK_MONOTONIC, &begin);
    run("/bin/sh -c 'exec >&-; sleep 30'", "", 0, &status, connection.get());
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_EQ(status, 128 + SIGKILL);
    EXPECT_LT(end.tv_sec - begin.tv_sec, 3);

    EXPECT_EQ(run("/bin/sh -c 'echo half; kill -TERM $$'", "", 0, &status), "");
    EXPECT_EQ(status, 128 + SIGTERM);

    // The background child of the first program went with its group.
    clock_gettime(CLOCK_MONOTONIC, &end);
    long waited_ms = (end.tv_sec - first.tv_sec) * 1000 + (end.tv_nsec - first.tv_nsec) / 1000000;
    if (waited_ms < 2600)
        usleep(static_cast<useconds_t>((2600 - waited_ms) * 1000));
    EXPECT_FALSE(logtest::exists(marker));
}

} // namespace
