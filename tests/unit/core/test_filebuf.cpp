// Filebuf: growth, editing, line lists, files, and gzip/deflate checked
// against the gzip command-line tool.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/filebuf.h"
#include "core/log.h"

namespace {

std::string contents(const Filebuf& buffer) {
    return buffer.data == NULL ? std::string() : std::string(buffer.data, buffer.size);
}

void fill(Filebuf& buffer, const std::string& bytes) {
    buffer.Resize(0);
    buffer.Add(bytes.data(), (unsigned)bytes.size());
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(n, '\0');
    for (auto& c : bytes)
        c = (char)(generator() & 0xff);
    return bytes;
}

// Text that compresses well but not trivially (varied words and numbers).
std::string compressible_text(size_t n) {
    static const char* words[] = {"proxy", "cache", "header", "filter", "<div class=\"x\">", "</div>\n"};
    std::mt19937 generator(7);
    std::string text;
    while (text.size() < n) {
        text += words[generator() % 6];
        text += std::to_string(generator() % 1000);
        text += ' ';
    }
    text.resize(n);
    return text;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

// Exit status of a shell command.
int run(const std::string& command) {
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint32_t le32(const std::string& bytes, size_t at) {
    const unsigned char* p = (const unsigned char*)bytes.data() + at;
    return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// A process that ended with a non-zero status (every fatal state does).
bool failed_exit(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) != 0;
}

// Inside a death test: the fatal sequence's lines, echoed on standard output
// in the foreground, reach the stream the death test matches against.
void echo_log_to_stderr() {
    dup2(2, 1);
    setvbuf(stdout, NULL, _IONBF, 0);
    daemonize = 0;
}

// A fresh directory per test, removed afterwards.
class FilebufFiles : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        char name[] = "/tmp/filebuf-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { run("rm -rf '" + dir + "'"); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
};

// Log lines are echoed on standard output in the foreground; the tests read
// them from there (debug lines included).
class FilebufLog : public FilebufFiles {
protected:
    void SetUp() override {
        FilebufFiles::SetUp();
        daemonize = 0;
        loglevel = 0x0FFFFFFF;
        testing::internal::CaptureStdout();
        capturing = true;
    }
    void TearDown() override {
        if (capturing)
            testing::internal::GetCapturedStdout();
        FilebufFiles::TearDown();
    }
    std::string log() {
        capturing = false;
        return testing::internal::GetCapturedStdout();
    }
    bool capturing = false;
};

// ---------------------------------------------------------------- growth

TEST(FilebufGrowth, AddAllocatesOneStepAndShortenFitsTheData) {
    Filebuf buffer;
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(buffer.capacity, 0u);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.content_type, nullptr);

    char* copy = buffer.Add("0123456789", 10);
    EXPECT_EQ(copy, buffer.data);
    EXPECT_EQ(buffer.size, 10u);
    EXPECT_EQ(buffer.capacity, 65536u);
    buffer.Shorten();
    EXPECT_EQ(buffer.capacity, 10u);
    EXPECT_EQ(contents(buffer), "0123456789");

    char* tail = buffer.Add("ab", 2);
    EXPECT_EQ(tail, buffer.data + 10);
    EXPECT_EQ(contents(buffer), "0123456789ab");
    EXPECT_EQ(buffer.capacity, 65536u);
}

TEST(FilebufGrowth, ResizeFollowsTheStepRule) {
    struct Case {
        int first, second;
        unsigned capacity;
    } cases[] = {
        {262144, 100, 65536},     // far too large: shrinks
        {65536, 65536, 65536},    // fits exactly: stays
        {65536, 65537, 131072},   // one byte over: next step
        {131072, 65536, 131072},  // at most one step too large: stays
        {131072, 65535, 65536},   // more than one step too large: shrinks
        {1, 200000, 262144},
    };
    for (const Case& c : cases) {
        Filebuf buffer;
        buffer.Resize(c.first);
        buffer.data[0] = 'k';
        buffer.Resize(c.second);
        EXPECT_EQ(buffer.size, (unsigned)c.second) << c.first << " -> " << c.second;
        EXPECT_EQ(buffer.capacity, c.capacity) << c.first << " -> " << c.second;
        EXPECT_EQ(buffer.data[0], 'k') << "contents survive a reallocation";
    }
}

TEST(FilebufGrowth, ResizeToZeroKeepsTheBlock) {
    Filebuf buffer;
    buffer.Add("abc", 3);
    char* block = buffer.data;
    buffer.Resize(0);
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(buffer.data, block);
    EXPECT_EQ(buffer.capacity, 65536u);
    buffer.Add("xy", 2);
    EXPECT_EQ(contents(buffer), "xy");

    Filebuf never_filled;
    never_filled.Resize(0);
    EXPECT_EQ(never_filled.data, nullptr);
    EXPECT_EQ(never_filled.size, 0u);
    never_filled.Shorten(); // nothing to fit, nothing to fail
    EXPECT_EQ(never_filled.data, nullptr);
}

// A small start holds nothing and grows by the step rule with its contents
// intact; a buffer that already has a block is left as it is.
TEST(FilebufGrowth, SmallStartGrowsByStepsAndLeavesABlockAlone) {
    Filebuf header;
    header.StartSmall();
    EXPECT_EQ(header.size, 0u);
    EXPECT_EQ(header.capacity, 1u);
    header.Add("HTTP/1.1 200 OK\r\n", 17);
    header.Add("\r\n", 2);
    EXPECT_EQ(contents(header), "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(header.capacity, 65536u);

    Filebuf used;
    used.Add("abc", 3);
    char* block = used.data;
    used.StartSmall();
    EXPECT_EQ(used.data, block);
    EXPECT_EQ(contents(used), "abc");
}

TEST(FilebufGrowth, AddOfItsOwnBytesSurvivesTheBlockMoving) {
    Filebuf buffer;
    std::string half = random_bytes(50000, 1);
    fill(buffer, half);
    buffer.Add(buffer.data, buffer.size); // needs a second 64 KiB step
    EXPECT_EQ(contents(buffer), half + half);
}

TEST(FilebufGrowth, AddfFormatsAndCutsAtTheWorkArea) {
    Filebuf buffer;
    buffer.Addf("%s=%d;", "answer", 42);
    buffer.Addf("%05u", 7u);
    EXPECT_EQ(contents(buffer), "answer=42;00007");

    Filebuf cut;
    std::string big(20000, 'z');
    cut.Add("<", 1);
    cut.Addf("%s", big.c_str());
    EXPECT_EQ(cut.size, 1u + 16383u);
    EXPECT_EQ(contents(cut), "<" + std::string(16383, 'z'));

    // Either side of the small first area, and a text taken from the
    // buffer itself.
    for (size_t length : {511u, 512u, 513u, 16383u, 16384u}) {
        Filebuf sized;
        std::string text(length, 'q');
        text[length - 1] = 'e';
        sized.Addf("[%s]", text.c_str());
        std::string expected = "[" + text + "]";
        EXPECT_EQ(contents(sized), expected.substr(0, 16383)) << length;
    }
    Filebuf own;
    own.Add(std::string(600, 'o').c_str(), 600);
    own.Addf("%.*s|", static_cast<int>(own.size), own.data);
    EXPECT_EQ(contents(own), std::string(1200, 'o') + "|");
}

TEST(FilebufGrowth, TrimDropsTheFront) {
    Filebuf buffer;
    fill(buffer, "header|body");
    buffer.Trim(7);
    EXPECT_EQ(contents(buffer), "body");
    buffer.Trim(0);
    EXPECT_EQ(contents(buffer), "body");

    Filebuf large;
    large.Resize(200000);
    large.Trim(200000);
    EXPECT_EQ(large.size, 0u);
}

TEST(FilebufGrowth, SwapMovesTheBlockAndDupCopiesIt) {
    Filebuf a, b;
    fill(a, "first");
    fill(b, "second");
    a.content_type = strdup("text/html");
    char* block_b = b.data;
    a.Swap(&b);
    EXPECT_EQ(contents(a), "second");
    EXPECT_EQ(a.data, block_b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.size, 0u);
    EXPECT_EQ(b.capacity, 0u);
    EXPECT_STREQ(a.content_type, "text/html") << "content types stay";

    a.Swap(&a);
    EXPECT_EQ(contents(a), "second") << "swapping with itself changes nothing";

    Filebuf* copy = a.Dup();
    EXPECT_EQ(contents(*copy), "second");
    EXPECT_EQ(copy->capacity, copy->size);
    EXPECT_NE(copy->data, a.data);
    EXPECT_EQ(copy->content_type, nullptr);
    delete copy;

    a.Swap(NULL);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.size, 0u);

    Filebuf* empty = a.Dup();
    EXPECT_EQ(empty->size, 0u);
    EXPECT_EQ(empty->data, nullptr);
    delete empty;
}

TEST(FilebufGrowth, ImpossibleSizesEndInTheFatalSequence) {
    EXPECT_EXIT(
        {
            echo_log_to_stderr();
            Filebuf buffer;
            buffer.Add("abc", 3);
            buffer.Trim(4);
        },
        failed_exit, "ASSERTION: src/filebuf:[0-9]+ in function Trim");
    EXPECT_EXIT(
        {
            echo_log_to_stderr();
            Filebuf buffer;
            buffer.Resize(-1);
        },
        failed_exit, "ASSERTION: src/filebuf:[0-9]+ in function Resize");
    EXPECT_EXIT(
        {
            echo_log_to_stderr();
            Filebuf buffer;
            buffer.size = INT_MAX - 10; // as if filled: no block is needed to refuse
            buffer.Add("0123456789abcdef", 16);
        },
        failed_exit, "ASSERTION: src/filebuf:[0-9]+ in function Add");
}

// ---------------------------------------------------------------- Replace

TEST(FilebufReplace, ReplacesTheRangeByTheText) {
    struct Case {
        int start, end;
        const char* text;
        const char* expected;
    } cases[] = {
        {2, 5, "ab", "01ab56789"},         // shorter
        {2, 5, "abcdef", "01abcdef56789"}, // longer
        {2, 5, "abc", "01abc56789"},       // same length
        {0, 0, "x", "x0123456789"},        // insert at the front
        {10, 10, "end", "0123456789end"},  // append
        {0, 10, "", ""},                   // delete all
        {3, 3, "", "0123456789"},          // nothing
    };
    for (const Case& c : cases) {
        Filebuf buffer;
        fill(buffer, "0123456789");
        buffer.Replace(c.start, c.end, c.text);
        EXPECT_EQ(contents(buffer), c.expected) << c.start << "," << c.end << " " << c.text;
    }
}

TEST(FilebufReplace, MovesTheTailAcrossABlockStep) {
    std::string original = random_bytes(65530, 2);
    std::string text(100, 'R');
    Filebuf buffer;
    fill(buffer, original);
    buffer.Replace(10, 11, text.c_str());
    EXPECT_EQ(contents(buffer), original.substr(0, 10) + text + original.substr(11));
    EXPECT_EQ(buffer.capacity, 131072u);
    buffer.Replace(10, 110, "");
    EXPECT_EQ(contents(buffer), original.substr(0, 10) + original.substr(11));
    EXPECT_EQ(buffer.capacity, 65536u) << "a shrunken buffer gives the step back";
}

TEST(FilebufReplace, TextTakenFromTheBufferItself) {
    Filebuf buffer;
    fill(buffer, std::string("abc") + '\0' + std::string(70000, '.'));
    buffer.Replace(3, 3 + 70001, buffer.data); // "abc" replaces the rest
    EXPECT_EQ(contents(buffer), "abcabc");
}

TEST(FilebufReplace, RangesOutsideTheBufferAreRefused) {
    struct Case {
        int start, end;
        const char* text;
    } cases[] = {{-1, 2, "x"}, {5, 4, "x"}, {0, 11, "x"}, {11, 11, "x"}, {0, 1, NULL}};
    for (const Case& c : cases) {
        EXPECT_EXIT(
            {
                echo_log_to_stderr();
                Filebuf buffer;
                fill(buffer, "0123456789");
                buffer.Replace(c.start, c.end, c.text);
            },
            failed_exit, "ASSERTION: src/filebuf:[0-9]+ in function Replace")
            << c.start << "," << c.end;
    }
}

// ---------------------------------------------------------------- lines

std::vector<std::string> lines_of(STACK_T* first) {
    std::vector<std::string> lines;
    STACK_T* previous = NULL;
    for (STACK_T* line = first; line != NULL; line = line->next) {
        EXPECT_EQ(line->prev, previous);
        lines.push_back(line->text);
        previous = line;
    }
    return lines;
}

TEST(FilebufLines, SplitsAtNewlines) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\nb", {"a", "b"}},
        {"a\n", {"a"}},
        {"\n\n", {"", ""}},
        {"one\ntwo\n", {"one", "two"}},
        {"x", {"x"}},
        {"\r\nlast", {"\r", "last"}},
    };
    for (const Case& c : cases) {
        Filebuf buffer;
        fill(buffer, c.text);
        STACK_T* first = buffer.to_stack();
        EXPECT_EQ(lines_of(first), c.lines) << c.text;
        stack_free(first);
    }

    Filebuf never_filled;
    EXPECT_EQ(never_filled.to_stack(), nullptr);

    Filebuf emptied;
    fill(emptied, "gone");
    emptied.Resize(0);
    STACK_T* single = emptied.to_stack();
    EXPECT_EQ(lines_of(single), std::vector<std::string>{""});
    stack_free(single);
}

