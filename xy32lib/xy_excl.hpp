// Exclusion zones, regions of interest and mask files: geometric zones declared
// in the settings that switch pixels off (exclusions) or keep only the pixels
// inside them (ROIs), applied to every acquired image before orientation, and
// the saving of an image's per-pixel use flags as a mask image.
#pragma once

#include "xy_lib.hpp"

#include <cstdint>
#include <string>
#include <vector>

// Zone type codes; a ROI carries EXCL_ROI on top of its shape.
enum : uint8_t {
    EXCL_FILE = 0,
    EXCL_POINT = 1,
    EXCL_CIRCLE = 2,
    EXCL_RECT = 3,
    EXCL_TRIANGLE = 4,
    EXCL_ROI = 0x10,
};

// One zone. Coordinates are unbinned detector pixels, in the frame of the
// region bounds x_min..x_max, y_min..y_max. They are checked to fit 16 bits
// (-32768 to 65535) when declared; a negative coordinate lies outside every
// image. x2 is the radius of a circle.
struct excl_zone {
    int32_t x1 = 0;
    int32_t y1 = 0;
    int32_t x2 = 0;
    int32_t y2 = 0;
    int32_t x3 = 0;
    int32_t y3 = 0;
    uint8_t modify = 0; // the replacement value was given
    uint8_t type = 0;
    int32_t value = 0; // replacement of excluded pixels; -1: mean of the on-neighbours
    std::string file;  // mask file zones only
};

// A mask file decoded once and kept while the file stays the same (same size,
// modification time and inode): the series case applies it to every image.
struct ExclMaskCache {
    std::string file;
    int64_t bytes = -1;
    int64_t mtime_ns = 0;
    uint64_t inode = 0;
    uint64_t device = 0;
    int32_t nx = 0; // the file's own layout
    int32_t ny = 0;
    bool text = false;          // a text file (wide images are written transposed)
    std::vector<int32_t> zeros; // file pixel indices whose value is 0, increasing
    IMG info;                   // statistics of the file for its information line (no planes)
};

// The zone list of a job, filled while its settings are read, with the mask
// files it has decoded and the scratch marks of the image being masked.
struct ExclState {
    std::vector<excl_zone> excluded;
    int32_t n_excluded = 0; // zones in use
    int32_t m_excluded = 0; // zones allocated (grows by 10)
    bool quiet = false;     // the last declared zone asked for no echo
    std::vector<ExclMaskCache> masks;
    std::vector<uint8_t> marks;  // pixels switched off by the image in progress (clear between images)
    std::vector<int32_t> marked; // their indices
};

// Settings-chain entry: declares a zone when the key is one of the zone keys
// (F_EXCLUDED, P_EXCLUDED, C_EXCLUDED, R_EXCLUDED, T_EXCLUDED, C_ROI, R_ROI,
// T_ROI) and returns true; false for any other key.
bool excl_inipar(ExclState& excl, const IniTag& tag);
// Appends one zone of type `type` described by `value`, and echoes it unless
// the value contains QUIET. Refuses an incomplete zone, a number beyond 16
// bits, a negative radius and a mask file without a format extension.
void excl_ini(ExclState& excl, int32_t type, const std::string& value);
// Applies all zones to an acquired image (ROIs first, then exclusions).
// `print` is the PRINT bit set: 0x20 reports each zone. Mask files are read
// with `reading`.
void excl_image(ExclState& excl, const XyReadOptions& reading, IMG& img, int32_t print);
// Writes the image's frame counts as a mask image; `text` picks the name and
// the writer (".gel", ".kvf", ".txt", else TIFF); cr_mode is the CR setting
// for text output.
void excl_save(const std::string& text, IMG& img, int32_t cr_mode);
// Empties the zone list (start of a run).
void excl_defaults(ExclState& excl);
// The help lines of the zone keys (standard error).
void excl_usage();
