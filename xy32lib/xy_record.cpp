// Image record: settings keys, region and binning geometry, binning of one
// frame region, frame-count correction and orientation.
#include "xy_lib.hpp"
#include "xy_pixel.hpp"

#include <climits>
#include <cmath>
#include <cstdio>

namespace {

const char* const kLibOrigin = "../xy32lib/xy_lib";

// The readers and the summation rely on these widths for the pixel planes.
static_assert(sizeof(uint16_t) == 2 && sizeof(int32_t) == 4,
              "INT16U or INT32 are not 16 or 32 bits integers!");
static_assert(sizeof(float) == 4, "float pixels must be 32-bit IEEE values");

// Geometry of one axis after clamping, trimming and binning.
struct AxisGeometry {
    int64_t min = 0;
    int64_t max = 0;
    int64_t bind = 1;
    int64_t region = 0; // untrimmed extent read from the file
    int64_t n = 0;      // binned pixels
};

// The geometry of one axis: the region clamped to the frame (an upper bound of
// 0 or beyond the frame is the frame's end, a lower bound outside it is 0),
// trimmed to whole bins, and its number of bins. A region that holds no
// binned pixel is a fatal error naming the axis' settings.
AxisGeometry axis_geometry(const char* axis, int64_t dim, int64_t min, int64_t max, int64_t bind) {
    AxisGeometry g;
    g.bind = bind < 1 ? 1 : bind;
    g.max = max == 0 ? dim : max;
    if (g.max > dim) g.max = dim;
    g.min = min < 0 ? 0 : min;
    if (g.min >= dim) g.min = 0;
    g.region = g.max - g.min;
    if (g.region <= 0)
        v_fatal(kLibOrigin, "empty or inverted region %s_MIN %lld %s_MAX %lld on a frame %lld pixels %s",
                axis, static_cast<long long>(g.min), axis, static_cast<long long>(g.max),
                static_cast<long long>(dim), axis[0] == 'X' ? "wide" : "high");
    g.max -= g.region % g.bind;
    g.n = (g.max + g.bind - (g.min + 1)) / g.bind;
    if (g.n <= 0)
        v_fatal(kLibOrigin, "binning %s_BIND %lld is larger than the region %s_MIN %lld to %s_MAX %lld", axis,
                static_cast<long long>(g.bind), axis, static_cast<long long>(g.min), axis,
                static_cast<long long>(g.min + g.region));
    return g;
}

void check_32bit(const char* what, int64_t a, int64_t b) {
    if (a * b > INT32_MAX)
        v_fatal(kLibOrigin, "%s %lld * %lld exceeds the 32-bit pixel count limit", what,
                static_cast<long long>(a), static_cast<long long>(b));
}

[[noreturn]] void unrecognised_orientation(const std::string& orien) {
    prg_printf("UNRECOGNIZE CASE, or not IMPLEMENTED!\n");
    v_fatal(kLibOrigin, "unknown orientation XY_ORIEN '%s'", orien.c_str());
}

// The arrays xy_orien moves must cover `size` pixels laid out nx per row.
void check_plane_sizes(const IMG& img) {
    const auto size = static_cast<uint64_t>(img.size < 0 ? 0 : img.size);
    const int64_t pixels = static_cast<int64_t>(img.nx) * img.ny;
    auto short_plane = [size](size_t n) { return n != 0 && n < size; };
    if (img.data.size() < size || short_plane(img.frame.size()) || short_plane(img.cosmic.sumq.size()) ||
        short_plane(img.cosmic.mval.size()) || short_plane(img.cosmic.mframe.size()) || pixels != img.size)
        v_fatal(kLibOrigin, "xy_orien : image planes do not match its size %d (%d * %d)", img.size, img.nx,
                img.ny);
}

} // namespace

// ---------------------------------------------------------------- settings

