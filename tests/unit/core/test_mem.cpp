// Checked memory, the fatal-error sequence and Atom.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <thread>
#include <vector>

#include "core/atom.h"
#include "core/log.h"
#include "core/mem.h"
#include "support/log_test_support.h"

using namespace logtest;

namespace {

// Far beyond any address space, yet a valid size: the allocator refuses it.
constexpr size_t IMPOSSIBLE_SIZE = size_t(1) << 62;

class MemTest : public LogDirTest {};

// ---- Allocation ------------------------------------------------------------

TEST_F(MemTest, XmallocZeroFillsEvenRecycledMemory) {
    // Small blocks are cleared by hand (the per-thread cache hands back a
    // block just freed, dirty), large ones by calloc: both sides of the
    // line, and the line itself.
    for (size_t size : {size_t(1), size_t(24), size_t(324), ALLOCATOR_THREAD_CACHE_MAX,
                        ALLOCATOR_THREAD_CACHE_MAX + 1, size_t(4096)}) {
        SCOPED_TRACE(size);
        for (int via_realloc = 0; via_realloc <= 1; via_realloc++) {
            // Leave a dirty block of the same size behind so the allocator
            // is likely to hand it out again.
            char* dirty = static_cast<char*>(malloc(size));
            memset(dirty, 0xA5, size);
            free(dirty);

            unsigned char* block = static_cast<unsigned char*>(
                via_realloc ? xrealloc(NULL, size) : xmalloc(size));
            ASSERT_NE(block, nullptr);
            for (size_t i = 0; i < size; i++)
                ASSERT_EQ(block[i], 0) << "byte " << i << (via_realloc ? " (xrealloc)" : "");
            free(block);
        }
    }
}

TEST_F(MemTest, XreallocKeepsTheOldBytesWhenGrowing) {
    char* block = static_cast<char*>(xmalloc(100));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; i++)
        block[i] = static_cast<char>(i);
    block = static_cast<char*>(xrealloc(block, 1 << 20));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(block[i], static_cast<char>(i));
    block[(1 << 20) - 1] = 'x'; // the whole new size is usable
    free(block);
}

TEST_F(MemTest, FailedAllocationsAreLoggedAndReturnNull) {
    errno = 0;
    EXPECT_EQ(xmalloc(IMPOSSIBLE_SIZE), nullptr);

    char* block = static_cast<char*>(xmalloc(16));
    ASSERT_NE(block, nullptr);
    strcpy(block, "still mine");
    EXPECT_EQ(xrealloc(block, IMPOSSIBLE_SIZE), nullptr);
    EXPECT_STREQ(block, "still mine"); // the old block is untouched
    free(block);

    EXPECT_EQ(xrealloc(NULL, IMPOSSIBLE_SIZE), nullptr);

    block = static_cast<char*>(xrealloc_uncleared(NULL, 16));
    ASSERT_NE(block, nullptr);
    strcpy(block, "kept too");
    EXPECT_EQ(xrealloc_uncleared(block, IMPOSSIBLE_SIZE), nullptr);
    EXPECT_STREQ(block, "kept too");
    free(block);

    std::string size = std::to_string(IMPOSSIBLE_SIZE);
    std::vector<std::string> lines = file_lines(log_path);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(after_stamp(lines[0]), " [0] error: [system: malloc:12:Cannot allocate memory], in "
                                     "xmalloc, unable to allocate memory");
    EXPECT_EQ(after_stamp(lines[1]), " [0] error: [system: realloc:12:Cannot allocate memory], in "
                                     "xrealloc, unable to reallocate " + size + " memory");
    EXPECT_EQ(after_stamp(lines[2]), after_stamp(lines[1]));
    EXPECT_EQ(after_stamp(lines[3]), after_stamp(lines[1]));
}

TEST(Strings, DuplicatesAndBoundedDuplicates) {
    EXPECT_EQ(xstrdup(NULL), nullptr);
    EXPECT_EQ(xstrndup(NULL, 3), nullptr);

    char* copy = xstrdup("hello");
    EXPECT_STREQ(copy, "hello");
    free(copy);

    struct {
        const char* text;
        size_t n;
        const char* expected;
    } cases[] = {
        {"abcdef", 3, "abc"}, {"ab", 10, "ab"}, {"", 5, ""}, {"abc", 0, ""}, {"abc", 3, "abc"},
    };
    for (const auto& c : cases) {
        char* cut = xstrndup(c.text, c.n);
        ASSERT_NE(cut, nullptr);
        EXPECT_STREQ(cut, c.expected) << c.text << " n=" << c.n;
        free(cut);
    }

    // Only the first n characters are read: the source need not be terminated.
    const char unterminated[3] = {'x', 'y', 'z'};
    char* cut = xstrndup(unterminated, 3);
    EXPECT_STREQ(cut, "xyz");
    free(cut);
}

TEST_F(MemTest, HostentFreeReleasesQuietly) {
    HOSTENT* host = static_cast<HOSTENT*>(xmalloc(sizeof(HOSTENT)));
    host->addr = static_cast<char*>(xmalloc(4));
    host->length = 4;
    hostent_free(host);
    hostent_free(NULL);
    EXPECT_FALSE(exists(log_path));
    EXPECT_EQ(log_buffer->count, 0);
}

// Pages of the interior of [block, block + size) that are resident.
static size_t resident_pages(const char* block, size_t size) {
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t first = (reinterpret_cast<uintptr_t>(block) + page - 1) / page * page;
    uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) / page * page;
    std::vector<unsigned char> flags((end - first) / page);
    if (mincore(reinterpret_cast<void*>(first), end - first, flags.data()) != 0)
        return SIZE_MAX;
    size_t resident = 0;
    for (unsigned char flag : flags)
        resident += flag & 1;
    return resident;
}

