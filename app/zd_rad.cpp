#include "zd_rad.hpp"

#include "xy_grid.hpp"
#include "xy_threads.hpp"
#include "xy_transfo.hpp"
#include "zd_driver.hpp"
#include "zd_run.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

thread_local RadialSettings rad_set;

namespace {

const char* const kOrigin = "zd_rad";
constexpr double kPi = 3.14159265358979323846;
constexpr int32_t kMaxSectors = 72;
// A centre so far away that the rings outnumber this is refused: it cannot be
// meant, and its tables would not fit in memory.
constexpr float kMaxRings = 1 << 20;

// Sums of one ring of one sector.
struct RingSums {
    double s = 0.0;  // weighted sum of values
    double s2 = 0.0; // weighted sum of squared values
    double w = 0.0;  // sum of weights
};

struct Centre {
    double x, y;
};

struct Rules {
    bool x, y, dx, dy;
    bool any() const { return x || y || dx || dy; }
};

[[noreturn]] void sector_error(std::FILE* file, AtomicOutFile& out, const std::string& screen,
                               const std::string& in_file) {
    prg_write(stdout, screen);
    prg_flush_messages();
    std::fputs(in_file.c_str(), file);
    out.commit(); // the file keeps what was written so far
    throw Fatal(3);
}

// P_SECTOR: groups separated by ",", sector numbers joined by "+", digits
// only. Returns the group of every sector (-1: not printed) and the number of
// groups. Anything else ends the run with status 3 and a message.
std::vector<int32_t> parse_sector_groups(const std::string& text, int32_t n, int32_t& groups, std::FILE* file,
                                         AtomicOutFile& out) {
    std::vector<int32_t> group_of = prg_alloc<int32_t>(kOrigin, "sectors", static_cast<uint64_t>(n));
    std::fill(group_of.begin(), group_of.end(), -1);
    groups = 0;
    size_t i = 0;
    while (true) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') {
            const std::string rest = i < text.size() ? text.substr(i) : std::string("(end)");
            const std::string msg =
                prg_format(" invalid sector list '%s' at '%s', skipped!\n", text.c_str(), rest.c_str());
            sector_error(file, out, msg, msg);
        }
        int64_t sector = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            sector = std::min<int64_t>(sector * 10 + (text[i] - '0'), INT32_MAX);
            ++i;
        }
        const int32_t s = static_cast<int32_t>(sector);
        if (s >= n) {
            const std::string msg = prg_format(" invalid sector %d ( >= %d ), skipped!\n", s, n);
            sector_error(file, out, msg, msg);
        }
        if (group_of[s] >= 0)
            sector_error(file, out, prg_format(" sector %d used more than one times!\n", s),
                         prg_format(" sector %d used more than onc times!\n", s));
        group_of[s] = groups;
        if (i == text.size()) break;
        if (text[i] == ',') ++groups;
        if (text[i] == ',' || text[i] == '+') ++i;
    }
    ++groups;
    return group_of;
}

// Mean and error of one column: n' = n (1 when n < 0.1), mean S/n' raised to
// RAD_LIM, variance (S2 - n' mean^2)/(n' - c), error sqrt(var/n') when the
// variance is positive and n' > 2, else -1.
void put_column(std::string& line, const RingSums& t, double c, float rad_lim) {
    const double n = t.w < 0.1 ? 1.0 : t.w;
    double mean = t.s / n;
    if (mean < rad_lim) mean = rad_lim;
    const double var = (t.s2 - n * mean * mean) / (n - c);
    const double err = (var > 0 && n > 2) ? std::sqrt(var / n) : -1.0;
    line += prg_format("  %10.2lf %8.2lf %6.1lf  ", mean, err, t.w);
}

std::string output_name(const std::string& out_dir, const IMG& img) {
    return prg_result_name(out_dir, img.name, correction_suffix(!drv.g_name.empty()) + ".rad");
}

