// FTP directory listings: lines as real servers send them (vsftpd,
// pyftpdlib, ProFTPD, servers without a group column, links, odd names),
// unparsable and short lines, filtering and sorting.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/filebuf.h"
#include "ftp/ftp_list.h"
#include "support/log_test_support.h"

namespace {

class FtpListTest : public logtest::LogDirTest {
protected:
    void TearDown() override {
        dir_list_free(list);
        LogDirTest::TearDown();
    }

    dir_t* parse(const std::string& text) {
        Filebuf buffer;
        buffer.Add(text.data(), static_cast<unsigned>(text.size()));
        dir_list_free(list);
        list = dir_list_parse(&buffer);
        return list;
    }

    static std::vector<std::string> names(const dir_t* entry) {
        std::vector<std::string> all;
        for (; entry != nullptr; entry = entry->next)
            all.push_back(entry->name);
        return all;
    }

    // Names read backwards from the last entry, to check the prev links.
    static std::vector<std::string> names_backwards(const dir_t* entry) {
        std::vector<std::string> all;
        if (entry == nullptr)
            return all;
        while (entry->next != nullptr)
            entry = entry->next;
        for (; entry != nullptr; entry = entry->prev)
            all.insert(all.begin(), entry->name);
        return all;
    }

    std::vector<std::string> unparsable_lines() const {
        std::vector<std::string> found;
        const std::string marker = "FTP: unparsable ftp dir entry: ";
        for (const std::string& line : logtest::file_lines(log_path)) {
            std::string::size_type at = line.find(marker);
            if (at != std::string::npos)
                found.push_back(line.substr(at + marker.size()));
        }
        return found;
    }

    static int this_year() {
        time_t now = time(nullptr);
        struct tm local;
        localtime_r(&now, &local);
        return local.tm_year;
    }

    dir_t* list = nullptr;
};

struct LineCase {
    const char* server;
    const char* line;
    int is_dir;
    unsigned mode;
    const char* owner;
    const char* group;
    uint64_t size;
    int month; // tm_mon
    int day;
    int year; // tm_year, or -1 for this year
    int hour;
    int minute;
    const char* name;
};

const LineCase LINES[] = {
    {"vsftpd file", "-rw-r--r--    1 1000     1000           12 Dec 10 14:50 hello.txt", 0, 0x1a4,
     "1000", "1000", 12, 11, 10, -1, 14, 50, "hello.txt"},
    {"vsftpd directory", "drwxr-xr-x    2 0        0            4096 Jan 01  2020 pub", 1, 0x1ed,
     "0", "0", 4096, 0, 1, 120, 0, 0, "pub/"},
    {"vsftpd link", "lrwxrwxrwx    1 0        0               7 Mar 05  2019 bin -> usr/bin", 0,
     0x1ff, "0", "0", 7, 2, 5, 119, 0, 0, "bin"},
    {"pyftpdlib file", "-rw-rw-r--   1 alice    staff       10240 Feb 28 09:05 report.pdf", 0,
     0x1b4, "alice", "staff", 10240, 1, 28, -1, 9, 5, "report.pdf"},
    {"pyftpdlib directory", "drwxrwxr-x   3 alice    staff        4096 Nov 30  2021 archive", 1,
     0x1fd, "alice", "staff", 4096, 10, 30, 121, 0, 0, "archive/"},
    {"ProFTPD file over 4 GiB", "-rw-r--r--   1 ftp      ftp      5368709120 Jul 04  2022 disk.img",
     0, 0x1a4, "ftp", "ftp", 5368709120ull, 6, 4, 122, 0, 0, "disk.img"},
    {"name with doubled and trailing blanks",
     "-rw-r--r--   1 ftp      ftp             5 Jul 04  2022 my  notes .txt", 0, 0x1a4, "ftp", "ftp",
     5, 6, 4, 122, 0, 0, "my  notes .txt"},
    {"set-id and sticky bits", "-rwsr-Sr-t   1 root     wheel           0 Aug 15  2018 odd", 0,
     0xfed, "root", "wheel", 0, 7, 15, 118, 0, 0, "odd"},
    {"link whose name starts with an arrow",
     "lrwxrwxrwx   1 ftp      ftp             3 Aug 15  2018 ->x -> y", 0, 0x1ff, "ftp", "ftp", 3,
     7, 15, 118, 0, 0, "->x"},
    {"CR LF line end", "-rw-r--r--   1 ftp      ftp            42 Sep 09  2017 dos.txt\r", 0, 0x1a4,
     "ftp", "ftp", 42, 8, 9, 117, 0, 0, "dos.txt"},
    {"tab separated", "-rw-r--r--\t1\tftp\tftp\t42\tSep\t09\t2017\ttabbed", 0, 0x1a4, "ftp", "ftp",
     42, 8, 9, 117, 0, 0, "tabbed"},
    {"no group column (eight columns)", "-rw-r--r--   1 owner        1024 Mar 11  2019 nogroup.txt",
     0, 0x1a4, "owner", "unknown", 1024, 2, 11, 119, 0, 0, "nogroup.txt"},
};

} // namespace

