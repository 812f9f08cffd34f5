// Frame summation: reads the frames of an image's open file, bins them and adds
// them into the record's 32-bit sums and 16-bit per-pixel frame counts and, for
// the cosmic-ray test, into the per-pixel time-series statistics.
//
// This is the hot path of every run. Whole-row frames are read a band of rows
// at a time for a group of frames, and each pixel block then takes the frames
// of the group one after the other while its sums stay in cache. Per pixel the
// frames are still added in file order, so the results are those of adding
// frame after frame; the read buffer stays the size of one frame.
#include "xy_decoder.hpp"
#include "xy_lib.hpp"
#include "xy_pixel.hpp"
#include "xy_print.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <mutex>
#include <type_traits>

namespace {

constexpr const char* kLib = "../xy32lib/xy_lib";
constexpr uint16_t kSaturated = 65535;
constexpr int64_t kMaxFrames = 65535;    // the per-pixel frame counts are 16 bits
constexpr int64_t kRawDumpLimit = 8193;  // pixels; larger images are never dumped
constexpr int64_t kGroupFrames = 16;     // frames read band by band before their sums are added
constexpr int64_t kMaxDecodedFiles = 16; // decoded one-frame files of a group, at most
constexpr int64_t kBlockPixels = 2048;   // pixels whose sums stay in cache while a group is added
constexpr int64_t kDecodedBandBytes = int64_t{1} << 20; // a group's band of decoded frames

// ---------------------------------------------------------------- pixel types
// One description per pixel type of the file: the raw value, its reader, the
// value it adds, where the frame index of the largest value counts from, and
// which values mark a pixel without a value (kMarks): saturated ones (65535 in
// 16-bit frames) and invalid ones (the all-ones mark of unsigned 32-bit
// frames, NaN, values outside VALID_RANGE), neither added nor counted.

// VALID_RANGE as bounds of integer values (the whole range when not set).
struct IntegerRange {
    int32_t low = INT32_MIN;
    int32_t high = INT32_MAX;
    IntegerRange() = default;
    explicit IntegerRange(const XyValidRange& r) {
        if (!r.set) return;
        low = static_cast<int32_t>(std::clamp(std::ceil(r.low), -2147483648.0, 2147483647.0));
        high = static_cast<int32_t>(std::clamp(std::floor(r.high), -2147483648.0, 2147483647.0));
    }
    bool outside(int32_t v) const { return (v < low) | (v > high); }
};

struct ByteFrames {
    using Raw = uint8_t;
    static constexpr bool kMarks = true;
    static constexpr bool kIndexInSeries = false;
    static constexpr bool kText = false;
    static int32_t read(const IMG& img, const XyWindow& w, Raw* buf, int32_t k, std::FILE* dump) {
        return xy_getrawc(img, w, buf, k, dump);
    }
    int32_t operator()(Raw v) const { return v; }
    IntegerRange range;
    static bool saturated(Raw) { return false; }
    bool invalid(Raw v) const { return range.outside(v); }
};

struct Uint16Frames {
    using Raw = uint16_t;
    static constexpr bool kMarks = true; // 65535 marks a saturated pixel
    static constexpr bool kIndexInSeries = false;
    static constexpr bool kText = false;
    static int32_t read(const IMG& img, const XyWindow& w, Raw* buf, int32_t k, std::FILE* dump) {
        return xy_getrawu(img, w, buf, k, dump);
    }
    int32_t operator()(Raw v) const { return v; }
    IntegerRange range;
    static bool saturated(Raw v) { return v == kSaturated; }
    bool invalid(Raw v) const { return range.outside(v); }
};

struct Int32Frames {
    using Raw = int32_t;
    static constexpr bool kMarks = false;
    static constexpr bool kIndexInSeries = true;
    static constexpr bool kText = false;
    static int32_t read(const IMG& img, const XyWindow& w, Raw* buf, int32_t k, std::FILE* dump) {
        return xy_getrawl(img, w, buf, k, dump);
    }
    int32_t operator()(Raw v) const { return v; }
};

// 32-bit frames with marks: stored unsigned (where the reader lets through,
// as negative numbers, only values above 2^31 - 1 that are marks), or with
// VALID_RANGE set.
struct MarkedInt32Frames : Int32Frames {
    static constexpr bool kMarks = true;
    IntegerRange range;
    bool unsigned_samples = false;
    static bool saturated(Raw) { return false; }
    bool invalid(Raw v) const { return (unsigned_samples & (v < 0)) | range.outside(v); }
};

struct FloatFrames {
    using Raw = float;
    static constexpr bool kMarks = true;
    static constexpr bool kIndexInSeries = true;
    static constexpr bool kText = false;
    static int32_t read(const IMG& img, const XyWindow& w, Raw* buf, int32_t k, std::FILE* dump) {
        return xy_getrawf(img, w, buf, k, dump);
    }
    double mult = 1.0;
    double low = -INFINITY; // VALID_RANGE
    double high = INFINITY;
    static bool saturated(Raw) { return false; }
    // NaN fails both comparisons.
    bool invalid(Raw v) const {
        const double d = static_cast<double>(v);
        return !((d >= low) & (d <= high));
    }
    double scaled(Raw v) const { return (static_cast<double>(v) + 0.5) * mult; }
    static bool fits(double x) { return x >= -2147483648.0 && x < 2147483648.0; } // false for NaN
    // floor((f + 0.5) x mult): with mult 1, f rounded half up, negative values
    // as positive ones. Only for values that `check` let through.
    int32_t operator()(Raw v) const {
        const double x = invalid(v) ? 0.0 : scaled(v); // NaN must not reach the conversion
        const int32_t t = static_cast<int32_t>(x);     // toward zero
        return t - static_cast<int32_t>(static_cast<double>(t) > x);
    }
    // A value whose pixel would not fit in 32 bits ends the run, naming the
    // pixel, before anything of its frame is added.
    void check(const Raw* raw, int64_t n, int64_t first_pixel, int64_t frame, const char* file) const {
        bool outside = false;
        for (int64_t i = 0; i < n; ++i)
            outside |= !fits(scaled(raw[i])) & !invalid(raw[i]);
        if (!outside) return;
        const std::string operation =
            prg_format("float frame %lld of '%s' times MULT", static_cast<long long>(frame), file);
        for (int64_t i = 0; i < n; ++i)
            if (!fits(scaled(raw[i])) && !invalid(raw[i]))
                pixel_from_double(std::floor(scaled(raw[i])), operation.c_str(), first_pixel + i);
    }
};

struct TextFrames {
    using Raw = int32_t;
    static constexpr bool kMarks = true;
    static constexpr bool kIndexInSeries = true;
    static constexpr bool kText = true;
    static int32_t read(const IMG& img, const XyWindow& w, Raw* buf, int32_t k, std::FILE* dump) {
        return xy_getrawa(img, w, buf, k, dump);
    }
    int32_t operator()(Raw v) const { return v; }
    IntegerRange range;
    static bool saturated(Raw) { return false; }
    bool invalid(Raw v) const { return range.outside(v); }
};

// ---------------------------------------------------------------- accumulation

// The per-pixel planes a frame is added to; the cosmic ones are null when the
// record has no cosmic arrays.
struct Planes {
    int32_t* data = nullptr;
    uint16_t* frame = nullptr;
    double* sumq = nullptr;
    int32_t* mval = nullptr;
    uint16_t* mframe = nullptr;

