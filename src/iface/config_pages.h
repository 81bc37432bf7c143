// The configuration pages of the web interface: editing the sections,
// saving the configuration file and loading one.
//
// Contract: each is an interface_page_t (interface.h): it appends its HTML
// to the page inside the interface frame and sends nothing. Until a page is
// built it appends nothing.
#pragma once

class Filebuf;
class CGIMap;
struct CONNECTION_T;

void interface_page_config(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
void interface_page_save(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
void interface_page_load(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
