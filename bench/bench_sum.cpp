// Times the frame summation of one native series file, plainly or with the
// cosmic arrays and the time-series test, and prints nanoseconds per
// pixel-frame, the peak memory and checksums that can be compared with the
// numpy yardstick's.
//
// Usage: bench_sum FILE [plain|cosmic] [reps]
#include "bench_clock.hpp"
#include "kvf_lib.hpp"
#include "xy_lib.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Timing {
    double sum_s = 0.0;    // kvf_open and xy_getsum
    double cosmic_s = 0.0; // xy_tcosmic
    double cpu_s = 0.0;    // processor time of both (user and system), which a busy machine disturbs less
    int32_t frames = 0;
    int64_t pixels = 0;
};

void print_checksums(const IMG& img) {
    long long sum_data = 0, sum_count = 0, sum_max = 0, sum_argmax = 0;
    double sum_sumq = 0.0;
    for (size_t i = 0; i < img.data.size(); ++i) {
        sum_data += img.data[i];
        sum_count += img.frame[i];
    }
    const bool cosmic = !img.cosmic.sumq.empty();
    if (cosmic)
        for (size_t i = 0; i < img.data.size(); ++i) {
            sum_sumq += img.cosmic.sumq[i];
            sum_max += img.cosmic.mval[i];
            sum_argmax += img.cosmic.mframe[i];
        }
    std::printf("checksum frames=%d sum_data=%lld sum_count=%lld nsat=%d", img.frames, sum_data, sum_count,
                img.n_saturated);
    if (cosmic) std::printf(" sum_sumq=%.6e sum_max=%lld sum_argmax=%lld", sum_sumq, sum_max, sum_argmax);
    std::printf("\n");
}

// One summation of the whole file, as a run does it: open, sum, test. The
// last repetition prints the checksums of the sums (before the test changes them).
Timing run_once(const std::string& name, bool cosmic, bool last) {
    using clock = std::chrono::steady_clock;
    IMG img;
    img.t_cosmic = 5;
    img.h_cosmic = 50;
    img.r_cosmic = 2;
    const double c0 = cpu_seconds();
    const auto t0 = clock::now();
    img.hdr = kvf_open(name, "bench_sum");
    xy_getsum(img, nullptr, 0, 1, cosmic ? 1 : 0);
    const auto t1 = clock::now();
    const double c1 = cpu_seconds();
    if (last) print_checksums(img);
    const double c2 = cpu_seconds();
    const auto t2 = clock::now();
    if (cosmic) xy_tcosmic(img, nullptr);
    const auto t3 = clock::now();
    const double c3 = cpu_seconds();
    if (last && cosmic) std::printf("cosmic hits removed by the time-series test: %d\n", img.n_time);
    return Timing{std::chrono::duration<double>(t1 - t0).count(),
                  std::chrono::duration<double>(t3 - t2).count(), (c1 - c0) + (c3 - c2), img.frames,
                  img.size};
}

} // namespace

int main(int argc, char** argv) {
    ProgramState job; // the messages of the engine go nowhere
    const ProgramScope bind(job);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [plain|cosmic] [reps]\n", argv[0]);
        return 2;
    }
    const std::string name = argv[1];
    const std::string mode = argc > 2 ? argv[2] : "cosmic";
    const int reps = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    const bool cosmic = mode == "cosmic";
    try {
        std::vector<double> total, summation, cpu;
        Timing t;
        for (int r = 0; r < reps; ++r) {
            t = run_once(name, cosmic, r == reps - 1);
            total.push_back(t.sum_s + t.cosmic_s);
            summation.push_back(t.sum_s);
            cpu.push_back(t.cpu_s);
            std::printf("rep %d: %.4f s (summation %.4f s, time-series test %.4f s), processor %.4f s\n", r,
                        t.sum_s + t.cosmic_s, t.sum_s, t.cosmic_s, t.cpu_s);
        }
        struct rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        const double pf = static_cast<double>(t.frames) * static_cast<double>(t.pixels);
        const double med = median(total);
        std::printf("bench_sum mode=%s frames=%d pixels=%lld reps=%d median_s=%.4f summation_median_s=%.4f "
                    "min_s=%.4f cpu_median_s=%.4f ns_per_pixel_frame=%.3f cpu_ns_per_pixel_frame=%.3f "
                    "peak_rss_mib=%.1f\n",
                    mode.c_str(), t.frames, static_cast<long long>(t.pixels), reps, med, median(summation),
                    *std::min_element(total.begin(), total.end()), median(cpu), med / pf * 1e9,
                    median(cpu) / pf * 1e9, usage.ru_maxrss / 1024.0);
    } catch (const Fatal& f) {
        std::fputs(f.what(), stderr);
        return f.status;
    }
    return 0;
}
