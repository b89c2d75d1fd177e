// Measuring helpers the benchmarks share.
#pragma once

#include <malloc.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <string>

namespace bench_detail {
// A "Vm…:  N kB" line of /proc/self/status in megabytes; negative when absent.
inline double StatusMegabytes(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line))
        if (line.compare(0, prefix.size(), prefix) == 0) return std::stod(line.substr(prefix.size())) / 1024.0;
    return -1.0;
}
}  // namespace bench_detail

// Peak resident memory of the process so far, or since the last
// ResetPeakMemory().
inline double PeakMegabytes() {
    const double hwm = bench_detail::StatusMegabytes("VmHWM");
    if (hwm >= 0.0) return hwm;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

// Hands memory the allocator keeps after frees back to the system, so that
// the resident memory counts only what is in use.
inline void ReleaseFreeMemory() { malloc_trim(0); }

inline double ResidentMegabytes() { return bench_detail::StatusMegabytes("VmRSS"); }

// Lets the kernel forget the peak so far, so that PeakMegabytes() minus the
// resident memory before an operation is what the operation added at its
// peak.  False where the kernel does not allow it.
inline bool ResetPeakMemory() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return bool(clear.flush());
}

// Starts measuring what an operation adds at its peak: hands freed memory
// back, lets the kernel forget the peak so far, and returns the resident
// size to subtract from PeakMegabytes() afterwards.
inline double StartPeakMeasure() {
    ReleaseFreeMemory();
    ResetPeakMemory();
    return ResidentMegabytes();
}

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU time of every thread of the process: unlike wall time it does not grow
// when other processes share the cores.
inline double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// CPU time of the calling thread alone.  In a parallel operation the caller
// takes its share of the tasks and waits for the rest, so its CPU time is
// close to the operation's critical path even when other processes share
// the cores.
inline double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}
