// Image library: the image record IMG, the frame-file record HDR and the
// operations on them (geometry, frame files, summation, cosmic-ray tests,
// header list, image information).
#pragma once

#include "prg_lib.hpp"
#include "xy_threads.hpp"

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

// Pixel type codes of HDR::type and IMG::data_type.
enum : int32_t {
    XY_TYPE_UNSUPPORTED = 0,
    XY_TYPE_UINT8 = 1,
    XY_TYPE_INT16 = 2,
    XY_TYPE_UINT16 = 3,
    XY_TYPE_INT32 = 4,
    XY_TYPE_FLOAT = 5,
    XY_TYPE_TEXT = 6,
};

// Format codes of HDR::format.
enum : int32_t {
    XY_FORMAT_NONE = 0, // IPN-label files
    XY_FORMAT_SPE = 1,
    XY_FORMAT_KVF = 2,
    XY_FORMAT_GEL = 3,
    XY_FORMAT_TXT = 4,
    XY_FORMAT_H5 = 5,      // HDF5 / NeXus stacks
    XY_FORMAT_CBF = 6,     // CBF
    XY_FORMAT_LIBTIFF = 7, // TIFF read through libtiff
};

// Owns an open stdio stream; closes it when the owner goes away.
class FileHandle {
  public:
    FileHandle() = default;
    explicit FileHandle(std::FILE* fp) : fp_(fp) {}
    ~FileHandle() { close(); }
    FileHandle(FileHandle&& other) noexcept : fp_(other.fp_) { other.fp_ = nullptr; }
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) {
            close();
            fp_ = other.fp_;
            other.fp_ = nullptr;
        }
        return *this;
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    std::FILE* get() const { return fp_; }
    explicit operator bool() const { return fp_ != nullptr; }
    void close() {
        if (fp_) std::fclose(fp_);
        fp_ = nullptr;
    }

  private:
    std::FILE* fp_ = nullptr;
};

// Byte order of a file's 16- and 32-bit values, set by the module that opens
// the file. A file that declares none is read high byte first.
enum class XyByteOrder : uint8_t {
    unset,      // described as "swapping not yet defined"
    high_first, // "swapping used"
    low_first,  // "no swapping used"
};

// The part of a frame a reader reads: columns x0 to x0 + width - 1 and rows
// y0 to y0 + height - 1, from 0.
struct XyWindow {
    int32_t x0 = 0;
    int32_t y0 = 0;
    int32_t width = 0;
    int32_t height = 0;
};

struct HDR;
class FrameSource;
// Decodes frame `frame` (from 1) of an open file over `window` into `buf`:
// window.width * window.height values of the file's pixel type (HDR::type),
// row after row, in host byte order. Returns the rows decoded, 0 when the file
// has no such frame, -1 when the frame is damaged. For formats whose frames are
// compressed or scattered; the raw readers call it in place of their own reads.
using FrameDecoder = int32_t (*)(const HDR& hdr, int32_t frame, const XyWindow& window, void* buf);

// One (key, value) entry of a file's header list, kept verbatim.
struct KvfItem {
    std::string key;
    std::string value;
};

// Frame-file record: the description of one open frame file.
struct HDR {
    uint16_t dim_x = 0;    // frame width ("Dim_1")
    uint16_t dim_y = 0;    // frame height ("Dim_2")
    int64_t offset = 0;    // byte position of frame 1's first pixel (64-bit: series exceed 4 GiB)
    float exposure = 0.0f; // SPE only; informative
    int32_t frames = 0;    // frames the file declares; informative
    int32_t type = 0;      // pixel type code
    int32_t n_alloc = 0;   // capacity of the header list (grows by 8)
    int32_t n_items = 0;   // entries in use (== items.size())
    std::vector<KvfItem> items;
    std::string file_name; // name actually opened
    FileHandle fp;
    int32_t format = 0;
    XyByteOrder byte_order = XyByteOrder::unset;
    FrameDecoder decoder = nullptr; // set by xy_open from the format registry
    // 32-bit samples stored unsigned: the 32-bit reader refuses values above
    // 2^31 - 1, which a signed pixel cannot hold, except the all-ones mark of
    // a pixel without a valid value (read as -1) and, with VALID_RANGE, any.
    bool uint32_samples = false;
    // The file declares its frames and keeps other bytes after them (TIFF
    // tags, an SPE footer): those are not frames.
    bool bytes_after_frames = false;
    // The format's writer stores an image wider than high transposed (text
    // files), so that a mask read back from it may come transposed.
    bool wide_stored_transposed = false;
    // The open state of a module that decodes its own frames (xy_decoder.hpp).
    std::shared_ptr<FrameSource> source;
    // Text files: byte offset of frames 1, 2, ... as far as they were found, so
    // that reading frame k never rereads the frames before it.
    std::vector<int64_t> frame_starts;
    // Threads its frames may be decoded and summed on (the job's THREADS).
    int32_t threads = 1;
};

