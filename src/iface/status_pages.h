// The status pages of the web interface: active connections, the DNS
// cache, request headers, the error-log buffer, the connection pools, the
// prefetch queue, the global statistics and the URL black lists.
//
// Contract: each is an interface_page_t (interface.h): it appends its HTML
// to the page inside the interface frame and sends nothing. Each reads its
// data under the one lock that guards it, only while the text is built.
// Every value that came from a request, a server, a file or a DNS answer
// (hosts, users, URLs, header lines, log lines, patterns, black-list
// entries) is HTML-escaped. A search pattern that does not compile is an
// error on the page and filters nothing; a "/log" size that is not a number
// of lines (0 to 100000, or -1 for no change) is an error and changes
// nothing. Clearing or resizing the log buffer and adding to the prefetch
// queue happen only for a POST with the page's form token (form_token.h);
// anything else changes nothing and says so. A "/urlbl" search lists at
// most 10000 rows.
#pragma once

class Filebuf;
class CGIMap;
struct CONNECTION_T;

void interface_page_connections(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
void interface_page_dnscache(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
void interface_page_headers(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
void interface_page_log(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
void interface_page_pool(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
void interface_page_prefetch(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
void interface_page_stats(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
void interface_page_urlbl(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
