// TIFF files through libtiff: which files need it, the checks of every page,
// the header entries, and a frame's window decoded strip by strip or tile by
// tile. libtiff's messages are caught and turned into one-line reports.
#include "tif_lib.hpp"

#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>

namespace {

constexpr const char* kOrigin = "../xy32lib/tif_lib";
constexpr uint32_t kMaxSide = 65535;
constexpr tmsize_t kMaxBlockBytes = tmsize_t{1} << 30; // one strip or tile

enum : uint16_t {
    TAG_COMPRESSION = 259,
    TAG_TILE_WIDTH = 322,
    TAG_TILE_LENGTH = 323,
    TAG_TILE_OFFSETS = 324,
    TAG_TILE_BYTE_COUNTS = 325,
};

// ---------------------------------------------------------------- which files

struct HeaderReader {
    const GelBytes& file;
    bool big_endian = false;

    bool u16(uint64_t pos, uint32_t& v) const {
        unsigned char b[2];
        if (!file.read(pos, b, 2)) return false;
        v = big_endian ? (b[0] << 8 | b[1]) : (b[1] << 8 | b[0]);
        return true;
    }
    bool u32(uint64_t pos, uint32_t& v) const {
        unsigned char b[4];
        if (!file.read(pos, b, 4)) return false;
        v = big_endian ? (uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3])
                       : (uint32_t{b[3]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[1]} << 8 | b[0]);
        return true;
    }
};

// ---------------------------------------------------------------- samples

enum class Sample { U8, I8, U16, I16, U32, I32, F32 };

bool sample_kind(uint16_t bits, uint16_t format, Sample& s) {
    static const struct {
        uint16_t bits, format;
        Sample sample;
    } kKinds[] = {{8, SAMPLEFORMAT_UINT, Sample::U8},    {8, SAMPLEFORMAT_INT, Sample::I8},
                  {16, SAMPLEFORMAT_UINT, Sample::U16},  {16, SAMPLEFORMAT_INT, Sample::I16},
                  {32, SAMPLEFORMAT_UINT, Sample::U32},  {32, SAMPLEFORMAT_INT, Sample::I32},
                  {32, SAMPLEFORMAT_IEEEFP, Sample::F32}};
    for (const auto& k : kKinds)
        if (k.bits == bits && k.format == format) {
            s = k.sample;
            return true;
        }
    return false;
}

int32_t pixel_type(Sample s) {
    switch (s) {
    case Sample::U8:
        return XY_TYPE_UINT8;
    case Sample::U16:
        return XY_TYPE_UINT16;
    case Sample::F32:
        return XY_TYPE_FLOAT;
    default:
        return XY_TYPE_INT32; // signed 8/16/32 bits, unsigned 32 bits
    }
}

template <class T> bool is_pixel_type_of(Sample s) {
    const int32_t type = pixel_type(s);
    if constexpr (std::is_same_v<T, uint8_t>) return type == XY_TYPE_UINT8;
    if constexpr (std::is_same_v<T, uint16_t>) return type == XY_TYPE_UINT16;
    if constexpr (std::is_same_v<T, int32_t>) return type == XY_TYPE_INT32;
    return type == XY_TYPE_FLOAT;
}

template <class S> S sample_at(const uint8_t* src, int64_t i) {
    S v;
    std::memcpy(&v, src + i * static_cast<int64_t>(sizeof(S)), sizeof v);
    return v;
}

// Copies n samples of kind `s` into pixels of the record's type T.
template <class T> void convert(const uint8_t* src, Sample s, int64_t n, T* dst) {
    for (int64_t i = 0; i < n; ++i) {
        switch (s) {
        case Sample::U8:
            dst[i] = static_cast<T>(src[i]);
            break;
        case Sample::I8:
            dst[i] = static_cast<T>(static_cast<int8_t>(src[i]));
            break;
        case Sample::U16:
            dst[i] = static_cast<T>(sample_at<uint16_t>(src, i));
            break;
        case Sample::I16:
            dst[i] = static_cast<T>(sample_at<int16_t>(src, i));
            break;
        case Sample::U32:
        case Sample::I32:
            dst[i] = static_cast<T>(sample_at<int32_t>(src, i)); // unsigned range checked after
            break;
        case Sample::F32:
            dst[i] = static_cast<T>(sample_at<float>(src, i));
            break;
        }
    }
}

