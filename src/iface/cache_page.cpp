#include "iface/cache_page.h"

// The page comes with the cache browser; until then the frame and the menu
// show alone.
void interface_page_cache(Filebuf*, CGIMap&, CONNECTION_T*) {}