    Planes at(int64_t i) const {
        const bool cosmic = sumq != nullptr;
        return Planes{data + i, frame + i, cosmic ? sumq + i : nullptr, cosmic ? mval + i : nullptr,
                      cosmic ? mframe + i : nullptr};
    }
};

// The marked values met by a call: saturated, and invalid.
struct MarkCount {
    int64_t saturated = 0;
    int64_t invalid = 0;
    MarkCount& operator+=(const MarkCount& o) {
        saturated += o.saturated;
        invalid += o.invalid;
        return *this;
    }
};

// Adds one frame's values to n pixels and their frame counts, and returns the
// marked values met. Branch-free, so that the compiler vectorises it: a
// marked pixel adds 0 and keeps its frame count; a larger value replaces the
// maximum and its frame.
// Kept out of line: one call per block costs nothing and each pixel type gets
// its own loop, vectorised on its own.
template <bool Cosmic, class Frames>
__attribute__((noinline)) MarkCount add_frame(const Planes& p, const typename Frames::Raw* __restrict raw,
                                              int64_t n, uint16_t index, Frames pixel) {
    int32_t* __restrict data = p.data;
    uint16_t* __restrict frame = p.frame;
    double* __restrict sumq = p.sumq;
    int32_t* __restrict mval = p.mval;
    uint16_t* __restrict mframe = p.mframe;
    uint32_t saturated = 0; // n is at most one block or one image of int32 size
    uint32_t invalid = 0;
    for (int64_t i = 0; i < n; ++i) {
        int32_t v = pixel(raw[i]);
        if constexpr (Frames::kMarks) {
            // A mask, not a choice: the compiler would move the square under a
            // branch, and floating-point work under a branch does not vectorise.
            const bool sat = Frames::saturated(raw[i]);
            const bool bad = pixel.invalid(raw[i]) & !sat;
            const bool marked = sat | bad;
            v &= static_cast<int32_t>(marked) - 1;
            frame[i] = static_cast<uint16_t>(frame[i] + 1 - marked);
            saturated += sat;
            invalid += bad;
        } else {
            frame[i] = static_cast<uint16_t>(frame[i] + 1);
        }
        data[i] = wrap_add32(data[i], v);
        if constexpr (Cosmic) {
            sumq[i] += static_cast<double>(v) * static_cast<double>(v);
            // All ones where the value beats the maximum so far: keeps the first
            // frame that reached it. The maximum starts below every value.
            const int32_t larger = -static_cast<int32_t>(v > mval[i]);
            mval[i] = (mval[i] & ~larger) | (v & larger);
            mframe[i] = static_cast<uint16_t>((mframe[i] & ~larger) | (index & larger));
        }
    }
    return MarkCount{saturated, invalid};
}

template <class Frames>
MarkCount add_values(const Planes& p, const typename Frames::Raw* raw, int64_t n, uint16_t index,
                     Frames pixel) {
    if (p.sumq) return add_frame<true>(p, raw, n, index, pixel);
    return add_frame<false>(p, raw, n, index, pixel);
}

// ---------------------------------------------------------------- one call

// The working values of one xy_getsum call.
struct SumCall {
    IMG& img;
    std::FILE* out;
    int32_t print;
    std::FILE* dump;
    Planes planes;
    bool binned;
    int32_t f0;        // frames already in the record (continued sum)
    bool with_info;    // the caller wants the statistics of the sum
    int64_t used = 0;  // frames added by this call
    MarkCount marks{}; // saturated and invalid pixels (bins) met by this call
    // The statistics gathered while the group that seemed the last was added,
    // and the frames used then: they hold if no frame came after.
    std::unique_ptr<XyInfoAccumulator> info{};
    int64_t used_with_info = -1;

