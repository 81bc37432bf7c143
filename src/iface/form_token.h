// The token that the interface's state-changing forms carry.
//
// Contract:
// - A change (a configuration edit, a save, a load, a cache deletion) is
//   made only for a POST whose argument "token" is the token of the page's
//   login session (login_form_token of CONNECTION_T::interface_session), or,
//   where the access rule asks for no login, the process's form token. A
//   link, a GET or a form of another site or session changes nothing.
// - The token is compared in constant time and never logged (CGIMap masks
//   the argument "token").
// - Nothing here locks but login_form_token's own table lock.
#pragma once

#include <string>

struct CONNECTION_T;
class Filebuf;
class CGIMap;

// The argument holding the token.
#define FORM_TOKEN_ARGUMENT "token"

// What a page says when a change came without the form and its token.
extern const char* const FORM_TOKEN_REFUSED;

// The token of the forms of the page being served; "" (every change
// refused) without a connection or without a live session where a login
// is required.
std::string interface_form_token(const CONNECTION_T* connection);

// Appends the hidden input carrying the token (nothing for "").
void interface_form_token_field(Filebuf* page, const CONNECTION_T* connection);

// True when the request is a POST and carries the page's token; false
// otherwise (logged as a security event).
bool interface_form_posted(const CONNECTION_T* connection, CGIMap& arguments);
