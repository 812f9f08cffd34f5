// What the interchange writers (HDF5, signed and float TIFF, PNG preview)
// store: the image's values as they are, with the pixels where no frame
// counted marked, -1 in integers and NaN in floats; and the one way they put
// a file written by a library in place.
#pragma once

#include "xy_lib.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The image's pixel count, after checking that it has nx * ny values; stops
// the run naming `origin` and the file otherwise.
size_t marked_pixel_count(const char* origin, const IMG& img, const std::string& file);
// True when pixel i had no frame counted (the image carries frame counts).
inline bool marked_pixel(const IMG& img, size_t i) {
    return !img.frame.empty() && img.frame[i] == 0;
}
// The marker of a masked pixel in integer images.
constexpr int32_t kMarkedInt32 = -1;

// The smallest and largest value not marked (both 0 when every pixel is
// marked) and the number of marked pixels, in one pass.
struct MarkedSummary {
    int32_t min = 0;
    int32_t max = 0;
    bool any_unmarked = false;
    size_t marked = 0;
};
MarkedSummary summarise_marks(const IMG& img);

// The stored values of pixels [first, first + n) at `out`: int32_t (-1 where
// marked), float (NaN there) or uint8_t (the mask: 1 there, else 0).
template <class T> void marked_values(const IMG& img, size_t first, size_t n, T* out);

// The stored values of the image, band after band of `band_rows` rows (the
// last one may be shorter): `put(first_row, rows, values)` gets each band as
// the file keeps it, int32_t (-1 where marked), float (NaN there) or uint8_t
// (the mask: 1 there, else 0). Integer bands without a marked pixel point
// into the image itself; the others are filled in one buffer of a band, so
// that no copy of the whole image is made. Stops at the first false `put`.
template <class T> using BandSink = std::function<bool(int64_t first_row, int64_t rows, const T* values)>;
template <class T> bool for_each_marked_band(const IMG& img, int64_t band_rows, const BandSink<T>& put);

// Rows of `row_bytes` each in about `bytes`: at least one, at most `rows`.
int64_t rows_in(int64_t bytes, int64_t row_bytes, int64_t rows);

// Writes `size` bytes at `bytes` to the file `name`; false when any of them
// could not be written.
bool write_file_bytes(const std::string& name, const void* bytes, size_t size);

// Disk space held for a file that a library writes by name, so that none of
// its writes can fail for want of room: `bytes` reserved from its start
// without changing its size. held() is false when the file size limit is
// lower, or the file system refused (a full disk, or one that holds no
// space). release() gives back what the file did not use, once the library
// closed it; false when that failed.
class ReservedSpace {
  public:
    ReservedSpace(const std::string& path, int64_t bytes);
    ~ReservedSpace();
    ReservedSpace(const ReservedSpace&) = delete;
    ReservedSpace& operator=(const ReservedSpace&) = delete;
    bool held() const { return held_; }
    bool release();

  private:
    int fd_ = -1;
    bool held_ = false;
};

// A file written by a library that opens it by name: `write` gets the name of
// a temporary file in the target's directory and returns false on failure;
// the temporary is renamed to `target` only when it succeeded, else removed
// and the run stopped with "<what> <target>: <cause>" (`cause` as set by
// `write`, or the system's error).
void write_through_temporary(const char* origin, const char* what, const std::string& target,
                             const std::function<bool(const std::string& temp, std::string& cause)>& write);
