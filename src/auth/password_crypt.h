// Encrypted configuration passwords: passwords the configuration file must
// hold (the service-account password of an LDAP server entry) are stored as
// encrypted text made with this installation's host key: RC4 over the
// password bytes, Base64 without "=" padding, then every Base64 character
// replaced by its two-character code (letters 'k'..'r' followed by digits
// '2'..'9', so the text is plain alphanumeric and safe in XML).
//
// RC4 lives in OpenSSL 3's legacy provider: password_crypt_init() loads the
// "legacy" and "default" providers explicitly and fetches the cipher once.
// Without RC4 the daemon runs on: only making and reading encrypted
// passwords fail, each time with PASSWORD_CRYPT_UNAVAILABLE.
//
// The routines keep no state of their own and may run in any thread at once.
#pragma once

#include <stddef.h>

class CGIMap;
class Filebuf;
struct CONNECTION_T;

// Loads the providers and fetches RC4, once per process. 1 when RC4 is
// usable; 0 after logging "unable to load the RC4 cipher: %s" (LOG_ERROR).
int password_crypt_init();

// What the page and the log say when RC4 is missing.
extern const char* const PASSWORD_CRYPT_UNAVAILABLE;

// Characters of encrypted text for a password of n bytes: 2m, where m is the
// Base64 length without padding (4 per 3 bytes, plus 2 or 3 for 1 or 2 left).
size_t password_crypt_text_length(size_t n);

// Encrypts `length` bytes of `plain` with the first 16 bytes of the
// NUL-terminated host key `key` (a shorter key is padded with zero bytes).
// `iv` is accepted for callers that pass one and has no effect (RC4 uses
// none). Writes password_crypt_text_length(length) characters to `out`,
// without a terminator (callers clear the buffer first). Returns m, the
// number of Base64 characters (the text has 2m), or -1 when `length` is not
// above 0 or the cipher fails.
int kestrivan_privatise(const unsigned char* plain, const unsigned char* key,
                        const unsigned char* iv, unsigned char* out, int length);

// Decrypts an encrypted text of `length` characters with the host key `key`;
// writes the password bytes to `out` (at most length/2*3/4 bytes) without a
// terminator. Returns their number, or -1 when the text is empty, of odd
// length, holds a pair that is no code, is no valid unpadded Base64, or the
// cipher fails. A wrong key is not detected: it yields other bytes.
int kestrivan_deprivatise(const unsigned char* text, const unsigned char* key,
                          const unsigned char* iv, unsigned char* out, int length);

// The key provider: this installation's host key, the systemd machine
// identity (/etc/machine-id, else /var/lib/dbus/machine-id) - 32 hexadecimal
// characters, stable for the life of the installation and available at
// start-up. Copies it into `out` (at most size-1 characters, terminated) and
// returns its length; 0 with an empty text when neither file can be read
// (logged once at LOG_ERROR: encrypted passwords cannot be read then).
size_t password_host_key(char* out, size_t size);

// The body of the interface page "/password" for the form arguments
// "active" (host key to encrypt with), "scode" (password) and "scode1"
// (password again); `own_key` is this installation's host key, the default
// of "active". Appends the form while any argument is empty, else the
// encrypted text or one of the two input errors (a key holding anything but
// letters, digits and "_"; passwords that differ).
void password_page(Filebuf* page, const char* active, const char* scode, const char* scode1,
                   const char* own_key);

// The interface page "/password": password_page with the form arguments
// "active", "scode" and "scode1" (absent ones read as empty) and the host
// key from the key provider. The argument "activity" is not used.
void interface_page_password(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
