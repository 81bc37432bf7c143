// The web interface: the proxy's own administration pages under a reserved
// virtual host name, and what every page of the proxy's own making uses.
//
// Contract of interface_handle_request (one request, answered completely):
// - "/template/<name>": the named page template, for anyone (the pages'
//   images); 404 "unknown" when there is none.
// - Every other path needs ACCESS_INTERFACE in the matching access rule,
//   else the page "noaccess" (status 403) and an access-log record with
//   TCP_DENIED, DIRECT, "kestrivan" and 403.
// - An origin-form request for "/kestrivan" not followed by "/" is
//   redirected (302) to "kestrivan/".
// - "/xml" (the configuration document a slave copies) and "/ldapcache"
//   (the DN cache another instance copies) carry credentials: when the rule
//   names an interface user and password they answer only to a live login
//   session or to those credentials given as Basic authorization, else 401
//   with a Basic challenge.
// - Any other path is an HTML page in the interface frame: the login form
//   until the administrator has logged in (when the rule names an interface
//   user and password), then the menu and the pages of the page table whose
//   path matches. "/userstats" shows the statistics of the connection's
//   access rule instead of the menu; "/logout" ends the login session.
// - Page arguments (the query of a GET, the body of a POST) are read only
//   when the Referer names the interface host or the proxy host, so a page
//   elsewhere can neither log in nor change anything through the
//   administrator's browser.
// - Every answer is sent whole with a Content-Length and
//   "Cache-Control: no-store"; every value of the request printed into a
//   page is HTML-escaped.
// - The login: a random session token (login_sessions.h) in the cookie
//   "login" (HttpOnly, path "/", expiring an hour after the last page in
//   real GMT), renewed by every page that needs it.
#pragma once

#include <string>

#include "iface/command_pages.h"

struct CONNECTION_T;
struct HEADER;
class Filebuf;
class CGIMap;

// The reserved virtual host name under which the proxy serves its web
// interface (and the base URL of its own pages).
#define INTERFACE_HOSTNAME "kestrivan"

// A page of the interface: appends its HTML to `page`, which already holds
// the frame and the menu, and sends nothing itself.
typedef void (*interface_page_t)(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);

// Appends the style sheet (the page "interface.css") to a page through
// TemplateSection::insert; 1, or 0 when there is no such page.
int interface_stylesheet(CONNECTION_T* connection, Filebuf* page);

// Sends a finished HTML page as the whole 200 answer (Content-Length,
// "Cache-Control: no-store"; a HEAD request gets the header only) and fills
// the access-log record with the status, the page size and "text/html". A
// connection with no client gets nothing sent, but its record is filled all
// the same. The page stays the caller's.
void interface_send_response(CONNECTION_T* connection, Filebuf* page);

// True when the request addresses the interface host: an origin-form request
// whose path begins with "/" and the interface host name, one whose Host
// header names the interface host (it is then retagged as proxy form), or a
// proxy-form request for the interface host.
bool interface_request(CONNECTION_T* connection);
// The same test without retagging anything (for the content processors,
// which must leave the request as the road will judge it).
bool interface_addressed(const CONNECTION_T* connection);

// Serves one interface request completely (see above).
void interface_handle_request(CONNECTION_T* connection);

// 1 when the request's Referer is "http://" and the interface host or the
// proxy host name followed by ':' or '/' (ignoring case); else 0, logged.
int interface_check_referer(CONNECTION_T* connection);

// Adds the arguments posted in the request body to `arguments`; a body left
// on the socket (streamed) is read now, within the upload buffer's bound.
void interface_posted_arguments(CONNECTION_T* connection, CGIMap& arguments);

// True when the pages may be shown: the rule names no interface login, the
// request carries the cookie of a live session (renewed), or the arguments
// hold the rule's interface user and password (a session is opened). Then
// the "Set-Cookie" line of the session goes onto `response` and its token
// into CONNECTION_T::interface_session (for the page's forms, form_token.h).
// False: the login form posting back to the request's path is appended to
// `page`.
bool interface_login(CONNECTION_T* connection, CGIMap& arguments, HEADER* response,
                     Filebuf* page);

// The page of the URL command "cookies" (the page "unknown" until it
// exists); 1 when something was sent. The other URL-command pages are in
// command_pages.h.
int interface_cookies_show(CONNECTION_T* connection);
