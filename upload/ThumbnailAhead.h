// Thumbnails made one file ahead on a thread of their own, while the run's
// thread waits for the network: a card then costs about the larger of its
// requests and its thumbnail, not their sum.
//
// The thread only makes pictures in memory. It logs nothing, writes no file
// and sees no list: the run's thread hands it a path, takes the picture back
// and stores it (with the log lines) exactly where it would have made it.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "controller/ThumbnailPicture.h"
#include "support/Handles.h"

namespace tessaran {

class ThumbnailAhead {
public:
    // Starts the thread. Without one (it could not be started), every
    // thumbnail is made on the caller's thread when it is taken.
    ThumbnailAhead() noexcept;
    // Ends the thread and waits for it: a picture under way is finished and dropped.
    ~ThumbnailAhead();
    ThumbnailAhead(const ThumbnailAhead&) = delete;
    ThumbnailAhead& operator=(const ThumbnailAhead&) = delete;

    // Has the thread start on path's picture, unless it is already on it. A
    // picture of another path that was not taken is dropped first.
    void Begin(const wchar_t* path) noexcept;
    // path's picture: the one begun, else one made now on this thread.
    void Take(const wchar_t* path, ThumbnailPicture& picture) noexcept;

    bool HasThread() const noexcept { return static_cast<bool>(m_thread); }
    // Threads of this class running in the process (for leak checks).
    static LONG RunningThreads() noexcept;

private:
    static DWORD WINAPI ThreadStart(void* parameter) noexcept;
    void Work() noexcept;
    // Waits for the picture handed over and hands the slot back to this thread.
    void Finish() noexcept;

    // Owned by the caller's thread except between Begin and Finish, when the
    // thread works on them; the events order every access.
    std::wstring m_path;
    ThumbnailPicture m_picture;
    bool m_handedOver = false;

    std::atomic<bool> m_stop{false};
    UniqueHandleNull m_wake;  // a path is waiting, or the thread is to end
    UniqueHandleNull m_done;  // the thread is ready, or its picture is
    UniqueHandleNull m_thread;
};

}  // namespace tessaran
