// GEL and TIFF images. Reading describes a file for the shared raw readers
// (dimensions, first pixel, pixel type, byte order) and refuses every layout
// those readers would misread; writing produces one uncompressed strip of 8,
// 16 or 32 bits in host byte order.
#include "gel_lib.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

const char* const kOrigin = "../xy32lib/gel_lib";

constexpr uint16_t kMaxEntries = 100;
// Longest ASCII value kept in a header entry (the value buffer held 132 bytes).
constexpr size_t kAsciiValueMax = 131;

enum : uint16_t {
    TAG_IMAGE_WIDTH = 0x100,
    TAG_IMAGE_LENGTH = 0x101,
    TAG_BITS_PER_SAMPLE = 0x102,
    TAG_COMPRESSION = 0x103,
    TAG_PHOTOMETRIC = 0x106,
    TAG_IMAGE_DESCRIPTION = 0x10E,
    TAG_STRIP_OFFSETS = 0x111,
    TAG_SAMPLES_PER_PIXEL = 0x115,
    TAG_ROWS_PER_STRIP = 0x116,
    TAG_STRIP_BYTE_COUNTS = 0x117,
    TAG_MIN_SAMPLE_VALUE = 0x118,
    TAG_MAX_SAMPLE_VALUE = 0x119,
    TAG_X_RESOLUTION = 0x11A,
    TAG_Y_RESOLUTION = 0x11B,
    TAG_RESOLUTION_UNIT = 0x128,
    TAG_SAMPLE_FORMAT = 0x153,
};

// Layout of the files written: header (8 bytes), entry count, 13 entries, next
// IFD offset, a 100-byte area holding the resolutions, then the pixels.
constexpr uint32_t kWrittenIfdOffset = 8;
constexpr int kWrittenEntries = 13;
constexpr uint32_t kRationalArea = 170;
constexpr size_t kRationalAreaBytes = 100;
constexpr uint32_t kPixelOffset = 270;

// ---------------------------------------------------------------- reading fields

// One IFD entry as stored: its 4-byte value field kept raw, decoded on demand
// in the file's byte order.
struct IfdEntry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    unsigned char field[4] = {0, 0, 0, 0};
    XyByteOrder order = XyByteOrder::unset;
};

// The first IFD of a file and the byte order of its numbers.
struct Ifd {
    XyByteOrder order = XyByteOrder::unset;
    std::vector<IfdEntry> entries;
};

uint32_t field_at(const GelBytes& file, uint64_t pos, size_t width, XyByteOrder order, const char* what) {
    unsigned char bytes[4];
    if (!file.read(pos, bytes, width))
        v_fatal(kOrigin, " %s at byte %llu lies beyond the end of the file\n", what,
                static_cast<unsigned long long>(pos));
    return width == 2 ? xy_field16(bytes, order) : xy_field32(bytes, order);
}

