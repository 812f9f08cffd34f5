// Grid-corrected resampling of an image through the grid model.
#pragma once

#include "xy_grid.hpp"

// Resamples img onto the corrected grid in place; img gets a new frame array
// holding 0 and 1.
void grid_cor_img(GridCor& grid, IMG& img);

// Lanes of the resampling's vector loops: 0 (the default) takes the widest
// that the processor has, 2 the narrow loops every x86-64 has. The results
// are the same bits either way; tests use it to cover both.
void grid_vector_lanes(int32_t lanes);