TEST(FilebufLines, StackFreeStartsFromAnyLine) {
    Filebuf buffer;
    fill(buffer, "one\ntwo\nthree");
    STACK_T* first = buffer.to_stack();
    ASSERT_NE(first->next, nullptr);
    stack_free(first->next->next); // the leak checker of a sanitizer build sees the rest
    stack_free(NULL);

    EXPECT_EXIT(
        {
            echo_log_to_stderr();
            STACK_T* lines = buffer.to_stack();
            free(lines->next->text);
            lines->next->text = NULL;
            stack_free(lines);
        },
        failed_exit, "ASSERTION: src/misc:[0-9]+ in function stack_free");
}

// ---------------------------------------------------------------- files

TEST_F(FilebufFiles, SaveReplacesALongerFileWhole) {
    write_file(path("conf.xml"), std::string(5000, 'o') + "old tail");
    Filebuf buffer;
    fill(buffer, "<new/>");
    EXPECT_EQ(buffer.Save(path("conf.xml").c_str()), 6);
    EXPECT_EQ(read_file(path("conf.xml")), "<new/>");
    EXPECT_EQ(run("ls -A '" + dir + "' | grep -v '^conf.xml$' | wc -l | grep -qx 0"), 0)
        << "no temporary file is left behind";
}

