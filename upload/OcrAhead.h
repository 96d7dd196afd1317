// The OCR requests of the cards after the one being sent, out while the run
// works on that card (its sync ID, thumbnail, registration, back, report):
// at most `depth` at once, each on a connection of its own, begun in list
// order. The run's thread drives them whenever it waits for any request (they
// are both clients' companions) and takes each answer when it reaches that
// card, in list order. Only then does what the request met count for the
// pass: a reading that failed fails its card there, with the card's own log
// line, and one that ran out of time ends the pass at its card, as if that
// card had sent it.
//
// It holds at most `depth` readings (an image each while out, an answer each
// once answered); the cancel, the end of the pass and the destructor give up
// every one still held.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "service/AsyncRequest.h"
#include "service/HttpOCR.h"

namespace tessaran {

class CMeishiUpload;

class OcrAhead : public RequestCompanions {
public:
    // With depth 0 nothing is read ahead and nothing is driven.
    OcrAhead(CMeishiUpload& upload, int depth) noexcept;
    // Gives up what is still held.
    ~OcrAhead();
    OcrAhead(const OcrAhead&) = delete;
    OcrAhead& operator=(const OcrAhead&) = delete;

    int Depth() const noexcept { return static_cast<int>(m_slots.size()); }
    bool Full() const noexcept;
    // Whether new readings may go out: not after the user's cancel, nor once
    // a reading or a request of the pass ran out of time.
    bool MayBegin() const noexcept;
    // Sends the reading of the front at `index` in the list, unless it is
    // out already or there is no room.
    void Begin(INT_PTR index, const wchar_t* imagePath, int language) noexcept;
    // The answer of the front at `index` as Post_cardocr gives it, waited for
    // if still out; its place is freed. Readings of fronts before it (which
    // the run passed by) are given up. False when its reading is not held:
    // the caller reads it itself.
    bool Take(INT_PTR index, std::string* response, int* result) noexcept;
    // Gives up every reading held.
    void Abandon() noexcept;

    size_t Waiting(AsyncRequest** into, size_t room) noexcept override;
    void Advance() noexcept override;

    // Readings held in the process, out or answered (for leak checks).
    static LONG Held() noexcept;

private:
    struct Slot {
        INT_PTR index = -1;  // of the front; -1 when free
        COcrReading reading;
    };

    Slot* Find(INT_PTR index) noexcept;
    void Free(Slot& slot) noexcept;

    CMeishiUpload& m_upload;
    std::vector<std::unique_ptr<Slot>> m_slots;
    bool m_stalled = false;  // a reading ran out of time: the service stalls
};

}  // namespace tessaran
