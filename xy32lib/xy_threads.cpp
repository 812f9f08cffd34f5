// Thread counts and the bookkeeping of parallel runs (OpenMP from the compiler).
#include "xy_threads.hpp"

#ifndef ZANDOR_STD_THREADS
#include <omp.h>
#endif
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

int32_t xy_available_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(1, CPU_COUNT(&set));
}

int32_t xy_default_threads() {
    const char* text = std::getenv("ZANDOR_THREADS");
    if (text && *text) {
        char* end = nullptr;
        const long n = std::strtol(text, &end, 10);
        if (*end == '\0' && n >= 1 && n <= kXyMaxThreads) return static_cast<int32_t>(n);
    }
    return xy_available_cpus();
}

namespace xy_threads_detail {

#ifdef ZANDOR_STD_THREADS
namespace {
thread_local int32_t thread_index = 0;
std::mutex failure_lock;
} // namespace

void set_thread_index(int32_t t) {
    thread_index = t;
}
#else
void set_thread_index(int32_t) {}

int32_t threads_in_team() {
    return omp_get_num_threads();
}
#endif

int32_t team_size(int32_t threads, int64_t pieces) {
    return static_cast<int32_t>(std::max<int64_t>(1, std::min<int64_t>(threads, pieces)));
}

void note_failure(int64_t& first, int64_t piece) {
#ifdef ZANDOR_STD_THREADS
    const XyLock lock(failure_lock);
#else
#pragma omp critical(xy_threads_failure)
#endif
    if (first < 0 || piece < first) first = piece;
}

} // namespace xy_threads_detail

int32_t xy_thread_index() {
#ifdef ZANDOR_STD_THREADS
    return xy_threads_detail::thread_index;
#else
    return omp_get_thread_num();
#endif
}
