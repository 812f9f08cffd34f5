#include "xy_powder.hpp"

#include "xy_threads.hpp"

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

// The bins of a range of the unit: bin k holds the values x with
// lo + k w <= x < lo + (k + 1) w, the top of the range in the last bin.
struct ValueBins {
    PowderUnit unit;
    PowderGeometry g;
    double lo, hi, w;
    int32_t bins;

    // d decreases as the radius grows.
    bool decreasing() const { return unit == PowderUnit::d; }
    // The bin of a pixel centre at radius r (mm) from its value; -1 outside.
    int32_t bin_of(double r) const {
        const double x = powder_value(unit, r, g);
        if (!(x >= lo && x <= hi)) return -1;
        return x == hi ? bins - 1 : std::min(bins - 1, static_cast<int32_t>((x - lo) / w));
    }
};

// A pixel's bin from its squared radius r², through the squared radii of the
// bin edges: no square root per pixel. A table of cells of equal width in r²
// gives, for each cell, the edges already passed at its start; the cells are
// made narrower than the edges are apart (but near the beam, where few pixels
// lie), so that one comparison mostly settles the bin: a loop whose turns
// depend on the pixel would be mispredicted at every other pixel.
//
// Comparing r² with a squared edge could put a pixel lying on an edge, to the
// rounding, on the wrong side of it. Each edge is therefore a narrow band of r²
// (a relative 1e-10, far wider than the rounding of r² and of the edge's
// radius): the few pixels in a band are decided by their value in the unit,
// computed in full, against the bin edges lo + k w.
class BinFinder {
  public:
    // `edges`: the radii of the bin edges, ascending; `far_radius` bounds the
    // radii of the pixels; `pixels` bounds the cells (more than a few per pixel
    // would cost more to fill than they save).
    BinFinder(const std::vector<double>& edges, const ValueBins& exact, double far_radius, int64_t pixels);

    // What the search reads, for a loop to keep in registers.
    struct Lookup {
        const int32_t* passed; // per cell: the edges below its start
        const double* above;   // per edge: r² from which it is passed for sure
        const double* below;   // per edge: r² from which a pixel may lie on it
        const int32_t* slots;  // per count of edges passed: the slot
        double inv_cell;       // cells per unit of r²
        const BinFinder* finder;

        // The slot of a pixel at squared radius r2: its bin, or the slot of
        // the pixels outside the range.
        int32_t slot(double r2) const {
            int32_t e = passed[static_cast<int64_t>(r2 * inv_cell)];
            e += r2 >= above[e];
            if (r2 >= below[e]) return finder->slot_near(r2, e); // rare
            return slots[e];
        }
    };
    Lookup lookup() const {
        return {passed_.data(), above_.data(), below_.data(), slots_.data(), inv_cell_, this};
    }
    // The slot of the pixels that count in no bin.
    int32_t outside() const { return exact_.bins; }

  private:
    static constexpr int64_t kMaxCells = int64_t{1} << 22;
    static constexpr double kBand = 1e-10;

    void fill_cells(const std::vector<double>& edges, double far_radius, int64_t pixels);
    int32_t slot_near(double r2, int32_t e) const;

    ValueBins exact_;
    std::vector<double> above_, below_;
    std::vector<int32_t> slots_;
    double inv_cell_ = 0.0;
    std::vector<int32_t> passed_;
};

BinFinder::BinFinder(const std::vector<double>& edges, const ValueBins& exact, double far_radius,
                     int64_t pixels)
    : exact_(exact) {
    // An edge at a negative radius is passed by every pixel; a sentinel ends
    // the edges.
    const size_t count = edges.size();
    above_ = prg_alloc<double>(kOrigin, "bin edges", count + 1);
    below_ = prg_alloc<double>(kOrigin, "bin edges", count + 1);
    for (size_t e = 0; e < count; ++e) {
        const double r2 = edges[e] * edges[e];
        above_[e] = edges[e] < 0 ? -INFINITY : r2 * (1 + kBand);
        below_[e] = edges[e] < 0 ? -INFINITY : r2 * (1 - kBand);
    }
    above_[count] = below_[count] = INFINITY;
    // Between edges e - 1 and e lies bin e - 1 (for d, counted from the far
    // end); below the first edge and beyond the last, no bin.
    const int32_t bins = exact.bins;
    slots_ = prg_alloc<int32_t>(kOrigin, "bin slots", count + 1);
    for (int32_t e = 0; e <= bins + 1; ++e) {
        const bool inside = e >= 1 && e <= bins;
        slots_[static_cast<size_t>(e)] = !inside ? outside() : exact.decreasing() ? bins - e : e - 1;
    }
    fill_cells(edges, far_radius, pixels);
}

