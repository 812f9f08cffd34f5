// Times the zones applied to every image of a series against the summation of
// one frame of the same size: 20 zones (circles of radius 50, rectangles,
// triangles) and a mask file on a 2048 x 2048 image. The first application
// reads the mask file; later ones reuse its decoded plane while the file is
// unchanged. The zones' counts are printed as a checksum.
//
// Usage: bench_excl [reps]   (cmake --build build --target bench_excl)
#include "gel_lib.hpp"
#include "xy_excl.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

ExclState excl;

constexpr int32_t kSide = 2048;

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

IMG square_image() {
    IMG img;
    img.name = "bench";
    img.x_max = img.y_max = kSide;
    img.x_bind = img.y_bind = 1;
    img.nx = img.ny = kSide;
    img.size = kSide * kSide;
    img.frames = 1;
    img.data.resize(static_cast<size_t>(img.size));
    for (int32_t i = 0; i < img.size; ++i)
        img.data[static_cast<size_t>(i)] = (i * 7) % 4000;
    img.frame.assign(static_cast<size_t>(img.size), 1);
    return img;
}

// One frame of detector counts, written as a 16-bit TIFF.
void write_frame(const std::string& name) {
    const IMG img = square_image();
    gel_write(img, name, ".tif", 1);
}

// A mask with a dead column and a dead corner, saved by the mask writer.
void write_mask(const std::string& name) {
    IMG img = square_image();
    for (int32_t y = 0; y < kSide; ++y)
        img.frame[static_cast<size_t>(y * kSide + 700)] = 0;
    for (int32_t y = 0; y < 64; ++y)
        for (int32_t x = 0; x < 64; ++x)
            img.frame[static_cast<size_t>(y * kSide + x)] = 0;
    excl_save(name, img, 0);
}

void declare_zones(const std::string& mask) {
    for (int k = 0; k < 8; ++k)
        excl_ini(excl, EXCL_CIRCLE,
                 std::to_string(200 + 200 * k) + " " + std::to_string(300 + 150 * k) + " 50 -1 QUIET");
    for (int k = 0; k < 6; ++k)
        excl_ini(excl, EXCL_RECT,
                 std::to_string(100 + 300 * k) + " 1500 " + std::to_string(180 + 300 * k) + " 1580 QUIET");
    for (int k = 0; k < 6; ++k) {
        const int x = 150 + 300 * k;
        excl_ini(excl, EXCL_TRIANGLE,
                 std::to_string(x) + " 1800 " + std::to_string(x + 100) + " 1800 " + std::to_string(x + 50) +
                     " 1900 7 QUIET");
    }
    excl_ini(excl, EXCL_FILE, mask);
}

double sum_one_frame(const std::string& name) {
    const auto t0 = std::chrono::steady_clock::now();
    IMG img;
    img.hdr = xy_open(name, "bench_excl", "", 0, 0);
    xy_getsum(img, nullptr, 0, 1, 0);
    return seconds_since(t0);
}

// Applies the zones to a fresh copy of `base`; returns the time and the
// switched-off pixels.
double apply_once(const IMG& base, int64_t& off) {
    IMG img;
    img.name = base.name;
    img.x_max = img.y_max = kSide;
    img.x_bind = img.y_bind = 1;
    img.nx = img.ny = kSide;
    img.size = base.size;
    img.data = base.data;
    img.frame = base.frame;
    const auto t0 = std::chrono::steady_clock::now();
    excl_image(excl, {}, img, 0);
    const double s = seconds_since(t0);
    off = std::count(img.frame.begin(), img.frame.end(), uint16_t{0});
    return s;
}

} // namespace

int main(int argc, char** argv) {
    ProgramState job; // the messages of the engine go nowhere
    const ProgramScope bind(job);
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    char dir[] = "/tmp/bench_excl_XXXXXX";
    if (!mkdtemp(dir)) return 2;
    const std::string frame = std::string(dir) + "/frame.tif", mask = std::string(dir) + "/mask.tif";
    // The library's report lines are not part of the measurement.
    if (!std::freopen("/dev/null", "w", stdout)) return 2;
    try {
        prg_state().name = "bench_excl";
        write_frame(frame);
        write_mask(mask);
        const IMG base = square_image();

        // A series: the zones are declared once and applied to every image.
        std::vector<double> sums, zones_only, first_reads, cached;
        int64_t off_zones = 0, off_all = 0;
        excl = ExclState();
        declare_zones(mask);
        excl.excluded.pop_back(); // the mask-file zone
        excl.n_excluded -= 1;
        for (int r = 0; r <= reps; ++r) {
            const double s = apply_once(base, off_zones);
            if (r > 0) zones_only.push_back(s); // the first one sizes the work arrays
        }
        excl = ExclState();
        declare_zones(mask);
        for (int r = 0; r < reps; ++r) {
            sums.push_back(sum_one_frame(frame));
            excl.masks.clear();
            first_reads.push_back(apply_once(base, off_all));
            cached.push_back(apply_once(base, off_all));
        }
        const double sum = median(sums);
        std::fprintf(stderr, "bench_excl %d x %d pixels, %d repetitions (median wall-clock times)\n", kSide,
                     kSide, reps);
        std::fprintf(stderr, "  summing one 16-bit frame (yardstick)   %8.2f ms\n", sum * 1e3);
        std::fprintf(stderr, "  20 zones                               %8.2f ms  %.3f of the yardstick\n",
                     median(zones_only) * 1e3, median(zones_only) / sum);
        std::fprintf(stderr, "  20 zones + mask file, file read        %8.2f ms  %.3f of the yardstick\n",
                     median(first_reads) * 1e3, median(first_reads) / sum);
        std::fprintf(stderr, "  20 zones + mask file, plane reused     %8.2f ms  %.3f of the yardstick\n",
                     median(cached) * 1e3, median(cached) / sum);
        std::fprintf(stderr, "  checksum: %lld pixels off by the zones, %lld with the mask\n",
                     static_cast<long long>(off_zones), static_cast<long long>(off_all));
    } catch (const Fatal& f) {
        std::fputs(f.what(), stderr);
        return f.status;
    }
    std::remove(frame.c_str());
    std::remove(mask.c_str());
    ::rmdir(dir);
    return 0;
}
