// Header list of a frame file, its description, image statistics and the
// release levels of the records.
#include "xy_lib.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <memory>
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
        : img_(img), pixels_(pixels), frames_(img.frames), corrected_(img.corrected == 1),
          has_frame_(!img.frame.empty()) {}

    bool taken(int64_t i) const { return !corrected_ || !has_frame_ || img_.frame[i] != 0; }
    int32_t value(int64_t i) const { return corrected_ ? img_.data[i] : xy_valcor(img_, i, frames_); }
    // The frame count of the sum, as it was when the scan began.
    int32_t frames() const { return frames_; }

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
    int32_t frames_;
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

    void take_all(const BlockSums& o) {
        min = std::min(min, o.min);
        max = std::max(max, o.max);
        count += o.count;
        sum += o.sum;
        squares += o.squares;
    }

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
    for (int32_t i = 0; i < count; ++i) {
        const int32_t x = v[i];
        const int32_t c = kTaken == Taken::every ? 1 : frame[i];
        const int32_t is_partial = (c != 0) & (c != full);
        int32_t keep = -1;
        if (kTaken == Taken::counted) keep = -static_cast<int32_t>(c != 0);
        if (kTaken == Taken::whole_count) keep = is_partial - 1;
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
    return {lo, hi, taken, sum, squares, used, nonzero};
}

// The block scans, compiled also for processors with wider vectors and chosen
// when the program starts: integer arithmetic, the same results on any machine.
// ThreadSanitizer instruments the resolvers that choose a clone, which run
// before its runtime has started: its build keeps the default clone only.
#ifdef __SANITIZE_THREAD__
#define ZANDOR_WIDE_VECTORS
#else
#define ZANDOR_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#endif
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

// ---------------------------------------------------------------- blocks of small values
// Most blocks hold values between -2^22 and 2^22. Their sums then add up in
// 32-bit lanes (a part of 512 values at a time) and their squares in 64-bit
// lanes from 32-bit products, in one loop without masks, several times faster
// than the masked 64-bit one above. The frame counts are looked at first, in
// 16-bit lanes; the few pixels a scan leaves out are then handled one by one.

constexpr int32_t kFastMin = -(1 << 22);
constexpr int32_t kFastMax = (1 << 22) - 1;
constexpr int32_t kPartValues = 512;
static_assert(int64_t{kPartValues} * kFastMax <= INT32_MAX && int64_t{kPartValues} * kFastMin >= INT32_MIN,
              "part sums must fit in 32 bits");
static_assert(static_cast<double>(kBlock) * kFastMin * kFastMin < 18446744073709551616.0,
              "block squares must fit in 64 bits");

// Extremes, non-zero values and totals of every value of a run of pixels;
// the totals are exact when the extremes are within the fast range.
struct ValueStats {
    int32_t min = INT32_MAX;
    int32_t max = INT32_MIN;
    int32_t nonzero = 0;
    int64_t sum = 0;
    uint64_t squares = 0;

    bool exact() const { return min >= kFastMin && max <= kFastMax; }

    void take_all(const ValueStats& o) {
        min = std::min(min, o.min);
        max = std::max(max, o.max);
        nonzero += o.nonzero;
        sum += o.sum;
        squares += o.squares;
    }
};

__attribute__((always_inline)) inline ValueStats value_stats(const int32_t* v, int32_t count) {
    ValueStats r;
    for (int32_t begin = 0; begin < count; begin += kPartValues) {
        const int32_t end = std::min(begin + kPartValues, count);
        int32_t lo = INT32_MAX;
        int32_t hi = INT32_MIN;
        int32_t nonzero = 0;
        uint32_t sum = 0; // wraps only when a value is beyond the fast range
        uint64_t squares = 0;
        for (int32_t i = begin; i < end; ++i) {
            const int32_t x = v[i];
            lo = std::min(lo, x);
            hi = std::max(hi, x);
            nonzero += x != 0;
            sum += static_cast<uint32_t>(x);
            squares += static_cast<uint64_t>(int64_t{x} * x);
        }
        r.take_all({lo, hi, nonzero, static_cast<int32_t>(sum), squares});
    }
    return r;
}

