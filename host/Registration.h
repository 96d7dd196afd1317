// Self-registration: the class key of CSMRMeishiPlugin and the type library,
// per machine or per user.
#pragma once

#include <windows.h>

namespace tessaran {

HRESULT RegisterServer(HINSTANCE module, bool perUser);
HRESULT UnregisterServer(HINSTANCE module, bool perUser);

}  // namespace tessaran
