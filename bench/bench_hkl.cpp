// (h, k, l) analyses on a 2048 x 2048 image: the whole %H command (geometry,
// formatting and writing the .map file) beside a yardstick measured in the same
// run, writing the same number of lines of four numbers with snprintf; then %P
// with m = 50 on an image with 60 spots over a noisy background.
//
// Usage: bench_hkl [directory for the output files]   (default /tmp)
#include "7c_cry.hpp"
#include "bench_clock.hpp"
#include "zd_map.hpp"
#include "zd_pks.hpp"
#include "zd_settings.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int32_t kSide = 2048;
constexpr int kRepeats = 3;

IMG make_image(const std::string& name, bool spots) {
    IMG img;
    img.nx = img.ny = kSide;
    img.size = kSide * kSide;
    img.x_bind = img.y_bind = 1;
    img.name = name;
    img.data.resize(static_cast<size_t>(img.size));
    std::mt19937 rng(5);
    for (int32_t& v : img.data)
        v = static_cast<int32_t>(rng() % 40);
    if (spots)
        for (int s = 0; s < 60; ++s) {
            const int32_t cx = 20 + static_cast<int32_t>(rng() % (kSide - 40));
            const int32_t cy = 20 + static_cast<int32_t>(rng() % (kSide - 40));
            const int32_t peak = 2000 + static_cast<int32_t>(rng() % 20000);
            for (int32_t y = -6; y <= 6; ++y)
                for (int32_t x = -6; x <= 6; ++x)
                    img.data[static_cast<size_t>(cy + y) * kSide + cx + x] += peak / (1 + x * x + y * y);
        }
    return img;
}

void set_geometry(GeometryState& geo) {
    geo_set_defaults(geo);
    const double ub[9] = {0.21, -0.04, 0.03, 0.05, 0.18, -0.02, -0.06, 0.02, 0.24};
    std::copy(ub, ub + 9, geo.mat_ub);
    const double setting[9] = {0, 8.5, -12, 30, 14, 5, 1500, 0, 0};
    std::copy(setting, setting + 9, geo.goniometer);
    geo.lambda = 0.7;
    run.scale_det[0] = run.scale_det[3] = 0.1;
}

// The same lines and file size as the map, formatted by snprintf.
double yardstick(const std::string& path, const IMG& img) {
    std::FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) return -1;
    std::string block;
    char line[256];
    const double t0 = thread_cpu_seconds();
    for (int32_t p = 0; p < img.size; ++p) {
        const double h = 0.001 * (p % 4093) - 2.0, k = 0.0007 * (p % 3001) + 0.3, l = -0.0003 * (p % 997);
        const int n = std::snprintf(line, sizeof line, " %7.4lf %7.4lf %7.4lf %10ld\n", h, k, l,
                                    static_cast<long>(img.data[static_cast<size_t>(p)]));
        block.append(line, static_cast<size_t>(n));
        if (block.size() > (1u << 20)) {
            std::fwrite(block.data(), 1, block.size(), fp);
            block.clear();
        }
    }
    std::fwrite(block.data(), 1, block.size(), fp);
    std::fclose(fp);
    return thread_cpu_seconds() - t0;
}

} // namespace

int main(int argc, char** argv) {
    ProgramState job; // the messages of the engine go nowhere
    const ProgramScope bind(job);
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    GeometryState geo;
    set_geometry(geo);
    IMG map_image = make_image("bench_hkl", false);
    double best_map = 1e30, best_yard = 1e30;
    for (int r = 0; r < kRepeats; ++r) {
        double t0 = thread_cpu_seconds();
        hkl_map(geo, "", dir, map_image);
        best_map = std::min(best_map, thread_cpu_seconds() - t0);
        best_yard = std::min(best_yard, yardstick(dir + "/bench_hkl_yardstick.txt", map_image));
    }
    IMG peak_image = make_image("bench_pks", true);
    const std::vector<int32_t> before = peak_image.data;
    double t0 = thread_cpu_seconds();
    peaks(geo, "=50", dir, peak_image);
    const double pks = thread_cpu_seconds() - t0;

    const double ns = 1e9 / (static_cast<double>(kSide) * kSide);
    std::fprintf(stderr, "(h, k, l) analyses on %dx%d, best of %d runs, processor time\n", kSide, kSide,
                 kRepeats);
    std::fprintf(stderr, "  %%H (geometry, formatting, file)        : %8.2f ns/pixel\n", best_map * ns);
    std::fprintf(stderr, "  yardstick: snprintf of the same lines  : %8.2f ns/pixel  ratio %6.2f\n",
                 best_yard * ns, best_yard / best_map);
    std::fprintf(stderr, "  target: %%H at most 150 ns/pixel\n");
    std::fprintf(stderr, "  %%P=50 with 60 spots                    : %8.1f ms, image restored: %s\n",
                 pks * 1e3, before == peak_image.data ? "yes" : "NO");
    return 0;
}
