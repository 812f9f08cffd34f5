// Exclusion zones and regions of interest: declaring them from the settings,
// applying them to an image's frame counts and values, reading mask files and
// saving an image's frame counts as a mask.
#include "xy_excl.hpp"

#include "xy_print.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

const char* const kExclOrigin = "../xy32lib/xy_excl";

// The PRINT bit that reports each zone as it is applied.
constexpr int32_t kPrintZones = PRINT_VALUE_DUMP;

// Detector coordinates are 16-bit: 0..65535 on the detector, negative ones
// (down to the signed 16-bit limit) outside it.
constexpr int64_t kMinCoordinate = -32768;
constexpr int64_t kMaxCoordinate = 65535;

// ---------------------------------------------------------------- zone kinds

struct ZoneKey {
    const char* key;
    uint8_t type;
};

const ZoneKey kZoneKeys[] = {
    {"F_EXCLUDED", EXCL_FILE},       {"P_EXCLUDED", EXCL_POINT},          {"C_EXCLUDED", EXCL_CIRCLE},
    {"R_EXCLUDED", EXCL_RECT},       {"T_EXCLUDED", EXCL_TRIANGLE},       {"C_ROI", EXCL_ROI | EXCL_CIRCLE},
    {"R_ROI", EXCL_ROI | EXCL_RECT}, {"T_ROI", EXCL_ROI | EXCL_TRIANGLE},
};

const char* zone_key(int32_t type) {
    for (const ZoneKey& k : kZoneKeys)
        if (k.type == type) return k.key;
    return nullptr;
}

bool is_roi(const excl_zone& z) {
    return (z.type & EXCL_ROI) != 0;
}

int shape_of(const excl_zone& z) {
    return z.type & 0x0f;
}

// The coordinates each shape needs, and what they are called in messages.
struct ShapeNeeds {
    int coordinates;
    const char* names;
};

ShapeNeeds shape_needs(int shape) {
    switch (shape) {
    case EXCL_POINT:
        return {2, "x1 y1"};
    case EXCL_CIRCLE:
        return {3, "x1 y1 r"};
    case EXCL_RECT:
        return {4, "x1 y1 x2 y2"};
    default:
        return {6, "x1 y1 x2 y2 x3 y3"};
    }
}

// ---------------------------------------------------------------- declaring

// Decimal integers from the start of `text`, as successive integer
// conversions take them: at most `wanted`, stopping at the first token that
// is not a number (numbers beyond 64 bits saturate, and are refused later).
std::vector<int64_t> scan_numbers(const char* text, int wanted) {
    std::vector<int64_t> numbers;
    const char* pos = text;
    while (static_cast<int>(numbers.size()) < wanted) {
        const LeadingInteger n = leading_integer(pos);
        if (!n.found) break;
        numbers.push_back(n.value);
        pos += n.consumed;
    }
    return numbers;
}

void check_coordinate(const char* key, const std::string& value, int64_t n) {
    if (n < kMinCoordinate || n > kMaxCoordinate)
        v_fatal(kExclOrigin, "%s = %s : coordinate %lld does not fit 16 bits (%lld to %lld)", key,
                value.c_str(), static_cast<long long>(n), static_cast<long long>(kMinCoordinate),
                static_cast<long long>(kMaxCoordinate));
}

