#include "auth/password_crypt.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <mutex>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include "auth/base64.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/misc.h"
#include "iface/cgimap.h"

static const int RC4_KEY_BYTES = 16;
static const char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The code of Base64 value v (0..63): a letter 'k'..'r' for v / 8 and a
// digit '2'..'9' for v % 8. Every pair is distinct and decodes to one value.
static void code_of(int value, unsigned char out[2]) {
    out[0] = static_cast<unsigned char>('k' + value / 8);
    out[1] = static_cast<unsigned char>('2' + value % 8);
}

// The Base64 value of a code pair, or -1 when the pair is no code.
static int value_of(unsigned char first, unsigned char second) {
    if (first < 'k' || first > 'r' || second < '2' || second > '9')
        return -1;
    return (first - 'k') * 8 + (second - '2');
}

static int base64_value(char c) {
    const char* at = strchr(base64_alphabet, c);
    return c == '\0' || at == nullptr ? -1 : static_cast<int>(at - base64_alphabet);
}

static EVP_CIPHER* rc4_cipher = nullptr;

const char* const PASSWORD_CRYPT_UNAVAILABLE =
    "encrypted passwords cannot be made or read: this OpenSSL offers no RC4 (its legacy "
    "provider could not be loaded)";

int password_crypt_init() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Loading one provider by hand stops OpenSSL from loading the default
        // one by itself, so both are loaded: legacy for RC4, default for
        // everything else the proxy uses.
        // An OpenSSL without its legacy provider still serves everything
        // else: the default provider is loaded whatever became of legacy.
        bool legacy = OSSL_PROVIDER_load(nullptr, "legacy") != nullptr;
        OSSL_PROVIDER_load(nullptr, "default");
        if (legacy)
            rc4_cipher = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
        if (rc4_cipher == nullptr) {
            char text[256];
            ERR_error_string_n(ERR_get_error(), text, sizeof text);
            putlog(LOG_ERROR, "unable to load the RC4 cipher: %s", text);
            putlog(LOG_ADVICE, "%s", PASSWORD_CRYPT_UNAVAILABLE);
        }
        ERR_clear_error();
    });
    return rc4_cipher != nullptr ? 1 : 0;
}

size_t password_crypt_text_length(size_t n) {
    static const size_t tail[3] = {0, 2, 3};
    return 2 * (4 * (n / 3) + tail[n % 3]);
}

// RC4 over `length` bytes (the same operation both ways); false when the
// cipher is unavailable or fails.
static bool rc4_apply(const unsigned char* key, const unsigned char* iv, const unsigned char* in,
                      int length, unsigned char* out, int encrypt, int* produced) {
    if (password_crypt_init() == 0)
        return false;
    unsigned char key_bytes[RC4_KEY_BYTES] = {0};
    for (int i = 0; i < RC4_KEY_BYTES && key != nullptr && key[i] != '\0'; i++)
        key_bytes[i] = key[i];

    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    int update = 0, final = 0;
    bool ok = context != nullptr &&
              EVP_CipherInit_ex2(context, rc4_cipher, key_bytes, iv, encrypt, nullptr) == 1 &&
              EVP_CipherUpdate(context, out, &update, in, length) == 1 &&
              EVP_CipherFinal_ex(context, out + update, &final) == 1;
    EVP_CIPHER_CTX_free(context);
    OPENSSL_cleanse(key_bytes, sizeof key_bytes);
    *produced = update;
    return ok && update > 0;
}

int kestrivan_privatise(const unsigned char* plain, const unsigned char* key,
                        const unsigned char* iv, unsigned char* out, int length) {
    if (length <= 0 || plain == nullptr || out == nullptr)
        return -1;
    auto* cipher = new unsigned char[static_cast<size_t>(length)];
    int produced = 0;
    if (!rc4_apply(key, iv, plain, length, cipher, 1, &produced)) {
        delete[] cipher;
        return -1;
    }

    int characters = 0;
    for (int at = 0; at < produced; at += 3) {
        int count = produced - at < 3 ? produced - at : 3;
        unsigned char group[3] = {0, 0, 0};
        memcpy(group, cipher + at, static_cast<size_t>(count));
        char text[4];
        encodeblock(group, text, count);
        // The "=" padding is not written: 1 byte gives 2 characters, 2 give 3.
        for (int i = 0; i < count + 1; i++) {
            code_of(base64_value(text[i]), out + 2 * characters);
            characters++;
        }
    }
    OPENSSL_cleanse(cipher, static_cast<size_t>(length));
    delete[] cipher;
    return characters;
}

int kestrivan_deprivatise(const unsigned char* text, const unsigned char* key,
                          const unsigned char* iv, unsigned char* out, int length) {
    if (text == nullptr || out == nullptr || length < 2 || length % 2 != 0)
        return -1;
    int characters = length / 2;
    // A final group of one character carries no whole byte: not Base64.
    if (characters % 4 == 1)
        return -1;

    auto* cipher = new unsigned char[static_cast<size_t>(characters)];
    int bytes = 0;
    for (int at = 0; at < characters; at += 4) {
        int count = characters - at < 4 ? characters - at : 4;
        unsigned char values[4] = {0, 0, 0, 0};
        for (int i = 0; i < count; i++) {
            int value = value_of(text[2 * (at + i)], text[2 * (at + i) + 1]);
            if (value < 0) {
                delete[] cipher;
                return -1;
            }
            values[i] = static_cast<unsigned char>(value);
        }
        unsigned char group[3];
        decodeblock(values, group);
        memcpy(cipher + bytes, group, static_cast<size_t>(count - 1));
        bytes += count - 1;
    }

    int produced = 0;
    bool ok = rc4_apply(key, iv, cipher, bytes, out, 0, &produced);
    delete[] cipher;
    return ok ? produced : -1;
}

