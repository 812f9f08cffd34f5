// The powder profile command (%Q): the profile of the working image in 2θ, q,
// d or r (xy_powder), from a geometry given by the settings or the input
// file's header, written as .xy text, as NeXus when the name asks for it, and
// plotted with gnuplot when the machine has it.
#pragma once

#include "xy_lib.hpp"

#include <cstdint>
#include <string>

// The powder settings; a value not given falls back on the file's header.
struct PowderSettings {
    double distance = 0.0; // DISTANCE, mm
    bool distance_given = false;
    double pixel_size[2] = {0.0, 0.0}; // PIXEL_SIZE x [y], mm (one value: square pixels)
    bool pixel_size_given = false;
    double beam_center[2] = {0.0, 0.0}; // BEAM_CENTER x y, detector pixels (as ORIG)
    bool beam_center_given = false;
    bool wavelength_given = false; // LAMBDA was set (its value is the geometry's)
    std::string unit = "2TH";      // POWDER_UNIT: 2TH, Q, Q_NM, D or R
    int32_t bins = 0;              // POWDER_BINS; 0: one per pixel of the largest radius
    double range[2] = {0.0, 0.0};  // POWDER_RANGE lo hi, in the unit
    bool range_given = false;
    int32_t solid_angle = 0;   // SOLID_ANGLE: 1 divides by cos³ 2θ
    double polarisation = 0.0; // POLARIZATION f: divides by the polarisation factor
    bool polarisation_given = false;
    std::string sectors; // POWDER_SECTORS: pairs "from to" of azimuths in degrees
    int32_t plot = 1;    // POWDER_PLOT: 0 writes no plot
};
extern thread_local PowderSettings powder_set;

// Help lines of the powder settings.
void powder_usage();
// Member of the settings chain: true when the key is a powder key.
bool ini_powder(const IniTag& tag);
// Notes that LAMBDA was given (the geometry module takes the key itself);
// never takes the key.
bool observe_powder_wavelength(const IniTag& tag);
// The %Q command on `image`: `argument` is an output name (empty: the image's
// name in `out_dir`); a name ending in .h5, .hdf5 or .nxs also writes NeXus.
// `wavelength` is the LAMBDA setting's value (Å).
void powder(const std::string& argument, const std::string& out_dir, const IMG& image, double wavelength);
