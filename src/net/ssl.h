// OpenSSL set-up for a threaded process.
//
// OpenSSL 3 locks for itself and knows its threads without callbacks, so
// there is no locking glue here: SSL_thread_setup is the one place where the
// library's shared state (algorithms, error texts) is initialised, before any
// worker thread uses it, and SSL_thread_cleanup the place where it is
// released. Start-up calls SSL_thread_setup once, on the main thread, before
// the service threads start.
#pragma once

// Initialises the library and loads its error texts. Returns 1, or 0 after
// logging "unable to initialise OpenSSL: %s" at LOG_ERROR (TLS connections
// then fail with their own errors; the proxy goes on without them).
int SSL_thread_setup();

// Releases the library's state. Only for a process that ends: OpenSSL cannot
// be used again afterwards. The shutdown sequence does not call it.
void SSL_thread_cleanup();
