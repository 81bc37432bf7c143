// The cache browser page of the web interface: searching, listing and
// deleting cached objects.
//
// Contract: an interface_page_t (interface.h): it appends its HTML to the
// page inside the interface frame and sends nothing. Until the page is
// built it appends nothing.
#pragma once

class Filebuf;
class CGIMap;
struct CONNECTION_T;

void interface_page_cache(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
