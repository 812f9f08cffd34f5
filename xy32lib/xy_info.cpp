// Header list of a frame file, its description, image statistics and the
// release levels of the records.
#include "xy_lib.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <new>

namespace {

const char* const kLibOrigin = "../xy32lib/xy_lib";

// The description lines of a frame file, shared by the message channel and
// the explicit-stream variants.
std::string header_description(const HDR& hdr, bool with_entries) {
    // Text files have no byte order to describe.
    const char* order = hdr.type == XY_TYPE_TEXT ? "" : xy_byte_order_text(hdr.byte_order);
    std::string text = prg_format("# file  '%s' : images size %d * %d, frames %d\n", hdr.file_name.c_str(),
                                  hdr.dim_x, hdr.dim_y, hdr.frames);
    text += prg_format("# data_type (%s)  %s\n", xy_type_name(hdr.type), order);
    if (with_entries) {
        text += "# kvf header contents :  \n";
        for (size_t i = 0; i < hdr.items.size(); ++i)
            text += prg_format("#%02d# %-15s = %s ; \n", static_cast<int>(i), hdr.items[i].key.c_str(),
                               hdr.items[i].value.c_str());
    }
    return text;
}

// Which statistics a `what` selection asks for (0 selects everything).
struct InfoSelection {
    bool nonzero;
    bool min;
    bool max;
    bool mean;
    bool sigma;
};

InfoSelection info_selection(int32_t what) {
    const bool all = what == 0;
    return {all || (what & INFO_NONZERO) != 0, all || (what & INFO_MIN) != 0, all || (what & INFO_MAX) != 0,
            all || (what & (INFO_MEAN | INFO_SIGMA)) != 0, all || (what & INFO_SIGMA) != 0};
}

// Pixels really present: a record whose planes were released keeps its size,
// so the planes bound the scan.
int64_t present_pixels(const IMG& img) {
    int64_t n = img.size < 0 ? 0 : img.size;
    if (static_cast<int64_t>(img.data.size()) < n) n = static_cast<int64_t>(img.data.size());
    if (!img.frame.empty() && static_cast<int64_t>(img.frame.size()) < n)
        n = static_cast<int64_t>(img.frame.size());
    return n;
}

void set_position(int64_t index, int32_t nx, int32_t& x, int32_t& y) {
    if (nx <= 0) { // no geometry: the index itself, never a division by zero
        x = static_cast<int32_t>(index);
        y = 0;
        return;
    }
    x = static_cast<int32_t>(index % nx);
    y = static_cast<int32_t>(index / nx);
}

// Statistics over the pixels of one record, pixel by pixel in double
// arithmetic. Corrected records take only the pixels with a non-zero frame
// count, raw sums take every pixel corrected to the full frame count. The
// fast scan below falls back on it where its exact sums cannot promise the
// same mean or the same printed sigma.
class InfoScan {
  public:
    InfoScan(const IMG& img, int64_t pixels)
        : img_(img), pixels_(pixels), corrected_(img.corrected == 1), has_frame_(!img.frame.empty()) {}

    bool taken(int64_t i) const { return !corrected_ || !has_frame_ || img_.frame[i] != 0; }
    int32_t value(int64_t i) const { return corrected_ ? img_.data[i] : xy_valcor(img_, i); }

    double sum() const {
        double s = 0.0;
        for (int64_t i = 0; i < pixels_; ++i)
            if (taken(i)) s += value(i);
        return s;
    }

    double squared_deviations(double mean) const {
        double s = 0.0;
        for (int64_t i = 0; i < pixels_; ++i)
            if (taken(i)) {
                const double d = value(i) - mean;
                s += d * d;
            }
        return s;
    }

