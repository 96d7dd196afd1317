#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <tuple>

#include "common/LogCapture.h"
#include "common/TestImages.h"
#include "common/TestPaths.h"
#include "controller/MeishiServiceCtrl.h"
#include "controller/ThumbnailSource.h"
#include "support/Handles.h"

using namespace tessaran;
using tessaran_test::ImageKind;
using tessaran_test::ScratchDir;

namespace {

constexpr HRESULT kCannotMake = static_cast<HRESULT>(0x80070052);
constexpr HRESULT kFileExists = static_cast<HRESULT>(0x80070050);
constexpr HRESULT kNameTooLong = static_cast<HRESULT>(0x800700CE);

struct SizeCase {
    UINT width, height;
    ImageKind kind;
    const wchar_t* name;
    UINT thumbWidth, thumbHeight;
};

// Copies each thumbnail with its expected size where the independent check
// (tests/files/check_thumbnails.py, run by CTest after this program) reads it.
class ThumbnailManifest {
public:
    ThumbnailManifest() {
        if (tessaran_test::BuildDir().empty()) return;  // run by hand, outside CTest
        m_folder = tessaran_test::BuildDir() + L"\\thumbnail-check";
        tessaran_test::RemoveTree(m_folder);
        ::CreateDirectoryW(m_folder.c_str(), nullptr);
    }
    void Add(const std::wstring& thumbnail, const std::wstring& name, UINT width, UINT height) {
        if (m_folder.empty()) return;
        ::CopyFileW(thumbnail.c_str(), (m_folder + L"\\" + name).c_str(), FALSE);
        m_lines += tessaran_test::ToUtf8(name) + " " + std::to_string(width) + " " + std::to_string(height) + "\n";
        tessaran_test::WriteFileBytes(m_folder + L"\\expected.txt", m_lines);
    }

private:
    std::wstring m_folder;
    std::string m_lines;
};

}  // namespace

TEST(Thumbnail, LongerSideBecomes200AndTheFileIsAJpegBesideTheSource) {
    const SizeCase cases[] = {
        {3000, 2000, ImageKind::Jpeg, L"landscape.jpg", 200, 133},
        {2000, 3000, ImageKind::Jpeg, L"portrait.jpeg", 133, 200},
        {640, 640, ImageKind::Png, L"square.png", 200, 200},
        {90, 60, ImageKind::Bmp, L"small.bmp", 200, 133},
    };
    ScratchDir dir(L"thm");
    ThumbnailManifest manifest;
    CMeishiServiceCtrl ctrl;
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        const std::wstring source = dir / c.name;
        ASSERT_EQ(tessaran_test::WriteTestImage(source, c.width, c.height, c.kind), S_OK);
        std::wstring thumbnail;
        ASSERT_EQ(ctrl.CreateThumbnailImage(source.c_str(), thumbnail), S_OK);

        std::wstring expected = source.substr(0, source.rfind(L'.')) + L"_thumb.jpg";
        EXPECT_EQ(thumbnail, expected);
        UINT width = 0, height = 0;
        ASSERT_EQ(tessaran_test::ReadImageSize(thumbnail, width, height), S_OK);
        EXPECT_EQ(width, c.thumbWidth);
        EXPECT_EQ(height, c.thumbHeight);
        EXPECT_EQ(tessaran_test::ReadFileBytes(thumbnail).substr(0, 2), std::string("\xFF\xD8"));
        manifest.Add(thumbnail, std::to_wstring(c.width) + L"x" + std::to_wstring(c.height) + L"_thumb.jpg",
                     c.thumbWidth, c.thumbHeight);
    }
}

TEST(Thumbnail, NameWithoutExtensionGetsTheSuffixAppended) {
    ScratchDir dir(L"thm");
    const std::wstring source = dir / L"card0001";
    ASSERT_EQ(tessaran_test::WriteTestImage(source, 300, 200), S_OK);
    CMeishiServiceCtrl ctrl;
    std::wstring thumbnail;
    ASSERT_EQ(ctrl.CreateThumbnailImage(source.c_str(), thumbnail), S_OK);
    EXPECT_EQ(thumbnail, source + L"_thumb.jpg");
    EXPECT_TRUE(tessaran_test::FileExists(thumbnail));
}

TEST(Thumbnail, ThinSourceFailsWithoutAFile) {
    ScratchDir dir(L"thm");
    const std::wstring source = dir / L"thin.jpg";
    ASSERT_EQ(tessaran_test::WriteTestImage(source, 1000, 4), S_OK);
    tessaran_test::LogCapture log;
    CMeishiServiceCtrl ctrl;
    std::wstring thumbnail;
    EXPECT_EQ(ctrl.CreateThumbnailImage(source.c_str(), thumbnail), kCannotMake);
    EXPECT_TRUE(log.Has(LOG_TRACE, L"CMeishiServiceCtrl::CreateThumbnailImage start"));
    EXPECT_TRUE(log.Has(LOG_ERROR, L"sm_img.Create: error = 80070052"));
    EXPECT_EQ(log.Count(L"CMeishiServiceCtrl::CreateThumbnailImage end"), 0);
    EXPECT_FALSE(tessaran_test::FileExists(dir / L"thin_thumb.jpg"));
}

TEST(Thumbnail, FilesThatAreNoImagesAreRefused) {
    ScratchDir dir(L"thm");
    const std::wstring source = dir / L"notes.jpg";
    tessaran_test::WriteFileBytes(source, "this is not a picture");
    tessaran_test::LogCapture log;
    CMeishiServiceCtrl ctrl;
    std::wstring thumbnail;
    EXPECT_EQ(ctrl.CreateThumbnailImage(source.c_str(), thumbnail), E_FAIL);
    EXPECT_TRUE(log.Has(LOG_ERROR, L"img.Load Error: error = 80004005"));
    EXPECT_FALSE(tessaran_test::FileExists(dir / L"notes_thumb.jpg"));

    EXPECT_LT(ctrl.CreateThumbnailImage((dir / L"missing.jpg").c_str(), thumbnail), 0);
    EXPECT_FALSE(tessaran_test::FileExists(dir / L"missing_thumb.jpg"));
}

