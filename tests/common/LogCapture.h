// Collects the diagnostic log lines written while it lives, with the thread
// that wrote each.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "support/Log.h"

namespace tessaran_test {

class LogCapture {
public:
    LogCapture() {
        Lines().clear();
        Threads().clear();
        tessaran::SetLogObserverForTest(&Observe);
    }
    ~LogCapture() { tessaran::SetLogObserverForTest(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<std::pair<int, std::wstring>>& lines() const { return Lines(); }
    // The thread of each line, in the same order.
    const std::vector<DWORD>& threads() const { return Threads(); }
    bool Has(int level, const std::wstring& line) const {
        for (const auto& entry : Lines()) {
            if (entry.first == level && entry.second == line) return true;
        }
        return false;
    }
    int Count(const std::wstring& line) const {
        int n = 0;
        for (const auto& entry : Lines()) n += entry.second == line ? 1 : 0;
        return n;
    }
    void Clear() {
        Lines().clear();
        Threads().clear();
    }

private:
    static std::vector<std::pair<int, std::wstring>>& Lines() {
        static std::vector<std::pair<int, std::wstring>> lines;
        return lines;
    }
    static std::vector<DWORD>& Threads() {
        static std::vector<DWORD> threads;
        return threads;
    }
    static void Observe(int level, const wchar_t* line) {
        Lines().emplace_back(level, line);
        Threads().push_back(::GetCurrentThreadId());
    }
};

}  // namespace tessaran_test
