// Frame decoders: the modules whose frames are compressed or scattered in the
// file (HDF5 stacks, CBF, compressed or tiled TIFF) decode a frame themselves
// instead of leaving it to the raw readers, which read fixed-size pixels at an
// offset. A decoder may also carry the detector's own pixel mask.
#pragma once

#include "xy_header_geometry.hpp"
#include "xy_lib.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The byte order of values decoded in memory.
inline XyByteOrder xy_host_byte_order() {
    return xy_host_little_endian() ? XyByteOrder::low_first : XyByteOrder::high_first;
}

inline int64_t xy_window_pixels(const XyWindow& w) {
    return int64_t{w.width} * w.height;
}

// What a module keeps of an open file to decode its frames (HDR::source).
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    // Decodes frame `frame` (1-based) over `window` into `buf`, `window.height`
    // rows of `window.width` values. Returns the rows decoded, or 0 when the
    // file has no such frame. Damaged data stop the run with a one-line report.
    virtual int32_t decode(int32_t frame, const XyWindow& window, uint8_t* buf) = 0;
    virtual int32_t decode(int32_t frame, const XyWindow& window, uint16_t* buf) = 0;
    virtual int32_t decode(int32_t frame, const XyWindow& window, int32_t* buf) = 0;
    virtual int32_t decode(int32_t frame, const XyWindow& window, float* buf) = 0;

    // Band reading: prepares up to `most` frames from `first` on to be decoded
    // a band of rows at a time, and returns how many it prepared (0: the
    // source decodes whole frames only, or cannot start with `first`). The
    // caller then decodes each of them in windows with the same columns whose
    // rows follow one another down the frame; the frames may take turns. A
    // source that prepares frames holds what it needs for them within a
    // bounded amount of memory and decodes every part of them once. Other
    // calls remain correct, only slower.
    virtual int32_t band_frames(int32_t first, int32_t most) {
        (void)first;
        (void)most;
        return 0;
    }

    // A reader of the frames band_frames prepared last, for one thread of a
    // parallel summation: it decodes their windows as decode does (rows
    // following one another down each frame), sharing with the source and
    // the other readers only what none of them changes until the next
    // band_frames. Its decode throws, reporting nothing, when it cannot serve
    // a window (a frame not prepared, damaged data); the caller then decodes
    // again with the source on the job's thread. Null: the source has none.
    virtual std::unique_ptr<FrameSource> band_reader() { return nullptr; }

    // True when decode may run on any thread while other sources decode on
    // theirs: the source uses nothing but what it owns (its own stream or
    // handle, its own buffers). Its decode may then throw, reporting nothing,
    // on a thread that is not the job's; the caller decodes again on the job's
    // thread, where damaged data raise their report.
    virtual bool decodes_apart() const { return false; }

    // The detector's mask, one value per pixel of the frame, row after row (non-zero:
    // the pixel is not to be used); empty when the file has none.
    const std::vector<uint8_t>& pixel_mask() const { return pixel_mask_; }

    // The detector geometry the file's own metadata give (none by default).
    virtual HeaderGeometry header_geometry() const { return HeaderGeometry(); }

  protected:
    std::vector<uint8_t> pixel_mask_;
};

// Gives every pixel (bin) of the summed image that covers a masked pixel of the
// frame the frame count 0 and the value 0, cosmic statistics included, and
// returns how many there are. The image's region and binning say which frame
// pixels each image pixel covers.
int64_t xy_apply_pixel_mask(IMG& img, const std::vector<uint8_t>& mask);

// The registry's frame decoder of the modules that keep a FrameSource: the
// record's source decodes into a buffer of the record's pixel type.
int32_t xy_source_decoder(const HDR& hdr, int32_t frame, const XyWindow& window, void* buf);
// The same with the window's rows shared among the record's threads, for a
// source whose band readers decode a frame in parts (HDF5 stacks); others
// decode on the calling thread.
int32_t xy_source_decode_shared(const HDR& hdr, int32_t frame, const XyWindow& window, void* buf);

// The record of a file whose frames `source` decodes: its size, frame count,
// pixel type and format, the open stream, and the source as its decoder (the
// values it gives are in the host's byte order). The caller adds its entries.
std::unique_ptr<HDR> xy_source_record(std::shared_ptr<FrameSource> source, int64_t width, int64_t height,
                                      int32_t frames, int32_t type, int32_t format,
                                      const std::string& file_name, FileHandle fp);

// Stops the run when a caller asks a decoder for pixels of another type than
// the record's: the decoders convert nothing.
[[noreturn]] void xy_decoder_wrong_type(const char* origin, const std::string& file_name);
