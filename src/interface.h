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
