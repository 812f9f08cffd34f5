// Grid-corrected resampling of an image through the grid model.
#pragma once

#include "xy_grid.hpp"

// Resamples img onto the corrected grid in place; img gets a new frame array
// holding 0 and 1. The work is shared among `threads` threads; the result is
// the same for any number.
void grid_cor_img(GridCor& grid, IMG& img, int32_t threads = 1);
