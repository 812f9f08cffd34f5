#include "xy_powder.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace {

const char* const kOrigin = "../xy32lib/xy_powder";
constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;
// More bins than this cannot be meant (and their sums would not fit in memory).
constexpr int64_t kMaxBins = int64_t{1} << 24;

struct UnitText {
    PowderUnit unit;
    const char* word;  // POWDER_UNIT
    const char* label; // .xy column
    const char* axis;  // NeXus axis name
    const char* units; // NeXus units attribute
    const char* title; // plot axis
};
const UnitText kUnitTexts[] = {
    {PowderUnit::two_theta, "2TH", "2theta_deg", "two_theta", "degree", "2theta (degrees)"},
    {PowderUnit::q_angstrom, "Q", "q_A^-1", "q", "1/angstrom", "q (1/Angstrom)"},
    {PowderUnit::q_nm, "Q_NM", "q_nm^-1", "q", "1/nm", "q (1/nm)"},
    {PowderUnit::d, "D", "d_A", "d", "angstrom", "d (Angstrom)"},
    {PowderUnit::r, "R", "r_mm", "r", "mm", "r (mm)"},
};

const UnitText& text_of(PowderUnit unit) {
    for (const UnitText& t : kUnitTexts)
        if (t.unit == unit) return t;
    return kUnitTexts[0];
}

// sin θ at radius r: from cos 2θ = D / √(r² + D²), sin² θ = (1 - cos 2θ) / 2.
double sin_theta(double r, double distance) {
    return std::sin(0.5 * std::atan2(r, distance));
}

// The radius at 2θ (radians): infinite at and beyond 90°.
double radius_at(double two_theta, double distance) {
    if (!(two_theta < kPi / 2)) return INFINITY;
    if (!(two_theta > -kPi / 2)) return -INFINITY;
    return distance * std::tan(two_theta);
}

// 2θ (radians) where sin θ = s.
double two_theta_of_sine(double s) {
    if (s >= 1.0) return INFINITY;
    if (s <= -1.0) return -INFINITY;
    return 2.0 * std::asin(s);
}

// Finds the bin of a radius among the radii of the bin edges, through a table
// of cells of equal width over the image's radii that gives, for each cell,
// the edges already passed at its start. The cells are made narrower than the
// edges are apart (within a bound on their number), so that one comparison
// mostly settles the bin: a loop whose turns depend on the pixel would be
// mispredicted at every other pixel.
class BinFinder {
  public:
    // `pixels` bounds the cells: more than a few per pixel would cost more
    // to fill than they save.
    BinFinder(const std::vector<double>& edges, bool decreasing, double far_radius, int64_t pixels)
        : bins_(static_cast<int32_t>(edges.size()) - 1), first_(edges.front()), last_(edges.back()),
          decreasing_(decreasing) {
        // stops_[j]: the edge that ends bin j (counted from the beam); none after the last.
        stops_.assign(edges.begin() + 1, edges.end());
        stops_.back() = INFINITY;
        double spacing = far_radius;
        for (size_t k = 1; k < edges.size(); ++k) {
            const double below = std::max(edges[k - 1], 0.0);
            if (edges[k] > below && below < far_radius) spacing = std::min(spacing, edges[k] - below);
        }
        const double most = static_cast<double>(std::min(kMaxCells, 4 * pixels));
        const double wanted = spacing > 0 ? std::min(far_radius / spacing + 1, most) : 1;
        const int64_t cells = static_cast<int64_t>(std::max(wanted, 2.0 * bins_ + 2));
        inv_cell_ = far_radius > 0 ? static_cast<double>(cells) / far_radius : 0.0;
        passed_ = prg_alloc<int32_t>(kOrigin, "bin table", static_cast<uint64_t>(cells));
        int32_t j = 0;
        for (int64_t c = 0; c < cells; ++c) {
            const double start = static_cast<double>(c) / inv_cell_;
            while (stops_[static_cast<size_t>(j)] < start)
                ++j;
            passed_[static_cast<size_t>(c)] = j;
        }
    }

    bool decreasing() const { return decreasing_; }

