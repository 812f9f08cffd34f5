// Preview images: an 8-bit colour PNG of the working image for people to look
// at, not data (the values are scaled and coloured, and cannot be read back).
// The display range runs from the 1st to the 99.5th percentile of the pixels
// where a frame counted, on a logarithmic or linear scale (PREVIEW_SCALE),
// through a perceptual colour map (dark blue to yellow); pixels where no frame
// counted are grey. The PNG text fields give the image's name, the display
// range and the range of the values.
#pragma once

#include "xy_lib.hpp"

#include <array>
#include <cstdint>
#include <string>

struct PreviewRange {
    double low = 0.0;  // shown as the darkest colour and below
    double high = 1.0; // shown as the brightest colour and above; above low
};
// The display range of the pixels where a frame counted ({0, 1} when none did).
PreviewRange preview_range(const IMG& img);
// The colour level, 0 to 255, of a value in the display range.
uint8_t preview_level(double value, const PreviewRange& range, XyPreviewScale scale);
// The colour map's red, green and blue for a level.
std::array<uint8_t, 3> preview_colour(uint8_t level);
// The grey of pixels where no frame counted.
constexpr std::array<uint8_t, 3> kPreviewMasked = {128, 128, 128};

// Writes the preview of `img` to `path` (".png" appended when absent), atomically.
void png_write(const IMG& img, const std::string& path, XyPreviewScale scale);

// The registry's writer of ".png" names.
extern const XyWriter png_writer;