void BinFinder::fill_cells(const std::vector<double>& edges, double far_radius, int64_t pixels) {
    // The smallest gap in r² between edges beyond a sixteenth of the far
    // radius sets the width of the cells.
    const double far2 = far_radius * far_radius;
    double gap = far2;
    for (size_t e = 1; e < edges.size(); ++e)
        if (edges[e - 1] >= far_radius / 16 && edges[e - 1] < far_radius)
            gap = std::min(gap, edges[e] * edges[e] - edges[e - 1] * edges[e - 1]);
    const double most = static_cast<double>(std::min(kMaxCells, 4 * pixels));
    const double wanted = gap > 0 ? std::min(far2 / gap + 1, most) : 1;
    const int64_t cells = static_cast<int64_t>(std::max(wanted, 2.0 * exact_.bins + 2));
    inv_cell_ = static_cast<double>(cells) / far2;
    // The pixels lie within the far radius; two cells more take its rounding.
    passed_ = prg_alloc<int32_t>(kOrigin, "bin table", static_cast<uint64_t>(cells) + 2);
    int32_t e = 0;
    for (size_t c = 0; c < passed_.size(); ++c) {
        const double start = static_cast<double>(c) / inv_cell_;
        while (above_[static_cast<size_t>(e)] <= start)
            ++e;
        passed_[c] = e;
    }
}