void xy_chktype() {
    // Guaranteed at build time by the static_asserts above; the run-time test
    // keeps the message for a platform where the fixed-width types change.
    if (sizeof(uint16_t) != 2 || sizeof(int32_t) != 4)
        v_fatal(kLibOrigin, " INT16U or INT32 are not 16 or 32 bits integers! ");
}

void xy_iniuse() {
    prg_notice(" Items used in the .ini file\n");
    prg_notice("  X_MIN = \n");
    prg_notice("  Y_MIN = \n");
    prg_notice("  X_MAX = \n");
    prg_notice("  Y_MAX = \n");
    prg_notice("  X_BIND = \n");
    prg_notice("  Y_BIND = \n");
    prg_notice("  BEG_FRAME = \n");
    prg_notice("  END_FRAME = \n");
    prg_notice("  XY_ORIEN = X,Y (default), '-X,Y' 'X,-Y' '-Y,X' after read, bind and mask for grid and "
               "output\n");
    prg_notice("  MULT   = \n");
    prg_notice("  VALID_RANGE = lo hi : frame values outside are not added nor counted (default none)\n");
}

namespace {

// VALID_RANGE = lo hi, or "none".
bool take_valid_range(const IniTag& tag, XyValidRange& range) {
    if (!prg_inikey(tag, "VALID_RANGE")) return false;
    if (!tag.has_value) return true;
    if (tag.value == "none") {
        range = XyValidRange{};
        return true;
    }
    double low = 0.0, high = 0.0;
    char extra = 0;
    if (std::sscanf(tag.value.c_str(), "%lf %lf %c", &low, &high, &extra) != 2 || !(low <= high))
        v_fatal(kLibOrigin, "VALID_RANGE = '%s' is not two numbers lo hi with lo <= hi (or none)",
                tag.value.c_str());
    range = XyValidRange{true, low, high};
    prg_screen(" VALID_RANGE= %lg %lg\n", low, high);
    return true;
}

} // namespace

int xy_inipar(XyReading& img, const IniTag& tag) {
    const bool taken = prg_iniint(tag, "X_MIN", img.x_min) || prg_iniint(tag, "X_MAX", img.x_max) ||
                       prg_iniint(tag, "Y_MIN", img.y_min) || prg_iniint(tag, "Y_MAX", img.y_max) ||
                       prg_iniint(tag, "X_BIND", img.x_bind) || prg_iniint(tag, "Y_BIND", img.y_bind) ||
                       prg_iniflt(tag, "MULT", img.mult) || prg_iniint(tag, "BEG_FRAME", img.beg_frame) ||
                       prg_iniint(tag, "END_FRAME", img.end_frame) ||
                       prg_inistr(tag, "XY_ORIEN", img.orien) || take_valid_range(tag, img.valid);
    return taken ? 1 : 0;
}

// ---------------------------------------------------------------- geometry

void xy_setsize(IMG& img) {
    if (!img.hdr) v_fatal(kLibOrigin, "xy_setsize : image '%s' has no frame file", img.name.c_str());
    // All arithmetic in 64 bits: settings may hold any int32, and the products
    // are checked against the 32-bit fields before anything is stored.
    const int64_t dim_x = img.hdr->dim_x;
    const int64_t dim_y = img.hdr->dim_y;
    check_32bit("frame size", dim_x, dim_y);
    const AxisGeometry gx = axis_geometry("X", dim_x, img.x_min, img.x_max, img.x_bind);
    const AxisGeometry gy = axis_geometry("Y", dim_y, img.y_min, img.y_max, img.y_bind);
    check_32bit("region size", gx.region, gy.region);
    check_32bit("image size", gx.n, gy.n);

    img.dim_x = static_cast<int32_t>(dim_x);
    img.dim_y = static_cast<int32_t>(dim_y);
    img.file_size = static_cast<int32_t>(dim_x * dim_y);
    img.x_bind = static_cast<int32_t>(gx.bind);
    img.y_bind = static_cast<int32_t>(gy.bind);
    img.x_min = static_cast<int32_t>(gx.min);
    img.y_min = static_cast<int32_t>(gy.min);
    img.x_max = static_cast<int32_t>(gx.max);
    img.y_max = static_cast<int32_t>(gy.max);
    img.reg_width = static_cast<int32_t>(gx.region);
    img.reg_height = static_cast<int32_t>(gy.region);
    img.reg_size = static_cast<int32_t>(gx.region * gy.region);
    img.nx = static_cast<int32_t>(gx.n);
    img.ny = static_cast<int32_t>(gy.n);
    img.size = static_cast<int32_t>(gx.n * gy.n);
}

