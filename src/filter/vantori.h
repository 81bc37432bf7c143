// Configuration section: site categories.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

class VANTORI_Section : public Section {
public:
    VANTORI_Section();
    void update() override {}
    // Writes the category records to disk when any were added since the
    // last dump; called by the shutdown sequence and SIGHUP.
    void vantori_dnstofile_insert();
};

extern VANTORI_Section* vantori_section;

// Service thread writing the category cache to disk.
void* vantori_cachedump(void*);

struct CONNECTION_T;

// Second site-category pass, run by ProfileSection::profiles_update after
// the profiles section's lock is released; may add and remove profile
// names. Always 0.
int vantori_second(CONNECTION_T* connection);
// First site-category pass, before the profiles are computed; always 0.
int vantori_first(CONNECTION_T* connection);

class Filebuf;
class CGIMap;

// The interface page "/vantori": tests the site categories of a host. Until
// it is built it appends nothing to the page.
void interface_page_vantori(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
