// Frame files: series names, the real-time wait, the choice of the format
// module, the byte-order state and the raw readers of fixed-size pixels.
#include "dmi_lib.hpp"
#include "gel_lib.hpp"
#include "kvf_lib.hpp"
#include "txt_lib.hpp"
#include "wv_lib.hpp"
#include "xy_lib.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <sys/types.h>
#include <type_traits>
#include <unistd.h>

namespace {

const char* const kLibOrigin = "../xy32lib/xy_lib";

// ---------------------------------------------------------------- series names

// Reads a number the way atoi does (blanks, sign, digits, anything after is
// ignored; no digits read as 0), but refuses a value that does not fit an
// int32 instead of overflowing.
bool parse_option_number(const char* text, int32_t& value) {
    const LeadingInteger n = leading_integer(text);
    if (n.found && !n.fits32) return false;
    value = static_cast<int32_t>(n.value);
    return true;
}

[[noreturn]] void invalid_option(const std::string& option, const std::string& base) {
    v_fatal(kLibOrigin, "invalid file option '%s' in '%s' ", option.c_str(), base.c_str());
}

// Applies the options after the name; an empty option ends the list.
int32_t apply_series_options(const std::string& options, const std::string& base, IMG& img,
                             SeriesName& series) {
    bool counted = false; // an A or M with a number other than 1 was seen
    size_t pos = 0;
    while (pos < options.size()) {
        const size_t comma = options.find(',', pos);
        const std::string option =
            options.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (option.empty()) break;
        pos = comma == std::string::npos ? options.size() : comma + 1;

        const char letter = option[0];
        int32_t n = 0;
        if (letter != 'X' && !parse_option_number(option.c_str() + 1, n)) invalid_option(option, base);
        switch (letter) {
        case 'B':
            img.beg_frame = n;
            break;
        case 'E':
            img.end_frame = n;
            break;
        case 'A':
        case 'M':
            if (counted) v_fatal(kLibOrigin, "invalid file option : A or M");
            // A series of no file would yield an image that was never read.
            if (n < 1) invalid_option(option, base);
            counted = n != 1;
            series.count = n;
            if (letter == 'M') series.mosaic = true;
            break;
        case 'U':
            series.frames_u = n;
            break;
        case 'X':
            series.no_cosmic = true;
            break;
        default:
            invalid_option(option, base);
        }
    }
    return series.count;
}

// Longest trailing number kept as the series number: more digits would not
// fit the 64-bit counter, so the leading ones stay part of the base.
constexpr size_t kMaxSeriesDigits = 18;

void split_trailing_number(SeriesName& series) {
    size_t start = series.base.size();
    while (start > 0 && std::isdigit(static_cast<unsigned char>(series.base[start - 1])))
        --start;
    if (series.base.size() - start > kMaxSeriesDigits) start = series.base.size() - kMaxSeriesDigits;
    series.ndig = static_cast<int32_t>(series.base.size() - start);
    series.num = series.ndig > 0 ? std::strtoll(series.base.c_str() + start, nullptr, 10) : 0;
    series.base.erase(start);
}

// ---------------------------------------------------------------- format dispatch

using OpenFunction = std::unique_ptr<HDR> (*)(const std::string& name, const std::string& program,
                                              bool as_named);

// One format module as the dispatch sees it. The name suffixes exclude one
// another and so do the content tests (their first bytes differ), so the table
// order only matters for the default-format step, whose designed order it is.
struct FormatChoice {
    const char* label;
    const char* suffixes[3];
    bool (*content)(const std::string& head);
    const char* default_key; // looked for in the default format text
    OpenFunction open;
};

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool looks_like_tiff(const std::string& head) {
    return starts_with(head, "MM") || starts_with(head, "II");
}
bool looks_like_kvf(const std::string& head) {
    return starts_with(head, "{\n");
}
bool looks_like_ipn_label(const std::string& head) {
    return starts_with(head, " CARTE HPC1-SEP");
}

std::unique_ptr<HDR> open_spe(const std::string& name, const std::string& program, bool) {
    return wv_open(name, program);
}
// The label reader always opens the name as given.
std::unique_ptr<HDR> open_ipn_label(const std::string& name, const std::string& program, bool) {
    return dmi_open(name, program);
}

const FormatChoice kFormats[] = {
    {"GEL/TIFF", {".gel", ".tif", ".tiff"}, looks_like_tiff, "gel", gel_open},
    {"native", {".kvf", nullptr, nullptr}, looks_like_kvf, "kvf", kvf_open},
    {"text", {".txt", nullptr, nullptr}, nullptr, "txt", txt_open},
    {"SPE", {".spe", ".SPE", nullptr}, nullptr, nullptr, open_spe},
    {"IPN-label", {nullptr, nullptr, nullptr}, looks_like_ipn_label, nullptr, open_ipn_label},
};
const FormatChoice& kSpeFormat = kFormats[3];

// "Ends in" means: the first occurrence of the suffix is at the very end.
bool ends_in(const std::string& name, const char* suffix) {
    const size_t len = std::strlen(suffix);
    return name.size() >= len && name.find(suffix) == name.size() - len;
}

const FormatChoice* choice_by_suffix(const std::string& name) {
    for (const FormatChoice& f : kFormats)
        for (const char* suffix : f.suffixes)
            if (suffix && ends_in(name, suffix)) return &f;
    return nullptr;
}

const FormatChoice* choice_by_content(const std::string& name) {
    FileHandle fp(std::fopen(name.c_str(), "rb"));
    if (!fp) {
        errno = 0; // an unreadable name is left to the module chosen next
        return nullptr;
    }
    const std::string head = xy_read_bytes(fp.get(), 0, 80);
    for (const FormatChoice& f : kFormats)
        if (f.content && f.content(head)) return &f;
    return nullptr;
}

const FormatChoice& choice_by_default(const std::string& def_format) {
    for (const FormatChoice& f : kFormats)
        if (f.default_key && def_format.find(f.default_key) != std::string::npos) return f;
    return kSpeFormat;
}

// ---------------------------------------------------------------- real-time wait

// The name whose appearance is awaited: the default format is appended to a
// name without a three-letter extension. A name that already ends in a known
// suffix (".tiff" has four letters) is awaited as it is, and a default given
// without its "." gets one, otherwise the wait could never end.
std::string watched_name(const std::string& name, const std::string& def_format) {
    if (name.size() >= 4 && name[name.size() - 4] == '.') return name;
    if (choice_by_suffix(name)) return name;
    if (def_format.empty() || def_format[0] == '.') return name + def_format;
    return name + "." + def_format;
}

void wait_for_file(const std::string& name, const std::string& def_format, int32_t wait_seconds) {
    const std::string watched = watched_name(name, def_format);
    struct stat st;
    while (::stat(watched.c_str(), &st) != 0) {
        std::printf(" file %s not stated, waiting %d seconds\n", watched.c_str(), wait_seconds);
        std::fflush(stdout);
        ::sleep(static_cast<unsigned>(wait_seconds));
    }
    errno = 0;
    const int64_t age = static_cast<int64_t>(std::time(nullptr)) - static_cast<int64_t>(st.st_mtime);
    std::printf(" file %s stated, last modification is %d seconds old\n", watched.c_str(),
                static_cast<int>(age));
    if (age < wait_seconds) {
        std::printf(" waiting %d seconds to ensure data completion\n", static_cast<int>(wait_seconds - age));
        std::fflush(stdout);
        ::sleep(static_cast<unsigned>(wait_seconds - age));
    }
    std::fflush(stdout);
}

// ---------------------------------------------------------------- byte order

constexpr bool host_is_little_endian() {
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
}

// One state for the whole program: the byte order of the file being read.
struct ByteOrderState {
    bool swap = true; // the raw readers reverse the bytes of each value
    std::string text = "swapping not yet defined";
    void (*swap16)(void*) = nullptr; // field readers are unusable until set
    void (*swap32)(void*) = nullptr;
};
ByteOrderState byte_order;

uint16_t reversed(uint16_t v) {
    return __builtin_bswap16(v);
}
uint32_t reversed(uint32_t v) {
    return __builtin_bswap32(v);
}

// Reverses every value of a buffer of `count` values of `Bytes` bytes each.
template <size_t Bytes> void reverse_values(void* buf, size_t count) {
    using Word = std::conditional_t<Bytes == 2, uint16_t, uint32_t>;
    auto* bytes = static_cast<unsigned char*>(buf);
    for (size_t i = 0; i < count; ++i) {
        Word w;
        std::memcpy(&w, bytes + i * Bytes, Bytes);
        w = reversed(w);
        std::memcpy(bytes + i * Bytes, &w, Bytes);
    }
}

int read_field(void* dest, size_t bytes, int64_t pos, std::FILE* fp, void (*swap)(void*)) {
    if (!swap) v_fatal(kLibOrigin, "byte order of the file not set before reading a header field\n");
    if (::fseeko(fp, static_cast<off_t>(pos), SEEK_SET) != 0) return 0;
    const int n = static_cast<int>(std::fread(dest, bytes, 1, fp));
    if (n == 1) swap(dest);
    return n;
}

// ---------------------------------------------------------------- raw readers

template <class T> struct PixelTraits;
template <> struct PixelTraits<uint8_t> {
    static constexpr const char* reader = "xy_getrawc";
    static void print(std::string& s, uint8_t v) { s += prg_format(" %5d", v); }
};
template <> struct PixelTraits<uint16_t> {
    static constexpr const char* reader = "xy_getrawu";
    static void print(std::string& s, uint16_t v) { s += prg_format(" %5d", v); }
};
template <> struct PixelTraits<int32_t> {
    static constexpr const char* reader = "xy_getrawl";
    static void print(std::string& s, int32_t v) { s += prg_format(" %5d", v); }
};
template <> struct PixelTraits<float> {
    static constexpr const char* reader = "xy_getrawf";
    static void print(std::string& s, float v) { s += prg_format(" %5f", static_cast<double>(v)); }
};

// Byte position of the region's first pixel in frame `frame`, or -1 when it
// lies beyond any file (the frame number is absurdly large).
int64_t region_start(const IMG& img, int32_t frame, int64_t pixel_bytes) {
    const int64_t row_start = int64_t{img.y_min} * img.dim_x + img.x_min;
    int64_t frames_before = 0, pixels = 0, bytes = 0, pos = 0;
    if (__builtin_mul_overflow(int64_t{frame} - 1, int64_t{img.file_size}, &frames_before) ||
        __builtin_add_overflow(frames_before, row_start, &pixels) ||
        __builtin_mul_overflow(pixels, pixel_bytes, &bytes) ||
        __builtin_add_overflow(img.hdr->offset, bytes, &pos))
        return -1;
    return pos;
}

void check_region(const IMG& img, const char* reader) {
    if (!img.hdr || !img.hdr->fp)
        v_fatal(kLibOrigin, "%s : image '%s' has no open frame file\n", reader, img.name.c_str());
    const bool inside = img.reg_width > 0 && img.reg_height > 0 && img.x_min >= 0 && img.y_min >= 0 &&
                        int64_t{img.x_min} + img.reg_width <= img.dim_x &&
                        int64_t{img.y_min} + img.reg_height <= img.dim_y &&
                        int64_t{img.dim_x} * img.dim_y <= img.file_size;
    if (!inside)
        v_fatal(kLibOrigin, "%s : region %d+%d * %d+%d outside the %d * %d frame of '%s'\n", reader,
                img.x_min, img.reg_width, img.y_min, img.reg_height, img.dim_x, img.dim_y,
                img.hdr->file_name.c_str());
}

// Reads `rows` rows of the region: one read for the whole block when it is
// contiguous, else one per row. Returns the number of complete rows read.
template <class T> int32_t read_region_rows(const IMG& img, T* buf, int64_t start, std::FILE* fp) {
    const size_t width = static_cast<size_t>(img.reg_width);
    const int32_t rows = img.reg_height;
    if (img.reg_width == img.dim_x) {
        if (::fseeko(fp, static_cast<off_t>(start), SEEK_SET) != 0) return 0;
        const size_t got = std::fread(buf, sizeof(T), width * static_cast<size_t>(rows), fp);
        return static_cast<int32_t>(got / width);
    }
    const int64_t stride = int64_t{img.dim_x} * static_cast<int64_t>(sizeof(T));
    for (int32_t r = 0; r < rows; ++r) {
        if (::fseeko(fp, static_cast<off_t>(start + r * stride), SEEK_SET) != 0) return r;
        if (std::fread(buf + static_cast<size_t>(r) * width, sizeof(T), width, fp) != width) return r;
    }
    return rows;
}

template <class T> void dump_region(const IMG& img, const T* buf, std::FILE* dump) {
    for (int32_t r = 0; r < img.reg_height; ++r) {
        std::string line = prg_format("#I %3d :", r);
        const T* row = buf + static_cast<size_t>(r) * static_cast<size_t>(img.reg_width);
        for (int32_t x = 0; x < img.reg_width; ++x)
            PixelTraits<T>::print(line, row[x]);
        line += "\n";
        std::fwrite(line.data(), 1, line.size(), dump);
    }
}

// The one implementation behind xy_getrawc/u/l/f.
template <class T> int32_t read_raw_frame(IMG& img, T* buf, int32_t frame, std::FILE* dump) {
    const char* reader = PixelTraits<T>::reader;
    check_region(img, reader);
    const int64_t start = frame < 1 ? -1 : region_start(img, frame, sizeof(T));
    if (start < 0) return 0; // no such frame in any file

    errno = 0;
    const int32_t rows = read_region_rows(img, buf, start, img.hdr->fp.get());
    if (rows == 0) return 0; // the frame does not exist
    if (rows < img.reg_height) {
        const int err = errno;
        if (std::is_same<T, float>::value) std::printf("j= %3d \n", 0);
        std::fflush(stdout);
        std::fprintf(stderr, "%s error %d reading %d image at y = %d, y_min %d, pos %d\n", reader, err, 0,
                     img.y_min + rows, img.y_min, frame);
        return -1;
    }
    if (sizeof(T) > 1 && byte_order.swap)
        reverse_values<sizeof(T)>(buf,
                                  static_cast<size_t>(img.reg_width) * static_cast<size_t>(img.reg_height));
    if (dump) dump_region(img, buf, dump);
    return img.reg_height;
}

} // namespace

