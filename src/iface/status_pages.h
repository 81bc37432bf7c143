// The status pages of the web interface: active connections, the DNS
// cache, request headers, the error-log buffer, the connection pools, the
// prefetch queue, the global statistics and the URL black lists.
//
// Contract: each is an interface_page_t (interface.h): it appends its HTML
// to the page inside the interface frame and sends nothing. Until a page is
// built it appends nothing.
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