TEST_F(FtpListTest, RealServerLinesGiveEveryColumn) {
    for (const LineCase& c : LINES) {
        SCOPED_TRACE(c.server);
        ASSERT_NE(parse(std::string(c.line) + "\n"), nullptr);
        const dir_t& e = *list;
        EXPECT_EQ(e.next, nullptr);
        EXPECT_EQ(e.is_dir, c.is_dir);
        EXPECT_EQ(e.mode, c.mode);
        EXPECT_STREQ(e.owner, c.owner);
        EXPECT_STREQ(e.group, c.group);
        EXPECT_EQ(e.size, c.size);
        EXPECT_EQ(e.tm.tm_mon, c.month);
        EXPECT_EQ(e.tm.tm_mday, c.day);
        EXPECT_EQ(e.tm.tm_year, c.year == -1 ? this_year() : c.year);
        EXPECT_EQ(e.tm.tm_hour, c.hour);
        EXPECT_EQ(e.tm.tm_min, c.minute);
        struct tm expected = e.tm;
        EXPECT_EQ(e.time, timegm(&expected));
        EXPECT_STREQ(e.name, c.name);
    }
    EXPECT_TRUE(unparsable_lines().empty());
}

TEST_F(FtpListTest, AWholeListingKeepsItsOrderAndSkipsTotalAndEmptyLines) {
    parse("total 24\r\n"
          "drwxr-xr-x    2 1000     1000         4096 Dec 10 14:50 sub\r\n"
          "\r\n"
          "-rw-r--r--    1 1000     1000           12 Dec 10 14:50 hello.txt\r\n"
          "TOTAL 3\n"
          "lrwxrwxrwx    1 1000     1000            9 Dec 10 14:50 link -> hello.txt\r\n"
          "-rw-r--r--    1 1000     1000            0 Dec 10 14:50 last"); // no final newline
    std::vector<std::string> expected{"sub/", "hello.txt", "link", "last"};
    EXPECT_EQ(names(list), expected);
    EXPECT_EQ(names_backwards(list), expected);
    EXPECT_EQ(list->prev, nullptr);
    EXPECT_TRUE(unparsable_lines().empty());
}

// The layout is fixed by the first line; a later line too short for it is
// logged and skipped, the lines after it are still read.
TEST_F(FtpListTest, LinesShorterThanTheFirstAreSkippedNotHalfRead) {
    parse("lrwxrwxrwx    1 0        0               7 Mar 05  2019 bin -> usr/bin\n"
          "-rw-r--r--    1 0        0              12 Mar 05  2019\n"
          "-rw-r--r--    1 0        12 Mar 05  2019 eight\n"
          "drwx\n"
          "-rw-r--r--    1 0        0              12 Mar 05  2019 kept\n");
    EXPECT_EQ(names(list), (std::vector<std::string>{"bin", "kept"}));
    EXPECT_EQ(unparsable_lines(),
              (std::vector<std::string>{"-rw-r--r--    1 0        0              12 Mar 05  2019",
                                        "-rw-r--r--    1 0        12 Mar 05  2019 eight",
                                        "drwx"}));
}