// ---------------------------------------------------------------- series names

int32_t xy_rep_name(const std::string& spec, IMG& img, SeriesName& series) {
    series = SeriesName{};
    const size_t comma = spec.find(',');
    series.base = spec.substr(0, comma);
    if (comma != std::string::npos) apply_series_options(spec.substr(comma + 1), series.base, img, series);

    const size_t dot = series.base.rfind('.');
    if (dot != std::string::npos) {
        series.ext = series.base.substr(dot);
        series.base.erase(dot);
    }
    split_trailing_number(series);
    return series.count;
}

std::string xy_cur_name(const std::string& dir, const std::string& base, const std::string& ext, int32_t ndig,
                        int64_t num) {
    std::string file = base;
    if (ndig > 0) file += prg_format("%0*lld", static_cast<int>(ndig), static_cast<long long>(num));
    file += ext;
    const bool absolute_or_local = !base.empty() && (base[0] == '/' || base[0] == '.');
    if (dir.empty() || absolute_or_local) return file;
    return dir.back() == '/' ? dir + file : dir + "/" + file;
}

// ---------------------------------------------------------------- opening

std::unique_ptr<HDR> xy_open(const std::string& name, const std::string& program,
                             const std::string& def_format, int32_t wait_seconds, int32_t detect) {
    if (wait_seconds > 0) wait_for_file(name, def_format, wait_seconds);
    if (const FormatChoice* f = choice_by_suffix(name)) return f->open(name, program, false);
    // A module recognised by the file's own bytes opens that very file, not the
    // name with its extension appended.
    if (detect)
        if (const FormatChoice* f = choice_by_content(name)) return f->open(name, program, true);
    return choice_by_default(def_format).open(name, program, false);
}

