// String toolbox: bounded copies, arrays, command-line splitting, HTML
// escaping and the small predicates.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/misc.h"

namespace {

// Owns a returned text so failing assertions do not leak.
std::string take(char* text)
{
    std::string copy = text == nullptr ? "<null>" : text;
    free(text);
    return copy;
}

// Owns a returned array and gives it as a vector (empty for null).
std::vector<std::string> take(char** array)
{
    std::vector<std::string> items;
    for (int i = 0; array != nullptr && array[i] != nullptr; i++)
        items.push_back(array[i]);
    array_free(array);
    return items;
}

using Words = std::vector<std::string>;

// ---- Bounded copies -----------------------------------------------------------

// The buffer sits inside a guarded area so a write past `size` shows up.
struct Guarded {
    char area[64];
    char* buffer = area + 16;
    Guarded() { memset(area, '#', sizeof(area)); }
    bool untouched_from(size_t size) const
    {
        for (const char* p = buffer + size; p < area + sizeof(area); p++)
            if (*p != '#')
                return false;
        for (const char* p = area; p < buffer; p++)
            if (*p != '#')
                return false;
        return true;
    }
};

TEST(BoundedCopy, CopyCutsToSizeMinusOneAndTerminates)
{
    struct Case {
        const char* src;
        size_t size;
        const char* expected;
    } cases[] = {
        {"abcdefghijklmnopqrst", 8, "abcdefg"},
        {"abc", 8, "abc"},
        {"abcdefg", 8, "abcdefg"},
        {"abcdefgh", 8, "abcdefg"},
        {"abc", 1, ""},
        {"", 8, ""},
    };
    for (const Case& c : cases) {
        Guarded g;
        EXPECT_EQ(s_strncpy(g.buffer, c.src, c.size), g.buffer);
        EXPECT_STREQ(g.buffer, c.expected) << c.src << " size " << c.size;
        EXPECT_TRUE(g.untouched_from(c.size)) << c.src << " size " << c.size;
    }
}

TEST(BoundedCopy, SizeZeroWritesNothing)
{
    Guarded g;
    s_strncpy(g.buffer, "abc", 0);
    EXPECT_TRUE(g.untouched_from(0));
    s_strncat(g.buffer, "abc", 0);
    EXPECT_TRUE(g.untouched_from(0));
}

TEST(BoundedCopy, AppendKeepsWithinSize)
{
    struct Case {
        const char* dst;
        const char* src;
        size_t size;
        const char* expected;
    } cases[] = {
        {"abc", "def", 8, "abcdef"},
        {"abcd", "efghij", 8, "abcdefg"},
        {"abcdefg", "x", 8, "abcdefg"},
        {"", "abcdefghij", 8, "abcdefg"},
        {"abc", "def", 1, ""},
        {"abc", "", 8, "abc"},
    };
    for (const Case& c : cases) {
        Guarded g;
        strcpy(g.buffer, c.dst);
        EXPECT_EQ(s_strncat(g.buffer, c.src, c.size), g.buffer);
        EXPECT_STREQ(g.buffer, c.expected) << c.dst << "+" << c.src << " size " << c.size;
        EXPECT_TRUE(g.untouched_from(std::max(c.size, strlen(c.dst) + 1)));
    }
}

TEST(BoundedCopy, AppendCutsAnOverlongDestination)
{
    char buffer[16] = "abcdefghij"; // 10 characters in what the caller says is 8
    s_strncat(buffer, "xyz", 8);
    EXPECT_STREQ(buffer, "abcdefg");

    // A destination without any terminator inside `size` is cut, never
    // read past.
    char unterminated[8];
    memset(unterminated, 'z', sizeof(unterminated));
    s_strncat(unterminated, "abc", sizeof(unterminated));
    EXPECT_STREQ(unterminated, "zzzzzzz");
}

TEST(BoundedCopy, StrnlenStopsAtBoundOrTerminator)
{
    EXPECT_EQ(s_strnlen("abcdef", 3), 3u);
    EXPECT_EQ(s_strnlen("abc", 10), 3u);
    EXPECT_EQ(s_strnlen("abc", 0), 0u);
    EXPECT_EQ(s_strnlen(nullptr, 5), 0u);
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(s_strnlen(unterminated, sizeof(unterminated)), 4u);
}

TEST(BoundedCopy, SignedToUnsignedCharIsBoundedAndTerminated)
{
    unsigned char bytes[8];
    memset(bytes, 0xAA, sizeof(bytes));
    EXPECT_EQ(signed_to_unsigned_char("abc", bytes, sizeof(bytes)), 3u);
    EXPECT_EQ(memcmp(bytes, "abc", 4), 0);
    EXPECT_EQ(bytes[4], 0xAA); // nothing written past the terminator

    memset(bytes, 0xAA, sizeof(bytes));
    EXPECT_EQ(signed_to_unsigned_char("0123456789", bytes, sizeof(bytes)), 7u);
    EXPECT_EQ(memcmp(bytes, "0123456", 8), 0);

    memset(bytes, 0xAA, sizeof(bytes));
    EXPECT_EQ(signed_to_unsigned_char("", bytes, sizeof(bytes)), 0u);
    EXPECT_EQ(signed_to_unsigned_char(nullptr, bytes, sizeof(bytes)), 0u);
    EXPECT_EQ(signed_to_unsigned_char("abc", bytes, 0), 0u);
    EXPECT_EQ(bytes[0], 0xAA);
}

// ---- Plain text -------------------------------------------------------------------

TEST(Text, StripCharReplacesAllOrCutsAtFirst)
{
    char quoted[] = "a \"b\" c";
    s_strip_char(quoted, '"', '\'');
    EXPECT_STREQ(quoted, "a 'b' c");

    char line[] = "key=value=more";
    s_strip_char(line, '=', '\0');
    EXPECT_STREQ(line, "key");
    EXPECT_STREQ(line + 4, "value=more"); // only the first one was replaced
}

TEST(Text, CaseBlindSearch)
{
    const char* text = "content-type: text/html";
    EXPECT_EQ(s_strcasestr(text, "TEXT/HTML"), text + 14);
    EXPECT_EQ(s_strcasestr(text, "Content"), text);
    EXPECT_EQ(s_strcasestr(text, "xml"), nullptr);
    EXPECT_EQ(s_strcasestr(text, "text/htmlx"), nullptr);
    EXPECT_EQ(s_strcasestr(text, ""), text);
    EXPECT_EQ(s_strcasestr("", ""), nullptr);
    EXPECT_EQ(s_strcasestr("", "a"), nullptr);
}

TEST(Text, CaseBlindSearchFindsOverlappingStart)
{
    const char* text = "aaab";
    EXPECT_EQ(s_strcasestr(text, "AAB"), text + 1);
}

TEST(Text, CaseConversionTouchesAsciiLettersOnly)
{
    char lower[] = "MiXeD 123 \xC4 Text";
    EXPECT_EQ(string_tolower(lower), 0);
    EXPECT_STREQ(lower, "mixed 123 \xC4 text");

    char upper[] = "MiXeD 123 \xE4 Text";
    EXPECT_EQ(string_toupper(upper), 0);
    EXPECT_STREQ(upper, "MIXED 123 \xE4 TEXT");
}

TEST(Text, AppendGrowsFromNull)
{
    char* text = string_append(nullptr, "abc");
    text = string_append(text, "");
    text = string_append(text, "def");
    text = string_append(text, nullptr);
    EXPECT_EQ(take(text), "abcdef");
}

TEST(Text, IsEmptyLooksOnlyAtPrintableNonBlanks)
{
    struct Case {
        const char* text;
        size_t n;
        int expected;
    } cases[] = {
        {" \t \r\n", 10, 1},
        {"", 10, 1},
        {"abc", 0, 1},
        {"   x", 3, 1},
        {"   x", 4, 0},
        {"\x7f\x01", 2, 1},
        {"~", 1, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isempty(c.text, c.n), c.expected) << '"' << c.text << "\" n " << c.n;
    EXPECT_EQ(isempty(nullptr, 5), 1);
}

TEST(Text, IsIpAcceptsOnlyDottedQuads)
{
    struct Case {
        const char* text;
        int expected;
    } cases[] = {
        {"192.168.0.1", 1},
        {"0.0.0.0", 1},
        {"255.255.255.255", 1},
        {"010.001.000.255", 1},
        // "..." and missing numbers are no address
        {"...", 0},
        {"1..2.3", 0},
        {"1.2.3.", 0},
        {".1.2.3", 0},
        // out-of-range octets
        {"999.1.1.1", 0},
        {"256.0.0.1", 0},
        {"1.2.3.0256", 0},
        {"1.2.3.4294967297", 0},
        // wrong number of dots, letters, blanks
        {"1.2.3", 0},
        {"1.2.3.4.5", 0},
        {"1.2.3.a", 0},
        {"a.b.c.d", 0},
        {" 1.2.3.4", 0},
        {"1.2.3.4 ", 0},
        {"1.2 .3.4", 0},
        {"example.com", 0},
        {"", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isip(c.text), c.expected) << '"' << c.text << '"';
    EXPECT_EQ(isip(nullptr), 0);
}

TEST(Text, AtoiClampedReadsAsAtoiAndHoldsAtTheIntEnds)
{
    struct Case {
        const char* text;
        int expected;
    } cases[] = {
        {"42", 42},          {"  -7x", -7},         {"+3", 3},
        {"", 0},             {"abc", 0},            {"2147483647", INT_MAX},
        {"2147483648", INT_MAX}, {"-2147483649", INT_MIN}, {"99999999999999999999", INT_MAX},
    };
    for (const Case& c : cases)
        EXPECT_EQ(atoi_clamped(c.text), c.expected) << '"' << c.text << '"';
}

TEST(Text, XpowIsPowerOfTwo)
{
    EXPECT_EQ(xpow(-3), 1u);
    EXPECT_EQ(xpow(0), 1u);
    EXPECT_EQ(xpow(1), 2u);
    EXPECT_EQ(xpow(20), 1048576u);
    EXPECT_EQ(xpow(40), (uint64_t)1 << 40);
    EXPECT_EQ(xpow(200), (uint64_t)1 << 63);
}

TEST(Text, FilesizeChoosesUnitByPowersOf1024)
{
    struct Case {
        uint64_t bytes;
        const char* expected;
    } cases[] = {
        {0, "0.0 B"},
        {1023, "1023.0 B"},
        {1024, "1.0 KB"},
        {1536, "1.5 KB"},
        {1048575, "1024.0 KB"},
        {1048576, "1.0 MB"},
        {1073741823, "1024.0 MB"},
        {1073741824, "1.0 GB"},
        {4294967295ull, "4.0 GB"},
        // 64-bit counts are not folded into 32 bits
        {5368709120ull, "5.0 GB"},
        {1099511627776ull, "1024.0 GB"},
        {UINT64_MAX, "17179869184.0 GB"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(filesize(c.bytes)), c.expected) << c.bytes;
}

// ---- HTML escaping ---------------------------------------------------------------

TEST(Html, EscapesByFlags)
{
    struct Case {
        const char* text;
        int flags;
        const char* expected;
    } cases[] = {
        {"<a href=\"x\">&</a> (1+1)\n", 0, "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt; (1+1)\n"},
        {"a\nb c", 1, "a<br>b c"},
        {"a\nb c", 2, "a\nb&nbsp;c"},
        {"a\nb c", 3, "a<br>b&nbsp;c"},
        {"';.?/\\[]{}()+*|$", 4, "\\'\\;\\.\\?\\/\\\\\\[\\]\\{\\}\\(\\)\\+\\*\\|\\$"},
        {"a.b\"<x>", 4, "a\\.b&quot;&lt;x&gt;"},
        {"", 7, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(string_to_html(c.text, c.flags, 80)), c.expected)
            << '"' << c.text << "\" flags " << c.flags;
    EXPECT_EQ(take(string_to_html(nullptr, 0, 80)), "");
}

TEST(Html, WrapsLongRunsOnlyWithFlagsExactlyOne)
{
    std::string word(25, 'x');
    std::string ten(10, 'x');
    EXPECT_EQ(take(string_to_html(word.c_str(), 1, 10)), ten + "<br>" + ten + "<br>xxxxx");
    // Exactly L characters get a break after them, even at the end.
    EXPECT_EQ(take(string_to_html(ten.c_str(), 1, 10)), ten + "<br>");
    // Any other flag value never wraps.
    EXPECT_EQ(take(string_to_html(word.c_str(), 3, 10)), word);
    EXPECT_EQ(take(string_to_html(word.c_str(), 0, 10)), word);
}

TEST(Html, WrapCounterRestartsAtSpacesAndCountsInputCharacters)
{
    // The space counts as the first character of the new run: after
    // "abcdefgh" the space restarts the count, so the break comes after
    // the space and three more characters.
    EXPECT_EQ(take(string_to_html("abcdefgh ijklmnop", 1, 4)), "abcd<br>efgh<br> ijk<br>lmno<br>p");
    // Entities count as the one input character they stand for.
    EXPECT_EQ(take(string_to_html("<<<<", 1, 2)), "&lt;&lt;<br>&lt;&lt;<br>");
}

TEST(Html, ZeroOrNegativeLineLengthMeansNoWrapping)
{
    std::string word(300, 'y');
    EXPECT_EQ(take(string_to_html(word.c_str(), 1, 0)), word);
    EXPECT_EQ(take(string_to_html(word.c_str(), 1, -5)), word);
    EXPECT_EQ(take(string_to_html("a\nb", 1, 0)), "a<br>b");
}

// ---- Command lines ----------------------------------------------------------------

TEST(CmdLine, SplitsWordsWithQuotesAndEscapes)
{
    struct Case {
        const char* line;
        Words expected;
    } cases[] = {
        {"prog  \"two words\" a\\ b", {"prog", "two words", "a b"}},
        {"prog 'single quoted' next", {"prog", "single quoted", "next"}},
        {"say \"it's\" 'a \"b\"'", {"say", "it's", "a \"b\""}},
        {"pre\"fix\"ed 'glu'ed", {"prefixed", "glued"}},
        {"a \"\" b ''", {"a", "b"}},
        {"a\\\"b \\'c\\\\", {"a\"b", "'c\\"}},
        {"\"back\\slash\" 'x\\y'", {"back\\slash", "x\\y"}},
        {"tab\tis ordinary", {"tab\tis", "ordinary"}},
        {"   leading and trailing   ", {"leading", "and", "trailing"}},
        {"ends with backslash\\", {"ends", "with", "backslash"}},
        {"\"unterminated quote", {"unterminated quote"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(cmdline_parse(c.line)), c.expected) << c.line;
}

TEST(CmdLine, EmptyLinesGiveAnEmptyArrayNotNull)
{
    for (const char* line : {"", "    ", "\"\" ''"}) {
        char** words = cmdline_parse(line);
        ASSERT_NE(words, nullptr) << '"' << line << '"';
        EXPECT_EQ(words[0], nullptr);
        array_free(words);
    }
    char** words = cmdline_parse(nullptr);
    ASSERT_NE(words, nullptr);
    EXPECT_EQ(array_length(words), 0);
    array_free(words);
}

TEST(CmdLine, WordsAreCutAt255Characters)
{
    std::string line = "prog " + std::string(300, 'w') + " next";
    Words words = take(cmdline_parse(line.c_str()));
    ASSERT_EQ(words.size(), 3u);
    EXPECT_EQ(words[1], std::string(255, 'w'));
    EXPECT_EQ(words[2], "next");
}

// ---- Paths -------------------------------------------------------------------------

TEST(Path, ResolvesDotSegments)
{
    struct Case {
        const char* path;
        const char* expected;
    } cases[] = {
        {"/a/b/../c/./d", "/a/c/d"},
        {"/a/b/", "/a/b/"},
        {"a/b", "/a/b"},
        {"/../../x", "/x"},
        {"//a//b//", "/a/b/"},
        {"/", "/"},
        {"", "/"},
        {"plain", "/plain"},
        {"/a/..", "/"},
        {"/a/../", "/"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(resolve_path(c.path)), c.expected) << '"' << c.path << '"';
    EXPECT_EQ(resolve_path(nullptr), nullptr);
}

// ---- String arrays -----------------------------------------------------------------

TEST(Array, BreakDropsEmptyPieces)
{
    struct Case {
        const char* text;
        char sep;
        Words expected;
    } cases[] = {
        {",one,,two,", ',', {"one", "two"}},
        {"one", ',', {"one"}},
        {",,,", ',', {""}},
        {"", ',', {""}},
        {"a b  c\n", ' ', {"a", "b", "c\n"}},
        {" x , y ", ',', {" x ", " y "}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(string_break(c.text, c.sep)), c.expected) << '"' << c.text << '"';
    EXPECT_EQ(string_break(nullptr, ','), nullptr);
}

TEST(Array, MergeJoinsWithOneSeparator)
{
    char** pieces = string_break("/one//two/", '/');
    EXPECT_EQ(take(array_merge(pieces, '/')), "one/two");
    array_free(pieces);
    EXPECT_EQ(take(array_merge(nullptr, ',')), "");
    char** empty = array_delete(array_add(nullptr, "x"), "x");
    EXPECT_EQ(take(array_merge(empty, ',')), "");
    array_free(empty);
}

TEST(Array, AddFindDeleteKeepOrder)
{
    char** array = nullptr;
    for (const char* item : {"keep1", "gone", "keep2", "gone", "gone", "keep3"})
        array = array_add(array, item);
    EXPECT_EQ(array_length(array), 6);
    EXPECT_EQ(array_find(array, "gone"), 1);
    EXPECT_EQ(array_find(array, "Gone"), 0);

    array = array_delete(array, "gone");
    EXPECT_EQ(array_find(array, "gone"), 0);
    EXPECT_EQ(array_length(array), 3);

    char** copy = array_dup(array);
    array = array_delete(array, "absent");
    EXPECT_EQ(take(array), (Words{"keep1", "keep2", "keep3"}));

    // Emptied arrays keep their null pointer; copies are independent.
    for (const char* item : {"keep1", "keep2", "keep3"})
        copy = array_delete(copy, item);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy[0], nullptr);
    array_free(copy);
}

TEST(Array, NullArraysAreAccepted)
{
    EXPECT_EQ(array_length(nullptr), 0);
    EXPECT_EQ(array_find(nullptr, "x"), 0);
    EXPECT_EQ(array_dup(nullptr), nullptr);
    EXPECT_EQ(array_delete(nullptr, "x"), nullptr);
    array_free(nullptr);
    EXPECT_EQ(take(array_add(nullptr, "first")), Words{"first"});
}

TEST(Array, DupCopiesEveryString)
{
    char** original = string_break("a:b:c", ':');
    char** copy = array_dup(original);
    original[0][0] = 'X';
    EXPECT_EQ(take(original), (Words{"X", "b", "c"}));
    EXPECT_EQ(take(copy), (Words{"a", "b", "c"}));
}

} // namespace
