#include "zd_stat.hpp"

#include "kvf_lib.hpp"
#include "xy_threads.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

thread_local StatSettings stat_settings;

namespace {

const char* const kOrigin = "zd_stat";
constexpr double kRejectZ = 6.0;    // residuals beyond 6 residual deviations are outliers
constexpr double kPivotMin = 1e-25; // smaller pivots make the normal matrix singular
constexpr int32_t kGrid = 256;      // representation images are kGrid x kGrid
constexpr int32_t kDumpLimit = 8192;
// Each iteration of a pass removes at least one pixel; this bound keeps a
// pathological image from costing one pass over the image per pixel.
constexpr int kMaxIterations = 100;

size_t packed_size(int n) {
    return static_cast<size_t>(n) * static_cast<size_t>(n + 1) / 2;
}

size_t packed_index(int i, int j) {
    return static_cast<size_t>(i) * static_cast<size_t>(i + 1) / 2 + static_cast<size_t>(j);
}

// Truncation toward zero into 32 bits; out-of-range values are clamped and NaN
// gives 0, so that no conversion is undefined.
int32_t trunc_to_int32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

int32_t clamp_to_int32(int64_t v) {
    return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(v, INT32_MIN), INT32_MAX));
}

// Mean count per frame and variance of one pixel from its sum S, frame count
// n and sum of squares Q.
struct Moments {
    double m;
    double v;
};

inline Moments raw_moments(int32_t sum, uint16_t n, double sumq) {
    const double m = static_cast<double>(sum) / n;
    return {m, (sumq - m * n * m) / (n - 1)};
}

// Observation count and ranges of one fit.
struct FitRanges {
    int32_t count = 0;
    double mean_lo = 0.0;
    double mean_hi = 0.0;
    double var_hi = 0.0;
    double var_lo = 0.0;
};

// Normal equations (packed matrix, right-hand side) and the ranges of the
// pixels gathered in them.
struct NormalSums {
    std::vector<double> mat;
    std::vector<double> vec;
    FitRanges ranges;
};

// NP coefficients known at compile time keep the per-pixel sums of the usual
// small degrees in registers; NP 0 takes any count up to the highest degree.
template <int NP> constexpr int kCoefficients = NP > 0 ? NP : kStatMaxDegree + 1;

// c0 + c1 m + ... with the powers formed one after the other.
template <int NP> class Polynomial {
  public:
    Polynomial(const double* coef, int np) : np_(NP > 0 ? NP : np) { std::copy(coef, coef + np_, c_); }
    double operator()(double m) const {
        double f = 0.0;
        double power = 1.0;
        for (int j = 0; j < np_; ++j) {
            f += c_[j] * power;
            power *= m;
        }
        return f;
    }

  private:
    int np_;
    double c_[kCoefficients<NP>];
};

// Ranges (raw mean and variance) and normal equations (dark-corrected):
// vec[j] += v m^j, mat(i, j) += m^i m^j, gathered pixel after pixel.
template <int NP> class Gather {
  public:
    // Plain loops rather than memset and memcpy, which would keep the sums in
    // memory instead of registers.
    Gather(int np, const StatWindow& w) : np_(NP > 0 ? NP : np) {
        for (int k = 0; k < kPacked; ++k)
            mat_[k] = 0.0;
        for (int j = 0; j < kCoefficients<NP>; ++j)
            vec_[j] = 0.0;
        r_.mean_lo = w.hi;
        r_.mean_hi = w.lo;
        r_.var_hi = 0.0;
        r_.var_lo = 1e59;
    }
    void add(const Moments& raw, const Moments& fit) {
        ++r_.count;
        r_.mean_lo = std::min(r_.mean_lo, raw.m);
        r_.mean_hi = std::max(r_.mean_hi, raw.m);
        r_.var_hi = std::max(r_.var_hi, raw.v);
        r_.var_lo = std::min(r_.var_lo, raw.v);
        // The powers are formed again for each row rather than kept in an
        // array: the same products, without a round trip through memory.
        int k = 0;
        double power_a = 1.0;
        for (int a = 0; a < np_; ++a) {
            vec_[a] += fit.v * power_a;
            double power_b = 1.0;
            for (int b = 0; b <= a; ++b) {
                mat_[k++] += power_b * power_a;
                power_b *= fit.m;
            }
            power_a *= fit.m;
        }
    }
    void store(NormalSums& out) const {
        for (size_t k = 0; k < packed_size(np_); ++k)
            out.mat[k] = mat_[k];
        for (int j = 0; j < np_; ++j)
            out.vec[j] = vec_[j];
        out.ranges = r_;
    }

  private:
    static constexpr int kPacked = kCoefficients<NP> * (kCoefficients<NP> + 1) / 2;
    int np_;
    double mat_[kPacked];
    double vec_[kCoefficients<NP>];
    FitRanges r_;
};

