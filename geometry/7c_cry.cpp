#include "7c_cry.hpp"

#include "7c_use.hpp"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr double min_lambda = 5e-05; // wavelengths at or below compute nothing
constexpr double min_rx = 5e-05;     // detector distances at or below look along the beam

enum Axis { AXIS_X = 0, AXIS_Y = 1, AXIS_Z = 2 };

double k_factor(const GeometryState& geo) {
    return geo.spec_ub == 1 ? geo_two_pi : 1.0;
}

void gonio2head(double head[3], const double g[3]) {
    head[0] = g[2];
    head[1] = g[0];
    head[2] = g[1];
}

void head2gonio(double g[3], const double head[3]) {
    g[0] = head[1];
    g[1] = head[2];
    g[2] = head[0];
}

void error_message(const GeometryState& geo, const char* format, ...) PRG_PRINTF_LIKE(2, 3);
void error_message(const GeometryState& geo, const char* format, ...) {
    if (!geo.p_errormsg) return;
    va_list args;
    va_start(args, format);
    const std::string text = prg_vformat(format, args);
    va_end(args);
    prg_notice("%s", text.c_str());
}

bool lambda_is_valid(const GeometryState& geo, const char* origin) {
    if (geo.lambda > min_lambda) return true;
    error_message(geo, "ERROR %s : invalid lambda value %lg\n", origin, geo.lambda);
    return false;
}

// The six circle angles of a setting, to radians; Rx, Ry, Rz copied.
void setting_to_radians(double out[9], const double setting[9]) {
    for (int i = 0; i < 9; ++i)
        out[i] = i < 6 ? setting[i] / geo_deg : setting[i];
}

void angles_to_degrees(double angles[9]) {
    for (int i = 0; i < 6; ++i)
        angles[i] *= geo_deg;
}

// The scattering vector is linear in the unit vector k towards the detector
// point: with R_det the detector arm (nu about z, then mu about y) and R_crystal
// the sample circles turned back (-rho about z, -omega about y, +chi about x,
// -phi about y), q = K / lambda (R_crystal R_det k - R_crystal e_x). The frame
// holds that matrix and the constant, in the head frame, for a setting (radians).
void prepare_frame(const GeometryState& geo, HklFrame& f, const double rad[9]) {
    const double angle[6] = {rad[G_NU], rad[G_MU], -rad[G_RHO], -rad[G_OMEGA], rad[G_CHI], -rad[G_PHI]};
    const int axis[6] = {AXIS_Z, AXIS_Y, AXIS_Z, AXIS_Y, AXIS_X, AXIS_Y};
    double c[6], s[6];
    for (int i = 0; i < 6; ++i) {
        c[i] = std::cos(angle[i]);
        s[i] = std::sin(angle[i]);
    }
    const double scale = k_factor(geo) / geo.lambda;
    // Column j of the matrix is the image of e_j; the constant is the image of
    // e_x through the sample circles alone.
    double columns[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}};
    for (int j = 0; j < 4; ++j) {
        for (int step = j < 3 ? 0 : 2; step < 6; ++step) {
            double t[3];
            rotate_cs(axis[step], t, c[step], s[step], columns[j]);
            for (int i = 0; i < 3; ++i)
                columns[j][i] = t[i];
        }
        double head[3];
        gonio2head(head, columns[j]);
        for (int i = 0; i < 3; ++i)
            columns[j][i] = head[i] * scale;
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            f.to_head[3 * i + j] = columns[j][i];
        f.beam[i] = columns[3][i];
    }
    f.along_beam = !(rad[G_RX] > min_rx);
    f.inv_rx = f.along_beam ? 0.0 : 1.0 / rad[G_RX];
}

// Scattering vector (head frame) of the detector point (Rx, Ry, Rz): k is
// (1, Ry/Rx, Rz/Rx) normalised, or the beam direction when Rx is at or below
// 5e-05.
void head_vector(const HklFrame& f, double ry, double rz, double q[3]) {
    double k[3] = {1.0, 0.0, 0.0};
    if (!f.along_beam) {
        const double ty = ry * f.inv_rx, tz = rz * f.inv_rx;
        const double norm = 1.0 / std::sqrt(1.0 + ty * ty + tz * tz);
        k[0] = norm;
        k[1] = ty * norm;
        k[2] = tz * norm;
    }
    const double* m = f.to_head;
    for (int i = 0; i < 3; ++i)
        q[i] = (m[3 * i] * k[0] + m[3 * i + 1] * k[1] + m[3 * i + 2] * k[2]) - f.beam[i];
}

