// TIFF output: the automatic depth of the built-in writer (gel_lib), or the
// values as they are through libtiff (TIFF_TYPE): signed 32-bit integers
// (SampleFormat 2) with -1 where no frame counted, or 32-bit floats
// (SampleFormat 3) with NaN there; MinIsBlack, the range of the values in
// SMinSampleValue and SMaxSampleValue, uncompressed strips of at most 8 MiB.
#pragma once

#include "xy_lib.hpp"

#include <string>

// Writes `img` to `path` (".tif" appended when absent) in `type`, int32 or float32.
void tif_write_values(const IMG& img, const std::string& path, XySampleType type);

// The registry's writer of ".tif" names.
extern const XyWriter tif_writer;