// Calls f with the coefficient count as a compile-time constant for the
// usual degrees 0 to 2, with 0 (any count) otherwise.
template <class F> void for_degree(int np, F&& f) {
    switch (np) {
    case 1:
        f(std::integral_constant<int, 1>());
        break;
    case 2:
        f(std::integral_constant<int, 2>());
        break;
    case 3:
        f(std::integral_constant<int, 3>());
        break;
    default:
        f(std::integral_constant<int, 0>());
        break;
    }
}

// One 256 x 256 representation of the (mean, variance) scatter.
struct Histogram {
    double xmax = 0.0;
    double ymax = 0.0;
    int32_t top = 1;
    std::string name;
};

// Pixels handed to a thread at a time by the passes that treat each pixel alone.
constexpr int64_t kPixelBlock = 65536;

class StatAnalysis {
  public:
    StatAnalysis(IMG& img, bool dark_present, const IMG& dark, int32_t print, int32_t threads)
        : img_(img), dark_(dark_present ? &dark : nullptr), print_(print), threads_(threads),
          s_(stat_settings), np_(stat_settings.stat_deg + 1), label_(dark_present ? "(adu-d)" : "adu") {}

    void run(int32_t limit_mode, float limit);

  private:
    enum class Step { go_on, stop };

    void check_planes() const;
    void allocate();
    void compute_moments();
    // Applies the dark correction of pixel i to a mean and variance.
    void correct_for_dark(int64_t i, Moments& mv) const {
        if (!dark_) return;
        const double dk = dark_count_[i];
        mv.m = dk < mv.m ? mv.m - dk : 0.0;
        if (s_.dark_coef != 0.0f) mv.v -= dk * s_.dark_coef;
    }
    Moments moments(int64_t i) const { return {mean_[i], variance_[i]}; }

    void dump_sums() const;
    void dump_means() const;
    void apply_low_limit(float limit);
    template <class F> void for_pixel_blocks(F&& f);
    bool run_passes();
    template <int NP> void gather_window(const StatWindow& w, Histogram* h);
    Step iterate(const StatWindow& w, int& t, bool first, int32_t& removed);
    bool start_histogram(const StatWindow& w, Histogram& h, bool advance);
    void add_to_histogram(Histogram& h, const Moments& mv, int64_t i, bool final);
    void report_outside_grid(const Histogram& h, const Moments& mv, int64_t i, bool final, int32_t x,
                             int32_t y) const;
    void write_histogram(const Histogram& h);
    void final_histogram(const StatWindow& w);
    template <int NP> double residual_sum(int64_t& observations) const;
    template <int NP> int32_t reject_outliers(double residual, const StatWindow& w);
    void print_fit(const FitRanges& r, const double* coef, const double* inverse, double residual) const;
    void print_report() const;

    IMG& img_;
    const IMG* dark_;
    int32_t print_;
    int32_t threads_;
    StatSettings s_;
    int np_;
    const char* label_;
    double ratio_ = 0.0;
    int64_t size_ = 0;
    int32_t raw_mean_ = 0;
    int32_t next_image_ = 0; // number of the next representation file

    std::vector<int32_t> gr_data_;
    std::vector<uint16_t> sn_;
    NormalSums fit_;  // equations of the current fit, then its inverse and solution
    NormalSums kept_; // equations of the pixels the current fit keeps
    std::vector<double> omat_, ovec_;
    // Per pixel, computed once: mean count per frame, variance, scaled dark count.
    std::vector<double> mean_, variance_, dark_count_;

    bool has_best_ = false;
    double best_residual_ = 0.0;
    FitRanges best_ranges_;
    int32_t best_mean_ = 0;
};