const char* compression_name(uint16_t c) {
    switch (c) {
    case COMPRESSION_NONE:
        return "None";
    case COMPRESSION_LZW:
        return "LZW";
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        return "Deflate";
    case COMPRESSION_PACKBITS:
        return "PackBits";
    case COMPRESSION_ZSTD:
        return "ZSTD";
    case COMPRESSION_LZMA:
        return "LZMA";
    default:
        return nullptr;
    }
}

// ---------------------------------------------------------------- the pages

struct PageLayout {
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 1, format = SAMPLEFORMAT_UINT, photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t compression = COMPRESSION_NONE;
    bool tiled = false;
    uint32_t tile_width = 0, tile_length = 0, rows_per_strip = 0;
};

int report_error(TIFF*, void* user_data, const char* module, const char* fmt, va_list ap) {
    auto* text = static_cast<std::string*>(user_data);
    *text = std::string(module ? module : "libtiff") + ": " + prg_vformat(fmt, ap);
    return 1;
}
int ignore_warning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

} // namespace

TIFF* tif_open_reporting(const std::string& file_name, const char* mode, std::string& error) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, report_error, &error);
    TIFFOpenOptionsSetWarningHandlerExtR(options, ignore_warning, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxBlockBytes);
    TIFF* tif = TIFFOpenExt(file_name.c_str(), mode, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

namespace {

class TiffPages final : public FrameSource {
  public:
    explicit TiffPages(const std::string& file_name);

    int32_t decode(int32_t frame, const XyWindow& w, uint8_t* buf) override { return read(frame, w, buf); }
    int32_t decode(int32_t frame, const XyWindow& w, uint16_t* buf) override { return read(frame, w, buf); }
    int32_t decode(int32_t frame, const XyWindow& w, int32_t* buf) override { return read(frame, w, buf); }
    int32_t decode(int32_t frame, const XyWindow& w, float* buf) override { return read(frame, w, buf); }
    // Each file has its own libtiff handle, which reports to its own handler.
    bool decodes_apart() const override { return true; }

    // The geometry that a hybrid-pixel detector's description gives.
    HeaderGeometry header_geometry() const override;
    // Called on the first page, before any frame is decoded.
    void describe(HDR& hdr) const;
    const PageLayout& layout() const { return first_; }
    int32_t pages() const { return pages_; }
    Sample sample() const { return sample_; }

  private:
    PageLayout read_page_layout() const;
    void check_page(const PageLayout& page, int32_t index) const;
    [[noreturn]] void fail(const std::string& what) const {
        v_fatal(kOrigin, " %s of '%s' : %s\n", what.c_str(), file_name_.c_str(),
                error_.empty() ? "libtiff error" : error_.c_str());
    }
    void go_to_page(int32_t frame);
    uint8_t* read_block(uint32_t index, int32_t frame);
    template <class T> int32_t read(int32_t frame, const XyWindow& w, T* buf);
    template <class T>
    void copy_block(const uint8_t* block, uint32_t block_width, uint32_t bx, uint32_t by, uint32_t block_rows,
                    const XyWindow& w, T* buf) const;

    std::string file_name_;
    std::string error_; // libtiff's last error message
    // Closed also when the constructor stops the run half way.
    std::unique_ptr<TIFF, void (*)(TIFF*)> handle_{nullptr, TIFFClose};
    TIFF* tif_ = nullptr;
    PageLayout first_;
    Sample sample_ = Sample::U16;
    int32_t pages_ = 0;
    std::vector<uint8_t> block_; // one strip or tile, decoded
    tmsize_t block_bytes_ = 0;
};

TiffPages::TiffPages(const std::string& file_name) : file_name_(file_name) {
    handle_.reset(tif_open_reporting(file_name, "r", error_));
    tif_ = handle_.get();
    if (!tif_) fail("cannot open as TIFF");
    // Every page is one frame: all must have the first one's size and samples.
    do {
        const PageLayout page = read_page_layout();
        check_page(page, pages_);
        if (pages_ == 0) {
            first_ = page;
            sample_kind(page.bits, page.format, sample_);
        }
        if (pages_ == INT32_MAX) v_fatal(kOrigin, " too many pages in '%s'\n", file_name_.c_str());
        ++pages_;
    } while (TIFFReadDirectory(tif_));
    if (!error_.empty()) fail("cannot read the page list");
    if (!TIFFSetDirectory(tif_, 0)) fail("cannot read page 1");
    block_bytes_ = first_.tiled ? TIFFTileSize(tif_) : TIFFStripSize(tif_);
}

PageLayout TiffPages::read_page_layout() const {
    PageLayout p;
    TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &p.width);
    TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &p.height);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_BITSPERSAMPLE, &p.bits);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLESPERPIXEL, &p.samples);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLEFORMAT, &p.format);
    TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &p.photometric);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_COMPRESSION, &p.compression);
    p.tiled = TIFFIsTiled(tif_) != 0;
    if (p.tiled) {
        TIFFGetField(tif_, TIFFTAG_TILEWIDTH, &p.tile_width);
        TIFFGetField(tif_, TIFFTAG_TILELENGTH, &p.tile_length);
    } else {
        TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &p.rows_per_strip);
        p.rows_per_strip = std::max<uint32_t>(1, std::min(p.rows_per_strip, p.height));
    }
    return p;
}

