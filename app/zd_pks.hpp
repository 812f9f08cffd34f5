// Peak search with (h, k, l) indexing and the optional omega scan (the %P
// command): the strongest peaks of the working image into a ".pks" file.
#pragma once

#include "7c_cry.hpp"
#include "xy_lib.hpp"

#include <cstdint>
#include <string>
#include <vector>

// m peaks to report (< 1: 5), omega oscillation amplitude o in degrees (< 0: 0,
// 0 = no scan), acceptance factor v (< 1: 1.5); read "%d,%f,%f" after blanks
// and "=", so that two values are m and o.
struct PeakParams {
    int32_t m = 5;
    float o = 0.0f;
    float v = 1.5f;
};
PeakParams peak_params(const std::string& arg);

struct PeakPixel {
    int32_t x, y;
    int32_t value;
};

// One explored peak: its pixels (`in`), the border pixels where a neighbouring
// rise began (`out`), their sums and the bounding box of `in`.
struct PeakRecord {
    int32_t x_lo = 0, x_hi = 0, y_lo = 0, y_hi = 0;
    double sum_in = 0, sum_out = 0;
    double sx = 0, sy = 0; // sums of column * value and row * value over `in`
    std::vector<PeakPixel> in, out;
};

// The region walk from (x, y): takes the pixels reached along paths of
// non-increasing positive values into `in`, moving right, down, left, up (each
// path monotonic in x and in y, the first path to reach a pixel owns it);
// a rise met after a vertical move is a border pixel (`out`). Taken pixels are
// set to 0 in `data` (nx * ny values). Depth-first in that order with an
// explicit stack: any region size.
void explore_peak(int32_t x, int32_t y, int32_t previous, int32_t* data, int32_t nx, int32_t ny,
                  PeakRecord& rec);

// The measured peak: centroid, background per border pixel, integral above it.
struct PeakMeasure {
    double cx = 0, cy = 0;
    double integral = 0;
    int32_t n_peak = 0, n_border = 0;
};
// Border pixels with at least three 4-neighbours among the record's pixels
// count into the peak; then centroid = sums / sum, background = border sum /
// border count, integral = sum less the background under the peak (when
// positive). The record must hold at least one peak pixel.
PeakMeasure measure_peak(const PeakRecord& rec);

// The %P command on `image`, writing "<OUT>/<image name>.pks".
void peaks(GeometryState& geo, const std::string& arg, const std::string& out_dir, IMG& image);
