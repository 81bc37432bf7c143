// The web interface: what the rest of the daemon needs of it so far.
#pragma once

struct CONNECTION_T;
class Filebuf;

// The reserved virtual host name under which the proxy serves its web
// interface (and the base URL of its own pages).
#define INTERFACE_HOSTNAME "kestrivan"

// Appends the style sheet (the page "interface.css") to a page through
// TemplateSection::insert; 1, or 0 when there is no such page.
int interface_stylesheet(CONNECTION_T* connection, Filebuf* page);

// Sends a finished HTML page as the whole 200 answer (Content-Length, no
// caching; a HEAD request gets the header only) and fills the access-log
// record with the status, the page size and "text/html". A connection with
// no client gets nothing sent, but its record is filled all the same. The
// page stays the caller's.
void interface_send_response(CONNECTION_T* connection, Filebuf* page);

// True when the request addresses the interface host: an origin-form request
// whose path begins with "/" and the interface host name (it is then
// retagged as proxy form), or whose Host header is the interface host, or a
// proxy-form request for the interface host.
bool interface_request(CONNECTION_T* connection);
// The same test without retagging anything (for the content processors,
// which must leave the request as the road will judge it).
bool interface_addressed(const CONNECTION_T* connection);

// Serves one interface request completely. A connection whose access rule
// does not grant ACCESS_INTERFACE gets the page "noaccess". Otherwise, by
// path (after "/kestrivan" for an origin-form request, ignoring case):
// "/xml" the configuration document (text/xml, Last-Modified the time of
// its last change in universal time, built under documentlock), "/ldapcache"
// the DN cache document (text/xml, Last-Modified the time the cache was last
// loaded), "/ldap" and "/password" their pages inside the interface frame
// with the query's and the posted form's arguments (posted ones win); any
// other path the page "unknown". Every answer has Cache-Control "no-cache"
// and a Content-Length.
void interface_handle_request(CONNECTION_T* connection);

// Diagnostic pages of URL commands; each answers the client (the page
// "unknown" until the pages exist) and returns 1 when something was sent.
int show_profiles(CONNECTION_T* connection);
int show_headers(CONNECTION_T* connection);
int show_variables(CONNECTION_T* connection);
int show_proxytest(CONNECTION_T* connection);
int show_htmltree(CONNECTION_T* connection);
int show_filebuf(CONNECTION_T* connection, Filebuf* body);
int interface_cookies_show(CONNECTION_T* connection);
int limits_show(CONNECTION_T* connection);
int cache_show(CONNECTION_T* connection);