void StatAnalysis::check_planes() const {
    const size_t n = static_cast<size_t>(size_);
    if (img_.data.size() < n || img_.frame.size() < n)
        v_fatal(kOrigin, "image %s holds no frame counts for its %d pixels", img_.name.c_str(), img_.size);
    if (img_.cosmic.sumq.size() < n)
        v_fatal(kOrigin, "no squared sums collected for %s: the statistics need them", img_.name.c_str());
    if (!dark_) return;
    if (dark_->data.size() < n || dark_->nx != img_.nx || dark_->ny != img_.ny)
        v_fatal(kOrigin, "dark %s is %d * %d pixels, image %s is %d * %d", dark_->name.c_str(), dark_->nx,
                dark_->ny, img_.name.c_str(), img_.nx, img_.ny);
    if (dark_->frames <= 0)
        v_fatal(kOrigin, "dark %s has %d frames, it cannot be scaled", dark_->name.c_str(), dark_->frames);
}

void StatAnalysis::allocate() {
    gr_data_ = prg_alloc<int32_t>(kOrigin, "gr_data", static_cast<uint64_t>(kGrid) * kGrid);
    sn_ = prg_alloc<uint16_t>(kOrigin, "sn", static_cast<uint64_t>(size_));
    fit_.mat = prg_alloc<double>(kOrigin, "mat", packed_size(np_));
    kept_.mat = prg_alloc<double>(kOrigin, "mat", packed_size(np_));
    omat_ = prg_alloc<double>(kOrigin, "omat", packed_size(np_));
    fit_.vec = prg_alloc<double>(kOrigin, "vec", static_cast<uint64_t>(np_));
    kept_.vec = prg_alloc<double>(kOrigin, "vec", static_cast<uint64_t>(np_));
    ovec_ = prg_alloc<double>(kOrigin, "ovec", static_cast<uint64_t>(np_));
    mean_ = prg_alloc<double>(kOrigin, "mean", static_cast<uint64_t>(size_));
    variance_ = prg_alloc<double>(kOrigin, "variance", static_cast<uint64_t>(size_));
    if (dark_) dark_count_ = prg_alloc<double>(kOrigin, "dark", static_cast<uint64_t>(size_));
}

// The passes and iterations read these instead of dividing again; pixels of
// fewer than 2 frames never enter them.
void StatAnalysis::compute_moments() {
    for_pixel_blocks([&](int64_t i) {
        const uint16_t n = img_.frame[i];
        if (n < 2) return;
        const Moments mv = raw_moments(img_.data[i], n, img_.cosmic.sumq[i]);
        mean_[i] = mv.m;
        variance_[i] = mv.v;
        if (dark_) dark_count_[i] = std::trunc(dark_->data[i] * ratio_);
    });
}

void StatAnalysis::dump_sums() const {
    prg_printf("# corrrected_sum(frames) %d*%d\n", img_.ny, img_.nx);
    for (int32_t y = 0; y < img_.ny; ++y) {
        std::string row = prg_format("#R(N) %3d :", y);
        for (int32_t x = 0; x < img_.nx; ++x) {
            const size_t i = static_cast<size_t>(y) * img_.nx + x;
            row += prg_format(" %6d(%2d)", img_.data[i], img_.frame[i]);
        }
        prg_printf("%s\n", row.c_str());
    }
}

// Mean and standard deviation of every pixel; a row in which the square root
// failed ends with the error number.
void StatAnalysis::dump_means() const {
    prg_printf("# mean(esd) %d*%d\n", img_.ny, img_.nx);
    for (int32_t y = 0; y < img_.ny; ++y) {
        std::string row = prg_format("#M(S) %3d :", y);
        for (int32_t x = 0; x < img_.nx; ++x) {
            const size_t i = static_cast<size_t>(y) * img_.nx + x;
            const double n = img_.frame[i];
            const double m = img_.data[i] / n;
            const double sd = std::sqrt((img_.cosmic.sumq[i] - m * n * m) / ((n - 1) + 1e-5));
            row += prg_format(" %.1f(%5.1lf)", m, sd);
        }
        prg_printf("%s", row.c_str());
        if (errno != 0) {
            prg_screen(" errno=%d \n", errno);
            errno = 0;
        } else {
            prg_printf("\n");
        }
    }
}

