// Start-up of the running daemon: config() builds GLOBAL and every service
// in a fixed order; mainloop() then accepts clients for ever.
#pragma once





void config();
[[noreturn]] void mainloop();

// Loads the section-definition file into `sectionxml`; a file that does not
// load or parse is logged and ends the process with status 1.
void sectionxml_load(const char* path);
