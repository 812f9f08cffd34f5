// Frame decoders: the modules whose frames are compressed or scattered in the
// file (HDF5 stacks, CBF, compressed or tiled TIFF) decode a frame themselves
// instead of leaving it to the raw readers, which read fixed-size pixels at an
// offset. A decoder may also carry the detector's own pixel mask.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct IMG;

// A rectangle of a frame: `width` columns from x0, `height` rows from y0.
struct FrameWindow {
    int32_t x0 = 0;
    int32_t y0 = 0;
    int32_t width = 0;
    int32_t height = 0;

    int64_t pixels() const { return int64_t{width} * height; }
};

class FrameDecoder {
  public:
    virtual ~FrameDecoder() = default;
    // Decodes frame `frame` (1-based) over `window` into `buf`, `window.height`
    // rows of `window.width` values. Returns the rows decoded, or 0 when the
    // file has no such frame. Damaged data stop the run with a one-line report.
    virtual int32_t decode(int32_t frame, const FrameWindow& window, uint8_t* buf) = 0;
    virtual int32_t decode(int32_t frame, const FrameWindow& window, uint16_t* buf) = 0;
    virtual int32_t decode(int32_t frame, const FrameWindow& window, int32_t* buf) = 0;
    virtual int32_t decode(int32_t frame, const FrameWindow& window, float* buf) = 0;

    // The detector's mask, one value per pixel of the frame, row after row (non-zero:
    // the pixel is not to be used); empty when the file has none.
    const std::vector<uint8_t>& pixel_mask() const { return pixel_mask_; }

  protected:
    std::vector<uint8_t> pixel_mask_;
};

// Gives every pixel (bin) of the summed image that covers a masked pixel of the
// frame the frame count 0 and the value 0, cosmic statistics included, and
// returns how many there are. The image's region and binning say which frame
// pixels each image pixel covers.
int64_t xy_apply_pixel_mask(IMG& img, const std::vector<uint8_t>& mask);

struct HDR;
// The entries every synthesised header list starts with: "HeaderID",
// "ByteOrder", "Dim_1", "Dim_2" and "Image".
void xy_put_fixed_entries(HDR& hdr);

// Stops the run when a caller asks a decoder for pixels of another type than
// the record's: the decoders convert nothing.
[[noreturn]] void xy_decoder_wrong_type(const char* origin, const std::string& file_name);