  private:
    const IMG& img_;
    int64_t pixels_;
    bool corrected_;
    bool has_frame_;
};

__extension__ typedef unsigned __int128 uint128;

// Pixels are scanned in blocks small enough to stay in the first-level cache.
constexpr int64_t kBlock = 4096;
// Below this magnitude a block's squares add up in 64 bits without wrapping.
constexpr uint32_t kSmallMagnitude = (1u << 26) - 1;
static_assert(static_cast<double>(kSmallMagnitude) * kSmallMagnitude * kBlock < 18446744073709551616.0,
              "block squares must fit in 64 bits");

uint32_t magnitude(int32_t v) {
    return v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
}

uint64_t magnitude64(int64_t v) {
    return v < 0 ? 0u - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
}

// Which pixels a block scan takes directly: every one (no frame counts), those
// with a non-zero count (corrected records), or those whose count is 0 or the
// frame count (raw sums: the others need a division and are added one by one).
enum class Taken { every, counted, whole_count };

// Extremes, exact sums and counts of one block.
struct BlockSums {
    int32_t min = INT32_MAX;
    int32_t max = INT32_MIN;
    int64_t count = 0; // values taken
    int64_t sum = 0;
    uint64_t squares = 0; // wraps when a magnitude exceeds kSmallMagnitude
    int64_t used = 0;     // pixels with a non-zero frame count
    int64_t nonzero = 0;  // pixels whose stored value is not 0
    int32_t partial = 0;  // non-zero when a pixel has a partial frame count

    void take(int32_t x) {
        min = std::min(min, x);
        max = std::max(max, x);
        ++count;
        sum += x;
        const uint64_t m = magnitude(x);
        squares += m * m;
    }
};

// One branch-free loop that the compiler vectorises: selections are masks
// with all bits set for a value taken and none otherwise.
template <Taken kTaken>
__attribute__((always_inline)) inline BlockSums block_sums(const int32_t* v, const uint16_t* frame,
                                                           int32_t count, int32_t full) {
    int32_t lo = INT32_MAX;
    int32_t hi = INT32_MIN;
    int64_t sum = 0;
    uint64_t squares = 0;
    // Counts of at most one block: 32-bit lanes suffice.
    int32_t taken = 0;
    int32_t used = 0;
    int32_t nonzero = 0;
    int32_t partial = 0;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t x = v[i];
        const int32_t c = kTaken == Taken::every ? 1 : frame[i];
        const int32_t is_partial = (c != 0) & (c != full);
        int32_t keep = -1;
        if (kTaken == Taken::counted) keep = -static_cast<int32_t>(c != 0);
        if (kTaken == Taken::whole_count) keep = is_partial - 1;
        partial |= is_partial;
        used += c != 0;
        nonzero += x != 0;
        const int32_t for_min = (x & keep) | (INT32_MAX & ~keep);
        const int32_t for_max = (x & keep) | (INT32_MIN & ~keep);
        lo = for_min < lo ? for_min : lo;
        hi = for_max > hi ? for_max : hi;
        taken -= keep;
        const int32_t kept = x & keep;
        sum += kept;
        const uint64_t m = magnitude(kept);
        squares += m * m;
    }
    return {lo, hi, taken, sum, squares, used, nonzero, partial};
}

// The block scans, compiled also for processors with wider vectors and chosen
// when the program starts: integer arithmetic, the same results on any machine.
#define ZANDOR_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
ZANDOR_WIDE_VECTORS BlockSums sums_of_every(const int32_t* v, int32_t count) {
    return block_sums<Taken::every>(v, nullptr, count, 0);
}
ZANDOR_WIDE_VECTORS BlockSums sums_of_counted(const int32_t* v, const uint16_t* frame, int32_t count) {
    return block_sums<Taken::counted>(v, frame, count, 0);
}
ZANDOR_WIDE_VECTORS BlockSums sums_of_whole_counts(const int32_t* v, const uint16_t* frame, int32_t count,
                                                   int32_t full) {
    return block_sums<Taken::whole_count>(v, frame, count, full);
}
#undef ZANDOR_WIDE_VECTORS

// The scan of a whole record: extremes with the block of their first
// occurrence, and sums exact in integers.
struct FastScan {
    int32_t min = INT32_MAX;
    int64_t min_block = -1;
    int32_t max = INT32_MIN;
    int64_t max_block = -1;
    int64_t taken = 0;
    int64_t sum = 0;
    uint128 squares = 0;
    int64_t used = 0;
    int64_t nonzero = 0;
};

