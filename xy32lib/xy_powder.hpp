// Powder profiles in physical units: the intensity of an image around the beam
// centre of a flat detector perpendicular to the beam, in bins equally spaced
// in 2θ, q, d or the radius r, with the solid-angle and polarisation
// corrections and counting-statistics errors; and the writers of the profile
// (.xy text, NeXus/HDF5).
//
// A pixel centre at (dx, dy) mm from the beam centre lies at r = √(dx² + dy²)
// on the detector, at 2θ = atan2(r, D) for the detector distance D, azimuth
// χ = atan2(dy, dx) (from +x toward +y); q = 4π sin θ / λ, d = λ / (2 sin θ).
#pragma once

#include "xy_lib.hpp"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class PowderUnit { two_theta, q_angstrom, q_nm, d, r };

// The unit named by a POWDER_UNIT word (2TH, Q, Q_NM, D, R; any case); false
// for another word.
bool powder_unit_by_name(const std::string& word, PowderUnit& unit);
// Column label of the unit in the .xy file ("2theta_deg", "q_A^-1", ...).
const char* powder_unit_label(PowderUnit unit);
// Name of the axis and its units attribute in NeXus ("two_theta", "degree").
const char* powder_axis_name(PowderUnit unit);
const char* powder_axis_units(PowderUnit unit);
// Axis title of a plot ("2theta (degrees)", "q (1/Angstrom)", ...).
const char* powder_axis_title(PowderUnit unit);
// Whether the unit needs the wavelength (q and d do).
bool powder_unit_needs_wavelength(PowderUnit unit);

// The geometry of the image, its region, binning and orientation applied.
struct PowderGeometry {
    double distance = 0.0;         // D, mm
    double pixel[2] = {0.0, 0.0};  // width and height of an image pixel, mm
    double centre[2] = {0.0, 0.0}; // beam centre in image pixels (pixel i spans i..i+1)
    double wavelength = 0.0;       // λ, Å (0: not known; 2θ and r need none)
};

// A range of azimuths χ in degrees, from `from` up to `to` (to - from is 0..360],
// turning from +x toward +y; angles are taken modulo 360.
struct AzimuthRange {
    double from = 0.0;
    double to = 360.0;
};

struct PowderOptions {
    PowderUnit unit = PowderUnit::two_theta;
    int32_t bins = 0;         // 0: one bin per pixel of the largest radius
    bool range_given = false; // else the detector's range (powder_default_range)
    double lo = 0.0, hi = 0.0;
    bool solid_angle = false;  // divide by cos³ 2θ
    bool polarisation = false; // divide by (1 + cos² 2θ − f cos 2χ sin² 2θ) / 2
    double polarisation_factor = 0.0;
    int32_t threads = 1; // threads sharing the blocks of rows (the profile is the same at any count)
};

// The value of the unit at radius r (mm) on the detector.
double powder_value(PowderUnit unit, double r, const PowderGeometry& g);
// The radius (mm) where the unit has value x: infinite for values the flat
// detector cannot see (2θ at or beyond 90°).
double powder_radius(PowderUnit unit, double x, const PowderGeometry& g);
// Largest distance (mm) of a corner of the image from the beam centre.
double powder_far_radius(const IMG& img, const PowderGeometry& g);
// Bins by default: one per pixel (the smaller side) of the largest radius.
int32_t powder_default_bins(const IMG& img, const PowderGeometry& g);
// The range of the unit over the image: from the beam centre (0) to the
// farthest corner; for d, from the farthest corner to the pixel centre
// nearest the beam.
void powder_default_range(const IMG& img, const PowderGeometry& g, PowderUnit unit, double& lo, double& hi);

struct PowderBin {
    double x = 0.0;         // centre of the bin, in the unit
    double intensity = 0.0; // Σ v / Σ c
    double sigma = 0.0;     // √(Σ max(v, 0)) / Σ c
    int64_t pixels = 0;     // n
};

struct PowderProfile {
    PowderUnit unit = PowderUnit::two_theta;
    double lo = 0.0, hi = 0.0;     // range of the bins
    int32_t bins = 0;              // bins of the range, empty ones included
    std::vector<PowderBin> filled; // the bins holding a pixel, in order
};

// The profile of the pixels of `img` whose frame count is not 0 (all when the
// image has no counts), within `sector` when given. Bin k holds the values in
// [lo + k w, lo + (k + 1) w) for w = (hi - lo) / bins, hi itself in the last.
// Every pixel goes whole into the bin of its centre. Stops the run on options
// that give no bins.
PowderProfile powder_profile(const IMG& img, const PowderGeometry& g, const PowderOptions& o,
                             const AzimuthRange* sector = nullptr);

// ---------------------------------------------------------------- writers
// The .xy text: the `comments` as "# " lines, the column names, then one line
// per filled bin: x, I, σ, n.
void powder_write_xy(std::FILE* fp, const PowderProfile& p, const std::vector<std::string>& comments);
// A NeXus file holding one NXdata group per profile (named `groups`) in the
// NXentry "entry": the axis with its units, the intensity as signal, its
// errors and the pixel counts. Returned as the bytes of the file, for the
// caller to write; stops the run when libhdf5 fails.
std::vector<unsigned char> powder_nexus_image(const std::vector<PowderProfile>& profiles,
                                              const std::vector<std::string>& groups);
