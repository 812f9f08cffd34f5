// An independent reading of the grid-corrected resampling, for tests: the
// model is evaluated term by term with pow, point by point, and each source
// pixel's footprint is walked over every target cell it may touch. It shares
// no code with the library, so a test can compare zandor's output with it
// pixel by pixel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zt {

struct GridModelRef {
    std::vector<double> xcor, ycor; // term k = X^i Y^j, ordered by degree, then falling power of X
    int32_t xmin = 0, ymin = 0;
    int32_t xbind = 1, ybind = 1;
    std::string mode; // GRID_MODE
};

struct GridResult {
    std::vector<int32_t> values;
    std::vector<uint16_t> frame;
    int32_t border = 0; // pixels normalised in the default mode (0.5 < s < 1)
};

// `frame` may be empty (every source pixel used).
GridResult grid_reference_resample(const GridModelRef& model, int32_t nx, int32_t ny,
                                   const std::vector<int32_t>& values, const std::vector<uint16_t>& frame);

// The model's settings lines (GRID_DCOR, GRID_XCOR, GRID_YCOR and the window
// and mode keys), with every coefficient written so that it reads back exactly.
std::string grid_settings(const GridModelRef& model);

} // namespace zt
