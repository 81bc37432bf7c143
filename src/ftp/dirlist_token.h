// The token of the FTP listing page's action form. The page lives under the
// listed ftp:// URL, so a browser sends no Referer the proxy could check and
// any page on the web could link to "?action=delete&filename=...". A
// directory is therefore changed only by a POST that carries the token the
// listing page gave out, which another site's page cannot read.
//
// Contract:
// - A token is bound to its scope (the client address, the FTP user named
//   in the URL, the server's host and port, the listed directory) and to the
//   second it was issued: "<issued>.<hex digest>", the digest an
//   HMAC-SHA-256 under a key of random bytes drawn once per process. It is
//   accepted for the same scope for DIRLIST_TOKEN_LIFETIME seconds of the
//   monotonic clock and never across a restart.
// - The comparison takes the same time whatever the bytes compared.
// - When no random key could be had, no token is made ("") and none is
//   accepted: the actions are refused, the listing still works.
// - The key is drawn once under pthread_once; nothing else is shared.
#pragma once

#include <time.h>

#include <string>

struct CONNECTION_T;

constexpr time_t DIRLIST_TOKEN_LIFETIME = 3600;

// The scope of a listing: who asked, as which FTP user, for which directory
// (the request path without its query, as received).
std::string dirlist_token_scope(const CONNECTION_T* connection, const std::string& directory);

// A new token for the scope issued at `now` (monotonic seconds); "" when
// there is no key.
std::string dirlist_token_make(const std::string& scope, time_t now);

// True when `token` was made for the same scope no longer than the lifetime
// before `now` (and not after it).
bool dirlist_token_check(const std::string& token, const std::string& scope, time_t now);

// Seconds of the monotonic clock.
time_t dirlist_token_clock();