// theta and 2theta (radians) of a scattering vector: sin theta = lambda |q| / 2
// (over 2 pi with SPEC_UB 1). Status 0, or 2 when that reaches 1.
int bragg_angle(const GeometryState& geo, double& th, double& tth, const double q[3]) {
    double s = geo.lambda / 2.0 * std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2]);
    if (geo.spec_ub == 1) s /= geo_two_pi;
    if (s < 1) {
        th = std::asin(s);
        tth = 2.0 * th;
        return HKL_VALID;
    }
    error_message(geo, "ERROR bragg_angle: out of q_range %lf\n", s);
    return HKL_Q_RANGE;
}

// Angle (radians) between UB v and UB w; 0 when either is the zero vector.
double angle_hkl(const GeometryState& geo, const double v[3], const double w[3]) {
    double a[3], b[3];
    mul_matvec(a, geo.mat_ub, v);
    mul_matvec(b, geo.mat_ub, w);
    const double norm =
        std::sqrt((a[0] * a[0] + a[1] * a[1] + a[2] * a[2]) * (b[0] * b[0] + b[1] * b[1] + b[2] * b[2]));
    if (!(norm > 0)) return 0.0;
    const double c = (a[0] * b[0] + a[1] * b[1] + a[2] * b[2]) / norm;
    return std::acos(c > 1 ? 1 : (c < -1 ? -1 : c)); // rounding may pass |c| = 1
}

double reflection_psi(const GeometryState& geo, const Reflection& rec) {
    const double v[3] = {rec.h, rec.k, rec.l};
    return angle_hkl(geo, v, geo.azimuth);
}

// Scattering vector (goniometer frame) of the detector arm at mu, nu with the
// detector along (1, 0, 0). Returns 1 for a wavelength below 5e-05.
int delta_s(const GeometryState& geo, double out[3], double mu, double nu) {
    const double k[3] = {k_factor(geo), 0, 0};
    double t[3];
    rotate(AXIS_Z, t, nu, k);
    rotate(AXIS_Y, out, mu, t);
    out[0] = out[0] - k_factor(geo);
    if (geo.lambda < min_lambda) {
        error_message(geo, "ERROR get_hkl, invalid lambda %lf\n", geo.lambda);
        return 1;
    }
    for (int i = 0; i < 3; ++i)
        out[i] = out[i] / geo.lambda;
    return 0;
}

// mu from the fixed nu and 2theta: cos 2theta = cos mu cos nu.
int mu_from_nu(const GeometryState& geo, double ang[9], double tth) {
    const double c = std::cos(tth) / std::cos(ang[G_NU]);
    if (std::fabs(c) <= 1) {
        ang[G_MU] = std::acos(c);
        return HKL_VALID;
    }
    error_message(geo, "ERROR mu_from_nu: out of det_range %lf\n", c);
    return HKL_DETECTOR_RANGE;
}

// The detector's scattering vector turned back by rho (first step of every
// mode solver). Returns 1 when it cannot be computed.
int detector_vector(const GeometryState& geo, double s[3], const double ang[9]) {
    double d[3];
    if (delta_s(geo, d, ang[G_MU], ang[G_NU])) return 1;
    rotate(AXIS_Z, s, -ang[G_RHO], d);
    return 0;
}

// Chooses between two solutions (angle t, rotation a): the second unless the
// first is at least as small in both (`strict` asks for strictly smaller).
int pick_solution(const double t[2], const double a[2], const bool ok[2], bool strict) {
    if (ok[0] && !ok[1]) return 0;
    if (!ok[0]) return 1;
    const bool first = strict ? (std::fabs(t[0]) < std::fabs(t[1]) && std::fabs(a[0]) < std::fabs(a[1]))
                              : (std::fabs(t[0]) <= std::fabs(t[1]) && std::fabs(a[0]) <= std::fabs(a[1]));
    return first ? 0 : 1;
}

// Modes 0 and 1: omega, rho fixed; finds phi (about y) and chi (about x).
int solve_mode0(GeometryState& geo, double ang[9], const double q[3]) {
    double s0[3], s[3];
    if (detector_vector(geo, s0, ang)) return 1;
    rotate(AXIS_Y, s, -ang[G_OMEGA], s0);
    double phi[2], a[2] = {0, 0};
    bool ok[2] = {false, false};
    const int n = solve_trigo(phi, -q[0], q[2], s[0]);
    for (int i = 0; i < n; ++i) {
        double t[3];
        rotate(AXIS_Y, t, phi[i], q);
        ok[i] = solve_rot(AXIS_X, &a[i], t, s) == 1;
    }
    if (!ok[0] && !ok[1]) return HKL_MODE_RANGE;
    const int i = pick_solution(phi, a, ok, false);
    ang[G_PHI] = phi[i];
    ang[G_CHI] = -a[i];
    return HKL_VALID;
}

