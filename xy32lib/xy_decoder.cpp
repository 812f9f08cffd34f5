// The detector's pixel mask applied to a summed image.
#include "xy_decoder.hpp"

#include "xy_lib.hpp"
#include "xy_threads.hpp"

#include <algorithm>
#include <stdexcept>

namespace {

// True when a frame pixel under image pixel (bx, by) is masked.
bool covers_masked(const IMG& img, const std::vector<uint8_t>& mask, int64_t bx, int64_t by) {
    const int64_t x_bind = img.x_bind > 1 ? img.x_bind : 1;
    const int64_t y_bind = img.y_bind > 1 ? img.y_bind : 1;
    for (int64_t j = 0; j < y_bind; ++j) {
        const int64_t y = img.y_min + by * y_bind + j;
        const uint8_t* row = mask.data() + y * img.dim_x + img.x_min + bx * x_bind;
        for (int64_t i = 0; i < x_bind; ++i)
            if (row[i]) return true;
    }
    return false;
}

// f(buf) with buf as a pointer to the record's pixel type; another type stops
// the run.
template <class F> int32_t on_pixel_type(const HDR& hdr, void* buf, F&& f) {
    switch (hdr.type) {
    case XY_TYPE_UINT8:
        return f(static_cast<uint8_t*>(buf));
    case XY_TYPE_UINT16:
        return f(static_cast<uint16_t*>(buf));
    case XY_TYPE_INT32:
        return f(static_cast<int32_t*>(buf));
    case XY_TYPE_FLOAT:
        return f(static_cast<float*>(buf));
    default:
        xy_decoder_wrong_type("../xy32lib/xy_lib", hdr.file_name);
    }
}

// Fewer rows a thread are decoded on the calling thread.
constexpr int32_t kMinSharedRows = 64;

// The window's rows cut into one band a thread, each decoded by a band reader
// of its own; the source decodes the window itself when it has no readers or
// a reader fails (damaged data then raise their report on this thread).
template <class T>
int32_t decode_in_bands(FrameSource& source, int32_t frame, const XyWindow& w, T* buf, int32_t threads) {
    const int32_t bands = std::min(threads, w.height / kMinSharedRows);
    if (bands < 2 || source.band_frames(frame, 1) != 1) return source.decode(frame, w, buf);
    std::vector<std::unique_ptr<FrameSource>> readers;
    for (int32_t b = 0; b < bands; ++b) {
        readers.push_back(source.band_reader());
        if (!readers.back()) return source.decode(frame, w, buf);
    }
    const int64_t failed = xy_run_pieces(bands, bands, [&](int64_t b) {
        const auto first = static_cast<int32_t>(b * w.height / bands);
        const auto end = static_cast<int32_t>((b + 1) * w.height / bands);
        const XyWindow band{w.x0, w.y0 + first, w.width, end - first};
        if (readers[static_cast<size_t>(b)]->decode(frame, band, buf + int64_t{first} * w.width) !=
            band.height)
            throw std::runtime_error("band not decoded");
    });
    return failed < 0 ? w.height : source.decode(frame, w, buf);
}

} // namespace

int32_t xy_source_decode_shared(const HDR& hdr, int32_t frame, const XyWindow& window, void* buf) {
    return on_pixel_type(
        hdr, buf, [&](auto* out) { return decode_in_bands(*hdr.source, frame, window, out, hdr.threads); });
}

int64_t xy_apply_pixel_mask(IMG& img, const std::vector<uint8_t>& mask) {
    if (mask.empty()) return 0;
    if (static_cast<int64_t>(mask.size()) != int64_t{img.dim_x} * img.dim_y)
        v_fatal("../xy32lib/xy_lib", " pixel mask of %llu values for a %d * %d frame\n",
                static_cast<unsigned long long>(mask.size()), img.dim_x, img.dim_y);
    const bool cosmic = !img.cosmic.sumq.empty();
    int64_t masked = 0;
    for (int64_t by = 0; by < img.ny; ++by)
        for (int64_t bx = 0; bx < img.nx; ++bx) {
            if (!covers_masked(img, mask, bx, by)) continue;
            const size_t i = static_cast<size_t>(by * img.nx + bx);
            img.data[i] = 0;
            img.frame[i] = 0;
            if (cosmic) {
                img.cosmic.sumq[i] = 0.0;
                img.cosmic.mval[i] = CosmicArrays::no_maximum;
                img.cosmic.mframe[i] = 0;
            }
            ++masked;
        }
    return masked;
}

void xy_decoder_wrong_type(const char* origin, const std::string& file_name) {
    v_fatal(origin, " frames of '%s' asked for in another pixel type than the file's\n", file_name.c_str());
}

int32_t xy_source_decoder(const HDR& hdr, int32_t frame, const XyWindow& window, void* buf) {
    return on_pixel_type(hdr, buf, [&](auto* out) { return hdr.source->decode(frame, window, out); });
}

std::unique_ptr<HDR> xy_source_record(std::shared_ptr<FrameSource> source, int64_t width, int64_t height,
                                      int32_t frames, int32_t type, int32_t format,
                                      const std::string& file_name, FileHandle fp) {
    auto hdr = std::make_unique<HDR>();
    hdr->dim_x = static_cast<uint16_t>(width);
    hdr->dim_y = static_cast<uint16_t>(height);
    hdr->frames = frames;
    hdr->type = type;
    hdr->file_name = file_name;
    hdr->fp = std::move(fp);
    hdr->format = format;
    hdr->source = std::move(source);
    hdr->decoder = xy_source_decoder;
    hdr->byte_order = xy_host_byte_order();
    return hdr;
}