// Chunks of 64 pixels holding a pixel left out (no count in a corrected
// record, a partial count in a raw sum), one bit a chunk, and the pixels with
// a count.
constexpr int32_t kChunk = 64;
static_assert(kBlock / kChunk <= 64, "one bit a chunk");

struct CountChunks {
    int32_t used = 0;
    uint64_t left_out = 0;
};

template <Taken kTaken> inline bool is_left_out(uint16_t c, uint16_t full) {
    return kTaken == Taken::counted ? c == 0 : (c != 0) & (c != full);
}

template <Taken kTaken>
__attribute__((always_inline)) inline CountChunks count_chunks(const uint16_t* frame, int32_t count,
                                                               uint16_t full) {
    CountChunks r;
    for (int32_t begin = 0, bit = 0; begin < count; begin += kChunk, ++bit) {
        const int32_t end = std::min(begin + kChunk, count);
        uint16_t used = 0;
        uint16_t any = 0;
        for (int32_t i = begin; i < end; ++i) {
            used = static_cast<uint16_t>(used + (frame[i] != 0));
            any |= is_left_out<kTaken>(frame[i], full);
        }
        r.used += used;
        r.left_out |= uint64_t{any != 0} << bit;
    }
    return r;
}

ZANDOR_WIDE_VECTORS ValueStats stats_of(const int32_t* v, int32_t count) {
    return value_stats(v, count);
}
ZANDOR_WIDE_VECTORS CountChunks chunks_without_count(const uint16_t* frame, int32_t count) {
    return count_chunks<Taken::counted>(frame, count, 0);
}
ZANDOR_WIDE_VECTORS CountChunks chunks_with_partial_count(const uint16_t* frame, int32_t count,
                                                          uint16_t full) {
    return count_chunks<Taken::whole_count>(frame, count, full);
}
#undef ZANDOR_WIDE_VECTORS

// The scan of a whole record: extremes with the index of their first
// occurrence (-1 for none), and sums exact in integers.
struct FastScan {
    int32_t min = INT32_MAX;
    int64_t min_at = -1;
    int32_t max = INT32_MIN;
    int64_t max_at = -1;
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

    // Takes the pixels from `begin` on, which must follow those taken so far.
    void add(int64_t begin, int64_t count) {
        for (int64_t b = begin; b < begin + count; b += kBlock)
            take_block(b, std::min(kBlock, begin + count - b), nullptr);
    }

    // Takes a piece of at most one block whose frame counts are those `before`
    // saw for the same piece, each one frame higher, in a raw sum one frame
    // further on: which counts are partial is then unchanged, as long as no
    // count was 0 (a pixel whose count goes from 0 to 1 becomes partial).
    void add_one_frame_on(int64_t begin, int64_t count, const FastInfo& before) {
        const bool same_piece = before.last_begin_ == begin && count <= kBlock &&
                                static_cast<int64_t>(before.last_counts_.used) == count;
        take_block(begin, count, same_piece && taken_ == Taken::whole_count ? &before.last_counts_ : nullptr);
    }

    const FastScan& scan() const { return scan_; }

    // The scan of the pixels after those taken so far, gathered apart: the
    // sums add up, and an extreme of `later` counts only when strictly beyond
    // (the first occurrence wins, as in one scan).
    void append(const FastScan& later) {
        FastScan& r = scan_;
        if (later.min < r.min) r.min = later.min, r.min_at = later.min_at;
        if (later.max > r.max) r.max = later.max, r.max_at = later.max_at;
        r.taken += later.taken;
        r.sum += later.sum;
        r.squares += later.squares;
        r.used += later.used;
        r.nonzero += later.nonzero;
    }

  private:
    // Index of the first value taken equal to `target` in the block starting
    // at `begin`, which holds one: looked for as soon as the block gives a new
    // extreme, while its pixels are those scanned.
    int64_t first_index(int64_t begin, int32_t target) const {
        const int64_t end = std::min(begin + kBlock, pixels_);
        for (int64_t i = begin; i < end; ++i)
            if (reference_.taken(i) && reference_.value(i) == target) return i;
        return -1;
    }

