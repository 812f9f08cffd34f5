// GEL and TIFF images: uncompressed grayscale TIFF read and written in 8, 16 or 32 bits.
#pragma once

#include "xy_lib.hpp"

std::unique_ptr<HDR> gel_open(const std::string& name, const std::string& program, bool as_named = false);
// ext is ".gel" or ".tif"; mode 0 automatic depth, 1 16 bits, 2 8 bits.
void gel_write(IMG& img, const std::string& ext, int32_t mode);
