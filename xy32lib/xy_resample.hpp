// Grid-corrected resampling of an image through the grid model.
#pragma once

#include "xy_grid.hpp"

// Resamples img onto the corrected grid in place; img gets a new frame array
// holding 0 and 1.
void grid_cor_img(GridCor& grid, IMG& img);