// Per-pixel time series of the cosmic-ray test; all empty when the test is off.
struct CosmicArrays {
    // The largest value of a pixel before any frame: every value beats it.
    static constexpr int32_t no_maximum = INT32_MIN;
    std::vector<int32_t> mval;    // largest single-frame value
    std::vector<uint16_t> mframe; // frame that gave it
    std::vector<double> sumq;     // sum of squared single-frame values
};

// VALID_RANGE: frame values outside [low, high] mark pixels without a valid
// value, which are neither added nor counted (as the all-ones marks of 16- and
// unsigned 32-bit frames and NaN in float frames always are).
struct XyValidRange {
    bool set = false;
    double low = 0.0;
    double high = 0.0;
};

// A job's reading settings, which every acquisition starts from: region,
// binning, frame range, orientation, MULT and cosmic-ray thresholds from the
// settings file (xy_inipar); once a working image has its first image, also
// the geometry of its files. An image record carries them as its own fields.
struct XyReading {
    int32_t x_min = 0;
    int32_t x_max = 0;
    int32_t y_min = 0;
    int32_t y_max = 0;
    int32_t x_bind = 0;
    int32_t y_bind = 0;
    int32_t file_size = 0;
    int32_t dim_x = 0;
    int32_t dim_y = 0;
    int32_t reg_size = 0;
    int32_t reg_width = 0;
    int32_t reg_height = 0;
    int32_t size = 0; // 0: geometry not computed yet
    int32_t nx = 0;
    int32_t ny = 0;
    int32_t beg_frame = 0;
    int32_t end_frame = 0;
    std::string orien; // XY_ORIEN; empty means no reorientation
    float mult = 0.0f;
    float t_cosmic = 0.0f;
    float s_cosmic = 0.0f;
    float h_cosmic = 0.0f;
    float p_cosmic = 0.0f;
    float r_cosmic = 0.0f;
    XyValidRange valid; // VALID_RANGE
};

// Image record: its reading settings (copied into every acquisition by
// xy_imgini; the geometry derived by xy_setsize), then what was read.
struct IMG : XyReading {
    int32_t frames = 0;
    std::string name;
    int32_t data_type = 0;
    int32_t min = 0;
    int32_t max = 0;
    int32_t nonzero = 0;
    int32_t used = 0;
    int32_t min_x = 0;
    int32_t min_y = 0;
    int32_t max_x = 0;
    int32_t max_y = 0;
    double mean = 0.0;
    double sigma = 0.0;
    std::vector<int32_t> data;
    std::vector<uint16_t> frame;
    std::unique_ptr<HDR> hdr;
    CosmicArrays cosmic;
    // Working memory of the summation: a read buffer per pixel type, and the
    // decoded frames of a group of files, kept from file to file of a series
    // and released with the cosmic arrays.
    using ReadBuffers = std::tuple<std::vector<uint8_t>, std::vector<uint16_t>, std::vector<int32_t>,
                                   std::vector<float>, ScratchVector<uint16_t>, ScratchVector<int32_t>>;
    ReadBuffers read_buffers;
    int32_t n_saturated = 0;
    int32_t n_invalid = 0; // frame values without a valid value (marks, VALID_RANGE)
    int32_t n_time = 0;
    int32_t n_space = 0;
    int32_t n_low = 0;
    int32_t corrected = 0;
};

