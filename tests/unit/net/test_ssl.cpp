#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <thread>
#include <vector>

#include "net/ssl.h"

// After the set-up, worker threads use the library at once, without any
// locking of their own: client contexts and random bytes on many threads.
TEST(SslSetup, LibraryIsReadyForConcurrentThreads) {
    ASSERT_EQ(SSL_thread_setup(), 1);
    EXPECT_NE(ERR_reason_error_string(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_WRONG_VERSION_NUMBER)),
              nullptr);

    std::vector<int> ok(8, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < ok.size(); i++)
        threads.emplace_back([&ok, i] {
            for (int round = 0; round < 20; round++) {
                SSL_CTX* context = SSL_CTX_new(TLS_client_method());
                unsigned char bytes[32];
                if (context == nullptr || RAND_bytes(bytes, sizeof bytes) != 1)
                    return;
                SSL* ssl = SSL_new(context);
                if (ssl == nullptr)
                    return;
                SSL_free(ssl);
                SSL_CTX_free(context);
            }
            ok[i] = 1;
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(ok, std::vector<int>(ok.size(), 1));
}
