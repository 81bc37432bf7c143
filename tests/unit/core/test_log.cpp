// The error log: line format, categories and level mask, the echo, size
// rotation with each PROCESS_OLD_LOGS action, compression of rotated logs,
// the ring of newest lines, and that logging never waits for itself.
#include <gtest/gtest.h>

#include <errno.h>
#include <pthread.h>
#include <regex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <iterator>
#include <set>
#include <thread>

#include "core/log.h"
#include "core/threads.h"
#include "support/log_test_support.h"

using namespace logtest;

namespace {

const std::regex stamp_pattern("[0-9]{4} [0-9]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");
const std::regex rotated_pattern("[0-9]{14}-error\\.log(\\.[0-9]+)?");

class LogTest : public LogDirTest {
protected:
    // Names of the rotated logs in the directory (compressed ones excluded).
    std::vector<std::string> rotated_logs() {
        std::vector<std::string> names;
        for (const std::string& name : list_dir(dir))
            if (std::regex_match(name, rotated_pattern))
                names.push_back(name);
        return names;
    }
};

// ---- Line format -------------------------------------------------------------

TEST_F(LogTest, EveryCategoryWritesItsWord) {
    loglevel = ~0;
    const struct {
        int category;
        const char* word;
    } categories[] = {
        {LOG_ADVICE, "advice: "},           {LOG_REQUEST, "request: "},
        {LOG_NETWORK, "network: "},         {LOG_URLFILTER, "url filter: "},
        {LOG_HEADER, "header: "},           {LOG_MIMEFILTER, "mime filter: "},
        {LOG_COOKIEFILTER, "cookie filter: "}, {LOG_REDIRECT, "redirect: "},
        {LOG_TEMPLATE, "template: "},       {LOG_KEYWORDFILTER, "keyword filter: "},
        {LOG_REWRITE, "rewriting: "},       {LOG_LIMITS, "limits: "},
        {LOG_CACHE, "cache: "},             {LOG_PREFETCH, "prefetch: "},
        {LOG_ICP, "ICP: "},                 {LOG_FORWARD, "forwarding: "},
        {LOG_SYNC, "sync: "},               {LOG_ANTIVIRUS, "antivirus: "},
        {LOG_EXTERNAL, "external: "},       {LOG_ICAP, "ICAP: "},
        {LOG_DNSBL, "dnsbl: "},             {LOG_URLBLACKLIST, "URL blacklist: "},
        {LOG_URLCOMMAND, "URL command: "},  {LOG_MODULE, "module: "},
        {LOG_SECURITY, "security: "},       {LOG_WARNING, "warning: "},
        {LOG_ERROR, "error: "},             {LOG_PROFILES, "profiles: "},
        {LOG_DEBUG, "debug: "},             {LOG_VERIFY, "verify: "},
        {LOG_ERROR | LOG_NETWORK, ""}, // not one category: no word
    };
    int n = 0;
    for (const auto& c : categories)
        putlog(c.category, "line %d of %s", n++, "many");

    std::vector<std::string> lines = file_lines(log_path);
    ASSERT_EQ(lines.size(), std::size(categories));
    n = 0;
    for (const auto& c : categories) {
        const std::string& line = lines[n];
        EXPECT_TRUE(std::regex_match(line.substr(0, 19), stamp_pattern)) << line;
        EXPECT_EQ(after_stamp(line),
                  std::string(" [0] ") + c.word + "line " + std::to_string(n) + " of many");
        n++;
    }
    // The file holds exactly what was counted.
    EXPECT_EQ(logsize, static_cast<int64_t>(read_file(log_path).size()));
}

TEST_F(LogTest, LinesCarryTheClientIdOfTheThread) {
    threads_init();
    thread_set_clientid(4242);
    putlog(LOG_ERROR, "tagged");
    thread_set_clientid(0);
    std::vector<std::string> lines = file_lines(log_path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(after_stamp(lines[0]), " [4242] error: tagged");
}

TEST_F(LogTest, LevelMaskDecidesFileAndEchoButNotTheBuffer) {
    loglevel = 0;
    daemonize = 0;
    StdoutCapture capture(dir + "/stdout");
    putlog(LOG_ERROR, "hidden error");
    putlog(LOG_ADVICE, "shown advice");
    putlog(LOG_DEBUG, "debug while off");
    loglevel = LOG_DEBUG;
    putlog(LOG_DEBUG, "debug while on");
    daemonize = 1;
    putlog(LOG_ADVICE, "advice in the background");
    std::vector<std::string> echoed = split_lines(capture.stop());

    std::vector<std::string> written = file_lines(log_path);
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(after_stamp(written[0]), " [0] advice: shown advice");
    EXPECT_EQ(after_stamp(written[1]), " [0] debug: debug while on");
    EXPECT_EQ(after_stamp(written[2]), " [0] advice: advice in the background");

    ASSERT_EQ(echoed.size(), 2u);
    EXPECT_EQ(echoed[0], written[0]);
    EXPECT_EQ(echoed[1], written[1]);

    // Every category but debug is kept, enabled or not.
    std::vector<std::string> kept = buffered(log_buffer);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0], written[2]);
    EXPECT_EQ(kept[1], written[0]);
    EXPECT_EQ(after_stamp(kept[2]), " [0] error: hidden error");
}

