// A thumbnail made in memory and not yet stored beside its scan: the part of
// the work that logs nothing and touches no file of the user's, so that it
// can run on any thread ahead of the card that needs it.
#pragma once

#include <windows.h>

#include <vector>

namespace tessaran {

struct ThumbnailPicture {
    HRESULT made = E_FAIL;
    // The step that failed, for the log line the storing writes; null when
    // the failure has no step of its own (an exception).
    const wchar_t* failedStep = nullptr;
    bool encodeFailed = false;  // the picture was made, its JPEG was not
    std::vector<BYTE> jpeg;
};

// The JPEG bytes of imagePath's thumbnail, or what went wrong. Needs COM on
// the calling thread; throws nothing.
void MakeThumbnailPicture(const wchar_t* imagePath, ThumbnailPicture& picture) noexcept;

}  // namespace tessaran