    void take_block(int64_t begin, int64_t count, const CountChunks* known_counts) {
        FastScan& r = scan_;
        const auto n = static_cast<int32_t>(count); // at most one block
        last_counts_ = known_counts ? *known_counts : count_chunks_of(begin, n);
        last_begin_ = begin;
        const BlockSums b = block(begin, n, last_counts_);
        if (b.min < r.min) {
            r.min = b.min;
            r.min_at = first_index(begin, b.min);
        }
        if (b.max > r.max) {
            r.max = b.max;
            r.max_at = first_index(begin, b.max);
        }
        r.taken += b.count;
        r.sum += b.sum;
        const bool small = b.count == 0 || std::max(magnitude(b.min), magnitude(b.max)) <= kSmallMagnitude;
        r.squares += small ? b.squares : exact_squares(begin, count);
        r.used += b.used;
        r.nonzero += b.nonzero;
    }

    bool left_out(uint16_t c) const {
        return taken_ == Taken::counted ? c == 0 : (c != 0) & (c != reference_.frames());
    }

    // The pixels with a count and the chunks holding a pixel left out; every
    // chunk when a raw sum's frame count is beyond 16 bits (every count is
    // then partial).
    CountChunks count_chunks_of(int64_t begin, int32_t count) const {
        if (taken_ == Taken::every) return {count, 0};
        const uint16_t* frame = img_.frame.data() + begin;
        if (taken_ == Taken::counted) return chunks_without_count(frame, count);
        const int32_t full = reference_.frames();
        if (full >= 0 && full <= UINT16_MAX)
            return chunks_with_partial_count(frame, count, static_cast<uint16_t>(full));
        CountChunks every_chunk{0, ~uint64_t{0}};
        for (int32_t i = 0; i < count; ++i)
            every_chunk.used += frame[i] != 0;
        return every_chunk;
    }

    // Calls f(i) for the pixels left out of the chunk starting at `first`.
    template <class F> void for_left_out_in_chunk(int64_t begin, int64_t first, int64_t count, F f) const {
        const uint16_t* frame = img_.frame.data() + begin;
        for (int64_t i = first; i < std::min(first + kChunk, count); ++i)
            if (left_out(frame[i])) f(i);
    }

    BlockSums block(int64_t begin, int32_t n, const CountChunks& counts) const {
        BlockSums b;
        if (small_values_block(begin, n, counts, b)) return b;
        return wide_block(begin, n, counts);
    }

    // The block's sums when its values lie within the fast range (false
    // otherwise, and when no pixel is taken).
    bool small_values_block(int64_t begin, int32_t count, const CountChunks& counts, BlockSums& b) const {
        if (counts.left_out != 0) return small_block_with_left_out(begin, count, counts, b);
        const ValueStats s = stats_of(img_.data.data() + begin, count);
        if (!s.exact()) return false;
        b = BlockSums{s.min, s.max, count, s.sum, s.squares, counts.used, s.nonzero};
        return true;
    }