// Freed buffers between blocks still in use cannot be given back by cutting
// the arena's top: their pages stay resident until the trim job runs.
TEST_F(MemTest, ReturnFreeGivesBackThePagesOfFreedBlocksBetweenLiveOnes) {
    constexpr size_t BLOCK = 65536;
    constexpr int COUNT = 64;
    std::vector<char*> buffers, fences;
    for (int i = 0; i < COUNT; i++) {
        buffers.push_back(static_cast<char*>(malloc(BLOCK)));
        fences.push_back(static_cast<char*>(malloc(64)));
        memset(buffers.back(), 'x', BLOCK);
    }
    size_t before = 0, after = 0;
    for (char* block : buffers)
        free(block);
    for (char* block : buffers)
        before += resident_pages(block, BLOCK);
    memory_return_free(nullptr);
    for (char* block : buffers)
        after += resident_pages(block, BLOCK);
    for (char* fence : fences)
        free(fence);
    const size_t pages = COUNT * (BLOCK / static_cast<size_t>(sysconf(_SC_PAGESIZE)) - 1);
    EXPECT_GE(before, pages * 9 / 10) << "freed pages should still be resident before the trim";
    EXPECT_LE(after, pages / 10) << "the trim left " << after << " of " << pages << " pages";
}

// ---- Atom ---------------------------------------------------------------------

TEST_F(MemTest, AtomCountsHoldersAndTheLastOneDestroys) {
    Atom* atom = new Atom;
    EXPECT_EQ(atom->count, 1);
    EXPECT_EQ(atom->New(), atom);
    EXPECT_EQ(atom->New(), atom);
    EXPECT_EQ(atom->count, 3);
    EXPECT_FALSE(atom->Delete());
    EXPECT_FALSE(atom->Delete());
    bool last = atom->Delete();
    EXPECT_TRUE(last);
    delete atom; // count 0: destroying passes quietly
    EXPECT_FALSE(exists(log_path));
}

// ---- The fatal-error sequence ---------------------------------------------

struct FatalCase {
    const char* name;
    std::function<void()> act;
    const char* source;
    const char* function; // a pattern
    size_t failed_size; // 0: no "Failed to allocate" line
};

void destroy_held_atom() {
    Atom* atom = new Atom;
    atom->New();
    atom->Delete(); // one holder is left
    delete atom;
}

void free_hostent_without_address() {
    HOSTENT* host = static_cast<HOSTENT*>(xmalloc(sizeof(HOSTENT)));
    hostent_free(host);
}

void fatal_alloc_on_another_thread() {
    std::thread worker([] { FATAL_ALLOC("src/filebuf", 65536); });
    worker.join();
}

const FatalCase fatal_cases[] = {
    {"xmalloc of 0", [] { xmalloc(0); }, "src/mem", "xmalloc", 0},
    {"xrealloc to 0", [] { xrealloc(xmalloc(8), 0); }, "src/mem", "xrealloc", 0},
    {"xrealloc of NULL to 0", [] { xrealloc(NULL, 0); }, "src/mem", "xrealloc", 0},
    {"atom destroyed with a holder", destroy_held_atom, "src/atom", "~Atom", 0},
    {"hostent without address", free_hostent_without_address, "src/mem", "hostent_free", 0},
    {"failed allocation", [] { FATAL_ALLOC("src/misc", 12); }, "src/misc", "operator\\(\\)", 12},
    {"fatal on a worker thread", fatal_alloc_on_another_thread, "src/filebuf", "operator\\(\\)",
     65536},
};

// Each impossible state logs its lines (advice, so even with every category
// off), prints the warning and ends the process with status 1.
TEST_F(MemTest, FatalStatesLogThreeLinesAndExitNonZero) {
    loglevel = 0;
    for (const FatalCase& c : fatal_cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(logfd, -1); // the child opens the file afresh
        unlink(log_path.c_str());
        EXPECT_EXIT(
            {
                dup2(2, 1); // the printed warning becomes visible to the check
                c.act();
            },
            ::testing::ExitedWithCode(1), "\nSystem Unstable: Please Restart\n");

        std::vector<std::string> lines = file_lines(log_path);
        ASSERT_GE(lines.size(), c.failed_size != 0 ? 3u : 2u);
        EXPECT_EQ(after_stamp(lines[0]), " [0] advice: System Unstable: Please Restart");
        std::regex assertion(std::string(" \\[0\\] advice: ASSERTION: ") + c.source +
                             ":[0-9]+ in function " + c.function);
        EXPECT_TRUE(std::regex_match(after_stamp(lines[1]), assertion)) << lines[1];
        if (c.failed_size != 0) {
            EXPECT_EQ(after_stamp(lines[2]), " [0] advice: Failed to allocate " +
                                                 std::to_string(c.failed_size) +
                                                 " bytes of memory");
        } else {
            for (const std::string& line : lines)
                EXPECT_EQ(line.find("Failed to allocate"), std::string::npos) << line;
        }
    }
}

TEST_F(MemTest, OutOfMemoryLogsAndAborts) {
    EXPECT_EXIT(out_of_memory(), ::testing::KilledBySignal(SIGABRT), "");
    std::vector<std::string> lines = file_lines(log_path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(after_stamp(lines[0]),
                                 std::regex(" \\[0\\] error: Out of memory: src/mem:[0-9]+ in "
                                            "function out_of_memory")))
        << lines[0];
}

} // namespace
