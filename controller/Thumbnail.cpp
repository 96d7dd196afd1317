// The small JPEG sent with every card image, made with the platform's imaging
// codecs so that any format the system decodes can be scanned.
#include <windows.h>
#include <objbase.h>
#include <shlwapi.h>
#include <wincodec.h>

#include <cwchar>
#include <vector>

#include "controller/MeishiServiceCtrl.h"
#include "controller/ThumbnailPicture.h"
#include "controller/ThumbnailSource.h"
#include "support/Handles.h"
#include "support/Log.h"
#include "support/Result.h"

namespace tessaran {

namespace {

constexpr UINT kThumbnailSide = 200;
// The imaging codecs' own facility (WINCODEC_ERR_...).
constexpr int kFacilityWincodec = 0x898;
constexpr wchar_t kThumbnailSuffix[] = L"_thumb.jpg";

// Errors of the imaging codecs mean the file is not an image they read; the
// caller sees that as a plain refusal.
HRESULT DecoderRefusal(HRESULT hr) noexcept {
    return HRESULT_FACILITY(hr) == kFacilityWincodec ? E_FAIL : hr;
}

HRESULT LoadFirstFrame(IWICImagingFactory* factory, const wchar_t* path, ComPtr<IWICBitmapFrameDecode>& frame) {
    ComPtr<IWICBitmapDecoder> decoder;
    HRESULT hr = factory->CreateDecoderFromFilename(path, nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                                    decoder.put());
    if (SUCCEEDED(hr)) hr = decoder->GetFrame(0, frame.put());
    return DecoderRefusal(hr);
}

// The thumbnail's longer side is 200; the other one keeps the proportions,
// rounded down, and may come out as 0 for a very thin source.
void ThumbnailSize(UINT width, UINT height, UINT& thumbWidth, UINT& thumbHeight) noexcept {
    if (width > height) {
        thumbWidth = kThumbnailSide;
        thumbHeight = static_cast<UINT>(static_cast<unsigned long long>(height) * kThumbnailSide / width);
    } else {
        thumbHeight = kThumbnailSide;
        thumbWidth = height == 0 ? 0 : static_cast<UINT>(static_cast<unsigned long long>(width) * kThumbnailSide / height);
    }
}

// The whole source scaled into a 24-bit picture of the thumbnail's size, with
// an area-averaging scaler so that text on the card stays legible.
HRESULT DrawScaled(IWICImagingFactory* factory, IWICBitmapSource* source, UINT width, UINT height,
                   ComPtr<IWICBitmap>& thumbnail) {
    ComPtr<IWICFormatConverter> converter;
    HRESULT hr = factory->CreateFormatConverter(converter.put());
    if (SUCCEEDED(hr)) {
        hr = converter->Initialize(source, GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom);
    }
    ComPtr<IWICBitmapScaler> scaler;
    if (SUCCEEDED(hr)) hr = factory->CreateBitmapScaler(scaler.put());
    if (SUCCEEDED(hr)) hr = scaler->Initialize(converter.get(), width, height, WICBitmapInterpolationModeFant);
    if (SUCCEEDED(hr)) hr = factory->CreateBitmapFromSource(scaler.get(), WICBitmapCacheOnLoad, thumbnail.put());
    return hr;
}

// The smallest size at which transform hands out the frame natively that is
// still at least the thumbnail's, asking for doubled sizes while the decoder
// answers with smaller ones; false when only the full size would do.
bool NativeScaledSize(IWicSourceTransform* transform, UINT fullWidth, UINT fullHeight, UINT thumbWidth,
                      UINT thumbHeight, UINT& width, UINT& height) {
    UINT askWidth = thumbWidth;
    UINT askHeight = thumbHeight;
    for (;;) {
        width = askWidth;
        height = askHeight;
        if (FAILED(transform->GetClosestSize(&width, &height))) return false;
        if (width >= thumbWidth && height >= thumbHeight) break;
        if (askWidth >= fullWidth && askHeight >= fullHeight) return false;
        askWidth = askWidth >= fullWidth / 2 ? fullWidth : askWidth * 2;
        askHeight = askHeight >= fullHeight / 2 ? fullHeight : askHeight * 2;
    }
    return width < fullWidth || height < fullHeight;
}

// "<source without extension>_thumb.jpg"; fails rather than cutting a path
// that does not fit, since a cut name would land beside the source under a
// name nobody cleans up.
HRESULT MakeThumbnailPath(const wchar_t* imagePath, std::wstring& thumbnailPath) {
    wchar_t path[MAX_PATH] = {};
    if (std::wcslen(imagePath) >= MAX_PATH) return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
    std::wcscpy(path, imagePath);
    ::PathRemoveExtensionW(path);
    if (std::wcslen(path) + std::wcslen(kThumbnailSuffix) >= MAX_PATH) {
        return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
    }
    thumbnailPath = std::wstring(path) + kThumbnailSuffix;
    return S_OK;
}

HRESULT EncodeJpeg(IWICImagingFactory* factory, IWICBitmapSource* picture, std::vector<BYTE>& bytes) {
    ComPtr<IStream> stream;
    HRESULT hr = ::CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
    ComPtr<IWICBitmapEncoder> encoder;
    if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, encoder.put());
    if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> options;
    if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(frame.put(), options.put());
    if (SUCCEEDED(hr)) hr = frame->Initialize(options.get());  // the encoder's defaults
    UINT width = 0;
    UINT height = 0;
    if (SUCCEEDED(hr)) hr = picture->GetSize(&width, &height);
    if (SUCCEEDED(hr)) hr = frame->SetSize(width, height);
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
    if (SUCCEEDED(hr)) hr = frame->WriteSource(picture, nullptr);
    if (SUCCEEDED(hr)) hr = frame->Commit();
    if (SUCCEEDED(hr)) hr = encoder->Commit();
    if (FAILED(hr)) return hr;