    const char* file_name() const { return img.hdr->file_name.c_str(); }
};

template <class Frames> uint16_t frame_index(const SumCall& call) {
    const int64_t index = Frames::kIndexInSeries ? call.f0 + call.used : call.used;
    return static_cast<uint16_t>(index);
}

void print_frame_line(const SumCall& call, int64_t offset) {
    if (call.out && (call.print & PRINT_SUM_DUMP))
        prg_fprintf(call.out, "# %s : frame %lld\n", call.file_name(),
                    static_cast<long long>(call.img.beg_frame + call.used + offset));
}

// Frame counts are 16 bits: a sum of more frames would wrap them silently.
void check_frame_limit(const SumCall& call, int64_t more) {
    if (call.f0 + call.used + more > kMaxFrames)
        v_fatal(
            kLib,
            " xy_getsum : more than %lld frames in one sum at file '%s', the frame counts would overflow\n",
            static_cast<long long>(kMaxFrames), call.file_name());
}

// Bins one frame's region and adds the bins.
template <class Frames> void add_binned(SumCall& call, const typename Frames::Raw* buf, uint16_t index) {
    IMG& img = call.img;
    if constexpr (std::is_same_v<Frames, Uint16Frames>) {
        // A bin with a saturated pixel adds nothing from this frame, nor to
        // its frame count.
        for (int32_t i = 0; i < img.size; ++i) {
            double sum = 0.0;
            if (satbind16(img, buf, i, sum) > 0) {
                ++call.marks.saturated;
                continue;
            }
            const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(sum)));
            add_values(call.planes.at(i), &v, 1, index, Int32Frames{});
        }
    } else if constexpr (std::is_same_v<Frames, FloatFrames>) {
        const std::vector<int32_t> bins = xy32f_bind(img, buf);
        add_values(call.planes, bins.data(), img.size, index, Int32Frames{});
    } else if constexpr (std::is_same_v<typename Frames::Raw, int32_t>) {
        const std::vector<int32_t> bins = xy32_bind(img, buf);
        add_values(call.planes, bins.data(), img.size, index, Int32Frames{});
    } else {
        v_fatal(kLib, "binding not writen for char files\n");
    }
}

// Float frames are checked before they are added; the other types always fit.
template <class Frames>
void check_values(const SumCall& call, const Frames& pixel, const typename Frames::Raw* raw, int64_t n,
                  int64_t first_pixel, int64_t frame) {
    if constexpr (std::is_same_v<Frames, FloatFrames>)
        pixel.check(raw, n, first_pixel, frame, call.file_name());
}

template <class Frames>
void add_frame_region(SumCall& call, const typename Frames::Raw* buf, int64_t k, Frames pixel) {
    const uint16_t index = frame_index<Frames>(call);
    if (call.binned) {
        add_binned<Frames>(call, buf, index);
        return;
    }
    check_values(call, pixel, buf, call.img.size, 0, k);
    call.marks += add_values(call.planes, buf, call.img.size, index, pixel);
}

// ---------------------------------------------------------------- grouped reading

