// Test pictures made on the fly with the platform's imaging codecs, so that no
// large image files live in the repository.
#pragma once

#include <windows.h>

#include <string>

namespace tessaran_test {

enum class ImageKind { Jpeg, Png, Bmp };

// Writes a width x height picture (a colour gradient with a frame) to path.
HRESULT WriteTestImage(const std::wstring& path, UINT width, UINT height, ImageKind kind = ImageKind::Jpeg);

// Reads the pixel size of any picture the codecs decode.
HRESULT ReadImageSize(const std::wstring& path, UINT& width, UINT& height);

}  // namespace tessaran_test
