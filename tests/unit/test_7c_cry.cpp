// Orientation, (h, k, l) from angles and angles from (h, k, l), cells and the
// orientation matrix from two reflections.
#include "7c_cry.hpp"
#include "7c_use.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>

namespace {

// One degree of the geometry convention against a true degree.
const double short_pi_ratio = M_PI / geo_pi;

// A triclinic cell and a UB for it: U (a rotation) times B, the upper
// triangular factor of the reciprocal metric (B^T B = G*).
const double triclinic[6] = {5.1, 6.3, 7.2, 80.0, 95.0, 105.0};

void ub_of_cell(double ub[9], const double cell[6], double scale) {
    double g[9], gs[9];
    g_from_cell(g, cell);
    inv_mat(gs, g);
    double b[9] = {};
    b[0] = std::sqrt(gs[0]);
    b[1] = gs[1] / b[0];
    b[2] = gs[2] / b[0];
    b[4] = std::sqrt(gs[4] - b[1] * b[1]);
    b[5] = (gs[5] - b[1] * b[2]) / b[4];
    b[8] = std::sqrt(gs[8] - b[2] * b[2] - b[5] * b[5]);
    // U: columns of rotations about z, x and y by 0.3, -0.5, 1.1 rad
    double u[9], t[9];
    const double id[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (int c = 0; c < 3; ++c) {
        double a[3], e[3] = {id[c], id[3 + c], id[6 + c]};
        rotate(2, a, 0.3, e);
        rotate(0, e, -0.5, a);
        rotate(1, a, 1.1, e);
        for (int r = 0; r < 3; ++r)
            u[3 * r + c] = a[r];
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            t[3 * r + c] = u[3 * r] * b[c] + u[3 * r + 1] * b[3 + c] + u[3 * r + 2] * b[6 + c];
    for (int i = 0; i < 9; ++i)
        ub[i] = t[i] * scale;
}

class Geometry : public ::testing::Test {
  protected:
    void SetUp() override { geo_set_defaults(geo); }

    void set_setting(const double s[9]) {
        for (int i = 0; i < 9; ++i)
            geo.goniometer[i] = s[i];
    }
    void use_triclinic_ub(double scale = 1.0) {
        ub_of_cell(geo.mat_ub, triclinic, scale);
        ASSERT_EQ(geo_invert_ub(geo), 0);
    }
    std::string quiet_stdout_of(int (*op)(GeometryState&)) {
        testing::internal::CaptureStdout();
        result_ = op(geo);
        return testing::internal::GetCapturedStdout();
    }
    int result_ = -1;
    GeometryState geo;
};

// ---------------------------------------------------------------- get_hkl

TEST_F(Geometry, BeamAlongTheDetectorAxisIndexesToTheOrigin) {
    ASSERT_EQ(geo_invert_ub(geo), 0);
    get_hkl(geo);
    EXPECT_EQ(geo.hkl.status, HKL_VALID);
    EXPECT_EQ(geo.hkl.h, 0);
    EXPECT_EQ(geo.hkl.k, 0);
    EXPECT_EQ(geo.hkl.l, 0);
    EXPECT_EQ(geo.hkl.tth, 0);
}

TEST_F(Geometry, DetectorPointOffTheAxisGivesItsScatteringVector) {
    ASSERT_EQ(geo_invert_ub(geo), 0);
    geo.goniometer[G_RY] = 1.0;
    get_hkl(geo);
    ASSERT_EQ(geo.hkl.status, HKL_VALID);
    const double r2 = std::sqrt(0.5);
    EXPECT_NEAR(geo.hkl.h, 0.0, 1e-15);
    EXPECT_NEAR(geo.hkl.k, r2 - 1.0, 1e-15);
    EXPECT_NEAR(geo.hkl.l, r2, 1e-15);
    EXPECT_NEAR(geo.hkl.tth, 45.0 * short_pi_ratio, 1e-12);
    EXPECT_NEAR(geo.hkl.th, 22.5 * short_pi_ratio, 1e-12);
    EXPECT_NEAR(geo.hkl.tth, 45.000038, 1e-6); // the shift the short pi prints
}

TEST_F(Geometry, TwoPiConventionGivesTheSameIndicesAndAngles) {
    const double setting[9] = {3, 12.5, -20, 40, 7, 18, 120, 14, -9};
    set_setting(setting);
    use_triclinic_ub();
    get_hkl(geo);
    const Reflection plain = geo.hkl;
    use_triclinic_ub(geo_two_pi);
    geo.spec_ub = 1;
    get_hkl(geo);
    ASSERT_EQ(plain.status, HKL_VALID);
    ASSERT_EQ(geo.hkl.status, HKL_VALID);
    EXPECT_NEAR(geo.hkl.h, plain.h, 1e-12);
    EXPECT_NEAR(geo.hkl.k, plain.k, 1e-12);
    EXPECT_NEAR(geo.hkl.l, plain.l, 1e-12);
    EXPECT_NEAR(geo.hkl.tth, plain.tth, 1e-10);
    EXPECT_NEAR(geo.hkl.psi, plain.psi, 1e-10);
}

TEST_F(Geometry, InvalidWavelengthOrInverseComputesNothing) {
    const double setting[9] = {1, 2, 3, 4, 5, 6, 1, 0.5, 0.25};
    set_setting(setting);
    ASSERT_EQ(geo_invert_ub(geo), 0);
    for (double lambda : {0.0, 5e-05, -1.0}) {
        geo.lambda = lambda;
        geo.hkl.h = 1234;
        get_hkl(geo);
        EXPECT_EQ(geo.hkl.status, HKL_INVALID) << lambda;
        EXPECT_EQ(geo.hkl.h, 1234) << lambda; // no indices computed
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(geo.goniometer[i], setting[i]); // still in degrees
    }
    geo.lambda = 1.0;
    const double singular[9] = {1, 2, 3, 2, 4, 6, 0, 0, 1};
    for (int i = 0; i < 9; ++i)
        geo.mat_ub[i] = singular[i];
    testing::internal::CaptureStderr();
    EXPECT_EQ(geo_invert_ub(geo), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), " Failed inverting 3*3 matrix!\n");
    EXPECT_FALSE(geo.inv_ub_valid);
    get_hkl(geo);
    EXPECT_EQ(geo.hkl.status, HKL_INVALID);
}

TEST_F(Geometry, FrameForManyPointsGivesTheBitsOfGetHkl) {
    const double setting[9] = {2, -31, 47, 112, 9, 21, 150, 0, 0};
    set_setting(setting);
    use_triclinic_ub();
    HklFrame frame;
    ASSERT_TRUE(hkl_frame_prepare(geo, frame));
    for (double ry : {-80.0, 0.0, 13.25})
        for (double rz : {-7.5, 0.0, 99.0}) {
            geo.goniometer[G_RY] = ry;
            geo.goniometer[G_RZ] = rz;
            get_hkl(geo);
            double v[3];
            hkl_frame_indices(frame, ry, rz, v);
            EXPECT_EQ(v[0], geo.hkl.h);
            EXPECT_EQ(v[1], geo.hkl.k);
            EXPECT_EQ(v[2], geo.hkl.l);
        }
    geo.lambda = 0;
    EXPECT_FALSE(hkl_frame_prepare(geo, frame));
}

// The indices written out plainly from the geometry: k the unit vector towards
// (Rx, Ry, Rz), q = (R_crystal R_det k - R_crystal e_x) / lambda with R_det =
// Ry(mu) Rz(nu) and R_crystal = Ry(-phi) Rx(chi) Ry(-omega) Rz(-rho), the
// head frame (q_z, q_x, q_y), and UB h = q solved by Cramer's rule.
using M3 = std::array<double, 9>;
using V3 = std::array<double, 3>;

M3 about(int axis, double degrees) {
    const double c = std::cos(degrees / geo_deg), s = std::sin(degrees / geo_deg);
    if (axis == 0) return {1, 0, 0, 0, c, s, 0, -s, c};
    if (axis == 1) return {c, 0, -s, 0, 1, 0, s, 0, c};
    return {c, s, 0, -s, c, 0, 0, 0, 1};
}

M3 operator*(const M3& a, const M3& b) {
    M3 p{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k)
                p[3 * r + c] += a[3 * r + k] * b[3 * k + c];
    return p;
}

V3 operator*(const M3& m, const V3& v) {
    return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
            m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

double det(const V3& a, const V3& b, const V3& c) {
    return a[0] * (b[1] * c[2] - b[2] * c[1]) - b[0] * (a[1] * c[2] - a[2] * c[1]) +
           c[0] * (a[1] * b[2] - a[2] * b[1]);
}

V3 reference_hkl(const double s[9], const double ub[9], double lambda) {
    const M3 det_arm = about(1, s[G_MU]) * about(2, s[G_NU]);
    const M3 crystal = about(1, -s[G_PHI]) * about(0, s[G_CHI]) * about(1, -s[G_OMEGA]) * about(2, -s[G_RHO]);
    const double n = std::sqrt(s[G_RX] * s[G_RX] + s[G_RY] * s[G_RY] + s[G_RZ] * s[G_RZ]);
    const V3 k = det_arm * V3{s[G_RX] / n, s[G_RY] / n, s[G_RZ] / n};
    const V3 g = crystal * V3{(k[0] - 1) / lambda, k[1] / lambda, k[2] / lambda};
    const V3 q = {g[2], g[0], g[1]};
    const V3 a = {ub[0], ub[3], ub[6]}, b = {ub[1], ub[4], ub[7]}, c = {ub[2], ub[5], ub[8]};
    const double d = det(a, b, c);
    return {det(q, b, c) / d, det(a, q, c) / d, det(a, b, q) / d};
}

TEST_F(Geometry, IndicesAtANonZeroRhoMatchThePlainRotations) {
    const double settings[][9] = {{3, 12.5, -20, 40, 7, 18, 120, 14, -9},
                                  {-40, -31, 47, 112, 9, 21, 150, -80, 99},
                                  {125, 5, 70, -110, 22, 10, 1, 0.3, 0.2}};
    use_triclinic_ub();
    geo.lambda = 1.2;
    for (const auto& s : settings) {
        set_setting(s);
        get_hkl(geo);
        ASSERT_EQ(geo.hkl.status, HKL_VALID) << "rho " << s[G_RHO];
        const V3 want = reference_hkl(s, geo.mat_ub, geo.lambda);
        EXPECT_NEAR(geo.hkl.h, want[0], 1e-12) << "rho " << s[G_RHO];
        EXPECT_NEAR(geo.hkl.k, want[1], 1e-12) << "rho " << s[G_RHO];
        EXPECT_NEAR(geo.hkl.l, want[2], 1e-12) << "rho " << s[G_RHO];
    }
}

// ---------------------------------------------------------------- get_angles

struct RoundTripSetting {
    double omega, chi, phi, mu, nu;
};

// Each setting's detector point indexes to (h, k, l); the mode solves angles
// for those indices (its fixed circles taken from the setting) and the solved
// setting indexes back to the same (h, k, l).
TEST_F(Geometry, EveryModeSolvesAnglesThatIndexBack) {
    const RoundTripSetting settings[] = {
        {12.0, 25.0, 40.0, 30.0, 0.0},
        {-8.0, 70.0, -110.0, 22.0, 10.0},
        {35.0, -15.0, 200.0, 48.0, -6.0},
        {5.0, 5.0, 5.0, 15.0, 3.0},
    };
    use_triclinic_ub();
    geo.lambda = 1.2;
    for (int mode = 0; mode < 5; ++mode)
        for (const RoundTripSetting& s : settings) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " omega " << s.omega);
            const double setting[9] = {0, s.omega, s.chi, s.phi, s.mu, s.nu, 1, 0, 0};
            set_setting(setting);
            get_hkl(geo);
            ASSERT_EQ(geo.hkl.status, HKL_VALID);
            const double target[3] = {geo.hkl.h, geo.hkl.k, geo.hkl.l};
            const double tth = geo.hkl.tth;
            for (int i = 0; i < 3; ++i)
                geo.hkl_cryst[i] = target[i];
            geo.spec_mode = mode;
            get_angles(geo);
            ASSERT_EQ(geo.hkl.status, HKL_VALID);
            EXPECT_NEAR(geo.hkl.tth, tth, 1e-9);
            for (int i = 0; i < 9; ++i)
                EXPECT_EQ(geo.goniometer[i], setting[i]); // unchanged
            const Reflection solved = geo.hkl;
            EXPECT_EQ(solved.angles[G_RHO], 0);
            if (mode == 0) {
                EXPECT_EQ(solved.angles[G_NU], 0);
                EXPECT_NEAR(solved.angles[G_MU], tth, 1e-9);
                EXPECT_NEAR(solved.angles[G_OMEGA], tth / 2, 1e-9);
            } else {
                EXPECT_NEAR(solved.angles[G_NU], s.nu, 1e-12);
            }
            if (mode == 1) {
                EXPECT_NEAR(solved.angles[G_OMEGA], s.omega, 1e-12);
            }
            if (mode == 2) {
                EXPECT_NEAR(solved.angles[G_CHI], s.chi, 1e-12);
            }
            if (mode >= 2) {
                EXPECT_NEAR(solved.angles[G_PHI], s.phi, 1e-12);
            }
            set_setting(solved.angles);
            get_hkl(geo);
            ASSERT_EQ(geo.hkl.status, HKL_VALID);
            // A supplementary angle taken as 3.14159 - t (in phi and in chi) turns
            // the solution by up to 2.7e-6 rad each: indices move by |H| times that.
            const double tol =
                6e-6 * std::sqrt(target[0] * target[0] + target[1] * target[1] + target[2] * target[2]);
            EXPECT_NEAR(geo.hkl.h, target[0], tol);
            EXPECT_NEAR(geo.hkl.k, target[1], tol);
            EXPECT_NEAR(geo.hkl.l, target[2], tol);
        }
}

TEST_F(Geometry, ModeThreeWithNuZeroPutsMuAtTwoTheta) {
    use_triclinic_ub();
    geo.hkl_cryst[0] = 1;
    geo.hkl_cryst[1] = -1;
    geo.hkl_cryst[2] = 2;
    geo.spec_mode = 3;
    get_angles(geo);
    ASSERT_EQ(geo.hkl.status, HKL_VALID);
    EXPECT_NEAR(geo.hkl.angles[G_MU], geo.hkl.tth, 1e-12);
    EXPECT_EQ(geo.hkl.angles[G_RX], 1);
}

struct StatusCase {
    const char* what;
    int mode;
    double hkl[3];
    double nu;
    double lambda;
    int status;
};

TEST_F(Geometry, OutOfRangeReflectionsGetTheirStatus) {
    const StatusCase cases[] = {
        {"wavelength zero", 3, {0, 0, 0.5}, 0, 0.0, HKL_INVALID},
        {"beyond the scattering range", 3, {0, 0, 2.5}, 0, 1.0, HKL_Q_RANGE},
        {"exactly backscattering", 0, {0, 0, 2.0}, 0, 1.0, HKL_Q_RANGE},
        {"2theta below the fixed nu", 3, {0, 0, 0.2}, 80, 1.0, HKL_DETECTOR_RANGE},
        {"2theta below the fixed nu, mode 1", 1, {0, 0.1, 0}, 60, 1.0, HKL_DETECTOR_RANGE},
        {"out of the zone of mode 2", 2, {0, 0, 0.5}, 0, 1.0, HKL_MODE_RANGE},
        {"unknown mode", 7, {0, 0, 0.5}, 0, 1.0, HKL_MODE_RANGE},
    };
    ASSERT_EQ(geo_invert_ub(geo), 0);
    for (const StatusCase& c : cases) {
        geo.goniometer[G_NU] = c.nu;
        geo.lambda = c.lambda;
        geo.spec_mode = c.mode;
        for (int i = 0; i < 3; ++i)
            geo.hkl_cryst[i] = c.hkl[i];
        get_angles(geo);
        EXPECT_EQ(geo.hkl.status, c.status) << c.what;
        EXPECT_EQ(geo.goniometer[G_NU], c.nu) << c.what;
        EXPECT_EQ(geo.hkl.h, c.hkl[0]) << c.what;
        // A failed solution leaves the current setting, in degrees, in the record.
        if (c.status != HKL_VALID) {
            EXPECT_NEAR(geo.hkl.angles[G_NU], c.nu, 1e-12) << c.what;
        }
    }
}

TEST_F(Geometry, ModeTexts) {
    EXPECT_STREQ(mode_msg(0), "goniometer symetrical mode (rho = nu = 0)");
    EXPECT_STREQ(mode_msg(2), "goniometer mode with chi, phi rho, nu fixed = 'zone mode'");
    EXPECT_STREQ(mode_msg(4), "goniometer mode azimuth, rho and nu fixed");
    EXPECT_STREQ(mode_msg(5), " unknown calculation mode");
    EXPECT_STREQ(mode_msg(-1), " unknown calculation mode");
}

// ---------------------------------------------------------------- cells

TEST_F(Geometry, MetricTensorOfCubicAndMonoclinicCells) {
    const double cubic[6] = {2, 2, 2, 90, 90, 90};
    double g[9];
    g_from_cell(g, cubic);
    const double off = 4 * std::cos(1.570795); // 90 degrees with the short pi
    const double want[9] = {4, off, off, off, 4, off, off, off, 4};
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(g[i], want[i], 1e-15) << i;
    EXPECT_NEAR(off, 5.307e-6, 1e-9);

    const double mono[6] = {5, 6, 7, 90, 100, 90};
    g_from_cell(g, mono);
    EXPECT_NEAR(g[2], 35 * std::cos(100 * M_PI / 180 * (geo_pi / M_PI)), 1e-12);
    EXPECT_NEAR(g[2], -6.077635, 1e-6);
    for (const double* cell : {cubic, mono, triclinic}) {
        double back[6];
        g_from_cell(g, cell);
        cell_from_g(back, g);
        for (int i = 0; i < 6; ++i)
            EXPECT_NEAR(back[i], cell[i], 1e-10) << i;
    }
}

TEST_F(Geometry, CellsOfTheOrientationMatrix) {
    cell_from_ub(geo);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(geo.recip[i], 1.0, 1e-15);
        EXPECT_NEAR(geo.direct[i], 1.0, 1e-15);
        EXPECT_NEAR(geo.direct[3 + i], 90.0 * short_pi_ratio, 1e-12);
    }
    for (int spec = 0; spec < 2; ++spec) {
        ub_of_cell(geo.mat_ub, triclinic, spec ? geo_two_pi : 1.0);
        geo.spec_ub = spec;
        cell_from_ub(geo);
        for (int i = 0; i < 6; ++i)
            EXPECT_NEAR(geo.direct[i], triclinic[i], 1e-9) << spec << " " << i;
    }
}

