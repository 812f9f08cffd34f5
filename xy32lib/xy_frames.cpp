// Frame files: series names, the real-time wait, the walk of the format
// registry, byte order and the raw readers of fixed-size pixels.
#include "xy_lib.hpp"

#include <algorithm>
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

// An option given twice, or A beside M, leaves only the last one in force.
void warn_repeated_option(char letter, const std::string& given, const std::string& option,
                          const std::string& base) {
    if (given.find(letter) != std::string::npos)
        prg_warning("option %c given twice for '%s': the last one, %s, is used", letter, base.c_str(),
                    option.c_str());
    else if ((letter == 'A' && given.find('M') != std::string::npos) ||
             (letter == 'M' && given.find('A') != std::string::npos))
        prg_warning("options A and M exclude each other for '%s': the last one, %s, is used", base.c_str(),
                    option.c_str());
}

// Options after an empty one (",,") are not read.
void warn_options_after_empty(const std::string& rest, const std::string& base) {
    if (rest.find_first_not_of(',') != std::string::npos)
        prg_warning("options '%s' after an empty option are ignored for '%s'", rest.c_str(), base.c_str());
}

// Applies the options after the name; an empty option ends the list.
int32_t apply_series_options(const std::string& options, const std::string& base, IMG& img,
                             SeriesName& series) {
    bool counted = false; // an A or M with a number other than 1 was seen
    std::string given;    // the letters of the options so far
    size_t pos = 0;
    while (pos < options.size()) {
        const size_t comma = options.find(',', pos);
        const std::string option =
            options.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (option.empty()) {
            warn_options_after_empty(options.substr(pos), base);
            break;
        }
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
        warn_repeated_option(letter, given, option, base);
        given += letter;
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

// ---------------------------------------------------------------- format choice

// "Ends in" means: the first occurrence of the suffix is at the very end.
bool ends_in(const std::string& name, const char* suffix) {
    const size_t len = std::strlen(suffix);
    return name.size() >= len && name.find(suffix) == name.size() - len;
}

const XyFormat* choice_by_suffix(const std::string& name) {
    for (const XyFormat* f : xy_formats())
        for (const char* suffix : f->suffixes)
            if (suffix && ends_in(name, suffix)) return f;
    return nullptr;
}

const XyFormat* choice_by_content(const std::string& name) {
    struct stat st;
    // Only a regular file is looked into; the module chosen next refuses the rest.
    if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = 0;
        return nullptr;
    }
    FileHandle fp(std::fopen(name.c_str(), "rb"));
    if (!fp) {
        errno = 0; // an unreadable name is left to the module chosen next
        return nullptr;
    }
    const std::string head = xy_read_bytes(fp.get(), 0, 80);
    for (const XyFormat* f : xy_formats())
        if (f->content && f->content(head)) return f;
    return nullptr;
}

const XyFormat* choice_by_default(const std::string& def_format) {
    for (const XyFormat* f : xy_formats())
        if (f->default_key && contains(def_format, f->default_key)) return f;
    v_fatal(kLibOrigin, "no format module reads '%s' files\n", def_format.c_str());
}

std::unique_ptr<HDR> open_with(const XyFormat& format, const std::string& name, const std::string& program,
                               bool as_named, const XyReadOptions& reading) {
    std::unique_ptr<HDR> hdr = format.open(name, program, as_named, reading);
    if (!hdr->decoder) hdr->decoder = format.decoder; // a module may choose one per file
    hdr->threads = std::max(1, reading.threads);
    prg_note_input(hdr->file_name);
    return hdr;
}

// ---------------------------------------------------------------- real-time wait

// The file xy_open will open: a name with a known suffix as it is, an existing
// file that a module recognises by its bytes as it is, else the name the
// default format's module opens (its extension appended). A default given
// without its "." gets one.
std::string awaited_name(const std::string& name, const std::string& def_format) {
    if (name.size() >= 4 && name[name.size() - 4] == '.') return name;
    if (choice_by_suffix(name)) return name;
    struct stat st;
    if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && choice_by_content(name)) return name;
    if (def_format.empty() || def_format[0] == '.') return name + def_format;
    return name + "." + def_format;
}

