// Powder profile benchmark: a 2048 x 2048 image with the solid-angle and
// polarisation corrections, one-off (the geometry of every pixel computed in
// the call, nothing kept from an earlier one), in 2θ and in q; then a second
// image of the same geometry; and the whole %Q command (the .xy file written,
// no plot), all on one thread. Beside them, in the same run, the sqrtf+atan2f
// yardstick. Each is timed three times and the fastest is reported, in
// processor time per pixel; then the profile in 2θ in wall-clock time at
// THREADS 1 and 2.
#include "bench_clock.hpp"
#include "bench_image.hpp"
#include "xy_powder.hpp"
#include "zd_driver.hpp"
#include "zd_powder.hpp"

#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int32_t kSide = 2048;
constexpr int kRepeats = 3;

template <class F> double best_of(F&& f, double (*clock)() = thread_cpu_seconds) {
    double best = 1e30;
    for (int i = 0; i < kRepeats; ++i) {
        const double start = clock();
        f();
        best = std::min(best, clock() - start);
    }
    return best;
}

} // namespace

int main() {
    const ProgramScope scope(drv.job.program); // the library's messages and files of this run
    char dir[] = "/tmp/bench_powder_XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) return 1;
    const IMG first = bench_ring_image(kSide, 1000.3, 1050.7, 12345);
    const IMG second = bench_ring_image(kSide, 1000.3, 1050.7, 777);
    PowderGeometry g;
    g.distance = 200.0;
    g.pixel[0] = g.pixel[1] = 0.172;
    g.centre[0] = 1000.3;
    g.centre[1] = 1050.7;
    g.wavelength = 0.7;
    PowderOptions o;
    o.solid_angle = o.polarisation = true;
    o.polarisation_factor = 0.99;
    size_t filled = 0;
    const double two_theta = best_of([&] { filled = powder_profile(first, g, o).filled.size(); });
    o.unit = PowderUnit::q_angstrom;
    const double q = best_of([&] { powder_profile(first, g, o); });
    const double again = best_of([&] { powder_profile(second, g, o); });
    powder_set.distance = 200.0;
    powder_set.distance_given = powder_set.pixel_size_given = powder_set.beam_center_given = true;
    powder_set.pixel_size[0] = powder_set.pixel_size[1] = 0.172;
    powder_set.beam_center[0] = 1000.3;
    powder_set.beam_center[1] = 1050.7;
    powder_set.solid_angle = 1;
    powder_set.polarisation = 0.99;
    powder_set.polarisation_given = true;
    powder_set.plot = 0;
    drv.job.reading.threads = 1;
    const double command = best_of([&] { powder("", "", first, 0.7); }); // report lines on stdout
    float yard_sum = 0.0f;
    const double yard = best_of([&] { sqrt_atan2_yardstick(kSide, yard_sum); });

    o.unit = PowderUnit::two_theta;
    double wall[2] = {0.0, 0.0}; // THREADS 1 and 2
    for (int32_t threads = 1; threads <= 2; ++threads) {
        o.threads = threads;
        wall[threads - 1] = best_of([&] { powder_profile(first, g, o); }, wall_seconds);
    }

    const double pixels = static_cast<double>(kSide) * kSide;
    std::fprintf(stderr,
                 "powder profile, %d x %d, solid angle and polarisation, best of %d (processor time)\n",
                 kSide, kSide, kRepeats);
    std::fprintf(stderr, "profile in 2theta           %6.2f ns/pixel   %zu bins filled\n",
                 two_theta * 1e9 / pixels, filled);
    std::fprintf(stderr, "profile in q                %6.2f ns/pixel\n", q * 1e9 / pixels);
    std::fprintf(stderr, "second image, same geometry %6.2f ns/pixel\n", again * 1e9 / pixels);
    std::fprintf(stderr, "%%Q whole command (.xy)      %6.2f ns/pixel\n", command * 1e9 / pixels);
    std::fprintf(stderr, "2theta, wall clock, THREADS 1 %6.2f ns/pixel, THREADS 2 %6.2f ns/pixel\n",
                 wall[0] * 1e9 / pixels, wall[1] * 1e9 / pixels);
    std::fprintf(stderr, "yardstick sqrtf+atan2f      %6.2f ns/pixel   sum %.6g\n", yard * 1e9 / pixels,
                 static_cast<double>(yard_sum));
    std::remove("bench.xy");
    if (chdir("/") == 0) rmdir(dir);
    return 0;
}