// Fills the coordinates and the optional replacement value of a shape zone.
void scan_shape(excl_zone& z, const char* key, const std::string& value) {
    const ShapeNeeds needs = shape_needs(shape_of(z));
    const size_t eq = value.find('=');
    const char* text = value.c_str() + (eq == std::string::npos ? 0 : eq + 1);
    const std::vector<int64_t> n = scan_numbers(text, needs.coordinates + 1);
    if (static_cast<int>(n.size()) < needs.coordinates)
        v_fatal(kExclOrigin, "%s = %s : a zone needs %d numbers (%s), %d given", key, value.c_str(),
                needs.coordinates, needs.names, static_cast<int>(n.size()));
    int32_t* fields[] = {&z.x1, &z.y1, &z.x2, &z.y2, &z.x3, &z.y3};
    for (int i = 0; i < needs.coordinates; ++i) {
        check_coordinate(key, value, n[static_cast<size_t>(i)]);
        *fields[i] = static_cast<int32_t>(n[static_cast<size_t>(i)]);
    }
    if (shape_of(z) == EXCL_CIRCLE && z.x2 < 0)
        v_fatal(kExclOrigin, "%s = %s : negative radius %d", key, value.c_str(), z.x2);
    if (static_cast<int>(n.size()) > needs.coordinates) {
        const int64_t v = n.back();
        if (v < INT32_MIN || v > INT32_MAX)
            v_fatal(kExclOrigin, "%s = %s : replacement value %lld does not fit 32 bits", key, value.c_str(),
                    static_cast<long long>(v));
        z.value = static_cast<int32_t>(v);
        z.modify = 1;
    }
}

// A mask file is opened without a default format and without looking at its
// content: its name must choose the format by its ending.
void check_mask_name(const std::string& name) {
    if (xy_format_by_suffix(name)) return;
    std::string accepted;
    for (const XyFormat* format : xy_formats())
        for (const char* suffix : format->suffixes)
            if (suffix) accepted += std::string(accepted.empty() ? "" : " ") + suffix;
    v_fatal(kExclOrigin, "F_EXCLUDED = %s : a mask file name must end in one of %s", name.c_str(),
            accepted.c_str());
}

void echo_zone(const excl_zone& z) {
    const char* kind = is_roi(z) ? "_ROI" : "_EXCLUDED";
    switch (shape_of(z)) {
    case EXCL_POINT:
        prg_screen(" add P%s point x %d y %d", kind, z.x1, z.y1);
        break;
    case EXCL_CIRCLE:
        prg_screen(" add C%s circle x %d y %d r %d", kind, z.x1, z.y1, z.x2);
        break;
    case EXCL_RECT:
        prg_screen(" add R%s rectangle x1 %d y1 %d x2 %d y2 %d", kind, z.x1, z.y1, z.x2, z.y2);
        break;
    case EXCL_TRIANGLE:
        prg_screen(" add T%s triangle x1 %d y1 %d x2 %d y2 %d x3 %d y3 %d", kind, z.x1, z.y1, z.x2, z.y2,
                   z.x3, z.y3);
        break;
    default:
        break;
    }
    if (z.modify)
        prg_screen(" (modify to %d)\n", z.value);
    else
        prg_screen("\n");
}

void append_zone(ExclState& excl, excl_zone&& z) {
    if (excl.n_excluded >= excl.m_excluded) {
        const int64_t grown = static_cast<int64_t>(excl.m_excluded) + 10;
        try {
            excl.excluded.reserve(static_cast<size_t>(grown));
        } catch (const std::bad_alloc&) {
            prg_alloc_failed("xy_excl", "excluded zones", static_cast<uint64_t>(grown) * sizeof(excl_zone));
        }
        excl.m_excluded = static_cast<int32_t>(grown);
    }
    excl.excluded.push_back(std::move(z));
    excl.n_excluded = static_cast<int32_t>(excl.excluded.size());
}

// ---------------------------------------------------------------- pixel addressing

// How detector coordinates map onto the image's binned pixels.
struct Region {
    int64_t x_min, x_max, y_min, y_max, x_bind, y_bind, nx;
    bool unbinned;

    bool contains(int64_t x, int64_t y) const { return x >= x_min && x < x_max && y >= y_min && y < y_max; }
    // Unbinned images (the common case) skip the divisions, which would
    // dominate the zone loops.
    int64_t index(int64_t x, int64_t y) const {
        if (unbinned) return (y - y_min) * nx + (x - x_min);
        return (y - y_min) / y_bind * nx + (x - x_min) / x_bind;
    }
};

Region region_of(const IMG& img) {
    const int64_t x_bind = std::max(1, img.x_bind), y_bind = std::max(1, img.y_bind);
    return {img.x_min, img.x_max, img.y_min, img.y_max, x_bind, y_bind, img.nx, x_bind == 1 && y_bind == 1};
}

