// Loader of the plug-in modules of the module directory.
#pragma once

void modules_load();
