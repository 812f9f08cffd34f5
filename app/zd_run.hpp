// The run settings of the driver's keys, which the settings module fills and
// the other modules of the program read.
#pragma once

#include "xy_lib.hpp"
#include "xy_print.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

// Strings are empty when unset.
struct RunSettings {
    std::string f_name;                 // FLAT_NAME
    std::string d_name;                 // DARK_NAME
    std::string dir;                    // DIR
    std::string out;                    // OUT
    std::string r_def = ".spe";         // DEF (default input extension)
    int32_t cr_mode = 0;                // CR
    int32_t dformat = 0;                // DFORMAT
    std::string spec_name;              // SPEC
    std::string wspec2xl;               // WSPEC2XL
    int32_t xl_col = 0;                 // XL_COL
    std::string o_cosmic;               // O_COSMIC
    float sca_dark = 1.0f;              // SCA_DARK (echoed, not used)
    int32_t add_dark = 0;               // ADD_DARK
    float low_limit = -INFINITY;        // LOW_LIMIT
    int32_t set_limit = 0;              // SET_LIMIT
    int32_t real_time = 0;              // REALTIME
    int32_t print = PRINT_DEFAULT;      // PRINT
    int32_t t_mode = 0;                 // T_DATA: XY_TYPE_INT32, XY_TYPE_FLOAT or 0
    double scale_det[4] = {1, 0, 0, 1}; // SCALE
    double orig_det[2] = {0, 0};        // ORIG
    std::string grid_auto;              // GRID_AUTO
    float plane[5] = {0, 0, 0, 0, 0};   // PLANE (echoed, not used)
    std::string stdin_name;             // STDIN of the settings file being read
    bool stdin_redirected = false;      // STDIN was applied: interactive lines are echoed
    FILE* spec_file = nullptr;          // SPEC kept open once proved to exist
    // How the interchange writers store the image: TIFF_TYPE, H5_TYPE,
    // H5_COMPRESSION and PREVIEW_SCALE.
    XySampleType tiff_type = XySampleType::automatic;
    XySampleType h5_type = XySampleType::int32;
    XyCompression h5_compression = XyCompression::gzip;
    XyPreviewScale preview_scale = XyPreviewScale::logarithmic;
};

extern thread_local RunSettings run;

// The letters of the corrections in force that default output names carry:
// "d" for a dark, "f" for a flat, then "g" when `grid` (the image writers ask
// whether the last image was grid-corrected, the radial file whether any was).
std::string correction_suffix(bool grid);