void xy_prtsize(const IMG& img) {
    prg_printf("# effective size : (%d-%d)/%d * (%d-%d)/%d => %d * %d = %d\n", img.x_max, img.x_min,
               img.x_bind, img.y_max, img.y_min, img.y_bind, img.nx, img.ny, img.size);
}

void xy_cpsize(IMG& dst, const IMG& src) {
    dst.x_min = src.x_min;
    dst.x_max = src.x_max;
    dst.y_min = src.y_min;
    dst.y_max = src.y_max;
    dst.x_bind = src.x_bind;
    dst.y_bind = src.y_bind;
    dst.file_size = src.file_size;
    dst.dim_x = src.dim_x;
    dst.dim_y = src.dim_y;
    dst.reg_size = src.reg_size;
    dst.reg_width = src.reg_width;
    dst.reg_height = src.reg_height;
    dst.size = src.size;
    dst.nx = src.nx;
    dst.ny = src.ny;
}

void xy_imgini(IMG& dst, const XyReading& src) {
    static_cast<XyReading&>(dst) = src;
}

// ---------------------------------------------------------------- binning

namespace {

// The bins must lie inside the region the reader filled: a record whose
// geometry was changed after xy_setsize (a merged series is taller than the
// frames it was read from) would otherwise read past the region buffer.
void check_bins_inside_region(const IMG& img, const char* who) {
    const bool inside = img.nx >= 0 && img.ny >= 0 && img.x_bind >= 1 && img.y_bind >= 1 &&
                        static_cast<int64_t>(img.nx) * img.x_bind <= img.reg_width &&
                        static_cast<int64_t>(img.ny) * img.y_bind <= img.reg_height &&
                        static_cast<int64_t>(img.nx) * img.ny == img.size;
    if (!inside)
        v_fatal(kLibOrigin, "%s : %d * %d bins of %d * %d do not fit the region %d * %d", who, img.nx, img.ny,
                img.x_bind, img.y_bind, img.reg_width, img.reg_height);
}

// Visits the raw elements of bin (bx, by) row by row (rows of `reg_width`
// values, so trimmed columns and rows are never visited).
template <class Pixel, class Visit>
void visit_bin(const IMG& img, const Pixel* raw, int64_t bx, int64_t by, Visit visit) {
    const Pixel* row = raw + by * img.y_bind * img.reg_width + bx * img.x_bind;
    for (int64_t j = 0; j < img.y_bind; ++j, row += img.reg_width)
        for (int64_t i = 0; i < img.x_bind; ++i)
            visit(row[i]);
}

// Bins a whole region into a new array of `size` values, each bin's total
// starting from 0 and folded with `add`.
template <class Pixel, class Add>
std::vector<int32_t> bin_region(const IMG& img, const Pixel* raw, const char* who, const char* label,
                                Add add) {
    check_bins_inside_region(img, who);
    std::vector<int32_t> out = prg_alloc<int32_t>("xy_lib", label, img.size);
    for (int64_t by = 0; by < img.ny; ++by)
        for (int64_t bx = 0; bx < img.nx; ++bx) {
            int32_t total = 0;
            visit_bin(img, raw, bx, by, [&](Pixel p) { total = add(total, p); });
            out[by * img.nx + bx] = total;
        }
    return out;
}

} // namespace

std::vector<int32_t> xy32_bind(const IMG& img, const int32_t* raw) {
    return bin_region(img, raw, "xy32_bind", " xy32_bind allocating memory", wrap_add32);
}

