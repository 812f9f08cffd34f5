#include "png_writer.hpp"

#include "marked_values.hpp"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>

namespace {

constexpr const char* kOrigin = "../xy32lib/png_writer";
constexpr double kLowPercentile = 0.01;
constexpr double kHighPercentile = 0.995;

// A perceptual colour map (dark blue through green to yellow) as one
// polynomial per channel over t in [0, 1], coefficients of t^0 to t^6.
constexpr double kColourMap[3][7] = {
    {0.2777273272234177, 0.1050930431085774, -0.3308618287255563, -4.634230498983486, 6.228269936347081,
     4.776384997670288, -5.435455855934631},
    {0.005407344544966578, 1.404613529898575, 0.214847559468213, -5.799100973351585, 14.17993336680509,
     -13.74514537774601, 4.645852612178535},
    {0.3340998053353061, 1.384590162594685, 0.09509516302823659, -19.33244095627987, 56.69055260068105,
     -65.35303263337234, 26.3124352495832},
};

double percentile(std::vector<int32_t>& values, double p) {
    const size_t k = static_cast<size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}

// ---------------------------------------------------------------- libpng
// libpng reports errors by a long jump: nothing with a destructor lives in
// the frames it jumps over.

void append_bytes(png_structp png, png_bytep data, png_size_t n) {
    auto* out = static_cast<std::string*>(png_get_io_ptr(png));
    try {
        out->append(reinterpret_cast<const char*>(data), n);
    } catch (...) {
        png_error(png, "out of memory");
    }
}
void no_flush(png_structp) {}

[[noreturn]] void on_error(png_structp png, png_const_charp message) {
    auto* error = static_cast<std::string*>(png_get_error_ptr(png));
    try {
        *error = message;
    } catch (...) {
    }
    std::longjmp(png_jmpbuf(png), 1);
}
void ignore_warning(png_structp, png_const_charp) {}

struct Encoding {
    const uint8_t* rgb;
    uint32_t width;
    uint32_t height;
    png_text* texts;
    int text_count;
    std::string* out;
    std::string* error;
};

bool encode(const Encoding& e) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, e.error, on_error, ignore_warning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, e.out, append_bytes, no_flush);
    png_set_IHDR(png, info, e.width, e.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_text(png, info, e.texts, e.text_count);
    png_write_info(png, info);
    for (uint32_t y = 0; y < e.height; ++y)
        png_write_row(png, e.rgb + size_t{y} * e.width * 3);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

std::vector<uint8_t> colour_pixels(const IMG& img, const PreviewRange& range, XyPreviewScale scale) {
    std::array<std::array<uint8_t, 3>, 256> colours;
    for (int level = 0; level < 256; ++level)
        colours[static_cast<size_t>(level)] = preview_colour(static_cast<uint8_t>(level));
    std::vector<uint8_t> rgb = prg_alloc<uint8_t>("png_writer", "preview", uint64_t{img.data.size()} * 3);
    for (size_t i = 0; i < img.data.size(); ++i) {
        const std::array<uint8_t, 3>& c =
            marked_pixel(img, i) ? kPreviewMasked : colours[preview_level(img.data[i], range, scale)];
        std::copy(c.begin(), c.end(), rgb.begin() + static_cast<std::ptrdiff_t>(3 * i));
    }
    return rgb;
}

} // namespace

PreviewRange preview_range(const IMG& img) {
    std::vector<int32_t> values;
    values.reserve(img.data.size());
    for (size_t i = 0; i < img.data.size(); ++i)
        if (!marked_pixel(img, i)) values.push_back(img.data[i]);
    if (values.empty()) return PreviewRange{};
    PreviewRange r;
    r.low = percentile(values, kLowPercentile);
    r.high = std::max(percentile(values, kHighPercentile), r.low + 1.0);
    return r;
}

uint8_t preview_level(double value, const PreviewRange& range, XyPreviewScale scale) {
    const double above = std::max(0.0, value - range.low);
    const double span = range.high - range.low;
    const double t = scale == XyPreviewScale::linear ? above / span : std::log1p(above) / std::log1p(span);
    return static_cast<uint8_t>(std::lround(255.0 * std::min(1.0, t)));
}

std::array<uint8_t, 3> preview_colour(uint8_t level) {
    const double t = level / 255.0;
    std::array<uint8_t, 3> rgb{};
    for (size_t c = 0; c < 3; ++c) {
        double v = 0.0;
        for (int k = 6; k >= 0; --k)
            v = v * t + kColourMap[c][k];
        rgb[c] = static_cast<uint8_t>(std::lround(255.0 * std::clamp(v, 0.0, 1.0)));
    }
    return rgb;
}

void png_write(const IMG& img, const std::string& path, XyPreviewScale scale) {
    const std::string name = xy_module_file_name(path, {".png"}, false);
    marked_pixel_count(kOrigin, img, name);
    const PreviewRange range = preview_range(img);
    const MarkedSummary marks = summarise_marks(img);
    const char* scale_name = scale == XyPreviewScale::linear ? "linear" : "logarithmic";
    prg_printf(" writing %s as a %s preview of %g to %g\n", name.c_str(), scale_name, range.low, range.high);

    std::string title = img.name, software = "zandor";
    std::string description = prg_format("preview, not data: %s scale from %g to %g; values %d to %d",
                                         scale_name, range.low, range.high, marks.min, marks.max);
    png_text texts[3] = {};
    const std::pair<const char*, std::string*> fields[3] = {
        {"Title", &title}, {"Description", &description}, {"Software", &software}};
    for (int i = 0; i < 3; ++i) {
        texts[i].compression = PNG_TEXT_COMPRESSION_NONE;
        texts[i].key = const_cast<char*>(fields[i].first);
        texts[i].text = fields[i].second->data();
    }
    const std::vector<uint8_t> rgb = colour_pixels(img, range, scale);
    std::string bytes, error;
    const Encoding e{
        rgb.data(), static_cast<uint32_t>(img.nx), static_cast<uint32_t>(img.ny), texts, 3, &bytes, &error};
    if (!encode(e)) v_fatal(kOrigin, " encoding the preview %s failed : %s\n", name.c_str(), error.c_str());
    write_through_temporary(kOrigin, "png file", name, [&](const std::string& temp, std::string&) {
        return write_file_bytes(temp, bytes.data(), bytes.size());
    });
}

namespace {

void write_png(const IMG& img, const std::string& path, const XyWriteOptions& options) {
    png_write(img, path, options.preview_scale);
}

OutputDepth preview_depth(const IMG&, const XyWriteOptions&) {
    return OutputDepth{8, 0, 0.0};
}

} // namespace

const XyWriter png_writer = {"png", ".png", ".png", write_png, preview_depth};