TEST_F(FilebufFiles, SaveKeepsModeAndLinksAndMakesNewFiles) {
    Filebuf buffer;
    fill(buffer, "payload");

    write_file(path("private"), "old");
    chmod(path("private").c_str(), 0600);
    EXPECT_EQ(buffer.Save(path("private").c_str()), 7);
    struct stat st;
    ASSERT_EQ(stat(path("private").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    ASSERT_EQ(symlink("private", path("link").c_str()), 0);
    fill(buffer, "through the link");
    EXPECT_EQ(buffer.Save(path("link").c_str()), 16);
    ASSERT_EQ(lstat(path("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    EXPECT_EQ(read_file(path("private")), "through the link");

    mode_t mask = umask(022);
    umask(mask);
    EXPECT_EQ(buffer.Save(path("fresh").c_str()), 16);
    ASSERT_EQ(stat(path("fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u & ~mask);

    Filebuf empty;
    EXPECT_EQ(empty.Save(path("empty").c_str()), 0);
    EXPECT_EQ(read_file(path("empty")), "");

    EXPECT_EQ(buffer.Save(path("no/such/dir/file").c_str()), -1);
}

TEST_F(FilebufFiles, SaveWritesDevicesInPlace) {
    Filebuf buffer;
    fill(buffer, "discarded");
    EXPECT_EQ(buffer.Save("/dev/null"), 9);
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

// The file-size limit makes the disk "full" after 100000 bytes.
static void limit_file_size() {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {100000, 100000};
    setrlimit(RLIMIT_FSIZE, &limit);
}

TEST_F(FilebufFiles, AFailedSaveIsReportedAndKeepsTheOldFile) {
    write_file(path("keep"), "old contents");
    std::string target = path("keep");
    std::string dir_copy = dir;
    EXPECT_EXIT(
        {
            echo_log_to_stderr();
            limit_file_size();
            Filebuf buffer;
            buffer.Resize(200000);
            memset(buffer.data, 'n', buffer.size);
            int by_path = buffer.Save(target.c_str());
            int fd = open((dir_copy + "/direct").c_str(), O_WRONLY | O_CREAT, 0644);
            int by_descriptor = buffer.Save(fd);
            _exit(by_path == -1 && by_descriptor == -1 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "failed to write file");
    EXPECT_EQ(read_file(target), "old contents");
    EXPECT_EQ(run("ls -A '" + dir + "' | grep -v -e '^keep$' -e '^direct$' | wc -l | grep -qx 0"), 0)
        << "the temporary file is removed";
}

// Interrupts the writer again and again while it writes into a pipe that is
// drained slowly: every interrupted write that moved some bytes returns short.
static void on_signal(int) {}

struct PipeReader {
    int fd;
    pthread_t writer;
    std::string received;
};

static void* drain_pipe(void* argument) {
    PipeReader* reader = (PipeReader*)argument;
    char piece[4096];
    for (;;) {
        pthread_kill(reader->writer, SIGUSR1);
        ssize_t got = read(reader->fd, piece, sizeof(piece));
        if (got <= 0)
            break;
        reader->received.append(piece, (size_t)got);
    }
    return NULL;
}

TEST(FilebufSave, DescriptorWritesContinueAfterShortWrites) {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = on_signal; // no SA_RESTART: writes return early
    sigaction(SIGUSR1, &action, NULL);

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::string payload = random_bytes(4 << 20, 3);
    Filebuf buffer;
    fill(buffer, payload);
    PipeReader reader{ends[0], pthread_self(), {}};
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, NULL, drain_pipe, &reader), 0);
    EXPECT_EQ(buffer.Save(ends[1]), (int)payload.size());
    close(ends[1]);
    pthread_join(thread, NULL);
    close(ends[0]);
    signal(SIGUSR1, SIG_DFL);
    EXPECT_TRUE(reader.received == payload) << "received " << reader.received.size() << " bytes";
}

TEST_F(FilebufFiles, ReadAppendsTheWholeFile) {
    std::string big = random_bytes(300001, 4);
    write_file(path("big"), big);
    Filebuf buffer;
    fill(buffer, "prefix:");
    EXPECT_EQ(buffer.Read(path("big").c_str()), 300001);
    EXPECT_TRUE(contents(buffer) == "prefix:" + big);
    EXPECT_LE(buffer.capacity, buffer.size + 65536) << "no slack beyond one step";

    write_file(path("empty"), "");
    EXPECT_EQ(buffer.Read(path("empty").c_str()), 0);
    EXPECT_EQ(buffer.size, 7u + 300001u);

    // A file whose size the system does not know beforehand.
    Filebuf status;
    EXPECT_GT(status.Read("/proc/self/status"), 0);
    EXPECT_NE(contents(status).find("Pid:"), std::string::npos);
}

TEST_F(FilebufFiles, ReadFailuresLeaveTheBufferAlone) {
    Filebuf buffer;
    fill(buffer, "kept");
    EXPECT_EQ(buffer.Read(path("missing").c_str()), -1);
    EXPECT_EQ(contents(buffer), "kept");
    EXPECT_EQ(buffer.Read(dir.c_str()), -1) << "a directory opens but cannot be read";
    EXPECT_EQ(contents(buffer), "kept");
}

// ---------------------------------------------------------------- zlib

// Wraps a raw deflate stream into a gzip member, as the gzip tool expects.
std::string gzip_member(const std::string& deflated, const std::string& clear) {
    std::string member("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    member += deflated;
    uint32_t crc = (uint32_t)crc32(0L, (const Bytef*)clear.data(), (uInt)clear.size());
    uint32_t length = (uint32_t)clear.size();
    for (uint32_t value : {crc, length})
        for (int i = 0; i < 4; i++)
            member += (char)(value >> (8 * i));
    return member;
}

const std::vector<std::pair<std::string, std::string>>& samples() {
    static const std::vector<std::pair<std::string, std::string>> all = {
        {"empty", ""},
        {"abc", "abc"},
        {"random 200 KiB", random_bytes(200 << 10, 5)},
        {"text 3 MiB", compressible_text(3 << 20)},
        {"zeros 5 MiB", std::string(5 << 20, '\0')},
    };
    return all;
}

TEST(FilebufZlib, GzipOfAbcHasTheFixedFraming) {
    Filebuf buffer;
    fill(buffer, "abc");
    ASSERT_EQ(buffer.Compress(FILEBUF_GZIP), 1);
    std::string packed = contents(buffer);
    ASSERT_GE(packed.size(), 18u);
    EXPECT_EQ(packed.substr(0, 10), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10));
    EXPECT_EQ(le32(packed, packed.size() - 8), (uint32_t)crc32(0L, (const Bytef*)"abc", 3));
    EXPECT_EQ(le32(packed, packed.size() - 4), 3u);
    ASSERT_EQ(buffer.Uncompress(FILEBUF_GZIP), 1);
    EXPECT_EQ(contents(buffer), "abc");
}

TEST(FilebufZlib, RoundTripsInBothModes) {
    for (int mode : {FILEBUF_DEFLATE, FILEBUF_GZIP}) {
        for (const auto& sample : samples()) {
            Filebuf buffer;
            fill(buffer, sample.second);
            ASSERT_EQ(buffer.Compress(mode), 1) << sample.first;
            EXPECT_EQ(buffer.capacity % 65536, 0u);
            EXPECT_LE(buffer.capacity, buffer.size + 65536) << sample.first;
            if (sample.second.empty() && mode == FILEBUF_DEFLATE) {
                EXPECT_EQ(contents(buffer), std::string("\x03\x00", 2)) << "an empty stream";
                continue; // an empty raw stream decodes to nothing: refused below
            }
            ASSERT_EQ(buffer.Uncompress(mode), 1) << sample.first << " mode " << mode;
            EXPECT_TRUE(contents(buffer) == sample.second) << sample.first << " mode " << mode;
        }
    }
}

TEST_F(FilebufFiles, GzipToolReadsWhatCompressWrites) {
    for (const auto& sample : samples()) {
        Filebuf buffer;
        fill(buffer, sample.second);
        ASSERT_EQ(buffer.Compress(FILEBUF_GZIP), 1);
        ASSERT_EQ(buffer.Save(path("body.gz").c_str()), (int)buffer.size);
        ASSERT_EQ(run("gzip -dc '" + path("body.gz") + "' > '" + path("body") + "'"), 0) << sample.first;
        EXPECT_TRUE(read_file(path("body")) == sample.second) << sample.first;

        // The raw stream, framed by the test, must satisfy the gzip tool too.
        fill(buffer, sample.second);
        ASSERT_EQ(buffer.Compress(FILEBUF_DEFLATE), 1);
        write_file(path("raw.gz"), gzip_member(contents(buffer), sample.second));
        ASSERT_EQ(run("gzip -dc '" + path("raw.gz") + "' > '" + path("raw") + "'"), 0) << sample.first;
        EXPECT_TRUE(read_file(path("raw")) == sample.second) << sample.first;
    }
}

TEST_F(FilebufFiles, UncompressReadsWhatTheGzipToolWrites) {
    for (const auto& sample : samples()) {
        write_file(path("page.html"), sample.second);
        // Stored with its file name: the header carries the FNAME field.
        ASSERT_EQ(run("gzip -9 -c '" + path("page.html") + "' > '" + path("named.gz") + "'"), 0);
        Filebuf buffer;
        ASSERT_EQ(buffer.Read(path("named.gz").c_str()), (int)read_file(path("named.gz")).size());
        ASSERT_EQ((unsigned char)buffer.data[3] & 0x08, 0x08) << "FNAME flag set by the tool";
        ASSERT_EQ(buffer.Uncompress(FILEBUF_GZIP), 1) << sample.first;
        EXPECT_TRUE(contents(buffer) == sample.second) << sample.first;

        // Without a name the header is the fixed 10 bytes: what lies between
        // it and the trailer is the raw deflate stream.
        ASSERT_EQ(run("gzip -n -c < '" + path("page.html") + "' > '" + path("plain.gz") + "'"), 0);
        std::string plain = read_file(path("plain.gz"));
        ASSERT_EQ(plain[3], 0) << "no flags";
        fill(buffer, plain.substr(10, plain.size() - 18));
        ASSERT_EQ(buffer.Uncompress(FILEBUF_DEFLATE), 1) << sample.first;
        EXPECT_TRUE(contents(buffer) == sample.second) << sample.first;
    }
}

TEST_F(FilebufFiles, ConsecutiveGzipMembersFormOneBody) {
    write_file(path("a"), "first part, ");
    write_file(path("b"), compressible_text(100000));
    ASSERT_EQ(run("cd '" + dir + "' && gzip -c a > ab.gz && gzip -c b >> ab.gz"), 0);
    std::string expected = read_file(path("a")) + read_file(path("b"));
    ASSERT_EQ(run("gzip -dc '" + path("ab.gz") + "' > '" + path("ab") + "'"), 0);
    ASSERT_TRUE(read_file(path("ab")) == expected) << "the tool reads both members";
    Filebuf buffer;
    ASSERT_GT(buffer.Read(path("ab.gz").c_str()), 0);
    ASSERT_EQ(buffer.Uncompress(FILEBUF_GZIP), 1);
    EXPECT_TRUE(contents(buffer) == expected);

    // Bytes after the last member that are no member are ignored.
    fill(buffer, read_file(path("ab.gz")) + "\r\n\r\n");
    ASSERT_EQ(buffer.Uncompress(FILEBUF_GZIP), 1);
    EXPECT_TRUE(contents(buffer) == expected);
}

TEST_F(FilebufLog, CorruptGzipIsRefusedAndLeavesTheDataAlone) {
    std::string clear = compressible_text(50000);
    write_file(path("clear"), clear);
    ASSERT_EQ(run("gzip -n -c < '" + path("clear") + "' > '" + path("good.gz") + "'"), 0);
    std::string good = read_file(path("good.gz"));

    struct Case {
        const char* what;
        size_t at;         // byte to change, counted from the end when from_end
        bool from_end;
        unsigned char xor_with;
        const char* message;
    } cases[] = {
        {"CRC-32", 8, true, 0x01, "zlib: data error"},
        {"length", 4, true, 0x01, "zlib: data error"},
        {"method", 2, false, 0x01, "zlib: data error"},
        {"reserved flag", 3, false, 0x20, "zlib: data error"},
        {"deflate data", 500, false, 0xff, "zlib: data error"},
    };
    for (const Case& c : cases) {
        std::string bad = good;
        size_t at = c.from_end ? bad.size() - c.at : c.at;
        bad[at] = (char)(bad[at] ^ c.xor_with);
        write_file(path("bad.gz"), bad);
        EXPECT_NE(run("gzip -t '" + path("bad.gz") + "' 2>/dev/null"), 0) << c.what << ": the tool refuses it too";
        Filebuf buffer;
        fill(buffer, bad);
        EXPECT_EQ(buffer.Uncompress(FILEBUF_GZIP), 0) << c.what;
        EXPECT_TRUE(contents(buffer) == bad) << c.what;
    }

    // A header CRC (FHCRC) that does not match the header.
    std::string with_header_crc = good;
    with_header_crc[3] = 0x02;
    with_header_crc.insert(10, "\x12\x34", 2);
    Filebuf header_crc;
    fill(header_crc, with_header_crc);
    EXPECT_EQ(header_crc.Uncompress(FILEBUF_GZIP), 0);

    // Cut short: the stream ends before its end.
    Filebuf truncated;
    fill(truncated, good.substr(0, good.size() / 2));
    EXPECT_EQ(truncated.Uncompress(FILEBUF_GZIP), 0);
    EXPECT_EQ(truncated.size, good.size() / 2);

    std::string lines = log();
    size_t data_errors = 0;
    for (size_t at = lines.find("zlib: data error"); at != std::string::npos;
         at = lines.find("zlib: data error", at + 1))
        data_errors++;
    EXPECT_EQ(data_errors, 6u) << lines;
    EXPECT_NE(lines.find("zlib: buffer error"), std::string::npos) << lines;
}

TEST_F(FilebufLog, ShortAndEmptyInputs) {
    Filebuf seventeen;
    fill(seventeen, std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x03\x00\x00\x00\x00\x00\x00", 17));
    EXPECT_EQ(seventeen.Uncompress(FILEBUF_GZIP), 0);
    EXPECT_EQ(seventeen.size, 17u);
    EXPECT_EQ(log(), "") << "17 bytes are refused without a word";

    testing::internal::CaptureStdout();
    capturing = true;
    Filebuf empty;
    EXPECT_EQ(empty.Uncompress(FILEBUF_DEFLATE), 0);
    EXPECT_NE(log().find("zlib: unknown error 0"), std::string::npos);

    testing::internal::CaptureStdout();
    capturing = true;
    Filebuf garbage;
    fill(garbage, "this is not deflate data at all");
    EXPECT_EQ(garbage.Uncompress(FILEBUF_DEFLATE), 0);
    EXPECT_EQ(contents(garbage), "this is not deflate data at all");
    EXPECT_NE(log().find("zlib: data error"), std::string::npos);

    // The smallest gzip member of an empty body decodes to nothing.
    Filebuf empty_member;
    ASSERT_EQ(empty_member.Compress(FILEBUF_GZIP), 1);
    EXPECT_EQ(empty_member.size, 20u);
    EXPECT_EQ(empty_member.Uncompress(FILEBUF_GZIP), 1);
    EXPECT_EQ(empty_member.size, 0u);
}

TEST_F(FilebufLog, ZlibErrorsInWords) {
    struct Case {
        int code;
        const char* line;
    } cases[] = {
        {Z_NEED_DICT, "error: zlib: dictionary error\n"}, {Z_BUF_ERROR, "error: zlib: buffer error\n"},
        {Z_MEM_ERROR, "error: zlib: memory error\n"},     {Z_DATA_ERROR, "error: zlib: data error\n"},
        {Z_STREAM_ERROR, "error: zlib: stream error\n"},  {Z_ERRNO, "error: zlib: unknown error -1\n"},
        {0, "error: zlib: unknown error 0\n"},
    };
    for (const Case& c : cases)
        zlib_error(c.code);
    std::string lines = log();
    size_t from = 0;
    for (const Case& c : cases) {
        size_t at = lines.find(c.line, from);
        EXPECT_NE(at, std::string::npos) << c.line << " in order, in\n" << lines;
        if (at != std::string::npos)
            from = at + 1;
    }
}

// ---------------------------------------------------------------- codings

TEST(FilebufCodings, AcceptEncodingWeights) {
    struct Case {
        const char* accept;
        const char* coding;
        int accepted;
    } cases[] = {
        {"gzip", "gzip", 1},
        {"deflate, gzip", "gzip", 1},
        {"GZIP", "gzip", 1},
        {"x-gzip", "gzip", 1},
        {"gzip;q=0", "gzip", 0},
        {"gzip ; Q = 0.000, deflate", "gzip", 0},
        {"gzip ; Q = 0.000, deflate", "deflate", 1},
        {"gzip;q=0.001", "gzip", 1},
        {"gzip;q=1.0", "gzip", 1},
        {"gzip;level=1;q=0", "gzip", 0},
        {"gzip;q=abc", "gzip", 0},
        {"deflate;q=0.5,gzip;q=0", "gzip", 0},
        {"br, deflate;q=0.1", "deflate", 1},
        {"identity", "gzip", 0},
        {"gzipped", "gzip", 0},
        {"*", "gzip", 0},
        {"", "deflate", 0},
        {NULL, "gzip", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(content_coding_accepted(c.accept, c.coding), c.accepted)
            << (c.accept ? c.accept : "NULL") << " / " << c.coding;
}

TEST_F(FilebufLog, EncodePrefersGzipAndHonoursRefusals) {
    std::string body = compressible_text(30000);
    struct Case {
        const char* accept;
        const char* coding; // NULL: left alone
        const char* line;
    } cases[] = {
        {"deflate, gzip", "gzip", "debug: gzip encoded file"},
        {"gzip;q=0, deflate", "deflate", "debug: deflate encoded file"},
        {"gzip;q=0", NULL, NULL},
        {"br", NULL, NULL},
    };
    for (const Case& c : cases) {
        Filebuf buffer;
        fill(buffer, body);
        const char* applied = buffer.EncodeContent(c.accept);
        if (c.coding == NULL) {
            EXPECT_EQ(applied, nullptr) << c.accept;
            EXPECT_TRUE(contents(buffer) == body) << c.accept;
            continue;
        }
        ASSERT_NE(applied, nullptr) << c.accept;
        EXPECT_STREQ(applied, c.coding);
        ASSERT_EQ(buffer.DecodeContent(applied), 1);
        EXPECT_TRUE(contents(buffer) == body) << c.accept;
    }
    std::string lines = log();
    EXPECT_NE(lines.find("debug: gzip encoded file"), std::string::npos) << lines;
    EXPECT_NE(lines.find("debug: deflate encoded file"), std::string::npos) << lines;
    EXPECT_NE(lines.find("debug: decompressed gzip encoded file"), std::string::npos) << lines;
    EXPECT_NE(lines.find("debug: decompressed deflate encoded file"), std::string::npos) << lines;
}

TEST_F(FilebufLog, DecodeFailuresAndUnknownCodings) {
    Filebuf gzip_body;
    fill(gzip_body, "not gzip at all, but long enough");
    EXPECT_EQ(gzip_body.DecodeContent("x-gzip"), 0);
    EXPECT_EQ(contents(gzip_body), "not gzip at all, but long enough");

    Filebuf deflate_body;
    fill(deflate_body, "not deflate");
    EXPECT_EQ(deflate_body.DecodeContent("Deflate"), 0);

    Filebuf other;
    fill(other, "brotli");
    EXPECT_EQ(other.DecodeContent("br"), 0);
    EXPECT_EQ(other.DecodeContent(NULL), 0);
    EXPECT_EQ(contents(other), "brotli");

    std::string lines = log();
    EXPECT_NE(lines.find("error: failed to decompress gzip encoded content"), std::string::npos) << lines;
    EXPECT_NE(lines.find("error: failed to decompress deflate encoded content"), std::string::npos) << lines;
    EXPECT_NE(lines.find("warning: unhandled content encoding: br\n"), std::string::npos) << lines;
}

} // namespace

TEST(FilebufGrowth, ExactCopyGrowsByStepsWhenAddedTo) {
    Filebuf text("GET / HTTP/1.1\r\n\r\n", 19);
    EXPECT_EQ(text.size, 19u);
    EXPECT_EQ(text.capacity, 19u);
    text.Add("more", 4);
    EXPECT_EQ(std::string(text.data, text.size), std::string("GET / HTTP/1.1\r\n\r\n\0more", 23));
    EXPECT_EQ(text.capacity % FILEBUF_STEP, 0u);
    Filebuf empty("", 0);
    EXPECT_EQ(empty.data, nullptr);
}