// ---------------------------------------------------------------- record, region, binning
// Stops the run when the pixel types do not have the widths the planes need.
void xy_chktype();
// Help lines of the image keys (region, binning, frames, orientation, MULT).
void xy_iniuse();
// Member of the settings chain: 1 when the key was an image key, else 0.
int xy_inipar(XyReading& reading, const IniTag& tag);
// Region, binning and sizes of `img` from its open file's dimensions.
void xy_setsize(IMG& img);
void xy_prtsize(const IMG& img);
// Copies the region, binning and derived sizes (nothing else) from `src`.
void xy_cpsize(IMG& dst, const IMG& src);
// Gives `dst` the reading settings `src`: xy_cpsize, frame range, cosmic-ray
// thresholds, orientation and MULT.
void xy_imgini(IMG& dst, const XyReading& src);
// Bins a region of 32-bit or float values into the image's nx * ny bins.
std::vector<int32_t> xy32_bind(const IMG& img, const int32_t* raw);
std::vector<int32_t> xy32f_bind(const IMG& img, const float* raw);
// Sum of the 16-bit values of bin i into `sum`, leaving out the saturated
// ones (65535); returns how many of those the bin holds.
int satbind16(const IMG& img, const uint16_t* raw, int32_t i, double& sum);
// Pixel i scaled to the full frame count: value * frames / frame[i], rounded
// half up; the value itself when the pixel saw every frame or none.
int32_t xy_valcor(const IMG& img, int64_t i);
// The same for a sum of `frames` frames.
int32_t xy_valcor(const IMG& img, int64_t i, int32_t frames);
// Reorients the planes as XY_ORIEN says; a pixel position alike.
void xy_orien(IMG& img);
void xy_orien_pixel(const IMG& img, double& x, double& y);

// ---------------------------------------------------------------- frame files
// Result of parsing "name[,Bb][,Ee][,Aa|,Mm][,Uu][,X]".
struct SeriesName {
    std::string base; // name before the trailing number
    std::string ext;  // from the last "." on
    int32_t ndig = 0; // digits of the trailing number, 0 when none
    int64_t num = 0;  // its value
    int32_t count = 1;
    bool no_cosmic = false; // X
    int32_t frames_u = 0;   // U
    bool mosaic = false;    // M
};

// Parses an image word into `series` (B and E go to img's frame range);
// returns the number of files.
int32_t xy_rep_name(const std::string& word, IMG& img, SeriesName& series);
// The name of file `num` of a series, in `dir` unless the base is absolute or
// starts with ".".
std::string xy_cur_name(const std::string& dir, const std::string& base, const std::string& ext, int32_t ndig,
                        int64_t num);
// A job's choices for reading files: how long a real-time wait for a file
// may last (REALTIME_TIMEOUT, seconds; 0: no limit) and the dataset an HDF5
// file is read from (H5_DATA; empty: the module looks for it).
// `threads`: the threads its frames may be decoded and summed on (THREADS).
struct XyReadOptions {
    int32_t wait_timeout = 0;
    std::string h5_data_path;
    int32_t threads = xy_default_threads();
};

// Opens a frame file with the module its name, its first bytes (when
// `detect`) or `def_format` chooses, after waiting `wait_seconds` for it when
// that is above 0; a file that has not appeared after `reading.wait_timeout`
// seconds stops the run.
std::unique_ptr<HDR> xy_open(const std::string& name, const std::string& program,
                             const std::string& def_format, int32_t wait_seconds, bool detect,
                             const XyReadOptions& reading = {});

