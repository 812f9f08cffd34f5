// Cosmic-ray tests on a summed image (time series and 3 x 3 neighbourhoods),
// the neighbourhood means they and the low-limit repair use, and the dumps of
// values, sums and per-pixel statistics printed for small images.
#include "xy_lib.hpp"
#include "xy_pixel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// A spatial pass that keeps finding new pixels is stopped here: hot clusters
// would otherwise grow pass after pass.
constexpr int kMaxSpacePasses = 10;

// The window of columns and rows around pixel i, clipped to the image.
struct Window {
    int64_t x0, x1, y0, y1;
};

Window clipped_window(const IMG& img, int64_t i, int dx0, int dx1, int dy0, int dy1) {
    const int64_t x = i % img.nx;
    const int64_t y = i / img.nx;
    return Window{std::max<int64_t>(0, x + dx0), std::min<int64_t>(img.nx - 1, x + dx1),
                  std::max<int64_t>(0, y + dy0), std::min<int64_t>(img.ny - 1, y + dy1)};
}

bool pixel_used(const IMG& img, int64_t i) {
    return img.frame.empty() || img.frame[i] != 0;
}

// A neighbour's value on the scale of the full frame count. Values that were
// already normalised (corrected == 1) must not be scaled a second time.
double full_count_value(const IMG& img, int64_t i) {
    if (img.corrected == 1 || img.frame.empty()) return img.data[i];
    return xy_valcor(img, i);
}

int32_t wrap_to_int32(int64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(v));
}

// ---------------------------------------------------------------- time series

struct TimeTest {
    double t2; // T squared
    double h;
    double r;
};

// The time series exists for every pixel (the summation was run with the cosmic arrays).
bool has_time_series(const IMG& img) {
    if (img.size <= 0) return false;
    const size_t size = static_cast<size_t>(img.size);
    return img.data.size() >= size && img.frame.size() >= size && img.cosmic.sumq.size() >= size &&
           img.cosmic.mval.size() >= size && img.cosmic.mframe.size() >= size;
}

// Tests pixel i; on a hit prints the report line and takes the largest frame
// value out of the sums.
bool remove_time_hit(IMG& img, int64_t i, const TimeTest& test, std::FILE* out) {
    const int32_t count = img.frame[i];
    if (count < 3) return false;
    const double n = count;
    const double s = img.data[i];
    const double q = img.cosmic.sumq[i];
    const double big = img.cosmic.mval[i];
    const double m = s / n;
    const double v = (q - n * m * m) / (n - 1);
    const double m1 = (s - big) / (n - 1);
    const double v1 = (q - big * big - (n - 1) * m1 * m1) / (n - 2);
    const double d = big - m1;
    if (!(d * d > test.t2 * v1 && test.r * v1 < v && d > test.h)) return false;
    if (out)
        prg_stream_printf(out, "#cosmic %4d %4d (%2d): %5d  <m> %8.1lf s %7.1lf ---> <m> %8.1lf s %6.1lf\n",
                          static_cast<int>(i % img.nx), static_cast<int>(i / img.nx), img.cosmic.mframe[i],
                          img.cosmic.mval[i], m, std::sqrt(v + 0.01), m1, std::sqrt(v1 + 0.01));
    img.data[i] = wrap_to_int32(static_cast<int64_t>(img.data[i]) - img.cosmic.mval[i]);
    img.cosmic.sumq[i] = q - big * big;
    img.frame[i] = static_cast<uint16_t>(count - 1);
    return true;
}

// ---------------------------------------------------------------- spatial test

// Neighbourhood statistics of one pixel, as xy_vmean gives them.
struct Neighbourhood {
    double mean = 0.0;
    double var = 0.0;
    int32_t n = 0;
};

// Decides whether pixel i stands out of its neighbourhood; on yes sets the
// replacement value and prints the report line (when `out` is given).
bool space_outlier(const IMG& img, int64_t i, const Neighbourhood& nb, int replaced_before, std::FILE* out,
                   double& replacement) {
    const int32_t v = img.data[i];
    const int x = static_cast<int>(i % img.nx);
    const int y = static_cast<int>(i / img.nx);
    if (img.frame[i] == 0) {
        // The pixel itself is not in the mean: any excess of one count or more goes.
        if (!(v - nb.mean >= 1)) return false;
        replacement = nb.mean;
        if (out)
            prg_stream_printf(
                out, "#space %4d %4d : %6d (                         ---> %d <m> %8.1lf s %6.1lf)  n=%d\n", x,
                y, v, nb.n, nb.mean, std::sqrt(nb.var + 0.01), replaced_before);
        return true;
    }
    const double n = nb.n;
    const double others_mean = (n * nb.mean - v) / (n - 1);
    const double others_var = (n * nb.mean * nb.mean + (n - 1) * nb.var - static_cast<double>(v) * v -
                               (n - 1) * others_mean * others_mean) /
                              (n - 2);
    const double d = v - others_mean;
    const double s = img.s_cosmic;
    if (!(d * d > s * s * others_var && img.r_cosmic * others_var < nb.var && d > img.p_cosmic)) return false;
    replacement = others_mean;
    if (out)
        prg_stream_printf(out,
                          "#space %4d %4d : %6d (%d <m> %8.1lf s %7.1lf ---> %d <m> %8.1lf s %6.1lf)  n=%d\n",
                          x, y, v, nb.n, nb.mean, std::sqrt(nb.var + 0.01), nb.n - 1, others_mean,
                          std::sqrt(others_var + 0.01), replaced_before);
    return true;
}