size_t password_host_key(char* out, size_t size) {
    static const char* const sources[] = {"/etc/machine-id", "/var/lib/dbus/machine-id"};
    if (size == 0)
        return 0;
    out[0] = '\0';
    for (const char* path : sources) {
        FILE* file = fopen(path, "r");
        if (file == nullptr)
            continue;
        char line[512] = "";
        bool read = fgets(line, sizeof line, file) != nullptr;
        fclose(file);
        if (!read)
            continue;
        size_t length = 0;
        for (const char* p = line; *p != '\0' && length + 1 < size; p++)
            if (isalnum(static_cast<unsigned char>(*p)))
                out[length++] = *p;
        out[length] = '\0';
        if (length > 0)
            return length;
    }
    static std::once_flag once;
    std::call_once(once, [] {
        putlog(LOG_ERROR, "[system: open:%d:%s], in %s, no machine identity for the host key",
               errno, strerror(errno), "password_host_key");
    });
    return 0;
}

static bool key_text_valid(const char* key) {
    for (const char* p = key; *p != '\0'; p++)
        if (!isalnum(static_cast<unsigned char>(*p)) && *p != '_')
            return false;
    return true;
}

void password_page(Filebuf* page, const char* active, const char* scode, const char* scode1,
                   const char* own_key) {
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr><td "
               "align=\"center\">\n");
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\">Generate Encrypted Password</td></tr>\n");
    page->Addf("<tr><td colspan=\"2\" class=\"entryfieldeven\">Sensitive passwords of sections "
               "such as LDAP can be stored encrypted, so that the configuration file does not "
               "reveal them. The proxy decrypts them with its host key. The field below holds "
               "this installation's host key; to encrypt a password for another instance, use "
               "that instance's host key.</td></tr>\n");

    if (*active == '\0' || *scode == '\0' || *scode1 == '\0') {
        char* key_html = string_to_html(own_key, 0, 0);
        page->Addf("<form action=\"password\" method=\"POST\">\n");
        page->Addf("<tr> <td colspan=\"2\" class=\"entryfieldodd\"><b>Host key</b><br>This "
                   "installation's key is the default; change it only to encrypt for another "
                   "instance.</td> </tr>\n");
        page->Addf("<tr><td>Host Key: </td><td><input type=\"text\" name=\"active\" value=\"%s\" "
                   "size=\"80\">\n",
                   key_html);
        free(key_html);
        page->Addf("<tr> <td colspan=\"2\" class=\"entryfieldodd\"><b>Password</b><br>Please use "
                   "only <B>Alpahnumeric Characters</B></td> </tr>");
        page->Addf("<tr><td>Password To Encrypt: </td><td><input type=\"password\" name=\"scode\" "
                   "value=\"\" size=\"80\">\n");
        page->Addf("<tr> <td colspan=\"2\" class=\"entryfieldodd\"><b>Please be sure that you are "
                   "entering here the same password, that you have entered above.</b></td> "
                   "</tr>");
        page->Addf("<tr><td>Re-enter the Password: </td><td><input type=\"password\" "
                   "name=\"scode1\" value=\"\" size=\"80\">\n");
        page->Addf("<tr><td><br></td></tr> <tr class=\"dialogfoot\"><td colspan=\"2\" "
                   "align=\"center\"><input type=\"submit\" value=\"Submit\"></td></tr>\n");
        page->Addf("</form></table>\n");
        page->Addf("</td></tr></table>\n");
        return;
    }

    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr><td align=\"center\">\n");
    if (!key_text_valid(active)) {
        page->Addf("Please use only <font><B>Alphanumeric Characters.</b></font>\n<BR><a "
                   "href=\"/password\">Click here to try again.</a>\n");
        return;
    }
    if (strcmp(scode, scode1) != 0) {
        page->Addf("The Entered <font><B>\"Password\"</b></font> and the <font><B>\"Confirm "
                   "Password\"</b></font> fields do not match or, are empty.<BR><a "
                   "href=\"/password\">Click here to try again.</a>\n");
        return;
    }

    if (password_crypt_init() == 0) {
        page->Addf("%s\n", PASSWORD_CRYPT_UNAVAILABLE);
        return;
    }
    unsigned char key[1024] = {0};
    unsigned char plain[1024] = {0};
    unsigned char iv[32] = "wxjq";
    signed_to_unsigned_char(active, key, sizeof key);
    int length = static_cast<int>(signed_to_unsigned_char(scode, plain, sizeof plain));
    unsigned char text[2 * 1400] = {0};
    kestrivan_privatise(plain, key, iv, text, length);
    OPENSSL_cleanse(plain, sizeof plain);
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr><td align=\"center\">\n");
    page->Addf("<tr class=\"%s\"><td align=\"center\" width=\"25%%\">%s</td></tr>\n", "listeven",
               reinterpret_cast<const char*>(text));
    page->Addf("</table></td></tr>\n");
}

void interface_page_password(Filebuf* page, CGIMap& arguments, CONNECTION_T*) {
    char own_key[512];
    password_host_key(own_key, sizeof own_key);
    password_page(page, arguments["active"].c_str(), arguments["scode"].c_str(),
                  arguments["scode1"].c_str(), own_key);
}