    // A chunk holding pixels left out is scanned in a copy where they take
    // the value of a pixel taken, which changes neither extreme; that value is
    // then taken out of the totals, the pixels' own values are counted apart,
    // and raw sums' partial counts are added corrected.
    bool small_block_with_left_out(int64_t begin, int32_t count, const CountChunks& counts,
                                   BlockSums& b) const {
        const int32_t* v = img_.data.data() + begin;
        const uint16_t* frame = img_.frame.data() + begin;
        int32_t first_taken = 0;
        while (first_taken < count && left_out(frame[first_taken]))
            ++first_taken;
        if (first_taken == count) return false;
        const int32_t stand_in = v[first_taken];
        ValueStats s;
        int32_t left = 0;
        int32_t left_nonzero = 0;
        BlockSums corrected;
        int32_t done = 0;
        for (uint64_t chunks = counts.left_out; chunks != 0; chunks &= chunks - 1) {
            const int32_t first = __builtin_ctzll(chunks) * kChunk;
            const int32_t end = std::min(first + kChunk, count);
            if (first > done) s.take_all(stats_of(v + done, first - done));
            std::array<int32_t, kChunk> copy;
            std::copy(v + first, v + end, copy.begin());
            for_left_out_in_chunk(begin, first, count, [&](int64_t i) {
                copy[i - first] = stand_in;
                ++left;
                left_nonzero += v[i] != 0;
                if (taken_ == Taken::whole_count) corrected.take(reference_.value(begin + i));
            });
            s.take_all(stats_of(copy.data(), end - first));
            done = end;
        }
        if (done < count) s.take_all(stats_of(v + done, count - done));
        if (!s.exact()) return false;
        const int64_t stand_ins = left;
        b = BlockSums{s.min,
                      s.max,
                      count - left,
                      s.sum - stand_ins * stand_in,
                      s.squares - static_cast<uint64_t>(stand_ins * (int64_t{stand_in} * stand_in)),
                      counts.used,
                      s.nonzero - (stand_in != 0) * left + left_nonzero};
        b.take_all(corrected);
        return true;
    }

    // Any block: 64-bit sums with masks.
    BlockSums wide_block(int64_t begin, int32_t count, const CountChunks& counts) const {
        const int32_t* v = img_.data.data() + begin;
        const uint16_t* frame = has_frame_ ? img_.frame.data() + begin : nullptr;
        switch (taken_) {
        case Taken::every:
            return sums_of_every(v, count);
        case Taken::counted:
            return sums_of_counted(v, frame, count);
        case Taken::whole_count:
            break;
        }
        BlockSums b = sums_of_whole_counts(v, frame, count, reference_.frames());
        for (uint64_t chunks = counts.left_out; chunks != 0; chunks &= chunks - 1)
            for_left_out_in_chunk(begin, int64_t{__builtin_ctzll(chunks)} * kChunk, count,
                                  [&](int64_t i) { b.take(reference_.value(begin + i)); });
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
    FastScan scan_;
    CountChunks last_counts_; // of the last block taken, starting at last_begin_
    int64_t last_begin_ = -1;
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
    prg_write(stream, text);
}

// ---------------------------------------------------------------- image information

namespace {

// Puts the statistics of a whole scan in the record. Where the exact sums
// cannot promise the printed mean or sigma, these take a pass over the pixels
// in double arithmetic; when the planes have moved on since the scan
// (`planes_as_scanned` false) that pass cannot be made, and false is returned.
bool finish_info(IMG& img, int32_t what, int64_t pixels, const InfoScan& reference, const FastScan& scan,
                 bool planes_as_scanned) {
    const InfoSelection sel = info_selection(what);
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
        img.min = scan.min;
        set_position(scan.min_at < 0 ? start : scan.min_at, img.nx, img.min_x, img.min_y);
    }
    if (sel.max) {
        img.max = scan.max;
        set_position(scan.max_at < 0 ? start : scan.max_at, img.nx, img.max_x, img.max_y);
    }

    // Zero pixels give NaN and one pixel an infinite or NaN sigma: IEEE rules,
    // as reported values only.
    const bool exact = exact_mean_matches(scan);
    if (!exact && (sel.mean || sel.sigma) && !planes_as_scanned) return false;
    if (sel.mean)
        img.mean = exact ? static_cast<double>(scan.sum) / static_cast<double>(n)
                         : reference.sum() / static_cast<double>(n);
    if (sel.sigma) {
        const long double deviations = exact && n > 1 ? squared_deviations(scan, n) : 0.0L;
        if (exact && n > 1 && sigma_prints_alike(deviations, scan, n, img.mean))
            img.sigma = static_cast<double>(std::sqrt(deviations / static_cast<long double>(n - 1)));
        else if (planes_as_scanned)
            img.sigma = std::sqrt(reference.squared_deviations(img.mean) / static_cast<double>(n - 1));
        else
            return false;
    }
    return true;
}

} // namespace