// ORIG in detector pixels (0: the image middle), through the grid model when
// GRID_ORIG asks for it, then into image pixels.
Centre image_centre(const IMG& img) {
    for (const double v : run.orig_det)
        if (!std::isfinite(v))
            v_fatal(kOrigin, "ORIG = %g %g is not a centre", run.orig_det[0], run.orig_det[1]);
    Centre c{run.orig_det[0] != 0 ? run.orig_det[0] : 0.5 * img.nx,
             run.orig_det[1] != 0 ? run.orig_det[1] : 0.5 * img.ny};
    GridCor& grid_cor = drv.job.grid;
    const std::string& convert = grid_cor.grid_orig;
    if (!convert.empty() && std::strstr("CONVERT", convert.c_str()) != nullptr) {
        if (grid_cor.n_coef <= 0 || grid_cor.set != 3) {
            prg_notice(" warning : GRID_ORIG=%s without a grid model, center %.3f %.3f kept\n",
                       convert.c_str(), c.x, c.y);
        } else {
            const double px = grid_pix_xcor(c.x, grid_cor);
            const double py = grid_pix_ycor(c.y, grid_cor);
            const Centre g{grid_cor_xpos(px, py, grid_cor), grid_cor_ypos(px, py, grid_cor)};
            prg_screen("using grid corrected center %.3f %.3f for %.3f %.3f\n", g.x, g.y, c.x, c.y);
            c = g;
        }
    }
    c.x = (c.x - img.x_min) / std::max(img.x_bind, 1);
    c.y = (c.y - img.y_min) / std::max(img.y_bind, 1);
    xy_orien_pixel(img, c.x, c.y);
    return c;
}

// The distance of the farthest corner, in single precision.
float largest_radius(const IMG& img, const Centre& c) {
    const double far_x = img.nx - c.x;
    const double far_y = img.ny - c.y;
    float r2 = 0.0f;
    for (const double sq : {c.x * c.x + c.y * c.y, c.x * c.x + far_y * far_y, far_x * far_x + c.y * c.y,
                            far_x * far_x + far_y * far_y})
        r2 = std::max(r2, static_cast<float>(sq));
    return std::sqrt(1.0f + r2);
}

void check_settings() {
    if (!std::isfinite(rad_set.radius)) v_fatal(kOrigin, "RADIUS = %g is not a ring width", rad_set.radius);
    if (!std::isfinite(rad_set.a_sector)) v_fatal(kOrigin, "A_SECTOR = %g is not an angle", rad_set.a_sector);
    if (rad_set.radius < 1.0f) rad_set.radius = 1.0f;
    if (rad_set.n_sector < 1 || rad_set.n_sector > kMaxSectors) rad_set.n_sector = 1;
}

void install_rules(const Rules& rules, CoordinateRules& slots) {
    std::string text;
    if (rules.x) ini_transfo_coord(slots, text = rad_set.rad_x, 0);
    if (rules.dx) ini_transfo_coord(slots, text = rad_set.rad_dx, 2);
    if (rules.y) ini_transfo_coord(slots, text = rad_set.rad_y, 1);
    if (rules.dy) ini_transfo_coord(slots, text = rad_set.rad_dy, 3);
}

// Accumulates every counted pixel into the rings of its sector.
class RingAccumulator {
  public:
    RingAccumulator(int32_t n, int32_t dim)
        : dim_(dim), radius_(rad_set.radius), unit_width_(rad_set.radius == 1.0f),
          half_plateau_((rad_set.radius - 1.0f) / 2.0f),
          sums_(prg_alloc<RingSums>(kOrigin, "radial sums", static_cast<uint64_t>(n) * dim)) {}

    // Ring k = trunc((r + 0.5)/RADIUS) holds the pixel, f = r - k*RADIUS. A
    // pixel within (RADIUS-1)/2 of its ring's centre counts whole; beyond,
    // over one pixel width across the midpoint, it is shared linearly with the
    // neighbouring ring (g = 1 + h - f, 1 + h + f, clamped to 0..1; for
    // RADIUS 1 this is 1 - f and 1 + f). A share for a ring past the last is
    // dropped; distances that are not finite or beyond the rings are skipped.
    void add(float r, int32_t sector, double v, double w) {
        // Dividing by a width of 1 changes nothing: the division is skipped.
        const double ring =
            unit_width_ ? static_cast<double>(r) + 0.5 : (static_cast<double>(r) + 0.5) / radius_;
        if (!(ring < dim_)) return;
        const int32_t k = static_cast<int32_t>(ring);
        const float f = r - static_cast<float>(k) * radius_;
        RingSums* row = &sums_[static_cast<size_t>(sector) * dim_];
        // One expression for both sides (without a branch that the sign of f
        // would make unpredictable): within the plateau g is 1 and the
        // neighbour's share 0 changes nothing.
        const float g = std::min(1.0f, std::max(0.0f, (1.0f + half_plateau_) - std::fabs(f)));
        const int32_t j = f > 0 ? k + 1 : k - 1;
        share(row[k], g, v, w);
        if (j >= 0 && j < dim_) share(row[j], 1.0f - g, v, w);
    }
    const RingSums& at(int32_t sector, int32_t k) const {
        return sums_[static_cast<size_t>(sector) * dim_ + k];
    }