// The use flags the zones switch. With ROIs every pixel starts off, in a fresh
// array. Without them every pixel starts on, and only the pixels switched off
// are marked, in a byte per pixel kept clear between images and cleared again
// from the list of marks: the work then follows the zones, not the image.
class UseFlags {
  public:
    UseFlags(ExclState& excl, bool all_on, int64_t size) : excl_(excl), all_on_(all_on) {
        if (!all_on_) {
            fresh_ = prg_alloc<uint8_t>("xy_excl", "roi frame buffer", static_cast<uint64_t>(size));
            return;
        }
        clear_marks(); // left by an application that stopped half-way
        if (static_cast<int64_t>(excl_.marks.size()) < size) {
            try {
                excl_.marks.resize(static_cast<size_t>(size), 0);
            } catch (const std::bad_alloc&) {
                prg_alloc_failed("xy_excl", "roi frame buffer", static_cast<uint64_t>(size));
            }
        }
    }
    UseFlags(const UseFlags&) = delete;
    UseFlags& operator=(const UseFlags&) = delete;

    bool on(size_t i) const { return all_on_ ? excl_.marks[i] == 0 : fresh_[i] != 0; }
    bool switch_on(size_t i) {
        if (on(i)) return false;
        fresh_[i] = 1;
        return true;
    }
    bool switch_off(size_t i) {
        if (!on(i)) return false;
        if (all_on_) {
            excl_.marks[i] = 1;
            excl_.marked.push_back(static_cast<int32_t>(i));
        } else {
            fresh_[i] = 0;
        }
        return true;
    }
    // Pixels that stay on keep their frame count (1 when the image had none);
    // the others get 0.
    void store(IMG& img) {
        if (img.frame.empty()) {
            img.frame = prg_alloc<uint16_t>("xy_excl", "roi frame buffer", static_cast<uint64_t>(img.size));
            std::fill(img.frame.begin(), img.frame.end(), uint16_t{1});
        }
        if (all_on_) {
            for (const int32_t i : excl_.marked)
                img.frame[static_cast<size_t>(i)] = 0;
            clear_marks();
            return;
        }
        for (size_t i = 0; i < fresh_.size(); ++i)
            if (!fresh_[i]) img.frame[i] = 0;
    }

  private:
    void clear_marks() {
        for (const int32_t i : excl_.marked)
            excl_.marks[static_cast<size_t>(i)] = 0;
        excl_.marked.clear();
    }
    ExclState& excl_;
    bool all_on_;
    std::vector<uint8_t> fresh_;
};

// The image being masked. Its frame counts stay as they were until the flags
// are stored: a pixel without a valid value (count 0) never enters a
// replacement mean.
struct Target {
    ExclState& zones;
    const XyReadOptions& reading;
    IMG& img;
    Region region;
    UseFlags& flags;

    bool is_on(int64_t x, int64_t y) const {
        if (!region.contains(x, y)) return false;
        const size_t i = static_cast<size_t>(region.index(x, y));
        return flags.on(i) && (img.frame.empty() || img.frame[i] != 0);
    }
};

int pixel_on(int64_t x, int64_t y, Target& t) {
    if (!t.region.contains(x, y)) return 0;
    return t.flags.switch_on(static_cast<size_t>(t.region.index(x, y))) ? 1 : 0;
}

