#include "upload/OcrAhead.h"

#include <atomic>
#include <new>

#include "upload/MeishiUpload.h"

namespace tessaran {

namespace {
std::atomic<LONG> g_held{0};
}  // namespace

LONG OcrAhead::Held() noexcept { return g_held.load(); }

OcrAhead::OcrAhead(CMeishiUpload& upload, int depth) noexcept : m_upload(upload) {
    for (int i = 0; i < depth; ++i) {
        std::unique_ptr<Slot> slot(new (std::nothrow) Slot);
        // Fewer places than asked only read fewer cards ahead.
        if (!slot) break;
        try {
            m_slots.push_back(std::move(slot));
        } catch (...) {
            break;
        }
    }
    if (m_slots.empty()) return;
    m_upload.m_Http.SetCompanions(this);
    m_upload.m_HttpOCR.SetCompanions(this);
}

OcrAhead::~OcrAhead() {
    Abandon();
    if (m_slots.empty()) return;
    m_upload.m_Http.SetCompanions(nullptr);
    m_upload.m_HttpOCR.SetCompanions(nullptr);
}

bool OcrAhead::Full() const noexcept {
    for (const auto& slot : m_slots) {
        if (slot->index < 0) return false;
    }
    return true;
}

bool OcrAhead::MayBegin() const noexcept {
    return !m_slots.empty() && !m_stalled && !m_upload.Cancelled() && !m_upload.TimedOut();
}

OcrAhead::Slot* OcrAhead::Find(INT_PTR index) noexcept {
    for (auto& slot : m_slots) {
        if (slot->index == index) return slot.get();
    }
    return nullptr;
}

void OcrAhead::Free(Slot& slot) noexcept {
    if (slot.index < 0) return;
    slot.reading.Abandon();
    slot.index = -1;
    --g_held;
}

void OcrAhead::Begin(INT_PTR index, const wchar_t* imagePath, int language) noexcept {
    if (!MayBegin() || Find(index)) return;
    Slot* slot = Find(-1);
    if (!slot) return;
    slot->index = index;
    ++g_held;
    slot->reading.Begin(m_upload.m_HttpOCR, imagePath, language, true);
}

bool OcrAhead::Take(INT_PTR index, std::string* response, int* result) noexcept {
    for (auto& slot : m_slots) {
        if (slot->index >= 0 && slot->index < index) Free(*slot);
    }
    Slot* slot = Find(index);
    if (!slot || index < 0) return false;
    const CHttpOCR& client = m_upload.m_HttpOCR;
    while (!slot->reading.Done()) {
        AsyncRequest* out[MAXIMUM_WAIT_OBJECTS - 1];
        const size_t count = Waiting(out, MAXIMUM_WAIT_OBJECTS - 2);
        if (count == 0) break;
        WaitForRequests(out, count, client.CancelEvent(), client.PumpsMessages());
        Advance();
    }
    *result = slot->reading.Finish(response);
    Free(*slot);
    return true;
}

void OcrAhead::Abandon() noexcept {
    for (auto& slot : m_slots) Free(*slot);
}

size_t OcrAhead::Waiting(AsyncRequest** into, size_t room) noexcept {
    size_t count = 0;
    for (auto& slot : m_slots) {
        if (count == room) break;
        if (slot->index < 0) continue;
        if (AsyncRequest* out = slot->reading.Out()) into[count++] = out;
    }
    return count;
}

void OcrAhead::Advance() noexcept {
    // Whatever woke the run's thread, after the user's cancel nothing held
    // goes on: a reading not out at this moment is given up too.
    const bool cancelled = m_upload.Cancelled();
    for (auto& slot : m_slots) {
        if (cancelled && slot->index >= 0) slot->reading.Abandon();
        if (slot->index < 0 || slot->reading.Done()) continue;
        slot->reading.Advance();
        if (slot->reading.Done() && slot->reading.TimedOut()) m_stalled = true;
    }
}

}  // namespace tessaran