// Raw readers: one window of frame `frame` (from 1) of the record's open file
// (img.hdr) into `buf` (window.width * window.height values, row after row),
// in host byte order. Return the window's height, 0 for a missing frame, -1
// for a truncated one. `dump`, when given, receives the values read.
int32_t xy_getrawc(const IMG& img, const XyWindow& window, uint8_t* buf, int32_t frame, std::FILE* dump);
int32_t xy_getrawu(const IMG& img, const XyWindow& window, uint16_t* buf, int32_t frame, std::FILE* dump);
int32_t xy_getrawl(const IMG& img, const XyWindow& window, int32_t* buf, int32_t frame, std::FILE* dump);
int32_t xy_getrawf(const IMG& img, const XyWindow& window, float* buf, int32_t frame, std::FILE* dump);
// The same window of a frame stored at a fixed place (no decoder), whole rows
// of the frame, read as the raw readers read it but on any thread: a
// positioned read that moves no shared stream. False, reporting nothing,
// where the raw reader must be used instead (another window, a decoded or
// unsigned 32-bit file, a read that comes short).
template <class T> bool xy_read_stored_apart(const IMG& img, const XyWindow& window, T* buf, int32_t frame);
// Text frames; values times MULT when MULT > 1, truncated toward zero.
int32_t xy_getrawa(const IMG& img, const XyWindow& window, int32_t* buf, int32_t frame, std::FILE* dump);
// The record's region (x_min, y_min, reg_width, reg_height) as a window.
XyWindow xy_region_window(const IMG& img);
// The same readers over the record's region.
int32_t xy_getrawc(const IMG& img, uint8_t* buf, int32_t frame, std::FILE* dump);
int32_t xy_getrawu(const IMG& img, uint16_t* buf, int32_t frame, std::FILE* dump);
int32_t xy_getrawl(const IMG& img, int32_t* buf, int32_t frame, std::FILE* dump);
int32_t xy_getrawf(const IMG& img, float* buf, int32_t frame, std::FILE* dump);
int32_t xy_getrawa(const IMG& img, int32_t* buf, int32_t frame, std::FILE* dump);

// The all-ones mark of a pixel without a valid value in unsigned 32-bit
// frames, as a signed pixel reads it: not refused as beyond the pixel range.
constexpr int32_t kUint32Mark = -1;

// ---------------------------------------------------------------- byte order
constexpr bool xy_host_little_endian() {
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
}
// True when values stored in `order` must be byte-reversed on this host.
bool xy_swaps(XyByteOrder order);
// "swapping used", "no swapping used" or "swapping not yet defined".
const char* xy_byte_order_text(XyByteOrder order);
// A 16- or 32-bit field stored at `p` in `order`, in host order.
uint16_t xy_field16(const void* p, XyByteOrder order);
uint32_t xy_field32(const void* p, XyByteOrder order);
// The same fields read from byte `pos` of a file into `dest`; return the
// number of values read (0 at the end of the file).
int xy_fread16(void* dest, int64_t pos, std::FILE* fp, XyByteOrder order);
int xy_fread32(void* dest, int64_t pos, std::FILE* fp, XyByteOrder order);
void xy_eswap16(void* p); // reverses the two bytes at p
void xy_eswap32(void* p); // reverses the four bytes at p

// ---------------------------------------------------------------- format registry
using FormatOpen = std::unique_ptr<HDR> (*)(const std::string& name, const std::string& program,
                                            bool as_named, const XyReadOptions& reading);

// A format module as xy_open sees it; each module defines one. Suffixes and
// content tests of different modules exclude one another.
struct XyFormat {
    const char* label;
    const char* suffixes[3];                  // a name ending in one of these; unused slots null
    bool (*content)(const std::string& head); // recognises the first 80 bytes; null: never
    const char* default_key;                  // chosen when the default format text holds it
                                              // ("" holds for any text); null: never
    FormatOpen open;                          // as_named: recognised by content under this name
    FrameDecoder decoder;                     // null: the raw readers read the frames
};

// The file xy_open will open for `name` (its extension, the content test and
// the default format applied), without opening anything.
std::string xy_file_to_open(const std::string& name, const std::string& def_format);

// Every format module, in the order xy_open tries them (the registry).
const std::vector<const XyFormat*>& xy_formats();

