// Times the statistics mode on one native series file beside its yardstick,
// both in the same run and alternated: (a) the summation with the cosmic
// arrays, (b) the same summation followed by the whole variance fit (one pass,
// its iterations, the scatter images). Prints the median times and their ratio.
//
// Usage: bench_stat FILE [reps]      (run it in a scratch directory: the fit
//                                     writes quorat000.kvf, ... there)
#include "bench_clock.hpp"
#include "kvf_lib.hpp"
#include "xy_lib.hpp"
#include "zd_stat.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Timing {
    double wall = 0.0;
    double cpu = 0.0;
    double fit = 0.0; // wall time of the fit alone
    int32_t frames = 0;
    int64_t pixels = 0;
};

// Sums the file with the squared sums, maxima and their frames; with `fit`
// the variance fit follows.
Timing run_once(const std::string& name, bool fit) {
    Timing t;
    const double c0 = cpu_seconds();
    const auto t0 = Clock::now();
    IMG img;
    img.hdr = kvf_open(name, "bench_stat");
    img.name = name;
    xy_getsum(img, nullptr, 0, 1, 1);
    t.frames = img.frames;
    t.pixels = img.size;
    if (fit) {
        const auto f0 = Clock::now();
        const IMG no_dark;
        zd_stat(img, false, no_dark, 0, 0.0f, 0);
        t.fit = seconds_since(f0);
    }
    t.wall = seconds_since(t0);
    t.cpu = cpu_seconds() - c0;
    return t;
}

} // namespace

int main(int argc, char** argv) {
    ProgramState job; // the messages of the engine go nowhere
    const ProgramScope bind(job);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [reps]\n", argv[0]);
        return 2;
    }
    const std::string name = argv[1];
    const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    stat_settings = StatSettings(); // one pass, scatter images at its first fit and at the end
    try {
        std::vector<double> sum_wall, sum_cpu, stat_wall, stat_cpu, fit_wall;
        Timing t;
        for (int r = 0; r < reps; ++r) {
            t = run_once(name, false);
            sum_wall.push_back(t.wall);
            sum_cpu.push_back(t.cpu);
            t = run_once(name, true);
            stat_wall.push_back(t.wall);
            stat_cpu.push_back(t.cpu);
            fit_wall.push_back(t.fit);
            std::printf("rep %d: summation with cosmic arrays %.3f s | summation + fit %.3f s (fit %.3f s)\n",
                        r, sum_wall.back(), stat_wall.back(), t.fit);
        }
        const double a = median(sum_wall), b = median(stat_wall);
        std::printf("bench_stat frames=%d pixels=%lld reps=%d sum_cosmic_median_s=%.3f stat_median_s=%.3f "
                    "fit_median_s=%.3f sum_cosmic_cpu_s=%.3f stat_cpu_s=%.3f ratio=%.2f\n",
                    t.frames, static_cast<long long>(t.pixels), reps, a, b, median(fit_wall), median(sum_cpu),
                    median(stat_cpu), b / a);
    } catch (const Fatal& f) {
        std::fputs(f.what(), stderr);
        return f.status;
    }
    return 0;
}
