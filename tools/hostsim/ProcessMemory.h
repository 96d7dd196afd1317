// The counters a host's memory and processor time are judged by, for the
// host simulator and the benchmark's programs.
#pragma once

#include <windows.h>
#include <psapi.h>

namespace hostsim {

struct ProcessMemory {
    unsigned long long workingSet = 0;
    unsigned long long peakWorkingSet = 0;
    unsigned long long privateBytes = 0;
    unsigned long long peakPrivateBytes = 0;
};

// This process's counters; false when they cannot be read. Wine leaves
// PrivateUsage at 0 and keeps the private commit in PagefileUsage, which
// Windows reports as the same number.
inline bool ReadProcessMemory(ProcessMemory& memory) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof(counters))) {
        return false;
    }
    memory.workingSet = counters.WorkingSetSize;
    memory.peakWorkingSet = counters.PeakWorkingSetSize;
    memory.privateBytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
    memory.peakPrivateBytes = counters.PeakPagefileUsage;
    return true;
}

// The processor time this process has used so far, in milliseconds, in user
// and in kernel mode; false when it cannot be read.
inline bool ReadProcessTimes(double& userMs, double& kernelMs) {
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return false;
    auto ms = [](const FILETIME& time) {
        return static_cast<double>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime) /
               10000.0;
    };
    userMs = ms(user);
    kernelMs = ms(kernel);
    return true;
}

// This process's private bytes; 0 when they cannot be read.
inline unsigned long long PrivateBytes() {
    ProcessMemory memory;
    return ReadProcessMemory(memory) ? memory.privateBytes : 0;
}

}  // namespace hostsim
