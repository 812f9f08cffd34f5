// Grid-corrected resampling: every source pixel's counts are shared among
// the target pixels its corrected footprint overlaps.
#include "xy_resample.hpp"
#include "xy_threads.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

namespace {

const char* const kOrigin = "../xy32lib/xy_grid";

// trunc(q + 0.5) as a 32-bit pixel; values beyond the pixel range saturate and
// a NaN becomes 0, each counted so that the run reports them.
int32_t round_pixel(double q, int32_t& n_clipped) {
    const double r = q + 0.5;
    // The cast truncates toward zero; inside these bounds its result fits.
    if (r > -2147483649.0 && r < 2147483648.0) return static_cast<int32_t>(r);
    ++n_clipped;
    if (std::isnan(r)) return 0;
    return r < 0 ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
}

// Length of [lo, hi] inside the target cell [i, i + 1]; false when they do not meet.
bool cell_overlap(double lo, double hi, int32_t i, double& w) {
    const double left = i, right = i + 1.0;
    if (lo < left) {
        if (hi < left) return false;
        w = hi > right ? 1.0 : hi - left;
    } else {
        if (lo > right) return false;
        w = std::min(hi, right) - lo;
    }
    return true;
}

// Target cells [first, last] from trunc(lo) to trunc(hi), clipped to 0..n-1
// before any conversion to int (a footprint can lie billions of pixels away).
// lo and hi are finite.
bool cell_range(double lo, double hi, int32_t n, int32_t& first, int32_t& last) {
    if (lo >= n || hi <= -1.0) return false;
    first = lo < 0.0 ? 0 : static_cast<int32_t>(lo);
    last = hi >= n ? n - 1 : static_cast<int32_t>(hi);
    return first <= last;
}

// Exponents of term k, usable where the term number is a compile-time constant.
constexpr int32_t degree_of_term(int32_t k) {
    int32_t d = 0;
    while ((d + 1) * (d + 2) / 2 <= k)
        ++d;
    return d;
}
constexpr int32_t y_power_of_term(int32_t k) {
    return k - degree_of_term(k) * (degree_of_term(k) + 1) / 2;
}
constexpr int32_t x_power_of_term(int32_t k) {
    return degree_of_term(k) - y_power_of_term(k);
}

// One term of the model as the general row evaluation needs it, worked out once per image.
struct Term {
    int32_t i = 0, j = 0;  // X^i Y^j
    double cx = 0, cy = 0; // xcor[k], ycor[k]
    // power * c[k]: the first product of each derivative sum's term (0 when the
    // term has no lower monomial and is left out of that sum).
    bool has_dx = false, has_dy = false;
    double x_dx = 0, y_dx = 0, x_dy = 0, y_dy = 0;
};

std::vector<Term> term_table(const GridCor& g, int32_t& degree) {
    std::vector<Term> terms(grid_terms_in_use(g));
    degree = 0;
    for (size_t k = 0; k < terms.size(); ++k) {
        Term& t = terms[k];
        const int32_t kk = static_cast<int32_t>(k);
        t.has_dx = grid_deg_xy(kk, t.i, t.j, 1) >= 0;
        t.has_dy = grid_deg_xy(kk, t.i, t.j, 2) >= 0;
        degree = std::max({degree, t.i, t.j});
        t.cx = g.xcor[k];
        t.cy = g.ycor[k];
        t.x_dx = static_cast<double>(t.i) * g.xcor[k];
        t.y_dx = static_cast<double>(t.i) * g.ycor[k];
        t.x_dy = static_cast<double>(t.j) * g.xcor[k];
        t.y_dy = static_cast<double>(t.j) * g.ycor[k];
    }
    return terms;
}

// Two columns at a time: each lane is computed with exactly the operations of
// the single-point functions (IEEE double, no contraction), so the lanes hold
// the same bits.
typedef double Pair __attribute__((vector_size(16)));

Pair load_pair(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store_pair(double* p, Pair v) {
    std::memcpy(p, &v, sizeof v);
}

// Where the processor has 256-bit vectors, the block loops run on four lanes
// instead of two: the same IEEE operations on each lane (no contraction), so
// the same bits, with half the divisions issued.
#if defined(__x86_64__) && defined(__GNUC__)
#define GRID_WIDE __attribute__((target("avx2")))
bool wide_vectors_available() {
    return __builtin_cpu_supports("avx2") != 0;
}
#else
#define GRID_WIDE
bool wide_vectors_available() {
    return false;
}
#endif
#define GRID_INLINE inline __attribute__((always_inline))

typedef double Quad __attribute__((vector_size(32)));

bool use_wide_vectors(const GridCor& g) {
    static const bool available = wide_vectors_available();
    return available && g.vector_lanes != 2;
}

// Vectors go by reference: a 32-byte vector passed by value would depend on
// the calling convention of the target.
template <class V> GRID_INLINE void load_lanes(V& v, const double* p) {
    std::memcpy(&v, p, sizeof v);
}

template <class V> GRID_INLINE void store_lanes(double* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

// floor(x) for 0 <= x < 2^52: adding and taking away 2^52 rounds to the
// nearest whole number, which is one too high when it rounded up.
template <class V> GRID_INLINE void whole_part(V& x) {
    const double two52 = 4503599627370496.0;
    const V r = (x + two52) - two52;
    x = r > x ? r - 1.0 : r;
}

// The model at a block of source pixels of one row: first the two polynomials
// in grid pixels, then (after the Placement) the corrected position in
// image pixels, the footprint size dPx/dX, dPy/dY and the Jacobian determinant.
struct ModelBlock {
    static constexpr size_t kBlock = 128;
    double xc[kBlock + 3], yc[kBlock + 3]; // three spare entries for groups of four columns
    double ax[kBlock + 3], ay[kBlock + 3];
    double surface[kBlock + 3];
};

// From the polynomial value p to the corrected image position: (p - min) / bind,
// or (p + min) / bind in the reversed form (p - m == p + (-m)). Dividing by a
// power of two is multiplying by its reciprocal, which is exact.
class Placement {
  public:
    Placement(int32_t min, int32_t bind)
        : shift_(bind > 0 ? -static_cast<double>(min) : min), bind_(bind), scale_(1.0 / bind) {
        const uint32_t magnitude = bind < 0 ? 0u - static_cast<uint32_t>(bind) : static_cast<uint32_t>(bind);
        exact_scale_ = (magnitude & (magnitude - 1u)) == 0u;
    }

    void apply(double* p, size_t count) const {
        if (exact_scale_) {
            for (size_t b = 0; b < count; ++b)
                p[b] = (p[b] + shift_) * scale_;
        } else {
            for (size_t b = 0; b < count; ++b)
                p[b] = (p[b] + shift_) / bind_;
        }
    }

  private:
    double shift_, bind_, scale_;
    bool exact_scale_ = false;
};

// What the evaluations of one image share: the powers of X, taken once per
// column, and those of Y, once per row, with the same pow calls as the
// monomial table. Every monomial is their product and each pixel's sums run in
// the same term order as the single-point functions, so the values are the
// same to the last bit.
class ModelBase {
  public:
    ModelBase(GridCor& g, const IMG& img, int32_t degree)
        : g_(g), nx_(static_cast<size_t>(img.nx)), powers_(static_cast<size_t>(degree) + 1),
          stride_(nx_ + 3), // spare columns keep the last group of four columns in bounds
          x_place_(g.grid_xmin, g.grid_xbind), y_place_(g.grid_ymin, g.grid_ybind) {
        x_powers_ = prg_alloc<double>(kOrigin, "column powers", powers_ * stride_);
        y_powers_.resize(powers_);
        for (size_t x = 0; x < nx_; ++x) {
            const double X = grid_pix_xcor(static_cast<double>(x), g_);
            for (size_t p = 0; p < powers_; ++p)
                x_powers_[p * stride_ + x] = std::pow(X, static_cast<double>(p));
        }
    }
    virtual ~ModelBase() = default;

    virtual void start_row(int32_t y) {
        const double Y = grid_pix_ycor(static_cast<double>(y), g_);
        for (size_t p = 0; p < powers_; ++p)
            y_powers_[p] = std::pow(Y, static_cast<double>(p));
    }

    // Columns x0 .. x0 + count - 1 (count at most kBlock) of the current row.
    void evaluate(size_t x0, size_t count, ModelBlock& out) {
        polynomials(x0, count, out);
        x_place_.apply(out.xc, count);
        y_place_.apply(out.yc, count);
    }

  protected:
    virtual void polynomials(size_t x0, size_t count, ModelBlock& out) = 0;
    const double* x_powers(size_t p, size_t x) const { return &x_powers_[p * stride_ + x]; }

    GridCor& g_;
    size_t nx_, powers_, stride_;
    std::vector<double> x_powers_; // [power][column]
    std::vector<double> y_powers_; // [power]

  private:
    Placement x_place_, y_place_;
};

// Any number of terms: a loop over the term table, two pairs of columns at a time.
class GeneralModel final : public ModelBase {
  public:
    GeneralModel(GridCor& g, const IMG& img, std::vector<Term> terms, int32_t degree)
        : ModelBase(g, img, degree), terms_(std::move(terms)) {}

  private:
    void polynomials(size_t x0, size_t count, ModelBlock& out) override {
        for (size_t b = 0; b < count; b += 4)
            evaluate_pairs(x0 + b, b, out);
    }

    Pair x_power(size_t p, size_t x) const { return load_pair(x_powers(p, x)); }

    // Two pairs side by side: independent sums keep the adder busy.
    void evaluate_pairs(size_t x, size_t b, ModelBlock& out) const {
        constexpr int L = 2;
        const Pair zero = {0.0, 0.0};
        Pair px[L], py[L], pxx[L], pxy[L], pyx[L], pyy[L];
        for (int l = 0; l < L; ++l)
            px[l] = py[l] = pxx[l] = pxy[l] = pyx[l] = pyy[l] = zero;
        for (const Term& t : terms_) {
            const double yj = y_powers_[static_cast<size_t>(t.j)];
            for (int l = 0; l < L; ++l) {
                const Pair mono = x_power(static_cast<size_t>(t.i), x + 2 * l) * yj;
                px[l] += t.cx * mono;
                py[l] += t.cy * mono;
            }
            if (t.has_dx) {
                for (int l = 0; l < L; ++l) {
                    const Pair lower = x_power(static_cast<size_t>(t.i - 1), x + 2 * l) * yj;
                    pxx[l] += t.x_dx * lower;
                    pyx[l] += t.y_dx * lower;
                }
            }
            if (t.has_dy) {
                const double yl = y_powers_[static_cast<size_t>(t.j - 1)];
                for (int l = 0; l < L; ++l) {
                    const Pair lower = x_power(static_cast<size_t>(t.i), x + 2 * l) * yl;
                    pxy[l] += t.x_dy * lower;
                    pyy[l] += t.y_dy * lower;
                }
            }
        }
        for (int l = 0; l < L; ++l) {
            store_pair(&out.xc[b + 2 * l], px[l]);
            store_pair(&out.yc[b + 2 * l], py[l]);
            store_pair(&out.ax[b + 2 * l], pxx[l]);
            store_pair(&out.ay[b + 2 * l], pyy[l]);
            store_pair(&out.surface[b + 2 * l], pxx[l] * pyy[l] - pyx[l] * pxy[l]);
        }
    }

    std::vector<Term> terms_;
};

// The six sums of a pixel: Px, Py, dPx/dX, dPy/dX, dPx/dY, dPy/dY.
enum Sum { kPx, kPy, kPxx, kPyx, kPxy, kPyy, kSums };

// A model of N terms (up to the quartic) written out term by term at compile
// time: the loop over the columns of a block is straight-line code that the
// compiler vectorises, each lane doing the operations of the term loop.
// Terms whose monomial holds no X are row constants, taken once per row.
constexpr int32_t kMaxFixedTerms = 15;

template <int32_t N> class FixedModel final : public ModelBase {
    static constexpr int32_t kDegree = degree_of_term(N - 1);

  public:
    FixedModel(GridCor& g, const IMG& img) : ModelBase(g, img, kDegree), wide_(use_wide_vectors(g)) {
        for (int32_t k = 0; k < N; ++k) {
            const double i = x_power_of_term(k), j = y_power_of_term(k);
            const size_t kk = static_cast<size_t>(k);
            coef_[kPx][k] = g.xcor[kk];
            coef_[kPy][k] = g.ycor[kk];
            coef_[kPxx][k] = i * g.xcor[kk];
            coef_[kPyx][k] = i * g.ycor[kk];
            coef_[kPxy][k] = j * g.xcor[kk];
            coef_[kPyy][k] = j * g.ycor[kk];
        }
    }

    void start_row(int32_t y) override {
        ModelBase::start_row(y);
        for (int32_t k = 0; k < N; ++k) {
            const int32_t i = x_power_of_term(k), j = y_power_of_term(k);
            if (i == 0) row_term(kPx, k, j), row_term(kPy, k, j);
            if (i == 1) row_term(kPxx, k, j), row_term(kPyx, k, j);
            if (i == 0 && j > 0) row_term(kPxy, k, j - 1), row_term(kPyy, k, j - 1);
        }
    }

  private:
    // coefficient * Y^j, the term of sum s for a monomial without X.
    void row_term(int s, int32_t k, int32_t j) {
        row_[s][k] = coef_[s][k] * y_powers_[static_cast<size_t>(j)];
    }

    struct Inputs {
        double coef[kSums][N];
        double row[kSums][N];
        double y[kDegree + 1];
        const double* x[kDegree + 1];
    };

    // X^i Y^j at column b for i > 0 (X^i * 1 when j = 0, as pow(Y, 0) is 1).
    template <int32_t I, int32_t J> static GRID_INLINE double monomial(const Inputs& in, size_t b) {
        if constexpr (J == 0)
            return in.x[I][b];
        else
            return in.x[I][b] * in.y[J];
    }

    template <int32_t I, int32_t J>
    static GRID_INLINE void add(double& sum, const Inputs& in, int s, int32_t k, size_t b) {
        if constexpr (I == 0)
            sum += in.row[s][k];
        else
            sum += in.coef[s][k] * monomial<I, J>(in, b);
    }

    template <int32_t K> static GRID_INLINE void add_term(double (&sum)[kSums], const Inputs& in, size_t b) {
        constexpr int32_t i = x_power_of_term(K), j = y_power_of_term(K);
        add<i, j>(sum[kPx], in, kPx, K, b);
        add<i, j>(sum[kPy], in, kPy, K, b);
        if constexpr (i > 0) {
            add<i - 1, j>(sum[kPxx], in, kPxx, K, b);
            add<i - 1, j>(sum[kPyx], in, kPyx, K, b);
        }
        if constexpr (j > 0) {
            add<i, j - 1>(sum[kPxy], in, kPxy, K, b);
            add<i, j - 1>(sum[kPyy], in, kPyy, K, b);
        }
    }

    template <int32_t... K>
    static GRID_INLINE void add_terms(std::integer_sequence<int32_t, K...>, double (&sum)[kSums],
                                      const Inputs& in, size_t b) {
        (add_term<K>(sum, in, b), ...);
    }

    // The loop over the columns, vectorised by the compiler for the target of its caller.
    static GRID_INLINE void columns(const Inputs& given, size_t count, ModelBlock& out) {
        const Inputs in = given; // a local copy: nothing the loop stores can change it
        double* __restrict xc = out.xc;
        double* __restrict yc = out.yc;
        double* __restrict ax = out.ax;
        double* __restrict ay = out.ay;
        double* __restrict surface = out.surface;
        for (size_t b = 0; b < count; ++b) {
            double sum[kSums] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
            add_terms(std::make_integer_sequence<int32_t, N>(), sum, in, b);
            xc[b] = sum[kPx];
            yc[b] = sum[kPy];
            ax[b] = sum[kPxx];
            ay[b] = sum[kPyy];
            surface[b] = sum[kPxx] * sum[kPyy] - sum[kPyx] * sum[kPxy];
        }
    }
    static void narrow_columns(const Inputs& in, size_t count, ModelBlock& out) { columns(in, count, out); }
    GRID_WIDE static void wide_columns(const Inputs& in, size_t count, ModelBlock& out) {
        columns(in, count, out);
    }

    void polynomials(size_t x0, size_t count, ModelBlock& out) override {
        Inputs in;
        std::memcpy(in.coef, coef_, sizeof coef_);
        std::memcpy(in.row, row_, sizeof row_);
        for (size_t p = 0; p <= static_cast<size_t>(kDegree); ++p) {
            in.y[p] = y_powers_[p];
            in.x[p] = x_powers(p, x0);
        }
        if (wide_)
            wide_columns(in, count, out);
        else
            narrow_columns(in, count, out);
    }

    const bool wide_;

    double coef_[kSums][N] = {};
    double row_[kSums][N] = {};
};

template <int32_t N> std::unique_ptr<ModelBase> fixed_model(size_t n, GridCor& g, const IMG& img) {
    if (n == static_cast<size_t>(N)) return std::make_unique<FixedModel<N>>(g, img);
    if constexpr (N < kMaxFixedTerms)
        return fixed_model<N + 1>(n, g, img);
    else
        return nullptr;
}

std::unique_ptr<ModelBase> make_model(GridCor& g, const IMG& img) {
    if (std::unique_ptr<ModelBase> fixed = fixed_model<1>(grid_terms_in_use(g), g, img)) return fixed;
    int32_t degree = 0;
    std::vector<Term> terms = term_table(g, degree);
    return std::make_unique<GeneralModel>(g, img, std::move(terms), degree);
}

// An array of n values that starts as zeros. Anonymous memory is zero already:
// its pages are cleared by the system on first touch, during the pass that
// fills them, rather than written twice; large arrays ask for huge pages,
// which makes that first touch a few dozen page faults instead of thousands.
template <class T> class ZeroArray {
  public:
    ZeroArray(const char* item, uint64_t n) {
        if (n == 0) return;
        if (n > std::numeric_limits<size_t>::max() / sizeof(T))
            prg_alloc_failed(kOrigin, item, n * sizeof(T));
        bytes_ = static_cast<size_t>(n) * sizeof(T);
        void* p = prg_map_large(bytes_);
        if (!p) prg_alloc_failed(kOrigin, item, bytes_);
        data_ = static_cast<T*>(p);
    }
    ~ZeroArray() {
        if (data_) prg_unmap_large(data_, bytes_);
    }
    ZeroArray(const ZeroArray&) = delete;
    ZeroArray& operator=(const ZeroArray&) = delete;

    T* data() { return data_; }
    const T* data() const { return data_; }

  private:
    T* data_ = nullptr;
    size_t bytes_ = 0;
};

// Target rows [first, last]; empty while first > last.
struct TargetRows {
    int32_t first = std::numeric_limits<int32_t>::max(), last = -1;
    bool empty() const { return first > last; }
    void take(int32_t lo, int32_t hi) {
        first = std::min(first, lo);
        last = std::max(last, hi);
    }
    bool holds(const TargetRows& r) const { return r.first >= first && r.last <= last; }
    bool meets(const TargetRows& r) const {
        return !empty() && !r.empty() && r.first <= last && r.last >= first;
    }
};

// The scratch of one thread's general footprint walk: the column overlaps of
// the current footprint (one spare), and the pixels it found without a sound
// footprint.
struct Walk {
    std::vector<double> wx;
    int64_t skipped = 0;
    explicit Walk(int32_t nx) : wx(static_cast<size_t>(nx) + 1) {}
};

// A folded or mirrored model, or one that left the number range, has no sound
// footprint: its pixel is counted and left out.
bool sound_footprint(double ax, double ay, double S, double x_lo, double x_hi, double y_lo, double y_hi) {
    return ax > 0.0 && ay > 0.0 && S > 0.0 && std::isfinite(S) && std::isfinite(x_lo) &&
           std::isfinite(x_hi) && std::isfinite(y_lo) && std::isfinite(y_hi);
}

// Footprints of a block of source pixels: those that fit in 2 x 2 target
// cells inside the image carry their top-left cell and their four shares,
// the others are marked for the general walk.
struct FootprintBlock {
    static constexpr double kGeneral = -1.0;
    static constexpr size_t kSize = ModelBlock::kBlock + 3; // whole groups of four
    double cell[kSize];                                     // j0 * nx + i0, or kGeneral
    double count_share[4][kSize];                           // v * w
    double surface_share[4][kSize];                         // w * S
};

struct Accumulator {
    ZeroArray<float> surface;
    ZeroArray<double> counts;
    int32_t nx = 0, ny = 0;
    bool wide;

    Accumulator(const IMG& img, bool wide_vectors)
        : surface("surface", static_cast<uint64_t>(img.size)),
          counts("corrected values", static_cast<uint64_t>(img.size)), nx(img.nx), ny(img.ny),
          wide(wide_vectors) {}

    // The usual footprint, at most 2 x 2 cells wholly inside the image, worked
    // out for a block of pixels in one pass without branches. The overlaps are
    // those of cell_overlap: the first column gets min(hi, i0 + 1) - lo, the
    // second hi - (i0 + 1) when the footprint reaches it and exactly 0 when it
    // does not. A share of 0 leaves both sums as they are (no sum is ever -0),
    // so a footprint of one column or row is handled as one of two.
    template <class V>
    GRID_INLINE void footprint_lanes(const ModelBlock& m, const int32_t* values, size_t count,
                                     FootprintBlock& f) const {
        constexpr size_t kLanes = sizeof(V) / sizeof(double);
        const V zero = V{} * 0.0, one = zero + 1.0, general = zero + FootprintBlock::kGeneral;
        const double x_limit = nx - 1.0, y_limit = ny - 1.0, stride = nx;
        const double infinity = std::numeric_limits<double>::infinity();
        for (size_t b = 0; b < count; b += kLanes) {
            V ax, ay, S, xc, yc;
            load_lanes(ax, &m.ax[b]);
            load_lanes(ay, &m.ay[b]);
            load_lanes(S, &m.surface[b]);
            load_lanes(xc, &m.xc[b]);
            load_lanes(yc, &m.yc[b]);
            const V x_lo = xc - ax / 2, x_hi = xc + ax / 2;
            const V y_lo = yc - ay / 2, y_hi = yc + ay / 2;
            // One combined test, false for NaN: a sound footprint whose cells
            // trunc(lo) .. trunc(lo) + 1 lie inside the image.
            const auto inside = (ax > 0.0) & (ay > 0.0) & (S > 0.0) & (S < infinity) & (x_lo >= 0.0) &
                                (x_hi < x_limit) & (y_lo >= 0.0) & (y_hi < y_limit);
            V i0 = inside ? x_lo : zero, j0 = inside ? y_lo : zero;
            whole_part(i0);
            whole_part(j0);
            const V right = i0 + 1.0, bottom = j0 + 1.0;
            const auto usual = inside & (x_hi < right + 1.0) & (y_hi < bottom + 1.0);
            const V x_mid = x_hi < right ? x_hi : right, y_mid = y_hi < bottom ? y_hi : bottom;
            const V wx0 = x_mid - x_lo, wx1 = x_hi - x_mid;
            const V wy0 = y_mid - y_lo, wy1 = y_hi - y_mid;
            const V s = usual ? S : one;
            const V w[4] = {wx0 * wy0 / s, wx1 * wy0 / s, wx0 * wy1 / s, wx1 * wy1 / s};
            V v = zero;
            for (size_t l = 0; l < kLanes && b + l < count; ++l)
                v[l] = static_cast<double>(values[b + l]);
            for (int c = 0; c < 4; ++c) {
                store_lanes<V>(&f.count_share[c][b], v * w[c]);
                store_lanes<V>(&f.surface_share[c][b], w[c] * S);
            }
            store_lanes<V>(&f.cell[b], usual ? j0 * stride + i0 : general); // exact: below 2^31
        }
    }
    void narrow_footprints(const ModelBlock& m, const int32_t* values, size_t count,
                           FootprintBlock& f) const {
        footprint_lanes<Pair>(m, values, count, f);
    }
    GRID_WIDE void wide_footprints(const ModelBlock& m, const int32_t* values, size_t count,
                                   FootprintBlock& f) const {
        footprint_lanes<Quad>(m, values, count, f);
    }
    void footprints(const ModelBlock& m, const int32_t* values, size_t count, FootprintBlock& f) const {
        if (wide)
            wide_footprints(m, values, count, f);
        else
            narrow_footprints(m, values, count, f);
    }

    // Adds the block's footprints in source order; the unusual ones take the
    // general walk. The right column of one footprint is most often the left
    // column of the next: it is kept in registers until then (a "pending"
    // column), so each cell is loaded and stored once instead of twice, and
    // every cell still gets its shares in source order.
    void add_block(const ModelBlock& m, const FootprintBlock& f, const int32_t* values, const uint16_t* frame,
                   size_t count, Walk& walk) {
        double* const c = counts.data();
        float* const s = surface.data();
        const size_t stride = static_cast<size_t>(nx);
        bool pending = false;
        size_t open = 0;                // top cell of the pending column
        double c_top = 0, c_bottom = 0; // its counts
        float s_top = 0, s_bottom = 0;  // and surfaces
        auto flush = [&] {
            if (!pending) return;
            c[open] = c_top;
            c[open + stride] = c_bottom;
            s[open] = s_top;
            s[open + stride] = s_bottom;
            pending = false;
        };
        auto add = [](float sum, double share) {
            return static_cast<float>(static_cast<double>(sum) + share);
        };
        for (size_t b = 0; b < count; ++b) {
            if (frame && frame[b] == 0) continue;
            if (!(f.cell[b] >= 0.0)) {
                flush();
                spread(static_cast<double>(values[b]), m, b, all_rows(), walk);
                continue;
            }
            const size_t cell = static_cast<size_t>(f.cell[b]);
            if (!pending || open != cell) {
                flush();
                c_top = c[cell];
                c_bottom = c[cell + stride];
                s_top = s[cell];
                s_bottom = s[cell + stride];
            }
            c[cell] = c_top + f.count_share[0][b];
            c[cell + stride] = c_bottom + f.count_share[2][b];
            s[cell] = add(s_top, f.surface_share[0][b]);
            s[cell + stride] = add(s_bottom, f.surface_share[2][b]);
            open = cell + 1;
            c_top = c[open] + f.count_share[1][b];
            c_bottom = c[open + stride] + f.count_share[3][b];
            s_top = add(s[open], f.surface_share[1][b]);
            s_bottom = add(s[open + stride], f.surface_share[3][b]);
            pending = true;
        }
        flush();
    }

    TargetRows all_rows() const { return TargetRows{0, ny - 1}; }

    // add_block for one of several threads: only the shares of the target
    // rows `rows` are added, each cell still taking them in source order.
    void add_block_within(const ModelBlock& m, const FootprintBlock& f, const int32_t* values,
                          const uint16_t* frame, size_t count, const TargetRows& rows, Walk& walk) {
        double* const c = counts.data();
        float* const s = surface.data();
        const size_t stride = static_cast<size_t>(nx);
        const size_t first = static_cast<size_t>(rows.first) * stride,
                     end = (static_cast<size_t>(rows.last) + 1) * stride;
        for (size_t b = 0; b < count; ++b) {
            if (frame && frame[b] == 0) continue;
            if (!(f.cell[b] >= 0.0)) {
                spread(static_cast<double>(values[b]), m, b, rows, walk);
                continue;
            }
            const size_t cell = static_cast<size_t>(f.cell[b]);
            for (int k = 0; k < 4; ++k) {
                const size_t t = cell + (k & 1) + (k >> 1) * stride;
                if (t < first || t >= end) continue;
                c[t] += f.count_share[k][b];
                s[t] = static_cast<float>(static_cast<double>(s[t]) + f.surface_share[k][b]);
            }
        }
    }

    // The target rows the block's footprints may add to, from the model alone:
    // for every sound footprint, the rows from its top edge to one past its
    // bottom edge, inside the image (a usual footprint adds to the row of its
    // top edge and the next, wherever its pixel counts or not; a general one
    // to the rows it meets). Counts in `unsound` the pixels in use whose
    // footprint is not sound.
    TargetRows model_rows(const ModelBlock& m, const uint16_t* frame, size_t count, int64_t& unsound) const {
        // sound_footprint without branches, so that the loop is vectorised.
        const double infinity = std::numeric_limits<double>::infinity();
        double low = infinity, high = -infinity;
        int64_t unsound_in_use = 0;
        for (size_t b = 0; b < count; ++b) {
            const double x_lo = m.xc[b] - m.ax[b] / 2, x_hi = m.xc[b] + m.ax[b] / 2;
            const double y_lo = m.yc[b] - m.ay[b] / 2, y_hi = m.yc[b] + m.ay[b] / 2;
            const bool sound = (m.ax[b] > 0.0) & (m.ay[b] > 0.0) & (m.surface[b] > 0.0) &
                               (m.surface[b] < infinity) & (std::fabs(x_lo) < infinity) &
                               (std::fabs(x_hi) < infinity) & (std::fabs(y_lo) < infinity) &
                               (std::fabs(y_hi) < infinity);
            low = std::min(low, sound ? y_lo : infinity);
            high = std::max(high, sound ? y_hi : -infinity);
            unsound_in_use += !sound & (!frame || frame[b] != 0);
        }
        unsound += unsound_in_use;
        // The rows as cell_range clips them, and the next.
        TargetRows rows;
        if (low > high || low >= ny || high <= -1.0) return rows;
        const int32_t top = low < 0.0 ? 0 : static_cast<int32_t>(low);
        const int32_t bottom = high >= ny ? ny - 1 : static_cast<int32_t>(high);
        rows.take(top, std::min(bottom + 1, ny - 1));
        return rows;
    }

    // Shares the value of source pixel b among the target pixels of `rows`
    // that its footprint overlaps: target t gets v * w with w = wx * wy / S,
    // and its surface w * S. A cell that the footprint does not meet gets a
    // weight of 0, which leaves both sums as they are (no sum is ever -0).
    void spread(double v, const ModelBlock& m, size_t b, const TargetRows& rows, Walk& walk) {
        const double xc = m.xc[b], yc = m.yc[b], ax = m.ax[b], ay = m.ay[b], S = m.surface[b];
        const double x_lo = xc - ax / 2, x_hi = xc + ax / 2;
        const double y_lo = yc - ay / 2, y_hi = yc + ay / 2;
        if (!sound_footprint(ax, ay, S, x_lo, x_hi, y_lo, y_hi)) {
            ++walk.skipped;
            return;
        }
        int32_t i0, i1, j0, j1;
        if (!cell_range(x_lo, x_hi, nx, i0, i1) || !cell_range(y_lo, y_hi, ny, j0, j1)) return;
        const size_t columns = static_cast<size_t>(i1 - i0) + 1;
        std::vector<double>& wx = walk.wx;
        for (size_t c = 0; c < columns; ++c)
            if (!cell_overlap(x_lo, x_hi, i0 + static_cast<int32_t>(c), wx[c])) wx[c] = 0.0;
        for (int32_t j = std::max(j0, rows.first); j <= std::min(j1, rows.last); ++j) {
            double wy = 0.0;
            if (!cell_overlap(y_lo, y_hi, j, wy)) continue;
            const size_t row = static_cast<size_t>(j) * static_cast<size_t>(nx) + static_cast<size_t>(i0);
            for (size_t c = 0; c < columns; ++c) {
                const double w = wx[c] * wy / S;
                counts.data()[row + c] += v * w;
                float& s = surface.data()[row + c];
                s = static_cast<float>(static_cast<double>(s) + w * S);
            }
        }
    }
};

enum class GridMode { Default, Flat, Strict, FlatStrict };

GridMode grid_mode_of(const std::string& text) {
    const bool flat = text.find("FLAT") != std::string::npos;
    const bool strict = text.find("STRICT") != std::string::npos;
    if (flat && strict) return GridMode::FlatStrict;
    if (flat) return GridMode::Flat;
    if (strict) return GridMode::Strict;
    return GridMode::Default;
}

struct Finish {
    int32_t n_border = 0, n_clipped = 0;
};

// The mode's rule for every target pixel; the mode is a template argument so
// that the choice is made once, outside the pixel loop.
template <GridMode M>
void finish_pixels(const double* counts, const float* surface, size_t n, int32_t* data, uint16_t* frame,
                   Finish& r) {
    for (size_t t = 0; t < n; ++t) {
        const double s = surface[t];
        const double c = counts[t];
        int32_t value = 0;
        uint16_t used = 0;
        if constexpr (M == GridMode::FlatStrict) {
            if (s != 0.0) value = round_pixel(c / s, r.n_clipped), used = 1;
        } else if constexpr (M == GridMode::Flat) {
            if (s >= 0.5) value = round_pixel(c / s, r.n_clipped), used = 1;
        } else if constexpr (M == GridMode::Strict) {
            if (s != 0.0) value = round_pixel(c, r.n_clipped), used = 1;
        } else {
            if (s >= 1.0) {
                value = round_pixel(c, r.n_clipped);
            } else if (s > 0.5) {
                value = round_pixel(c / s, r.n_clipped);
                ++r.n_border;
            }
            used = s >= 0.5 ? 1 : 0;
        }
        data[t] = value;
        frame[t] = used;
    }
}

void finish(GridMode mode, const Accumulator& acc, int64_t first, size_t n, int32_t* data, uint16_t* frame,
            Finish& r) {
    const double* c = acc.counts.data() + first;
    const float* s = acc.surface.data() + first;
    switch (mode) {
    case GridMode::FlatStrict:
        return finish_pixels<GridMode::FlatStrict>(c, s, n, data, frame, r);
    case GridMode::Flat:
        return finish_pixels<GridMode::Flat>(c, s, n, data, frame, r);
    case GridMode::Strict:
        return finish_pixels<GridMode::Strict>(c, s, n, data, frame, r);
    case GridMode::Default:
        return finish_pixels<GridMode::Default>(c, s, n, data, frame, r);
    }
}

void check_image(const GridCor& g, const IMG& img) {
    if (g.grid_xbind == 0 || g.grid_ybind == 0)
        v_error(kOrigin, "grid binding %d x %d: 0 is not a binding", g.grid_xbind, g.grid_ybind);
    if (img.nx < 0 || img.ny < 0 || static_cast<int64_t>(img.nx) * img.ny != img.size ||
        img.data.size() != static_cast<size_t>(img.size) ||
        (!img.frame.empty() && img.frame.size() != img.data.size()))
        v_error(kOrigin, "image %s holds %zu values (%zu frame counts) for its size %d (%dx%d)",
                img.name.c_str(), img.data.size(), img.frame.size(), img.size, img.nx, img.ny);
}

// The rows of source pixels, one after the other, on this thread.
void accumulate_rows(GridCor& g, const IMG& img, Accumulator& acc, int64_t& skipped) {
    std::unique_ptr<ModelBase> model = make_model(g, img);
    auto block = std::make_unique<ModelBlock>();
    auto footprints = std::make_unique<FootprintBlock>();
    Walk walk(img.nx);
    const size_t nx = static_cast<size_t>(img.nx);
    const bool had_frame = !img.frame.empty();
    for (int32_t y = 0; y < img.ny; ++y) {
        model->start_row(y);
        const size_t row = static_cast<size_t>(y) * nx;
        for (size_t x0 = 0; x0 < nx; x0 += ModelBlock::kBlock) {
            const size_t count = std::min(ModelBlock::kBlock, nx - x0);
            const int32_t* values = img.data.data() + row + x0;
            const uint16_t* mask = had_frame ? img.frame.data() + row + x0 : nullptr;
            model->evaluate(x0, count, *block);
            acc.footprints(*block, values, count, *footprints);
            acc.add_block(*block, *footprints, values, mask, count, walk);
        }
        prg_progress("rows", y + 1, img.ny);
    }
    skipped = walk.skipped;
}

// Source rows worked on together by several threads.
constexpr int32_t kWindowRows = 32;

// The share of a window's blocks each thread takes, after how fast each
// added its blocks in the windows before: a thread that was slower (its
// processor busy with other work, or first to touch new memory) takes fewer
// next time. Where the bands are cut never changes a result: every target
// pixel still takes its shares in source order.
class BandShares {
  public:
    explicit BandShares(int32_t team) : shares_(static_cast<size_t>(team), 1.0 / team) {}
    const std::vector<double>& shares() const { return shares_; }
    // Thread t added its share of the last window in seconds[t]: the shares
    // move halfway to those that would have taken every thread as long.
    void learn(const std::vector<double>& seconds) {
        std::vector<double> speeds(shares_.size());
        double total = 0;
        for (size_t t = 0; t < speeds.size(); ++t) {
            if (!(seconds[t] > 0.0)) return;
            speeds[t] = shares_[t] / seconds[t];
            total += speeds[t];
        }
        for (size_t t = 0; t < speeds.size(); ++t)
            shares_[t] = (shares_[t] + speeds[t] / total) / 2;
    }

  private:
    std::vector<double> shares_;
};

// The target rows each thread adds to for one window: the rows its blocks add
// to, cut where the blocks that begin before each cut are the threads' shares.
std::vector<TargetRows> window_bands(const std::vector<TargetRows>& spans,
                                     const std::vector<double>& shares) {
    TargetRows all;
    std::vector<int32_t> firsts;
    for (const TargetRows& s : spans) {
        if (s.empty()) continue;
        all.take(s.first, s.last);
        firsts.push_back(s.first);
    }
    std::vector<TargetRows> bands(shares.size());
    if (firsts.empty()) return bands;
    std::sort(firsts.begin(), firsts.end());
    int32_t start = all.first;
    double before = 0;
    for (size_t t = 0; t < bands.size(); ++t) {
        before += shares[t];
        const auto cut = std::min(static_cast<size_t>(before * static_cast<double>(firsts.size()) + 0.5),
                                  firsts.size() - 1);
        const int32_t end = t + 1 == bands.size() ? all.last + 1 : std::max(start, firsts[cut]);
        bands[t] = TargetRows{start, end - 1};
        start = end;
    }
    return bands;
}

// What one thread keeps for the grid correction: its model, whose row state
// is its own, the model and footprints of the block it works on, and its
// general walk.
struct alignas(64) GridWorker { // a cache line of its own: threads never share one
    std::unique_ptr<ModelBase> model;
    std::unique_ptr<ModelBlock> block = std::make_unique<ModelBlock>();
    std::unique_ptr<FootprintBlock> footprints = std::make_unique<FootprintBlock>();
    Walk walk;
    int32_t row = -1; // the source row the model was started on

    GridWorker(GridCor& g, const IMG& img) : model(make_model(g, img)), walk(img.nx) {}
    const ModelBlock& evaluate(int32_t y, size_t x0, size_t count) {
        if (row != y) {
            model->start_row(y);
            row = y;
        }
        model->evaluate(x0, count, *block);
        return *block;
    }
};

// The rows of source pixels a window at a time: first every thread works out
// the model and the target rows of some of the window's blocks; then each
// thread walks, in source order, the blocks that reach its band of target
// rows, works out their model and footprints again and adds their shares to
// its band alone. Every target pixel takes its shares in source order, as on
// one thread. Nothing of a block is kept between the passes but its rows: the
// model is cheaper to work out twice than to store and read back.
void accumulate_in_parallel(GridCor& g, const IMG& img, Accumulator& acc, int32_t team, int64_t& skipped) {
    const size_t nx = static_cast<size_t>(img.nx);
    const size_t row_blocks = (nx + ModelBlock::kBlock - 1) / ModelBlock::kBlock;
    std::vector<GridWorker> workers;
    for (int32_t t = 0; t < team; ++t)
        workers.emplace_back(g, img);
    std::vector<int64_t> unsound(kWindowRows);
    std::vector<TargetRows> spans(row_blocks * kWindowRows);
    BandShares shares(team);
    std::vector<double> seconds(static_cast<size_t>(team));
    const bool had_frame = !img.frame.empty();
    auto piece_of = [&](int32_t y, size_t x0) {
        const size_t at = static_cast<size_t>(y) * nx + x0;
        return std::make_pair(img.data.data() + at, had_frame ? img.frame.data() + at : nullptr);
    };
    for (int32_t y0 = 0; y0 < img.ny; y0 += kWindowRows) {
        const int32_t rows = std::min(kWindowRows, img.ny - y0);
        std::fill(spans.begin(), spans.end(), TargetRows{});
        const int64_t failed = xy_run_pieces(team, rows, [&](int64_t r) {
            GridWorker& w = workers[static_cast<size_t>(xy_thread_index())];
            const int32_t y = y0 + static_cast<int32_t>(r);
            for (size_t b = 0, x0 = 0; x0 < nx; ++b, x0 += ModelBlock::kBlock) {
                const size_t count = std::min(ModelBlock::kBlock, nx - x0);
                spans[static_cast<size_t>(r) * row_blocks + b] = acc.model_rows(
                    w.evaluate(y, x0, count), piece_of(y, x0).second, count, unsound[static_cast<size_t>(r)]);
            }
        });
        const std::vector<TargetRows> bands = window_bands(spans, shares.shares());
        const int64_t failed_adding = xy_run_pieces(team, team, [&](int64_t t) {
            const auto start = std::chrono::steady_clock::now();
            const TargetRows& band = bands[static_cast<size_t>(t)];
            GridWorker& w = workers[static_cast<size_t>(t)];
            for (size_t at = 0; at < spans.size(); ++at) {
                if (!band.meets(spans[at])) continue;
                const int32_t y = y0 + static_cast<int32_t>(at / row_blocks);
                const size_t x0 = (at % row_blocks) * ModelBlock::kBlock;
                const auto [values, mask] = piece_of(y, x0);
                const size_t count = std::min(ModelBlock::kBlock, nx - x0);
                const ModelBlock& m = w.evaluate(y, x0, count);
                acc.footprints(m, values, count, *w.footprints);
                if (band.holds(spans[at]))
                    acc.add_block(m, *w.footprints, values, mask, count, w.walk);
                else
                    acc.add_block_within(m, *w.footprints, values, mask, count, band, w.walk);
            }
            seconds[static_cast<size_t>(t)] =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        });
        shares.learn(seconds);
        if (failed >= 0 || failed_adding >= 0)
            v_fatal(kOrigin, " grid correction of rows %d to %d failed on %d threads\n", y0, y0 + rows - 1,
                    team);
        prg_progress("rows", y0 + rows, img.ny);
    }
    // Each unsound pixel was counted once, when its block's rows were found.
    for (int64_t n : unsound)
        skipped += n;
}

// Pixels finished a run at a time, on the job's threads; the counts add up.
constexpr int64_t kFinishPiece = int64_t{1} << 16;

Finish finish_in_pieces(GridMode mode, const Accumulator& acc, int32_t threads, int64_t size, int32_t* data,
                        uint16_t* frame) {
    const int64_t pieces = (size + kFinishPiece - 1) / kFinishPiece;
    std::vector<Finish> counts(static_cast<size_t>(pieces));
    xy_run_pieces(threads, pieces, [&](int64_t p) {
        const int64_t first = p * kFinishPiece;
        const size_t n = static_cast<size_t>(std::min(kFinishPiece, size - first));
        finish(mode, acc, first, n, data + first, frame + first, counts[static_cast<size_t>(p)]);
    });
    Finish r;
    for (const Finish& c : counts) {
        r.n_border += c.n_border;
        r.n_clipped += c.n_clipped;
    }
    return r;
}
} // namespace

void grid_cor_img(GridCor& g, IMG& img, int32_t threads) {
    prg_screen("\n#%s:grid_cor_img  '%s' size=%d(%dx%d)\n", kOrigin, img.name.c_str(), img.size, img.nx,
               img.ny);
    if (g.n_coef == 0 || g.set != 3) v_error(kOrigin, "grid functions are not valid (look at .ini file)");
    if (img.data.empty()) v_error(kOrigin, "no data in %s", img.name.c_str());
    check_image(g, img);

    Accumulator acc(img, use_wide_vectors(g));
    // The old frame counts are read only while accumulating, so the new ones
    // can take their place.
    const bool had_frame = !img.frame.empty();
    std::vector<uint16_t> frame;
    if (!had_frame) frame = prg_alloc<uint16_t>(kOrigin, "frame", static_cast<uint64_t>(img.size));

    // Accumulation: every used source pixel shares its counts among the target
    // pixels that its footprint overlaps, in source order.
    const int32_t team = std::max(1, std::min(threads, img.ny));
    int64_t skipped = 0;
    if (team > 1)
        accumulate_in_parallel(g, img, acc, team, skipped);
    else
        accumulate_rows(g, img, acc, skipped);

    // Finishing: the mode decides the normalisation and which pixels stay in use.
    const GridMode mode = grid_mode_of(g.grid_mode);
    const Finish r = finish_in_pieces(mode, acc, threads, img.size, img.data.data(),
                                      had_frame ? img.frame.data() : frame.data());
    if (mode == GridMode::Default) prg_printf("# %d pixels corrected for border effects\n", r.n_border);
    if (skipped > 0)
        prg_printf("# %lld source pixels skipped: folded, mirrored or non-finite grid model\n",
                   static_cast<long long>(skipped));
    if (r.n_clipped > 0)
        prg_printf("# %d corrected values beyond the 32-bit pixel range clipped\n", r.n_clipped);
    if (!had_frame) img.frame = std::move(frame);
}