// ---------------------------------------------------------------- UB from two reflections

class OrientationFromReflections : public Geometry {
  protected:
    // Measures a reflection: its indices and the setting of mode 3 at phi, nu.
    Reflection measured(double h, double k, double l, double phi, double nu) {
        geo.hkl_cryst[0] = h;
        geo.hkl_cryst[1] = k;
        geo.hkl_cryst[2] = l;
        geo.goniometer[G_PHI] = phi;
        geo.goniometer[G_NU] = nu;
        geo.spec_mode = 3;
        get_angles(geo);
        EXPECT_EQ(geo.hkl.status, HKL_VALID);
        return geo.hkl;
    }
};

TEST_F(OrientationFromReflections, TriclinicCellGivesBackTheOrientationMatrix) {
    for (int spec = 0; spec < 2; ++spec) {
        SCOPED_TRACE(spec);
        geo_set_defaults(geo);
        geo.spec_ub = spec;
        geo.lambda = 0.9;
        use_triclinic_ub(spec ? geo_two_pi : 1.0);
        double truth[9];
        for (int i = 0; i < 9; ++i)
            truth[i] = geo.mat_ub[i];
        geo.or0 = measured(1, 2, -1, 30, 4);
        geo.or1 = measured(0, 1, 3, -75, -2);
        for (int i = 0; i < 6; ++i)
            geo.direct[i] = triclinic[i];
        for (double& x : geo.mat_ub)
            x = 0;
        geo.inv_ub_valid = false;
        const std::string out = quiet_stdout_of(ub_from_or);
        ASSERT_EQ(result_, 0);
        EXPECT_TRUE(geo.inv_ub_valid);
        for (int i = 0; i < 9; ++i)
            EXPECT_NEAR(geo.mat_ub[i], truth[i], 1e-9 * (spec ? geo_two_pi : 1.0)) << i;
        EXPECT_NE(out.find("===>or0 1.000000 2.000000 -1.000000\n"), std::string::npos) << out;
        EXPECT_NE(out.find("===>or1 0.000000 1.000000 3.000000\n"), std::string::npos) << out;
        EXPECT_EQ(out.compare(0, 13, "or0  gonio = "), 0) << out;
        EXPECT_NE(out.find("or1   detec = "), std::string::npos) << out;
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(geo.goniometer[i], geo.or1.angles[i]); // left at the second setting
        // both reflections index back to their own indices
        for (const Reflection* r : {&geo.or0, &geo.or1}) {
            set_setting(r->angles);
            get_hkl(geo);
            EXPECT_NEAR(geo.hkl.h, r->h, 1e-9);
            EXPECT_NEAR(geo.hkl.k, r->k, 1e-9);
            EXPECT_NEAR(geo.hkl.l, r->l, 1e-9);
        }
    }
}