void xy_info(IMG& img, int32_t what) {
    const int64_t pixels = present_pixels(img);
    const InfoScan reference(img, pixels);
    FastInfo fast(img, pixels, reference);
    fast.add(0, pixels);
    finish_info(img, what, pixels, reference, fast.scan(), true);
}

struct XyInfoAccumulator::State {
    explicit State(const IMG& img)
        : pixels(present_pixels(img)), reference(img, pixels), fast(img, pixels, reference) {}
    int64_t pixels;
    InfoScan reference;
    FastInfo fast;
    int64_t first = 0; // the first pixel it takes
    int64_t next = 0;  // the first pixel not taken yet; -1 once a block came out of order
};

XyInfoAccumulator::XyInfoAccumulator(const IMG& img, int64_t first) : state_(std::make_unique<State>(img)) {
    state_->first = first;
    state_->next = first;
}

void XyInfoAccumulator::append(const XyInfoAccumulator& later) {
    State& s = *state_;
    const State& o = *later.state_;
    if (s.next < 0 || o.next < 0 || o.first != s.next) {
        s.next = -1;
        return;
    }
    s.fast.append(o.fast.scan());
    s.next = o.next;
}

XyInfoAccumulator::~XyInfoAccumulator() = default;

void XyInfoAccumulator::add(int64_t begin, int64_t count) {
    State& s = *state_;
    if (begin != s.next || count < 0 || begin + count > s.pixels) {
        s.next = -1;
        return;
    }
    s.fast.add(begin, count);
    s.next = begin + count;
}

void XyInfoAccumulator::add_one_frame_on(int64_t begin, int64_t count, const XyInfoAccumulator& before) {
    State& s = *state_;
    if (begin != s.next || count < 0 || begin + count > s.pixels) {
        s.next = -1;
        return;
    }
    s.fast.add_one_frame_on(begin, count, before.state_->fast);
    s.next = begin + count;
}

void XyInfoAccumulator::finish(IMG& img) {
    const State& s = *state_;
    if (s.first == 0 && s.next == s.pixels)
        finish_info(img, INFO_ALL, s.pixels, s.reference, s.fast.scan(), true);
    else
        xy_info(img, INFO_ALL);
}

bool XyInfoAccumulator::finish_from_sums(IMG& img) {
    const State& s = *state_;
    return s.first == 0 && s.next == s.pixels &&
           finish_info(img, INFO_ALL, s.pixels, s.reference, s.fast.scan(), false);
}

XyStatistics xy_statistics(const IMG& img) {
    return {img.used, img.nonzero, img.min,   img.min_x, img.min_y,
            img.max,  img.max_x,   img.max_y, img.mean,  img.sigma};
}

void xy_set_statistics(IMG& img, const XyStatistics& s) {
    img.used = s.used;
    img.nonzero = s.nonzero;
    img.min = s.min;
    img.min_x = s.min_x;
    img.min_y = s.min_y;
    img.max = s.max;
    img.max_x = s.max_x;
    img.max_y = s.max_y;
    img.mean = s.mean;
    img.sigma = s.sigma;
}

std::string xy_info_line(const IMG& img) {
    std::string line =
        prg_format("# %s : %d frame(s), mean %.1lf sigma %.1lf [%ld@%d*%d - %ld@%d*%d] %d!=0,",
                   img.name.c_str(), img.frames, img.mean, img.sigma, static_cast<long>(img.min), img.min_x,
                   img.min_y, static_cast<long>(img.max), img.max_x, img.max_y, img.nonzero);
    line += img.used < 0 ? std::string(" all used\n") : prg_format(" %d used\n", img.used);
    return line;
}

void xy_fputinfo(std::FILE* stream, const IMG& img) {
    prg_fprintf(stream, "%s", xy_info_line(img).c_str());
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
    img.read_buffers = IMG::ReadBuffers{};
    if (level >= FREE_FRAME) img.frame = std::vector<uint16_t>{};
    if (level >= FREE_DATA) {
        img.name = std::string{};
        img.data = std::vector<int32_t>{};
    }
    if (level >= FREE_HDR) xy_freehdr(img.hdr);
}