// ---------------------------------------------------------------- writers
// How the interchange writers (TIFF_TYPE for TIFF, H5_TYPE for HDF5) store the
// values: the automatic depth of the TIFF writer, or as they are in signed
// 32-bit integers (-1 where no frame counted) or 32-bit floats (NaN there).
enum class XySampleType : int32_t { automatic, int32, float32 };
// The filter of the HDF5 image datasets (H5_COMPRESSION).
enum class XyCompression : int32_t { none, gzip, bitshuffle_lz4 };
// The scale of the preview image (PREVIEW_SCALE).
enum class XyPreviewScale : int32_t { logarithmic, linear };

// A fact the HDF5 writer records beside the image: `group` under /entry
// ("instrument/detector", "process", ...), the field's name, and a number
// with its units or a text.
struct XyMetadataItem {
    std::string group;
    std::string name;
    std::string text; // used when not numeric
    double number = 0.0;
    bool numeric = false;
    std::string units;
};

// What a writer is asked for: the depth of the TIFF and GEL writers (0 from
// the values, 1 16 bits, 2 8 bits), the line ends of the text writer (CR), the
// pixel type of the native writer, the choices of the interchange writers,
// and the threads that compress the chunks of HDF5 files (the job's THREADS).
struct XyWriteOptions {
    int32_t depth_mode = 0;
    int32_t cr_mode = 0;
    int32_t kvf_type = XY_TYPE_INT32;
    XySampleType tiff_type = XySampleType::automatic;
    XySampleType h5_type = XySampleType::int32;
    XyCompression h5_compression = XyCompression::gzip;
    XyPreviewScale preview_scale = XyPreviewScale::logarithmic;
    std::vector<XyMetadataItem> metadata;
    int32_t threads = 1;
};

// How a writer stores the values: depth, the offset subtracted from every
// value, then the scale factor applied (0: none).
struct OutputDepth {
    int32_t bits = 32;
    int32_t offset = 0; // subtracted from every value
    double scale = 0.0; // 0: none
};

// A writer, declared by its format module beside the module's reader.
struct XyWriter {
    const char* label;     // its name in the run summary: "gel", "tif", "txt", "kvf"
    const char* marker;    // a file name holding this text chooses the writer
    const char* extension; // appended to a name that does not hold it
    void (*write)(const IMG& img, const std::string& path, const XyWriteOptions& options);
    OutputDepth (*depth)(const IMG& img, const XyWriteOptions& options); // what write stores
};

// Every writer, in the order their markers are looked for in a name.
const std::vector<const XyWriter*>& xy_writers();
// The writer a file name chooses: the first writer other than the caller's
// `fallback` (a label) whose marker the name holds, else the fallback.
const XyWriter& xy_writer_for(const std::string& name, const char* fallback);
// Writes `img` to `name` with the writer the name chooses; returns that writer.
const XyWriter& xy_write(const IMG& img, const std::string& name, const char* fallback,
                         const XyWriteOptions& options);
// The format a name selects by its ending alone, as xy_open chooses it (the
// first occurrence of a suffix at the very end); null when none does.
const XyFormat* xy_format_by_suffix(const std::string& name);

// ---------------------------------------------------------------- common work of the format modules
// The name a module opens: `name`, with the first of `extensions` appended when
// it contains none of them, unless the file was recognised by its content
// under this very name (`as_named`).
std::string xy_module_file_name(const std::string& name, std::initializer_list<const char*> extensions,
                                bool as_named);
// Opens a frame file for reading in byte mode; failure stops the run with
// "<module>_open (errno=%d): unable to open <program> file '<name>'", or
// without the "(errno=%d)" part for the modules whose message has none.
FileHandle xy_open_frame_file(const char* origin, const char* module, const std::string& program,
                              const std::string& file_name, bool errno_in_message = true);
