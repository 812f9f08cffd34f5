// The powder profile computed the plain way, pixel by pixel, from the textbook
// formulas (atan2 for 2θ and χ, cos³ 2θ, the polarisation factor with cos 2χ),
// for the tests to compare the engine's profile with.
#pragma once

#include "xy_powder.hpp"

#include <cstdint>
#include <vector>

namespace zt {

struct ReferenceImage {
    int32_t nx = 0, ny = 0;
    std::vector<int32_t> values;  // row after row
    std::vector<uint16_t> counts; // frame counts; empty: every pixel counted
};

// The filled bins of [lo, hi] in `bins` bins (the range and bin count taken as
// given), within `sector` when not null.
std::vector<PowderBin> reference_powder(const ReferenceImage& image, const PowderGeometry& g,
                                        const PowderOptions& o, double lo, double hi, int32_t bins,
                                        const AzimuthRange* sector = nullptr);

// Expects the same bins: equal pixel counts, values within `relative` (and x
// within x_absolute more: a text file keeps a few decimals of it).
void expect_same_bins(const std::vector<PowderBin>& actual, const std::vector<PowderBin>& expected,
                      double relative = 1e-9, double x_absolute = 1e-12);

} // namespace zt
