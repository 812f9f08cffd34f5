// Grid distortion model (polynomial coefficients) and the grid-corrected resampling.
#pragma once

#include "xy_lib.hpp"

struct GridCor;
extern GridCor grid_cor;

// Member of the settings chain: 1 when the key was a grid key.
int grid_ini(GridCor& grid, const IniTag& tag);
void grid_usage();
void grid_cor_img(GridCor& grid, IMG& img);