TEST_F(LogTest, NewlinesAndTheLengthCut) {
    putlog(LOG_ERROR, "ends in its own newline\n");
    putlog(LOG_ERROR, "%s", std::string(20000, 'x').c_str());
    putlog(LOG_ERROR, "%s", "");

    std::string text = read_file(log_path);
    std::vector<std::string> lines = split_lines(text);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(after_stamp(lines[0]), " [0] error: ends in its own newline");
    EXPECT_EQ(lines[1].size() + 1, 8191u); // with its newline
    EXPECT_EQ(lines[1].back(), 'x');
    EXPECT_EQ(after_stamp(lines[2]), " [0] error: ");
    EXPECT_EQ(text.back(), '\n');

    std::vector<std::string> kept = buffered(log_buffer);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[2], lines[0] + "\n"); // the message's own newline is part of it
    EXPECT_EQ(kept[1].size(), 8190u);    // putlog's newline is not
}

TEST_F(LogTest, KeepsErrnoAndWorksWithoutABuffer) {
    log_buffer = NULL;
    errno = EBADF;
    putlog(LOG_ERROR, "no buffer yet");
    EXPECT_EQ(errno, EBADF);
    std::vector<std::string> lines = file_lines(log_path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(after_stamp(lines[0]), " [0] error: no buffer yet");

    logfile[0] = '\0'; // no error-log file at all: nothing is written
    putlog(LOG_ERROR, "nowhere");
    EXPECT_EQ(file_lines(log_path).size(), 1u);
}

// ---- Rotation -------------------------------------------------------------------

struct RotationCase {
    int process_old_logs;
    bool relative; // the log path holds no '/'
};

class RotationTest : public LogTest, public ::testing::WithParamInterface<RotationCase> {};

// The line that reaches the limit goes into the old file; then the old file
// is deleted (0), or moved aside under the time stamp and kept (2) and
// queued for compression too (1). The next line starts a new file.
TEST_P(RotationTest, FullLogIsDeletedMovedOrQueued) {
    const RotationCase c = GetParam();
    PROCESS_OLD_LOGS = c.process_old_logs;
    LOG_SIZE_LIMIT = 100;
    if (c.relative) {
        ASSERT_EQ(chdir(dir.c_str()), 0);
        set_logfile("error.log");
    }
    std::string padding(40, 'p');
    putlog(LOG_ERROR, "first %s", padding.c_str());
    ASSERT_TRUE(exists(log_path));
    EXPECT_TRUE(rotated_logs().empty());
    putlog(LOG_ERROR, "second %s", padding.c_str());
    EXPECT_FALSE(exists(log_path));
    EXPECT_EQ(logfd, -1);

    std::vector<std::string> rotated = rotated_logs();
    if (c.process_old_logs == 0) {
        EXPECT_TRUE(rotated.empty());
        EXPECT_TRUE(list_dir(dir).empty());
        EXPECT_TRUE(zip_list.empty());
    } else {
        ASSERT_EQ(rotated.size(), 1u);
        std::vector<std::string> old_lines = file_lines(dir + "/" + rotated[0]);
        ASSERT_EQ(old_lines.size(), 2u);
        EXPECT_EQ(after_stamp(old_lines[0]), " [0] error: first " + padding);
        EXPECT_EQ(after_stamp(old_lines[1]), " [0] error: second " + padding);
        if (c.process_old_logs == 1) {
            std::string queued = c.relative ? rotated[0] : dir + "/" + rotated[0];
            EXPECT_EQ(zip_list, std::list<std::string>{queued});
        } else {
            EXPECT_TRUE(zip_list.empty());
        }
    }

    putlog(LOG_ERROR, "third");
    std::vector<std::string> fresh = file_lines(log_path);
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(after_stamp(fresh[0]), " [0] error: third");
    EXPECT_EQ(logsize, static_cast<int64_t>(fresh[0].size() + 1));

    if (c.process_old_logs == 1) {
        LOG_SIZE_LIMIT = 0; // compression logs too; keep those lines in one file
        std::string old_path = dir + "/" + rotated[0];
        std::string before = read_file(old_path);
        zip_files(NULL);
        EXPECT_FALSE(exists(old_path));
        EXPECT_EQ(run("gzip -dc '" + old_path + ".gz'"), before);
        EXPECT_TRUE(zip_list.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(EachAction, RotationTest,
                         ::testing::Values(RotationCase{0, false}, RotationCase{1, false},
                                           RotationCase{2, false}, RotationCase{0, true},
                                           RotationCase{1, true}, RotationCase{2, true}),
                         [](const ::testing::TestParamInfo<RotationCase>& info) {
                             return "keep" + std::to_string(info.param.process_old_logs) +
                                    (info.param.relative ? "_relative" : "_absolute");
                         });

// With a tiny limit every line rotates, several within one second: no
// rotated log may replace another, and every line survives compression.
TEST_F(LogTest, RotationsWithinOneSecondKeepEveryLog) {
    PROCESS_OLD_LOGS = 1;
    LOG_SIZE_LIMIT = 1;
    const int lines = 6;
    for (int i = 0; i < lines; i++)
        putlog(LOG_ERROR, "rotated line %d", i);
    EXPECT_EQ(rotated_logs().size(), static_cast<size_t>(lines));
    ASSERT_EQ(zip_list.size(), static_cast<size_t>(lines));

    std::vector<std::string> queued(zip_list.begin(), zip_list.end());
    LOG_SIZE_LIMIT = 0; // compression logs too; keep those lines in one file
    for (int i = 0; i < lines; i++)
        zip_files(NULL);
    EXPECT_TRUE(zip_list.empty());
    EXPECT_TRUE(rotated_logs().empty());

    std::set<std::string> recovered;
    for (const std::string& path : queued)
        for (const std::string& line : split_lines(run("gzip -dc '" + path + ".gz'")))
            recovered.insert(after_stamp(line));
    std::set<std::string> expected;
    for (int i = 0; i < lines; i++)
        expected.insert(" [0] error: rotated line " + std::to_string(i));
    EXPECT_EQ(recovered, expected);
}

// `writers` threads each log "writer <t> line <i>" for i below per_writer.
void log_from_threads(int writers, int per_writer) {
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; t++)
        threads.emplace_back([t, per_writer] {
            for (int i = 0; i < per_writer; i++)
                putlog(LOG_ERROR, "writer %d line %d", t, i);
        });
    for (std::thread& thread : threads)
        thread.join();
}

// Several threads log through many rotations: nothing waits for ever, no
// line is lost or written twice.
TEST_F(LogTest, ConcurrentLoggingThroughRotations) {
    PROCESS_OLD_LOGS = 2;
    LOG_SIZE_LIMIT = 4000;
    const int writers = 4, per_writer = 300;
    size_t descriptors = logtest::open_descriptors();
    log_from_threads(writers, per_writer);
    // Each full log is closed once its lock is let go; only the newest stays open.
    EXPECT_LE(logtest::open_descriptors(), descriptors + 1);

    std::multiset<std::string> seen;
    for (const std::string& name : list_dir(dir))
        for (const std::string& line : file_lines(dir + "/" + name))
            seen.insert(after_stamp(line));
    ASSERT_EQ(seen.size(), static_cast<size_t>(writers * per_writer));
    for (int t = 0; t < writers; t++)
        for (int i = 0; i < per_writer; i += 37)
            EXPECT_EQ(seen.count(" [0] error: writer " + std::to_string(t) + " line " +
                                 std::to_string(i)),
                      1u);
    EXPECT_GT(rotated_logs().size(), 1u);
}

// Lines of several threads leave in shared writes; the log still rotates
// after the line that fills it, as when lines come one by one: with a limit
// of one byte every kept log holds exactly one line.
TEST_F(LogTest, SharedWritesRotateAfterTheLineThatFillsTheLog) {
    PROCESS_OLD_LOGS = 2;
    LOG_SIZE_LIMIT = 1;
    const int writers = 4, per_writer = 40;
    log_from_threads(writers, per_writer);
    std::vector<std::string> rotated = rotated_logs();
    EXPECT_EQ(rotated.size(), static_cast<size_t>(writers * per_writer));
    for (const std::string& name : rotated)
        EXPECT_EQ(file_lines(dir + "/" + name).size(), 1u) << name;
}

TEST_F(LogTest, TimeStampedRename) {
    std::string path = dir + "/native.log";
    std::ofstream(path) << "old";
    std::string moved = time_stamped_rename(path.c_str());
    EXPECT_TRUE(std::regex_match(moved, std::regex(dir + "/[0-9]{14}-native\\.log"))) << moved;
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(read_file(moved), "old");

    // The time-stamped name is taken (same second, or its compressed form):
    // a suffix keeps both.
    std::ofstream(path) << "newer";
    std::string again = time_stamped_rename(path.c_str());
    if (again.compare(0, moved.size(), moved) == 0) {
        EXPECT_EQ(again, moved + ".1");
    }
    EXPECT_EQ(read_file(moved), "old");
    EXPECT_EQ(read_file(again), "newer");

    // Without a directory the log moves within the working directory.
    ASSERT_EQ(chdir(dir.c_str()), 0);
    std::ofstream("plain.log") << "here";
    std::string local = time_stamped_rename("plain.log");
    EXPECT_TRUE(std::regex_match(local, std::regex("[0-9]{14}-plain\\.log"))) << local;
    EXPECT_EQ(read_file(dir + "/" + local), "here");

    // Nothing to move: nothing to report as moved.
    EXPECT_EQ(time_stamped_rename((dir + "/missing.log").c_str()), "");
}

// ---- Compression --------------------------------------------------------------

class ZipTest : public LogTest {
protected:
    std::string make_file(const std::string& name, const std::string& content) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
};

TEST_F(ZipTest, CompressesTheOldestQueuedLog) {
    std::string content;
    for (int i = 0; i < 5000; i++)
        content += "2024 01 02 03:04:05 [" + std::to_string(i * 7919 % 10007) + "] request: GET\n";
    std::string first = make_file("first.log", content);
    std::string second = make_file("second.log", "second");
    EXPECT_EQ(add_to_ziplist(first), 1);
    EXPECT_EQ(add_to_ziplist(second), 2);
    EXPECT_EQ(add_to_ziplist(first), 3); // the same log twice
    EXPECT_EQ(add_to_ziplist(""), 3);    // nothing to compress

    zip_files(NULL);
    EXPECT_FALSE(exists(first));
    EXPECT_EQ(run("gzip -dc '" + first + ".gz'"), content);
    EXPECT_EQ(zip_list, std::list<std::string>{second}); // both entries of it gone
    struct stat info;
    ASSERT_EQ(stat((first + ".gz").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);

    std::vector<std::string> lines = file_lines(log_path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(after_stamp(lines[0]), " [0] advice: debug: compressing: " + first);
    EXPECT_EQ(after_stamp(lines[1]), " [0] advice: debug: generated: " + first + ".gz");

    zip_files(NULL);
    EXPECT_EQ(run("gzip -dc '" + second + ".gz'"), "second");
    EXPECT_TRUE(zip_list.empty());
    zip_files(NULL); // empty queue: nothing happens
    EXPECT_EQ(file_lines(log_path).size(), 4u);
}

TEST_F(ZipTest, EmptyLogKeepsItsFile) {
    std::string empty = make_file("empty.log", "");
    add_to_ziplist(empty);
    zip_files(NULL);
    EXPECT_TRUE(exists(empty));
    EXPECT_TRUE(exists(empty + ".gz"));
    EXPECT_EQ(run("gzip -dc '" + empty + ".gz' && echo ok"), "ok\n");
    EXPECT_TRUE(zip_list.empty());
}

TEST_F(ZipTest, VanishedLogDoesNotBlockTheQueue) {
    std::string gone = dir + "/gone.log";
    std::string next = make_file("next.log", "next");
    add_to_ziplist(gone);
    add_to_ziplist(next);
    StdoutCapture capture(dir + "/stdout");
    zip_files(NULL);
    EXPECT_EQ(capture.stop(), "fopen failed to get infile[" + gone + "] pointer");
    EXPECT_FALSE(exists(gone + ".gz"));
    EXPECT_EQ(zip_list, std::list<std::string>{next});
    zip_files(NULL);
    EXPECT_EQ(run("gzip -dc '" + next + ".gz'"), "next");
    EXPECT_TRUE(zip_list.empty());
}

TEST_F(ZipTest, OutputThatCannotBeCreatedKeepsTheLogQueued) {
    std::string path = make_file("blocked.log", "keep me");
    ASSERT_EQ(mkdir((path + ".gz").c_str(), 0755), 0);
    add_to_ziplist(path);
    StdoutCapture capture(dir + "/stdout");
    zip_files(NULL);
    EXPECT_EQ(capture.stop(), "fopen failed to get outfile[" + path + ".gz] pointer");
    EXPECT_EQ(read_file(path), "keep me");
    EXPECT_EQ(zip_list, std::list<std::string>{path});
}

// The compressed output cannot be written (the device is full): the log
// must survive and stay queued for the next run, with no broken output left.
TEST_F(ZipTest, FailedCompressionKeepsTheLog) {
    std::string content(100000, 'z');
    std::string path = make_file("full.log", content);
    ASSERT_EQ(symlink("/dev/full", (path + ".gz").c_str()), 0);
    add_to_ziplist(path);
    zip_files(NULL);
    EXPECT_EQ(read_file(path), content);
    EXPECT_EQ(zip_list, std::list<std::string>{path});
    EXPECT_FALSE(exists(path + ".gz"));
    std::string log = read_file(log_path);
    EXPECT_NE(log.find("error: [system: gz"), std::string::npos) << log;
    EXPECT_EQ(log.find("debug: generated"), std::string::npos) << log;

    zip_files(NULL); // the next run succeeds
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(run("gzip -dc '" + path + ".gz'"), content);
}

// ---- The log buffer -----------------------------------------------------------

// Walks the ring both ways and checks the links agree.
std::vector<std::string> walk(LOGBUFFER* buffer) {
    std::vector<std::string> newest_first = buffered(buffer);
    std::vector<std::string> oldest_first;
    for (LOGBUFFER_ENTRY* e = buffer->oldest; e != NULL; e = e->newer)
        oldest_first.push_back(e->text);
    std::reverse(oldest_first.begin(), oldest_first.end());
    EXPECT_EQ(newest_first, oldest_first);
    EXPECT_EQ(static_cast<int>(newest_first.size()), buffer->count);
    if (buffer->newest != NULL) {
        EXPECT_EQ(buffer->newest->newer, nullptr);
        EXPECT_EQ(buffer->oldest->older, nullptr);
    }
    return newest_first;
}

std::vector<std::string> numbers(int from, int to) { // from down to `to`
    std::vector<std::string> texts;
    for (int i = from; i >= to; i--)
        texts.push_back(std::to_string(i));
    return texts;
}

TEST(LogBuffer, RingKeepsTheNewestLines) {
    LOGBUFFER* buffer = logbuffer_new(3);
    ASSERT_NE(buffer, nullptr);
    EXPECT_TRUE(walk(buffer).empty());
    for (int i = 1; i <= 5; i++)
        logbuffer_add(buffer, std::to_string(i).c_str());
    EXPECT_EQ(walk(buffer), numbers(5, 3));
    EXPECT_EQ(buffer->capacity, 3);

    logbuffer_clear(buffer);
    EXPECT_TRUE(walk(buffer).empty());
    EXPECT_EQ(buffer->capacity, 3);
    logbuffer_add(buffer, "after clear");
    EXPECT_EQ(walk(buffer), std::vector<std::string>{"after clear"});

    LOGBUFFER* nothing = logbuffer_new(0);
    logbuffer_add(nothing, "dropped");
    EXPECT_TRUE(walk(nothing).empty());
}

TEST(LogBuffer, Resize) {
    const struct {
        int capacity, added, resized_to;
        int kept_from, kept_to; // kept lines, newest first; kept_from 0: none
        int capacity_after;
    } cases[] = {
        {10, 5, 2, 5, 4, 2},   // keeps the two newest
        {10, 5, 10, 5, 1, 10}, // keeps all
        {3, 5, 10, 5, 3, 10},  // grows
        {10, 5, 0, 0, 0, 0},   // empties
        {10, 5, -1, 5, 1, 10}, // negative: no change
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.resized_to);
        LOGBUFFER* buffer = logbuffer_new(c.capacity);
        for (int i = 1; i <= c.added; i++)
            logbuffer_add(buffer, std::to_string(i).c_str());
        logbuffer_resize(buffer, c.resized_to);
        EXPECT_EQ(walk(buffer), c.kept_from == 0 ? std::vector<std::string>()
                                                 : numbers(c.kept_from, c.kept_to));
        EXPECT_EQ(buffer->capacity, c.capacity_after);
    }

    // Grown to 10 with 5 held, it takes 10.
    LOGBUFFER* buffer = logbuffer_new(5);
    for (int i = 1; i <= 5; i++)
        logbuffer_add(buffer, std::to_string(i).c_str());
    logbuffer_resize(buffer, 10);
    for (int i = 6; i <= 12; i++)
        logbuffer_add(buffer, std::to_string(i).c_str());
    EXPECT_EQ(walk(buffer), numbers(12, 3));
}

// Loggers never wait for a reader (or a preempted logger) holding the
// buffer's lock; the lines they added meanwhile are all there once it is
// settled, each thread's in its own order, the oldest dropped past the
// capacity.
TEST(LogBuffer, AddsDoNotWaitForTheLockAndKeepTheirOrder) {
    const int threads = 4, lines = 300, capacity = 1000;
    LOGBUFFER* buffer = logbuffer_new(capacity);
    ASSERT_NE(buffer, nullptr);
    pthread_mutex_lock(&buffer->lock);
    std::vector<std::thread> adders;
    std::atomic<int> finished{0};
    for (int t = 0; t < threads; t++)
        adders.emplace_back([&, t] {
            for (int i = 0; i < lines; i++)
                logbuffer_add(buffer, (std::to_string(t) + " " + std::to_string(i)).c_str());
            finished++;
        });
    for (int waited = 0; finished < threads && waited < 500; waited++)
        usleep(10000);
    EXPECT_EQ(finished.load(), threads) << "an add waited for the lock";
    pthread_mutex_unlock(&buffer->lock);
    for (std::thread& adder : adders)
        adder.join();

    logbuffer_settle(buffer);
    std::vector<std::string> kept = walk(buffer);
    ASSERT_EQ(static_cast<int>(kept.size()), capacity);
    std::vector<int> last(threads, lines);
    int seen = 0;
    for (const std::string& line : kept) { // newest first: each thread's numbers fall
        int t = std::stoi(line.substr(0, line.find(' ')));
        int i = std::stoi(line.substr(line.find(' ') + 1));
        EXPECT_EQ(i, last[t] - 1) << line;
        last[t] = i;
        seen++;
    }
    EXPECT_EQ(seen, capacity);
    logbuffer_clear(buffer);
    EXPECT_TRUE(walk(buffer).empty());
}

// ---- Logging never waits for itself ----------------------------------------------

// An entry without text found while freeing is an impossible state. The
// fatal sequence logs through the same buffer it was found in: the process
// has to end with status 1 and the lines in the file, not hang or lose them.
TEST_F(LogTest, FatalStateInTheBufferEndsTheProcess) {
    const struct {
        const char* function;
        void (*act)();
    } cases[] = {
        {"logbuffer_clear", [] { logbuffer_clear(log_buffer); }},
        {"logbuffer_resize", [] { logbuffer_resize(log_buffer, 0); }},
        {"logbuffer_add", [] {
             logbuffer_resize(log_buffer, log_buffer->count); // full: the oldest goes next
             putlog(LOG_ERROR, "pushes the broken entry out");
         }},
    };
    putlog(LOG_ERROR, "one");
    putlog(LOG_ERROR, "two");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        close(logfd); // the child must open a fresh file, not inherit this one
        logfd = -1;
        unlink(log_path.c_str());
        EXPECT_EXIT(
            {
                dup2(2, 1);
                log_buffer->oldest->text = NULL; // leaked on purpose
                c.act();
            },
            ::testing::ExitedWithCode(1), "System Unstable: Please Restart");
        std::string log = read_file(log_path);
        EXPECT_NE(log.find("advice: System Unstable: Please Restart\n"), std::string::npos) << log;
        EXPECT_TRUE(std::regex_search(log, std::regex(std::string("advice: ASSERTION: src/log:[0-9]+ "
                                                                  "in function ") + c.function + "\n")))
            << log;
    }
}

// Descriptors run out while the log is being opened: the shortage handling
// sheds the pools and logs, on this very thread, while putlog is busy
// opening. It must neither wait for itself nor lose the lines from the
// buffer; once descriptors are back the log opens again.
TEST_F(LogTest, DescriptorShortageWhileOpeningTheLog) {
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit tight = saved;
    tight.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 64; i++) {
        int fd = open("/dev/null", O_RDONLY);
        if (fd == -1)
            break;
        fillers.push_back(fd);
    }
    ASSERT_EQ(errno, EMFILE);

    putlog(LOG_ERROR, "while short");
    EXPECT_EQ(logfd, -1);

    for (int fd : fillers)
        close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

    std::vector<std::string> kept = buffered(log_buffer);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(after_stamp(kept[2]), " [0] error: while short");
    EXPECT_EQ(after_stamp(kept[1]),
              " [0] error: failure opening file descriptor, attempting to free resources");
    EXPECT_EQ(after_stamp(kept[0]), " [0] error: [system: open64:24:Too many open files], in "
                                    "s_open64, failed to open file " + log_path);

    putlog(LOG_ERROR, "descriptors are back");
    std::vector<std::string> lines = file_lines(log_path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(after_stamp(lines[0]), " [0] error: descriptors are back");
}

} // namespace