    void clear() { std::fill(sums_.begin(), sums_.end(), RingSums{}); }

    // Adds the sums of a later block of pixels, ring by ring.
    void take(const RingAccumulator& later) {
        for (size_t i = 0; i < sums_.size(); ++i) {
            sums_[i].s += later.sums_[i].s;
            sums_[i].s2 += later.sums_[i].s2;
            sums_[i].w += later.sums_[i].w;
        }
    }

  private:
    static void share(RingSums& t, float q, double v, double w) {
        t.s += q * v;
        t.s2 += q * (v * v);
        t.w += q * w;
    }
    int32_t dim_;
    float radius_;
    bool unit_width_;
    float half_plateau_;
    std::vector<RingSums> sums_;
};

// Pixels without rules: dy^2 once per row, dx and dx^2 once per column, the
// sector from the SectorFinder.
void accumulate_plain(const IMG& img, const Centre& c, int32_t n, float a_sector, int32_t first_row,
                      int32_t end_row, RingAccumulator& acc) {
    std::vector<float> dx(img.nx), dx2(img.nx);
    for (int32_t col = 0; col < img.nx; ++col) {
        dx[col] = static_cast<float>(col - c.x + 0.5);
        dx2[col] = dx[col] * dx[col];
    }
    const SectorFinder finder(n, a_sector);
    const bool counted_all = img.frame.empty();
    int32_t hint = 0;
    for (int32_t row = first_row; row < end_row; ++row) {
        const float dy = static_cast<float>(row - c.y + 0.5);
        const float dy2 = dy * dy;
        const int64_t base = static_cast<int64_t>(row) * img.nx;
        for (int32_t col = 0; col < img.nx; ++col) {
            if (!counted_all && img.frame[base + col] == 0) continue;
            const float r = std::sqrt(dx2[col] + dy2);
            const int32_t s = finder.find(dx[col], dy, r, hint);
            if (s >= 0) acc.add(r, s, img.data[base + col], 1.0);
        }
    }
}

// Pixels with rules: each pixel's position and weight come from the slots.
void accumulate_ruled(const IMG& img, const Centre& c, int32_t n, const Rules& rules,
                      const CoordinateRules& slots, float a_sector, int32_t first_row, int32_t end_row,
                      RingAccumulator& acc) {
    const bool counted_all = img.frame.empty();
    for (int32_t row = first_row; row < end_row; ++row) {
        const int64_t base = static_cast<int64_t>(row) * img.nx;
        for (int32_t col = 0; col < img.nx; ++col) {
            if (!counted_all && img.frame[base + col] == 0) continue;
            const double wx = rules.dx ? density_coord(slots, 2, col, row) : 1.0;
            const double wy = rules.dy ? density_coord(slots, 3, col, row) : 1.0;
            const double x = rules.x ? transfo_coord(slots, 0, col, row) : col;
            const double y = rules.y ? transfo_coord(slots, 1, col, row) : row;
            const float dx = static_cast<float>(x - c.x + 0.5);
            const float dy = static_cast<float>(y - c.y + 0.5);
            const float r = std::sqrt(dx * dx + dy * dy);
            const int32_t s = radial_sector(dx, dy, n, a_sector);
            if (s >= 0) acc.add(r, s, img.data[base + col], wx * wy);
        }
    }
}

// Rows of a block whose sums are gathered apart, then added to the total in
// block order: the sums are the same whatever the number of threads. An image
// of at most this many rows is one block.
constexpr int32_t kBlockRows = 64;

