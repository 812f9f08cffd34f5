// Reading a written image back, through zandor's own readers (the format the
// name chooses) and through the libraries that define the formats.
#pragma once

#include "xy_lib.hpp"

#include <string>
#include <vector>

namespace zt {

// Frame 1 of `path` as zandor reads it (the dataset `h5_data` of HDF5 files
// when given): its pixel type and its pixels, as doubles.
struct ReadBack {
    int32_t width = 0;
    int32_t height = 0;
    int32_t type = 0;
    std::vector<double> values;
};
ReadBack read_back(const std::string& path, const std::string& h5_data = "");

// A random nx x ny image: values in [low, high], about one pixel in `one_in`
// without any frame counted (frame 0), the others 1 to 3 frames.
IMG random_image(int32_t nx, int32_t ny, int32_t low, int32_t high, int32_t one_in, unsigned seed);

// The values an interchange writer stores for `img`, as doubles: each value
// (rounded to float in float files), and where no frame counted -1 in
// integer files, NaN in float files.
std::vector<double> stored_values(const IMG& img, bool floats);
// Equal value for value, NaN matching NaN.
bool same_values(const std::vector<double>& a, const std::vector<double>& b);

} // namespace zt