class FastInfo {
  public:
    FastInfo(const IMG& img, int64_t pixels, const InfoScan& reference)
        : img_(img), pixels_(pixels), reference_(reference), has_frame_(!img.frame.empty()),
          taken_(!has_frame_          ? Taken::every
                 : img.corrected == 1 ? Taken::counted
                                      : Taken::whole_count) {}

    FastScan scan() const {
        FastScan r;
        for (int64_t begin = 0; begin < pixels_; begin += kBlock) {
            const int64_t count = std::min(kBlock, pixels_ - begin);
            const BlockSums b = block(begin, count);
            if (b.min < r.min) {
                r.min = b.min;
                r.min_block = begin;
            }
            if (b.max > r.max) {
                r.max = b.max;
                r.max_block = begin;
            }
            r.taken += b.count;
            r.sum += b.sum;
            const bool small =
                b.count == 0 || std::max(magnitude(b.min), magnitude(b.max)) <= kSmallMagnitude;
            r.squares += small ? b.squares : exact_squares(begin, count);
            r.used += b.used;
            r.nonzero += b.nonzero;
        }
        return r;
    }

    // Index of the first value taken equal to `target` in the block starting
    // at `begin`, -1 for no block.
    int64_t first_index(int64_t begin, int32_t target) const {
        if (begin < 0) return -1;
        const int64_t end = std::min(begin + kBlock, pixels_);
        for (int64_t i = begin; i < end; ++i)
            if (reference_.taken(i) && reference_.value(i) == target) return i;
        return -1;
    }

  private:
    // Partial counts are looked for pixel by pixel only in chunks holding one.
    static constexpr int64_t kChunk = 64;

    static bool any_partial(const uint16_t* frame, int64_t count, int32_t full) {
        int32_t partial = 0;
        for (int64_t i = 0; i < count; ++i)
            partial |= (frame[i] != 0) & (frame[i] != full);
        return partial != 0;
    }

    BlockSums block(int64_t begin, int64_t count) const {
        const int32_t* v = img_.data.data() + begin;
        const uint16_t* frame = has_frame_ ? img_.frame.data() + begin : nullptr;
        const int32_t full = img_.frames;
        const auto n = static_cast<int32_t>(count); // at most one block
        switch (taken_) {
        case Taken::every:
            return sums_of_every(v, n);
        case Taken::counted:
            return sums_of_counted(v, frame, n);
        case Taken::whole_count:
            break;
        }
        BlockSums b = sums_of_whole_counts(v, frame, n, full);
        if (b.partial)
            for (int64_t chunk = 0; chunk < count; chunk += kChunk) {
                const int64_t end = std::min(chunk + kChunk, count);
                if (!any_partial(frame + chunk, end - chunk, full)) continue;
                for (int64_t i = chunk; i < end; ++i)
                    if (frame[i] != 0 && frame[i] != full) b.take(xy_valcor(img_, begin + i));
            }
        return b;
    }

    uint128 exact_squares(int64_t begin, int64_t count) const {
        uint128 s = 0;
        for (int64_t i = begin; i < begin + count; ++i)
            if (reference_.taken(i)) {
                const uint64_t m = magnitude(reference_.value(i));
                s += static_cast<uint128>(m * m);
            }
        return s;
    }

    const IMG& img_;
    int64_t pixels_;
    const InfoScan& reference_;
    bool has_frame_;
    Taken taken_;
};

constexpr double kEpsilon = 1.0 / 4503599627370496.0; // 2^-52

// The mean from the exact sum equals the pixel-by-pixel double sum when no
// partial sum can exceed 2^53, where doubles stop holding every integer.
bool exact_mean_matches(const FastScan& s) {
    if (s.taken == 0) return true;
    const double largest =
        std::max(static_cast<double>(magnitude(s.min)), static_cast<double>(magnitude(s.max)));
    return static_cast<double>(s.taken) * largest <= 9007199254740992.0;
}

