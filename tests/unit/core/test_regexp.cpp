// Regular expressions: POSIX-style match patterns, substitutions with
// groups, escapes and @name@ variables, and the buffer helpers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/filebuf.h"
#include "core/regexp.h"
#include "support/log_test_support.h"

namespace {

std::string take(char* text)
{
    std::string copy = text == nullptr ? "<null>" : text;
    free(text);
    return copy;
}

std::string contents(const Filebuf& buffer)
{
    return std::string(buffer.data == nullptr ? "" : buffer.data, buffer.size);
}

void fill(Filebuf& buffer, const std::string& text)
{
    buffer.Resize(0);
    if (!text.empty())
        buffer.Add(text.data(), (unsigned)text.size());
}

class RegexpLog : public logtest::LogDirTest {};

TEST_F(RegexpLog, MatchPatternsIgnoreCaseAndBadOnesAreLogged)
{
    reg_pattern_t* gif = reg_compile("GIF", REGEXP_ICASE);
    ASSERT_NE(gif, nullptr);
    EXPECT_EQ(reg_exec(gif, "image/gif"), 0);
    EXPECT_NE(reg_exec(gif, "image/png"), 0);
    reg_free(gif);

    // Perl syntax, not POSIX extended.
    reg_pattern_t* perl = reg_compile("^\\d+(?:px)?$", REGEXP_ICASE);
    ASSERT_NE(perl, nullptr);
    EXPECT_EQ(reg_exec(perl, "12PX"), 0);
    reg_free(perl);

    EXPECT_EQ(reg_compile("(unbalanced", REGEXP_ICASE), nullptr);
    EXPECT_EQ(reg_sub_compile("[unbalanced", PCRE_CASELESS), nullptr);
    std::vector<std::string> lines = logtest::file_lines(log_path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("failed to compile regular expression: (unbalanced"), std::string::npos);
    EXPECT_NE(lines[1].find("failed to compile regular expression: [unbalanced"), std::string::npos);
}

TEST(RegexpCheck, ReportsWhyWithoutLogging)
{
    std::string reason;
    EXPECT_TRUE(reg_check("^www\\.example\\.(com|net)$", REGEXP_ICASE, &reason));
    EXPECT_FALSE(reg_check("(unbalanced", REGEXP_ICASE, &reason));
    EXPECT_NE(reason.find("at offset 11"), std::string::npos) << reason;
    EXPECT_FALSE(reg_check("*x", REGEXP_ICASE, nullptr));
}

// Workers search the same rule's pattern at the same time; each search must
// see only its own subject (a match block kept with the pattern mixes them
// up and gives wrong verdicts or crashes).
TEST(RegexpMatch, OnePatternSearchedByManyThreadsAtOnce)
{
    reg_pattern_t* pattern = reg_compile("(w|x)+\\.(a|b)+b\\.example\\.(com|net)", REGEXP_ICASE);
    ASSERT_NE(pattern, nullptr);
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int id = 0; id < 8; id++)
        workers.emplace_back([&, id] {
            for (int i = 0; i < 20000; i++) {
                bool should = (i + id) % 2 == 1;
                const char* subject = should ? "www.aaaab.example.com" : "www.aaaaaac.example.org";
                if ((reg_exec(pattern, subject) == 0) != should)
                    wrong++;
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(wrong.load(), 0);
    reg_free(pattern);
}

TEST(RegexpFree, NullIsAnImpossibleState)
{
    EXPECT_EXIT(reg_free(nullptr), ::testing::ExitedWithCode(1), "");
}

TEST(RegexpOptions, LettersMapToOptionBitsThatTakeEffect)
{
    EXPECT_EQ(pcre_options("imsxu"), 0x20F);
    EXPECT_EQ(pcre_options("IMSXU"), 0x20F);
    EXPECT_EQ(pcre_options("iqz"), PCRE_CASELESS);
    EXPECT_EQ(pcre_options(""), 0);

    template_variables variables;
    struct Case {
        const char* pattern;
        int options;
        const char* subject;
        const char* whole; // nullptr: no match
    } cases[] = {
        {"abc", PCRE_CASELESS, "xABCx", "ABC"},
        {"abc", 0, "xABCx", nullptr},
        {"^b", PCRE_MULTILINE, "a\nb", "b"},
        {"^b", 0, "a\nb", nullptr},
        {"a.b", PCRE_DOTALL, "a\nb", "a\nb"},
        {"a.b", 0, "a\nb", nullptr},
        {"a b", PCRE_EXTENDED, "ab", "ab"},
        {"a+", PCRE_UNGREEDY, "aaa", "a"},
        {"a+", 0, "aaa", "aaa"},
    };
    for (const Case& c : cases) {
        regex_sub_t* pattern = reg_sub_compile(c.pattern, c.options);
        ASSERT_NE(pattern, nullptr) << c.pattern;
        regmatch_sub_t* match = reg_sub_exec(pattern, c.subject);
        if (c.whole == nullptr) {
            EXPECT_EQ(match, nullptr) << c.pattern << " options " << c.options;
        } else {
            ASSERT_NE(match, nullptr) << c.pattern << " options " << c.options;
            EXPECT_EQ(take(reg_sub_parse(match, "$0", variables)), c.whole);
        }
        reg_sub_match_free(match);
        reg_sub_free(pattern);
    }
}

TEST(RegexpMatch, OffsetsCountAndGroups)
{
    regex_sub_t* pattern = reg_sub_compile("(b)(x)?(c)", 0);
    ASSERT_NE(pattern, nullptr);
    regmatch_sub_t* match = reg_sub_exec(pattern, "abcd");
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(match->start, 1);
    EXPECT_EQ(match->end, 3);
    EXPECT_EQ(match->count, 4);
    template_variables variables;
    EXPECT_EQ(take(reg_sub_parse(match, "[$0|$1|$2|$3]", variables)), "[bc|b||c]");
    reg_sub_match_free(match);
    reg_sub_free(pattern);

    // More groups than sixteen pairs still match.
    std::string many;
    for (int i = 0; i < 20; i++)
        many += "(.)";
    pattern = reg_sub_compile(many.c_str(), 0);
    ASSERT_NE(pattern, nullptr);
    match = reg_sub_exec(pattern, "abcdefghijklmnopqrstuvwxyz");
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(take(reg_sub_parse(match, "$1$:$?", variables)), "ajo");
    reg_sub_match_free(match);
    reg_sub_free(pattern);
}

TEST(RegexpTemplate, DollarBackslashAndVariableRules)
{
    regex_sub_t* pattern = reg_sub_compile("(a)b", 0);
    ASSERT_NE(pattern, nullptr);
    regmatch_sub_t* match = reg_sub_exec(pattern, "xab");
    ASSERT_NE(match, nullptr);
    template_variables variables{{"HTTP_HOST", "example.com"}, {"EMPTY", ""}};
    struct Case {
        const char* template_text;
        const char* result;
    } cases[] = {
        {"$1-$0", "a-ab"},
        {"$9", ""},
        {"$$1", "$1"},
        {"end$", "end$"},
        {"\\t|\\q|\\\\|\\$1|\\a\\e\\f\\n\\r", "\t|q|\\|$1|\x07\x1b\x0c\n\r"},
        {"cut\\", "cut"},
        {"@HTTP_HOST@/$1", "example.com/a"},
        {"@@x", "@x"},
        {"[@UNKNOWN@][@EMPTY@]", "[][]"},
        {"mail me@home", "mail me@home"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(reg_sub_parse(match, c.template_text, variables)), c.result)
            << c.template_text;
    EXPECT_EQ(variables.count("UNKNOWN"), 1u);
    EXPECT_EQ(variables["UNKNOWN"], "");
    reg_sub_match_free(match);
    reg_sub_free(pattern);
}

TEST(RegexpTemplate, InsertedTextIsNeverReadAgain)
{
    // Values from the client - a URL in a variable, a captured group - keep
    // their "$", "\" and "@" as they are.
    regex_sub_t* pattern = reg_sub_compile("q=(.*)", 0);
    ASSERT_NE(pattern, nullptr);
    regmatch_sub_t* match = reg_sub_exec(pattern, "q=@URL@\\t$1");
    ASSERT_NE(match, nullptr);
    template_variables variables{{"URL", "http://h/a\\b$1@IP@"}, {"IP", "10.0.0.1"}};
    EXPECT_EQ(take(reg_sub_parse(match, "@URL@ <$1>", variables)),
              "http://h/a\\b$1@IP@ <@URL@\\t$1>");
    reg_sub_match_free(match);
    reg_sub_free(pattern);
}

TEST(RegexpReplace, ReplacesEveryMatchWithoutLooping)
{
    template_variables variables{{"V", "$0"}};
    struct Case {
        const char* pattern;
        const char* template_text; // nullptr deletes
        std::string text;
        int count;
        std::string result;
    } cases[] = {
        {"a", "b", "aaaaa", 5, "bbbbb"},
        {"a", nullptr, "aaaaa", 5, ""},
        {"^a", "b", "aaa", 3, "bbb"}, // every resume point is a subject start
        {"x", "y", "abc", 0, "abc"},
        {"b+", "[$0]", "abbcb", 2, "a[bb]c[b]"},
        // Empty matches advance one byte at a time.
        {"x*", "-", "abc", 4, "-a-b-c-"},
        {"x*", "-", "xxa", 3, "--a-"},
        {"$", "!", "abc", 1, "abc!"},
        {"", "|", "", 1, "|"},
        // A NUL ends the searched text; the bytes after it are kept.
        {"a", "b", std::string("aa\0aa", 5), 2, std::string("bb\0aa", 5)},
        {"a", "@V@", "a", 1, "$0"},
    };
    for (const Case& c : cases) {
        regex_sub_t* pattern = reg_sub_compile(c.pattern, 0);
        ASSERT_NE(pattern, nullptr) << c.pattern;
        Filebuf buffer;
        fill(buffer, c.text);
        EXPECT_EQ(reg_replace(&buffer, pattern, c.template_text, variables), c.count) << c.pattern;
        EXPECT_EQ(contents(buffer), c.result) << c.pattern;
        reg_sub_free(pattern);
    }
}

TEST(VariablesParse, ExpandsReferencesInPlace)
{
    template_variables variables{{"HTTP_HOST", "example.com"}, {"X", "$1\\t"}};
    struct Case {
        std::string text;
        std::string result;
    } cases[] = {
        {"no references at all", "no references at all"},
        {"host=@HTTP_HOST@;", "host=example.com;"},
        {"@@ and @X@", "@ and $1\\t"},
        {"@MISSING@gone", "gone"},
        {"a@" + std::string(63, 'n') + "@b", "a@" + std::string(63, 'n') + "@b"},
        {"trailing @", "trailing @"},
        {std::string("bin\0@X@", 7), std::string("bin\0$1\\t", 8)},
    };
    for (const Case& c : cases) {
        Filebuf buffer;
        fill(buffer, c.text);
        variables_parse(variables, &buffer);
        EXPECT_EQ(contents(buffer), c.result) << c.text;
    }
    EXPECT_EQ(variables.count("MISSING"), 1u);
}

TEST(StringReplace, ReplacesOrDeletesEveryOccurrence)
{
    struct Case {
        const char* search;
        const char* replacement;
        std::string text;
        std::string result;
    } cases[] = {
        {"ab", "abab", "xabyab", "xababyabab"}, // inserted text is not searched again
        {"ab", nullptr, "abxabab", "x"},
        {"zz", "y", "abc", "abc"},
        {"", "y", "abc", "abc"},
        {"b", "c", std::string("a\0b", 3), std::string("a\0c", 3)},
    };
    for (const Case& c : cases) {
        Filebuf buffer;
        fill(buffer, c.text);
        EXPECT_EQ(string_replace(&buffer, c.search, c.replacement), 0);
        EXPECT_EQ(contents(buffer), c.result) << c.search;
    }
}

} // namespace