    HGLOBAL block = nullptr;
    TESSARAN_RETURN_IF_FAILED(::GetHGlobalFromStream(stream.get(), &block));
    STATSTG stat = {};
    TESSARAN_RETURN_IF_FAILED(stream->Stat(&stat, STATFLAG_NONAME));
    GlobalLockGuard lock(block);
    if (!lock.get()) return LastErrorHResult();
    const BYTE* data = lock.as<const BYTE>();
    bytes.assign(data, data + stat.cbSize.QuadPart);
    return S_OK;
}

// Writes a new file only: a file of that name beside the scan may be the
// user's own, and the run deletes the thumbnail after sending it.
HRESULT WriteNewFile(const std::wstring& path, const std::vector<BYTE>& bytes) {
    UniqueFile file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return LastErrorHResult();
    DWORD written = 0;
    const BOOL wrote = ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    if (!wrote || written != bytes.size()) {
        // A refused write says why (a full disk, say); a short one does not.
        const HRESULT hr = !wrote ? LastErrorHResult() : HResultFromWin32(ERROR_WRITE_FAULT);
        file.reset();
        ::DeleteFileW(path.c_str());
        return hr;
    }
    return S_OK;
}

}  // namespace

HRESULT ThumbnailSource(IWICImagingFactory* factory, IWICBitmapSource* frame, UINT thumbWidth, UINT thumbHeight,
                        ComPtr<IWICBitmapSource>& source) {
    source = ComPtr<IWICBitmapSource>(frame);
    ComPtr<IWicSourceTransform> transform;
    if (FAILED(frame->QueryInterface(IID_IWicSourceTransform, transform.put_void()))) return S_FALSE;
    BOOL supported = FALSE;
    if (FAILED(transform->DoesSupportTransform(WICBitmapTransformRotate0, &supported)) || !supported) {
        return S_FALSE;
    }
    UINT fullWidth = 0;
    UINT fullHeight = 0;
    UINT width = 0;
    UINT height = 0;
    if (FAILED(frame->GetSize(&fullWidth, &fullHeight)) ||
        !NativeScaledSize(transform.get(), fullWidth, fullHeight, thumbWidth, thumbHeight, width, height)) {
        return S_FALSE;
    }
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    if (FAILED(transform->GetClosestPixelFormat(&format))) return S_FALSE;

    // Decoded straight into a bitmap of that size; the frame's full pixels
    // are never made.
    ComPtr<IWICBitmap> scaled;
    if (FAILED(factory->CreateBitmap(width, height, format, WICBitmapCacheOnLoad, scaled.put()))) return S_FALSE;
    {
        const WICRect whole = {0, 0, static_cast<INT>(width), static_cast<INT>(height)};
        ComPtr<IWICBitmapLock> lock;
        UINT stride = 0;
        UINT size = 0;
        BYTE* pixels = nullptr;
        if (FAILED(scaled->Lock(&whole, WICBitmapLockWrite, lock.put())) || FAILED(lock->GetStride(&stride)) ||
            FAILED(lock->GetDataPointer(&size, &pixels)) ||
            FAILED(transform->CopyPixels(nullptr, width, height, &format, WICBitmapTransformRotate0, stride, size,
                                         pixels))) {
            return S_FALSE;
        }
    }
    source = ComPtr<IWICBitmapSource>(scaled.get());
    return S_OK;
}

