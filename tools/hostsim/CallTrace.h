// A record of what the plug-in spends its time on, for the benchmark: the
// calls it makes into WinINet, the messages it sends or posts (the progress
// dialog), its waits and pauses, its file reads, and each line its log
// library writes, every one with its begin and end on the performance
// counter and the thread that made it; and before each card's OCR request,
// the host's private bytes and working set.
//
// It works by replacing entries of the loaded modules' import tables, so the
// plug-in runs unchanged. Events go through a fixed buffer into the file as
// they come, so that tracing neither grows the host's memory with the
// length of the run nor holds much back for the end.
#pragma once

#include <windows.h>

#include <string>

namespace hostsim {

// Starts recording into path (created anew): the calls of plugin and the
// lines of logLibrary (may be null). False with a message when it cannot.
bool StartCallTrace(HMODULE plugin, HMODULE logLibrary, const std::wstring& path, std::wstring& error);

// Whether a trace is being recorded.
bool CallTraceActive();

// Marks a span of the host's own (for instance one Execute call).
class TraceSpan {
public:
    explicit TraceSpan(const char* what);
    ~TraceSpan();
    TraceSpan(const TraceSpan&) = delete;
    TraceSpan& operator=(const TraceSpan&) = delete;

private:
    const char* m_what;
    LONGLONG m_begin;
};

// Writes what is still buffered; the trace goes on.
void FlushCallTrace();

}  // namespace hostsim
