// Grid correction benchmark: a 2048 x 2048 image through grid_cor_img with a
// complete cubic model (10 terms), beside a yardstick measured in the same run:
// the two cubic polynomials and their four first derivatives evaluated per
// pixel with Horner's rule, without any resampling. The correction is also
// timed on its two-lane loops (the path of processors without 256-bit
// vectors), and both results are summed to show that they are the same.
#include "bench_clock.hpp"
#include "xy_resample.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

constexpr int32_t kSide = 2048;
constexpr int kRepeats = 3;

// A barrel-like distortion of a few pixels at the corners, centred on the image.
const std::vector<double> kXcor = {1024.0, 1.002, 0.003,  2e-6,    -1e-6,
                                   1.5e-6, 1e-10, -2e-10, 1.5e-10, -0.5e-10};
const std::vector<double> kYcor = {1024.0,  -0.002,   0.998, -1e-6, 2e-6,
                                   -1.5e-6, -0.5e-10, 1e-10, 2e-10, -1e-10};

// Horner forms of P = sum c[k] X^i Y^j over the ten cubic terms.
struct Cubic {
    double c[10];
    double value(double X, double Y) const {
        const double a0 = c[0] + Y * (c[2] + Y * (c[5] + Y * c[9]));
        const double a1 = c[1] + Y * (c[4] + Y * c[8]);
        const double a2 = c[3] + Y * c[7];
        return a0 + X * (a1 + X * (a2 + X * c[6]));
    }
    double by_x(double X, double Y) const {
        const double a1 = c[1] + Y * (c[4] + Y * c[8]);
        const double a2 = c[3] + Y * c[7];
        return a1 + X * (2.0 * a2 + X * 3.0 * c[6]);
    }
    double by_y(double X, double Y) const {
        const double b0 = c[2] + Y * (2.0 * c[5] + Y * 3.0 * c[9]);
        const double b1 = c[4] + Y * 2.0 * c[8];
        return b0 + X * (b1 + X * c[7]);
    }
};

float horner_pixel(const Cubic& px, const Cubic& py, double X, double Y) {
    const double xc = px.value(X, Y), yc = py.value(X, Y);
    const double ax = px.by_x(X, Y), bx = px.by_y(X, Y);
    const double by = py.by_x(X, Y), ay = py.by_y(X, Y);
    const double surface = ax * ay - by * bx;
    return static_cast<float>(xc + yc + ax + ay + surface);
}

Cubic cubic_of(const std::vector<double>& c) {
    Cubic p{};
    std::copy(c.begin(), c.end(), p.c);
    return p;
}

// The yardstick as the compiler optimises it: it vectorises the column loop
// and takes the parts that depend on Y alone out of it.
double yardstick(std::vector<float>& out) {
    const Cubic px = cubic_of(kXcor), py = cubic_of(kYcor);
    const double start = thread_cpu_seconds();
    for (int32_t y = 0; y < kSide; ++y)
        for (int32_t x = 0; x < kSide; ++x)
            out[static_cast<size_t>(y) * kSide + static_cast<size_t>(x)] =
                horner_pixel(px, py, x - kXcor[0], y - kYcor[0]);
    return thread_cpu_seconds() - start;
}

// The same evaluation one pixel after the other, as a per-pixel loop without
// the vectoriser runs (the grid correction's footprints are per pixel).
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-vectorize")))
#endif
double
scalar_yardstick(std::vector<float>& out) {
    const Cubic px = cubic_of(kXcor), py = cubic_of(kYcor);
    const double start = thread_cpu_seconds();
    for (int32_t y = 0; y < kSide; ++y)
        for (int32_t x = 0; x < kSide; ++x)
            out[static_cast<size_t>(y) * kSide + static_cast<size_t>(x)] =
                horner_pixel(px, py, x - kXcor[0], y - kYcor[0]);
    return thread_cpu_seconds() - start;
}