// ---------------------------------------------------------------- common work of the format modules

std::string xy_module_file_name(const std::string& name, std::initializer_list<const char*> extensions,
                                bool as_named) {
    if (as_named || extensions.size() == 0) return name;
    for (const char* ext : extensions)
        if (name.find(ext) != std::string::npos) return name;
    return name + *extensions.begin();
}

FileHandle xy_open_frame_file(const char* origin, const char* module, const std::string& program,
                              const std::string& file_name, bool errno_in_message) {
    errno = 0;
    FileHandle fp(std::fopen(file_name.c_str(), "rb"));
    if (!fp && errno_in_message)
        v_error(origin, "%s_open (errno=%d): unable to open %s file '%s'\n", module, errno, program.c_str(),
                file_name.c_str());
    if (!fp) v_error(origin, "%s_open : unable to open %s file '%s'\n", module, program.c_str(), file_name.c_str());
    return fp;
}

std::string xy_read_bytes(std::FILE* fp, int64_t pos, size_t count) {
    std::string bytes(count, '\0');
    if (::fseeko(fp, static_cast<off_t>(pos), SEEK_SET) != 0) return std::string();
    bytes.resize(std::fread(&bytes[0], 1, count, fp));
    return bytes;
}

int64_t xy_file_bytes(std::FILE* fp) {
    if (::fseeko(fp, 0, SEEK_END) != 0) return -1;
    return static_cast<int64_t>(::ftello(fp));
}

