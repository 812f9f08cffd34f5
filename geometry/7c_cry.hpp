// Diffractometer with four sample circles (rho, omega, chi, phi) and two
// detector circles (mu, nu) carrying a crystal and an area detector: the
// geometry state, (h, k, l) from circle angles and a detector point, circle
// angles from (h, k, l) in five goniometer modes, unit cells and the
// orientation matrix from two reflections.
//
// Conventions: angles are stored in degrees and converted with the factor
// 180/3.14159; UB is nine doubles by rows and maps (h, k, l) to the scattering
// vector in the head frame; with SPEC_UB 1 it includes the factor 6.28318 (2 pi).
// The goniometer frame has x along the incident beam; the head frame is its
// cyclic exchange: head = (g_z, g_x, g_y).
#pragma once

#include "prg_lib.hpp"

#include <cstdint>

constexpr double geo_deg = 57.295827908797776; // degrees per radian, 180/3.14159
constexpr double geo_two_pi = 6.28318;

// Indices into the goniometer record and a reflection's `angles`.
enum GonioIndex { G_RHO, G_OMEGA, G_CHI, G_PHI, G_MU, G_NU, G_RX, G_RY, G_RZ };

// Result codes of get_hkl / get_angles.
enum HklStatus {
    HKL_VALID = 0,
    HKL_INVALID = 1,        // bad wavelength, singular UB, or nothing computed
    HKL_Q_RANGE = 2,        // beyond the reachable scattering range
    HKL_DETECTOR_RANGE = 3, // 2theta not reachable with the fixed nu
    HKL_MODE_RANGE = 4      // no solution in the goniometer mode
};

// A reflection: indices, the setting (nine goniometer values) and its angles.
struct Reflection {
    int32_t status = HKL_INVALID;
    double h = 0, k = 0, l = 0;
    double angles[9] = {};
    double tth = 0;         // scattering angle 2theta, degrees
    double th = 0;          // Bragg angle, degrees
    double further[2] = {}; // always 0
    double psi = 0;         // angle to the azimuth reference, degrees
};

struct GeometryState {
    double mat_ub[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}; // MAT_UB, by rows
    double mat_inv_ub[9] = {};
    bool inv_ub_valid = false; // mat_inv_ub is the inverse of the current mat_ub
    double lambda = 1.0;       // LAMBDA; at or below 5e-05 nothing is indexed
    int32_t spec_ub = 0;       // SPEC_UB: 1 = UB includes 2 pi
    int32_t spec_mode = 0;     // goniometer mode of get_angles (0..4)
    // GONIO: rho, omega, chi, phi; DETEC: mu, nu (degrees), Rx, Ry, Rz
    double goniometer[9] = {0, 0, 0, 0, 0, 0, 1.0, 0, 0};
    double azimuth[3] = {0, 0, 1}; // azimuth reference (h, k, l)
    Reflection hkl;                // result of the last get_hkl / get_angles
    double hkl_cryst[3] = {};      // target indices of get_angles
    Reflection or0, or1;           // orientation reflections of ub_from_or
    double direct[6] = {};         // a, b, c, alpha, beta, gamma
    double recip[6] = {};
    int32_t p_errormsg = 0; // when set, failures are also reported on stderr
};

// The start-up defaults: UB the identity, wavelength 1, detector axis (1, 0, 0),
// azimuth reference (0, 0, 1).
void geo_set_defaults(GeometryState& geo);

// Settings handler of the geometry keys SPEC_UB, MAT_UB, LAMBDA, GONIO, DETEC;
// true when it took the key (echoed by the typed getters).
bool geo_ini(GeometryState& geo, const IniTag& tag);
// Help lines of the geometry keys (stderr).
void geo_usage();

// mat_inv_ub = inverse of mat_ub. On a singular UB prints the inversion message,
// marks the inverse invalid (get_hkl then computes nothing) and returns 1.
int geo_invert_ub(GeometryState& geo);

// From the goniometer setting and its detector point (Rx, Ry, Rz): the scattering
// vector q, (h, k, l) = UB^-1 q, 2theta, theta and psi into geo.hkl. Status 1
// (nothing computed) for a wavelength at or below 5e-05 or an invalid inverse;
// 2 when lambda |q| / 2 (over 2 pi with SPEC_UB 1) reaches 1 (indices are set,
// the angles are 0). The goniometer record is not changed.
void get_hkl(GeometryState& geo);

// Circle angles that bring geo.hkl_cryst into diffraction under geo.spec_mode,
// with rho = 0 and the detector along (1, 0, 0):
//   0 symmetric: nu = 0, mu = 2theta, omega = theta; solves phi, chi
//   1 omega, nu fixed; mu from nu; solves phi, chi
//   2 chi, phi, nu fixed; mu from nu; solves omega
//   3, 4 phi, nu fixed; mu from nu; solves omega, chi
// Sets geo.hkl: status 0, or 1 (bad wavelength), 2 (q range), 3 (cos 2theta /
// cos nu beyond 1), 4 (no solution in the mode). On failure the angles of the
// record are the current setting. The goniometer record is not changed.
void get_angles(GeometryState& geo);

// Text of a goniometer mode.
const char* mode_msg(int mode);

// Scattering vector, head frame, of the goniometer setting `setting` (nine
// values, degrees). Returns 1 (q untouched) for a wavelength at or below 5e-05.
int angles_to_head(const GeometryState& geo, double q[3], const double setting[9]);

// Metric tensor G of a cell (a, b, c, alpha, beta, gamma in degrees):
// G = [[a^2, ab cos gamma, ac cos beta], [ab cos gamma, b^2, bc cos alpha],
//      [ac cos beta, bc cos alpha, c^2]].
void g_from_cell(double g[9], const double cell[6]);
// The cell of a metric tensor (lengths from the diagonal, angles by acos).
void cell_from_g(double cell[6], const double g[9]);
// recip = cell of UB^T UB, direct = cell of its inverse (lengths times 6.28318
// with SPEC_UB 1).
void cell_from_ub(GeometryState& geo);
// UB from or0, or1 (indices and measured settings) and the direct cell:
// UB H_i = Q_i for H_2 = G (H_0 x H_1) / sqrt(det G) (times 2 pi with SPEC_UB 1)
// and Q_2 = Q_0 x Q_1, which holds for any cell. Leaves the goniometer at the
// setting of or1. Returns 0 with mat_ub and mat_inv_ub set, 1 with UB unchanged
// (bad wavelength, singular cell or index matrix).
int ub_from_or(GeometryState& geo);

// The per-setting part of get_hkl, for many detector points at one setting:
// `prepare` composes the circle rotations, the wavelength and the 2 pi factor
// into one matrix and a constant once; `indices` gives the (h, k, l) of one
// point with the same bits as get_hkl.
struct HklFrame {
    double to_head[9] = {}; // unit vector towards the detector point -> q (head frame)
    double beam[3] = {};    // the incident part subtracted from it
    double inv_rx = 0.0;
    bool along_beam = true; // Rx at or below 5e-05: k is the beam direction
    double inv_ub[9] = {};
};
// False (frame unusable) for a bad wavelength or an invalid inverse.
bool hkl_frame_prepare(const GeometryState& geo, HklFrame& frame);
void hkl_frame_indices(const HklFrame& frame, double ry, double rz, double hkl[3]);
