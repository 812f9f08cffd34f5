// The (h, k, l) map of the working image (the %H command): one line per pixel
// with its Miller indices and value in a ".map" file, nine sample pixels echoed.
#pragma once

#include "7c_cry.hpp"
#include "xy_lib.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

// Writes "<OUT>/<image name>.map". `arg` (the text after %H) is not used.
// The lines are formatted on `threads` threads, a block of rows each, and
// written in order: the file is the same for any number.
void hkl_map(GeometryState& geo, const std::string& arg, const std::string& out_dir, IMG& image,
             int32_t threads = 1);

// One map line, " %7.4lf %7.4lf %7.4lf %10ld\n", into `buf` (at least
// map_line_capacity bytes); returns its length. The bytes are those printf
// gives: values whose rounding the fast path cannot decide go through snprintf.
constexpr size_t map_line_capacity = 1024;
size_t map_line(char* buf, double h, double k, double l, int32_t value);