// The last frame whose region lies wholly inside the file, as the raw readers
// would find it; 0 when the stream is not a regular file.
int64_t last_whole_frame(const IMG& img, const HDR& hdr, int64_t pixel_bytes) {
    struct stat st;
    if (!hdr.fp || fstat(fileno(hdr.fp.get()), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    const int64_t frame_bytes = static_cast<int64_t>(img.file_size) * pixel_bytes;
    const int64_t region_end =
        ((static_cast<int64_t>(img.y_min) + img.reg_height - 1) * img.dim_x + img.x_min + img.reg_width) *
        pixel_bytes;
    const int64_t room = static_cast<int64_t>(st.st_size) - hdr.offset - region_end;
    if (frame_bytes <= 0 || room < 0) return 0;
    return std::min<int64_t>(room / frame_bytes + 1, INT32_MAX);
}

// The statistics of a sum are gathered while its last group is added, if the
// caller wants them and nothing changes the pixels after the frames.
bool gathers_info(const SumCall& call) {
    const HDR& hdr = *call.img.hdr;
    return call.with_info && !(hdr.source && !hdr.source->pixel_mask().empty());
}

// A band of rows of the region: its first row in the region, and its window
// in the frame.
struct Band {
    int64_t first_row;
    XyWindow window;
};

// Calls f for the bands of `band_rows` rows that cover the region, top down.
template <class F> void for_each_band(const IMG& img, int64_t band_rows, F f) {
    for (int64_t r0 = 0; r0 < img.reg_height; r0 += band_rows) {
        const int64_t rows = std::min<int64_t>(band_rows, img.reg_height - r0);
        f(Band{r0, XyWindow{img.x_min, static_cast<int32_t>(img.y_min + r0), img.reg_width,
                            static_cast<int32_t>(rows)}});
    }
}

// The rows of a band: the region in `count` bands, so that the group's bands
// fill the buffer. Decoded frames are written by their decoder just before
// they are added: their bands are kept small enough for the group's band to
// be added while it is still in the processor's cache.
// With several threads, every thread gets a few bands (the bands change
// nothing in the sums: each pixel still takes the frames in file order).
int64_t rows_per_band(const IMG& img, int64_t count, int64_t pixel_bytes) {
    int64_t rows = std::max<int64_t>(1, img.reg_height / count);
    const int64_t threads = img.hdr->threads;
    if (threads > 1) rows = std::min(rows, std::max<int64_t>(1, img.reg_height / (4 * threads)));
    if (!img.hdr->decoder) return rows;
    const int64_t group_row_bytes = count * img.reg_width * pixel_bytes;
    return std::max<int64_t>(1, std::min(rows, kDecodedBandBytes / group_row_bytes));
}

// Reads a band of every frame of the group into `buf` (the frames one after
// the other) and adds them, block by block, into the planes of the band's
// rows; the statistics of the blocks go to `info` when given. Returns the
// marked values met. `read` reads one frame's band.
template <class Frames, class Read>
MarkCount add_band(const SumCall& call, const Band& band_of, typename Frames::Raw* buf, int64_t k0,
                   int64_t count, Frames pixel, XyInfoAccumulator* info, Read read) {
    const int64_t width = call.img.reg_width;
    const int64_t r0 = band_of.first_row;
    const int64_t rows = band_of.window.height;
    const int64_t band = rows * width;
    for (int64_t j = 0; j < count; ++j) {
        if (read(band_of.window, buf + j * band, static_cast<int32_t>(k0 + j)) != rows)
            v_fatal(kLib, " xy_getsum : file '%s' changed while frame %lld was read\n", call.file_name(),
                    static_cast<long long>(k0 + j));
        check_values(call, pixel, buf + j * band, band, r0 * width, k0 + j);
    }
    MarkCount marks{};
    for (int64_t b = 0; b < band; b += kBlockPixels) {
        const int64_t n = std::min(kBlockPixels, band - b);
        const Planes block = call.planes.at(r0 * width + b);
        for (int64_t j = 0; j < count; ++j) {
            const uint16_t index = static_cast<uint16_t>(frame_index<Frames>(call) + j);
            marks += add_values(block, buf + j * band + b, n, index, pixel);
        }
        if (info) info->add(r0 * width + b, n);
    }
    return marks;
}

// The bands of `band_rows` rows that cover the region, top down.
std::vector<Band> bands_of(const IMG& img, int64_t band_rows) {
    std::vector<Band> bands;
    for_each_band(img, band_rows, [&](const Band& b) { bands.push_back(b); });
    return bands;
}

// What one thread of a parallel group keeps: its band buffer, its reader of
// decoded frames, the statistics and marked values of its bands.
template <class Raw> struct BandWorker {
    ScratchVector<Raw> buf; // each band read into it before it is added
    std::unique_ptr<FrameSource> reader;
    std::unique_ptr<XyInfoAccumulator> info;
    MarkCount marks{};
};

// The bands of a group shared among the file's threads, each thread taking a
// run of consecutive bands: every pixel still takes the frames in file order,
// so the sums are those of one thread. Stored frames are read by positioned
// reads on each thread (through the one stream, a band at a time, where that
// cannot be); decoded frames by a reader per thread. False when the group is
// for one thread (one band, THREADS 1, or a source without readers).
enum class ParallelGroup { not_shared, done, failed };

template <class Frames>
ParallelGroup add_bands_in_parallel(SumCall& call, const std::vector<Band>& bands, int64_t k0, int64_t count,
                                    Frames pixel) {
    using Raw = typename Frames::Raw;
    IMG& img = call.img;
    const HDR& hdr = *img.hdr;
    const auto team =
        static_cast<int32_t>(std::min<int64_t>(hdr.threads, static_cast<int64_t>(bands.size())));
    if (team <= 1 || (hdr.decoder && (!hdr.source || hdr.uint32_samples))) return ParallelGroup::not_shared;
    std::vector<BandWorker<Raw>> workers(static_cast<size_t>(team));
    for (BandWorker<Raw>& w : workers) {
        if (hdr.decoder && !(w.reader = hdr.source->band_reader())) return ParallelGroup::not_shared;
        w.buf = prg_alloc<Raw, ScratchVector<Raw>>("xy_lib", "xy_getsum band",
                                                   static_cast<uint64_t>(count) *
                                                       bands.front().window.height * img.reg_width);
    }
    std::mutex stream;
    const int64_t failed = xy_run_ranges(team, static_cast<int64_t>(bands.size()), [&](int64_t b) {
        BandWorker<Raw>& w = workers[static_cast<size_t>(xy_thread_index())];
        const Band& band = bands[static_cast<size_t>(b)];
        if (call.info && !w.info)
            w.info = std::make_unique<XyInfoAccumulator>(img, band.first_row * img.reg_width);
        w.marks += add_band(call, band, w.buf.data(), k0, count, pixel, w.info.get(),
                            [&](const XyWindow& window, Raw* out, int32_t k) {
                                if (w.reader) return w.reader->decode(k, window, out);
                                if (xy_read_stored_apart(img, window, out, k)) return window.height;
                                const XyLock lock(stream);
                                return Frames::read(img, window, out, k, nullptr);
                            });
    });
    if (failed >= 0) return ParallelGroup::failed;
    for (const BandWorker<Raw>& w : workers) {
        call.marks += w.marks;
        if (call.info) call.info->append(*w.info);
    }
    return ParallelGroup::done;
}

// Adds `count` whole frames from k0 on: a band of rows of every frame is read
// into the buffer, then each block of pixels takes the frames in order. When
// the group seems the last one, the statistics are gathered block by block.
// With several threads the bands are shared among them; when a thread fails
// (damaged data), the group is read again on this thread, which stops the run
// with the report one thread gives.
template <class Frames>
void add_frame_group(SumCall& call, std::vector<typename Frames::Raw>& buf, int64_t k0, int64_t count,
                     Frames pixel, bool last) {
    IMG& img = call.img;
    for (int64_t j = 0; j < count; ++j)
        print_frame_line(call, j);
    check_frame_limit(call, count);
    call.info.reset();
    if (last && gathers_info(call)) {
        img.frames = static_cast<int32_t>(call.f0 + call.used + count);
        call.info = std::make_unique<XyInfoAccumulator>(img);
    }
    const std::vector<Band> bands = bands_of(img, rows_per_band(img, count, sizeof(typename Frames::Raw)));
    const ParallelGroup shared = add_bands_in_parallel(call, bands, k0, count, pixel);
    if (shared != ParallelGroup::done) {
        if (call.info) call.info = std::make_unique<XyInfoAccumulator>(img);
        for (const Band& band : bands)
            call.marks += add_band(call, band, buf.data(), k0, count, pixel, call.info.get(),
                                   [&](const XyWindow& window, typename Frames::Raw* out, int32_t k) {
                                       return Frames::read(img, window, out, k, nullptr);
                                   });
        // The planes took part of the group twice: only a failure may end here.
        if (shared == ParallelGroup::failed)
            v_fatal(kLib, " xy_getsum : frames %lld to %lld of '%s' could not be summed on %d threads\n",
                    static_cast<long long>(k0), static_cast<long long>(k0 + count - 1), call.file_name(),
                    img.hdr->threads);
    }
    call.used += count;
    if (call.info) call.used_with_info = call.used;
}

// ---------------------------------------------------------------- the frame loop

// TIFF files keep their tags, and newer SPE files a text footer, after the
// pixels: bytes beyond the frames the header declares are not frames.
int64_t declared_frames(const HDR& hdr) {
    return hdr.bytes_after_frames && hdr.frames > 0 ? hdr.frames : INT64_MAX;
}

// The record's read buffer of a pixel type: kept from call to call, so that a
// series of one-frame files does not allocate and clear a frame's buffer for
// each file. It holds the largest region read so far.
template <class Raw, class Vector = std::vector<Raw>> Vector& read_buffer(IMG& img, int64_t size) {
    Vector& buf = std::get<Vector>(img.read_buffers);
    if (static_cast<int64_t>(buf.size()) < size) {
        buf = Vector{};
        buf = prg_alloc<Raw, Vector>("xy_lib", "xy_getsum region", static_cast<uint64_t>(size));
    }
    return buf;
}

template <class Frames> void sum_frames(SumCall& call, Frames pixel) {
    IMG& img = call.img;
    using Raw = typename Frames::Raw;
    std::vector<Raw>& buf = read_buffer<Raw>(img, img.reg_size);
    const int64_t first = std::max<int32_t>(1, img.beg_frame);
    const int64_t last = img.end_frame == 0 ? INT32_MAX : img.end_frame;
    const int64_t declared = declared_frames(*img.hdr);
    const XyWindow region = xy_region_window(img);
    // Whole frames of an unbinned fixed-size region go through the grouped
    // reading, and so do decoded frames whose source serves them band by band;
    // other decoded frames are decoded once each, whole.
    const bool grouped = !Frames::kText && !call.binned && !call.dump;
    const bool decoded = img.hdr->decoder != nullptr;
    FrameSource* bands = grouped && decoded ? img.hdr->source.get() : nullptr;
    const int64_t whole =
        grouped && !decoded ? std::min(declared, last_whole_frame(img, *img.hdr, sizeof(Raw))) : 0;
    // The frames the file holds now: a group that ends there seems the last.
    const int64_t available = decoded ? img.hdr->frames : whole;
    const int64_t expected = std::min<int64_t>(last, available > 0 ? available : img.hdr->frames) - first + 1;
    for (int64_t k = first; k <= last;) {
        const int64_t most = std::min({kGroupFrames, last - k + 1, static_cast<int64_t>(img.reg_height)});
        int64_t count = 0;
        if (k <= whole)
            count = std::min(most, whole - k + 1);
        else if (bands && k <= INT32_MAX)
            count = bands->band_frames(static_cast<int32_t>(k), static_cast<int32_t>(most));
        if (count > 0) {
            add_frame_group(call, buf, k, count, pixel, k + count - 1 == std::min(available, last));
            k += count;
            prg_progress("frames", k - first, expected);
        } else {
            print_frame_line(call, 0);
            // The first failed read ends the series: a missing frame, a
            // truncated one, the end of a text file, or a read error (which
            // must not be retried for ever). A successful read never ends it,
            // whatever the stream's end-of-file indicator says: the text
            // reader reads ahead in blocks.
            if (k > declared ||
                Frames::read(img, region, buf.data(), static_cast<int32_t>(k), call.dump) <= 0)
                break;
            check_frame_limit(call, 1);
            add_frame_region(call, buf.data(), k, pixel);
            if constexpr (Frames::kText)
                prg_screen(" n %lld l %lld ascii %d\n", static_cast<long long>(call.used),
                           static_cast<long long>(k), 0);
            ++call.used;
            ++k;
            prg_progress("frames", k - first, expected);
        }
    }
}

// ---------------------------------------------------------------- set-up

void prepare_geometry(IMG& img, int32_t print) {
    if (img.size == 0) {
        xy_setsize(img);
        if (print != 0) xy_prtsize(img);
    }
    if (img.size <= 0) v_fatal(kLib, " image size is zero in xy_getsum");
}

void check_pixel_type(const IMG& img, bool binned) {
    const int32_t type = img.hdr->type;
    const bool supported = type == XY_TYPE_UINT8 || type == XY_TYPE_UINT16 || type == XY_TYPE_INT32 ||
                           type == XY_TYPE_FLOAT || type == XY_TYPE_TEXT;
    if (!supported) v_fatal("xy_lib", " xy_getsum data type not suppported\n");
    if (type == XY_TYPE_UINT8 && binned) v_fatal(kLib, "binding not writen for char files\n");
    // Unbinned frames are added pixel for pixel: the region is the image.
    if (!binned && static_cast<int64_t>(img.reg_width) * img.reg_height != img.size)
        v_fatal(kLib, " xy_getsum : region %d * %d does not match the image %d * %d\n", img.reg_width,
                img.reg_height, img.nx, img.ny);
}

// Fresh planes for a new sum; the record's planes for a continued one.
void start_planes(IMG& img, bool new_sum, bool cosmic) {
    const uint64_t size = static_cast<uint64_t>(img.size);
    if (new_sum) {
        img.data = prg_alloc<int32_t>("xy_lib", "img->data", size);
        img.frame = prg_alloc<uint16_t>("xy_lib", "img->frame", size);
        if (cosmic) {
            img.cosmic.sumq = prg_alloc<double>("xy_lib", "cosmic->sumq", size);
            img.cosmic.mval = prg_alloc<int32_t>("xy_lib", "cosmic->mval", size);
            std::fill(img.cosmic.mval.begin(), img.cosmic.mval.end(), CosmicArrays::no_maximum);
            img.cosmic.mframe = prg_alloc<uint16_t>("xy_lib", "cosmic->mframe", size);
        } else {
            img.cosmic = CosmicArrays{};
        }
        img.corrected = 0;
        img.n_saturated = 0;
        img.n_invalid = 0;
        return;
    }
    if (img.data.size() != size || img.frame.size() != size)
        v_fatal(kLib, " xy_getsum : no sum of %llu pixels to continue with file '%s'\n",
                static_cast<unsigned long long>(size), img.hdr->file_name.c_str());
}

// The cosmic arrays are filled whenever the sum has them, so that they always
// describe the frames in `data`.
Planes planes_of(IMG& img) {
    Planes p{img.data.data(), img.frame.data()};
    const size_t size = static_cast<size_t>(img.size);
    if (img.cosmic.sumq.size() == size && img.cosmic.mval.size() == size &&
        img.cosmic.mframe.size() == size) {
        p.sumq = img.cosmic.sumq.data();
        p.mval = img.cosmic.mval.data();
        p.mframe = img.cosmic.mframe.data();
    }
    return p;
}

template <class Frames> Frames with_range(const IMG& img) {
    Frames frames;
    frames.range = IntegerRange(img.valid);
    return frames;
}

void run_frame_loop(SumCall& call) {
    const IMG& img = call.img;
    switch (img.hdr->type) {
    case XY_TYPE_UINT8:
        sum_frames(call, with_range<ByteFrames>(img));
        break;
    case XY_TYPE_UINT16:
        sum_frames(call, with_range<Uint16Frames>(img));
        break;
    case XY_TYPE_INT32:
        if (img.hdr->uint32_samples || img.valid.set) {
            MarkedInt32Frames frames = with_range<MarkedInt32Frames>(img);
            frames.unsigned_samples = img.hdr->uint32_samples;
            sum_frames(call, frames);
        } else {
            sum_frames(call, Int32Frames{});
        }
        break;
    case XY_TYPE_FLOAT: {
        FloatFrames frames{img.mult};
        if (img.valid.set) {
            frames.low = img.valid.low;
            frames.high = img.valid.high;
        }
        sum_frames(call, frames);
        break;
    }
    default:
        sum_frames(call, with_range<TextFrames>(img));
        break;
    }
}

void sum_into(IMG& img, std::FILE* out, int32_t print, bool new_sum, bool cosmic, bool with_info) {
    if (!img.hdr || !img.hdr->fp) v_fatal(kLib, " xy_getsum : no open frame file\n");
    prepare_geometry(img, print);
    const bool binned = img.x_bind > 1 || img.y_bind > 1;
    check_pixel_type(img, binned);
    if (img.hdr->type == XY_TYPE_FLOAT && static_cast<double>(img.mult) <= 0.001) img.mult = 1.0f;
    std::FILE* dump = (out && (print & PRINT_RAW_DUMP) && img.size <= kRawDumpLimit) ? out : nullptr;
    const int32_t f0 = new_sum ? 0 : img.frames;
    start_planes(img, new_sum, cosmic);

    SumCall call{img, out, print, dump, planes_of(img), binned, f0, with_info};
    run_frame_loop(call);

    if (call.used == 0)
        v_fatal(kLib, "no data found in file between frames %d and %d\n", img.beg_frame, img.end_frame);
    img.frames = static_cast<int32_t>(f0 + call.used);
    if (img.hdr->type == XY_TYPE_UINT16)
        img.n_saturated =
            static_cast<int32_t>(std::min<int64_t>(img.n_saturated + call.marks.saturated, INT32_MAX));
    img.n_invalid = static_cast<int32_t>(std::min<int64_t>(img.n_invalid + call.marks.invalid, INT32_MAX));
    xy_print_sum_lines(out, print, *img.hdr, call.used, call.marks.saturated);
    xy_print_invalid_line(out, print, img, call.marks.invalid);
    if (img.hdr->source && !img.hdr->source->pixel_mask().empty()) {
        const int64_t masked = xy_apply_pixel_mask(img, img.hdr->source->pixel_mask());
        if (out && (print & PRINT_INFO))
            prg_fprintf(out, "# %s : %lld pixels masked by the detector's pixel mask\n", call.file_name(),
                        static_cast<long long>(masked));
    }
    img.data_type = XY_TYPE_INT32;
    if (!with_info) return;
    if (call.info && call.used_with_info == call.used)
        call.info->finish(img);
    else
        xy_info(img, INFO_ALL);
}

// ---------------------------------------------------------------- one-frame files together
// A series of one-frame files is summed a group of files at a time as a
// many-frame file is: a band of rows of every file is read, then each block of
// pixels takes the files' frames in turn while its sums stay in cache, and
// the statistics of the sum after each file are gathered as its frame goes in.

// Puts a file in the record's place for its reader, and back when done.
class FileInPlace {
  public:
    FileInPlace(IMG& img, std::unique_ptr<HDR>& file) : img_(img), file_(file) { std::swap(img_.hdr, file_); }
    ~FileInPlace() { std::swap(img_.hdr, file_); }
    FileInPlace(const FileInPlace&) = delete;
    FileInPlace& operator=(const FileInPlace&) = delete;

  private:
    IMG& img_;
    std::unique_ptr<HDR>& file_;
};

// Takes the frame of a file out of a copy of the sum: the sum as it was before.
template <class Frames> void take_out_frame(IMG& sum, const typename Frames::Raw* raw, Frames pixel) {
    for (size_t i = 0; i < sum.data.size(); ++i) {
        if constexpr (Frames::kMarks)
            if (Frames::saturated(raw[i]) || pixel.invalid(raw[i])) continue;
        sum.data[i] =
            static_cast<int32_t>(static_cast<uint32_t>(sum.data[i]) - static_cast<uint32_t>(pixel(raw[i])));
        sum.frame[i] = static_cast<uint16_t>(sum.frame[i] - 1);
    }
}

// The statistics of the sum just after file `j`, made anew from the sum of the
// whole group with the frames of the later files taken out; for the rare sums
// whose printed mean or sigma the gathered sums cannot decide. `frame_of(f)`
// gives the region of file f's frame.
template <class Frames, class FrameOf>
XyStatistics statistics_after(const IMG& img, int64_t count, int64_t j, Frames pixel, FrameOf frame_of) {
    IMG sum;
    sum.nx = img.nx;
    sum.ny = img.ny;
    sum.size = img.size;
    sum.corrected = img.corrected;
    sum.frames = static_cast<int32_t>(img.frames - (count - 1 - j));
    sum.data = img.data;
    sum.frame = img.frame;
    for (int64_t later = j + 1; later < count; ++later)
        take_out_frame(sum, frame_of(later), pixel);
    xy_info(sum, INFO_ALL);
    return xy_statistics(sum);
}

// The files of a group whose sources decode their frames: each frame decoded
// whole into `frames`, one after the other, the files shared among the
// group's threads. Returns how many files from the first on were decoded; the
// file after them could not be on a worker thread.
template <class Raw>
int64_t decode_files(const IMG& img, std::vector<std::unique_ptr<HDR>>& files, ScratchVector<Raw>& frames) {
    const int64_t count = static_cast<int64_t>(files.size());
    const XyWindow region = xy_region_window(img);
    const int64_t failed = xy_run_pieces(files.front()->threads, count, [&](int64_t j) {
        Raw* out = frames.data() + j * img.reg_size;
        if (files[static_cast<size_t>(j)]->source->decode(1, region, out) != region.height)
            throw std::runtime_error("short frame");
    });
    return failed < 0 ? count : failed;
}

// The statistics of a run of rows of a group's files: an accumulator per file,
// fed the run's blocks once that file's frame is in them, and the saturated
// pixels each file met there.
struct GroupRun {
    std::vector<std::unique_ptr<XyInfoAccumulator>> info;
    std::vector<int64_t> saturated;
};

// A run of the sums after each of `count` files from frame f0 on, from pixel
// `first` on.
GroupRun group_run(IMG& img, int32_t f0, int64_t count, int64_t first) {
    GroupRun run;
    const int32_t frames = img.frames;
    for (int64_t j = 0; j < count; ++j) {
        img.frames = static_cast<int32_t>(f0 + j + 1);
        run.info.push_back(std::make_unique<XyInfoAccumulator>(img, first));
    }
    img.frames = frames;
    run.saturated.assign(static_cast<size_t>(count), 0);
    return run;
}

// Takes the later run's statistics and saturated pixels after this one's.
void append_run(GroupRun& run, const GroupRun& later) {
    for (size_t j = 0; j < run.info.size(); ++j) {
        run.info[j]->append(*later.info[j]);
        run.saturated[j] += later.saturated[j];
    }
}

// Adds rows [r0, r0 + rows) of the files' frames block by block, each block
// taking the files in turn while its sums stay in cache; `band_of_file(j)`
// gives file j's values of those rows.
template <class Frames, class BandOfFile>
void add_group_rows(const IMG& img, const Planes& planes, int64_t r0, int64_t rows, int32_t f0, Frames pixel,
                    BandOfFile band_of_file, GroupRun& run) {
    const int64_t width = img.reg_width;
    const int64_t band = rows * width;
    for (int64_t b = 0; b < band; b += kBlockPixels) {
        const int64_t n = std::min(kBlockPixels, band - b);
        const Planes block = planes.at(r0 * width + b);
        for (size_t j = 0; j < run.info.size(); ++j) {
            const auto index = static_cast<uint16_t>(Frames::kIndexInSeries ? f0 + j : 0);
            const int64_t saturated = add_values(block, band_of_file(j) + b, n, index, pixel).saturated;
            run.saturated[j] += saturated;
            if (j > 0 && saturated == 0)
                run.info[j]->add_one_frame_on(r0 * width + b, n, *run.info[j - 1]);
            else
                run.info[j]->add(r0 * width + b, n);
        }
    }
}

// Stored files are read band by band, a band of every file at a time: a group
// of more files than the region has rows needs more room than one frame.
template <class Frames>
GroupRun add_stored_files(IMG& img, std::vector<std::unique_ptr<HDR>>& files, int64_t count, Frames pixel) {
    using Raw = typename Frames::Raw;
    const int32_t f0 = img.frames;
    const Planes planes = planes_of(img);
    const int64_t band_rows = std::max<int64_t>(1, img.reg_height / count);
    Raw* buf = read_buffer<Raw>(img, count * band_rows * img.reg_width).data();
    GroupRun run = group_run(img, f0, count, 0);
    for_each_band(img, band_rows, [&](const Band& band_of) {
        const int64_t rows = band_of.window.height;
        const int64_t band = rows * img.reg_width;
        for (int64_t j = 0; j < count; ++j) {
            const FileInPlace in_place(img, files[static_cast<size_t>(j)]);
            if (Frames::read(img, band_of.window, buf + j * band, 1, nullptr) != rows)
                v_fatal(kLib, " xy_getsum : file '%s' changed while it was read\n",
                        img.hdr->file_name.c_str());
        }
        add_group_rows(
            img, planes, band_of.first_row, rows, f0, pixel, [&](size_t j) { return buf + j * band; }, run);
    });
    return run;
}

// Decoded frames, all in memory, are added in runs of rows shared among the
// threads; each run gathers statistics of its own, joined in run order (exact
// sums: the same for any number of threads).
constexpr int64_t kGroupRunRows = 32;

template <class Frames>
GroupRun add_decoded_files(IMG& img, int64_t count, Frames pixel, const typename Frames::Raw* decoded,
                           int32_t threads) {
    const int32_t f0 = img.frames;
    const Planes planes = planes_of(img);
    const int64_t width = img.reg_width;
    const int64_t runs = (img.reg_height + kGroupRunRows - 1) / kGroupRunRows;
    std::vector<GroupRun> parts;
    for (int64_t r = 0; r < runs; ++r)
        parts.push_back(group_run(img, f0, count, r * kGroupRunRows * width));
    const int64_t failed = xy_run_pieces(threads, runs, [&](int64_t r) {
        const int64_t r0 = r * kGroupRunRows;
        add_group_rows(
            img, planes, r0, std::min(kGroupRunRows, img.reg_height - r0), f0, pixel,
            [&](size_t j) { return decoded + static_cast<int64_t>(j) * img.reg_size + r0 * width; },
            parts[static_cast<size_t>(r)]);
    });
    if (failed >= 0)
        v_fatal(kLib, " xy_getsum : the frames of %lld files could not be summed on %d threads\n",
                static_cast<long long>(count), threads);
    for (int64_t r = 1; r < runs; ++r)
        append_run(parts.front(), parts[static_cast<size_t>(r)]);
    return std::move(parts.front());
}

// Adds the files' frames and gives each file its saturated pixels and the
// statistics of the sum after it. The frames of decoded files are in
// `decoded`, one region after the other; stored files are read here.
template <class Frames>
void add_file_group(IMG& img, std::vector<std::unique_ptr<HDR>>& files, int64_t count, Frames pixel,
                    const typename Frames::Raw* decoded, std::vector<XyFileSum>& sums) {
    using Raw = typename Frames::Raw;
    const int32_t f0 = img.frames;
    const GroupRun run = decoded ? add_decoded_files(img, count, pixel, decoded, files.front()->threads)
                                 : add_stored_files(img, files, count, pixel);
    for (int64_t j = 0; j < count; ++j) {
        img.frames = static_cast<int32_t>(f0 + j + 1);
        XyFileSum& sum = sums[static_cast<size_t>(j)];
        sum.saturated = run.saturated[static_cast<size_t>(j)];
        sum.decided = run.info[static_cast<size_t>(j)]->finish_from_sums(img);
        if (sum.decided) sum.statistics = xy_statistics(img);
    }
    img.frames = static_cast<int32_t>(f0 + count);
    auto frame_of = [&](int64_t later) -> const Raw* {
        if (decoded) return decoded + later * img.reg_size;
        Raw* frame = read_buffer<Raw>(img, img.reg_size).data();
        const FileInPlace in_place(img, files[static_cast<size_t>(later)]);
        if (Frames::read(img, xy_region_window(img), frame, 1, nullptr) <= 0)
            v_fatal(kLib, " xy_getsum : file '%s' changed while it was read\n", img.hdr->file_name.c_str());
        return frame;
    };
    for (int64_t j = 0; j < count; ++j)
        if (!sums[static_cast<size_t>(j)].decided)
            sums[static_cast<size_t>(j)].statistics = statistics_after(img, count, j, pixel, frame_of);
}

// Sums the group's files, or those before a decoded file a worker could not
// decode; returns how many.
template <class Frames>
int64_t sum_file_group(IMG& img, std::vector<std::unique_ptr<HDR>>& files, Frames pixel,
                       std::vector<XyFileSum>& sums) {
    using Raw = typename Frames::Raw;
    int64_t count = static_cast<int64_t>(files.size());
    const Raw* decoded = nullptr;
    if (files.front()->decoder) {
        ScratchVector<Raw>& frames = read_buffer<Raw, ScratchVector<Raw>>(img, count * img.reg_size);
        count = decode_files(img, files, frames);
        decoded = frames.data();
    }
    sums.resize(static_cast<size_t>(count));
    if (count > 0) add_file_group(img, files, count, pixel, decoded, sums);
    return count;
}

} // namespace

std::vector<int32_t>& xy_getsum(IMG& img, std::FILE* out, int32_t print, bool new_sum, bool cosmic) {
    sum_into(img, out, print, new_sum, cosmic, false);
    return img.data;
}

std::vector<int32_t>& xy_getsum_info(IMG& img, std::FILE* out, int32_t print, bool new_sum, bool cosmic) {
    sum_into(img, out, print, new_sum, cosmic, true);
    return img.data;
}

namespace {
// Decoded one-frame files join a group when their sources decode on any
// thread and the group has threads to share them among: at most two decoded
// frames a thread are held at once.
bool decoded_file_joins(const HDR& file, int64_t position) {
    const FrameSource* source = file.source.get();
    return source && source->decodes_apart() && source->pixel_mask().empty() && file.frames == 1 &&
           file.threads > 1 && position < std::min<int64_t>(kMaxDecodedFiles, 2 * int64_t{file.threads});
}
} // namespace

bool xy_getsum_files_take(const IMG& img, const HDR& file, int32_t type, int64_t position) {
    const bool simple_type = file.type == XY_TYPE_UINT16 || file.type == XY_TYPE_INT32;
    const bool one_frame_asked = std::max<int32_t>(1, img.beg_frame) == 1 && img.end_frame >= 0;
    const bool unbinned_image = img.x_bind <= 1 && img.y_bind <= 1 && img.size > 0 &&
                                int64_t{img.reg_width} * img.reg_height == img.size &&
                                img.data.size() == static_cast<size_t>(img.size) &&
                                img.frame.size() == static_cast<size_t>(img.size);
    if (!simple_type || file.type != type || file.uint32_samples || img.valid.set || !one_frame_asked ||
        !unbinned_image || file.dim_x != img.dim_x || file.dim_y != img.dim_y ||
        img.frames + position + 1 > kMaxFrames)
        return false;
    if (file.decoder) return decoded_file_joins(file, position);
    const int64_t pixel_bytes = file.type == XY_TYPE_UINT16 ? 2 : 4;
    return declared_frames(file) >= 1 && last_whole_frame(img, file, pixel_bytes) == 1;
}

std::vector<XyFileSum> xy_getsum_files(IMG& img, std::vector<std::unique_ptr<HDR>>& files) {
    std::vector<XyFileSum> sums(files.size());
    if (files.empty()) return sums;
    const bool decoded = files.front() && files.front()->decoder;
    for (const auto& file : files)
        if (!file || !xy_getsum_files_take(img, *file, files.front()->type, 0) ||
            (file->decoder != nullptr) != decoded)
            v_fatal(kLib, " xy_getsum_files : file '%s' is not a one-frame file of the sum in progress\n",
                    file ? file->file_name.c_str() : "");
    if (files.front()->type == XY_TYPE_UINT16)
        sum_file_group(img, files, Uint16Frames{}, sums);
    else
        sum_file_group(img, files, Int32Frames{}, sums);
    if (sums.empty()) return sums;
    if (files.front()->type == XY_TYPE_UINT16) {
        int64_t saturated = img.n_saturated;
        for (const XyFileSum& s : sums)
            saturated += s.saturated;
        img.n_saturated = static_cast<int32_t>(std::min<int64_t>(saturated, INT32_MAX));
    }
    img.data_type = XY_TYPE_INT32;
    return sums;
}

void xy_print_invalid_line(std::FILE* out, int32_t print, const IMG& img, int64_t invalid) {
    if (!out || !(print & PRINT_INFO)) return;
    if (invalid > 0 || img.valid.set)
        prg_fprintf(out, "# %lld invalid pixels found\n", static_cast<long long>(invalid));
}

void xy_print_sum_lines(std::FILE* out, int32_t print, const HDR& file, int64_t used, int64_t saturated) {
    if (!out || !(print & PRINT_INFO)) return;
    prg_fprintf(out, "# %s : %lld frames used\n", file.file_name.c_str(), static_cast<long long>(used));
    if (file.type == XY_TYPE_UINT16)
        prg_fprintf(out, "# %lld saturated pixels found\n", static_cast<long long>(saturated));
}