TEST_F(OrientationFromReflections, OrthogonalCellTakesTheMeasuredVectorsAsColumns) {
    const double s0[9] = {0, 10, 20, 30, 25, 0, 1, 0, 0};
    const double s1[9] = {0, -15, 50, -60, 40, 5, 1, 0, 0};
    for (int i = 0; i < 9; ++i) {
        geo.or0.angles[i] = s0[i];
        geo.or1.angles[i] = s1[i];
    }
    geo.or0.h = 1;
    geo.or1.k = 1;
    const double cell[6] = {4, 5, 6, 90, 90, 90};
    for (int i = 0; i < 6; ++i)
        geo.direct[i] = cell[i];
    quiet_stdout_of(ub_from_or);
    ASSERT_EQ(result_, 0);
    double q0[3], q1[3];
    ASSERT_EQ(angles_to_head(geo, q0, s0), 0);
    ASSERT_EQ(angles_to_head(geo, q1, s1), 0);
    for (int r = 0; r < 3; ++r) {
        EXPECT_NEAR(geo.mat_ub[3 * r], q0[r], 1e-12);
        EXPECT_NEAR(geo.mat_ub[3 * r + 1], q1[r], 1e-12);
    }
}

TEST_F(OrientationFromReflections, FailuresLeaveTheMatrixUnchanged) {
    const double before[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const double cell[6] = {4, 5, 6, 90, 90, 90};
    for (int i = 0; i < 6; ++i)
        geo.direct[i] = cell[i];
    geo.or0.h = 1;
    geo.or1.h = 2; // parallel indices: no third vector
    geo.or0.angles[G_MU] = 20;
    geo.or1.angles[G_MU] = 40;
    testing::internal::CaptureStderr();
    quiet_stdout_of(ub_from_or);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), " Failed inverting 3*3 matrix!\n");
    EXPECT_EQ(result_, 1);
    geo.or1.h = 0;
    geo.or1.k = 1;
    geo.lambda = 0;
    quiet_stdout_of(ub_from_or);
    EXPECT_EQ(result_, 1);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(geo.mat_ub[i], before[i]);
}

