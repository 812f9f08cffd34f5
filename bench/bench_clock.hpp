// Time measures shared by the benchmarks: processor seconds of the process
// (less disturbed by a busy machine than the wall clock) and the median.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <vector>

inline double cpu_seconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           1e-6 * (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