// The model evaluated point by point through the single-point functions (pow
// for every term of every pixel), without resampling, on a band of rows.
double pointwise_model(GridCor& grid, int32_t rows, double& sink) {
    const double start = thread_cpu_seconds();
    for (int32_t y = 0; y < rows; ++y) {
        const double Y = grid_pix_ycor(y, grid);
        for (int32_t x = 0; x < kSide; ++x) {
            const double X = grid_pix_xcor(x, grid);
            sink += grid_cor_xpos(X, Y, grid) + grid_cor_ypos(X, Y, grid) +
                    grid_cor_dx(X, Y, grid, grid.xcor) + grid_cor_dy(X, Y, grid, grid.ycor) +
                    grid_cor_surf(X, Y, grid);
        }
    }
    return thread_cpu_seconds() - start;
}

} // namespace

int main() {
    ProgramState job; // the messages of the engine go nowhere
    const ProgramScope bind(job);
    GridCor grid;
    grid_struct_ini(grid, 10);
    grid.xcor = kXcor;
    grid.ycor = kYcor;
    grid.set = 3;

    std::vector<int32_t> source(static_cast<size_t>(kSide) * kSide);
    for (size_t t = 0; t < source.size(); ++t)
        source[t] = static_cast<int32_t>((t * 2654435761u) % 60000u);

    const double pixels = static_cast<double>(source.size());
    double best_grid = 1e30, best_narrow = 1e30, best_yard = 1e30, best_scalar = 1e30;
    int64_t checksum = 0, narrow_checksum = 0;
    std::vector<float> sink(source.size());
    for (int r = 0; r < kRepeats; ++r) {
        IMG img;
        img.nx = img.ny = kSide;
        img.size = kSide * kSide;
        img.name = "bench";
        img.data = source;
        const double start = thread_cpu_seconds();
        grid_cor_img(grid, img);
        best_grid = std::min(best_grid, thread_cpu_seconds() - start);
        checksum = 0;
        for (int32_t v : img.data)
            checksum += v;
        // The same correction on the two-lane loops that every x86-64 has.
        img.data = source;
        img.frame.clear();
        grid.vector_lanes = 2;
        const double narrow_start = thread_cpu_seconds();
        grid_cor_img(grid, img);
        best_narrow = std::min(best_narrow, thread_cpu_seconds() - narrow_start);
        grid.vector_lanes = 0;
        narrow_checksum = 0;
        for (int32_t v : img.data)
            narrow_checksum += v;
        best_yard = std::min(best_yard, yardstick(sink));
        best_scalar = std::min(best_scalar, scalar_yardstick(sink));
    }
    constexpr int32_t kPointRows = 128;
    double point_sink = 0;
    const double pointwise = pointwise_model(grid, kPointRows, point_sink) / (double(kPointRows) * kSide);
    double sink_sum = 0;
    for (size_t t = 0; t < sink.size(); t += 4099)
        sink_sum += sink[t];

    const double ns = 1e9 / pixels;
    std::fprintf(stderr, "grid_cor_img %dx%d, cubic model (10 terms), best of %d runs, processor time\n",
                 kSide, kSide, kRepeats);
    std::fprintf(stderr, "  grid_cor_img                         : %8.2f ns/pixel\n", best_grid * ns);
    std::fprintf(stderr, "  the same on two-lane vectors         : %8.2f ns/pixel\n", best_narrow * ns);
    std::fprintf(stderr, "  Horner yardstick, vectorised         : %8.2f ns/pixel  ratio %6.2f\n",
                 best_yard * ns, best_grid / best_yard);
    std::fprintf(stderr, "  Horner yardstick, pixel by pixel     : %8.2f ns/pixel  ratio %6.2f\n",
                 best_scalar * ns, best_grid / best_scalar);
    std::fprintf(stderr,
                 "  model point by point (pow per term)  : %8.2f ns/pixel (evaluation only, %d rows)\n",
                 pointwise * 1e9, kPointRows);
    std::fprintf(stderr, "  target: grid_cor_img within 3 x the yardstick\n");
    std::fprintf(stderr, "  checksums: image %lld (two lanes %lld), yardstick %g, model %g\n",
                 static_cast<long long>(checksum), static_cast<long long>(narrow_checksum), sink_sum,
                 point_sink);
    return 0;
}