    // The bin of radius r, -1 outside the range. Increasing units: bin j holds
    // edges[j] <= r < edges[j + 1]; decreasing ones (d): the bins are counted
    // from the far end and hold edges[j] < r <= edges[j + 1]; the top of the
    // unit's range belongs to its last bin.
    template <bool Decreasing> int32_t find(double r) const {
        if (!(r >= first_ && r <= last_)) return -1;
        const size_t cell = std::min(static_cast<size_t>(r * inv_cell_), passed_.size() - 1);
        int32_t j = passed_[cell];
        const double* stop = stops_.data();
        j += Decreasing ? r > stop[j] : r >= stop[j];
        while (Decreasing ? r > stop[j] : r >= stop[j]) // a cell holding several edges
            ++j;
        return Decreasing ? bins_ - 1 - j : j;
    }

  private:
    static constexpr int64_t kMaxCells = int64_t{1} << 22;
    int32_t bins_;
    double first_, last_; // the radii of the range's ends
    bool decreasing_;
    std::vector<double> stops_;
    double inv_cell_ = 0.0;
    std::vector<int32_t> passed_;
};

struct BinSums {
    double values = 0.0;      // Σ v
    double corrections = 0.0; // Σ c
    double counts = 0.0;      // Σ max(v, 0)
    int64_t pixels = 0;
};

bool in_sector(double dx, double dy, const AzimuthRange& s) {
    const double span = s.to - s.from;
    if (span >= 360.0) return true;
    double t = std::fmod(std::atan2(dy, dx) / kDegree - s.from, 360.0);
    if (t < 0) t += 360.0;
    return t < span;
}

// The loop over a row is written without branches so that the compiler turns
// it into vector instructions (the file is compiled with -fno-math-errno: a
// square root that sets errno cannot be vectorised; its arguments are never
// negative here). Vector square roots and divisions round as scalar ones do.
// The distance r (mm) from the beam and the correction c of every pixel
// centre of a row. With L² = r² + D², the solid angle is cos³ 2θ = D³ / L³ and
// the polarisation (1 + cos² 2θ − f cos 2χ sin² 2θ) / 2 = (L² + D² − f (dx² − dy²))
// / 2L²; their product takes one division.
template <bool SolidAngle, bool Polarisation>
void row_geometry(const double* dx, double dy, int32_t n, double distance, double f, double* r, double* c) {
    const double d2 = distance * distance, d3 = d2 * distance, dy2 = dy * dy;
    for (int32_t i = 0; i < n; ++i) {
        const double dx2 = dx[i] * dx[i];
        const double r2 = dx2 + dy2;
        const double l2 = r2 + d2;
        r[i] = std::sqrt(r2);
        double num = 1.0, den = 1.0;
        if (SolidAngle) {
            num *= d3;
            den *= l2 * std::sqrt(l2);
        }
        if (Polarisation) {
            num *= 0.5 * (l2 + d2 - f * (dx2 - dy2));
            den *= l2;
        }
        c[i] = num / den;
    }
}

using RowGeometry = void (*)(const double*, double, int32_t, double, double, double*, double*);

RowGeometry row_geometry_for(const PowderOptions& o) {
    if (o.solid_angle) return o.polarisation ? row_geometry<true, true> : row_geometry<true, false>;
    return o.polarisation ? row_geometry<false, true> : row_geometry<false, false>;
}

