// Time measures shared by the benchmarks: processor seconds of the process
// (less disturbed by a busy machine than the wall clock) and the median.
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <vector>

inline double cpu_seconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           1e-6 * (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Processor time of the calling thread: the machine is shared, and time spent
// waiting for the processor would be counted against whichever loop waited.
inline double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
