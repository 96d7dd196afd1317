// The copy step that export and import share.
#pragma once

#include <windows.h>

namespace tessaran {

// Copies from over to through a temporary copy beside it (checked first to be
// a settings document when asked; checkFailed then tells a refused source)
// that replaces it in one step: to is never left half-written, and an
// existing to keeps its access rights and attributes.
HRESULT ReplaceWithCopy(const wchar_t* from, const wchar_t* to, bool checkSettings, bool& checkFailed);

}  // namespace tessaran