// Every counted pixel of the image (within the sector) into its bin: dx once
// per column; r and c a row at a time, then the row's pixels into their bins.
template <bool Decreasing>
void accumulate(const IMG& img, const PowderGeometry& g, const PowderOptions& o, const AzimuthRange* sector,
                const BinFinder& finder, std::vector<BinSums>& sums) {
    const size_t nx = static_cast<size_t>(img.nx);
    std::vector<double> dx = prg_alloc<double>(kOrigin, "columns", nx);
    std::vector<double> r = prg_alloc<double>(kOrigin, "radii", nx);
    std::vector<double> c = prg_alloc<double>(kOrigin, "corrections", nx);
    for (int32_t col = 0; col < img.nx; ++col)
        dx[static_cast<size_t>(col)] = (col + 0.5 - g.centre[0]) * g.pixel[0];
    const RowGeometry geometry = row_geometry_for(o);
    const bool counted_all = img.frame.empty();
    for (int32_t row = 0; row < img.ny; ++row) {
        const double dy = (row + 0.5 - g.centre[1]) * g.pixel[1];
        geometry(dx.data(), dy, img.nx, g.distance, o.polarisation_factor, r.data(), c.data());
        const size_t base = static_cast<size_t>(row) * nx;
        for (size_t col = 0; col < nx; ++col) {
            const size_t i = base + col;
            if (!counted_all && img.frame[i] == 0) continue;
            if (sector && !in_sector(dx[col], dy, *sector)) continue;
            const int32_t k = finder.find<Decreasing>(r[col]);
            if (k < 0) continue;
            const double v = img.data[i];
            BinSums& s = sums[static_cast<size_t>(k)];
            s.values += v;
            s.corrections += c[col];
            s.counts += std::max(v, 0.0);
            ++s.pixels;
        }
    }
}

void check_geometry(const PowderGeometry& g, PowderUnit unit) {
    const bool sane = std::isfinite(g.distance) && g.distance > 0 && std::isfinite(g.pixel[0]) &&
                      g.pixel[0] > 0 && std::isfinite(g.pixel[1]) && g.pixel[1] > 0 &&
                      std::isfinite(g.centre[0]) && std::isfinite(g.centre[1]);
    if (!sane)
        v_fatal(kOrigin, "distance %g mm, pixel %g x %g mm, centre %g %g: not a detector geometry",
                g.distance, g.pixel[0], g.pixel[1], g.centre[0], g.centre[1]);
    if (powder_unit_needs_wavelength(unit) && !(std::isfinite(g.wavelength) && g.wavelength > 0))
        v_fatal(kOrigin, "wavelength %g A: not a wavelength", g.wavelength);
}

// Radii of the bin edges lo + k w, ascending.
std::vector<double> edge_radii(const PowderGeometry& g, PowderUnit unit, double lo, double w, int32_t bins) {
    std::vector<double> edges = prg_alloc<double>(kOrigin, "bin edges", static_cast<uint64_t>(bins) + 1);
    for (int32_t k = 0; k <= bins; ++k)
        edges[static_cast<size_t>(k)] = powder_radius(unit, lo + k * w, g);
    if (unit == PowderUnit::d) std::reverse(edges.begin(), edges.end());
    return edges;
}

} // namespace

bool powder_unit_by_name(const std::string& word, PowderUnit& unit) {
    std::string upper = word;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const UnitText& t : kUnitTexts)
        if (upper == t.word) {
            unit = t.unit;
            return true;
        }
    return false;
}

const char* powder_unit_label(PowderUnit unit) {
    return text_of(unit).label;
}
const char* powder_axis_name(PowderUnit unit) {
    return text_of(unit).axis;
}
const char* powder_axis_units(PowderUnit unit) {
    return text_of(unit).units;
}
const char* powder_axis_title(PowderUnit unit) {
    return text_of(unit).title;
}
bool powder_unit_needs_wavelength(PowderUnit unit) {
    return unit == PowderUnit::q_angstrom || unit == PowderUnit::q_nm || unit == PowderUnit::d;
}

double powder_value(PowderUnit unit, double r, const PowderGeometry& g) {
    switch (unit) {
    case PowderUnit::two_theta:
        return std::atan2(r, g.distance) / kDegree;
    case PowderUnit::q_angstrom:
        return 4.0 * kPi * sin_theta(r, g.distance) / g.wavelength;
    case PowderUnit::q_nm:
        return 40.0 * kPi * sin_theta(r, g.distance) / g.wavelength;
    case PowderUnit::d:
        return g.wavelength / (2.0 * sin_theta(r, g.distance));
    case PowderUnit::r:
        break;
    }
    return r;
}

