// The part writers of a multipart/form-data body and the body that is
// measured once and written for every attempt.

#include <cstring>
#include <limits>

#include "service/FormBody.h"
#include "service/HttpBase.h"

namespace tessaran {

namespace {

constexpr char kDispositionHead[] = "\r\nContent-Disposition: form-data; name=\"";
constexpr char kFieldTail[] = "\"\r\n\r\n";
constexpr char kFileNameHead[] = "\"; filename=\"";
constexpr char kFileTail[] =
    "\"\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n";
constexpr char kLineEnd[] = "\r\n";

// Appends bytes at *cursor when writing; always counts them.
class PieceWriter {
public:
    explicit PieceWriter(char* destination) : m_cursor(destination) {}
    void Put(const void* bytes, size_t count) {
        if (m_cursor && count) {
            std::memcpy(m_cursor, bytes, count);
            m_cursor += count;
        }
        m_total += count;
    }
    void Put(const char* text) { Put(text, std::strlen(text)); }
    uint64_t Total() const { return m_total; }

private:
    char* m_cursor;
    uint64_t m_total = 0;
};

// Reads a whole file into a new movable block (none for an empty file);
// 0, -3 (missing, not openable, not readable) or -6 (4 GiB or more, no memory).
int ReadWholeFile(const wchar_t* path, UniqueHGlobal* block, DWORD* length) noexcept {
    block->reset();
    *length = 0;
    if (::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return kServiceBadArgument;
    UniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return kServiceBadArgument;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size)) return kServiceBadArgument;
    if (size.QuadPart >= 0x100000000LL) return kServiceNoMemory;
    const DWORD expected = static_cast<DWORD>(size.QuadPart);
    if (expected == 0) return kServiceOk;
    UniqueHGlobal memory(::GlobalAlloc(GMEM_MOVEABLE, expected));
    if (!memory) return kServiceNoMemory;
    DWORD read = 0;
    {
        GlobalLockGuard lock(memory.get());
        if (!lock.get()) return kServiceNoMemory;
        if (!::ReadFile(file.get(), lock.get(), expected, &read, nullptr)) return kServiceBadArgument;
    }
    // A file that shrank since it was sized sends what was read, never more.
    *length = read;
    if (read) *block = std::move(memory);
    return kServiceOk;
}

int Finish(PieceWriter& piece, DWORD* size) {
    if (piece.Total() > std::numeric_limits<DWORD>::max()) return kServiceNoMemory;
    if (size) *size = static_cast<DWORD>(piece.Total());
    return kServiceOk;
}

}  // namespace

int CHttp_base::WriteFormField(char* destination, const char* boundary, const char* name, const char* value,
                               DWORD* size) noexcept {
    if (!boundary || !name) return kServiceBadArgument;
    if (size) *size = 0;
    PieceWriter piece(destination);
    piece.Put("--");
    piece.Put(boundary);
    piece.Put(kDispositionHead);
    piece.Put(name);
    piece.Put(kFieldTail);
    if (value) piece.Put(value);
    piece.Put(kLineEnd);
    return Finish(piece, size);
}

int CHttp_base::WriteFormFileData(char* destination, const char* boundary, const char* name,
                                  const char* fileName, const void* content, DWORD length, DWORD* size) noexcept {
    if (!boundary || !name || !fileName) return kServiceBadArgument;
    if (size) *size = 0;
    PieceWriter piece(destination);
    piece.Put("--");
    piece.Put(boundary);
    piece.Put(kDispositionHead);
    piece.Put(name);
    piece.Put(kFileNameHead);
    piece.Put(fileName);
    piece.Put(kFileTail);
    if (content) piece.Put(content, length);
    piece.Put(kLineEnd);
    return Finish(piece, size);
}

int CHttp_base::WriteFormFile(char* destination, const char* boundary, const char* name, const char* fileName,
                              const wchar_t* path, DWORD* size) noexcept {
    if (!boundary || !name || !fileName) return kServiceBadArgument;
    if (size) *size = 0;
    if (!path) return WriteFormFileData(destination, boundary, name, fileName, nullptr, 0, size);
    UniqueHGlobal content;
    DWORD length = 0;
    const int read = ReadWholeFile(path, &content, &length);
    if (read != kServiceOk) return read;
    GlobalLockGuard lock(content.get());
    if (content && !lock.get()) return kServiceNoMemory;
    return WriteFormFileData(destination, boundary, name, fileName, lock.get(), length, size);
}

int CHttp_base::WriteFormEnd(char* destination, const char* boundary, DWORD* size) noexcept {
    if (!boundary) return kServiceBadArgument;
    if (size) *size = 0;
    PieceWriter piece(destination);
    piece.Put("--");
    piece.Put(boundary);
    piece.Put("--\r\n");
    return Finish(piece, size);
}

void CFormBody::AddField(const char* name, const char* value) {
    Part part{};
    part.isFile = false;
    part.name = name ? name : "";
    part.value = value ? value : "";
    m_parts.push_back(std::move(part));
}

int CFormBody::AddFile(const char* name, const char* fileName, const wchar_t* path) {
    if (!name || !fileName) return kServiceBadArgument;
    Part part{};
    part.isFile = true;
    part.name = name;
    part.fileName = fileName;
    part.length = 0;
    if (path) {
        const int read = ReadWholeFile(path, &part.content, &part.length);
        if (read != kServiceOk) return read;
    }
    m_parts.push_back(std::move(part));
    return kServiceOk;
}

uint64_t CFormBody::Measure() const noexcept {
    uint64_t total = 0;
    for (const Part& part : m_parts) {
        DWORD size = 0;
        if (part.isFile) {
            // Measuring needs no content bytes, only their count.
            static const char kAny = 0;
            CHttp_base::WriteFormFileData(nullptr, m_boundary.c_str(), part.name.c_str(), part.fileName.c_str(),
                                          part.length ? &kAny : nullptr, part.length, &size);
        } else {
            CHttp_base::WriteFormField(nullptr, m_boundary.c_str(), part.name.c_str(), part.value.c_str(), &size);
        }
        total += size;
    }
    DWORD end = 0;
    CHttp_base::WriteFormEnd(nullptr, m_boundary.c_str(), &end);
    return total + end;
}

DWORD CFormBody::Write(char* destination) const noexcept {
    DWORD total = 0;
    for (const Part& part : m_parts) {
        DWORD size = 0;
        if (part.isFile) {
            GlobalLockGuard lock(part.content.get());
            if (part.content && !lock.get()) continue;  // the part is left out, as a failed writer would
            CHttp_base::WriteFormFileData(destination + total, m_boundary.c_str(), part.name.c_str(),
                                          part.fileName.c_str(), lock.get(), part.length, &size);
        } else {
            CHttp_base::WriteFormField(destination + total, m_boundary.c_str(), part.name.c_str(),
                                       part.value.c_str(), &size);
        }
        total += size;
    }
    DWORD end = 0;
    CHttp_base::WriteFormEnd(destination + total, m_boundary.c_str(), &end);
    return total + end;
}

}  // namespace tessaran