// Every counted pixel into `total`, in blocks of rows shared among `threads`
// threads: a wave of blocks at a time, each into sums of its own, which are
// then added to the total in block order. Each thread has its own copy of the
// rules (their evaluation has scratch space); the settings, which belong to
// the job's thread, are read there.
void accumulate(const IMG& img, const Centre& c, int32_t n, int32_t dim, const Rules& rules,
                const CoordinateRules& slots, int32_t threads, RingAccumulator& total) {
    const int32_t blocks = (img.ny + kBlockRows - 1) / kBlockRows;
    const int32_t team = std::max(1, std::min(threads, blocks));
    std::vector<RingAccumulator> partial(static_cast<size_t>(team), RingAccumulator(n, dim));
    std::vector<CoordinateRules> own_slots(static_cast<size_t>(team), slots);
    const float a_sector = rad_set.a_sector;
    auto add_block = [&](int32_t block, RingAccumulator& acc, const CoordinateRules& rules_of_thread) {
        const int32_t first = block * kBlockRows, end = std::min(img.ny, first + kBlockRows);
        if (rules.any())
            accumulate_ruled(img, c, n, rules, rules_of_thread, a_sector, first, end, acc);
        else
            accumulate_plain(img, c, n, a_sector, first, end, acc);
    };
    if (blocks == 1) return add_block(0, total, slots);
    for (int32_t wave = 0; wave < blocks; wave += team) {
        const int32_t count = std::min(team, blocks - wave);
        for (int32_t j = 0; j < count; ++j)
            partial[static_cast<size_t>(j)].clear();
        const int64_t failed = xy_run_pieces(team, count, [&](int64_t j) {
            add_block(wave + static_cast<int32_t>(j), partial[static_cast<size_t>(j)],
                      own_slots[static_cast<size_t>(xy_thread_index())]);
        });
        if (failed >= 0) {
            // The block again on this thread, which reports what stopped it.
            add_block(wave + static_cast<int32_t>(failed), partial[0], slots);
            v_fatal(kOrigin, "radial sums of rows from %d failed",
                    (wave + static_cast<int32_t>(failed)) * kBlockRows);
        }
        for (int32_t j = 0; j < count; ++j)
            total.take(partial[static_cast<size_t>(j)]);
    }
}

// Rings whose lines one thread formats at a time; at most kPiecesPerWave
// pieces are held before they are written, in ring order.
constexpr int32_t kRingsPerPiece = 64;
constexpr int32_t kPiecesPerWave = 64;

// The table's lines for rings 0 .. dim-1, line(k, text) appending ring k's,
// formatted on `threads` threads and written in ring order.
template <class Line> void write_lines(std::FILE* fp, int32_t dim, int32_t threads, const Line& line) {
    const int32_t pieces = (dim + kRingsPerPiece - 1) / kRingsPerPiece;
    std::vector<std::string> text(static_cast<size_t>(std::min(pieces, kPiecesPerWave)));
    for (int32_t wave = 0; wave < pieces; wave += kPiecesPerWave) {
        const int32_t count = std::min(kPiecesPerWave, pieces - wave);
        const int64_t failed = xy_run_pieces(threads, count, [&](int64_t j) {
            std::string& t = text[static_cast<size_t>(j)];
            t.clear();
            const int32_t first = (wave + static_cast<int32_t>(j)) * kRingsPerPiece;
            for (int32_t k = first; k < std::min(dim, first + kRingsPerPiece); ++k)
                line(k, t);
        });
        if (failed >= 0)
            v_fatal(kOrigin, "formatting the radial rings from %d failed",
                    (wave + static_cast<int32_t>(failed)) * kRingsPerPiece);
        for (int32_t j = 0; j < count; ++j)
            std::fwrite(text[static_cast<size_t>(j)].data(), 1, text[static_cast<size_t>(j)].size(), fp);
    }
}

void write_sectors(std::FILE* fp, const RingAccumulator& acc, int32_t dim, int32_t n, char cr,
                   int32_t threads) {
    std::fprintf(fp, "#   r      s/n       e(s/n)   n  ...%c\n", cr);
    const float rad_lim = rad_set.rad_lim;
    write_lines(fp, dim, threads, [&](int32_t k, std::string& line) {
        line += prg_format(" %4d", k);
        for (int32_t s = 0; s < n; ++s)
            put_column(line, acc.at(s, k), 0.999999, rad_lim);
        line += cr;
        line += '\n';
    });
}