double powder_radius(PowderUnit unit, double x, const PowderGeometry& g) {
    switch (unit) {
    case PowderUnit::two_theta:
        return radius_at(x * kDegree, g.distance);
    case PowderUnit::q_angstrom:
        return radius_at(two_theta_of_sine(x * g.wavelength / (4.0 * kPi)), g.distance);
    case PowderUnit::q_nm:
        return radius_at(two_theta_of_sine(x * g.wavelength / (40.0 * kPi)), g.distance);
    case PowderUnit::d:
        if (!(x > 0)) return INFINITY;
        return radius_at(two_theta_of_sine(g.wavelength / (2.0 * x)), g.distance);
    case PowderUnit::r:
        break;
    }
    return x;
}

double powder_far_radius(const IMG& img, const PowderGeometry& g) {
    double far = 0.0;
    for (const double x : {0.0, static_cast<double>(img.nx)})
        for (const double y : {0.0, static_cast<double>(img.ny)})
            far = std::max(far, std::hypot((x - g.centre[0]) * g.pixel[0], (y - g.centre[1]) * g.pixel[1]));
    return far;
}

int32_t powder_default_bins(const IMG& img, const PowderGeometry& g) {
    const double pixels = std::ceil(powder_far_radius(img, g) / std::min(g.pixel[0], g.pixel[1]));
    return static_cast<int32_t>(std::min<double>(std::max(pixels, 1.0), kMaxBins));
}

void powder_default_range(const IMG& img, const PowderGeometry& g, PowderUnit unit, double& lo, double& hi) {
    const double far = powder_value(unit, powder_far_radius(img, g), g);
    if (unit != PowderUnit::d) {
        lo = 0.0;
        hi = far;
        return;
    }
    // The pixel centre nearest the beam (brought a hair nearer, so that its
    // own d stays inside whatever the rounding); a centre on the beam itself
    // has no d.
    const double col = std::clamp(std::floor(g.centre[0]), 0.0, std::max(img.nx - 1.0, 0.0));
    const double row = std::clamp(std::floor(g.centre[1]), 0.0, std::max(img.ny - 1.0, 0.0));
    double near = std::hypot((col + 0.5 - g.centre[0]) * g.pixel[0], (row + 0.5 - g.centre[1]) * g.pixel[1]);
    if (near == 0.0) near = 0.5 * std::min(g.pixel[0], g.pixel[1]);
    lo = far;
    near *= 1.0 - 1e-9;
    hi = powder_value(unit, near, g);
}

PowderProfile powder_profile(const IMG& img, const PowderGeometry& g, const PowderOptions& o,
                             const AzimuthRange* sector) {
    check_geometry(g, o.unit);
    PowderProfile p;
    p.unit = o.unit;
    p.bins = o.bins > 0 ? o.bins : powder_default_bins(img, g);
    if (o.range_given) {
        p.lo = o.lo;
        p.hi = o.hi;
    } else {
        powder_default_range(img, g, o.unit, p.lo, p.hi);
    }
    if (!(std::isfinite(p.lo) && std::isfinite(p.hi) && p.lo < p.hi))
        v_fatal(kOrigin, "range %g to %g of the powder profile holds no bin", p.lo, p.hi);
    if (p.bins > kMaxBins) v_fatal(kOrigin, "%d bins refused: at most %lld", p.bins, (long long)kMaxBins);
    const double w = (p.hi - p.lo) / p.bins;
    const double far = powder_far_radius(img, g);
    const BinFinder finder(edge_radii(g, o.unit, p.lo, w, p.bins), o.unit == PowderUnit::d, far,
                           int64_t{img.nx} * img.ny);
    std::vector<BinSums> sums = prg_alloc<BinSums>(kOrigin, "bin sums", static_cast<uint64_t>(p.bins));

    if (finder.decreasing())
        accumulate<true>(img, g, o, sector, finder, sums);
    else
        accumulate<false>(img, g, o, sector, finder, sums);
    for (int32_t k = 0; k < p.bins; ++k) {
        const BinSums& s = sums[static_cast<size_t>(k)];
        if (s.pixels == 0) continue;
        p.filled.push_back(
            {p.lo + (k + 0.5) * w, s.values / s.corrections, std::sqrt(s.counts) / s.corrections, s.pixels});
    }
    return p;
}