// Up to `count` bytes from byte `pos` (fewer at the end of the file).
std::string xy_read_bytes(std::FILE* fp, int64_t pos, size_t count);
int64_t xy_file_bytes(std::FILE* fp); // -1 when unknown
int32_t xy_pixel_bytes(int32_t type); // 0 for text and unsupported types
// Refuses declared sizes the file cannot back: an empty frame, a frame over the
// 32-bit pixel count, or a file too short for frame 1 at `offset`.
void xy_check_frame_fits(const char* origin, const HDR& hdr, std::FILE* fp, const std::string& file_name);

// The statistics of a record, apart from it.
struct XyStatistics {
    int32_t used = 0;
    int32_t nonzero = 0;
    int32_t min = 0;
    int32_t min_x = 0;
    int32_t min_y = 0;
    int32_t max = 0;
    int32_t max_x = 0;
    int32_t max_y = 0;
    double mean = 0.0;
    double sigma = 0.0;
};
XyStatistics xy_statistics(const IMG& img);
void xy_set_statistics(IMG& img, const XyStatistics& s);

// ---------------------------------------------------------------- summation
// Sums the frames of img's open file into img.data and img.frame (new planes
// when `new_sum`, else added to the current ones), with the time series of
// the cosmic-ray test when `cosmic`. `print` holds the PRINT bits; progress
// goes to `out` when given.
std::vector<int32_t>& xy_getsum(IMG& img, std::FILE* out, int32_t print, bool new_sum, bool cosmic);
// xy_getsum followed by xy_info(img, 0), with the statistics gathered while the
// last frames are added where the frames are read band by band.
std::vector<int32_t>& xy_getsum_info(IMG& img, std::FILE* out, int32_t print, bool new_sum, bool cosmic);
// What summing a file of a group gave: the saturated pixels of its frame, and
// the statistics of the sum once its frame was in (`decided` false when they
// had to be made anew from the planes).
struct XyFileSum {
    int64_t saturated = 0;
    XyStatistics statistics;
    bool decided = false;
};
// Whether xy_getsum_files can add `file` to the sum in progress in img, as
// the file at `position` of a group of files of pixel type `type`: a 16- or
// 32-bit integer file of the sum's size, holding one whole frame (and asked
// for it), unbinned. A file whose frame is decoded joins only a group of such
// files, when its source decodes on any thread and the file has more than one
// thread (THREADS): the group's frames are then decoded on them.
bool xy_getsum_files_take(const IMG& img, const HDR& file, int32_t type, int64_t position);
// Adds the frame of each file to the sum in progress in img (cosmic arrays
// included when it has them), as xy_getsum_info would file after file, but
// reading the files band by band together. Prints nothing; gives for each file
// its saturated pixels and the statistics after it. img.frames and
// img.n_saturated end as after the last file; img.hdr is not changed. When a
// decoded file could not be decoded on a worker thread, only the files before
// it are summed (fewer results than files): the caller reads it alone next.
std::vector<XyFileSum> xy_getsum_files(IMG& img, std::vector<std::unique_ptr<HDR>>& files);
// The lines a sum of `file` prints with PRINT_INFO: the frames used and, for
// 16-bit files, the saturated pixels met.
void xy_print_sum_lines(std::FILE* out, int32_t print, const HDR& file, int64_t used, int64_t saturated);
// With PRINT_INFO, the frame values without a valid value a sum met (marks,
// VALID_RANGE), when there were any or VALID_RANGE is set.
void xy_print_invalid_line(std::FILE* out, int32_t print, const IMG& img, int64_t invalid);

// ---------------------------------------------------------------- header list, information, release
int32_t xy_kvfstr(HDR& hdr, const std::string& key, const std::string& value);
// Appends the entries a header synthesised from another format starts with:
// HeaderID, ByteOrder (LowByteFirst, the order the native writer uses),
// DataType when `data_type` is given, then Dim_1, Dim_2 and Image of the record.
void xy_standard_entries(HDR& hdr, const char* data_type);
// Describes a file (name, size, frames, pixel type, byte order) and, with
// `with_entries`, its header list: on the message channel, or on `stream`.
void xy_puthdr(const HDR& hdr, bool with_entries);
void xy_fputhdr(std::FILE* stream, const HDR& hdr, bool with_entries);
const char* xy_type_name(int32_t type);