// ---------------------------------------------------------------- settings

IniTag tag_of(const char* key, const char* value) {
    IniTag t;
    t.key = key;
    t.value = value;
    t.has_value = true;
    return t;
}

TEST_F(Geometry, SettingsKeysFillTheState) {
    ASSERT_EQ(geo_invert_ub(geo), 0);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(geo_ini(geo, tag_of("MAT_UB", "2 3")));
    EXPECT_TRUE(geo_ini(geo, tag_of("DETEC", "5 6 7 8 9")));
    EXPECT_TRUE(geo_ini(geo, tag_of("GONIO", "10")));
    EXPECT_TRUE(geo_ini(geo, tag_of("LAMBDA", "0.71")));
    EXPECT_TRUE(geo_ini(geo, tag_of("SPEC_UB", "1")));
    EXPECT_FALSE(geo_ini(geo, tag_of("SCALE", "1 0 0 1")));
    const std::string echo = testing::internal::GetCapturedStdout();
    EXPECT_NE(echo.find("     MAT_UB="), std::string::npos);
    const double ub[9] = {2, 3, 0, 0, 1, 0, 0, 0, 1};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(geo.mat_ub[i], ub[i]);
    const double gonio[9] = {10, 0, 0, 0, 5, 6, 7, 8, 9};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(geo.goniometer[i], gonio[i]);
    EXPECT_EQ(geo.lambda, 0.71);
    EXPECT_EQ(geo.spec_ub, 1);
    EXPECT_FALSE(geo.inv_ub_valid); // a new UB needs a new inverse
}

} // namespace
