// What the (h, k, l) analyses (%P peaks, %H map) share: the detector point of an
// image position, the default detector centre, the orientation header with the
// refusal of a geometry that cannot index, and the result file name.
#pragma once

#include "7c_cry.hpp"
#include "xy_lib.hpp"

#include <string>

// Detector offsets (Ry, Rz) of the image position (px, py): the position in
// detector pixels (binning and region origin applied), less the centre ORIG,
// through the SCALE matrix.
struct DetectorMap {
    double x_bind, y_bind, x_min, y_min;
    double orig[2];
    double scale[4];
    void point(double px, double py, double& ry, double& rz) const {
        const double dx = (x_bind * px + x_min) - orig[0];
        const double dy = (y_bind * py + y_min) - orig[1];
        ry = scale[0] * dx + scale[1] * dy;
        rz = scale[2] * dx + scale[3] * dy;
    }
};

// Stores the default centre (half the width or height) in each ORIG component
// that is 0, and returns the detector map of the image.
DetectorMap hkl_detector_map(const IMG& image);

// Prints the orientation header (" UB ..." and the nine elements), inverts UB,
// and ends the run through the fatal path, naming `origin`, when no index can be
// computed: a singular UB, a wavelength at or below 5e-05, or a geometry or
// detector setting that is not a finite number.
void hkl_prepare_geometry(GeometryState& geo, const char* origin);

// OUT directory (empty: the current one) + image name without directory and
// extension + `ext`.
std::string hkl_result_name(const IMG& image, const std::string& out_dir, const char* ext);