void TiffPages::check_page(const PageLayout& p, int32_t index) const {
    const char* name = file_name_.c_str();
    if (p.samples != 1) v_fatal(kOrigin, " colour TIFF (%u samples per pixel) not supported\n", p.samples);
    if (p.photometric > PHOTOMETRIC_MINISBLACK)
        v_fatal(kOrigin, " colour or palette TIFF (PhotometricInterpretation %u) not supported\n",
                p.photometric);
    Sample s;
    if (!sample_kind(p.bits, p.format, s))
        v_fatal(kOrigin, " %u-bit samples of SampleFormat %u in '%s' not supported\n", p.bits, p.format,
                name);
    if (!TIFFIsCODECConfigured(p.compression))
        v_fatal(kOrigin, " compression %u of '%s' not available in this libtiff\n", p.compression, name);
    if (p.width == 0 || p.height == 0 || p.width > kMaxSide || p.height > kMaxSide)
        v_fatal(kOrigin, " image of %u x %u pixels in '%s' not supported\n", p.width, p.height, name);
    if (p.tiled && (p.tile_width == 0 || p.tile_length == 0))
        v_fatal(kOrigin, " tiles of %u x %u pixels in '%s'\n", p.tile_width, p.tile_length, name);
    if (index == 0) return;
    if (p.width != first_.width || p.height != first_.height || p.bits != first_.bits ||
        p.format != first_.format)
        v_fatal(kOrigin, " page %d of '%s' differs from page 1 in size or samples\n", index + 1, name);
}

void TiffPages::go_to_page(int32_t frame) {
    if (TIFFCurrentDirectory(tif_) == static_cast<tdir_t>(frame - 1)) return;
    if (!TIFFSetDirectory(tif_, static_cast<tdir_t>(frame - 1)))
        fail(prg_format("cannot read page %d", frame));
    // A page may be laid out in other strips or tiles than the first.
    const PageLayout page = read_page_layout();
    check_page(page, frame - 1);
    first_.tiled = page.tiled;
    first_.tile_width = page.tile_width;
    first_.tile_length = page.tile_length;
    first_.rows_per_strip = page.rows_per_strip;
    block_bytes_ = page.tiled ? TIFFTileSize(tif_) : TIFFStripSize(tif_);
}