// A pixel that lies near edge e or in a cell holding several edges.
int32_t BinFinder::slot_near(double r2, int32_t e) const {
    while (r2 >= above_[static_cast<size_t>(e)])
        ++e;
    if (r2 < below_[static_cast<size_t>(e)]) return slots_[static_cast<size_t>(e)];
    const int32_t k = exact_.bin_of(std::sqrt(r2));
    return k < 0 ? outside() : k;
}

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
// The squared distance r² (mm²) from the beam and the correction c of every
// pixel centre of a row, from dx² of its columns. With L² = r² + D², the solid
// angle is cos³ 2θ = D³ / L³ and the polarisation (1 + cos² 2θ − f cos 2χ
// sin² 2θ) / 2 = (L² + D² − f (dx² − dy²)) / 2L²; their product takes one
// division.
template <bool SolidAngle, bool Polarisation>
void row_geometry(const double* dx2, double dy, int32_t n, double distance, double f, double* r2, double* c) {
    const double d2 = distance * distance, d3 = d2 * distance, dy2 = dy * dy;
    for (int32_t i = 0; i < n; ++i) {
        r2[i] = dx2[i] + dy2;
        const double l2 = r2[i] + d2;
        double num = 1.0, den = 1.0;
        if (SolidAngle) {
            num *= d3;
            den *= l2 * std::sqrt(l2);
        }
        if (Polarisation) {
            num *= 0.5 * (l2 + d2 - f * (dx2[i] - dy2));
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

// What every row of the image shares: the geometry of its columns and the
// bin finder.
struct ImagePass {
    const IMG& img;
    const PowderGeometry& g;
    const PowderOptions& o;
    const AzimuthRange* sector;
    const BinFinder& finder;
    std::vector<double> dx, dx2; // of the columns' centres
};

// The working rows of a pass over rows: r², c and the slot of each pixel.
struct RowBuffers {
    std::vector<double> r2, c;
    std::vector<int32_t> slots;
};

RowBuffers row_buffers(size_t nx) {
    return {prg_alloc<double>(kOrigin, "radii", nx), prg_alloc<double>(kOrigin, "corrections", nx),
            prg_alloc<int32_t>(kOrigin, "slots", nx)};
}

// The slots of a row's pixels. A loop of its own: the stores into the bin
// sums, mixed with the reads of the finder's tables, made it run at half the
// speed.
void find_slots(const BinFinder::Lookup& finder, const double* r2, size_t n, int32_t* slots) {
    for (size_t col = 0; col < n; ++col)
        slots[col] = finder.slot(r2[col]);
}

// The counted pixels of a row (within the sector) into their slots of `sums`.
void add_row(const ImagePass& pass, int32_t row, const RowBuffers& rows, BinSums* sums) {
    const IMG& img = pass.img;
    const size_t nx = static_cast<size_t>(img.nx);
    const size_t base = static_cast<size_t>(row) * nx;
    const int32_t* values = img.data.data() + base;
    const uint16_t* frame = img.frame.empty() ? nullptr : img.frame.data() + base;
    const double dy = (row + 0.5 - pass.g.centre[1]) * pass.g.pixel[1];
    const int32_t outside = pass.finder.outside();
    for (size_t col = 0; col < nx; ++col) {
        int32_t slot = rows.slots[col];
        if (frame && frame[col] == 0) slot = outside;
        if (pass.sector && !in_sector(pass.dx[col], dy, *pass.sector)) slot = outside;
        const double v = values[col];
        BinSums& s = sums[slot];
        s.values += v;
        s.corrections += rows.c[col];
        s.counts += std::max(v, 0.0);
        ++s.pixels;
    }
}

// Rows [first, end) into `sums` (one slot per bin and one for the pixels out
// of the range): r² and c of a row, its slots, then its pixels. Kept out of
// line: inlined into its caller, GCC 12 made its loops twice as slow.
__attribute__((noinline)) void add_rows(const ImagePass& pass, int32_t first, int32_t end, RowBuffers& rows,
                                        BinSums* sums) {
    const RowGeometry geometry = row_geometry_for(pass.o);
    const BinFinder::Lookup finder = pass.finder.lookup();
    const PowderGeometry& g = pass.g;
    for (int32_t row = first; row < end; ++row) {
        const double dy = (row + 0.5 - g.centre[1]) * g.pixel[1];
        geometry(pass.dx2.data(), dy, pass.img.nx, g.distance, pass.o.polarisation_factor, rows.r2.data(),
                 rows.c.data());
        find_slots(finder, rows.r2.data(), rows.r2.size(), rows.slots.data());
        add_row(pass, row, rows, sums);
    }
}

void add_sums(std::vector<BinSums>& total, const BinSums* part) {
    for (size_t k = 0; k < total.size(); ++k) {
        total[k].values += part[k].values;
        total[k].corrections += part[k].corrections;
        total[k].counts += part[k].counts;
        total[k].pixels += part[k].pixels;
    }
}

// Rows of a block whose sums are gathered apart, then added to the total in
// block order: the sums are the same at any number of threads. At least
// kBlockRows; more when the bins are many, so that the blocks' sums take at
// most 2 bytes a pixel and adding them a sixteenth of a pass over the pixels.
constexpr int32_t kBlockRows = 64;

int32_t block_rows(const IMG& img, size_t slots) {
    const int64_t pixels = int64_t{img.nx} * img.ny;
    const int64_t most_blocks = std::max<int64_t>(1, pixels / (16 * static_cast<int64_t>(slots)));
    return static_cast<int32_t>(std::max<int64_t>(kBlockRows, (img.ny + most_blocks - 1) / most_blocks));
}

// The sums of every bin over the image, a block of rows at a time: the blocks
// shared among o.threads threads, each into sums of its own, which are then
// added to the total in block order. Everything the workers use is allocated
// here, on the job's thread.
std::vector<BinSums> profile_sums(const IMG& img, const PowderGeometry& g, const PowderOptions& o,
                                  const AzimuthRange* sector, const BinFinder& finder) {
    const size_t nx = static_cast<size_t>(img.nx);
    ImagePass pass{img,
                   g,
                   o,
                   sector,
                   finder,
                   prg_alloc<double>(kOrigin, "columns", nx),
                   prg_alloc<double>(kOrigin, "columns", nx)};
    for (size_t col = 0; col < nx; ++col) {
        pass.dx[col] = (static_cast<double>(col) + 0.5 - g.centre[0]) * g.pixel[0];
        pass.dx2[col] = pass.dx[col] * pass.dx[col];
    }
    const size_t slots = static_cast<size_t>(finder.outside()) + 1;
    const int32_t rows_per_block = block_rows(img, slots);
    const int32_t blocks = (img.ny + rows_per_block - 1) / rows_per_block;
    std::vector<BinSums> total = prg_alloc<BinSums>(kOrigin, "bin sums", slots);
    if (blocks <= 1) {
        RowBuffers rows = row_buffers(nx);
        add_rows(pass, 0, img.ny, rows, total.data());
        return total;
    }
    std::vector<BinSums> partial =
        prg_alloc<BinSums>(kOrigin, "bin sums of the blocks", static_cast<uint64_t>(blocks) * slots);
    std::vector<RowBuffers> rows;
    for (int32_t t = 0; t < std::max(1, std::min(o.threads, blocks)); ++t)
        rows.push_back(row_buffers(nx));
    auto add_block = [&](int32_t block, RowBuffers& buffers) {
        const int32_t first = block * rows_per_block;
        add_rows(pass, first, std::min(img.ny, first + rows_per_block), buffers,
                 partial.data() + static_cast<size_t>(block) * slots);
    };
    const int64_t failed = xy_run_pieces(o.threads, blocks, [&](int64_t block) {
        add_block(static_cast<int32_t>(block), rows[static_cast<size_t>(xy_thread_index())]);
    });
    if (failed >= 0) {
        // The block again on this thread, which reports what stopped it.
        add_block(static_cast<int32_t>(failed), rows[0]);
        v_fatal(kOrigin, "powder sums of rows from %d failed", static_cast<int32_t>(failed) * rows_per_block);
    }
    for (int32_t block = 0; block < blocks; ++block)
        add_sums(total, partial.data() + static_cast<size_t>(block) * slots);
    return total;
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
    if (!std::isfinite(far * far))
        v_fatal(kOrigin, "beam centre %g %g: too far from the image for a powder profile", g.centre[0],
                g.centre[1]);
    const ValueBins value_bins{o.unit, g, p.lo, p.hi, w, p.bins};
    const BinFinder finder(edge_radii(g, o.unit, p.lo, w, p.bins), value_bins, far, int64_t{img.nx} * img.ny);
    const std::vector<BinSums> sums = profile_sums(img, g, o, sector, finder);
    for (int32_t k = 0; k < p.bins; ++k) {
        const BinSums& s = sums[static_cast<size_t>(k)];
        if (s.pixels == 0) continue;
        p.filled.push_back(
            {p.lo + (k + 0.5) * w, s.values / s.corrections, std::sqrt(s.counts) / s.corrections, s.pixels});
    }
    return p;
}