XyByteOrder byte_order_of(const GelBytes& file) {
    unsigned char head[4];
    if (!file.read(0, head, 2) || !((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M')))
        v_fatal(kOrigin, " invalid gel file ID nor 'MM' neither 'II'\n");
    if (!file.read(2, head + 2, 2)) v_fatal(kOrigin, " invalid gel file key not 0x2a\n");
    // The number 42 tells the order its bytes were written in.
    if (head[2] == 0 && head[3] == 42) return XyByteOrder::high_first;
    if (head[2] == 42 && head[3] == 0) return XyByteOrder::low_first;
    if ((head[2] == 0 && head[3] == 43) || (head[2] == 43 && head[3] == 0))
        v_fatal(kOrigin, " BigTIFF files are not supported\n");
    v_fatal(kOrigin, " invalid gel file key not 0x2a\n");
}

// Checks the file header and returns the first IFD, its entries read in one
// piece.
Ifd read_ifd(const GelBytes& file) {
    const XyByteOrder order = byte_order_of(file);
    const uint32_t ifd = field_at(file, 4, 4, order, "the IFD offset");
    const uint16_t n = static_cast<uint16_t>(field_at(file, ifd, 2, order, "the IFD"));
    if (n == 0) v_fatal(kOrigin, " no tags found in the file");
    if (n > kMaxEntries) v_fatal(kOrigin, " more than 100 tags found in the file");
    std::vector<unsigned char> raw(static_cast<size_t>(n) * 12);
    if (!file.read(static_cast<uint64_t>(ifd) + 2, raw.data(), raw.size()))
        v_fatal(kOrigin, " the %u IFD entries at byte %u run past the end of the file\n", n, ifd);
    Ifd result{order, std::vector<IfdEntry>(n)};
    for (size_t i = 0; i < n; ++i) {
        const unsigned char* e = raw.data() + 12 * i;
        IfdEntry& entry = result.entries[i];
        entry.tag = static_cast<uint16_t>(xy_field16(e, order));
        entry.type = static_cast<uint16_t>(xy_field16(e + 2, order));
        entry.count = xy_field32(e + 4, order);
        std::memcpy(entry.field, e + 8, 4);
        entry.order = order;
    }
    return result;
}

uint16_t decode16(const IfdEntry& e, const unsigned char* p) {
    return xy_field16(p, e.order);
}
uint32_t decode32(const IfdEntry& e, const unsigned char* p) {
    return xy_field32(p, e.order);
}

size_t type_size(uint16_t type) {
    switch (type) {
    case TIF_ASCII:
        return 1;
    case TIF_SHORT:
        return 2;
    case TIF_LONG:
        return 4;
    case TIF_RATIONAL:
        return 8;
    default:
        return 0;
    }
}

bool values_inline(const IfdEntry& e) {
    return static_cast<uint64_t>(e.count) * type_size(e.type) <= 4;
}

// File position of an entry's out-of-line values, checked against the file.
uint64_t values_offset(const GelBytes& file, const IfdEntry& e) {
    const uint64_t offset = decode32(e, e.field);
    const uint64_t bytes = static_cast<uint64_t>(e.count) * type_size(e.type);
    if (offset > file.size() || bytes > file.size() - offset)
        v_fatal(kOrigin, " values of %s (%llu bytes at byte %llu) lie beyond the end of the file\n",
                ifd_tag_name(e.tag).c_str(), static_cast<unsigned long long>(bytes),
                static_cast<unsigned long long>(offset));
    return offset;
}

// The first `n` values of a SHORT or LONG entry, wherever they are stored;
// their whole extent is checked against the file before anything is read.
std::vector<uint32_t> unsigned_values(const GelBytes& file, const IfdEntry& e, uint32_t n) {
    if (e.type != TIF_SHORT && e.type != TIF_LONG)
        v_fatal(kOrigin, " %s has type %u where SHORT or LONG is expected\n", ifd_tag_name(e.tag).c_str(),
                e.type);
    const size_t width = type_size(e.type);
    n = std::min(n, e.count);
    std::vector<unsigned char> raw;
    if (values_inline(e)) {
        raw.assign(e.field, e.field + 4);
    } else {
        const uint64_t at = values_offset(file, e);
        raw.resize(static_cast<size_t>(n) * width);
        if (!file.read(at, raw.data(), raw.size()))
            v_fatal(kOrigin, " reading the values of %s failed\n", ifd_tag_name(e.tag).c_str());
    }
    std::vector<uint32_t> values(n);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = width == 2 ? decode16(e, raw.data() + 2 * i) : decode32(e, raw.data() + 4 * i);
    return values;
}

// ---------------------------------------------------------------- describing the image

// The tags that decide whether and how the pixels can be read.
struct TiffLayout {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bits = 0;
    uint32_t compression = 1;
    uint32_t photometric = 1;
    uint32_t samples = 1;
    uint32_t sample_format = 1;
    const IfdEntry* strip_offsets = nullptr;
    const IfdEntry* strip_byte_counts = nullptr;
};

// A single-valued SHORT or LONG tag; other types are ignored as if absent.
void take_scalar(const IfdEntry& e, uint32_t& target) {
    if (e.type != TIF_SHORT && e.type != TIF_LONG) return;
    if (e.count != 1) {
        if (e.tag == TAG_BITS_PER_SAMPLE)
            v_fatal(kOrigin, " colour TIFF (%u samples per pixel) not supported\n", e.count);
        v_fatal(kOrigin, " %s holds %u values where one is expected\n", ifd_tag_name(e.tag).c_str(), e.count);
    }
    target = e.type == TIF_SHORT ? decode16(e, e.field) : decode32(e, e.field);
}

TiffLayout collect_layout(const std::vector<IfdEntry>& entries) {
    TiffLayout t;
    for (const IfdEntry& e : entries) {
        switch (e.tag) {
        case TAG_IMAGE_WIDTH:
            take_scalar(e, t.width);
            break;
        case TAG_IMAGE_LENGTH:
            take_scalar(e, t.height);
            break;
        case TAG_BITS_PER_SAMPLE:
            take_scalar(e, t.bits);
            break;
        case TAG_COMPRESSION:
            take_scalar(e, t.compression);
            break;
        case TAG_PHOTOMETRIC:
            take_scalar(e, t.photometric);
            break;
        case TAG_SAMPLES_PER_PIXEL:
            take_scalar(e, t.samples);
            break;
        case TAG_SAMPLE_FORMAT:
            take_scalar(e, t.sample_format);
            break;
        case TAG_STRIP_OFFSETS:
            t.strip_offsets = &e;
            break;
        case TAG_STRIP_BYTE_COUNTS:
            t.strip_byte_counts = &e;
            break;
        default:
            break;
        }
    }
    return t;
}

void refuse_unreadable_layout(const TiffLayout& t) {
    if (t.compression != 1)
        v_fatal(kOrigin, " compressed TIFF (Compression %u) not supported\n", t.compression);
    if (t.samples != 1) v_fatal(kOrigin, " colour TIFF (%u samples per pixel) not supported\n", t.samples);
    if (t.photometric > 1)
        v_fatal(kOrigin, " colour or palette TIFF (PhotometricInterpretation %u) not supported\n",
                t.photometric);
    if (t.width == 0 || t.height == 0)
        v_fatal(kOrigin, " image of %u x %u pixels is empty\n", t.width, t.height);
    if (t.width > 0xFFFF || t.height > 0xFFFF)
        v_fatal(kOrigin, " image of %u x %u pixels: width and height beyond 65535 not supported\n", t.width,
                t.height);
}

// SampleFormat values (absent: unsigned).
enum : uint32_t { kSampleUnsigned = 1, kSampleSigned = 2, kSampleFloat = 3 };

// The pixel type the raw readers read the samples as: 8 and 16 bits unsigned;
// 32 bits unsigned or signed as 32-bit integers, or as floats. Other depths are
// refused once their header has been listed.
int32_t pixel_type(const TiffLayout& t) {
    if (t.bits == 8 || t.bits == 16) {
        if (t.sample_format != kSampleUnsigned)
            v_fatal(kOrigin, " signed or floating-point samples (SampleFormat %u) not supported\n",
                    t.sample_format);
        return t.bits == 8 ? XY_TYPE_UINT8 : XY_TYPE_UINT16;
    }
    if (t.bits != 32) return XY_TYPE_UNSUPPORTED;
    if (t.sample_format == kSampleUnsigned || t.sample_format == kSampleSigned) return XY_TYPE_INT32;
    if (t.sample_format == kSampleFloat) return XY_TYPE_FLOAT;
    v_fatal(kOrigin, " 32-bit samples of SampleFormat %u not supported\n", t.sample_format);
}

// Byte position of the first pixel. The raw readers read the image as one
// block, so the strips must follow each other and hold the whole image, and
// the image must lie inside the file.
uint64_t pixel_start(const GelBytes& file, const TiffLayout& t) {
    if (!t.strip_offsets) v_fatal(kOrigin, " no StripOffsets: tiled TIFF not supported\n");
    const uint32_t strips = t.strip_offsets->count;
    if (strips == 0 || strips > t.height)
        v_fatal(kOrigin, " %u strips for an image of %u rows\n", strips, t.height);
    const std::vector<uint32_t> offsets = unsigned_values(file, *t.strip_offsets, strips);
    const uint64_t image_bytes = static_cast<uint64_t>(t.width) * t.height * (t.bits / 8);
    if (t.strip_byte_counts) {
        if (t.strip_byte_counts->count != strips)
            v_fatal(kOrigin, " %u StripByteCounts for %u strips\n", t.strip_byte_counts->count, strips);
        const std::vector<uint32_t> counts = unsigned_values(file, *t.strip_byte_counts, strips);
        uint64_t end = offsets[0];
        for (uint32_t i = 0; i < strips; ++i) {
            if (offsets[i] != end)
                v_fatal(kOrigin, " strips not stored one after the other (strip %u at byte %u, not %llu)\n",
                        i, offsets[i], static_cast<unsigned long long>(end));
            end += counts[i];
        }
        if (end - offsets[0] < image_bytes)
            v_fatal(kOrigin, " the strips hold %llu bytes where the image needs %llu\n",
                    static_cast<unsigned long long>(end - offsets[0]),
                    static_cast<unsigned long long>(image_bytes));
    } else if (strips > 1) {
        v_fatal(kOrigin, " %u strips without StripByteCounts\n", strips);
    }
    if (offsets[0] > file.size() || image_bytes > file.size() - offsets[0])
        v_fatal(kOrigin, " pixel data (%llu bytes from byte %u) run past the end of the file\n",
                static_cast<unsigned long long>(image_bytes), offsets[0]);
    return offsets[0];
}

// ---------------------------------------------------------------- header entries

// The first `most` characters of an ASCII entry, up to its first NUL.
std::string ascii_text(const GelBytes& file, const IfdEntry& e, size_t most) {
    std::string text(std::min<size_t>(e.count, most), '\0');
    if (values_inline(e))
        std::memcpy(&text[0], e.field, text.size());
    else if (!file.read(values_offset(file, e), &text[0], text.size()))
        v_fatal(kOrigin, " reading the text of %s failed\n", ifd_tag_name(e.tag).c_str());
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string ascii_value(const GelBytes& file, const IfdEntry& e) {
    std::string text = ascii_text(file, e, kAsciiValueMax);
    // One entry is one line in listings and in native headers.
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    return text;
}

std::string rational_value(const GelBytes& file, const IfdEntry& e) {
    if (e.count == 0) return "";
    const uint64_t at = values_offset(file, e);
    unsigned char raw[8];
    if (!file.read(at, raw, 8))
        v_fatal(kOrigin, " reading the value of %s failed\n", ifd_tag_name(e.tag).c_str());
    return prg_format("%u / %u", decode32(e, raw), decode32(e, raw + 4));
}

std::string entry_value(const GelBytes& file, const IfdEntry& e) {
    switch (e.type) {
    case TIF_SHORT:
    case TIF_LONG:
        if (e.count == 0) return "";
        return prg_format("%u", unsigned_values(file, e, 1)[0]);
    case TIF_ASCII:
        return ascii_value(file, e);
    case TIF_RATIONAL:
        return rational_value(file, e);
    default:
        return "";
    }
}

// Tags that the fixed entries already describe or that only locate data.
bool listed_elsewhere(uint16_t tag) {
    return tag == TAG_IMAGE_WIDTH || tag == TAG_IMAGE_LENGTH || tag == TAG_COMPRESSION ||
           tag == TAG_STRIP_OFFSETS || tag == TAG_ROWS_PER_STRIP || tag == TAG_STRIP_BYTE_COUNTS;
}

// ---------------------------------------------------------------- writing

// Depth, offset and scale that make every value from min to max fit: offsets
// and scales only ever map [min, max] into [0, 2^bits - 1].
OutputDepth choose_depth(int32_t mode, int32_t min, int32_t max) {
    OutputDepth d;
    d.offset = min < 0 ? min : 0;
    if (mode == 0) {
        if (min > 0 && max <= 255)
            d.bits = 8;
        else if (min > 0 && max <= 65535)
            d.bits = 16;
        return d;
    }
    d.bits = mode == 1 ? 16 : 8;
    const int32_t top = mode == 1 ? 65535 : 255;
    if (max > top) d.offset = min;
    const double range = static_cast<double>(max) - static_cast<double>(d.offset);
    d.scale = range > 0.0 ? top / range : 0.0;
    if (d.scale > 1.0) d.scale = 0.0;
    return d;
}

int64_t output_value(int32_t value, const OutputDepth& d) {
    const int64_t v = static_cast<int64_t>(value) - d.offset;
    if (d.scale == 0.0) return v;
    return static_cast<int64_t>(std::trunc(static_cast<double>(v) * d.scale));
}

std::string output_name(const std::string& path, const std::string& ext) {
    std::string out = path;
    if (!contains(out, ".gel") && !contains(out, ".tif")) out += ext;
    if (!contains(out, ".gel") && !contains(out, ".tif")) out += ".gel";
    return out;
}

void put16(std::vector<unsigned char>& out, size_t at, uint16_t v) {
    std::memcpy(&out[at], &v, 2);
}
void put32(std::vector<unsigned char>& out, size_t at, uint32_t v) {
    std::memcpy(&out[at], &v, 4);
}

// Everything before the pixels, in host byte order.
std::vector<unsigned char> file_head(const std::vector<TifIfdEntry>& ifd, const std::vector<uint32_t>& area) {
    std::vector<unsigned char> head(kPixelOffset, 0);
    const char mark = xy_host_little_endian() ? 'I' : 'M';
    head[0] = head[1] = static_cast<unsigned char>(mark);
    put16(head, 2, 42);
    put32(head, 4, kWrittenIfdOffset);
    put16(head, 8, static_cast<uint16_t>(ifd.size()));
    size_t at = 10;
    for (const TifIfdEntry& e : ifd) {
        put16(head, at, e.tag);
        put16(head, at + 2, e.type);
        put32(head, at + 4, e.count);
        if (e.type == TIF_SHORT)
            put16(head, at + 8, static_cast<uint16_t>(e.value)); // the value's first two bytes
        else
            put32(head, at + 8, e.value);
        at += 12;
    }
    put32(head, at, 0); // no next IFD
    for (size_t i = 0; i < area.size() && 4 * i < kRationalAreaBytes; ++i)
        put32(head, kRationalArea + 4 * i, area[i]);
    return head;
}

std::vector<TifIfdEntry> written_ifd(const IMG& img, const OutputDepth& d, uint32_t max_tag,
                                     std::vector<uint32_t>& area) {
    std::vector<TifIfdEntry> ifd;
    add_short_ifd(ifd, TAG_IMAGE_WIDTH, static_cast<uint16_t>(img.nx));
    add_short_ifd(ifd, TAG_IMAGE_LENGTH, static_cast<uint16_t>(img.ny));
    add_short_ifd(ifd, TAG_BITS_PER_SAMPLE, static_cast<uint16_t>(d.bits));
    add_short_ifd(ifd, TAG_COMPRESSION, 1);
    add_short_ifd(ifd, TAG_PHOTOMETRIC, 0);
    add_short_ifd(ifd, TAG_STRIP_OFFSETS, kPixelOffset);
    add_long_ifd(ifd, TAG_ROWS_PER_STRIP, static_cast<uint32_t>(img.ny));
    add_long_ifd(ifd, TAG_STRIP_BYTE_COUNTS,
                 static_cast<uint32_t>(static_cast<uint64_t>(img.size) * d.bits / 8));
    add_short_ifd(ifd, TAG_MIN_SAMPLE_VALUE, 0);
    add_short_ifd(ifd, TAG_MAX_SAMPLE_VALUE, static_cast<uint16_t>(max_tag));
    add_rat_ifd(ifd, TAG_X_RESOLUTION, area, kRationalArea, 1, 1);
    add_rat_ifd(ifd, TAG_Y_RESOLUTION, area, kRationalArea, 1, 1);
    add_short_ifd(ifd, TAG_RESOLUTION_UNIT, 1);
    return ifd;
}

void refuse_unwritable(const IMG& img, const std::string& name) {
    if (img.size <= 0 || img.nx <= 0 || img.ny <= 0 || img.data.size() != static_cast<size_t>(img.size) ||
        static_cast<int64_t>(img.nx) * img.ny != img.size)
        v_fatal(kOrigin, " no image data to write in %s\n", name.c_str());
    if (img.nx > 0xFFFF || img.ny > 0xFFFF)
        v_fatal(kOrigin, " image of %d x %d pixels: TIFF width and height are written as 16-bit numbers\n",
                img.nx, img.ny);
}

// Strip byte counts and offsets are 32-bit numbers.
void refuse_too_large(const IMG& img, const OutputDepth& d) {
    if (static_cast<uint64_t>(img.size) * (d.bits / 8) > 0xFFFFFFFFull - kPixelOffset)
        v_fatal(kOrigin, " image of %d pixels too large for a %d-bit TIFF file\n", img.size, d.bits);
}

// The statistics fields may be stale (arithmetic since the last xy_info), and
// pixels without a valid frame count are written too: the depth is chosen
// from every value actually written.
void value_range(const IMG& img, int32_t& min, int32_t& max) {
    min = img.data[0];
    max = img.data[0];
    for (int32_t v : img.data) {
        if (v < min) min = v;
        if (v > max) max = v;
    }
}

void write_pixels(std::FILE* fp, const IMG& img, const OutputDepth& d, const std::string& name) {
    const size_t bytes = static_cast<size_t>(d.bits / 8);
    std::vector<unsigned char> row(static_cast<size_t>(img.nx) * bytes);
    for (int32_t y = 0; y < img.ny; ++y) {
        const int32_t* src = img.data.data() + static_cast<size_t>(y) * img.nx;
        for (int32_t x = 0; x < img.nx; ++x) {
            const int64_t v = output_value(src[x], d);
            unsigned char* dst = row.data() + static_cast<size_t>(x) * bytes;
            if (bytes == 1) {
                *dst = static_cast<unsigned char>(v & 0xFF);
            } else if (bytes == 2) {
                const uint16_t low = static_cast<uint16_t>(v & 0xFFFF);
                std::memcpy(dst, &low, 2);
            } else {
                const uint32_t low = static_cast<uint32_t>(v & 0xFFFFFFFF);
                std::memcpy(dst, &low, 4);
            }
        }
        if (std::fwrite(row.data(), 1, row.size(), fp) != row.size())
            v_error(kOrigin, " writing data in tif/gel file %s\n", name.c_str());
    }
}

} // namespace

// ---------------------------------------------------------------- byte sources

bool GelMemoryBytes::read(uint64_t pos, void* dst, size_t n) const {
    if (pos > bytes_.size() || n > bytes_.size() - pos) return false;
    if (n) std::memcpy(dst, bytes_.data() + pos, n);
    return true;
}

GelFileBytes::GelFileBytes(std::FILE* fp) : fp_(fp) {
    const int64_t bytes = xy_file_bytes(fp_);
    if (bytes > 0) size_ = static_cast<uint64_t>(bytes);
}

bool GelFileBytes::read(uint64_t pos, void* dst, size_t n) const {
    if (pos > size_ || n > size_ - pos) return false;
    const std::string bytes = xy_read_bytes(fp_, static_cast<int64_t>(pos), n);
    if (bytes.size() != n) return false;
    if (n) std::memcpy(dst, bytes.data(), n);
    return true;
}

// ---------------------------------------------------------------- reading

std::unique_ptr<HDR> gel_gethdr(const GelBytes& file) {
    const Ifd ifd = read_ifd(file);
    const TiffLayout layout = collect_layout(ifd.entries);
    refuse_unreadable_layout(layout);
    auto hdr = std::make_unique<HDR>();
    hdr->byte_order = ifd.order;
    hdr->dim_x = static_cast<uint16_t>(layout.width);
    hdr->dim_y = static_cast<uint16_t>(layout.height);
    hdr->frames = 1;
    hdr->type = pixel_type(layout);
    hdr->uint32_samples = layout.bits == 32 && layout.sample_format == kSampleUnsigned;
    if (hdr->type != XY_TYPE_UNSUPPORTED) hdr->offset = static_cast<int64_t>(pixel_start(file, layout));
    return hdr;
}

std::string gel_description(const GelBytes& file) {
    for (const IfdEntry& e : read_ifd(file).entries)
        if (e.tag == TAG_IMAGE_DESCRIPTION && e.type == TIF_ASCII) return ascii_text(file, e, e.count);
    return "";
}

void gel_hdrfill(const GelBytes& file, HDR& hdr) {
    xy_standard_entries(hdr, nullptr);
    for (const IfdEntry& e : read_ifd(file).entries)
        if (!listed_elsewhere(e.tag)) xy_kvfstr(hdr, ifd_tag_name(e.tag), entry_value(file, e));
    xy_kvfstr(hdr, "Software", prg_format("%s based on tiff#6, %s", kOrigin, __DATE__));
    if (hdr.type == XY_TYPE_UNSUPPORTED) {
        xy_fputhdr(stderr, hdr, true);
        v_fatal(kOrigin, " not supported data type!\n");
    }
}

std::unique_ptr<HDR> gel_open(const std::string& name, const std::string& program, bool as_named,
                              const XyReadOptions& /*reading*/) {
    const std::string file_name = xy_module_file_name(name, {".gel", ".tif"}, as_named);
    FileHandle fp = xy_open_frame_file(kOrigin, "gel", program, file_name, false);
    const GelFileBytes bytes(fp.get());
    std::unique_ptr<HDR> hdr = gel_gethdr(bytes);
    hdr->file_name = file_name; // named in the listing of a refused file
    gel_hdrfill(bytes, *hdr);
    hdr->fp = std::move(fp);
    hdr->format = XY_FORMAT_GEL;
    hdr->bytes_after_frames = true;
    return hdr;
}

namespace {

bool looks_like_tiff(const std::string& head) {
    return head.compare(0, 2, "MM") == 0 || head.compare(0, 2, "II") == 0;
}

} // namespace

const XyFormat gel_format = {"GEL/TIFF", {".gel", ".tif", ".tiff"}, looks_like_tiff, "gel", gel_open,
                             nullptr};

int32_t gel_getraw(const IMG& img, uint16_t* buf, int32_t frame) {
    if (!img.hdr) return 0;
    if (img.hdr->type == XY_TYPE_UINT16) return xy_getrawu(img, buf, frame, nullptr);
    if (img.hdr->type != XY_TYPE_UINT8) return 0;
    std::vector<uint8_t> bytes =
        prg_alloc<uint8_t>("gel_lib", "gel_getraw buffer", static_cast<uint64_t>(img.reg_size));
    const int32_t rows = xy_getrawc(img, bytes.data(), frame, nullptr);
    for (size_t i = 0; i < bytes.size(); ++i)
        buf[i] = bytes[i];
    return rows;
}

// ---------------------------------------------------------------- IFD construction and listing

std::string ifd_tag_name(uint32_t tag) {
    switch (tag) {
    case 0x00FE:
        return "NewSubFileType";
    case 0x00FF:
        return "OldNewSubFileType";
    case 0x0100:
        return "ImageWidth";
    case 0x0101:
        return "ImageLength";
    case 0x0102:
        return "BitsPerSample";
    case 0x0103:
        return "Compression";
    case 0x0106:
        return "PhotometricInt.";
    case 0x010D:
        return "DocumentName";
    case 0x010E:
        return "Description";
    case 0x0110:
        return "Manufacturer";
    case 0x0111:
        return "StripOffset";
    case 0x0116:
        return "RowPerStrip";
    case 0x0117:
        return "StripByteCounts";
    case 0x0118:
        return "MinSampleValue";
    case 0x0119:
        return "MaxSampleValue";
    case 0x011A:
        return "XResolution";
    case 0x011B:
        return "YResolution";
    case 0x0128:
        return "ResolutionUnit";
    case 0x0131:
        return "Software";
    case 0x0132:
        return "DateTime";
    default:
        return prg_format("TAG %04x ???", tag);
    }
}

void print_ifd(int index, int count, const TifIfdEntry& entry, const char* text) {
    static const char* const type_names[] = {"", "", "ASCII", "SHORT", "LONG", "RATIONAL"};
    const std::string type_name = entry.type >= TIF_ASCII && entry.type <= TIF_RATIONAL
                                      ? type_names[entry.type]
                                      : prg_format("%u", entry.type);
    prg_screen(" %2d/%2d TIF_IFD %04x %16s %8s * %2u = ", index, count, entry.tag,
               ifd_tag_name(entry.tag).c_str(), type_name.c_str(), entry.count);
    if (entry.type == TIF_SHORT)
        prg_screen("%u\n", entry.value & 0xFFFF);
    else if (entry.type == TIF_ASCII || entry.type == TIF_RATIONAL)
        prg_screen("fileoffset %u '%s'\n", entry.value, text ? text : "");
    else
        prg_screen("%u\n", entry.value);
}

int add_short_ifd(std::vector<TifIfdEntry>& ifd, uint16_t tag, uint16_t value) {
    ifd.push_back({tag, TIF_SHORT, 1, value});
    return 1;
}

int add_long_ifd(std::vector<TifIfdEntry>& ifd, uint16_t tag, uint32_t value) {
    ifd.push_back({tag, TIF_LONG, 1, value});
    return 1;
}

int add_rat_ifd(std::vector<TifIfdEntry>& ifd, uint16_t tag, std::vector<uint32_t>& area,
                uint32_t area_offset, uint32_t numerator, uint32_t denominator) {
    ifd.push_back({tag, TIF_RATIONAL, 1, area_offset + static_cast<uint32_t>(4 * area.size())});
    area.push_back(numerator);
    area.push_back(denominator);
    return 1;
}

// ---------------------------------------------------------------- writing

OutputDepth gel_output_depth(const IMG& img, int32_t mode) {
    int32_t min = 0, max = 0;
    value_range(img, min, max);
    return choose_depth(mode, min, max);
}

void gel_write(const IMG& img, const std::string& path, const std::string& ext, int32_t mode) {
    const std::string name = output_name(path, ext);
    AtomicOutFile out(name);
    if (!out.is_open()) v_error(kOrigin, "unable to open the tif/gel out file : %s\n", name.c_str());
    if (mode == 3) v_fatal(kOrigin, "bilevel tif not writen");
    if (mode < 0 || mode > 3) v_fatal(kOrigin, " unknown tif/gel writing mode %d\n", mode);
    refuse_unwritable(img, path);

    int32_t min = 0, max = 0;
    value_range(img, min, max);
    const OutputDepth depth = choose_depth(mode, min, max);
    refuse_too_large(img, depth);
    prg_printf(" writing %s grayscale with %d bits\n", name.c_str(), depth.bits);
    if (depth.offset != 0) prg_printf(" offset of %d has been used\n", depth.offset);
    if (depth.scale != 0.0) prg_printf(" pixel intensities are multiplied by %lf\n", depth.scale);

    std::vector<uint32_t> area;
    // MaxSampleValue carries the image maximum's low 16 bits, before offset and scale.
    const uint32_t max_tag = static_cast<uint16_t>(static_cast<uint32_t>(max));
    const std::vector<TifIfdEntry> ifd = written_ifd(img, depth, max_tag, area);
    for (int i = 0; i < kWrittenEntries; ++i)
        print_ifd(i, kWrittenEntries, ifd[static_cast<size_t>(i)], "");

    const std::vector<unsigned char> head = file_head(ifd, area);
    if (std::fwrite(head.data(), 1, head.size(), out.get()) != head.size())
        v_error(kOrigin, " writing the header of tif/gel file %s\n", name.c_str());
    write_pixels(out.get(), img, depth, name);
    if (!out.commit()) v_error(kOrigin, " writing tif/gel file %s failed\n", name.c_str());
}

namespace {
void write_gel(const IMG& img, const std::string& path, const XyWriteOptions& options) {
    gel_write(img, path, ".gel", options.depth_mode);
}
OutputDepth depth_of(const IMG& img, const XyWriteOptions& options) {
    return gel_output_depth(img, options.depth_mode);
}
} // namespace

const XyWriter gel_writer = {"gel", ".gel", ".gel", write_gel, depth_of};