// Returns the number of groups printed.
int32_t write_groups(std::FILE* fp, AtomicOutFile& out, const RingAccumulator& acc, int32_t dim, int32_t n,
                     char cr, int32_t threads) {
    const std::string& text = rad_set.p_sector;
    std::fprintf(fp, "# print sectors binned according : '%s'%c\n", text.c_str(), cr);
    std::fflush(fp);
    int32_t groups = 0;
    const std::vector<int32_t> group_of = parse_sector_groups(text, n, groups, fp, out);
    const int32_t used = static_cast<int32_t>(
        std::count_if(group_of.begin(), group_of.end(), [](int32_t g) { return g >= 0; }));
    std::fprintf(fp, "# %d used sectors (of %d) are binned in %d group : ", used, n, groups);
    for (int32_t g = 0; g < groups; ++g) {
        std::fprintf(fp, " %d (", g);
        for (int32_t s = 0; s < n; ++s)
            if (group_of[s] == g) std::fprintf(fp, " %d", s);
        std::fprintf(fp, ") %s", g + 1 < groups ? " , " : "\n");
    }
    std::fprintf(fp, "#   r       s/n       e(s/n)    n  ...%c\n", cr);
    const float rad_lim = rad_set.rad_lim;
    write_lines(fp, dim, threads, [&](int32_t k, std::string& line) {
        line += prg_format(" %4d", k);
        for (int32_t g = 0; g < groups; ++g) {
            RingSums sum;
            for (int32_t s = 0; s < n; ++s) {
                if (group_of[s] != g) continue;
                sum.s += acc.at(s, k).s;
                sum.s2 += acc.at(s, k).s2;
                sum.w += acc.at(s, k).w;
            }
            put_column(line, sum, 0.99999, rad_lim);
        }
        line += ' ';
        line += cr;
        line += '\n';
    });
    return groups;
}

} // namespace

// ---------------------------------------------------------------- sectors

int32_t radial_sector(float dx, float dy, int32_t n, float a_sector) {
    const float a = static_cast<float>(std::atan2(dy, dx) * 180.0 / kPi);
    const float t = (a + 360.0f - a_sector) * static_cast<float>(n) / 360.0f;
    if (!std::isfinite(t)) return -1;
    float s = std::fmod(std::floor(t), static_cast<float>(n));
    if (s < 0) s += static_cast<float>(n);
    return static_cast<int32_t>(s);
}

SectorFinder::SectorFinder(int32_t n, float a_sector)
    : n_(n), a_sector_(a_sector), geometric_(n >= 2 && std::fabs(a_sector) <= 720.0f) {
    for (int32_t j = 0; j < n_ && geometric_; ++j) {
        const double b = (a_sector + 360.0 * j / n_) * kPi / 180.0;
        cos_b_.push_back(static_cast<float>(std::cos(b)));
        sin_b_.push_back(static_cast<float>(std::sin(b)));
    }
    for (int32_t j = 0; j < n_ && geometric_; ++j) {
        cos_e_.push_back(cos_b_[(j + 1) % n_]);
        sin_e_.push_back(sin_b_[(j + 1) % n_]);
    }
}

// Sector j spans the directions from boundary j to boundary j+1, counter-
// clockwise; the cross product with a boundary's direction tells the side.
int32_t SectorFinder::search(float dx, float dy, float r, int32_t& hint) const {
    if (n_ == 1) return std::isfinite(r) ? 0 : -1;
    const float margin = kBoundaryMargin * r;
    if (geometric_ && margin > 0 && std::isfinite(margin)) {
        int32_t j = hint;
        for (int32_t step = 0; step <= n_; ++step) {
            const int32_t next = j + 1 == n_ ? 0 : j + 1;
            const float after_start = cos_b_[j] * dy - sin_b_[j] * dx;
            const float after_end = cos_b_[next] * dy - sin_b_[next] * dx;
            if (after_start > margin && after_end < -margin) return hint = j;
            if (std::fabs(after_start) <= margin || std::fabs(after_end) <= margin) break;
            j = after_start < 0 ? (j == 0 ? n_ - 1 : j - 1) : next;
        }
    }
    ++direct_;
    const int32_t s = radial_sector(dx, dy, n_, a_sector_);
    if (s >= 0) hint = s;
    return s;
}

// ---------------------------------------------------------------- settings

