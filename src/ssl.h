// OpenSSL set-up for a threaded process.
#pragma once

// OpenSSL 3 locks for itself; this only initialises the library state the
// worker threads share.
void SSL_thread_setup();
