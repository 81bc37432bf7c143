// The web interface's login: what interface_handle_request needs besides
// interface_login and interface_check_referer (interface.h).
//
// Contract:
// - Credentials are the matching access rule's interface user and password
//   (CONNECTION_T::interface_user, interface_password); a rule that names
//   neither asks for no login.
// - A session is found through the request's "login" cookie; user names and
//   passwords are compared whole, byte for byte, the password in constant
//   time; no credential or token is ever logged.
// - Nothing here writes to the client: answers go into the given header
//   and page.
#pragma once

#include <string>

struct CONNECTION_T;
struct HEADER;
class Filebuf;

// The proxy's host name: -H, else the general section's host name; at most
// 255 characters.
std::string interface_proxy_host();

// True when the rule names an interface user and password.
bool interface_login_required(const CONNECTION_T* connection);

// True when the documents for other instances may be sent: no login
// required, a live session cookie (renewed), or the rule's credentials
// as "Authorization: Basic".
bool interface_export_allowed(CONNECTION_T* connection);

// Ends the sessions named by the request's "login" cookies and adds the
// line that deletes the cookie in the browser to `response`.
void interface_logout(CONNECTION_T* connection, HEADER* response);

// Appends the login form posting to `action` (HTML-escaped here).
void interface_login_form(Filebuf* page, const char* action);
