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
std::vector<int32_t> marked_int32(const IMG& img);
std::vector<float> marked_float32(const IMG& img);
// 1 where the pixel is marked, else 0.
std::vector<uint8_t> marked_mask(const IMG& img);
// The smallest and largest value not marked; false when every pixel is marked.
bool unmarked_range(const IMG& img, int32_t& min, int32_t& max);

// A file written by a library that opens it by name: `write` gets the name of
// a temporary file in the target's directory and returns false on failure;
// the temporary is renamed to `target` only when it succeeded, else removed
// and the run stopped with "<what> <target>: <cause>" (`cause` as set by
// `write`, or the system's error).
// Writes `bytes` to the file `name`; false when any of it could not be written.
bool write_file_bytes(const std::string& name, const std::string& bytes);

void write_through_temporary(const char* origin, const char* what, const std::string& target,
                             const std::function<bool(const std::string& temp, std::string& cause)>& write);