void StatAnalysis::apply_low_limit(float limit) {
    for_pixel_blocks([&](int64_t i) {
        const uint16_t n = img_.frame[i];
        if (n != 0 && static_cast<float>(img_.data[i]) < n * limit) img_.frame[i] = 0;
    });
}

// f(i) for every pixel, blocks of pixels shared among the threads: for work
// that each pixel does alone.
template <class F> void StatAnalysis::for_pixel_blocks(F&& f) {
    const int64_t blocks = (size_ + kPixelBlock - 1) / kPixelBlock;
    xy_run_pieces(threads_, blocks, [&](int64_t b) {
        const int64_t end = std::min(size_, (b + 1) * kPixelBlock);
        for (int64_t i = b * kPixelBlock; i < end; ++i)
            f(i);
    });
}

void StatAnalysis::run(int32_t limit_mode, float limit) {
    errno = 0;
    prg_printf("# statistics on %d frames of %s", img_.frames, img_.name.c_str());
    if (dark_)
        prg_printf(" with dark data from %s\n", dark_->name.c_str());
    else
        prg_printf(" without dark\n");
    if (img_.frames == 0) return;
    size_ = std::max<int64_t>(img_.size, 0);
    check_planes();
    if (dark_) ratio_ = static_cast<double>(img_.frames) / dark_->frames;
    allocate();

    if ((print_ & 0x20) && size_ <= kDumpLimit) dump_sums();
    if ((print_ & 0x100) && size_ <= kDumpLimit) dump_means();
    if (limit_mode != 0) apply_low_limit(limit);
    compute_moments();

    const int32_t used = stat_info(img_, 0);
    xy_fputinfo(stdout, img_);
    raw_mean_ = trunc_to_int32(img_.mean / img_.frames);
    prg_printf("\n# %d points, low_limit = %.1f raw_mean %d\n", used, limit, raw_mean_);

    if (run_passes()) print_report();
}

// The passes over narrowing windows; false when the analysis ended early.
bool StatAnalysis::run_passes() {
    StatWindow w;
    int t = 0; // representation decisions of the current pass
    for (int32_t p = 0; p < s_.stat_nb; ++p) {
        t = 0;
        w = p == 0 ? stat_first_window(img_.min, img_.max, img_.frames)
                   : stat_narrow_window(w, raw_mean_, s_.stat_low, s_.stat_high);
        prg_printf("\n# studying counts between %d and %d on each frame\n", w.lo, w.hi);
        if (static_cast<int64_t>(w.hi) - w.lo < 10 || w.hi <= 1.5 * w.lo) {
            prg_printf("# dynamics too low, breaking\n");
            break;
        }
        std::copy(img_.frame.begin(), img_.frame.begin() + size_, sn_.begin());
        int32_t removed = 0;
        int iterations = 0;
        do {
            if (iterate(w, t, iterations == 0, removed) == Step::stop) return false;
            ++iterations;
        } while (removed != 0 && iterations < kMaxIterations);
        if (removed != 0) prg_printf("# still removing pixels after %d iterations, pass ended\n", iterations);
    }
    if (t > 1) final_histogram(w);
    return true;
}

