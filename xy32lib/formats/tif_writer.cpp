#include "tif_writer.hpp"

#include "gel_lib.hpp"
#include "marked_values.hpp"
#include "tif_lib.hpp"

#include <tiffio.h>

#include <algorithm>
#include <memory>

namespace {

constexpr const char* kOrigin = "../xy32lib/tif_writer";
constexpr int64_t kStripBytes = int64_t{8} << 20;

std::string tif_name(const std::string& path) {
    return xy_module_file_name(path, {".tif", ".tiff"}, false);
}

constexpr int64_t kPieceBytes = int64_t{1} << 20; // the marked values made at once

// What the file stores: its sample format and range.
struct TiffValues {
    XySampleType type = XySampleType::int32;
    double min = 0.0;
    double max = 0.0;
};

bool set_tags(TIFF* tif, const IMG& img, const TiffValues& v, uint32_t rows_per_strip) {
    const std::string software = "zandor";
    const uint16_t format = v.type == XySampleType::float32 ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_INT;
    return TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(img.nx)) &&
           TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(img.ny)) &&
           TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 32) && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
           TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, format) &&
           TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
           TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
           TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
           TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip) &&
           TIFFSetField(tif, TIFFTAG_SMINSAMPLEVALUE, v.min) &&
           TIFFSetField(tif, TIFFTAG_SMAXSAMPLEVALUE, v.max) &&
           TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, img.name.c_str()) &&
           TIFFSetField(tif, TIFFTAG_SOFTWARE, software.c_str());
}

// The strips, each appended piece after piece of marked values (raw strips:
// uncompressed, in host order, written straight from the piece). A piece lies
// in one strip: a strip holds whole pieces.
template <class T> bool write_strips(TIFF* tif, const IMG& img, int64_t rows_per_strip) {
    const int64_t row_bytes = int64_t{img.nx} * 4;
    const int64_t piece_rows = std::min(rows_in(kPieceBytes, row_bytes, img.ny), rows_per_strip);
    return for_each_marked_band<T>(img, piece_rows, [&](int64_t row, int64_t rows, const T* values) {
        const auto strip = static_cast<uint32_t>(row / rows_per_strip);
        const tmsize_t n = static_cast<tmsize_t>(rows * row_bytes);
        return TIFFWriteRawStrip(tif, strip, const_cast<T*>(values), n) == n;
    });
}

bool write_file(const std::string& temp, const IMG& img, const TiffValues& v, std::string& error) {
    std::unique_ptr<TIFF, void (*)(TIFF*)> tif(tif_open_reporting(temp, "w", error), TIFFClose);
    if (!tif) return false;
    const int64_t row_bytes = int64_t{img.nx} * 4;
    const int64_t piece_rows = rows_in(kPieceBytes, row_bytes, img.ny);
    // Whole pieces in a strip, so that each piece lands in one strip.
    const int64_t rows =
        std::max(piece_rows, rows_in(kStripBytes, row_bytes, img.ny) / piece_rows * piece_rows);
    if (!set_tags(tif.get(), img, v, static_cast<uint32_t>(rows))) return false;
    const bool written = v.type == XySampleType::float32 ? write_strips<float>(tif.get(), img, rows)
                                                         : write_strips<int32_t>(tif.get(), img, rows);
    return written && TIFFFlush(tif.get()) == 1;
}

} // namespace

void tif_write_values(const IMG& img, const std::string& path, XySampleType type) {
    const std::string name = tif_name(path);
    marked_pixel_count(kOrigin, img, name);
    if (img.nx > 0xFFFF || img.ny > 0xFFFF)
        v_fatal(kOrigin, " image of %d x %d pixels: wider or higher than 65535\n", img.nx, img.ny);
    const MarkedSummary marks = summarise_marks(img);
    int32_t min = marks.min, max = marks.max;
    // In integer files the marker is a value of the file: the range holds it.
    if (type != XySampleType::float32 && (marks.marked > 0 || !marks.any_unmarked)) {
        min = marks.any_unmarked ? std::min(min, kMarkedInt32) : kMarkedInt32;
        max = marks.any_unmarked ? std::max(max, kMarkedInt32) : kMarkedInt32;
    }
    const TiffValues v{type, static_cast<double>(min), static_cast<double>(max)};
    prg_printf(" writing %s as %s with values %d to %d\n", name.c_str(),
               type == XySampleType::float32 ? "32-bit float" : "signed 32-bit", min, max);
    write_through_temporary(kOrigin, "tif file", name, [&](const std::string& temp, std::string& cause) {
        return write_file(temp, img, v, cause);
    });
}

namespace {

void write_tif(const IMG& img, const std::string& path, const XyWriteOptions& options) {
    if (options.tiff_type == XySampleType::automatic)
        gel_write(img, path, ".tif", options.depth_mode);
    else
        tif_write_values(img, path, options.tiff_type);
}

OutputDepth tif_depth(const IMG& img, const XyWriteOptions& options) {
    if (options.tiff_type == XySampleType::automatic) return gel_output_depth(img, options.depth_mode);
    return OutputDepth{};
}

} // namespace

const XyWriter tif_writer = {"tif", ".tif", ".tif", write_tif, tif_depth};
