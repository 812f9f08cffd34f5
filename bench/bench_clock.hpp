// Time measures shared by the benchmarks: processor seconds of the process
// (less disturbed by a busy machine than the wall clock) and the median.
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
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

// Wall-clock seconds, for work shared among threads.
inline double wall_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The yardstick of the per-pixel geometry: sqrtf and atan2f for every pixel of
// a side x side image around its middle, summed into `sum` (so that the loop
// is not optimised away). Returns the processor seconds it took.
inline double sqrt_atan2_yardstick(int32_t side, float& sum) {
    const double start = thread_cpu_seconds();
    const int32_t middle = side / 2;
    float total = 0.0f;
    for (int32_t y = 0; y < side; ++y) {
        const float dy = static_cast<float>(y - middle + 0.5);
        for (int32_t x = 0; x < side; ++x) {
            const float dx = static_cast<float>(x - middle + 0.5);
            total += std::sqrt(dx * dx + dy * dy) + std::atan2(dy, dx);
        }
    }
    sum = total;
    return thread_cpu_seconds() - start;
}
