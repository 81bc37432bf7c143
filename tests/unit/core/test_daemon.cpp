// Command-line reading, the PID file probe, rlimit texts and client ids.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/daemon.h"
#include "core/log.h"
#include "core/signals.h"

namespace {

// Runs parse_options over a vector of words (argv[0] is added).
options_result parse(std::vector<std::string> words) {
    words.insert(words.begin(), "kestrivan");
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    options_result result = parse_options(static_cast<int>(words.size()), argv.data());
    testing::internal::GetCapturedStderr();
    return result;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(Options, FilesAndModuleDirectory) {
    ASSERT_EQ(parse({"-c", "/etc/k.xml", "-s", "/etc/s.xml", "-m", "/tmp/mods", "-p", "/run/k.pid"}),
              OPTIONS_RUN);
    EXPECT_STREQ(configfile, "/etc/k.xml");
    EXPECT_STREQ(sectionfile, "/etc/s.xml");
    EXPECT_STREQ(moduledir, "/tmp/mods/");
    EXPECT_STREQ(pidfile, "/run/k.pid");
    ASSERT_EQ(parse({"-m", "/tmp/mods/"}), OPTIONS_RUN);
    EXPECT_STREQ(moduledir, "/tmp/mods/");
}

TEST(Options, FeedFileFollowsAccessLogWhateverTheOrder) {
    ASSERT_EQ(parse({"-l", "/var/log/error.log", "-a", "/var/log/access.log"}), OPTIONS_RUN);
    EXPECT_STREQ(vantorifeed, "/var/log/access.log.vantorifeed");
}

TEST(Options, NoFeedFileWithoutErrorLog) {
    ASSERT_EQ(parse({"-a", "/var/log/access.log"}), OPTIONS_RUN);
    EXPECT_STREQ(vantorifeed, "");
}

TEST(Options, ListenAddress) {
    ASSERT_EQ(parse({"-L", "127.0.0.1:8080"}), OPTIONS_RUN);
    EXPECT_STREQ(listenip, "127.0.0.1");
    EXPECT_EQ(listenport, 8080);
    EXPECT_EQ(parse({"-L", "8080"}), OPTIONS_EXIT_USAGE);
    EXPECT_EQ(parse({"-L", "1234567890123456:80"}), OPTIONS_EXIT_USAGE);
    // 15 characters still fit.
    ASSERT_EQ(parse({"-L", "123.123.123.123:81"}), OPTIONS_RUN);
    EXPECT_STREQ(listenip, "123.123.123.123");
}

TEST(Options, MasterMakesSlave) {
    ASSERT_EQ(parse({"-M", "nohost"}), OPTIONS_RUN);
    EXPECT_EQ(slave, 0);
    ASSERT_EQ(parse({"-M", "master.example:3128", "-S", "general,ftp", "-E", "cache", "-I", "30"}),
              OPTIONS_RUN);
    EXPECT_EQ(slave, 1);
    EXPECT_STREQ(masterhost, "master.example");
    EXPECT_EQ(masterport, 3128);
    EXPECT_STREQ(syncsections, "general,ftp");
    EXPECT_STREQ(nosyncsections, "cache");
    EXPECT_EQ(syncinterval, 30);
}

TEST(Options, PasswordCache) {
    struct Case {
        const char* arg;
        options_result result;
        unsigned size;
        int age;
        int flag;
    } cases[] = {
        {"100:30", OPTIONS_RUN, 100, 30, 0},
        {"0:0", OPTIONS_RUN, 8111, 600, 1},
        {"100", OPTIONS_EXIT_USAGE, 8111, 600, 0},
        {"0:600", OPTIONS_EXIT_USAGE, 8111, 600, 0},
        {"500:0", OPTIONS_RUN, 500, 0, 0},
    };
    for (const Case& c : cases) {
        password_cachesize = 8111;
        password_cachexpire = 600;
        authflag = 0;
        EXPECT_EQ(parse({"-P", c.arg}), c.result) << c.arg;
        EXPECT_EQ(password_cachesize, c.size) << c.arg;
        EXPECT_EQ(password_cachexpire, c.age) << c.arg;
        EXPECT_EQ(authflag, c.flag) << c.arg;
    }
}

TEST(Options, ThreadsStackAndTimeouts) {
    ASSERT_EQ(parse({"-t", "64", "-z", "21", "-T", "5", "-C", "3", "-o", "2"}), OPTIONS_RUN);
    EXPECT_EQ(MAXTHREADS, 64);
    EXPECT_EQ(max_opt_stack, 2097152);
    EXPECT_EQ(opt_stack, 2097152);
    EXPECT_EQ(THREAD_TIMEOUT, 5);
    EXPECT_EQ(CLIENT_POOL_TIMEOUT, 3);
    EXPECT_EQ(overload_factor, 2);
    ASSERT_EQ(parse({"-t", "20000"}), OPTIONS_RUN);
    EXPECT_EQ(MAXTHREADS, 64);
    ASSERT_EQ(parse({"-t", "0"}), OPTIONS_RUN);
    EXPECT_EQ(MAXTHREADS, 64);
}

TEST(Options, SocketBuffersAndKeepAlive) {
    ASSERT_EQ(parse({"-b", "16384:4096"}), OPTIONS_RUN);
    EXPECT_EQ(SND_BUF, 16384);
    EXPECT_EQ(RCV_BUF, 4096);
    EXPECT_EQ(BLOCKSIZE, 16384u);
    ASSERT_EQ(parse({"-b", ":32768"}), OPTIONS_RUN);
    EXPECT_EQ(SND_BUF, 16384);
    EXPECT_EQ(RCV_BUF, 32768);
    EXPECT_EQ(BLOCKSIZE, 32768u);
    ASSERT_EQ(parse({"-k", "::4"}), OPTIONS_RUN);
    EXPECT_EQ(TCP_KEEPIDLE_TIME, 900);
    EXPECT_EQ(TCP_KEEPINTVL_TIME, 75);
    EXPECT_EQ(TCP_KEEPCNT_COUNTS, 4);
    ASSERT_EQ(parse({"-k", "60:10"}), OPTIONS_RUN);
    EXPECT_EQ(TCP_KEEPIDLE_TIME, 60);
    EXPECT_EQ(TCP_KEEPINTVL_TIME, 10);
}

TEST(Options, LoggingSettings) {
    ASSERT_EQ(parse({"-J", "1000", "-j", "1", "-d", "0x3", "-f", "-r", "/tmp/p.log"}), OPTIONS_RUN);
    EXPECT_EQ(LOG_SIZE_LIMIT, 1000);
    EXPECT_EQ(PROCESS_OLD_LOGS, 1);
    EXPECT_EQ(loglevel, 3);
    EXPECT_EQ(daemonize, 0);
    EXPECT_STREQ(plogfile, "/tmp/p.log");
}

TEST(Options, OverlongValuesAreCutNotOverrun) {
    std::string longpath(1000, 'x');
    ASSERT_EQ(parse({"-c", longpath}), OPTIONS_RUN);
    EXPECT_EQ(strlen(configfile), 255u);
}

TEST(Options, HelpAndVersionEndTheRun) {
    EXPECT_EQ(parse({"-h"}), OPTIONS_EXIT_OK);
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse({"-v"}), OPTIONS_EXIT_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("Kestrivan - VERSION - ") + KESTRIVAN_VERSION + " - BUILD - 20120127\n");
}

TEST(PidCheck, LiveStaleAndGarbage) {
    char dir[] = "/tmp/pidcheckXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/k.pid";

    // A live process recorded in the file wins and the file stays.
    pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    {
        std::ofstream(path) << child << "\n";
    }
    EXPECT_EQ(pid_check(path.c_str()), static_cast<unsigned>(child));
    EXPECT_EQ(read_file(path), std::to_string(child) + "\n");
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    // The same pid, now gone, is replaced by ours.
    EXPECT_EQ(pid_check(path.c_str()), 0u);
    EXPECT_EQ(read_file(path), std::to_string(getpid()) + "\n");

    {
        std::ofstream(path) << "garbage\n";
    }
    EXPECT_EQ(pid_check(path.c_str()), 0u);
    EXPECT_EQ(read_file(path), std::to_string(getpid()) + "\n");

    EXPECT_EQ(pid_check((std::string(dir) + "/missing/k.pid").c_str()), 1u);
    unlink(path.c_str());
    rmdir(dir);
}

TEST(PrintRlimit, AllForms) {
    struct Case {
        long current, maximum;
        const char* text;
    } cases[] = {
        {1024, 4096, "current: 1024  maximum: 4096"},
        {-1, -1, "current: unlimited  maximum: unlimited"},
        {-1, 10, "current: unlimited  maximum: 10"},
        {10, -1, "current: 10  maximum: unlimited"},
    };
    for (const Case& c : cases) {
        char* text = print_rlimit(c.current, c.maximum);
        EXPECT_STREQ(text, c.text);
        free(text);
    }
}

TEST(ClientId, WrapsAfterTheLastValidId) {
    clientid = 4294967293u;
    EXPECT_EQ(next_clientid(), 4294967293u);
    EXPECT_EQ(next_clientid(), 4294967294u);
    EXPECT_EQ(next_clientid(), 1u);
    EXPECT_EQ(next_clientid(), 2u);
}

TEST(ReleaseBuild, Number) { EXPECT_EQ(get_my_release_build(), 20120127); }
