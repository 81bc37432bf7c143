// Login sessions of the web interface: a random token per administrator
// login, kept in a table of the process with its expiry. The browser holds
// only the token (the HttpOnly "login" cookie), so a captured cookie is
// worth nothing once its session ends, the administrator logs out, or the
// access rule's interface user or password changes.
//
// Contract:
// - A session is opened for a credentials key (login_credentials_key of the
//   rule's interface user and password) and lives LOGIN_SESSION_LIFETIME
//   seconds from its opening or its last renewal.
// - Tokens are LOGIN_TOKEN_LENGTH lowercase hex digits of random bytes from
//   OpenSSL's generator; when it fails no session is opened.
// - The table holds at most LOGIN_SESSION_MAX sessions: opening one drops
//   the expired ones, then, when still full, the one that expires first.
// - `now` is a monotonic count of seconds (login_clock()), so setting the
//   system clock neither ends nor prolongs a session; tests pass their own.
// - One mutex guards the table; nothing else is done while it is held.
#pragma once

#include <stddef.h>
#include <time.h>

#include <string>

constexpr time_t LOGIN_SESSION_LIFETIME = 3600;
constexpr size_t LOGIN_SESSION_MAX = 256;
constexpr size_t LOGIN_TOKEN_LENGTH = 64;

// Seconds of the monotonic clock.
time_t login_clock();

// A digest naming the user and password (they are not kept themselves).
std::string login_credentials_key(const std::string& user, const std::string& password);

// A new session's token, or "" when no random bytes could be had.
std::string login_session_open(const std::string& credentials_key, time_t now);

// True when the token names a live session opened for the same credentials
// key; its lifetime then starts again from now.
bool login_session_renew(const std::string& token, const std::string& credentials_key,
                         time_t now);

// Ends the session of the token (nothing when there is none).
void login_session_close(const std::string& token);

// Ends every session (tests).
void login_sessions_clear();

// The token the interface's state-changing forms carry for a session: a
// digest of the session's token, so a page never shows the cookie itself
// and a form of one session is worth nothing in another. For "" (the rule
// asks for no login) a random token of the process, made once; "" when no
// random bytes could be had, which refuses every change.
std::string login_form_token(const std::string& session_token);
