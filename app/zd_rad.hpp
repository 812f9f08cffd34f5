// Radial distribution by angular sectors (the %R command): the mean intensity
// in rings of fixed width around the detector centre, per sector or per group
// of sectors, with its standard error and the weight behind it (.rad file).
#pragma once

#include "xy_lib.hpp"

#include <cstdint>
#include <string>
#include <vector>

// The radial settings; strings are empty when not given.
struct RadialSettings {
    float radius = 1.0f;    // RADIUS: ring width in image pixels (at least 1)
    float rad_lim = -1e35f; // RAD_LIM: lower limit of a printed mean
    int32_t n_sector = 1;   // N_SECTOR: 1..72
    float a_sector = 0.0f;  // A_SECTOR: start angle of sector 0, degrees
    std::string p_sector;   // P_SECTOR: groups of sectors, "0+4,2+6,1+3+5+7"
    std::string rad_x;      // RAD_X, RAD_Y: rules giving the position used
    std::string rad_y;      //   for a pixel (col, row)
    std::string rad_dx;     // RAD_DX, RAD_DY: rules giving its weight
    std::string rad_dy;     //   factor along x and y
};
extern thread_local RadialSettings rad_set;

// Help lines of the radial settings.
void radial_usage();
// Member of the settings chain: 1 when the key is a radial key, else 0.
int ini_radial(const IniTag& tag);
// The %R command on `image`; the .rad file goes to `out_dir` (empty: the
// current directory). `argument` (the text after %R) is not used.
void radial(const std::string& argument, const std::string& out_dir, IMG& image);

// ---------------------------------------------------------------- binning arithmetic
// Shared with the tests and the benchmark, which prove the fast path equal to
// the direct one.

// Sector of the direction (dx, dy): the angle atan2f(dy, dx) in degrees, in
// single precision, counted from a_sector, in n equal sectors (floor, then
// modulo n). -1 when the angle cannot be placed (non-finite).
int32_t radial_sector(float dx, float dy, int32_t n, float a_sector);

// The same sector decided from the signs of cross products with the sector
// boundaries, without an arctangent. Directions within a small angle of a
// boundary (far wider than the rounding of the direct computation) and all
// directions when a_sector is far from 0..360 take the direct computation,
// so the result is always radial_sector's.
class SectorFinder {
  public:
    SectorFinder(int32_t n, float a_sector);
    // `r` is the length of (dx, dy); `hint` is the sector to start from and
    // receives the result (consecutive pixels of a row move little).
    int32_t find(float dx, float dy, float r, int32_t& hint) const {
        if (geometric_) {
            const float margin = kBoundaryMargin * r;
            const size_t j = static_cast<size_t>(hint);
            if (cos_b_[j] * dy - sin_b_[j] * dx > margin && cos_e_[j] * dy - sin_e_[j] * dx < -margin)
                return hint;
        }
        return search(dx, dy, r, hint);
    }
    int64_t direct_count() const { return direct_; } // pixels given to radial_sector

    // Directions closer than this (radians, as the sine of the angle) to a
    // sector boundary are placed by the arctangent. The single-precision
    // rounding of that computation stays below 1e-5 rad for start angles
    // within -720..720, and that of the cross products below 1e-6 rad.
    static constexpr float kBoundaryMargin = 1e-4f;

  private:
    int32_t search(float dx, float dy, float r, int32_t& hint) const;
    int32_t n_;
    float a_sector_;
    bool geometric_;
    // Directions of the start and end boundaries of each sector.
    std::vector<float> cos_b_, sin_b_, cos_e_, sin_e_;
    mutable int64_t direct_ = 0;
};