int32_t xy_pixel_bytes(int32_t type) {
    switch (type) {
    case XY_TYPE_UINT8:
        return 1;
    case XY_TYPE_INT16:
    case XY_TYPE_UINT16:
        return 2;
    case XY_TYPE_INT32:
    case XY_TYPE_FLOAT:
        return 4;
    default:
        return 0;
    }
}

void xy_check_frame_fits(const char* origin, const HDR& hdr, std::FILE* fp, const std::string& file_name) {
    if (hdr.dim_x == 0 || hdr.dim_y == 0)
        v_fatal(origin, "frame size %d * %d of '%s' is empty\n", hdr.dim_x, hdr.dim_y, file_name.c_str());
    const int64_t pixels = int64_t{hdr.dim_x} * hdr.dim_y;
    if (pixels > INT32_MAX)
        v_fatal(origin, "frame of %d * %d pixels in '%s' exceeds the 32-bit image size\n", hdr.dim_x,
                hdr.dim_y, file_name.c_str());
    const int64_t frame_bytes = pixels * xy_pixel_bytes(hdr.type);
    const int64_t file_bytes = xy_file_bytes(fp);
    if (hdr.offset < 0 || file_bytes < 0 || hdr.offset > file_bytes || file_bytes - hdr.offset < frame_bytes)
        v_fatal(origin, "file '%s' of %lld bytes is too short for one frame of %d * %d pixels at byte %lld\n",
                file_name.c_str(), static_cast<long long>(file_bytes), hdr.dim_x, hdr.dim_y,
                static_cast<long long>(hdr.offset));
    errno = 0;
}