void MakeThumbnailPicture(const wchar_t* imagePath, ThumbnailPicture& picture) noexcept {
    picture.made = E_FAIL;
    picture.failedStep = nullptr;
    picture.encodeFailed = false;
    picture.jpeg.clear();
    const auto fail = [&picture](const wchar_t* step, HRESULT hr) {
        picture.made = hr;
        picture.failedStep = step;
    };
    if (!imagePath) return fail(L"img.Load Error", E_POINTER);
    const HRESULT done = TessaranGuard([&]() -> HRESULT {
        ComPtr<IWICImagingFactory> factory;
        HRESULT hr = ::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IWICImagingFactory, factory.put_void());
        ComPtr<IWICBitmapFrameDecode> source;
        if (SUCCEEDED(hr)) hr = LoadFirstFrame(factory.get(), imagePath, source);
        UINT width = 0;
        UINT height = 0;
        if (SUCCEEDED(hr)) hr = DecoderRefusal(source->GetSize(&width, &height));
        if (FAILED(hr)) {
            fail(L"img.Load Error", hr);
            return hr;
        }

        UINT thumbWidth = 0;
        UINT thumbHeight = 0;
        ThumbnailSize(width, height, thumbWidth, thumbHeight);
        if (thumbWidth == 0 || thumbHeight == 0) {
            fail(L"sm_img.Create", HResultFromWin32(ERROR_CANNOT_MAKE));
            return picture.made;
        }

        // Decoders that scale while decoding leave little for the scaler to do.
        ComPtr<IWICBitmapSource> pixels;
        ThumbnailSource(factory.get(), source.get(), thumbWidth, thumbHeight, pixels);
        ComPtr<IWICBitmap> thumbnail;
        if (FAILED(DrawScaled(factory.get(), pixels.get(), thumbWidth, thumbHeight, thumbnail))) {
            fail(L"img.StretchBlt", HResultFromWin32(ERROR_CANNOT_COPY));
            return picture.made;
        }
        hr = EncodeJpeg(factory.get(), thumbnail.get(), picture.jpeg);
        if (FAILED(hr)) {
            fail(L"sm_img.Save Error", hr);
            picture.encodeFailed = true;
            return hr;
        }
        return S_OK;
    });
    if (SUCCEEDED(done)) {
        picture.made = S_OK;
    } else if (!picture.failedStep) {
        picture.made = done;  // an exception: no step of its own to name
    }
    if (FAILED(picture.made)) picture.jpeg.clear();
}

HRESULT CMeishiServiceCtrl::CreateThumbnailImage(const wchar_t* imagePath, std::wstring& thumbnailPath) {
    return TessaranGuard([&]() -> HRESULT {
        ThumbnailPicture picture;
        MakeThumbnailPicture(imagePath, picture);
        return StoreThumbnailImage(imagePath, picture, thumbnailPath);
    });
}

HRESULT CMeishiServiceCtrl::StoreThumbnailImage(const wchar_t* imagePath, const ThumbnailPicture& picture,
                                                std::wstring& thumbnailPath) {
    return TessaranGuard([&]() -> HRESULT {
        // The lines come in the order the steps would have failed in one go.
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::CreateThumbnailImage start");
        thumbnailPath.clear();
        if (!imagePath) return LogFailure(L"img.Load Error", E_POINTER);
        if (FAILED(picture.made) && !picture.encodeFailed) {
            return picture.failedStep ? LogFailure(picture.failedStep, picture.made) : picture.made;
        }

        std::wstring path;
        HRESULT hr = MakeThumbnailPath(imagePath, path);
        if (FAILED(hr)) return LogFailure(L"CreateThumbnailImage PathLength", hr);
        thumbnailPath = path;

        hr = FAILED(picture.made) ? picture.made : WriteNewFile(path, picture.jpeg);
        if (FAILED(hr)) {
            // The name may belong to a file of the user's: it is not ours to hand out.
            thumbnailPath.clear();
            return LogFailure(L"sm_img.Save Error", hr);
        }

        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::CreateThumbnailImage end");
        return S_OK;
    });
}

}  // namespace tessaran
