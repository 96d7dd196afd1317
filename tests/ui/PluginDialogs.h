// The dialog tests run the dialog classes of the plug-in's code with the
// templates of the real TessaranService.dll, loaded once for the program.
#pragma once

#include <windows.h>

namespace ui_test {

// The loaded plug-in module (null when it could not be loaded).
HMODULE PluginDll();

}  // namespace ui_test