TEST_F(FtpListTest, ListingsThatCannotBeReadGiveNothing) {
    const struct {
        const char* why;
        const char* text;
        size_t logged;
    } cases[] = {
        {"first line with fewer than eight columns makes every line unparsable",
         "ls: cannot open\n-rw-r--r-- 1 ftp ftp 1 Jan 01 2020 a\n", 2},
        {"a size that is not a number", "-rw-r--r-- 1 ftp ftp 1x Jan 01 2020 a\n", 1},
        {"a size beyond 64 bits", "-rw-r--r-- 1 ftp ftp 99999999999999999999 Jan 01 2020 a\n", 1},
        {"only a total line", "total 0\r\n", 0},
        {"an empty reply", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        size_t before = unparsable_lines().size();
        EXPECT_EQ(parse(c.text), nullptr);
        EXPECT_EQ(unparsable_lines().size() - before, c.logged);
    }
    EXPECT_EQ(dir_list_parse(nullptr), nullptr);
}

TEST_F(FtpListTest, AddCopiesTheStringsAndMarksDirectories) {
    struct tm date = {};
    date.tm_year = 100;
    date.tm_mday = 1;
    char name[] = "dir";
    list = dir_list_add(nullptr, 1, 0755, "o", "g", 1, date, name);
    name[0] = 'X';
    dir_t* second = dir_list_add(list, 1, 0755, "o", "g", 2, date, "already/");
    dir_t* third = dir_list_add(list, 0, 0644, "o", "g", 3, date, "file");
    EXPECT_EQ(names(list), (std::vector<std::string>{"dir/", "already/", "file"}));
    EXPECT_EQ(third->prev, second);
    EXPECT_EQ(dir_list_find(list, "file"), third);
    EXPECT_EQ(dir_list_find(list, "fil"), nullptr);
    EXPECT_EQ(dir_list_find(list, "dir"), nullptr); // directories carry their "/"
    dir_list_free(third); // any entry frees the whole list
    list = nullptr;
    dir_list_free(nullptr);
}

namespace {

const char* const SORT_LISTING =
    "-rw-r--r--   1 ftp  ftp   300 Jan 03  2020 beta.txt\n"
    "drwxr-xr-x   2 ftp  ftp  4096 Jan 01  2020 Zeta\n"
    "-rw-r--r--   1 ftp  ftp    10 Jan 05  2020 alpha.txt\n"
    "drwxr-xr-x   2 ftp  ftp    64 Jan 04  2020 docs\n"
    "-rw-r--r--   1 ftp  ftp   300 Jan 02  2020 Gamma.txt\n";

} // namespace

TEST_F(FtpListTest, SortByEveryKeyAndOrder) {
    const struct {
        int order;
        int field;
        std::vector<std::string> expected;
    } cases[] = {
        {0, DIR_SORT_NAME, {"alpha.txt", "beta.txt", "docs/", "Gamma.txt", "Zeta/"}},
        {1, DIR_SORT_NAME, {"Zeta/", "Gamma.txt", "docs/", "beta.txt", "alpha.txt"}},
        // directories first; equal sizes keep the server's order
        {0, DIR_SORT_SIZE, {"docs/", "Zeta/", "alpha.txt", "beta.txt", "Gamma.txt"}},
        {1, DIR_SORT_SIZE, {"beta.txt", "Gamma.txt", "alpha.txt", "Zeta/", "docs/"}},
        {0, DIR_SORT_DATE, {"Zeta/", "Gamma.txt", "beta.txt", "docs/", "alpha.txt"}},
        {1, DIR_SORT_DATE, {"alpha.txt", "docs/", "beta.txt", "Gamma.txt", "Zeta/"}},
        {1, DIR_SORT_NONE, {"beta.txt", "Zeta/", "alpha.txt", "docs/", "Gamma.txt"}},
        {0, 7, {"beta.txt", "Zeta/", "alpha.txt", "docs/", "Gamma.txt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "order " << c.order << " field " << c.field);
        parse(SORT_LISTING);
        list = dir_list_sort(list->next->next, c.order, c.field); // any entry will do
        EXPECT_EQ(names(list), c.expected);
        EXPECT_EQ(names_backwards(list), c.expected);
        EXPECT_EQ(list->prev, nullptr);
    }
    EXPECT_EQ(dir_list_sort(nullptr, 0, DIR_SORT_NAME), nullptr);
}

// A listing far too long for a quadratic sort: sorted and stable.
TEST_F(FtpListTest, LargeListingsSortStably) {
    const int count = 200000;
    struct tm date = {};
    date.tm_year = 120;
    date.tm_mday = 1;
    dir_t* last = nullptr;
    for (int i = 0; i < count; i++) {
        char name[32];
        snprintf(name, sizeof name, "f%06d", i);
        last = dir_list_add(last, 0, 0644, "o", "g", static_cast<uint64_t>((i * 7919) % 100), date,
                            name);
        if (list == nullptr)
            list = last;
    }
    list = dir_list_sort(list, 0, DIR_SORT_SIZE);
    int seen = 0;
    for (const dir_t* e = list; e != nullptr; e = e->next, seen++) {
        if (e->next == nullptr)
            continue;
        ASSERT_LE(e->size, e->next->size);
        if (e->size == e->next->size) {
            ASSERT_LT(strcmp(e->name, e->next->name), 0) << "equal sizes changed order";
        }
        ASSERT_EQ(e->next->prev, e);
    }
    EXPECT_EQ(seen, count);
}

TEST_F(FtpListTest, FilterRemovesMatchingNamesWithoutCase) {
    parse(SORT_LISTING);
    list = dir_list_filter(list, "\\.TXT$");
    EXPECT_EQ(names(list), (std::vector<std::string>{"Zeta/", "docs/"}));
    EXPECT_EQ(names_backwards(list), (std::vector<std::string>{"Zeta/", "docs/"}));

    list = dir_list_filter(list, "([");
    EXPECT_EQ(names(list), (std::vector<std::string>{"Zeta/", "docs/"})); // invalid: unchanged
    EXPECT_TRUE(logtest::read_file(log_path).find("failed to compile regular expression: ([") !=
                std::string::npos);

    list = dir_list_filter(list, "");
    EXPECT_EQ(list, nullptr); // matches everything
}
