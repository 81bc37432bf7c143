// Blowfish: the block cipher against Eric Young's published test vectors,
// the text form, the key cache and its eviction, refused keys, and
// concurrent use with different keys.
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "auth/blowfish.h"

namespace {

std::string take(char* text) {
    std::string copy = text == nullptr ? "<null>" : text;
    free(text);
    return copy;
}

std::string from_hex(const char* hex) {
    std::string bytes;
    for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2)
        bytes += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
    return bytes;
}

uint32_t word_at(const std::string& bytes, size_t offset) {
    uint32_t w = 0;
    for (size_t i = 0; i < 4; i++)
        w = w << 8 | static_cast<unsigned char>(bytes[offset + i]);
    return w;
}

// Enciphers (or deciphers) one 8-byte block under `key` through the
// block-level interface, holding the lock as its callers must.
std::string run_block(const std::string& key, const std::string& block, bool encipher) {
    uint32_t left = word_at(block, 0), right = word_at(block, 4);
    pthread_mutex_lock(&blowfish_lock);
    int done = blowfish_init(key.data(), key.size(), 0);
    if (done != BLOWFISH_REFUSED) {
        if (encipher)
            blowfish_encipher(&left, &right);
        else
            blowfish_decipher(&left, &right);
    }
    pthread_mutex_unlock(&blowfish_lock);
    if (done == BLOWFISH_REFUSED)
        return "<refused>";
    char hex[17];
    snprintf(hex, sizeof hex, "%08X%08X", left, right);
    return hex;
}

// Eric Young's ECB test vectors: key, clear text, cipher text.
const struct EcbVector {
    const char* key;
    const char* clear;
    const char* cipher;
} ecb_vectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

TEST(Blowfish, PublishedEcbVectors) {
    for (const EcbVector& v : ecb_vectors) {
        SCOPED_TRACE(std::string("key ") + v.key + " clear " + v.clear);
        std::string key = from_hex(v.key);
        EXPECT_EQ(run_block(key, from_hex(v.clear), true), v.cipher);
        EXPECT_EQ(run_block(key, from_hex(v.cipher), false), v.clear);
    }
}

// Eric Young's key-length vectors: the clear text FEDCBA9876543210 under the
// first 1 to 24 bytes of one key (keys shorter than 8 bytes cycle).
TEST(Blowfish, PublishedVariableKeyLengthVectors) {
    const std::string key = from_hex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
    const char* expected[24] = {
        "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
        "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
        "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
        "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
        "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
        "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
    };
    for (size_t n = 1; n <= 24; n++) {
        SCOPED_TRACE("key length " + std::to_string(n));
        EXPECT_EQ(run_block(key.substr(0, n), from_hex("FEDCBA9876543210"), true),
                  expected[n - 1]);
    }
}

// Known answers for the text form, worked out with an independent Blowfish
// and written in the cipher's own alphabet.
TEST(BlowfishText, KnownAnswers) {
    EXPECT_EQ(take(blowfish_encrypt("kestrivan", "abcdefgh")), "30NZU.TZKzg1");
    EXPECT_EQ(take(blowfish_encrypt("admin:secret", "admin:secret")),
              "sDkLW0qeuy.05uXaa1wpoei/");
    EXPECT_EQ(take(blowfish_decrypt("admin:secret", "sDkLW0qeuy.05uXaa1wpoei/")),
              "admin:secret");
}

TEST(BlowfishText, LengthsRoundTripAndAlphabet) {
    const std::string alphabet =
        "./0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const std::string source = "user:password with spaces, \xc3\xa9 and more text to cut";
    for (size_t n = 0; n <= 40; n++) {
        SCOPED_TRACE("length " + std::to_string(n));
        std::string text = source.substr(0, n);
        std::string cipher = take(blowfish_encrypt("user:password", text.c_str()));
        EXPECT_EQ(cipher.size(), (n + 7) / 8 * 12);
        EXPECT_EQ(cipher.find_first_not_of(alphabet), std::string::npos) << cipher;
        EXPECT_EQ(take(blowfish_encrypt("user:password", text.c_str())), cipher);
        EXPECT_EQ(take(blowfish_decrypt("user:password", cipher.c_str())), text);
    }
    // Another key gives another text.
    EXPECT_NE(take(blowfish_encrypt("user:passwore", "abc")),
              take(blowfish_encrypt("user:password", "abc")));
}

TEST(BlowfishText, ShortLastGroupReadsAsPaddedWithValueZero) {
    EXPECT_EQ(take(blowfish_decrypt("k", "abc")), take(blowfish_decrypt("k", "abc.........")));
    EXPECT_EQ(take(blowfish_decrypt("k", "30NZU.TZKzg1xy")),
              take(blowfish_decrypt("k", "30NZU.TZKzg1xy..........")));
    EXPECT_EQ(take(blowfish_decrypt("k", "")), "");
}