// One fit over the pixels of the window still in use: normal equations,
// solution, residual, report, rejection of the outliers, and the best fit kept.
// The first fit of a pass gathers the equations itself and leaves out the
// pixels outside the window; later fits take the sums that the rejection of
// the fit before gathered over the pixels it kept (same pixels, same order).
StatAnalysis::Step StatAnalysis::iterate(const StatWindow& w, int& t, bool first, int32_t& removed) {
    if (!first) std::swap(fit_, kept_);
    bool represent = false;
    if (s_.stat_img != 0) {
        ++t;
        represent = t == 1 || s_.stat_img == 2;
    }
    Histogram h;
    if (represent) represent = start_histogram(w, h, true);

    if (first) {
        for_degree(np_, [&](auto np) { gather_window<decltype(np)::value>(w, represent ? &h : nullptr); });
    } else if (represent) {
        for (int64_t i = 0; i < size_; ++i)
            if (sn_[i] >= 2) add_to_histogram(h, moments(i), i, false);
    }
    const FitRanges r = fit_.ranges;
    if (represent) {
        prg_printf("# representation of %d points in x[0,%.0lf] y[0, %.0lf] max %d ", r.count, h.xmax, h.ymax,
                   h.top);
        write_histogram(h);
        prg_printf("END # representation \n");
    }

    const int status = chol_part(fit_.mat.data(), fit_.vec.data(), np_);
    if (status != 0) {
        prg_printf("# singular matrix ??? %d\n", status);
        return Step::stop;
    }
    if (r.count < 2) {
        prg_printf("# %d obs : no regression [%.2lf->%.2lf]\n", r.count, r.mean_lo, r.mean_hi);
        return Step::stop;
    }
    int64_t observations = 0;
    double squares = 0.0;
    for_degree(np_, [&](auto np) { squares = residual_sum<decltype(np)::value>(observations); });
    // The residual variance needs more observations than coefficients.
    if (observations <= np_) {
        prg_printf("# %d obs : no regression with %d coefficients [%.2lf->%.2lf]\n", r.count, np_, r.mean_lo,
                   r.mean_hi);
        return Step::stop;
    }
    const double residual = std::sqrt(squares / static_cast<double>(observations - np_));
    print_fit(r, fit_.vec.data(), fit_.mat.data(), residual);

    for_degree(np_, [&](auto np) { removed = reject_outliers<decltype(np)::value>(residual, w); });
    prg_printf("# removing %d pixels\n", removed);

    if (!has_best_ || (residual < best_residual_ && r.count != 0)) {
        omat_ = fit_.mat;
        ovec_ = fit_.vec;
        best_ranges_ = r;
        best_residual_ = residual;
        best_mean_ = raw_mean_;
        has_best_ = true;
    }
    return Step::go_on;
}

// Clears the histogram and sets its scales from the pixels of the window; false
// (with a report line) when no scale can be set. `advance` numbers the next file.
bool StatAnalysis::start_histogram(const StatWindow& w, Histogram& h, bool advance) {
    std::fill(gr_data_.begin(), gr_data_.end(), 0);
    h.ymax = 0.0;
    h.top = 1;
    for (int64_t i = 0; i < size_; ++i) {
        if (sn_[i] < 2) continue;
        const Moments mv = moments(i);
        if (mv.m >= w.lo && mv.m <= w.hi && mv.v > h.ymax) h.ymax = mv.v + 1;
    }
    h.xmax = w.hi + 1.0;
    if (h.ymax <= 0.0 || h.xmax <= 0.0) {
        prg_printf("# no representation in [%d, %d] : %s\n", w.lo, w.hi,
                   h.ymax <= 0.0 ? "every variance is 0 or below" : "every mean is below 0");
        return false;
    }
    h.name = prg_format("quorat%03d", next_image_);
    if (advance) ++next_image_;
    return true;
}

inline void StatAnalysis::add_to_histogram(Histogram& h, const Moments& mv, int64_t i, bool final) {
    const int32_t x = trunc_to_int32(mv.m * kGrid / h.xmax);
    const int32_t y = trunc_to_int32(mv.v * kGrid / h.ymax);
    if (x >= 0 && x < kGrid && y >= 0 && y < kGrid) {
        int32_t& cell = gr_data_[static_cast<size_t>(y) * kGrid + x];
        ++cell;
        if (cell > h.top) h.top = cell;
    } else {
        report_outside_grid(h, mv, i, final, x, y);
    }
}

void StatAnalysis::report_outside_grid(const Histogram& h, const Moments& mv, int64_t i, bool final,
                                       int32_t x, int32_t y) const {
    if (final) {
        prg_printf(" error GR X %d Y %d %.0lf %.0lf  %.0lf %.0lf\n", x, y, mv.m, h.xmax, mv.v, h.ymax);
    } else {
        prg_printf(" error GR X %d Y %d moy=%.0lf %.0lf  s=%.0lf %.0lf  i %d nf %d s2=%.0lf\n", x, y, mv.m,
                   h.xmax, mv.v, h.ymax, static_cast<int>(i), sn_[i], img_.cosmic.sumq[i]);
    }
}

