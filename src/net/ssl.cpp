#include "net/ssl.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "core/log.h"

int SSL_thread_setup() {
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         NULL) != 1) {
        char text[256];
        ERR_error_string_n(ERR_get_error(), text, sizeof text);
        putlog(LOG_ERROR, "unable to initialise OpenSSL: %s", text);
        return 0;
    }
    return 1;
}

void SSL_thread_cleanup() {
    OPENSSL_cleanup();
}
