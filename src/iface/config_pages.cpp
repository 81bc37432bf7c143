#include "iface/config_pages.h"

// The pages come with the configuration-page work; until then the frame and
// the menu show alone.
void interface_page_config(Filebuf*, CGIMap&, CONNECTION_T*) {}
void interface_page_save(Filebuf*, CGIMap&, CONNECTION_T*) {}
void interface_page_load(Filebuf*, CGIMap&, CONNECTION_T*) {}