// Writes the histogram as a 256 x 256 native 32-bit image named after it.
void StatAnalysis::write_histogram(const Histogram& h) {
    IMG rep;
    rep.nx = rep.ny = rep.reg_width = rep.reg_height = kGrid;
    rep.size = rep.reg_size = kGrid * kGrid;
    rep.data = std::move(gr_data_);
    rep.hdr = std::make_unique<HDR>();
    rep.min = 0;
    rep.max = h.top + 1;
    rep.name = h.name;
    kvf_write(rep, rep.name, XY_TYPE_INT32);
    gr_data_ = std::move(rep.data);
}

// The scatter of the pixels left after the last pass, without window test.
void StatAnalysis::final_histogram(const StatWindow& w) {
    Histogram h;
    if (!start_histogram(w, h, false)) return;
    int32_t points = 0;
    for (int64_t i = 0; i < size_; ++i) {
        if (sn_[i] < 2) continue;
        add_to_histogram(h, moments(i), i, true);
        ++points;
    }
    prg_printf("# representation of %d points in x[0,%.0lf] y[0, %.0lf] max %d ", points, h.xmax, h.ymax,
               h.top);
    write_histogram(h);
}

template <int NP> double StatAnalysis::residual_sum(int64_t& observations) const {
    const Polynomial<NP> f(fit_.vec.data(), np_);
    double sum = 0.0;
    observations = 0;
    for (int64_t i = 0; i < size_; ++i) {
        if (sn_[i] < 2) continue;
        Moments mv = moments(i);
        correct_for_dark(i, mv);
        const double d = mv.v - f(mv.m);
        sum += d * d;
        ++observations;
    }
    return sum;
}

// Leaves out the pixels whose variance is more than 6 residuals from the fit
// and gathers the normal equations of the others for the next fit.
template <int NP> int32_t StatAnalysis::reject_outliers(double residual, const StatWindow& w) {
    if (!(residual > 0.0)) return 0; // an exact fit has no outlier
    const Polynomial<NP> fit(fit_.vec.data(), np_);
    Gather<NP> kept(np_, w);
    int32_t removed = 0;
    const int32_t nx = std::max(img_.nx, 1);
    for (int64_t i = 0; i < size_; ++i) {
        if (sn_[i] < 2) continue;
        const Moments raw = moments(i);
        Moments mv = raw;
        correct_for_dark(i, mv);
        const double f = fit(mv.m);
        const double z = (mv.v - f) / residual;
        if (std::fabs(z) <= kRejectZ) {
            kept.add(raw, mv);
            continue;
        }
        sn_[i] = 0;
        ++removed;
        if (print_ & 0x80)
            prg_printf("#REJ %3d*%3d  %8.2lf (o=%8.2lf, c=%8.2lf) er=%8.2lf\n", static_cast<int>(i % nx),
                       static_cast<int>(i / nx), mv.m, std::sqrt(mv.v), f > 0.0 ? std::sqrt(f) : 0.0, z);
    }
    kept.store(kept_);
    return removed;
}

// The first fit of a pass: the pixels outside the window leave, the others
// enter the equations (and the scatter image when there is one).
template <int NP> void StatAnalysis::gather_window(const StatWindow& w, Histogram* h) {
    Gather<NP> sums(np_, w);
    for (int64_t i = 0; i < size_; ++i) {
        if (sn_[i] < 2) continue;
        const Moments raw = moments(i);
        if (raw.m < w.lo || raw.m > w.hi) {
            sn_[i] = 0;
            continue;
        }
        if (h) add_to_histogram(*h, raw, i, false);
        Moments mv = raw;
        correct_for_dark(i, mv);
        sums.add(raw, mv);
    }
    sums.store(fit_);
}

void StatAnalysis::print_fit(const FitRanges& r, const double* coef, const double* inverse,
                             double residual) const {
    prg_printf("# %d obs : S^2=%.3lf(%.3lf)", r.count, coef[0], std::sqrt(inverse[0]) * residual);
    for (int j = 1; j < np_; ++j)
        prg_printf(" %+.3lg(%.3lg) %s^%d", coef[j], std::sqrt(inverse[packed_index(j, j)]) * residual, label_,
                   j);
    prg_printf("%s [%.0lf->%.0lf] s2[%.0lf->%.0lf], res=%.2lf", np_ > 1 ? "\n#" : ",", r.mean_lo, r.mean_hi,
               r.var_lo, r.var_hi, residual);
    prg_printf("\n");
}

