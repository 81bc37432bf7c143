// Ruling patterns out before searching them: the text a pattern requires
// (never one a match could lack: that would let a request past its rule),
// and the index that finds many such texts in one pass.
#include <gtest/gtest.h>

#include <stdint.h>
#include <strings.h>

#include <random>
#include <string>
#include <vector>

#include "core/regexp.h"
#include "filter/literal_index.h"

namespace {

TEST(RequiredLiteral, ReadsOnlyWhatItIsSureOf) {
    struct Case {
        const char* pattern;
        const char* literal;
    } cases[] = {
        {"ads", "ads"},
        {"^www\\.Example\\.COM$", "www.example.com"},
        {"(^|\\.)doubleclick\\.net$", "doubleclick.net"},
        {".*\\.example\\.com", ".example.com"},
        {"^/admin/", "/admin/"},
        {"colou?r", "colo"},          // an optional byte ends the run without it
        {"ab+c", "a"},                // so does a repeated one
        {"tracker{2}x", "tracke"},
        {"trac{2,}kerz", "kerz"},
        {"a*?bcd", "bcd"},             // lazy and possessive marks are stepped over
        {"abc\\d+defg", "defg"},
        {"[a-z]+\\.example\\.org", ".example.org"},
        {"[]x]yz", "yz"},
        {"[[:alpha:]]+host", "host"},
        {"(ab|cd)efg(h|i)", "efg"},
        {"(?:www\\.)?site\\.test", "site.test"},
        {"a.b", "a"},
        {"", ""},
        // Not sure: nothing.
        {"ads|tracker", ""},          // alternatives at the top
        {"(?i)abc", ""},              // options
        {"(?x)a b # c", ""},
        {"\\Qa|b\\E", ""},            // quoting
        {"(*UTF)abc", ""},            // verbs
        {"abc\\x41def", ""},          // escapes that take more bytes
        {"(a)\\1bcd", ""},            // back references
        {"\\cXabc", ""},
        {"abc(?=def)", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(required_literal(c.pattern), c.literal) << c.pattern;
}

// Random patterns over a small alphabet of items and random subjects: the
// required text must be in every subject the pattern matches.
TEST(RequiredLiteral, NeverClaimsWhatAMatchLacks) {
    const char* const items[] = {"a",  "b",   "c",  ".",   "\\.", "-",  "(",   ")",   "|",
                                 "?",  "*",   "+",  "{2}", "{1,}", "^",  "$",   "[ab]", "[^a]",
                                 "\\d", "2",  "(?:", "\\b", "*?", "[]a]", "\\-", "B",  "\\w"};
    const char alphabet[] = "abcAB.-2";
    std::mt19937 random(12345);
    int checked = 0;
    for (int round = 0; round < 20000; round++) {
        std::string pattern;
        int length = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < length; i++)
            pattern += items[random() % (sizeof items / sizeof *items)];
        if (!reg_check(pattern.c_str(), REGEXP_ICASE, nullptr))
            continue;
        std::string literal = required_literal(pattern);
        if (literal.empty())
            continue;
        reg_pattern_t* compiled = reg_compile(pattern.c_str(), REGEXP_ICASE);
        ASSERT_NE(compiled, nullptr) << pattern;
        for (int s = 0; s < 30; s++) {
            std::string subject;
            int size = static_cast<int>(random() % 10);
            for (int i = 0; i < size; i++)
                subject += alphabet[random() % (sizeof alphabet - 1)];
            if (reg_exec(compiled, subject.c_str()) != 0)
                continue;
            checked++;
            std::string lower = subject;
            for (char& ch : lower)
                ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
            EXPECT_NE(lower.find(literal), std::string::npos)
                << "pattern " << pattern << " matches " << subject << " without " << literal;
        }
        reg_free(compiled);
    }
    EXPECT_GT(checked, 1000); // the check saw real matches
}

std::vector<size_t> found_slots(const LiteralIndex& index, const char* subject) {
    SlotSet found;
    index.scan(subject, found);
    std::vector<size_t> slots;
    for (size_t slot = 0; slot < index.slots(); slot++)
        if (found.has(slot))
            slots.push_back(slot);
    return slots;
}

TEST(LiteralIndex, FindsEveryTextOnceInOnePass) {
    LiteralIndex index;
    index.add("he", 0);
    index.add("she", 1);
    index.add("his", 2);
    index.add("hers", 3);
    index.add("she", 4); // two slots share a text
    index.add("example.com", 5);
    index.build();
    EXPECT_EQ(found_slots(index, "USHERS"), (std::vector<size_t>{0, 1, 3, 4})); // case ignored
    EXPECT_EQ(found_slots(index, "this"), (std::vector<size_t>{2}));
    EXPECT_EQ(found_slots(index, "www.example.com"), (std::vector<size_t>{5}));
    EXPECT_EQ(found_slots(index, "www.example.co"), (std::vector<size_t>{}));
    EXPECT_EQ(found_slots(index, ""), (std::vector<size_t>{}));

    LiteralIndex empty;
    empty.build();
    EXPECT_EQ(found_slots(empty, "anything"), (std::vector<size_t>{}));
}

// The index against a plain search, over random texts and subjects.
TEST(LiteralIndex, AgreesWithAPlainSearch) {
    std::mt19937 random(777);
    const char alphabet[] = "abAB.";
    auto text_of = [&](int most) {
        std::string text;
        int size = 1 + static_cast<int>(random() % static_cast<unsigned>(most));
        for (int i = 0; i < size; i++)
            text += alphabet[random() % (sizeof alphabet - 1)];
        return text;
    };
    for (int round = 0; round < 200; round++) {
        LiteralIndex index;
        std::vector<std::string> texts;
        for (size_t slot = 0; slot < 20; slot++) {
            std::string text = text_of(4);
            for (char& ch : text)
                ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
            texts.push_back(text);
            index.add(text, slot);
        }
        index.build();
        for (int s = 0; s < 20; s++) {
            std::string subject = text_of(12);
            SlotSet found;
            index.scan(subject.c_str(), found);
            for (size_t slot = 0; slot < texts.size(); slot++)
                EXPECT_EQ(found.has(slot),
                          strcasestr(subject.c_str(), texts[slot].c_str()) != nullptr)
                    << texts[slot] << " in " << subject;
        }
    }
}

} // namespace
