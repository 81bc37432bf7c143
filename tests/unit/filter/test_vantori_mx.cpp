// The category service's answers: decoding MX records into scores, and the
// query seam getmx goes through.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "filter/vantori_mx.h"
#include "net/connection.h"
#include "support/vantori_test_support.h"

using vantoritest::DnsAnswer;

namespace {

struct Decoded {
    int named;
    std::vector<int> scores;
};

Decoded decode(const std::vector<unsigned char>& answer) {
    Decoded result{0, std::vector<int>(CATEGORY_SCORES, 0)};
    // An exact-size copy, so a read past the end is a read past the block.
    std::vector<unsigned char> copy(answer);
    result.named = vantori_mx_decode(copy.data(), static_cast<int>(copy.size()), result.scores.data());
    return result;
}

TEST(VantoriMxDecode, CategoriesFromExchangeNamesAndPreferences) {
    struct Case {
        const char* what;
        DnsAnswer answer;
        int named;
        std::vector<std::pair<int, int>> slots; // category number, score; all others 0
    } cases[] = {
        {"two categories", DnsAnswer().mx("adult", 10).mx("porn", 90), 2, {{1, 10}, {22, 90}}},
        {"a name that is no category is passed over",
         DnsAnswer().mx("adult", 10).mx("mail.example.com", 5), 1, {{1, 10}}},
        {"names are compared exactly", DnsAnswer().mx("Adult", 10).mx("adult.x", 3), 0, {}},
        {"the later record of a category wins", DnsAnswer().mx("news", 7).mx("news", 8), 2, {{21, 8}}},
        {"largest preference", DnsAnswer().mx("business", 65535), 1, {{30, 65535}}},
        {"other record types are skipped",
         DnsAnswer().a("127.0.0.1").mx("ads", 4).a("127.0.0.2"), 1, {{0, 4}}},
        {"MX among the additional records",
         DnsAnswer().a("127.0.0.1").additional().mx("chat", 12), 1, {{4, 12}}},
        {"no MX record", DnsAnswer().a("127.0.0.1"), 0, {}},
        {"no record", DnsAnswer(), 0, {}},
        {"exchange name compressed against the question",
         DnsAnswer().mx_compressed_exchange("games", 33), 1, {{10, 33}}},
    };
    for (Case& c : cases) {
        Decoded got = decode(c.answer.bytes());
        EXPECT_EQ(got.named, c.named) << c.what;
        std::vector<int> expected(CATEGORY_SCORES, 0);
        for (auto& slot : c.slots)
            expected[slot.first] = slot.second;
        EXPECT_EQ(got.scores, expected) << c.what;
    }
}

TEST(VantoriMxDecode, HostileAndTruncatedAnswersStayInsideTheMessage) {
    std::vector<unsigned char> good = DnsAnswer().mx("adult", 10).mx("porn", 90).bytes();
    // Every prefix: whole records before the cut still count, nothing past
    // the end is read (checked by the sanitizer builds of the fuzz target).
    for (size_t length = 0; length <= good.size(); length++) {
        Decoded got = decode(std::vector<unsigned char>(good.begin(), good.begin() + length));
        EXPECT_GE(got.named, 0);
        EXPECT_LE(got.named, 2);
        if (length < 12) {
            EXPECT_EQ(got.named, 0) << length;
        }
    }
    EXPECT_EQ(decode(good).named, 2);

    struct Case {
        const char* what;
        std::vector<unsigned char> answer;
        int named;
    } cases[] = {
        {"exchange pointer to itself", DnsAnswer().mx("adult", 1).mx_raw_exchange(2, {}, true).bytes(), 1},
        {"exchange pointer past the end", DnsAnswer().mx_raw_exchange(2, {0xFF, 0xFF}).bytes(), 0},
        {"exchange longer than its record data",
         DnsAnswer().mx_raw_exchange(1, {5, 'a', 'd', 'u', 'l', 't', 0}, false, 4).bytes(), 0},
        {"record data longer than the message", DnsAnswer().mx("adult", 1).grow_last_rdlength(200).bytes(), 0},
        {"question count beyond the questions", DnsAnswer().mx("adult", 1).question_count(9).bytes(), 0},
        {"preference without an exchange", DnsAnswer().mx_raw_exchange(1, {}, false, 2).bytes(), 0},
    };
    for (Case& c : cases)
        EXPECT_EQ(decode(c.answer).named, c.named) << c.what;
}

TEST(VantoriMxQuery, GetmxAsksTheWholeNameAndDecodesWhatFits) {
    vantoritest::ScriptedService service;
    service.answers["example.com." VANTORI_ZONE] = DnsAnswer().mx("adult", 10).mx("porn", 90).bytes();
    int scores[CATEGORY_SCORES] = {0};
    char name[VANTORI_QUERY_NAME_SIZE] = "example.com." VANTORI_ZONE;
    EXPECT_EQ(getmx(scores, name, sizeof name), 2);
    EXPECT_EQ(scores[1], 10);
    EXPECT_EQ(scores[22], 90);
    ASSERT_EQ(service.asked.size(), 1u);
    EXPECT_EQ(service.asked[0], "example.com." VANTORI_ZONE);

    // No answer, and an answer longer than the buffer: only what fits is
    // decoded.
    int none[CATEGORY_SCORES] = {0};
    char unknown[VANTORI_QUERY_NAME_SIZE] = "unknown.test." VANTORI_ZONE;
    EXPECT_EQ(getmx(none, unknown, sizeof unknown), 0);
    service.overlong = true;
    EXPECT_EQ(getmx(none, name, sizeof name), 2);
}

} // namespace