// Statistics selected by the `what` bits of xy_info; INFO_ALL (0) selects all.
enum : int32_t {
    INFO_ALL = 0,
    INFO_NONZERO = 0x1,
    INFO_MIN = 0x2,
    INFO_MAX = 0x4,
    INFO_MEAN = 0x8,
    INFO_SIGMA = 0x10, // the mean and the standard deviation
};
// Computes the statistics `what` selects (and always `used`) into img.
void xy_info(IMG& img, int32_t what);
// The statistics of xy_info(img, 0) gathered block by block while the pixels
// become final, so that a sum and its statistics take one pass over memory:
// made once the record's planes, frame count and correction state are what
// they will be, fed the pixels in index order, it puts the statistics in the
// record at finish() (through xy_info when the blocks did not cover the
// record in order).
class XyInfoAccumulator {
  public:
    // Takes pixels from `first` on: accumulators of consecutive pieces of the
    // record, filled on several threads, are joined with append().
    explicit XyInfoAccumulator(const IMG& img, int64_t first = 0);
    ~XyInfoAccumulator();
    XyInfoAccumulator(const XyInfoAccumulator&) = delete;
    XyInfoAccumulator& operator=(const XyInfoAccumulator&) = delete;
    void add(int64_t begin, int64_t count);
    // add() for a piece of at most 4096 pixels that `before` took last, the
    // sum having taken since one frame with no saturated pixel in the piece:
    // the frame counts are then not looked at again where none was 0.
    void add_one_frame_on(int64_t begin, int64_t count, const XyInfoAccumulator& before);
    // Takes over what `later` gathered, which starts where this one ends;
    // the result is that of one accumulator fed both pieces in order.
    void append(const XyInfoAccumulator& later);
    void finish(IMG& img);
    // Puts the statistics in the record from the sums gathered alone, for
    // planes that have moved on since; false when they need a pass over the
    // pixels as they were (an ambiguous rounding of the printed mean or sigma).
    bool finish_from_sums(IMG& img);

  private:
    struct State;
    std::unique_ptr<State> state_;
};
// The one-line report of the statistics last computed.
void xy_fputinfo(std::FILE* stream, const IMG& img);
// The same line as a text, written nowhere.
std::string xy_info_line(const IMG& img);
void xy_freehdr(std::unique_ptr<HDR>& hdr);

// Release levels of xy_freeimg; each releases what the lower ones do too.
enum : int32_t {
    FREE_COSMIC = 0, // the cosmic-ray arrays
    FREE_FRAME = 1,  // and the frame counts
    FREE_DATA = 2,   // and the name and the pixels
    FREE_HDR = 3,    // and the frame-file record
};
// Releases the parts of img that `level` names; other levels release nothing.
void xy_freeimg(IMG& img, int32_t level);

// ---------------------------------------------------------------- cosmic-ray tests and dumps
// The time-series test over the frames and the spatial test over
// neighbours; each replaces the hits it finds and reports them on `out`.
void xy_tcosmic(IMG& img, std::FILE* out);
int32_t xy_space(IMG& img, std::FILE* out);
// Mean of the used pixels in the window dx0..dx1, dy0..dy1 around pixel i
// (itself included, clipped to the image), each on the full frame count; the
// count in `n`, the variance in `var` when given and n > 1. 0 when none.
double xy_vmean(const IMG& img, int64_t i, int dx0, int dx1, int dy0, int dy1, int32_t& n, double* var);
// Mean of the values above `threshold` in the same window; 0 when none.
double xy_condmean(const IMG& img, int64_t i, int dx0, int dx1, int dy0, int dy1, int32_t& n,
                   double threshold);
// Dumps of an image row by row, each line tagged with `label` and the row:
// the values; the sums with their frame counts; the mean and the standard
// deviation of each pixel over the frames.
void xy_val_dump(const IMG& img, std::FILE* out, const char* label);
void xy_sum_dump(const IMG& img, std::FILE* out, const char* label);
void xy_sta_dump(const IMG& img, std::FILE* out, const char* label);
