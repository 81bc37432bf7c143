// The FTP directory listing page: one HTML document per listed directory,
// with name, size and date columns (each with links that sort the listing
// up or down), a "filename" check box per entry and a form that posts an
// "action" and its "argument" back to the same directory, with the token of
// this listing (dirlist_token.h) in its hidden field "token".
//
// Contract:
// - The entries stay the caller's; nothing is kept after the call.
// - Every file name is HTML-escaped wherever it appears as text or inside an
//   attribute (check box value, link), and percent-encoded in link targets,
//   so a name holding '<', '"', '&', '?' or '#' can neither add markup nor
//   point the link elsewhere.
// - The page is sent to the client with status 200 and Content-Type
//   "text/html" (header only for HEAD); the access-log record receives
//   status 200, the page size and "text/html". Nothing is sent while the
//   connection has no client.
#pragma once

#include <time.h>

#include <string>

struct CONNECTION_T;
struct dir_t;
class Filebuf;

// Sends the listing page of the request's directory; 1 when sent, else 0.
int show_dirlist(CONNECTION_T* connection, dir_t* entries);

// The page's content (everything between the style sheet and the closing
// tags) for the directory `path` (the request path without its query);
// `interface_host` names the host of the arrow images; `token` goes into
// the form. Appended to `page`.
void dirlist_page_build(Filebuf* page, const char* path, const char* interface_host,
                        dir_t* entries, const std::string& token);

// A listing date as "%a, %d %b %Y %T GMT". The weekday is worked out from
// the date itself: a listing gives none.
std::string dirlist_date(const struct tm& date);

// A file name as a link target: every byte but ASCII letters, digits,
// "-._~" and '/' becomes '%' and two uppercase hex digits.
std::string dirlist_href(const char* name);
