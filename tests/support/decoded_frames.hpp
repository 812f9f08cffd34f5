// Frames decoded by a record's frame decoder, as numbers, and their check
// against the .expect.json of a shared real sample file.
#pragma once

#include "xy_decoder.hpp"

#include <string>
#include <vector>

namespace zt {

// Frame `frame` over the whole frame, in the record's pixel type, as doubles.
std::vector<double> decoded_frame(HDR& hdr, int32_t frame);
// Frame `frame` over `window`.
std::vector<double> decoded_window(HDR& hdr, int32_t frame, const XyWindow& window);

// Checks the frame count, dimensions and the frame values the expectation
// gives (sums, extremes, first pixels of rows 0 and 1, the last pixel).
void expect_matches_expectation(HDR& hdr, const std::string& json);

} // namespace zt
