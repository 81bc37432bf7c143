#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/hash.h"

namespace {

char* text_value(const char* text) {
    return strdup(text);
}

// The keys of one chain, in chain order.
std::vector<std::string> chain_keys(HASH_TABLE* table, unsigned chain) {
    std::vector<std::string> keys;
    for (HASH_ENTRY* e = table->table[chain]; e != NULL; e = e->next)
        keys.push_back(e->key);
    return keys;
}

struct KeyCase {
    unsigned n;
    std::string key;
    unsigned chain;
};

TEST(HashKey, ChainIndexOfKnownKeys) {
    const KeyCase cases[] = {
        {8111, "a", 1970},   // 20*97 + 24 + 6 + 8111 = 10081
        {8111, "ab", 3960},  // terms add up
        {8111, "Host", 295}, // case counts: the two spellings
        {8111, "host", 945}, // fall into different chains
        {8111, "\xe9", 7643}, // a byte above 127 is a negative character
        {7, "www.example.com", 6},
        {8111, std::string(500000, 'z'), 834}, // the 32-bit sum wraps
        {1, "x", 0},
    };
    for (const KeyCase& c : cases)
        EXPECT_EQ(hash_key(c.n, c.key.c_str()), c.chain) << c.key.substr(0, 10) << " n=" << c.n;
    for (unsigned n : {1u, 7u, 8111u})
        EXPECT_EQ(hash_key(n, ""), 0u);
}

class HashTable : public ::testing::Test {
protected:
    HASH_TABLE* table = NULL;
    void TearDown() override {
        if (table != NULL)
            hash_destroy(table);
    }
};

TEST_F(HashTable, InsertAppendsToChainAndSearchIgnoresCaseWithinIt) {
    table = hash_create(1); // one chain: every key meets every other
    hash_insert(table, "alpha", text_value("1"));
    hash_insert(table, "Beta", text_value("2"));
    hash_insert(table, "gamma", text_value("3"));
    EXPECT_EQ(chain_keys(table, 0), (std::vector<std::string>{"alpha", "Beta", "gamma"}));

    HASH_ENTRY* found = hash_search(table, "BETA");
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(static_cast<char*>(found->value), "2");
    EXPECT_EQ(found->stamp, 0);
    EXPECT_EQ(hash_search(table, "delta"), nullptr);
    EXPECT_EQ(hash_search(table, NULL), nullptr);
}

TEST_F(HashTable, KeysDifferingInCaseAreSeparateEntriesAcrossChains) {
    table = hash_create(8111);
    ASSERT_NE(hash_key(8111, "Host"), hash_key(8111, "host"));
    HASH_ENTRY* upper = hash_insert(table, "Host", text_value("upper"));
    EXPECT_EQ(hash_search(table, "host"), nullptr);
    HASH_ENTRY* lower = hash_insert(table, "host", text_value("lower"));
    EXPECT_NE(upper, lower);
    // Lower-cased keys always find each other.
    EXPECT_EQ(hash_search(table, "host"), lower);
    EXPECT_EQ(hash_search(table, "Host"), upper);
}

TEST_F(HashTable, InsertOfExistingKeyKeepsTheEntryAndTakesTheOfferedValue) {
    table = hash_create(1);
    HASH_ENTRY* first = hash_insert(table, "key", text_value("old"));
    first->stamp = 42;
    HASH_ENTRY* again = hash_insert(table, "KEY", text_value("new")); // freed by the table
    EXPECT_EQ(again, first);
    EXPECT_STREQ(static_cast<char*>(first->value), "old");
    EXPECT_STREQ(first->key, "key");
    EXPECT_EQ(first->stamp, 42);
    EXPECT_EQ(chain_keys(table, 0).size(), 1u);

    char* kept = text_value("mine");
    EXPECT_EQ(hash_insert(table, NULL, kept), nullptr);
    free(kept); // a refused value stays the caller's
}

TEST_F(HashTable, PurgeRemovesOnlyTheMatchingEntry) {
    table = hash_create(1);
    for (const char* key : {"a", "b", "c"})
        hash_insert(table, key, text_value(key));
    hash_purge(table, "B");
    EXPECT_EQ(chain_keys(table, 0), (std::vector<std::string>{"a", "c"}));
    hash_purge(table, "missing");
    hash_purge(table, NULL);
    EXPECT_EQ(chain_keys(table, 0), (std::vector<std::string>{"a", "c"}));
    hash_purge(table, "a");
    hash_purge(table, "c");
    EXPECT_EQ(table->table[0], nullptr);
}

TEST_F(HashTable, ExpireRemovesStampsAtOrBeforeTheCutOffAndKeepsOrder) {
    table = hash_create(1);
    const time_t now = 100000;
    struct {
        const char* key;
        time_t stamp;
    } entries[] = {
        {"never-stamped", 0}, {"old", now - 61}, {"edge", now - 60},
        {"young", now - 59},  {"later", now + 5}, {"older", now - 3600},
    };
    for (auto& e : entries)
        hash_insert(table, e.key, text_value(e.key))->stamp = e.stamp;

    EXPECT_EQ(hash_expire_at(table, 60, now), 4);
    EXPECT_EQ(chain_keys(table, 0), (std::vector<std::string>{"young", "later"}));
    // Age 0: everything not in the future goes.
    EXPECT_EQ(hash_expire_at(table, 0, now), 1);
    EXPECT_EQ(chain_keys(table, 0), (std::vector<std::string>{"later"}));
    // An age reaching back before the epoch removes nothing.
    EXPECT_EQ(hash_expire_at(table, 4000000000u, now), 0);
}

TEST_F(HashTable, ExpireWalksEveryChain) {
    table = hash_create(8111);
    for (const char* key : {"a", "b", "host", "www.example.com"})
        hash_insert(table, key, text_value(key)); // stamps 0
    hash_insert(table, "fresh", text_value("x"))->stamp = time(NULL) + 1000;
    EXPECT_EQ(hash_expire(table, 0), 4);
    EXPECT_NE(hash_search(table, "fresh"), nullptr);
    EXPECT_EQ(hash_search(table, "host"), nullptr);
}

using HashDeathTest = HashTable;

TEST_F(HashDeathTest, ImpossibleStatesEndInTheFatalSequence) {
    EXPECT_EXIT(hash_search(NULL, "x"), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(hash_create(0), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        {
            HASH_TABLE* t = hash_create(3);
            hash_insert(t, "k", NULL);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        {
            HASH_TABLE* t = hash_create(1);
            HASH_ENTRY* e = hash_insert(t, "k", text_value("v"));
            free(e->value);
            e->value = NULL; // corrupted entry found while freeing
            hash_destroy(t);
        },
        ::testing::ExitedWithCode(1), "");
}

} // namespace