// Mean of the on-neighbours at detector distance 1, truncated toward zero; 0
// when none is on.
int32_t neighbour_mean(int64_t x, int64_t y, const Target& t) {
    static const int offsets[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
    int64_t sum = 0, n = 0;
    for (const auto& d : offsets) {
        const int64_t nx = x + d[0], ny = y + d[1];
        if (!t.is_on(nx, ny)) continue;
        sum += t.img.data[static_cast<size_t>(t.region.index(nx, ny))];
        ++n;
    }
    // Division by a constant: a general 64-bit division per pixel would cost
    // more than the rest of the zone loop.
    switch (n) {
    case 0:
        return 0;
    case 1:
        return static_cast<int32_t>(sum);
    case 2:
        return static_cast<int32_t>(sum / 2);
    case 3:
        return static_cast<int32_t>(sum / 3);
    default:
        return static_cast<int32_t>(sum / 4);
    }
}

int pixel_off(int64_t x, int64_t y, Target& t, uint8_t modify, int32_t value) {
    if (!t.region.contains(x, y)) return 0;
    const size_t i = static_cast<size_t>(t.region.index(x, y));
    if (!t.flags.switch_off(i)) return 0;
    if (modify) t.img.data[i] = value == -1 ? neighbour_mean(x, y, t) : value;
    return 1;
}

// ---------------------------------------------------------------- zone geometry
// Every loop runs over the zone's pixels that lie in the image region only, in
// 64-bit counters, so the work follows the zone's area and no bound can wrap.

template <class Visit>
int64_t visit_rectangle(const Region& r, int64_t xa, int64_t ya, int64_t xb, int64_t yb, Visit visit) {
    const int64_t x0 = std::max(std::min(xa, xb), r.x_min), x1 = std::min(std::max(xa, xb), r.x_max - 1);
    const int64_t y0 = std::max(std::min(ya, yb), r.y_min), y1 = std::min(std::max(ya, yb), r.y_max - 1);
    int64_t count = 0;
    for (int64_t y = y0; y <= y1; ++y)
        for (int64_t x = x0; x <= x1; ++x)
            count += visit(x, y);
    return count;
}

// Largest w with w * w <= n.
int64_t integer_sqrt(int64_t n) {
    int64_t w = static_cast<int64_t>(std::sqrt(static_cast<double>(n)));
    while (w * w > n)
        --w;
    while ((w + 1) * (w + 1) <= n)
        ++w;
    return w;
}

template <class Visit>
int64_t visit_circle(const Region& r, int64_t cx, int64_t cy, int64_t radius, Visit visit) {
    const int64_t y0 = std::max(cy - radius, r.y_min), y1 = std::min(cy + radius, r.y_max - 1);
    int64_t count = 0;
    for (int64_t y = y0; y <= y1; ++y) {
        const int64_t half = integer_sqrt(radius * radius - (y - cy) * (y - cy));
        const int64_t x0 = std::max(cx - half, r.x_min), x1 = std::min(cx + half, r.x_max - 1);
        for (int64_t x = x0; x <= x1; ++x)
            count += visit(x, y);
    }
    return count;
}

// 0 <= n / d <= 1 for d != 0, decided exactly on the integers.
bool unit_fraction(int64_t n, int64_t d) {
    return d > 0 ? n >= 0 && n <= d : n <= 0 && n >= d;
}

// A pixel is inside when each of the three normalised edge functions lies in
// [0, 1] (one minus its barycentric coordinate): edges and corners are inside
// whatever the order of the corners, and collinear corners cover nothing.
template <class Visit> int64_t visit_triangle(const Region& r, const excl_zone& z, Visit visit) {
    const int64_t x1 = z.x1, y1 = z.y1, x2 = z.x2, y2 = z.y2, x3 = z.x3, y3 = z.y3;
    const int64_t d = (x2 - x1) * (y3 - y1) - (y2 - y1) * (x3 - x1);
    if (d == 0) return 0;
    const int64_t xa = std::min({x1, x2, x3}), xb = std::max({x1, x2, x3});
    const int64_t ya = std::min({y1, y2, y3}), yb = std::max({y1, y2, y3});
    return visit_rectangle(r, xa, ya, xb, yb, [&](int64_t x, int64_t y) {
        const int64_t a = (y3 - y) * (x2 - x1) - (x3 - x) * (y2 - y1);
        const int64_t b = (x2 - x) * (y3 - y1) - (x3 - x1) * (y2 - y);
        const int64_t c = (y1 - y) * (x3 - x2) - (x1 - x) * (y3 - y2);
        return unit_fraction(a, d) && unit_fraction(b, d) && unit_fraction(c, d) ? visit(x, y) : 0;
    });
}

template <class Visit> int64_t visit_shape(const excl_zone& z, const Region& r, Visit visit) {
    switch (shape_of(z)) {
    case EXCL_POINT:
        return visit(z.x1, z.y1);
    case EXCL_CIRCLE:
        return visit_circle(r, z.x1, z.y1, z.x2, visit);
    case EXCL_RECT:
        return visit_rectangle(r, z.x1, z.y1, z.x2, z.y2, visit);
    default:
        return visit_triangle(r, z, visit);
    }
}

// ---------------------------------------------------------------- mask files

struct FileIdentity {
    int64_t bytes = -1;
    int64_t mtime_ns = 0;
    uint64_t inode = 0;
    uint64_t device = 0;
};

FileIdentity identity_of(const std::string& name) {
    FileIdentity id;
    struct stat st;
    if (::stat(name.c_str(), &st) != 0) {
        errno = 0; // the reader reports a missing file itself
        return id;
    }
    id.bytes = static_cast<int64_t>(st.st_size);
    id.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.inode = static_cast<uint64_t>(st.st_ino);
    id.device = static_cast<uint64_t>(st.st_dev);
    return id;
}

bool same_file(const ExclMaskCache& m, const FileIdentity& id) {
    return id.bytes >= 0 && m.bytes == id.bytes && m.mtime_ns == id.mtime_ns && m.inode == id.inode &&
           m.device == id.device;
}

// Reads a mask file whole (its own size, no region or binning) and keeps the
// indices of its zero pixels and its statistics.
void read_mask(ExclMaskCache& m, const std::string& file, const XyReadOptions& reading, int32_t print) {
    IMG scratch;
    scratch.name = file;
    scratch.hdr = xy_open(file, prg_state().name, "", 0, 0, reading);
    xy_getsum(scratch, stdout, print, 1, 0);
    xy_info(scratch, 0);
    m.nx = scratch.nx;
    m.ny = scratch.ny;
    m.text = scratch.hdr->wide_stored_transposed;
    m.zeros.clear();
    for (size_t i = 0; i < scratch.data.size(); ++i)
        if (scratch.data[i] == 0) m.zeros.push_back(static_cast<int32_t>(i));
    scratch.data = std::vector<int32_t>{};
    scratch.frame = std::vector<uint16_t>{};
    xy_freehdr(scratch.hdr);
    m.info = std::move(scratch);
}

const ExclMaskCache& mask_of(ExclState& excl, const std::string& file, const XyReadOptions& reading,
                             int32_t print) {
    const FileIdentity id = identity_of(file);
    auto it = std::find_if(excl.masks.begin(), excl.masks.end(),
                           [&](const ExclMaskCache& m) { return m.file == file; });
    if (it != excl.masks.end() && same_file(*it, id)) return *it;
    if (it == excl.masks.end()) {
        excl.masks.emplace_back();
        it = excl.masks.end() - 1;
        it->file = file;
    }
    it->bytes = -1; // not valid until read whole
    read_mask(*it, file, reading, print);
    it->bytes = id.bytes;
    it->mtime_ns = id.mtime_ns;
    it->inode = id.inode;
    it->device = id.device;
    return *it;
}

// Mask pixel index -> image pixel index. A text file holds a wide image
// transposed (one line per column): such a file is read back transposed.
struct MaskLayout {
    bool transposed;
    int64_t nx, ny;
    int64_t image_index(int64_t i) const { return transposed ? (i % ny) * nx + i / ny : i; }
};

MaskLayout layout_of(const ExclMaskCache& m, const IMG& img) {
    if (m.nx == img.nx && m.ny == img.ny) return {false, img.nx, img.ny};
    if (m.text && img.nx > img.ny && m.nx == img.ny && m.ny == img.nx) return {true, img.nx, img.ny};
    v_fatal(kExclOrigin, "mask file '%s' is %d * %d pixels, image '%s' is %d * %d", m.file.c_str(), m.nx,
            m.ny, img.name.c_str(), img.nx, img.ny);
}

// Switches off (and sets to 0) every image pixel whose mask value is 0; the
// count is the number of zero mask pixels, whatever their effect.
int64_t excl_file(const excl_zone& z, Target& t, int32_t print) {
    const ExclMaskCache& m = mask_of(t.zones, z.file, t.reading, print);
    const MaskLayout layout = layout_of(m, t.img);
    for (const int32_t zero : m.zeros) {
        const size_t i = static_cast<size_t>(layout.image_index(zero));
        t.flags.switch_off(i);
        t.img.data[i] = 0;
    }
    xy_fputinfo(stdout, m.info);
    return static_cast<int64_t>(m.zeros.size());
}

// ---------------------------------------------------------------- applying

void report_zone_start(const excl_zone& z) {
    const char* verb = is_roi(z) ? "includ" : "exclud";
    switch (shape_of(z)) {
    case EXCL_FILE:
        prg_printf("# %sing file_mask = '%s'", verb, z.file.c_str());
        break;
    case EXCL_POINT:
        prg_printf("# %sing pixel %d %d\n", verb, z.x1, z.y1);
        break;
    case EXCL_CIRCLE:
        prg_printf("# %sing circle %d %d radius %d ", verb, z.x1, z.y1, z.x2);
        break;
    case EXCL_RECT:
        prg_printf("# %sing rectangle %d %d %d %d ", verb, z.x1, z.y1, z.x2, z.y2);
        break;
    default:
        prg_printf("# %sing triangle %d %d  %d %d   %d %d ", verb, z.x1, z.y1, z.x2, z.y2, z.x3, z.y3);
        break;
    }
}

int64_t apply_zone(const excl_zone& z, Target& t, int32_t print) {
    const bool report = (print & kPrintZones) != 0;
    if (report) report_zone_start(z);
    int64_t count = 0;
    if (is_roi(z))
        count = visit_shape(z, t.region, [&](int64_t x, int64_t y) { return pixel_on(x, y, t); });
    else if (shape_of(z) == EXCL_FILE)
        count = excl_file(z, t, print);
    else
        count = visit_shape(z, t.region,
                            [&](int64_t x, int64_t y) { return pixel_off(x, y, t, z.modify, z.value); });
    if (report && shape_of(z) != EXCL_POINT)
        prg_printf(" : %lld pixels %sed\n", static_cast<long long>(count), is_roi(z) ? "includ" : "exclud");
    return count;
}

void check_planes(const IMG& img) {
    const int64_t size = img.size;
    const bool fits = size > 0 && static_cast<int64_t>(img.nx) * img.ny == size &&
                      static_cast<int64_t>(img.data.size()) == size &&
                      (img.frame.empty() || static_cast<int64_t>(img.frame.size()) == size);
    if (!fits)
        v_fatal(kExclOrigin, "image '%s' of %d * %d pixels has no matching planes to mask", img.name.c_str(),
                img.nx, img.ny);
}

// Saved from the image around the write of its frame counts.
struct SetAside {
    IMG& img;
    std::vector<int32_t> data;
    std::string name;
    int32_t min, max, nonzero, used, min_x, min_y, max_x, max_y;
    double mean, sigma;

    explicit SetAside(IMG& i)
        : img(i), data(std::move(i.data)), name(i.name), min(i.min), max(i.max), nonzero(i.nonzero),
          used(i.used), min_x(i.min_x), min_y(i.min_y), max_x(i.max_x), max_y(i.max_y), mean(i.mean),
          sigma(i.sigma) {}
    ~SetAside() {
        img.data = std::move(data);
        img.name = name;
        img.min = min;
        img.max = max;
        img.nonzero = nonzero;
        img.used = used;
        img.min_x = min_x;
        img.min_y = min_y;
        img.max_x = max_x;
        img.max_y = max_y;
        img.mean = mean;
        img.sigma = sigma;
    }
    SetAside(const SetAside&) = delete;
    SetAside& operator=(const SetAside&) = delete;
};

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// "mask.tif" for no name, "mask" + text for a bare extension, else the text.
std::string mask_output_name(const std::string& text) {
    const size_t start = text.find_first_not_of("= \t");
    const std::string name = start == std::string::npos ? std::string() : text.substr(start);
    if (name.empty()) return "mask.tif";
    for (const char* ext : {".gel", ".kvf", ".txt", ".tif"})
        if (starts_with(name, ext)) return "mask" + name;
    return name;
}

} // namespace

