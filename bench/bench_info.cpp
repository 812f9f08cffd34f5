// Times the image statistics (xy_info) of a 2048 x 2048 raw sum of 100 frames
// with a few pixels short of frames, beside a yardstick measured in the same
// run: one pass that only adds up the pixel and frame-count planes.
//
// Usage: bench_info [reps]
#include "bench_clock.hpp"
#include "xy_lib.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

IMG raw_sum_image() {
    IMG img;
    img.nx = img.ny = 2048;
    img.size = img.nx * img.ny;
    img.frames = 100;
    std::mt19937 rng(1);
    std::poisson_distribution<int32_t> counts(30000);
    img.data.resize(static_cast<size_t>(img.size));
    img.frame.assign(static_cast<size_t>(img.size), 100);
    for (auto& v : img.data)
        v = counts(rng);
    std::uniform_int_distribution<int32_t> pixel(0, img.size - 1);
    for (int i = 0; i < 2000; ++i)
        img.frame[static_cast<size_t>(pixel(rng))] = 99;
    return img;
}

template <class F> double seconds_of(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv) {
    ProgramState job; // the messages of the engine go nowhere
    const ProgramScope bind(job);
    const int reps = argc > 1 ? std::atoi(argv[1]) : 20;
    IMG img = raw_sum_image();
    std::vector<double> info, planes;
    long long check = 0;
    for (int r = 0; r < reps; ++r) {
        info.push_back(seconds_of([&] { xy_info(img, 0); }));
        planes.push_back(seconds_of([&] {
            long long s = 0;
            for (size_t i = 0; i < img.data.size(); ++i)
                s += img.data[i] + img.frame[i];
            check += s;
        }));
    }
    std::printf("xy_info of 2048 x 2048: median %.2f ms; reading its two planes once: %.2f ms; ratio %.2f\n",
                1e3 * median(info), 1e3 * median(planes), median(info) / median(planes));
    std::printf("mean %.1f sigma %.1f (check %lld)\n", img.mean, img.sigma, check);
    return 0;
}