// One strip or tile, decoded into the reused block buffer.
uint8_t* TiffPages::read_block(uint32_t index, int32_t frame) {
    if (block_bytes_ <= 0 || block_bytes_ > kMaxBlockBytes)
        fail(prg_format("no readable strips in page %d", frame));
    if (block_.size() < static_cast<size_t>(block_bytes_))
        block_ = prg_alloc<uint8_t>("tif_lib", "strip", static_cast<uint64_t>(block_bytes_));
    error_.clear();
    const tmsize_t got = first_.tiled ? TIFFReadEncodedTile(tif_, index, block_.data(), block_bytes_)
                                      : TIFFReadEncodedStrip(tif_, index, block_.data(), block_bytes_);
    if (got < 0 || !error_.empty())
        fail(prg_format("cannot decode %s %u of page %d", first_.tiled ? "tile" : "strip", index, frame));
    // A short last strip holds fewer rows; anything shorter than its rows is damaged.
    if (got < block_bytes_) std::fill(block_.begin() + got, block_.begin() + block_bytes_, uint8_t{0});
    return block_.data();
}

// Copies the part of a decoded block (its top-left pixel at bx, by; rows of
// `block_width` samples) that lies inside the window.
template <class T>
void TiffPages::copy_block(const uint8_t* block, uint32_t block_width, uint32_t bx, uint32_t by,
                           uint32_t block_rows, const XyWindow& w, T* buf) const {
    const int64_t bytes = first_.bits / 8;
    const int64_t x_from = std::max<int64_t>(w.x0, bx),
                  x_to = std::min<int64_t>(w.x0 + w.width, bx + block_width);
    const int64_t y_from = std::max<int64_t>(w.y0, by),
                  y_to = std::min<int64_t>(w.y0 + w.height, by + block_rows);
    for (int64_t y = y_from; y < y_to; ++y) {
        const uint8_t* src = block + ((y - by) * block_width + (x_from - bx)) * bytes;
        convert(src, sample_, x_to - x_from, buf + (y - w.y0) * w.width + (x_from - w.x0));
    }
}

template <class T> int32_t TiffPages::read(int32_t frame, const XyWindow& w, T* buf) {
    if (!is_pixel_type_of<T>(sample_)) xy_decoder_wrong_type(kOrigin, file_name_);
    if (frame < 1 || frame > pages_) return 0;
    if (w.x0 < 0 || w.y0 < 0 || w.width <= 0 || w.height <= 0 || uint64_t(w.x0) + w.width > first_.width ||
        uint64_t(w.y0) + w.height > first_.height)
        v_fatal(kOrigin, " window %d+%d * %d+%d outside the pages of '%s'\n", w.x0, w.width, w.y0, w.height,
                file_name_.c_str());
    go_to_page(frame);
    const uint32_t last_row = static_cast<uint32_t>(w.y0 + w.height - 1);
    if (first_.tiled) {
        const uint32_t tw = first_.tile_width, tl = first_.tile_length;
        for (uint32_t ty = static_cast<uint32_t>(w.y0) / tl * tl; ty <= last_row; ty += tl)
            for (uint32_t tx = static_cast<uint32_t>(w.x0) / tw * tw; tx < uint32_t(w.x0 + w.width); tx += tw)
                copy_block(read_block(TIFFComputeTile(tif_, tx, ty, 0, 0), frame), tw, tx, ty, tl, w, buf);
    } else {
        const uint32_t rps = first_.rows_per_strip;
        for (uint32_t sy = static_cast<uint32_t>(w.y0) / rps * rps; sy <= last_row; sy += rps)
            copy_block(read_block(TIFFComputeStrip(tif_, sy, 0), frame), first_.width, 0, sy, rps, w, buf);
    }
    if constexpr (std::is_same_v<T, int32_t>)
        if (sample_ == Sample::U32)
            for (int64_t i = 0; i < xy_window_pixels(w); ++i)
                if (buf[i] < 0 && buf[i] != kUint32Mark)
                    v_fatal(kOrigin,
                            " pixel (%lld, %lld) of page %d of '%s' lies beyond the 32-bit pixel range\n",
                            static_cast<long long>(w.x0 + i % w.width),
                            static_cast<long long>(w.y0 + i / w.width), frame, file_name_.c_str());
    return w.height;
}

// Text tags of the first page, cut to one line.
void put_text_tag(HDR& hdr, TIFF* tif, uint32_t tag) {
    const char* text = nullptr;
    if (!TIFFGetField(tif, tag, &text) || !text) return;
    std::string value(text);
    value = value.substr(0, std::min<size_t>(value.find_first_of("\r\n"), 131));
    xy_kvfstr(hdr, ifd_tag_name(tag), value);
}

