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

// What the file stores: the values, their sample format and range.
struct TiffValues {
    const void* data = nullptr;
    uint16_t format = SAMPLEFORMAT_INT;
    double min = 0.0;
    double max = 0.0;
};

bool set_tags(TIFF* tif, const IMG& img, const TiffValues& v, uint32_t rows_per_strip) {
    const std::string software = "zandor";
    return TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(img.nx)) &&
           TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(img.ny)) &&
           TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 32) && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
           TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, v.format) &&
           TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
           TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
           TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
           TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip) &&
           TIFFSetField(tif, TIFFTAG_SMINSAMPLEVALUE, v.min) &&
           TIFFSetField(tif, TIFFTAG_SMAXSAMPLEVALUE, v.max) &&
           TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, img.name.c_str()) &&
           TIFFSetField(tif, TIFFTAG_SOFTWARE, software.c_str());
}

bool write_file(const std::string& temp, const IMG& img, const TiffValues& v, std::string& error) {
    std::unique_ptr<TIFF, void (*)(TIFF*)> tif(tif_open_reporting(temp, "w", error), TIFFClose);
    if (!tif) return false;
    const int64_t row_bytes = int64_t{img.nx} * 4;
    const int64_t rows = std::clamp<int64_t>(kStripBytes / row_bytes, 1, img.ny);
    if (!set_tags(tif.get(), img, v, static_cast<uint32_t>(rows))) return false;
    const auto* bytes = static_cast<const uint8_t*>(v.data);
    uint32_t strip = 0;
    for (int64_t r0 = 0; r0 < img.ny; r0 += rows, ++strip) {
        const int64_t n = std::min<int64_t>(rows, img.ny - r0) * row_bytes;
        // libtiff does not change the strip it writes uncompressed in host order.
        void* strip_data = const_cast<uint8_t*>(bytes + r0 * row_bytes);
        if (TIFFWriteEncodedStrip(tif.get(), strip, strip_data, static_cast<tmsize_t>(n)) != n) return false;
    }
    return TIFFFlush(tif.get()) == 1;
}

} // namespace

void tif_write_values(const IMG& img, const std::string& path, XySampleType type) {
    const std::string name = tif_name(path);
    marked_pixel_count(kOrigin, img, name);
    if (img.nx > 0xFFFF || img.ny > 0xFFFF)
        v_fatal(kOrigin, " image of %d x %d pixels: wider or higher than 65535\n", img.nx, img.ny);
    int32_t min = 0, max = 0;
    const bool any = unmarked_range(img, min, max);
    TiffValues v;
    std::vector<int32_t> integers;
    std::vector<float> floats;
    if (type == XySampleType::float32) {
        floats = marked_float32(img);
        v.data = floats.data();
        v.format = SAMPLEFORMAT_IEEEFP;
    } else {
        integers = marked_int32(img);
        v.data = integers.data();
        // The marker is a value of the file: the range holds it.
        if (!any || std::find(integers.begin(), integers.end(), kMarkedInt32) != integers.end()) {
            min = any ? std::min(min, kMarkedInt32) : kMarkedInt32;
            max = any ? std::max(max, kMarkedInt32) : kMarkedInt32;
        }
    }
    v.min = min;
    v.max = max;
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