TEST(BlowfishText, RefusesEmptyAndOverlongKeys) {
    std::string longest(BLOWFISH_KEY_MAX, 'k');
    std::string too_long(BLOWFISH_KEY_MAX + 1, 'k');
    EXPECT_EQ(blowfish_encrypt("", "text"), nullptr);
    EXPECT_EQ(blowfish_decrypt("", "30NZU.TZKzg1"), nullptr);
    EXPECT_EQ(blowfish_encrypt(too_long.c_str(), "text"), nullptr);
    EXPECT_EQ(blowfish_decrypt(too_long.c_str(), "30NZU.TZKzg1"), nullptr);
    EXPECT_EQ(blowfish_encrypt(nullptr, "text"), nullptr);
    EXPECT_EQ(blowfish_encrypt("key", nullptr), nullptr);
    std::string cipher = take(blowfish_encrypt(longest.c_str(), "text"));
    EXPECT_EQ(cipher.size(), 12u);
    EXPECT_EQ(take(blowfish_decrypt(longest.c_str(), cipher.c_str())), "text");

    pthread_mutex_lock(&blowfish_lock);
    EXPECT_EQ(blowfish_init("k", 0, 0), BLOWFISH_REFUSED);
    EXPECT_EQ(blowfish_init(too_long.data(), too_long.size(), 0), BLOWFISH_REFUSED);
    EXPECT_EQ(blowfish_init("k", 1, 3), BLOWFISH_REFUSED);
    EXPECT_EQ(blowfish_init("k", 1, -1), BLOWFISH_REFUSED);
    pthread_mutex_unlock(&blowfish_lock);
}

TEST(BlowfishText, CharacterValues) {
    struct Case {
        char c;
        int value;
    } cases[] = {{'.', 0}, {'/', 1},  {'0', 2},  {'9', 11}, {'a', 12}, {'z', 37},
                 {'A', 38}, {'Z', 63}, {'+', 0},  {'=', 0},  {'\0', 0}, {'\xff', 0}};
    for (const Case& c : cases)
        EXPECT_EQ(base64dec(c.c), c.value) << "character " << int(c.c);
}

// The key cache: three slots filled in order, then the slot the caller
// names is replaced (slot 0 for the text functions): of four keys, the
// second and third stay cached and the first must be computed again.
// Exits 0 when every call did what it should.
void run_cache_scenario() {
    const char* keys[] = {"first key", "second key", "third key", "fourth key"};
    std::vector<int> got;
    pthread_mutex_lock(&blowfish_lock);
    for (const char* key : keys)
        got.push_back(blowfish_init(key, strlen(key), 0));
    for (int i : {1, 2, 0, 3})
        got.push_back(blowfish_init(keys[i], strlen(keys[i]), 0));
    pthread_mutex_unlock(&blowfish_lock);
    const std::vector<int> expected = {
        BLOWFISH_COMPUTED, BLOWFISH_COMPUTED, BLOWFISH_COMPUTED, BLOWFISH_COMPUTED,
        BLOWFISH_CACHED,   BLOWFISH_CACHED,   BLOWFISH_COMPUTED, BLOWFISH_COMPUTED,
    };
    fprintf(stderr, "init results:");
    for (int r : got)
        fprintf(stderr, " %d", r);
    fprintf(stderr, "\n");
    _exit(got == expected ? 0 : 1);
}

// The scenario needs a cache nobody has used yet, so it runs in a fresh
// copy of the test program.
TEST(BlowfishCache, FourthKeyReplacesTheFirst) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_cache_scenario(), ::testing::ExitedWithCode(0), "");
}

// A cached schedule and a freshly computed one encipher alike, whatever was
// computed in between.
TEST(BlowfishCache, CachedScheduleGivesTheSameResult) {
    std::string first = take(blowfish_encrypt("key one", "some text"));
    for (const char* other : {"key two", "key three", "key four", "key five"})
        take(blowfish_encrypt(other, "some text"));
    EXPECT_EQ(take(blowfish_encrypt("key one", "some text")), first);
    EXPECT_EQ(take(blowfish_encrypt("key one", "some text")), first);
}

// Threads with more keys than the cache holds encrypt at the same time, so
// schedules are replaced all the while; every result must still be the one
// a lone caller gets.
TEST(BlowfishConcurrency, DifferentKeysAtOnceGiveTheLoneResults) {
    const std::vector<std::string> keys = {"alpha:1", "beta:22", "gamma:333", "delta:4444",
                                           "epsilon:55555"};
    const std::string text = "a login cookie text that spans several blocks of eight bytes";
    std::vector<std::string> expected;
    for (const std::string& key : keys)
        expected.push_back(take(blowfish_encrypt(key.c_str(), text.c_str())));

    std::vector<int> wrong(keys.size(), 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < keys.size(); t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; i++) {
                if (take(blowfish_encrypt(keys[t].c_str(), text.c_str())) != expected[t])
                    wrong[t]++;
                if (take(blowfish_decrypt(keys[t].c_str(), expected[t].c_str())) != text)
                    wrong[t]++;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (size_t t = 0; t < keys.size(); t++)
        EXPECT_EQ(wrong[t], 0) << keys[t];
}

} // namespace