// Mode 2: chi, phi, rho fixed; finds omega.
int solve_mode2(GeometryState& geo, double ang[9], const double q[3]) {
    double s[3];
    if (detector_vector(geo, s, ang)) return 1;
    double t[3], u[3], a;
    rotate(AXIS_Y, t, ang[G_PHI], q);
    rotate(AXIS_X, u, -ang[G_CHI], t);
    if (!solve_rot(AXIS_Y, &a, s, u)) return HKL_MODE_RANGE;
    ang[G_OMEGA] = -a;
    return HKL_VALID;
}

// Modes 3 and 4: phi, rho fixed; finds omega (about y) and chi (about x).
int solve_mode3(GeometryState& geo, double ang[9], const double q[3]) {
    double s[3];
    if (detector_vector(geo, s, ang)) return 1;
    double p[3];
    rotate(AXIS_Y, p, ang[G_PHI], q);
    double om[2], a[2] = {0, 0};
    bool ok[2] = {false, false};
    const int n = solve_trigo(om, -s[0], s[2], p[0]);
    for (int i = 0; i < n; ++i) {
        double w[3];
        rotate(AXIS_Y, w, om[i], s);
        ok[i] = solve_rot(AXIS_X, &a[i], p, w) == 1;
    }
    if (!ok[0] && !ok[1]) return HKL_MODE_RANGE;
    const int i = pick_solution(om, a, ok, true);
    ang[G_OMEGA] = -om[i];
    ang[G_CHI] = -a[i];
    return HKL_VALID;
}

// Sets the detector and fixed circles of a mode and runs its solver.
int solve_mode(GeometryState& geo, double ang[9], const double gonio[9], const double q[3], double th,
               double tth) {
    ang[G_RHO] = 0.0;
    ang[G_NU] = gonio[G_NU];
    switch (geo.spec_mode) {
    case 0:
        ang[G_NU] = 0.0;
        ang[G_MU] = tth;
        ang[G_OMEGA] = th;
        return solve_mode0(geo, ang, q);
    case 1:
        ang[G_OMEGA] = gonio[G_OMEGA];
        return mu_from_nu(geo, ang, tth) ? HKL_DETECTOR_RANGE : solve_mode0(geo, ang, q);
    case 2:
        ang[G_CHI] = gonio[G_CHI];
        ang[G_PHI] = gonio[G_PHI];
        return mu_from_nu(geo, ang, tth) ? HKL_DETECTOR_RANGE : solve_mode2(geo, ang, q);
    case 3:
    case 4:
        ang[G_PHI] = gonio[G_PHI];
        return mu_from_nu(geo, ang, tth) ? HKL_DETECTOR_RANGE : solve_mode3(geo, ang, q);
    default: // no mode, no solution: never a valid status over the current setting
        return HKL_MODE_RANGE;
    }
}

void cross(double out[3], const double a[3], const double b[3]) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

// out = a b, the ordinary row-major product.
void mat_product(double out[9], const double a[9], const double b[9]) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            out[3 * r + c] = a[3 * r] * b[c] + a[3 * r + 1] * b[3 + c] + a[3 * r + 2] * b[6 + c];
}

double determinant(const double m[9]) {
    return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
           m[2] * (m[3] * m[7] - m[4] * m[6]);
}

// Scattering vector of an orientation reflection, with its setting printed.
int reflection_vector(GeometryState& geo, double q[3], const Reflection& r, const char* name,
                      const char* pad) {
    for (int i = 0; i < 9; ++i)
        geo.goniometer[i] = r.angles[i];
    const double* g = geo.goniometer;
    prg_screen("%s gonio = %8.4lf  %8.4lf  %8.4lf  %8.4lf\n", name, g[0], g[1], g[2], g[3]);
    prg_screen("%s detec = %8.4lf  %8.4lf  %s%6.1lf %6.1lf %6.1lf\n", name, g[4], g[5], pad, g[6], g[7],
               g[8]);
    return angles_to_head(geo, q, geo.goniometer);
}

} // namespace

void geo_set_defaults(GeometryState& geo) {
    geo = GeometryState();
}

