// Diffractometer geometry state: orientation matrix, wavelength, circle angles
// and detector vector. Filled from the settings by the driver.
#pragma once

#include <cstdint>

struct GeometryState {
    double mat_ub[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}; // UB by rows
    double mat_inv_ub[9] = {};
    double lambda = 1.0;
    int32_t spec_ub = 0;   // 1: UB includes the factor 2 pi
    int32_t spec_mode = 0; // goniometer mode of get_angles
    // rho, omega, chi, phi, mu, nu (degrees), then the detector vector Rx, Ry, Rz
    double goniometer[9] = {0, 0, 0, 0, 0, 0, 1.0, 0, 0};
    double azimuth[3] = {0, 0, 1};
    double azimuth_angle = 90.0;
};

extern GeometryState geo;

// The start-up defaults: UB the identity, wavelength 1, detector axis (1, 0, 0).
void geo_set_defaults();