// The run deletes every thumbnail it sent; a file of the user's that happens
// to carry the thumbnail's name must not be overwritten and then deleted.
TEST(Thumbnail, AnExistingFileOfThatNameIsNeverReplaced) {
    ScratchDir dir(L"thm");
    const std::wstring source = dir / L"card.jpg";
    ASSERT_EQ(tessaran_test::WriteTestImage(source, 300, 200), S_OK);
    tessaran_test::WriteFileBytes(dir / L"card_thumb.jpg", "the user's own file");
    CMeishiServiceCtrl ctrl;
    std::wstring thumbnail;
    EXPECT_EQ(ctrl.CreateThumbnailImage(source.c_str(), thumbnail), kFileExists);
    EXPECT_TRUE(thumbnail.empty());
    EXPECT_EQ(tessaran_test::ReadFileBytes(dir / L"card_thumb.jpg"), "the user's own file");
}

// A thumbnail name cut to fit would lie beside the scan under a name that is
// never cleaned up ("..._thumb.jp"); such sources get no thumbnail.
TEST(Thumbnail, NamesThatDoNotFitAPathAreRefusedNotCut) {
    ScratchDir dir(L"thm");
    // The source fits (259 characters) but its thumbnail name would not.
    std::wstring source = dir.path() + L"\\";
    source += std::wstring(259 - source.size() - 4, L'c') + L".jpg";
    ASSERT_EQ(source.size(), 259u);
    ASSERT_EQ(tessaran_test::WriteTestImage(source, 300, 200), S_OK);
    CMeishiServiceCtrl ctrl;
    std::wstring thumbnail;
    EXPECT_EQ(ctrl.CreateThumbnailImage(source.c_str(), thumbnail), kNameTooLong);
    EXPECT_TRUE(thumbnail.empty());
    WIN32_FIND_DATAW data;
    int files = 0;
    HANDLE find = ::FindFirstFileW((dir.path() + L"\\*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++files;
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    EXPECT_EQ(files, 1);  // only the source
}

namespace {

// A frame whose decoder scales by 1/2, 1/4 and 1/8 while decoding, as JPEG
// decoders do, and answers a size with the largest it makes that is not
// above it (the smallest when none is).
class ScalingFrame : public IWICBitmapSource, public IWicSourceTransform {
public:
    UINT fullReads = 0;
    UINT decodedWidth = 0;
    UINT decodedHeight = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IWICBitmapSource) {
            *out = static_cast<IWICBitmapSource*>(this);
        } else if (iid == IID_IWicSourceTransform) {
            *out = static_cast<IWicSourceTransform*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    // Lives on the test's stack.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE GetSize(UINT* width, UINT* height) override {
        *width = kWidth;
        *height = kHeight;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPixelFormat(WICPixelFormatGUID* format) override {
        *format = GUID_WICPixelFormat24bppBGR;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetResolution(double* x, double* y) override {
        *x = *y = 300.0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette*) override { return WINCODEC_ERR_PALETTEUNAVAILABLE; }
    HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect*, UINT, UINT size, BYTE* buffer) override {
        ++fullReads;
        std::memset(buffer, 0x80, size);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect*, UINT width, UINT height, WICPixelFormatGUID*,
                                         WICBitmapTransformOptions, UINT, UINT size, BYTE* buffer) override {
        decodedWidth = width;
        decodedHeight = height;
        std::memset(buffer, 0x80, size);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetClosestSize(UINT* width, UINT* height) override {
        UINT answerWidth = (kWidth + 7) / 8;
        UINT answerHeight = (kHeight + 7) / 8;
        for (UINT divisor : {1u, 2u, 4u, 8u}) {
            const UINT w = (kWidth + divisor - 1) / divisor;
            const UINT h = (kHeight + divisor - 1) / divisor;
            if (w <= *width && h <= *height) {
                answerWidth = w;
                answerHeight = h;
                break;
            }
        }
        *width = answerWidth;
        *height = answerHeight;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetClosestPixelFormat(WICPixelFormatGUID* format) override {
        *format = GUID_WICPixelFormat24bppBGR;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DoesSupportTransform(WICBitmapTransformOptions transform, BOOL* supported) override {
        *supported = transform == WICBitmapTransformRotate0;
        return S_OK;
    }

private:
    static constexpr UINT kWidth = 1050;
    static constexpr UINT kHeight = 600;
};

}  // namespace

// A 1050x600 card scan is decoded at a quarter of its size, the smallest the
// decoder makes that is not below the 200x114 thumbnail, and never in full.
TEST(Thumbnail, ADecoderThatScalesWhileDecodingNeverDecodesTheFullImage) {
    ComPtr<IWICImagingFactory> factory;
    ASSERT_EQ(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                 factory.put_void()),
              S_OK);
    ScalingFrame frame;
    ComPtr<IWICBitmapSource> source;
    ASSERT_EQ(ThumbnailSource(factory.get(), &frame, 200, 114, source), S_OK);
    UINT width = 0, height = 0;
    ASSERT_EQ(source->GetSize(&width, &height), S_OK);
    EXPECT_EQ(std::make_tuple(frame.fullReads, frame.decodedWidth, frame.decodedHeight, width, height),
              std::make_tuple(0u, 263u, 150u, 263u, 150u));
}
