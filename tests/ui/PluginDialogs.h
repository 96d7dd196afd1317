// The dialog tests run the dialog classes of the plug-in's code with the
// templates of the real TessaranService.dll, loaded once for the program.
#pragma once

#include <windows.h>

namespace ui_test {

// The loaded plug-in module (null when it could not be loaded).
HMODULE PluginDll();

// While it lives, dialogs look for their templates in the test program,
// which has none: every dialog fails to be created.
class TemplatesMissing {
public:
    TemplatesMissing();
    ~TemplatesMissing();
    // What a dialog's creation fails with here, as the module's resources say.
    static HRESULT Failure();
    TemplatesMissing(const TemplatesMissing&) = delete;
    TemplatesMissing& operator=(const TemplatesMissing&) = delete;
};

}  // namespace ui_test