// The best fit with its own count, ranges and residual, then the fit divided
// by the raw mean.
void StatAnalysis::print_report() const {
    if (!has_best_) {
        prg_printf("\n No data to analyse\n");
        return;
    }
    prg_printf("\n Best fit (Residual = %.2lf) on %d points\n", best_residual_, best_ranges_.count);
    print_fit(best_ranges_, ovec_.data(), omat_.data(), best_residual_);
    if (best_mean_ == 0) {
        prg_printf("\n Normalised expansion to N=%s/mean : no normalisation, the raw mean is 0\n\n", label_);
        return;
    }
    const double mean = best_mean_;
    prg_printf("\n Normalised expansion to N=%s/mean with mean=%.0lf\n", label_, mean);
    prg_printf("# (S/mean)^2=%.3lg", ovec_[0] / (mean * mean));
    for (int j = 1; j < np_; ++j)
        prg_printf(" %+.3lg N^%d", std::pow(mean, j - 2) * ovec_[j], j);
    prg_printf("\n\n");
}

void check_degree(int32_t degree) {
    if (degree < 0 || degree > kStatMaxDegree)
        v_fatal(kOrigin, "STAT_DEG = %d: the degree of the fit must be between 0 and %d", degree,
                kStatMaxDegree);
}

void check_finite(const char* key, float value) {
    if (!std::isfinite(value))
        v_fatal(kOrigin, "%s = %g is not a finite number", key, static_cast<double>(value));
}

} // namespace

void stat_usage() {
    std::fputs(" DARK_COEF =  \n"
               " STAT_DEG =  1 (default)\n"
               " STAT_LOW  =  0.75 (default)\n"
               " STAT_HIGH =  0.75 (default)\n"
               " STAT_NB =  8 (default)\n"
               " STAT_IMG =  1 (default)\n",
               stderr);
}

int par_stat(const IniTag& t) {
    StatSettings& s = stat_settings;
    if (prg_iniflt(t, "DARK_COEF", s.dark_coef))
        check_finite("DARK_COEF", s.dark_coef);
    else if (prg_iniint(t, "STAT_DEG", s.stat_deg))
        check_degree(s.stat_deg);
    else if (prg_iniflt(t, "STAT_LOW", s.stat_low))
        check_finite("STAT_LOW", s.stat_low);
    else if (prg_iniflt(t, "STAT_HIGH", s.stat_high))
        check_finite("STAT_HIGH", s.stat_high);
    else if (!prg_iniint(t, "STAT_NB", s.stat_nb))
        prg_iniint(t, "STAT_IMG", s.stat_img);
    return 0;
}

void zd_stat(IMG& img, bool dark_present, const IMG& dark, int32_t limit_mode, float limit, int32_t print,
             int32_t threads) {
    check_degree(stat_settings.stat_deg);
    {
        StatAnalysis analysis(img, dark_present, dark, print, threads);
        analysis.run(limit_mode, limit);
    } // the working storage goes here
    xy_freeimg(img, FREE_DATA);
}