// ---------------------------------------------------------------- byte order

// "Swapping on" describes a file written high byte first (the design's hosts
// were little-endian); the values are reversed only when the host differs.
void xy_setswapon() {
    byte_order.swap = host_is_little_endian();
    byte_order.text = "swapping used";
    byte_order.swap16 = byte_order.swap ? xy_eswap16 : xy_nswap16;
    byte_order.swap32 = byte_order.swap ? xy_eswap32 : xy_nswap32;
}

void xy_setswapoff() {
    byte_order.swap = !host_is_little_endian();
    byte_order.text = "no swapping used";
    byte_order.swap16 = byte_order.swap ? xy_eswap16 : xy_nswap16;
    byte_order.swap32 = byte_order.swap ? xy_eswap32 : xy_nswap32;
}

void xy_reset_byte_order() {
    byte_order = ByteOrderState{};
}

bool xy_swap_on() {
    return byte_order.swap;
}
const char* xy_swap_text() {
    return byte_order.text.c_str();
}
void xy_set_swap_text(const char* t) {
    byte_order.text = t ? t : "";
}

int xy_fread16(void* dest, int64_t pos, std::FILE* fp) {
    return read_field(dest, 2, pos, fp, byte_order.swap16);
}
int xy_fread32(void* dest, int64_t pos, std::FILE* fp) {
    return read_field(dest, 4, pos, fp, byte_order.swap32);
}

void xy_eswap16(void* p) {
    reverse_values<2>(p, 1);
}
void xy_eswap32(void* p) {
    reverse_values<4>(p, 1);
}
void xy_nswap16(void*) {}
void xy_nswap32(void*) {}

// ---------------------------------------------------------------- raw readers

int32_t xy_getrawc(IMG& img, uint8_t* buf, int32_t frame, std::FILE* dump) {
    return read_raw_frame(img, buf, frame, dump);
}
int32_t xy_getrawu(IMG& img, uint16_t* buf, int32_t frame, std::FILE* dump) {
    return read_raw_frame(img, buf, frame, dump);
}
int32_t xy_getrawl(IMG& img, int32_t* buf, int32_t frame, std::FILE* dump) {
    return read_raw_frame(img, buf, frame, dump);
}
int32_t xy_getrawf(IMG& img, float* buf, int32_t frame, std::FILE* dump) {
    return read_raw_frame(img, buf, frame, dump);
}
