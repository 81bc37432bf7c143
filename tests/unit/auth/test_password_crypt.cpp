// Encrypted configuration passwords: text lengths, round trips, agreement
// with the openssl command's RC4, refusal of malformed texts, the key rules,
// the host key, and the "/password" page.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "auth/password_crypt.h"
#include "core/filebuf.h"
#include "iface/cgimap.h"
#include "support/log_test_support.h"

namespace {

const unsigned char* bytes(const char* text) {
    return reinterpret_cast<const unsigned char*>(text);
}

std::string encrypt(const std::string& plain, const char* key, const char* iv = "wxjq") {
    unsigned char out[4096] = {0};
    int m = kestrivan_privatise(bytes(plain.data()), bytes(key), bytes(iv), out,
                                static_cast<int>(plain.size()));
    if (m < 0)
        return "<failed>";
    std::string text(reinterpret_cast<char*>(out));
    EXPECT_EQ(text.size(), static_cast<size_t>(2 * m));
    return text;
}

// -1 as "<failed>", else the decrypted bytes.
std::string decrypt(const std::string& text, const char* key) {
    unsigned char out[4096] = {0};
    int n = kestrivan_deprivatise(bytes(text.data()), bytes(key), bytes("wxjq"), out,
                                  static_cast<int>(text.size()));
    if (n < 0)
        return "<failed>";
    return std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
}

TEST(PasswordCrypt, TextLengthFollowsUnpaddedBase64) {
    const struct {
        const char* plain;
        size_t length;
    } cases[] = {{"a", 4}, {"ab", 6}, {"abc", 8}, {"abcd", 12}, {"abcdefgh", 22}};
    for (const auto& c : cases) {
        EXPECT_EQ(encrypt(c.plain, "hostkey").size(), c.length) << c.plain;
        EXPECT_EQ(password_crypt_text_length(strlen(c.plain)), c.length) << c.plain;
    }
}

TEST(PasswordCrypt, RoundTripsAnyBytes) {
    const std::string passwords[] = {"x", "secret", "p@ss:w/rd#%", std::string("a\0b\xff", 4),
                                     std::string(511, 'Z')};
    for (const std::string& password : passwords) {
        std::string text = encrypt(password, "3d1219c7c4c5404aaa1f6d2a48adfda4");
        for (char c : text)
            EXPECT_TRUE(isalnum(static_cast<unsigned char>(c))) << text;
        EXPECT_EQ(decrypt(text, "3d1219c7c4c5404aaa1f6d2a48adfda4"), password);
    }
}

TEST(PasswordCrypt, AgreesWithOpensslRc4) {
    // RC4 key: the first 16 bytes of the host key text.
    std::string cipher_base64 = logtest::run(
        "printf 'correct horse' | openssl enc -rc4 -K 6162636465666768696a6b6c6d6e6f70 "
        "-provider legacy -provider default | base64 -w0 | tr -d =");
    ASSERT_FALSE(cipher_base64.empty());
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string expected;
    for (char c : cipher_base64) {
        int value = static_cast<int>(strchr(alphabet, c) - alphabet);
        expected += static_cast<char>('k' + value / 8);
        expected += static_cast<char>('2' + value % 8);
    }
    EXPECT_EQ(encrypt("correct horse", "abcdefghijklmnopqrstuvwxyz"), expected);
}

TEST(PasswordCrypt, KeyRules) {
    std::string text = encrypt("secret", "abcdefghijklmnop");
    // Only the first 16 key bytes count; the iv counts for nothing.
    EXPECT_EQ(encrypt("secret", "abcdefghijklmnopEXTRA"), text);
    EXPECT_EQ(encrypt("secret", "abcdefghijklmnop", "something else"), text);
    // A short key is padded with zero bytes, so it differs from a longer one.
    EXPECT_NE(encrypt("secret", "abc"), encrypt("secret", "abcd"));
    // RC4 does not notice a wrong key: it yields other bytes.
    std::string wrong = decrypt(text, "another key");
    EXPECT_NE(wrong, "secret");
    EXPECT_EQ(wrong.size(), 6u);
}

TEST(PasswordCrypt, RefusesMalformedTexts) {
    std::string good = encrypt("secret", "key");
    const std::string bad[] = {
        "",                          // nothing
        "k",                         // no whole pair
        good.substr(0, 7),           // odd length
        "k2",                        // one Base64 character carries no byte
        "A2k3k4k5",                  // a pair outside the code table
        good.substr(0, 6) + "s2",    // 's' is no first code character
        good.substr(0, 6) + "k1",    // '1' is no second code character
    };
    for (const std::string& text : bad)
        EXPECT_EQ(decrypt(text, "key"), "<failed>") << text;
    unsigned char out[16];
    EXPECT_EQ(kestrivan_privatise(bytes("x"), bytes("key"), bytes(""), out, 0), -1);
}

TEST(PasswordCrypt, HostKeyIsTheMachineIdentity) {
    char key[512];
    size_t length = password_host_key(key, sizeof key);
    if (!logtest::exists("/etc/machine-id"))
        GTEST_SKIP() << "no /etc/machine-id on this machine";
    std::string machine_id = logtest::run("tr -cd '[:alnum:]' < /etc/machine-id");
    ASSERT_FALSE(machine_id.empty());
    EXPECT_EQ(std::string(key, length), machine_id);
    char small[5];
    EXPECT_EQ(password_host_key(small, sizeof small), 4u);
    EXPECT_EQ(std::string(small), machine_id.substr(0, 4));
}

std::string page_of(const char* active, const char* scode, const char* scode1) {
    Filebuf page;
    password_page(&page, active, scode, scode1, "ownkey_123");
    return std::string(page.data, page.size);
}

TEST(PasswordPage, ShowsTheFormUntilEveryFieldIsGiven) {
    const char* partial[][3] = {{"", "", ""}, {"k", "", "p"}, {"k", "p", ""}, {"", "p", "p"}};
    for (const auto& args : partial) {
        std::string page = page_of(args[0], args[1], args[2]);
        EXPECT_NE(page.find("<form action=\"password\" method=\"POST\">"), std::string::npos);
        EXPECT_NE(page.find("name=\"active\" value=\"ownkey_123\""), std::string::npos);
        EXPECT_NE(page.find("Please use only <B>Alpahnumeric Characters</B>"), std::string::npos);
    }
}

TEST(PasswordPage, ChecksTheKeyBeforeThePasswords) {
    std::string page = page_of("bad-key", "one", "two");
    EXPECT_NE(page.find("Please use only <font><B>Alphanumeric Characters.</b></font>"),
              std::string::npos);
    EXPECT_EQ(page.find("do not match"), std::string::npos);
    page = page_of("good_key1", "one", "One");
    EXPECT_NE(page.find("fields do not match or, are empty."), std::string::npos);
}

TEST(PasswordPage, ShowsTheEncryptedTextForTheGivenKey) {
    std::string page = page_of("other_instance", "p@ss word<", "p@ss word<");
    std::string expected = encrypt("p@ss word<", "other_instance");
    EXPECT_NE(page.find("<tr class=\"listeven\"><td align=\"center\" width=\"25%\">" + expected +
                        "</td></tr>"),
              std::string::npos)
        << page;
    EXPECT_EQ(decrypt(expected, "other_instance"), "p@ss word<");
}

TEST(PasswordPage, ReadsItsFormArguments) {
    char own_key[512];
    password_host_key(own_key, sizeof own_key);
    Filebuf form;
    CGIMap none;
    interface_page_password(&form, none, nullptr);
    EXPECT_NE(std::string(form.data, form.size).find(std::string("name=\"active\" value=\"") +
                                                      own_key + "\""),
              std::string::npos);

    CGIMap posted("active=instance_2&scode=a%2Bb+c&scode1=a%2Bb+c&activity=x");
    Filebuf result;
    interface_page_password(&result, posted, nullptr);
    EXPECT_NE(std::string(result.data, result.size).find(">" + encrypt("a+b c", "instance_2") + "<"),
              std::string::npos);
}

} // namespace