void radial_usage() {
    std::fputs("  radial distribution is centered by ORIGIN key\n"
               "    and the following group of dedicated keys\n"
               " RADIUS = radius binning\n"
               " RAD_LIM  = low limit value in radial distribution (not set is no limit)\n"
               " N_SECTOR  = number of angular sectors (num 0 to N_SECTOR-1)\n"
               " A_SECTOR  = origin (degree) of the first sector\n"
               " P_SECTOR  = if not empty, binning specifications without space\n"
               " RAD_X   = if not empty, X geometrical transformation, RAD_Y\n"
               " RAD_DX  = if not empty, X geometrical density related to RAD_X, RAD_DY\n"
               "    radial distribution example, N=8,A=-22.5,P=0+4,2+6,1+3+5+7 print 3 curves\n"
               "  if grid is corrected on the fly, specify GRID_ORIG=CONVERT to convert the origin\n",
               stderr);
}

int ini_radial(const IniTag& t) {
    RadialSettings& r = rad_set;
    return prg_iniflt(t, "RADIUS", r.radius) || prg_iniflt(t, "RAD_LIM", r.rad_lim) ||
           prg_iniint(t, "N_SECTOR", r.n_sector) || prg_iniflt(t, "A_SECTOR", r.a_sector) ||
           prg_inistr(t, "P_SECTOR", r.p_sector) || prg_inistr(t, "RAD_X", r.rad_x) ||
           prg_inistr(t, "RAD_Y", r.rad_y) || prg_inistr(t, "RAD_DX", r.rad_dx) ||
           prg_inistr(t, "RAD_DY", r.rad_dy);
}

// ---------------------------------------------------------------- the command

void radial(const std::string& /*argument*/, const std::string& out_dir, IMG& image) {
    if (image.data.empty()) v_fatal(kOrigin, "no data to write");
    check_settings();
    const std::string name = output_name(out_dir, image);
    prg_printf("# output radial results in %s\n", name.c_str());
    AtomicOutFile out(name);
    if (!out.is_open()) v_error(kOrigin, "unable to create the radial file %s", name.c_str());
    std::FILE* fp = out.get();

    Centre c = image_centre(image);
    const float rmax = largest_radius(image, c);
    if (!(rmax / rad_set.radius < kMaxRings))
        v_fatal(kOrigin, "center %.2f %.2f is too far from the image: r_max %g", c.x, c.y, rmax);
    const int32_t dim = static_cast<int32_t>(rmax / rad_set.radius) + 3;
    const double* orig = run.orig_det;
    prg_printf("# center %.2f %.2f -> %.2f %.2f, r_max %.2f,  dim %d\n", orig[0], orig[1], c.x, c.y, rmax,
               dim);
    const int32_t n = rad_set.n_sector;
    prg_printf("# %d sectors with origine of first sector starting at %.2f deg\n", n, rad_set.a_sector);
    std::fprintf(
        fp,
        "# %s (%d-%d)/%d*(%d-%d)/%d  (%s)\n# center %.2f %.2f -> %.2f %.2f, r_max %.2f\n# %d sectors "
        "with origine at %.2f deg\n",
        name.c_str(), image.x_min, image.x_max, image.x_bind, image.y_min, image.y_max, image.y_bind,
        drv.i_name.c_str(), orig[0], orig[1], c.x, c.y, rmax, n, rad_set.a_sector);

    const Rules rules{!rad_set.rad_x.empty(), !rad_set.rad_y.empty(), !rad_set.rad_dx.empty(),
                      !rad_set.rad_dy.empty()};
    CoordinateRules slots;
    install_rules(rules, slots);
    const Centre untransformed = c;
    if (rules.x) c.x = transfo_coord(slots, 0, untransformed.x, untransformed.y);
    if (rules.y) c.y = transfo_coord(slots, 1, untransformed.x, untransformed.y);

    RingAccumulator acc(n, dim);
    const int32_t threads = drv.job.reading.threads;
    accumulate(image, c, n, dim, rules, slots, threads, acc);

    const char cr = run.cr_mode != 0 ? '\r' : ' ';
    int32_t columns = n;
    if (rad_set.p_sector.empty())
        write_sectors(fp, acc, dim, n, cr, threads);
    else
        columns = write_groups(fp, out, acc, dim, n, cr, threads);
    if (!out.commit()) v_error(kOrigin, "unable to write the radial file %s", name.c_str());
    prg_printf("# %d * %d data writen in %s\n", dim, columns, name.c_str());
    if (rules.x || rules.y) end_transfo_coord();
}
