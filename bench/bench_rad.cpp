// Radial distribution benchmark: %R with 8 sectors on a 2048 x 2048 image
// (the whole command: centre, rings, sectors, sums, the .rad file written),
// beside a yardstick measured in the same run: a loop that computes sqrtf and
// atan2f for every pixel and sums them. Each is timed three times and the
// fastest is reported, in processor time per pixel. The written file's
// checksum and the number of pixels given to the arctangent are shown too.
#include "bench_clock.hpp"
#include "bench_image.hpp"
#include "zandor.hpp"
#include "zd_driver.hpp"
#include "zd_rad.hpp"
#include "zd_settings.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

constexpr int32_t kSide = 2048;
constexpr int kRepeats = 3;

uint64_t checksum(const std::string& path) {
    std::FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp) return 0;
    uint64_t h = 1469598103934665603ull;
    for (int c; (c = std::fgetc(fp)) != EOF;)
        h = (h ^ static_cast<uint64_t>(c)) * 1099511628211ull;
    std::fclose(fp);
    return h;
}

} // namespace

int main() {
    ProgramState job; // the messages of the engine go nowhere
    const ProgramScope bind(job);
    char dir[] = "/tmp/bench_rad_XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) return 1;
    IMG img = bench_ring_image(kSide, 1024.0, 1024.0, 12345);
    rad_set.n_sector = 8;
    rad_set.a_sector = -22.5f;
    // The command's own report lines go to standard output; the figures to stderr.
    double best_radial = 1e30, best_yard = 1e30;
    float yard_sum = 0.0f;
    for (int i = 0; i < kRepeats; ++i) {
        const double start = thread_cpu_seconds();
        radial("", "", img);
        best_radial = std::min(best_radial, thread_cpu_seconds() - start);
        best_yard = std::min(best_yard, sqrt_atan2_yardstick(kSide, yard_sum));
    }
    int64_t direct = 0;
    {
        const SectorFinder finder(8, -22.5f);
        int32_t hint = 0;
        for (int32_t y = 0; y < kSide; ++y)
            for (int32_t x = 0; x < kSide; ++x) {
                const float dx = static_cast<float>(x - 1024 + 0.5), dy = static_cast<float>(y - 1024 + 0.5);
                finder.find(dx, dy, std::sqrt(dx * dx + dy * dy), hint);
            }
        direct = finder.direct_count();
    }
    const double pixels = static_cast<double>(kSide) * kSide;
    std::fprintf(stderr, "%%R 8 sectors, %d x %d, best of %d (processor time)\n", kSide, kSide, kRepeats);
    std::fprintf(stderr, "radial (whole command)  %6.2f ns/pixel   .rad checksum %016llx\n",
                 best_radial * 1e9 / pixels, static_cast<unsigned long long>(checksum("bench.rad")));
    std::fprintf(stderr, "yardstick sqrtf+atan2f  %6.2f ns/pixel   sum %.6g\n", best_yard * 1e9 / pixels,
                 static_cast<double>(yard_sum));
    std::fprintf(stderr, "pixels placed by atan2f %lld of %.0f\n", static_cast<long long>(direct), pixels);
    std::remove("bench.rad");
    if (chdir("/") == 0) rmdir(dir);
    return 0;
}
