#include "zd_hkl.hpp"

#include "7c_cry.hpp"
#include "zd_run.hpp"

#include <cmath>

DetectorMap hkl_detector_map(const IMG& image) {
    if (run.orig_det[0] == 0) run.orig_det[0] = image.nx / 2.0;
    if (run.orig_det[1] == 0) run.orig_det[1] = image.ny / 2.0;
    DetectorMap map;
    map.x_bind = image.x_bind;
    map.y_bind = image.y_bind;
    map.x_min = image.x_min;
    map.y_min = image.y_min;
    for (int i = 0; i < 2; ++i)
        map.orig[i] = run.orig_det[i];
    for (int i = 0; i < 4; ++i)
        map.scale[i] = run.scale_det[i];
    return map;
}

namespace {

// Settings read as "nan" or "inf" would turn every index into nan.
void require_finite(const char* origin, const char* key, const double* values, int n) {
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(values[i]))
            v_fatal(origin, "%s holds a value that is not a finite number: no (h, k, l) can be computed",
                    key);
}

} // namespace

void hkl_prepare_geometry(GeometryState& geo, const char* origin) {
    prg_printf(" UB %s\n", geo.spec_ub == 1 ? "spec_mode(2Pi)" : "not_spec");
    for (int i = 0; i < 9; ++i)
        prg_printf(" UB[%d]= %12.6lf %s", i, geo.mat_ub[i], i % 3 == 2 ? "\n" : " ");
    require_finite(origin, "MAT_UB", geo.mat_ub, 9);
    require_finite(origin, "LAMBDA", &geo.lambda, 1);
    require_finite(origin, "GONIO", geo.goniometer, 4);
    require_finite(origin, "DETEC", geo.goniometer + 4, 5);
    require_finite(origin, "ORIG", run.orig_det, 2);
    require_finite(origin, "SCALE", run.scale_det, 4);
    if (geo_invert_ub(geo))
        v_fatal(origin, "the orientation matrix MAT_UB is singular: no (h, k, l) can be computed");
    if (!(geo.lambda > 5e-05))
        v_fatal(origin, "invalid wavelength LAMBDA = %lg: no (h, k, l) can be computed", geo.lambda);
}

std::string hkl_result_name(const IMG& image, const std::string& out_dir, const char* ext) {
    return prg_result_name(out_dir, image.name, ext);
}