// ---------------------------------------------------------------- interface

bool excl_inipar(ExclState& excl, const IniTag& tag) {
    for (const ZoneKey& k : kZoneKeys) {
        if (!prg_inikey(tag, k.key)) continue;
        // A key without "=" names a zone key but declares nothing.
        if (tag.has_value) excl_ini(excl, k.type, tag.value);
        return true;
    }
    return false;
}

void excl_ini(ExclState& excl, int32_t type, const std::string& value) {
    const char* key = zone_key(type);
    if (!key) v_fatal(kExclOrigin, "unknown zone type %d for '%s'", type, value.c_str());
    excl_zone z;
    z.type = static_cast<uint8_t>(type);
    excl.quiet = value.find("QUIET") != std::string::npos;
    if (shape_of(z) == EXCL_FILE) {
        check_mask_name(value);
        z.file = value;
    } else {
        scan_shape(z, key, value);
    }
    if (!excl.quiet) echo_zone(z);
    append_zone(excl, std::move(z));
}

void excl_image(ExclState& excl, const XyReadOptions& reading, IMG& img, int32_t print) {
    if (excl.n_excluded == 0) return;
    check_planes(img);
    int32_t rois = 0, exclusions = 0;
    for (const excl_zone& z : excl.excluded)
        ++(is_roi(z) ? rois : exclusions);

    UseFlags flags(excl, rois == 0, img.size);
    Target t{excl, reading, img, region_of(img), flags};
    if (rois > 0) {
        int64_t total = 0;
        for (const excl_zone& z : excl.excluded)
            if (is_roi(z)) total += apply_zone(z, t, print);
        for (size_t i = 0; i < img.data.size(); ++i)
            if (!flags.on(i)) img.data[i] = 0;
        prg_printf("# %lld included pixel(s) in %d roi(s) for calculations\n", static_cast<long long>(total),
                   rois);
    }
    if (exclusions > 0) {
        int64_t total = 0;
        for (const excl_zone& z : excl.excluded)
            if (!is_roi(z)) total += apply_zone(z, t, print);
        prg_printf("# %lld excluded pixel(s) by %d mask(s) for calculations\n", static_cast<long long>(total),
                   exclusions);
    }
    flags.store(img);
}

