// Where a thumbnail's pixels come from: the decoder's own scaled-down
// picture where it offers one, else the full frame.
#pragma once

#include <windows.h>
#include <wincodec.h>

#include "support/Handles.h"

namespace tessaran {

// IWICBitmapSourceTransform, which the toolchain's wincodec.h lacks: a frame
// that can hand out its pixels already scaled, rotated or converted. JPEG
// decoders scale in the DCT while decoding, at a fraction of the work of a
// full decode.
struct IWicSourceTransform : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect* rect, UINT width, UINT height,
                                                 WICPixelFormatGUID* format, WICBitmapTransformOptions transform,
                                                 UINT stride, UINT bufferSize, BYTE* buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetClosestSize(UINT* width, UINT* height) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetClosestPixelFormat(WICPixelFormatGUID* format) = 0;
    virtual HRESULT STDMETHODCALLTYPE DoesSupportTransform(WICBitmapTransformOptions transform,
                                                           BOOL* supported) = 0;
};

// {3B16811B-6A43-4EC9-B713-3D5A0C13B940}
constexpr IID IID_IWicSourceTransform = {0x3b16811b, 0x6a43, 0x4ec9, {0xb7, 0x13, 0x3d, 0x5a, 0x0c, 0x13, 0xb9, 0x40}};

// The picture a thumbnail of thumbWidth x thumbHeight is drawn from: when
// frame offers the transform, its pixels decoded at the smallest size it
// scales to natively that is still at least the thumbnail's (S_OK); else
// frame itself, untouched (S_FALSE), so that the caller's path is today's.
HRESULT ThumbnailSource(IWICImagingFactory* factory, IWICBitmapSource* frame, UINT thumbWidth, UINT thumbHeight,
                        ComPtr<IWICBitmapSource>& source);

}  // namespace tessaran