// One pass in index order, updating in place. Returns the pixels replaced for
// the first time.
int32_t space_pass(IMG& img, std::vector<uint8_t>& replaced, std::FILE* out) {
    int32_t fresh = 0;
    const int64_t size = img.size;
    for (int64_t i = 0; i < size; ++i) {
        Neighbourhood nb;
        nb.mean = xy_vmean(img, i, -1, 1, -1, 1, nb.n, &nb.var);
        if (nb.n <= 2) continue;
        double replacement = 0.0;
        if (!space_outlier(img, i, nb, replaced[i], out, replacement)) continue;
        if (replaced[i] == 0) ++fresh;
        img.data[i] = truncate_saturated(replacement);
        img.frame[i] = 0;
        ++replaced[i];
    }
    return fresh;
}

} // namespace

void xy_tcosmic(IMG& img, std::FILE* out) {
    int32_t hits = 0;
    if (has_time_series(img)) {
        const double t = img.t_cosmic;
        const TimeTest test{t * t, img.h_cosmic, img.r_cosmic};
        for (int64_t i = 0; i < img.size; ++i)
            if (remove_time_hit(img, i, test, out)) ++hits;
    }
    img.n_time = hits;
}

int32_t xy_space(IMG& img, std::FILE* out) {
    int32_t total = 0;
    if (img.size > 0 && !img.frame.empty()) {
        // How often each pixel was replaced during this call (at most one per pass).
        std::vector<uint8_t> replaced = prg_alloc<uint8_t>("xy_lib", "xy_space counters", img.size);
        for (int pass = 0; pass < kMaxSpacePasses; ++pass) {
            const int32_t fresh = space_pass(img, replaced, out);
            total += fresh;
            if (fresh == 0) break;
        }
    }
    img.n_space = total;
    return total;
}

double xy_vmean(const IMG& img, int64_t i, int dx0, int dx1, int dy0, int dy1, int32_t& n, double* var) {
    const Window w = clipped_window(img, i, dx0, dx1, dy0, dy1);
    double sum = 0.0;
    double sum2 = 0.0;
    n = 0;
    for (int64_t y = w.y0; y <= w.y1; ++y)
        for (int64_t x = w.x0; x <= w.x1; ++x) {
            const int64_t j = y * img.nx + x;
            if (!pixel_used(img, j)) continue;
            const double v = full_count_value(img, j);
            sum += v;
            sum2 += v * v;
            ++n;
        }
    if (n == 0) return 0.0;
    const double mean = sum / n;
    if (var && n > 1) *var = (sum2 - n * mean * mean) / (n - 1);
    return mean;
}

double xy_condmean(const IMG& img, int64_t i, int dx0, int dx1, int dy0, int dy1, int32_t& n,
                   double threshold) {
    const Window w = clipped_window(img, i, dx0, dx1, dy0, dy1);
    double sum = 0.0;
    n = 0;
    for (int64_t y = w.y0; y <= w.y1; ++y)
        for (int64_t x = w.x0; x <= w.x1; ++x) {
            const int32_t v = img.data[y * img.nx + x];
            if (!(v > threshold)) continue;
            sum += v;
            ++n;
        }
    return n == 0 ? 0.0 : sum / n;
}

// ---------------------------------------------------------------- dumps

void xy_val_dump(const IMG& img, std::FILE* out, const char* label) {
    if (!out) return;
    for (int32_t y = 0; y < img.ny; ++y) {
        if (label) prg_stream_printf(out, "%2s %3d :", label, y);
        const int32_t* row = img.data.data() + static_cast<int64_t>(y) * img.nx;
        for (int32_t x = 0; x < img.nx; ++x)
            prg_stream_printf(out, " %d", row[x]);
        prg_write(out, "\n");
    }
}

void xy_sum_dump(const IMG& img, std::FILE* out, const char* label) {
    if (!out) return;
    for (int32_t y = 0; y < img.ny; ++y) {
        prg_stream_printf(out, "%s %3d :", label ? label : "", y);
        for (int32_t x = 0; x < img.nx; ++x) {
            const int64_t i = static_cast<int64_t>(y) * img.nx + x;
            prg_stream_printf(out, " %7d(%2d)", img.data[i], img.frame.empty() ? 0 : img.frame[i]);
        }
        prg_write(out, "\n");
    }
    std::fflush(out);
}

void xy_sta_dump(const IMG& img, std::FILE* out, const char* label) {
    if (!out) return;
    const bool has_sumq = !img.cosmic.sumq.empty();
    for (int32_t y = 0; y < img.ny; ++y) {
        prg_stream_printf(out, "%5s   %3d :", label ? label : "", y);
        for (int32_t x = 0; x < img.nx; ++x) {
            const int64_t i = static_cast<int64_t>(y) * img.nx + x;
            const double c = img.frame.empty() ? 0.0 : img.frame[i];
            // Raw sums are divided by their own count, normalised values by the frame count.
            const double m = img.data[i] / (img.corrected == 0 ? c : static_cast<double>(img.frames));
            prg_stream_printf(out, " %8.1f", m);
            if (!has_sumq) {
                prg_write(out, "(     )");
                continue;
            }
            const double q = img.cosmic.sumq[i] - c * m * m;
            if (q > 0 && c > 1)
                prg_stream_printf(out, "(%5.1lf)", std::sqrt(q / (c - 1)));
            else
                prg_write(out, "( *** )");
        }
        prg_write(out, "\n");
    }
    std::fflush(out);
}