int32_t stat_info(IMG& img, int32_t what) {
    int64_t pixels = std::min<int64_t>(std::max<int64_t>(img.size, 0), static_cast<int64_t>(img.data.size()));
    const bool counts = !img.frame.empty();
    if (counts) pixels = std::min<int64_t>(pixels, static_cast<int64_t>(img.frame.size()));
    auto used = [&](int64_t i) { return !counts || img.frame[i] != 0; };
    auto value = [&](int64_t i) { return img.corrected == 1 ? img.data[i] : xy_valcor(img, i); };

    // One pass for the count, the non-zero pixels, the extremes (the first of
    // equal ones) and the sum; a second one for the spread around the mean.
    int64_t n = 0, nonzero = 0, lo_at = -1, hi_at = -1;
    int32_t lo = 0, hi = 0;
    double sum = 0.0;
    for (int64_t i = 0; i < pixels; ++i) {
        if (!used(i)) continue;
        const int32_t v = value(i);
        if (n++ == 0 || v < lo) {
            lo = v;
            lo_at = i;
        }
        if (hi_at < 0 || v > hi) {
            hi = v;
            hi_at = i;
        }
        nonzero += img.data[i] != 0;
        sum += v;
    }
    if (n == 0) return 0;
    const bool all = what == 0;
    const int32_t nx = std::max(img.nx, 1);
    if (all || (what & 1)) img.nonzero = static_cast<int32_t>(nonzero);
    if (all || (what & 2)) {
        img.min = lo;
        img.min_x = static_cast<int32_t>(lo_at % nx);
        img.min_y = static_cast<int32_t>(lo_at / nx);
    }
    if (all || (what & 4)) {
        img.max = hi;
        img.max_x = static_cast<int32_t>(hi_at % nx);
        img.max_y = static_cast<int32_t>(hi_at / nx);
    }
    if (all || (what & 24)) img.mean = sum / static_cast<double>(n);
    if (all || (what & 16)) {
        double squares = 0.0;
        for (int64_t i = 0; i < pixels; ++i)
            if (used(i)) {
                const double d = value(i) - img.mean;
                squares += d * d;
            }
        // One pixel has no spread.
        img.sigma = n > 1 ? std::sqrt(squares / static_cast<double>(n - 1)) : 0.0;
    }
    img.used = static_cast<int32_t>(n);
    return static_cast<int32_t>(n);
}

int chol_part(double* mat, double* vec, int n) {
    if (n <= 0) return 0;
    // L (unit lower triangle, packed like the matrix) and D of A = L.D.Lt.
    std::vector<double> l = prg_alloc<double>("chol_part", "l", packed_size(n));
    std::vector<double> d = prg_alloc<double>("chol_part", "d", static_cast<uint64_t>(n));
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < i; ++j) {
            double s = mat[packed_index(i, j)];
            for (int k = 0; k < j; ++k)
                s -= l[packed_index(i, k)] * d[k] * l[packed_index(j, k)];
            l[packed_index(i, j)] = s / d[j];
        }
        double pivot = mat[packed_index(i, i)];
        if (i == 0 && std::fabs(pivot) <= kPivotMin) return 1;
        for (int k = 0; k < i; ++k) {
            const double lik = l[packed_index(i, k)];
            pivot -= lik * lik * d[k];
            if (std::fabs(pivot) < kPivotMin) return i + 1;
        }
        d[i] = pivot;
        l[packed_index(i, i)] = 1.0;
    }
    // Solution: L y = b, then Lt x = y / D.
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < i; ++k)
            vec[i] -= l[packed_index(i, k)] * vec[k];
    for (int i = n - 1; i >= 0; --i) {
        vec[i] /= d[i];
        for (int k = i + 1; k < n; ++k)
            vec[i] -= l[packed_index(k, i)] * vec[k];
    }
    // Inverse: W = L^-1 (unit lower), then A^-1 = Wt D^-1 W.
    std::vector<double> w = prg_alloc<double>("chol_part", "w", packed_size(n));
    for (int i = 0; i < n; ++i) {
        w[packed_index(i, i)] = 1.0;
        for (int j = 0; j < i; ++j) {
            double s = 0.0;
            for (int k = j; k < i; ++k)
                s -= l[packed_index(i, k)] * w[packed_index(k, j)];
            w[packed_index(i, j)] = s;
        }
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) {
            double s = 0.0;
            for (int k = i; k < n; ++k)
                s += w[packed_index(k, i)] * w[packed_index(k, j)] / d[k];
            mat[packed_index(i, j)] = s;
        }
    return 0;
}

StatWindow stat_first_window(int32_t min, int32_t max, int32_t frames) {
    if (frames <= 0) return StatWindow{};
    return {clamp_to_int32((static_cast<int64_t>(min) - frames) / frames),
            clamp_to_int32((static_cast<int64_t>(frames) + max) / frames)};
}

StatWindow stat_narrow_window(const StatWindow& w, int32_t raw_mean, float low, float high) {
    const float m = static_cast<float>(raw_mean);
    const float low_factor = w.lo < 0 ? 1.0f - low : low;
    const float lo = m + (static_cast<float>(w.lo) - m) * low_factor;
    const float hi = m + (static_cast<float>(w.hi) - m) * high;
    return {trunc_to_int32(lo), trunc_to_int32(hi)};
}
