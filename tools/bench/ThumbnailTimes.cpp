// thumbtimes: makes the plug-in's thumbnail of every JPEG in a folder, in one
// process and in name order, as a run does one card after another, and
// prints the time each took. Each thumbnail is removed again once timed, as
// the run removes it once sent.
//
// usage: thumbtimes FOLDER
// Output: "thumbnails: files=N failed=K total_ms=T", the process's private
// bytes after the first thumbnail and after the last ("memory first=BYTES
// last=BYTES": what thumbnails leave behind), then "file NAME MS" lines.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "controller/MeishiServiceCtrl.h"
#include "support/Handles.h"
#include "tools/hostsim/ProcessMemory.h"

using namespace tessaran;

namespace {

std::vector<std::wstring> JpegFiles(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    UniqueFind find(::FindFirstFileW((folder + L"\\*.jpg").c_str(), &data));
    if (!find) return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (::FindNextFileW(find.get(), &data));
    std::sort(names.begin(), names.end());
    return names;
}

LONGLONG Now() {
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: thumbtimes FOLDER\n");
        return 2;
    }
    ComInit com;
    try {
        const std::wstring folder = argv[1];
        const std::vector<std::wstring> names = JpegFiles(folder);
        LARGE_INTEGER frequency;
        ::QueryPerformanceFrequency(&frequency);
        CMeishiServiceCtrl ctrl;
        std::vector<double> times;
        int failed = 0;
        double total = 0;
        unsigned long long first = 0;
        for (const std::wstring& name : names) {
            const std::wstring path = folder + L"\\" + name;
            std::wstring thumbnail;
            const LONGLONG begin = Now();
            const HRESULT hr = ctrl.CreateThumbnailImage(path.c_str(), thumbnail);
            const double spent = static_cast<double>(Now() - begin) * 1000.0 / frequency.QuadPart;
            if (FAILED(hr)) ++failed;
            if (!thumbnail.empty()) ::DeleteFileW(thumbnail.c_str());
            times.push_back(spent);
            total += spent;
            if (times.size() == 1) first = hostsim::PrivateBytes();
        }
        std::printf("thumbnails: files=%u failed=%d total_ms=%.3f\n", static_cast<unsigned>(names.size()), failed,
                    total);
        std::printf("memory first=%llu last=%llu\n", first, hostsim::PrivateBytes());
        for (size_t i = 0; i < names.size(); ++i) {
            std::printf("file %ls %.3f\n", names[i].c_str(), times[i]);
        }
        return failed ? 1 : 0;
    } catch (...) {
        std::fprintf(stderr, "thumbtimes: out of memory\n");
        return 2;
    }
}