std::vector<int32_t> xy32f_bind(const IMG& img, const float* raw) {
    // The running total is truncated after every element; a NaN element
    // carries no value and is left out.
    return bin_region(img, raw, "xy32f_bind", " xy32f_bind allocating memory", [](int32_t total, float f) {
        if (std::isnan(f)) return total;
        return truncate_saturated(static_cast<double>(total) + (static_cast<double>(f) + 0.5));
    });
}

int satbind16(const IMG& img, const uint16_t* raw, int32_t i, double& sum) {
    check_bins_inside_region(img, "satbind16");
    if (i < 0 || i >= img.size)
        v_fatal(kLibOrigin, "satbind16 : bin %d outside the image of %d", i, img.size);
    int saturated = 0;
    double total = 0.0;
    visit_bin(img, raw, i % img.nx, i / img.nx, [&](uint16_t p) {
        if (p == 65535)
            ++saturated;
        else
            total += p;
    });
    sum = total;
    return saturated;
}

// ---------------------------------------------------------------- frame-count correction

int32_t xy_valcor(const IMG& img, int64_t i) {
    return xy_valcor(img, i, img.frames);
}

int32_t xy_valcor(const IMG& img, int64_t i, int32_t frames) {
    const int32_t value = img.data[static_cast<size_t>(i)];
    if (img.frame.empty()) return value;
    const int32_t count = img.frame[static_cast<size_t>(i)];
    if (count == 0 || count == frames) return value;
    // The product is a 32-bit product that wraps like the detector software's
    // integer arithmetic; done on unsigned values to keep it defined.
    const auto product = static_cast<int32_t>(static_cast<uint32_t>(value) * static_cast<uint32_t>(frames));
    const int32_t quotient = product / count;
    return static_cast<int32_t>(static_cast<double>(quotient) + 0.5);
}

// ---------------------------------------------------------------- orientation

namespace {

// Mirrors one plane of nx x ny values left to right or top to bottom; an
// absent plane stays absent.
template <class T> void mirror_plane(std::vector<T>& plane, const IMG& img, bool mirror_x) {
    if (plane.empty()) return;
    const int64_t nx = img.nx;
    const int64_t ny = img.ny;
    std::vector<T> mirrored = prg_alloc<T>("xy_lib", " xy_orien allocating memory", img.size);
    for (int64_t y = 0; y < ny; ++y)
        for (int64_t x = 0; x < nx; ++x) {
            const int64_t to = mirror_x ? y * nx + (nx - 1 - x) : (ny - 1 - y) * nx + x;
            mirrored[to] = plane[y * nx + x];
        }
    plane = std::move(mirrored);
}

} // namespace

void xy_orien(IMG& img) {
    if (img.orien.empty()) return;
    prg_printf("# xy_orien '%s'\n", img.orien.c_str());
    if (img.orien == "X,Y") return;
    const bool mirror_x = img.orien == "-X,Y";
    const bool mirror_y = img.orien == "X,-Y";
    if (!mirror_x && !mirror_y) unrecognised_orientation(img.orien);
    check_plane_sizes(img);

    // Every per-pixel plane moves with the pixels: counts and the time series
    // must stay paired with their sums.
    mirror_plane(img.data, img, mirror_x);
    mirror_plane(img.frame, img, mirror_x);
    mirror_plane(img.cosmic.sumq, img, mirror_x);
    mirror_plane(img.cosmic.mval, img, mirror_x);
    mirror_plane(img.cosmic.mframe, img, mirror_x);
}

void xy_orien_pixel(const IMG& img, double& x, double& y) {
    if (img.orien.empty() || img.orien == "X,Y") return;
    prg_printf("# xy_orien_pixel '%s' on %.2lf %.2lf\n", img.orien.c_str(), x, y);
    if (img.orien == "-X,Y")
        x = img.nx - x;
    else if (img.orien == "X,-Y")
        y = img.ny - y;
    else
        unrecognised_orientation(img.orien);
}
