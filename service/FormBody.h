// A multipart/form-data body, measured once and written for every attempt to
// send it. Each file is read once when its part is added and written from
// that copy, so a file that changes on disk between measuring and writing
// can never make the body outgrow its buffer.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/Handles.h"

namespace tessaran {

class CFormBody {
public:
    explicit CFormBody(const char* boundary) : m_boundary(boundary) {}

    // A text part; a null value gives an empty one.
    void AddField(const char* name, const char* value);
    // A file part read now from `path`. Returns the file writer's code; on a
    // failure (-3, -6) the body goes out without this part.
    int AddFile(const char* name, const char* fileName, const wchar_t* path);

    // The bytes of all parts and the closing delimiter.
    uint64_t Measure() const noexcept;
    // Writes the whole body to `destination` (Measure() bytes of room);
    // returns the bytes written.
    DWORD Write(char* destination) const noexcept;

private:
    struct Part {
        bool isFile;
        std::string name;
        std::string value;      // text parts
        std::string fileName;   // file parts
        UniqueHGlobal content;  // file parts; null for empty content
        DWORD length;
    };
    std::string m_boundary;
    std::vector<Part> m_parts;
};

}  // namespace tessaran
