// Grid distortion model: its settings, its terms and its evaluation.
#include "xy_grid.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include <sys/mman.h>

namespace {

const char* const kOrigin = "../xy32lib/xy_grid";

// A calibration fit has tens of terms; beyond this a GRID_DCOR value is a typo,
// not a model, and would only allocate memory for nothing.
constexpr int32_t kMaxTerms = 1 << 16;

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
    const size_t n = std::min(grid_terms_in_use(g), c.size());
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
    if (c.empty()) {
        // The coefficients are stored only once GRID_DCOR has sized the model.
        if (prg_inikey(tag, list_key) || prg_inikey(tag, piece_key))
            prg_warning("%s before GRID_DCOR is ignored: the number of terms is not known yet",
                        tag.key.c_str());
        return false;
    }
    if (prg_inidbln(tag, list_key, c.data(), g.n_coef) ||
        prg_inidblt(tag, piece_key, c.data(), static_cast<int>(c.size()))) {
        g.set |= bit;
        return true;
    }
    return false;
}

} // namespace

// ---------------------------------------------------------------- settings

int grid_ini(GridCor& g, const IniTag& tag) {
    if (prg_inikey(tag, "GRID_DCOR")) {
        // A bare key, like every bare integer key, leaves the model as it is.
        int32_t n = g.n_coef;
        if (tag.has_value && !scan_int32(tag.value.c_str(), n))
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
        prg_notice("%s", line);
}

// ---------------------------------------------------------------- model

size_t grid_terms_in_use(const GridCor& g) {
    const size_t n = g.n_coef > 0 ? static_cast<size_t>(g.n_coef) : 0;
    return std::min({n, g.xcor.size(), g.ycor.size(), g.tab.size()});
}

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
    if (k < 0 || static_cast<size_t>(k) >= grid_terms_in_use(g)) return 0.0;
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
    const double p = polynomial(g.xcor, g.tab.data(), grid_terms_in_use(g));
    if (g.grid_xbind > 0) return (p - g.grid_xmin) / g.grid_xbind;
    return (p + g.grid_xmin) / g.grid_xbind;
}

double grid_cor_ypos(double X, double Y, GridCor& g) {
    grid_tabulate_pixel(X, Y, g);
    const double p = polynomial(g.ycor, g.tab.data(), grid_terms_in_use(g));
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
