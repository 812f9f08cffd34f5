// The threads a job may use, and the one way the library runs work on them:
// a fixed list of pieces handed out to at most that many threads. Results never
// depend on how many threads ran: every piece is defined without regard to the
// thread count, and whatever pieces give back is combined by the caller in
// piece order. Worker threads report nothing (messages need the job's thread):
// a piece that fails is named by run_pieces, and the caller replays its work on
// the job's thread, where the failure raises its one report.
#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#ifdef ZANDOR_STD_THREADS
#include <atomic>
#include <thread>
#include <vector>
#endif

// The processors this process may run on (its CPU affinity); at least 1.
int32_t xy_available_cpus();
// The thread count a job starts from: ZANDOR_THREADS from the environment when
// it holds a whole number from 1 to 1024, else xy_available_cpus().
int32_t xy_default_threads();
// The highest THREADS accepted.
constexpr int32_t kXyMaxThreads = 1024;

// The thread running a piece, from 0 (0 outside a parallel run).
int32_t xy_thread_index();

namespace xy_threads_detail {
// Runs body(p) for p in [0, pieces) on `threads` threads (fewer when there are
// fewer pieces), pieces handed out in increasing order in runs of `chunk`.
// Returns the first piece that threw, or -1.
template <class Body> int64_t run(int32_t threads, int64_t pieces, int64_t chunk, Body& body);
} // namespace xy_threads_detail

// body(p) for every piece p in [0, pieces), each piece run once on some thread;
// with threads <= 1 or a single piece, on the calling thread in order.
// Returns -1, or the lowest piece whose body threw (its exception is dropped:
// the caller replays that work on the job's thread). Pieces after a failed one
// may have run.
template <class Body> int64_t xy_run_pieces(int32_t threads, int64_t pieces, Body&& body) {
    return xy_threads_detail::run(threads, pieces, 1, body);
}

// The same with the pieces cut into one contiguous run per thread: thread t
// takes pieces [t * pieces / n, (t + 1) * pieces / n), in order. For work whose
// per-thread state moves forward through the pieces.
template <class Body> int64_t xy_run_ranges(int32_t threads, int64_t pieces, Body&& body) {
    return xy_threads_detail::run(threads, pieces, -1, body);
}

// Serialises the use of one resource that threads share (an open stream).
using XyLock = std::lock_guard<std::mutex>;

// ---------------------------------------------------------------- implementation
namespace xy_threads_detail {
int32_t team_size(int32_t threads, int64_t pieces);
// Lowers `first` to `piece` when it is lower (several threads may fail).
void note_failure(int64_t& first, int64_t piece);
// The std::thread runs number their threads themselves.
void set_thread_index(int32_t t);
// The threads of the running parallel region (OpenMP may give fewer than asked).
int32_t threads_in_team();

template <class Body> int64_t run(int32_t threads, int64_t pieces, int64_t chunk, Body& body) {
    int64_t failed = -1;
    const int32_t team = team_size(threads, pieces);
    if (team <= 1) {
        for (int64_t p = 0; p < pieces; ++p) {
            try {
                body(p);
            } catch (...) {
                return p;
            }
        }
        return -1;
    }
    auto guarded = [&](int64_t p) {
        try {
            body(p);
        } catch (...) {
            note_failure(failed, p);
        }
    };
#ifdef ZANDOR_STD_THREADS
    std::atomic<int64_t> next{0};
    auto worker = [&](int32_t t) {
        set_thread_index(t);
        if (chunk > 0)
            for (int64_t p = next++; p < pieces; p = next++)
                guarded(p);
        else
            for (int64_t p = t * pieces / team; p < (t + 1) * pieces / team; ++p)
                guarded(p);
        set_thread_index(0);
    };
    std::vector<std::thread> others;
    for (int32_t t = 1; t < team; ++t)
        others.emplace_back(worker, t);
    worker(0);
    for (std::thread& t : others)
        t.join();
#else
    if (chunk > 0) {
#pragma omp parallel for num_threads(team) schedule(dynamic, 1)
        for (int64_t p = 0; p < pieces; ++p)
            guarded(p);
    } else {
#pragma omp parallel num_threads(team)
        {
            const int64_t t = xy_thread_index();
            const int64_t n = threads_in_team();
            for (int64_t p = t * pieces / n; p < (t + 1) * pieces / n; ++p)
                guarded(p);
        }
    }
#endif
    return failed;
}
} // namespace xy_threads_detail
