#include "TestImages.h"

#include <wincodec.h>

#include <vector>

#include "support/Handles.h"

using tessaran::ComPtr;

namespace tessaran_test {

namespace {

HRESULT Factory(ComPtr<IWICImagingFactory>& factory) {
    return ::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                              factory.put_void());
}

}  // namespace

HRESULT WriteTestImage(const std::wstring& path, UINT width, UINT height, ImageKind kind) {
    ComPtr<IWICImagingFactory> factory;
    HRESULT hr = Factory(factory);
    if (FAILED(hr)) return hr;

    const UINT stride = (width * 3 + 3) & ~3u;
    std::vector<BYTE> pixels(static_cast<size_t>(stride) * height);
    for (UINT y = 0; y < height; ++y) {
        for (UINT x = 0; x < width; ++x) {
            BYTE* p = &pixels[static_cast<size_t>(y) * stride + x * 3];
            const bool frame = x < 4 || y < 4 || x + 4 >= width || y + 4 >= height;
            p[0] = frame ? 0 : static_cast<BYTE>(x * 255 / (width ? width : 1));
            p[1] = frame ? 0 : static_cast<BYTE>(y * 255 / (height ? height : 1));
            p[2] = frame ? 0 : 128;
        }
    }
    ComPtr<IWICBitmap> bitmap;
    hr = factory->CreateBitmapFromMemory(width, height, GUID_WICPixelFormat24bppBGR, stride,
                                         static_cast<UINT>(pixels.size()), pixels.data(), bitmap.put());
    if (FAILED(hr)) return hr;

    const GUID container = kind == ImageKind::Jpeg  ? GUID_ContainerFormatJpeg
                           : kind == ImageKind::Png ? GUID_ContainerFormatPng
                                                    : GUID_ContainerFormatBmp;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> options;
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    if (SUCCEEDED(hr)) hr = factory->CreateStream(stream.put());
    if (SUCCEEDED(hr)) hr = stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE);
    if (SUCCEEDED(hr)) hr = factory->CreateEncoder(container, nullptr, encoder.put());
    if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(frame.put(), options.put());
    if (SUCCEEDED(hr)) hr = frame->Initialize(options.get());
    if (SUCCEEDED(hr)) hr = frame->SetSize(width, height);
    if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
    if (SUCCEEDED(hr)) hr = frame->WriteSource(bitmap.get(), nullptr);
    if (SUCCEEDED(hr)) hr = frame->Commit();
    if (SUCCEEDED(hr)) hr = encoder->Commit();
    return hr;
}

HRESULT ReadImageSize(const std::wstring& path, UINT& width, UINT& height) {
    width = height = 0;
    ComPtr<IWICImagingFactory> factory;
    HRESULT hr = Factory(factory);
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    if (SUCCEEDED(hr)) {
        hr = factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                                decoder.put());
    }
    if (SUCCEEDED(hr)) hr = decoder->GetFrame(0, frame.put());
    if (SUCCEEDED(hr)) hr = frame->GetSize(&width, &height);
    return hr;
}

}  // namespace tessaran_test