bool geo_ini(GeometryState& geo, const IniTag& t) {
    if (prg_inidbln(t, "MAT_UB", geo.mat_ub, 9)) {
        geo.inv_ub_valid = false;
        return true;
    }
    return prg_iniint(t, "SPEC_UB", geo.spec_ub) || prg_inidbln(t, "LAMBDA", &geo.lambda, 1) ||
           prg_inidbln(t, "GONIO", geo.goniometer, 4) || prg_inidbln(t, "DETEC", geo.goniometer + 4, 5);
}

void geo_usage() {
    prg_write(stderr, " MAT_UB = values according spec\n"
                      " LAMBDA = 1 (if not given)\n"
                      " GONIO =  0.00 th chi phi\n"
                      " DETEC =  alpha tth Rx(=1) Ry(=0) Rz(=0)\n");
}

int geo_invert_ub(GeometryState& geo) {
    if (inv_mat(geo.mat_inv_ub, geo.mat_ub)) {
        geo.inv_ub_valid = false;
        return 1;
    }
    geo.inv_ub_valid = true;
    return 0;
}

const char* mode_msg(int mode) {
    static const char* const texts[] = {
        "goniometer symetrical mode (rho = nu = 0)",
        "goniometer mode with omega, rho, nu fixed",
        "goniometer mode with chi, phi rho, nu fixed = 'zone mode'",
        "goniometer mode with phi, rho, nu fixed",
        "goniometer mode azimuth, rho and nu fixed",
    };
    return mode >= 0 && mode < 5 ? texts[mode] : " unknown calculation mode";
}

int angles_to_head(const GeometryState& geo, double q[3], const double setting[9]) {
    if (!lambda_is_valid(geo, "get_hkl")) return 1;
    double rad[9];
    setting_to_radians(rad, setting);
    HklFrame f;
    prepare_frame(geo, f, rad);
    head_vector(f, rad[G_RY], rad[G_RZ], q);
    return 0;
}

bool hkl_frame_prepare(const GeometryState& geo, HklFrame& f) {
    if (!lambda_is_valid(geo, "get_hkl") || !geo.inv_ub_valid) return false;
    double rad[9];
    setting_to_radians(rad, geo.goniometer);
    prepare_frame(geo, f, rad);
    for (int i = 0; i < 9; ++i)
        f.inv_ub[i] = geo.mat_inv_ub[i];
    return true;
}

void hkl_frame_indices(const HklFrame& f, double ry, double rz, double hkl[3]) {
    double q[3];
    head_vector(f, ry, rz, q);
    mul_matvec(hkl, f.inv_ub, q);
}

void get_hkl(GeometryState& geo) {
    Reflection& rec = geo.hkl;
    rec.status = HKL_INVALID;
    for (int i = 0; i < 9; ++i)
        rec.angles[i] = geo.goniometer[i];
    rec.tth = rec.th = rec.psi = 0.0;
    rec.further[0] = rec.further[1] = 0.0;
    HklFrame f;
    if (!hkl_frame_prepare(geo, f)) return;
    double q[3], v[3];
    head_vector(f, geo.goniometer[G_RY], geo.goniometer[G_RZ], q);
    mul_matvec(v, f.inv_ub, q);
    rec.h = v[0];
    rec.k = v[1];
    rec.l = v[2];
    double th = 0, tth = 0;
    rec.status = bragg_angle(geo, th, tth, q);
    rec.th = th * geo_deg;
    rec.tth = tth * geo_deg;
    rec.psi = reflection_psi(geo, rec) * geo_deg;
}

void get_angles(GeometryState& geo) {
    Reflection& rec = geo.hkl;
    double gonio[9];
    setting_to_radians(gonio, geo.goniometer);
    rec.status = HKL_INVALID;
    rec.h = geo.hkl_cryst[0];
    rec.k = geo.hkl_cryst[1];
    rec.l = geo.hkl_cryst[2];
    for (int i = 0; i < 9; ++i)
        rec.angles[i] = gonio[i];
    rec.tth = rec.th = rec.psi = 0.0;
    rec.further[0] = rec.further[1] = 0.0;

    double head[3], q[3];
    mul_matvec(head, geo.mat_ub, geo.hkl_cryst);
    head2gonio(q, head);
    double th = 0, tth = 0;
    rec.status = bragg_angle(geo, th, tth, q);
    if (rec.status == HKL_VALID) {
        rec.angles[G_RX] = 1.0;
        rec.angles[G_RY] = rec.angles[G_RZ] = 0.0;
        rec.status = solve_mode(geo, rec.angles, gonio, q, th, tth);
        rec.th = th * geo_deg;
        rec.tth = tth * geo_deg;
        rec.psi = reflection_psi(geo, rec) * geo_deg;
    }
    angles_to_degrees(rec.angles);
}