// Sum of squared deviations from sum/n over `taken` values, from the exact
// sums: the deviations from the values' own mean plus the shift of that mean
// (raw sums count pixels without frames, so taken may exceed n).
long double squared_deviations(const FastScan& s, int64_t n) {
    const long double p = static_cast<long double>(s.taken);
    const uint128 s1_squared = static_cast<uint128>(magnitude64(s.sum)) * magnitude64(s.sum);
    const long double own =
        static_cast<long double>(s.squares * static_cast<uint64_t>(s.taken) - s1_squared) / p;
    const long double shift = static_cast<long double>(s.taken - n) / static_cast<long double>(n);
    return own + static_cast<long double>(s1_squared) * shift * shift / p;
}

// The pixel-by-pixel double sum of squared deviations differs from the exact
// one by its rounding (at most (taken + 2) half-units of the last place of the
// total) and by the rounding of the mean it subtracts. When the sigmas at both
// ends of that interval print alike to one decimal, so do the exact sigma and
// the pixel-by-pixel one.
bool sigma_prints_alike(long double deviations, const FastScan& s, int64_t n, double mean) {
    const long double p = static_cast<long double>(s.taken);
    const long double mean_error = std::fabs(mean) * kEpsilon;
    const long double spread =
        deviations * (p + 8) * kEpsilon +
        2 * mean_error * magnitude64(s.sum) * static_cast<long double>(s.taken - n) / n +
        p * mean_error * mean_error;
    const long double divisor = static_cast<long double>(n - 1);
    const double low = static_cast<double>(std::sqrt(std::max(deviations - spread, 0.0L) / divisor));
    const double high = static_cast<double>(std::sqrt((deviations + spread) / divisor));
    return prg_format("%.1f", low) == prg_format("%.1f", high);
}

} // namespace

// ---------------------------------------------------------------- header list

void xy_standard_entries(HDR& hdr, const char* data_type) {
    xy_kvfstr(hdr, "HeaderID", "EH:000001:000000:000000");
    xy_kvfstr(hdr, "ByteOrder", "LowByteFirst");
    if (data_type) xy_kvfstr(hdr, "DataType", data_type);
    // Dimensions are unsigned: a signed form would print 40000 as -25536.
    xy_kvfstr(hdr, "Dim_1", prg_format("%hu", hdr.dim_x));
    xy_kvfstr(hdr, "Dim_2", prg_format("%hu", hdr.dim_y));
    xy_kvfstr(hdr, "Image", prg_format("%d", hdr.frames));
}

int32_t xy_kvfstr(HDR& hdr, const std::string& key, const std::string& value) {
    const auto index = static_cast<int32_t>(hdr.items.size());
    if (hdr.n_alloc <= index) {
        // The recorded capacity grows by 8 entries; the list itself grows
        // geometrically, so that a header of many entries reads in linear time.
        const int64_t grown = static_cast<int64_t>(std::max(hdr.n_alloc, index)) + 8;
        if (grown > INT32_MAX) v_fatal(kLibOrigin, "allocating kvfstr  '%d'\n", index);
        hdr.n_alloc = static_cast<int32_t>(grown);
    }
    KvfItem item;
    try {
        item.key = key;
    } catch (const std::bad_alloc&) {
        v_error(kLibOrigin, "allocating kvfstr key '%s'\n", key.c_str());
    }
    try {
        item.value = value;
    } catch (const std::bad_alloc&) {
        v_error(kLibOrigin, "allocating kvfstr string '%s'\n", value.c_str());
    }
    try {
        hdr.items.push_back(std::move(item));
    } catch (const std::bad_alloc&) {
        v_error(kLibOrigin, "allocating kvfstr  '%d'\n", index);
    } catch (const std::length_error&) {
        v_error(kLibOrigin, "allocating kvfstr  '%d'\n", index);
    }
    hdr.n_items = static_cast<int32_t>(hdr.items.size());
    return index;
}