void wait_for_file(const std::string& name, const std::string& def_format, int32_t wait_seconds,
                   int32_t wait_timeout) {
    std::string watched = awaited_name(name, def_format);
    struct stat st;
    int64_t waited = 0;
    while (::stat(watched.c_str(), &st) != 0) {
        if (wait_timeout > 0 && waited >= wait_timeout)
            v_fatal(kLibOrigin, "file %s did not appear within REALTIME_TIMEOUT = %d seconds",
                    watched.c_str(), wait_timeout);
        prg_screen(" file %s not stated, waiting %d seconds\n", watched.c_str(), wait_seconds);
        prg_flush_messages();
        ::sleep(static_cast<unsigned>(wait_seconds));
        waited += wait_seconds;
        watched = awaited_name(name, def_format);
    }
    errno = 0;
    const int64_t age = static_cast<int64_t>(std::time(nullptr)) - static_cast<int64_t>(st.st_mtime);
    prg_screen(" file %s stated, last modification is %d seconds old\n", watched.c_str(),
               static_cast<int>(age));
    if (age < wait_seconds) {
        prg_screen(" waiting %d seconds to ensure data completion\n", static_cast<int>(wait_seconds - age));
        prg_flush_messages();
        ::sleep(static_cast<unsigned>(wait_seconds - age));
    }
    prg_flush_messages();
}

// ---------------------------------------------------------------- byte order

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

template <class Word> Word field_in_host_order(const void* p, XyByteOrder order) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return xy_swaps(order) ? reversed(w) : w;
}

template <class Word> int read_field(void* dest, int64_t pos, std::FILE* fp, XyByteOrder order) {
    unsigned char bytes[sizeof(Word)];
    if (::fseeko(fp, static_cast<off_t>(pos), SEEK_SET) != 0) return 0;
    if (std::fread(bytes, sizeof bytes, 1, fp) != 1) return 0;
    const Word w = field_in_host_order<Word>(bytes, order);
    std::memcpy(dest, &w, sizeof w);
    return 1;
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

// Byte position of the window's first pixel in frame `frame`, or -1 when it
// lies beyond any file (the frame number is absurdly large).
int64_t window_start(const IMG& img, const XyWindow& w, int32_t frame, int64_t pixel_bytes) {
    const int64_t row_start = int64_t{w.y0} * img.dim_x + w.x0;
    int64_t frames_before = 0, pixels = 0, bytes = 0, pos = 0;
    if (__builtin_mul_overflow(int64_t{frame} - 1, int64_t{img.file_size}, &frames_before) ||
        __builtin_add_overflow(frames_before, row_start, &pixels) ||
        __builtin_mul_overflow(pixels, pixel_bytes, &bytes) ||
        __builtin_add_overflow(img.hdr->offset, bytes, &pos))
        return -1;
    return pos;
}

void check_window(const IMG& img, const XyWindow& w, const char* reader) {
    if (!img.hdr || !img.hdr->fp)
        v_fatal(kLibOrigin, "%s : image '%s' has no open frame file\n", reader, img.name.c_str());
    const bool inside = w.width > 0 && w.height > 0 && w.x0 >= 0 && w.y0 >= 0 &&
                        int64_t{w.x0} + w.width <= img.dim_x && int64_t{w.y0} + w.height <= img.dim_y &&
                        int64_t{img.dim_x} * img.dim_y <= img.file_size;
    if (!inside)
        v_fatal(kLibOrigin, "%s : region %d+%d * %d+%d outside the %d * %d frame of '%s'\n", reader, w.x0,
                w.width, w.y0, w.height, img.dim_x, img.dim_y, img.hdr->file_name.c_str());
}

// Reads the window's rows: one read for the whole block when it is contiguous,
// else one per row. Returns the number of complete rows read.
template <class T>
int32_t read_window_rows(const IMG& img, const XyWindow& w, T* buf, int64_t start, std::FILE* fp) {
    const size_t width = static_cast<size_t>(w.width);
    if (w.width == img.dim_x) {
        if (::fseeko(fp, static_cast<off_t>(start), SEEK_SET) != 0) return 0;
        const size_t got = std::fread(buf, sizeof(T), width * static_cast<size_t>(w.height), fp);
        return static_cast<int32_t>(got / width);
    }
    const int64_t stride = int64_t{img.dim_x} * static_cast<int64_t>(sizeof(T));
    for (int32_t r = 0; r < w.height; ++r) {
        if (::fseeko(fp, static_cast<off_t>(start + r * stride), SEEK_SET) != 0) return r;
        if (std::fread(buf + static_cast<size_t>(r) * width, sizeof(T), width, fp) != width) return r;
    }
    return w.height;
}

template <class T> void dump_window(const XyWindow& w, const T* buf, std::FILE* dump) {
    for (int32_t r = 0; r < w.height; ++r) {
        std::string line = prg_format("#I %3d :", r);
        const T* row = buf + static_cast<size_t>(r) * static_cast<size_t>(w.width);
        for (int32_t x = 0; x < w.width; ++x)
            PixelTraits<T>::print(line, row[x]);
        line += "\n";
        prg_write(dump, line);
    }
}

// Reads the window from the file: rows read, 0 or -1.
template <class T> int32_t read_stored_window(const IMG& img, const XyWindow& w, T* buf, int32_t frame) {
    const int64_t start = frame < 1 ? -1 : window_start(img, w, frame, sizeof(T));
    if (start < 0) return 0; // no such frame in any file

    errno = 0;
    const int32_t rows = read_window_rows(img, w, buf, start, img.hdr->fp.get());
    if (rows == 0) return 0; // the frame does not exist
    if (rows < w.height) {
        const int err = errno;
        if (std::is_same<T, float>::value) prg_screen("j= %3d \n", 0);
        prg_flush_messages();
        prg_notice("%s error %d reading %d image at y = %d, y_min %d, pos %d\n", PixelTraits<T>::reader, err,
                   0, w.y0 + rows, w.y0, frame);
        return -1;
    }
    if (sizeof(T) > 1 && xy_swaps(img.hdr->byte_order))
        reverse_values<sizeof(T)>(buf, static_cast<size_t>(w.width) * static_cast<size_t>(w.height));
    return rows;
}

// Unsigned 32-bit samples above 2^31 - 1 read as negative pixels: refused,
// naming the first such pixel, unless they are the all-ones mark or
// VALID_RANGE leaves them out of the sum.
void refuse_unsigned_overflow(const IMG& img, const XyWindow& w, const int32_t* buf, int32_t frame) {
    if (img.valid.set) return;
    const size_t n = static_cast<size_t>(w.width) * static_cast<size_t>(w.height);
    const int32_t* first = std::find_if(buf, buf + n, [](int32_t v) { return v < 0 && v != kUint32Mark; });
    if (first == buf + n) return;
    const size_t i = static_cast<size_t>(first - buf);
    v_fatal(kLibOrigin,
            " xy_getrawl : unsigned value %u at pixel x %lld y %lld of frame %d in '%s' is beyond "
            "the 32-bit pixel range\n",
            static_cast<uint32_t>(*first), static_cast<long long>(w.x0 + i % static_cast<size_t>(w.width)),
            static_cast<long long>(w.y0 + i / static_cast<size_t>(w.width)), frame,
            img.hdr->file_name.c_str());
}

// The one implementation behind xy_getrawc/u/l/f: the format's frame decoder
// when it has one, else the stored values.
template <class T>
int32_t read_raw_frame(const IMG& img, const XyWindow& w, T* buf, int32_t frame, std::FILE* dump) {
    check_window(img, w, PixelTraits<T>::reader);
    const FrameDecoder decoder = img.hdr->decoder;
    const int32_t rows =
        decoder ? (frame < 1 ? 0 : decoder(*img.hdr, frame, w, buf)) : read_stored_window(img, w, buf, frame);
    if (rows <= 0) return rows;
    if constexpr (std::is_same_v<T, int32_t>)
        if (img.hdr->uint32_samples) refuse_unsigned_overflow(img, w, buf, frame);
    if (dump) dump_window(w, buf, dump);
    return w.height;
}

} // namespace