void g_from_cell(double g[9], const double cell[6]) {
    const double a = cell[0], b = cell[1], c = cell[2];
    const double ca = std::cos(cell[3] / geo_deg);
    const double cb = std::cos(cell[4] / geo_deg);
    const double cg = std::cos(cell[5] / geo_deg);
    const double m[9] = {a * a,      a * b * cg, a * c * cb, a * b * cg, b * b,
                         b * c * ca, a * c * cb, b * c * ca, c * c};
    for (int i = 0; i < 9; ++i)
        g[i] = m[i];
}

void cell_from_g(double cell[6], const double g[9]) {
    const double a = std::sqrt(g[0]), b = std::sqrt(g[4]), c = std::sqrt(g[8]);
    cell[0] = a;
    cell[1] = b;
    cell[2] = c;
    cell[3] = std::acos(g[5] / (b * c)) * geo_deg;
    cell[4] = std::acos(g[6] / (c * a)) * geo_deg;
    cell[5] = std::acos(g[1] / (a * b)) * geo_deg;
}

void cell_from_ub(GeometryState& geo) {
    double gs[9], g[9];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const double* u = geo.mat_ub;
            gs[3 * i + j] = u[i] * u[j] + u[3 + i] * u[3 + j] + u[6 + i] * u[6 + j];
        }
    cell_from_g(geo.recip, gs);
    if (inv_mat(g, gs)) return;
    cell_from_g(geo.direct, g);
    if (geo.spec_ub == 1)
        for (int i = 0; i < 3; ++i)
            geo.direct[i] *= geo_two_pi;
}

int ub_from_or(GeometryState& geo) {
    double q[3][3];
    if (reflection_vector(geo, q[0], geo.or0, "or0 ", "")) return 1;
    prg_screen("===>head[0] %lf %lf %lf\n", q[0][0], q[0][1], q[0][2]);
    if (reflection_vector(geo, q[1], geo.or1, "or1  ", " ")) return 1;
    prg_screen("===>head[1] %lf %lf %lf\n", q[1][0], q[1][1], q[1][2]);

    double g[9], gb[9];
    g_from_cell(g, geo.direct);
    if (inv_mat(gb, g)) return 1;
    prg_screen("===>gb %lf %lf %lf\n     %lf %lf %lf\n     %lf %lf %lf\n", gb[0], gb[1], gb[2], gb[3], gb[4],
               gb[5], gb[6], gb[7], gb[8]);
    double h[3][3] = {{geo.or0.h, geo.or0.k, geo.or0.l}, {geo.or1.h, geo.or1.k, geo.or1.l}, {}};
    prg_screen("===>or0 %lf %lf %lf\n", h[0][0], h[0][1], h[0][2]);
    prg_screen("===>or1 %lf %lf %lf\n", h[1][0], h[1][1], h[1][2]);

    // (H_0 x H_1) in index space is a direct-lattice vector; G turns it into
    // reciprocal indices and 1/sqrt(det G) = 1/V scales it to Q_0 x Q_1.
    const double det_g = determinant(g);
    if (!(det_g > 0)) return 1;
    double c[3];
    cross(c, h[0], h[1]);
    mul_matvec(h[2], g, c);
    for (double& x : h[2])
        x /= std::sqrt(det_g);
    prg_screen("===>or2 %lf %lf %lf\n", h[2][0], h[2][1], h[2][2]);
    cross(q[2], q[0], q[1]);
    prg_screen("===>head[2] %lf %lf %lf\n", q[2][0], q[2][1], q[2][2]);
    // Q_2 carries (2 pi)^2 with SPEC_UB 1 and UB only 2 pi: H_2 takes the other.
    if (geo.spec_ub == 1)
        for (double& x : h[2])
            x *= geo_two_pi;

    double hm[9], qm[9], hinv[9], ub[9];
    for (int r = 0; r < 3; ++r)
        for (int i = 0; i < 3; ++i) {
            hm[3 * r + i] = h[i][r];
            qm[3 * r + i] = q[i][r];
        }
    if (inv_mat(hinv, hm)) return 1;
    mat_product(ub, qm, hinv);
    for (int i = 0; i < 9; ++i)
        geo.mat_ub[i] = ub[i];
    return geo_invert_ub(geo);
}