const char* xy_type_name(int32_t type) {
    switch (type) {
    case XY_TYPE_INT16:
        return "INT16";
    case XY_TYPE_UINT16:
        return "INT16U";
    case XY_TYPE_INT32:
        return "INT32";
    case XY_TYPE_FLOAT:
        return "FLOAT";
    case XY_TYPE_TEXT:
        return "ASCII";
    default:
        return "UNKNOWN";
    }
}

void xy_puthdr(const HDR& hdr, bool with_entries) {
    prg_printf("%s", header_description(hdr, with_entries).c_str());
}

void xy_fputhdr(std::FILE* stream, const HDR& hdr, bool with_entries) {
    const std::string text = header_description(hdr, with_entries);
    std::fwrite(text.data(), 1, text.size(), stream);
}

// ---------------------------------------------------------------- image information

void xy_info(IMG& img, int32_t what) {
    const InfoSelection sel = info_selection(what);
    const int64_t pixels = present_pixels(img);
    const InfoScan reference(img, pixels);
    const FastInfo fast(img, pixels, reference);
    const FastScan scan = fast.scan();

    int64_t n = pixels;
    if (img.frame.empty()) {
        img.used = -1;
    } else {
        img.used = static_cast<int32_t>(scan.used);
        n = scan.used;
    }
    if (sel.nonzero) img.nonzero = static_cast<int32_t>(scan.nonzero);

    // Corrected records start from the extreme 32-bit values at index -1;
    // raw sums start from pixel 0, which only shows when every value is the
    // extreme one.
    const int64_t start = img.corrected == 1 || pixels == 0 ? -1 : 0;
    if (sel.min) {
        const int64_t at = fast.first_index(scan.min_block, scan.min);
        img.min = scan.min;
        set_position(at < 0 ? start : at, img.nx, img.min_x, img.min_y);
    }
    if (sel.max) {
        const int64_t at = fast.first_index(scan.max_block, scan.max);
        img.max = scan.max;
        set_position(at < 0 ? start : at, img.nx, img.max_x, img.max_y);
    }

    // Zero pixels give NaN and one pixel an infinite or NaN sigma: IEEE rules,
    // as reported values only.
    const bool exact = exact_mean_matches(scan);
    if (sel.mean)
        img.mean = exact ? static_cast<double>(scan.sum) / static_cast<double>(n)
                         : reference.sum() / static_cast<double>(n);
    if (sel.sigma) {
        const long double deviations = exact && n > 1 ? squared_deviations(scan, n) : 0.0L;
        if (exact && n > 1 && sigma_prints_alike(deviations, scan, n, img.mean))
            img.sigma = static_cast<double>(std::sqrt(deviations / static_cast<long double>(n - 1)));
        else
            img.sigma = std::sqrt(reference.squared_deviations(img.mean) / static_cast<double>(n - 1));
    }
}

void xy_fputinfo(std::FILE* stream, const IMG& img) {
    prg_fprintf(stream, "# %s : %d frame(s), mean %.1lf sigma %.1lf [%ld@%d*%d - %ld@%d*%d] %d!=0,",
                img.name.c_str(), img.frames, img.mean, img.sigma, static_cast<long>(img.min), img.min_x,
                img.min_y, static_cast<long>(img.max), img.max_x, img.max_y, img.nonzero);
    if (img.used < 0)
        prg_fprintf(stream, " all used\n");
    else
        prg_fprintf(stream, " %d used\n", img.used);
}

// ---------------------------------------------------------------- release

void xy_freehdr(std::unique_ptr<HDR>& hdr) {
    if (!hdr) return;
    hdr->fp.close();
    hdr.reset();
}

void xy_freeimg(IMG& img, int32_t level) {
    if (level < FREE_COSMIC || level > FREE_HDR) return;
    img.cosmic = CosmicArrays{};
    if (level >= FREE_FRAME) img.frame = std::vector<uint16_t>{};
    if (level >= FREE_DATA) {
        img.name = std::string{};
        img.data = std::vector<int32_t>{};
    }
    if (level >= FREE_HDR) xy_freehdr(img.hdr);
}