// ---------------------------------------------------------------- series names

int32_t xy_rep_name(const std::string& word, IMG& img, SeriesName& series) {
    series = SeriesName{};
    const size_t comma = word.find(',');
    series.base = word.substr(0, comma);
    if (comma != std::string::npos) apply_series_options(word.substr(comma + 1), series.base, img, series);

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

std::string xy_file_to_open(const std::string& name, const std::string& def_format) {
    return awaited_name(name, def_format);
}

const XyFormat* xy_format_by_suffix(const std::string& name) {
    return choice_by_suffix(name);
}

std::unique_ptr<HDR> xy_open(const std::string& name, const std::string& program,
                             const std::string& def_format, int32_t wait_seconds, bool detect,
                             const XyReadOptions& reading) {
    if (wait_seconds > 0) wait_for_file(name, def_format, wait_seconds, reading.wait_timeout);
    if (const XyFormat* f = choice_by_suffix(name)) return open_with(*f, name, program, false, reading);
    // A module recognised by the file's own bytes opens that very file, not the
    // name with its extension appended.
    if (detect)
        if (const XyFormat* f = choice_by_content(name)) return open_with(*f, name, program, true, reading);
    return open_with(*choice_by_default(def_format), name, program, false, reading);
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
    prg_refuse_special_file(origin, file_name);
    errno = 0;
    FileHandle fp(std::fopen(file_name.c_str(), "rb"));
    if (!fp && errno_in_message)
        v_error(origin, "%s_open (errno=%d): unable to open %s file '%s'\n", module, errno, program.c_str(),
                file_name.c_str());
    if (!fp)
        v_error(origin, "%s_open : unable to open %s file '%s'\n", module, program.c_str(),
                file_name.c_str());
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

// A file with no declared order is read high byte first.
bool xy_swaps(XyByteOrder order) {
    const bool stored_little = order == XyByteOrder::low_first;
    return stored_little != xy_host_little_endian();
}

const char* xy_byte_order_text(XyByteOrder order) {
    switch (order) {
    case XyByteOrder::high_first:
        return "swapping used";
    case XyByteOrder::low_first:
        return "no swapping used";
    default:
        return "swapping not yet defined";
    }
}

uint16_t xy_field16(const void* p, XyByteOrder order) {
    return field_in_host_order<uint16_t>(p, order);
}
uint32_t xy_field32(const void* p, XyByteOrder order) {
    return field_in_host_order<uint32_t>(p, order);
}

int xy_fread16(void* dest, int64_t pos, std::FILE* fp, XyByteOrder order) {
    return read_field<uint16_t>(dest, pos, fp, order);
}
int xy_fread32(void* dest, int64_t pos, std::FILE* fp, XyByteOrder order) {
    return read_field<uint32_t>(dest, pos, fp, order);
}

void xy_eswap16(void* p) {
    reverse_values<2>(p, 1);
}
void xy_eswap32(void* p) {
    reverse_values<4>(p, 1);
}

// ---------------------------------------------------------------- raw readers

XyWindow xy_region_window(const IMG& img) {
    return XyWindow{img.x_min, img.y_min, img.reg_width, img.reg_height};
}

int32_t xy_getrawc(const IMG& img, const XyWindow& window, uint8_t* buf, int32_t frame, std::FILE* dump) {
    return read_raw_frame(img, window, buf, frame, dump);
}
int32_t xy_getrawu(const IMG& img, const XyWindow& window, uint16_t* buf, int32_t frame, std::FILE* dump) {
    return read_raw_frame(img, window, buf, frame, dump);
}
int32_t xy_getrawl(const IMG& img, const XyWindow& window, int32_t* buf, int32_t frame, std::FILE* dump) {
    return read_raw_frame(img, window, buf, frame, dump);
}
int32_t xy_getrawf(const IMG& img, const XyWindow& window, float* buf, int32_t frame, std::FILE* dump) {
    return read_raw_frame(img, window, buf, frame, dump);
}

template <class T> bool xy_read_stored_apart(const IMG& img, const XyWindow& w, T* buf, int32_t frame) {
    const HDR* hdr = img.hdr.get();
    if (!hdr || !hdr->fp || hdr->decoder || hdr->uint32_samples || frame < 1 || w.width != img.dim_x ||
        w.x0 != 0 || w.y0 < 0 || w.height <= 0 || int64_t{w.y0} + w.height > img.dim_y ||
        int64_t{img.dim_x} * img.dim_y > img.file_size)
        return false;
    const int64_t start = window_start(img, w, frame, sizeof(T));
    const size_t values = static_cast<size_t>(w.width) * static_cast<size_t>(w.height);
    if (start < 0 || !prg_read_at(hdr->fp.get(), static_cast<uint64_t>(start), values * sizeof(T), buf))
        return false;
    if (sizeof(T) > 1 && xy_swaps(hdr->byte_order)) reverse_values<sizeof(T)>(buf, values);
    return true;
}
template bool xy_read_stored_apart(const IMG&, const XyWindow&, uint8_t*, int32_t);
template bool xy_read_stored_apart(const IMG&, const XyWindow&, uint16_t*, int32_t);
template bool xy_read_stored_apart(const IMG&, const XyWindow&, int32_t*, int32_t);
template bool xy_read_stored_apart(const IMG&, const XyWindow&, float*, int32_t);

int32_t xy_getrawc(const IMG& img, uint8_t* buf, int32_t frame, std::FILE* dump) {
    return xy_getrawc(img, xy_region_window(img), buf, frame, dump);
}
int32_t xy_getrawu(const IMG& img, uint16_t* buf, int32_t frame, std::FILE* dump) {
    return xy_getrawu(img, xy_region_window(img), buf, frame, dump);
}
int32_t xy_getrawl(const IMG& img, int32_t* buf, int32_t frame, std::FILE* dump) {
    return xy_getrawl(img, xy_region_window(img), buf, frame, dump);
}
int32_t xy_getrawf(const IMG& img, float* buf, int32_t frame, std::FILE* dump) {
    return xy_getrawf(img, xy_region_window(img), buf, frame, dump);
}
int32_t xy_getrawa(const IMG& img, int32_t* buf, int32_t frame, std::FILE* dump) {
    return xy_getrawa(img, xy_region_window(img), buf, frame, dump);
}