HeaderGeometry TiffPages::header_geometry() const {
    HeaderGeometry g;
    const char* text = nullptr;
    if (TIFFGetField(tif_, TIFFTAG_IMAGEDESCRIPTION, &text) && text) xy_header_text(text, g);
    return g;
}

void TiffPages::describe(HDR& hdr) const {
    xy_standard_entries(hdr, nullptr);
    const char* name = compression_name(first_.compression);
    xy_kvfstr(hdr, "Compression", name ? name : std::to_string(first_.compression));
    xy_kvfstr(hdr, "BitsPerSample", std::to_string(first_.bits));
    xy_kvfstr(hdr, "SampleFormat", std::to_string(first_.format));
    if (first_.tiled) xy_kvfstr(hdr, "Tiles", prg_format("%u x %u", first_.tile_width, first_.tile_length));
    if (TIFFIsBigTIFF(tif_)) xy_kvfstr(hdr, "BigTIFF", "yes");
    for (uint32_t tag : {TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE, TIFFTAG_SOFTWARE, TIFFTAG_DATETIME})
        put_text_tag(hdr, tif_, tag);
}

} // namespace

bool tif_needs_library(const GelBytes& file) {
    unsigned char mark[2];
    if (!file.read(0, mark, 2)) return false;
    HeaderReader r{file, mark[0] == 'M' && mark[1] == 'M'};
    if (!r.big_endian && !(mark[0] == 'I' && mark[1] == 'I')) return false;
    uint32_t magic = 0, ifd = 0, n = 0;
    if (!r.u16(2, magic)) return false;
    if (magic == 43) return true; // BigTIFF
    if (magic != 42 || !r.u32(4, ifd) || !r.u16(ifd, n) || n == 0) return false;
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t entry = uint64_t{ifd} + 2 + 12 * uint64_t{i};
        uint32_t tag = 0, type = 0, value = 0;
        if (!r.u16(entry, tag) || !r.u16(entry + 2, type)) return false;
        if (tag >= TAG_TILE_WIDTH && tag <= TAG_TILE_BYTE_COUNTS) return true;
        const bool read = type == 3 ? r.u16(entry + 8, value) : r.u32(entry + 8, value);
        if (tag == TAG_COMPRESSION && read && value != COMPRESSION_NONE) return true;
    }
    uint32_t next = 0;
    return r.u32(uint64_t{ifd} + 2 + 12 * uint64_t{n}, next) && next != 0;
}

std::unique_ptr<HDR> tif_open(const std::string& name, const std::string& program, bool as_named,
                              const XyReadOptions& /*reading*/) {
    const std::string file_name = xy_module_file_name(name, {".gel", ".tif"}, as_named);
    FileHandle fp = xy_open_frame_file(kOrigin, "gel", program, file_name, false);
    auto pages = std::make_unique<TiffPages>(file_name);
    TiffPages& described = *pages;
    std::unique_ptr<HDR> hdr = xy_source_record(
        std::move(pages), described.layout().width, described.layout().height, described.pages(),
        pixel_type(described.sample()), XY_FORMAT_LIBTIFF, file_name, std::move(fp));
    described.describe(*hdr);
    hdr->uint32_samples = described.sample() == Sample::U32;
    return hdr;
}

std::unique_ptr<HDR> tif_open_any(const std::string& name, const std::string& program, bool as_named,
                                  const XyReadOptions& reading) {
    const std::string file_name = xy_module_file_name(name, {".gel", ".tif"}, as_named);
    bool library = false;
    if (FileHandle fp{std::fopen(file_name.c_str(), "rb")})
        library = tif_needs_library(GelFileBytes(fp.get()));
    errno = 0;
    return library ? tif_open(name, program, as_named, reading) : gel_open(name, program, as_named, reading);
}

namespace {
bool looks_like_tiff(const std::string& head) {
    return gel_format.content(head);
}
} // namespace

// Files opened by the built-in reader have no frame decoder; those opened
// through libtiff get theirs from tif_open.
const XyFormat tiff_format = {"GEL/TIFF", {".gel", ".tif", ".tiff"}, looks_like_tiff, "gel", tif_open_any,
                              nullptr};
