// Grid distortion model and grid-corrected resampling.
#include "xy_grid.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

GridCor grid_cor;

namespace {

const char* const kOrigin = "../xy32lib/xy_grid";

// A calibration fit has tens of terms; beyond this a GRID_DCOR value is a typo,
// not a model, and would only allocate memory for nothing.
constexpr int32_t kMaxTerms = 1 << 16;

// Number of terms that can be evaluated: n_coef, bounded by what is allocated.
size_t terms_in_use(const GridCor& g) {
    const size_t n = g.n_coef > 0 ? static_cast<size_t>(g.n_coef) : 0;
    return std::min({n, g.xcor.size(), g.ycor.size(), g.tab.size()});
}

double grid_origin(const std::vector<double>& c) {
    return c.empty() ? 0.0 : c[0];
}

// Sum of c[k] * tab[k] in index order, accumulated in double precision.
double polynomial(const std::vector<double>& c, const double* tab, size_t n) {
    double p = 0.0;
    for (size_t k = 0; k < n; ++k)
        p += c[k] * tab[k];
    return p;
}

// Partial derivative by X (what = 1) or by Y (what = 2) of the polynomial c.
double derivative(double X, double Y, GridCor& g, const std::vector<double>& c, int32_t what) {
    grid_tabulate_pixel(X, Y, g);
    const size_t n = std::min(terms_in_use(g), c.size());
    double d = 0.0;
    for (size_t k = 0; k < n; ++k) {
        int32_t i = 0, j = 0;
        const int32_t lower = grid_deg_xy(static_cast<int32_t>(k), i, j, what);
        if (lower < 0) continue;
        const int32_t power = what == 1 ? i : j;
        d += static_cast<double>(power) * c[k] * g.tab[static_cast<size_t>(lower)];
    }
    return d;
}

// The value of an integer key as the settings getter reads it: an optional
// sign and decimal digits, then anything, within the 32-bit range.
bool whole_number(const std::string& text, int32_t& value) {
    const char* p = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(p, &end, 10);
    if (end == p || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<int32_t>(v);
    return true;
}

// Reads a binding factor; 0 would make every corrected position a division by zero.
bool take_binding(const IniTag& tag, const char* key, int32_t& target) {
    int32_t value = target;
    if (!prg_iniint(tag, key, value)) return false;
    if (value == 0)
        v_error(kOrigin,
                "%s = 0 refused: the grid binding divides the corrected positions (use 1, or a negative "
                "value for the reversed form)",
                key);
    target = value;
    return true;
}

bool take_coefficients(GridCor& g, const IniTag& tag, const char* list_key, const char* piece_key,
                       std::vector<double>& c, uint32_t bit) {
    if (c.empty()) return false;
    if (prg_inidbln(tag, list_key, c.data(), g.n_coef) ||
        prg_inidblt(tag, piece_key, c.data(), static_cast<int>(c.size()))) {
        g.set |= bit;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- resampling

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

// One term of the model as the row evaluation needs it, worked out once per image.
struct Term {
    int32_t i = 0, j = 0;  // X^i Y^j
    double cx = 0, cy = 0; // xcor[k], ycor[k]
    // power * c[k]: the first product of each derivative sum's term (0 when the
    // term has no lower monomial and is left out of that sum).
    bool has_dx = false, has_dy = false;
    double x_dx = 0, y_dx = 0, x_dy = 0, y_dy = 0;
};

std::vector<Term> term_table(const GridCor& g, int32_t& degree) {
    std::vector<Term> terms(terms_in_use(g));
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

// Corrected position, footprint and surface of a block of source pixels of one
// row. The powers of X are taken once per column and those of Y once per row,
// with the same pow calls as the monomial table; every monomial is their
// product, and each pixel's sums are accumulated in the same term order as the
// single-point functions, so the values are the same to the last bit.
class BlockModel {
  public:
    static constexpr size_t kBlock = 128;

    BlockModel(GridCor& g, const IMG& img) : g_(g), nx_(static_cast<size_t>(img.nx)) {
        terms_ = term_table(g, degree_);
        powers_ = static_cast<size_t>(degree_) + 1;
        stride_ = nx_ + 3; // spare columns keep the last group of four columns in bounds
        x_powers_ = prg_alloc<double>(kOrigin, "column powers", powers_ * stride_);
        y_powers_.resize(powers_);
        for (size_t x = 0; x < nx_; ++x) {
            const double X = grid_pix_xcor(static_cast<double>(x), g_);
            for (size_t p = 0; p < powers_; ++p)
                x_powers_[p * stride_ + x] = std::pow(X, static_cast<double>(p));
        }
        xshift_ = g.grid_xbind > 0 ? -static_cast<double>(g.grid_xmin) : g.grid_xmin; // p - m == p + (-m)
        yshift_ = g.grid_ybind > 0 ? -static_cast<double>(g.grid_ymin) : g.grid_ymin;
    }

    void start_row(int32_t y) {
        const double Y = grid_pix_ycor(static_cast<double>(y), g_);
        for (size_t p = 0; p < powers_; ++p)
            y_powers_[p] = std::pow(Y, static_cast<double>(p));
    }

    // Columns x0 .. x0 + count - 1 (count at most kBlock) of the current row.
    void evaluate(size_t x0, size_t count) {
        for (size_t b = 0; b < count; b += 4)
            evaluate_pair(x0 + b, b);
    }

    // Results for the current block, indexed by column - x0 (three spare entries).
    double xc[kBlock + 3], yc[kBlock + 3]; // corrected position in image pixels
    double ax[kBlock + 3], ay[kBlock + 3]; // footprint size: dPx/dX and dPy/dY
    double surface[kBlock + 3];            // Jacobian determinant

  private:
    Pair x_power(size_t p, size_t x) const { return load_pair(&x_powers_[p * stride_ + x]); }

    // Two pairs side by side: independent sums keep the adder busy.
    void evaluate_pair(size_t x, size_t b) {
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
            store_pair(&xc[b + 2 * l], (px[l] + xshift_) / static_cast<double>(g_.grid_xbind));
            store_pair(&yc[b + 2 * l], (py[l] + yshift_) / static_cast<double>(g_.grid_ybind));
            store_pair(&ax[b + 2 * l], pxx[l]);
            store_pair(&ay[b + 2 * l], pyy[l]);
            store_pair(&surface[b + 2 * l], pxx[l] * pyy[l] - pyx[l] * pxy[l]);
        }
    }

    GridCor& g_;
    size_t nx_;
    std::vector<Term> terms_;
    int32_t degree_ = 0;
    size_t powers_ = 1, stride_ = 1;
    double xshift_ = 0, yshift_ = 0;
    std::vector<double> x_powers_; // [power][column]
    std::vector<double> y_powers_; // [power]
};

struct Accumulator {
    std::vector<float> surface;
    std::vector<double> counts;
    int32_t nx = 0, ny = 0;
    int64_t n_skipped = 0;
    std::vector<double> wx; // column overlaps of the current footprint, one spare

    Accumulator(const IMG& img)
        : surface(prg_alloc<float>(kOrigin, "surface", static_cast<uint64_t>(img.size))),
          counts(prg_alloc<double>(kOrigin, "corrected values", static_cast<uint64_t>(img.size))), nx(img.nx),
          ny(img.ny), wx(static_cast<size_t>(img.nx) + 1) {}

    // Shares v among the target pixels that the footprint overlaps: target t
    // gets v * w with w = wx * wy / S, and its surface w * S. A cell that the
    // footprint does not meet gets a weight of 0, which leaves both sums as
    // they are (no sum is ever -0), so cells are handled two columns at a time.
    void spread(double v, double xc, double yc, double ax, double ay, double S) {
        const double x_lo = xc - ax / 2, x_hi = xc + ax / 2;
        const double y_lo = yc - ay / 2, y_hi = yc + ay / 2;
        // A folded or mirrored model, or one that left the number range, has no
        // sound footprint: its pixel is counted and left out.
        if (!(ax > 0.0) || !(ay > 0.0) || !(S > 0.0) || !std::isfinite(S) || !std::isfinite(x_lo) ||
            !std::isfinite(x_hi) || !std::isfinite(y_lo) || !std::isfinite(y_hi)) {
            ++n_skipped;
            return;
        }
        int32_t i0, i1, j0, j1;
        if (!cell_range(x_lo, x_hi, nx, i0, i1) || !cell_range(y_lo, y_hi, ny, j0, j1)) return;
        const size_t columns = static_cast<size_t>(i1 - i0) + 1;
        for (size_t c = 0; c < columns; ++c)
            if (!cell_overlap(x_lo, x_hi, i0 + static_cast<int32_t>(c), wx[c])) wx[c] = 0.0;
        wx[columns] = 0.0;
        for (int32_t j = j0; j <= j1; ++j) {
            double wy = 0.0;
            if (!cell_overlap(y_lo, y_hi, j, wy)) continue;
            const size_t row = static_cast<size_t>(j) * static_cast<size_t>(nx) + static_cast<size_t>(i0);
            size_t c = 0;
            for (; c + 1 < columns; c += 2) {
                const Pair w = Pair{wx[c] * wy, wx[c + 1] * wy} / S;
                store_pair(&counts[row + c], load_pair(&counts[row + c]) + v * w);
                const Pair s = Pair{surface[row + c], surface[row + c + 1]} + w * S;
                surface[row + c] = static_cast<float>(s[0]);
                surface[row + c + 1] = static_cast<float>(s[1]);
            }
            if (c < columns) {
                const double w = wx[c] * wy / S;
                counts[row + c] += v * w;
                surface[row + c] = static_cast<float>(static_cast<double>(surface[row + c]) + w * S);
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

void check_image(const GridCor& g, const IMG& img) {
    if (g.grid_xbind == 0 || g.grid_ybind == 0)
        v_error(kOrigin, "grid binding %d x %d: 0 is not a binding", g.grid_xbind, g.grid_ybind);
    if (img.nx < 0 || img.ny < 0 || static_cast<int64_t>(img.nx) * img.ny != img.size ||
        img.data.size() != static_cast<size_t>(img.size) ||
        (!img.frame.empty() && img.frame.size() != img.data.size()))
        v_error(kOrigin, "image %s holds %zu values (%zu frame counts) for its size %d (%dx%d)",
                img.name.c_str(), img.data.size(), img.frame.size(), img.size, img.nx, img.ny);
}

} // namespace

// ---------------------------------------------------------------- settings

int grid_ini(GridCor& g, const IniTag& tag) {
    if (tag.key == "GRID_DCOR") {
        // A bare key, like every bare integer key, leaves the model as it is.
        int32_t n = g.n_coef;
        if (tag.has_value && !whole_number(tag.value, n))
            v_error(kOrigin, "GRID_DCOR = %s refused: not a whole number of terms", tag.value.c_str());
        prg_iniint(tag, "GRID_DCOR", n);
        if (!tag.has_value) return 1;
        if (n < 1) v_error(kOrigin, "GRID_DCOR = %d refused: the grid model needs at least one term", n);
        if (n > kMaxTerms) v_error(kOrigin, "GRID_DCOR = %d refused: more than %d terms", n, kMaxTerms);
        grid_struct_ini(g, n);
        return 1;
    }
    if (take_coefficients(g, tag, "GRID_XCOR", "GRID_XTAB", g.xcor, 1u)) return 1;
    if (take_coefficients(g, tag, "GRID_YCOR", "GRID_YTAB", g.ycor, 2u)) return 1;
    if (prg_inistr(tag, "GRID_MODE", g.grid_mode) || prg_inistr(tag, "GRID_ORIG", g.grid_orig) ||
        prg_iniint(tag, "GRID_XMIN", g.grid_xmin) || prg_iniint(tag, "GRID_YMIN", g.grid_ymin) ||
        take_binding(tag, "GRID_XBIND", g.grid_xbind) || take_binding(tag, "GRID_YBIND", g.grid_ybind))
        return 1;
    return 0;
}

void grid_usage() {
    const char* const lines[] = {
        "\n grid usage parameters :\n",
        " GRID_AUTO = NONE (default), AUTO apply grid correction\n",
        " GRID_MODE = NONE (derault) FLAT, STRICT... see vellum.pdf\n",
        " GRID_DCOR... see vellum\n",
        " GRID_ORIG = CONVERT used for radial binding\n",
        " GRID_XMIN = needed to use only a part of the whole grid, GRID_YMIN \n",
        " GRID_XBIND = allow to use the whole grid with bindings, GRID_YBIND\n",
        " the XY_ORIEN parameter works after read, bind and mask\n",
    };
    for (const char* line : lines)
        std::fputs(line, stderr);
}

// ---------------------------------------------------------------- model

void grid_struct_ini(GridCor& g, int32_t n) {
    if (n < 1) v_error(kOrigin, "grid model of %d terms", n);
    g.n_max = n;
    g.n_coef = n;
    g.set = 0;
    g.tab_valid = 0;
    g.xcor = prg_alloc<double>(kOrigin, "xcor", static_cast<uint64_t>(n));
    g.ycor = prg_alloc<double>(kOrigin, "ycor", static_cast<uint64_t>(n));
    g.tab = prg_alloc<double>(kOrigin, "tabulated", static_cast<uint64_t>(n));
}

void grid_struct_def(GridCor& g, int32_t n, double x0, double y0) {
    if (n < 3) v_error(kOrigin, "identity grid model needs 3 terms, not %d", n);
    grid_struct_ini(g, n);
    g.xcor[0] = x0;
    g.xcor[1] = 1.0;
    g.ycor[0] = y0;
    g.ycor[2] = 1.0;
    g.n_coef = 3;
    g.set = 3;
}

int32_t grid_deg_xy(int32_t k, int32_t& i, int32_t& j, int32_t what) {
    // Terms are numbered from 0; a negative number would give exponents that
    // overflow (-k for the lowest int).
    if (k < 0) v_error(kOrigin, "grid term %d does not exist: terms are numbered from 0", k);
    int64_t d = 0;
    while ((d + 1) * (d + 2) / 2 <= k)
        ++d;
    j = static_cast<int32_t>(k - d * (d + 1) / 2);
    i = static_cast<int32_t>(d) - j;
    switch (what) {
    case 1:
        return i == 0 ? -1 : static_cast<int32_t>(k - d);
    case 2:
        return j == 0 ? -1 : static_cast<int32_t>(k - d - 1);
    default:
        return static_cast<int32_t>(d);
    }
}

std::string coef_grid_name(int32_t k) {
    int32_t i = 0, j = 0;
    grid_deg_xy(k, i, j, 0);
    return prg_format("x^%dy^%d", i, j);
}

void grid_tabulate_pixel(double X, double Y, GridCor& g) {
    if (g.tab_valid == 1 && X == g.tab_x && Y == g.tab_y) return;
    const size_t n = std::min(static_cast<size_t>(std::max(g.n_coef, 0)), g.tab.size());
    for (size_t k = 0; k < n; ++k) {
        int32_t i = 0, j = 0;
        grid_deg_xy(static_cast<int32_t>(k), i, j, 0);
        g.tab[k] = std::pow(X, static_cast<double>(i)) * std::pow(Y, static_cast<double>(j));
    }
    g.tab_x = X;
    g.tab_y = Y;
    g.tab_valid = 1;
}

double grid_cor_der(int32_t k, double X, double Y, GridCor& g) {
    grid_tabulate_pixel(X, Y, g);
    if (k < 0 || static_cast<size_t>(k) >= terms_in_use(g)) return 0.0;
    return g.tab[static_cast<size_t>(k)];
}

double grid_cor_dx(double X, double Y, GridCor& g, const std::vector<double>& c) {
    return derivative(X, Y, g, c, 1);
}

double grid_cor_dy(double X, double Y, GridCor& g, const std::vector<double>& c) {
    return derivative(X, Y, g, c, 2);
}

double grid_cor_surf(double X, double Y, GridCor& g) {
    const double dxx = grid_cor_dx(X, Y, g, g.xcor);
    const double dxy = grid_cor_dy(X, Y, g, g.xcor);
    const double dyx = grid_cor_dx(X, Y, g, g.ycor);
    const double dyy = grid_cor_dy(X, Y, g, g.ycor);
    return dxx * dyy - dyx * dxy;
}

double grid_cor_xpos(double X, double Y, GridCor& g) {
    grid_tabulate_pixel(X, Y, g);
    const double p = polynomial(g.xcor, g.tab.data(), terms_in_use(g));
    if (g.grid_xbind > 0) return (p - g.grid_xmin) / g.grid_xbind;
    return (p + g.grid_xmin) / g.grid_xbind;
}

double grid_cor_ypos(double X, double Y, GridCor& g) {
    grid_tabulate_pixel(X, Y, g);
    const double p = polynomial(g.ycor, g.tab.data(), terms_in_use(g));
    if (g.grid_ybind > 0) return (p - g.grid_ymin) / g.grid_ybind;
    return (p + g.grid_ymin) / g.grid_ybind;
}

double grid_pix_xcor(double x, const GridCor& g) {
    if (g.grid_xbind > 0) return g.grid_xmin + g.grid_xbind * x - grid_origin(g.xcor);
    return g.grid_xbind * x - g.grid_xmin + grid_origin(g.xcor);
}

double grid_pix_ycor(double y, const GridCor& g) {
    if (g.grid_ybind > 0) return g.grid_ymin + g.grid_ybind * y - grid_origin(g.ycor);
    return g.grid_ybind * y - g.grid_ymin + grid_origin(g.ycor);
}

double grid_pix_surf(double x, double y, GridCor& g) {
    return grid_cor_surf(grid_pix_xcor(x, g), grid_pix_ycor(y, g), g);
}

// ---------------------------------------------------------------- resampling

void grid_cor_img(GridCor& g, IMG& img) {
    std::printf("\n#%s:grid_cor_img  '%s' size=%d(%dx%d)\n", kOrigin, img.name.c_str(), img.size, img.nx,
                img.ny);
    if (g.n_coef == 0 || g.set != 3) v_error(kOrigin, "grid functions are not valid (look at .ini file)");
    if (img.data.empty()) v_error(kOrigin, "no data in %s", img.name.c_str());
    check_image(g, img);

    Accumulator acc(img);
    std::vector<uint16_t> frame = prg_alloc<uint16_t>(kOrigin, "frame", static_cast<uint64_t>(img.size));

    // Accumulation: every used source pixel shares its counts among the target
    // pixels that its footprint overlaps.
    auto model = std::make_unique<BlockModel>(g, img);
    const size_t nx = static_cast<size_t>(img.nx);
    for (int32_t y = 0; y < img.ny; ++y) {
        model->start_row(y);
        const size_t row = static_cast<size_t>(y) * nx;
        for (size_t x0 = 0; x0 < nx; x0 += BlockModel::kBlock) {
            const size_t count = std::min(BlockModel::kBlock, nx - x0);
            model->evaluate(x0, count);
            for (size_t b = 0; b < count; ++b) {
                const size_t src = row + x0 + b;
                if (!img.frame.empty() && img.frame[src] == 0) continue;
                acc.spread(static_cast<double>(img.data[src]), model->xc[b], model->yc[b], model->ax[b],
                           model->ay[b], model->surface[b]);
            }
        }
    }

    // Finishing: the mode decides the normalisation and which pixels stay in use.
    const GridMode mode = grid_mode_of(g.grid_mode);
    int32_t n_border = 0, n_clipped = 0;
    for (size_t t = 0; t < acc.counts.size(); ++t) {
        const double s = acc.surface[t];
        const double c = acc.counts[t];
        int32_t value = 0;
        uint16_t used = 0;
        switch (mode) {
        case GridMode::FlatStrict:
            if (s != 0.0) value = round_pixel(c / s, n_clipped), used = 1;
            break;
        case GridMode::Flat:
            if (s >= 0.5) value = round_pixel(c / s, n_clipped), used = 1;
            break;
        case GridMode::Strict:
            if (s != 0.0) value = round_pixel(c, n_clipped), used = 1;
            break;
        case GridMode::Default:
            if (s >= 1.0) {
                value = round_pixel(c, n_clipped);
            } else if (s > 0.5) {
                value = round_pixel(c / s, n_clipped);
                ++n_border;
            }
            used = s >= 0.5 ? 1 : 0;
            break;
        }
        img.data[t] = value;
        frame[t] = used;
    }
    if (mode == GridMode::Default) prg_printf("# %d pixels corrected for border effects\n", n_border);
    if (acc.n_skipped > 0)
        prg_printf("# %lld source pixels skipped: folded, mirrored or non-finite grid model\n",
                   static_cast<long long>(acc.n_skipped));
    if (n_clipped > 0) prg_printf("# %d corrected values beyond the 32-bit pixel range clipped\n", n_clipped);
    img.frame = std::move(frame);
}
