#include "iface/status_pages.h"

// The pages come with the status-page work; until then the frame and the
// menu show alone.
void interface_page_connections(Filebuf*, CGIMap&, CONNECTION_T*) {}
void interface_page_dnscache(Filebuf*, CGIMap&, CONNECTION_T*) {}
void interface_page_headers(Filebuf*, CGIMap&, CONNECTION_T*) {}
void interface_page_log(Filebuf*, CGIMap&, CONNECTION_T*) {}
void interface_page_pool(Filebuf*, CGIMap&, CONNECTION_T*) {}
void interface_page_prefetch(Filebuf*, CGIMap&, CONNECTION_T*) {}
void interface_page_stats(Filebuf*, CGIMap&, CONNECTION_T*) {}
void interface_page_urlbl(Filebuf*, CGIMap&, CONNECTION_T*) {}
