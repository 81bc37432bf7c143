// Loader of the plug-in modules of the module directory (`moduledir`,
// option -m, always ending in '/').
//
// The plug-in contract:
// - A module is a regular file directly in the module directory whose name
//   ends in exactly ".so"; everything else is passed over. Its name is the
//   file name without a leading "lib" and without ".so" (libx.so and x.so
//   are both "x"); its section-definition file is the module directory
//   followed by the name and ".xml".
// - The library is opened with RTLD_LAZY | RTLD_GLOBAL and resolves its
//   undefined symbols against the executable, which exports them.
// - Its entry is the C-linkage function "<name>_load", taking nothing and
//   returning bool (true: loaded). While it runs the module's own
//   section-definition document is `sectionxml`, so the sections it builds
//   read their definitions from it; it registers its processors, hooks and
//   protocols there.
// - An entry that returns false (or throws) leaves nothing behind: the
//   registrations and sections it made are taken back before the library
//   is closed, so no callback ever points into an unloaded library.
//
// Every failure is logged (category LOG_MODULE, parse errors LOG_ERROR) and
// skips that module only. Runs once on the start-up thread, after the
// built-in sections exist and before the configuration is loaded; nothing
// is locked and modules stay loaded until the process ends.
#pragma once

// Loads every module of the module directory, in directory-listing order.
void modules_load();

// Loads one module: opens the library, reads its definition file and calls
// its entry. 1 when loaded, 0 when not.
int module_load(const char* name, const char* library_path, const char* xml_path);