void excl_save(const std::string& text, IMG& img, int32_t cr_mode) {
    prg_printf("saving frame into mask file\n");
    if (img.frame.empty()) v_fatal(kExclOrigin, "no frame to write");
    if (img.size <= 0 || static_cast<int64_t>(img.frame.size()) != img.size)
        v_fatal(kExclOrigin, "frame counts of '%s' do not match its %d pixels", img.name.c_str(), img.size);
    std::vector<int32_t> counts =
        prg_alloc<int32_t>("xy_excl", "frame_data", static_cast<uint64_t>(img.size));
    std::copy(img.frame.begin(), img.frame.end(), counts.begin());
    const std::string name = mask_output_name(text);
    {
        SetAside saved(img);
        img.data = std::move(counts);
        img.name = name;
        xy_info(img, 0);
        // Masks are written in 16 bits; a name without a marker as TIFF.
        XyWriteOptions options;
        options.depth_mode = 1;
        options.cr_mode = cr_mode;
        xy_write(img, name, "tif", options);
    }
    xy_fputinfo(stdout, img);
}

void excl_defaults(ExclState& excl) {
    excl = ExclState();
}

void excl_usage() {
    prg_write(stderr, " C_ROI = x1 y1 r [QUIET]\n"
                      " R_ROI = x1 y1 x2 y2 [QUIET]\n"
                      " P_EXCLUDED = x1 y1 [v] [QUIET]\n"
                      " C_EXCLUDED = x1 y1 r [v] [QUIET]\n"
                      " R_EXCLUDED = x1 y1 x2 y2 [v] [QUIET]\n"
                      " T_EXCLUDED = x1 y1 x2 y2 x3 y3 [v] [QUIET]\n"
                      " F_EXCLUDED = mask_file_name\n"
                      " ROI(s) are added together before all excluding zone");
}
