// The copy step that export and import share.
#pragma once

#include <windows.h>

#include <functional>

namespace tessaran {

// Copies from over to through a temporary copy beside it that replaces it in
// one step: to is never left half-written, and an existing to keeps its
// access rights and attributes. With a check step, the copy must first read
// as the settings do (a refusal is logged under that step, and checkFailed
// tells it apart); beforeReplace, when given, runs last before to is
// replaced, and its failure keeps to as it was.
HRESULT ReplaceWithCopy(const wchar_t* from, const wchar_t* to, const wchar_t* checkStep, bool& checkFailed,
                        const std::function<HRESULT()>& beforeReplace = nullptr);

}  // namespace tessaran
