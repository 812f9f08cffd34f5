// Vectors, matrices and the trigonometric solvers of the geometry kit.
#include "7c_use.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

constexpr double eps = 1e-12;
const double r2 = std::sqrt(0.5);
const double quarter = std::atan(1.0); // 45 degrees, full precision

void expect_vec(const double got[3], const double want[3], double tol = eps) {
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(got[i], want[i], tol) << "component " << i;
}

void expect_mat(const double got[9], const double want[9], double tol = eps) {
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(got[i], want[i], tol) << "element " << i;
}

// ---------------------------------------------------------------- rotations

struct RotationCase {
    int axis;
    double in[3];
    double angle;
    double out[3];
};

TEST(Rotate, TurnsAboutEachAxisByTheSignConvention) {
    const RotationCase cases[] = {
        {2, {1, 0, 0}, 2 * quarter, {0, -1, 0}}, {2, {1, 0, 0}, quarter, {r2, -r2, 0}},
        {2, {0, 1, 0}, quarter, {r2, r2, 0}},    {0, {0, 1, 0}, quarter, {0, r2, -r2}},
        {0, {5, 0, 1}, -quarter, {5, -r2, r2}},  {1, {0, 0, 1}, quarter, {-r2, 0, r2}},
        {1, {1, 2, 0}, quarter, {r2, 2, r2}},
    };
    for (const RotationCase& c : cases) {
        double out[3];
        rotate(c.axis, out, c.angle, c.in);
        SCOPED_TRACE(c.axis);
        expect_vec(out, c.out);
        double same[3];
        rotate_cs(c.axis, same, std::cos(c.angle), std::sin(c.angle), c.in);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(same[i], out[i]);
    }
}

TEST(SolveRot, FindsTheQuarterTurnThroughAcos) {
    const double u[3] = {1, 0, 0}, v[3] = {0, -1, 0};
    double t = -1;
    ASSERT_EQ(solve_rot(2, &t, u, v), 1);
    EXPECT_EQ(t, std::acos(0.0));
}

TEST(SolveRot, RecoversAnglesAndUsesTheShortPiForSupplements) {
    const double u[3] = {0.3, -0.7, 1.1};
    for (int axis = 0; axis < 3; ++axis)
        for (double t : {-2.9, -1.2, -0.4, 0.0, 0.2, 0.7, 1.5, 2.5, 3.0}) {
            double v[3], got = 99;
            rotate(axis, v, t, u);
            ASSERT_EQ(solve_rot(axis, &got, u, v), 1) << axis << " " << t;
            // Where the cosine is negative and dominates, the angle comes from
            // 3.14159 - asin, off by the rest of pi.
            const bool supplement = std::fabs(std::cos(t)) > std::fabs(std::sin(t)) && std::cos(t) < 0;
            const double want = supplement ? (t > 0 ? t : t + 2 * M_PI) - (M_PI - geo_pi) : t;
            EXPECT_NEAR(got, want, 1e-9) << axis << " " << t;
        }
}

TEST(SolveRot, RefusesVectorsNoRotationJoins) {
    const double u[3] = {1, 2, 0.5};
    double v[3];
    rotate(2, v, 0.8, u);
    double t = 42;
    double w[3] = {v[0], v[1], v[2] + 3e-05}; // axial components differ
    EXPECT_EQ(solve_rot(2, &t, u, w), 0);
    for (double f : {0.9999, 1.5}) { // shorter, and much longer, in the plane
        const double s[3] = {v[0] * f, v[1] * f, v[2]};
        EXPECT_EQ(solve_rot(2, &t, u, s), 0) << f;
    }
    EXPECT_EQ(t, 42); // untouched on failure
    const double longer[3] = {v[0] * 1.000002, v[1] * 1.000002, v[2]};
    EXPECT_EQ(solve_rot(2, &t, u, longer), 1);
    const double on_axis[3] = {0, 0, 0.5}, near_axis[3] = {0.001, 0.002, 0.5};
    EXPECT_EQ(solve_rot(2, &t, on_axis, near_axis), 1);
    EXPECT_EQ(t, 0.0);
}

// ---------------------------------------------------------------- solvers

struct QuadraticCase {
    double a, b, c;
    int n;
    double r0, r1;
};

TEST(SolveX2, CountsAndOrdersRoots) {
    const QuadraticCase cases[] = {
        {1, -3, 2, 2, 2, 1}, {0, 2, -4, 1, 2, 0},  {1, 2, 1, 1, -1, 0},     {1, 0, 1, 0, 0, 0},
        {0, 0, 3, 0, 0, 0},  {-2, 0, 8, 2, -2, 2}, {1e-21, 2, -4, 1, 2, 0}, {1, 1e-11, 0, 1, -5e-12, 0},
    };
    for (const QuadraticCase& c : cases) {
        double roots[2] = {0, 0};
        SCOPED_TRACE(testing::Message() << c.a << " " << c.b << " " << c.c);
        ASSERT_EQ(solve_x2(roots, c.a, c.b, c.c), c.n);
        if (c.n > 0) {
            EXPECT_NEAR(roots[0], c.r0, eps);
        }
        if (c.n > 1) {
            EXPECT_NEAR(roots[1], c.r1, eps);
        }
    }
}

struct TrigoCase {
    double p, q, r;
    int n;
    double t0, t1;
};

TEST(SolveTrigo, SolvesThroughSineOrCosine) {
    const double a5 = std::asin(0.5), c5 = std::acos(0.5);
    const TrigoCase cases[] = {
        {1, 0, -0.5, 2, c5, -c5},
        {0, 1, -0.5, 2, a5, geo_pi - a5},
        {1, 1, 5, 0, 0, 0},
        {0, 0, 1e-7, 1, 0, 0},
        {0, 0, 1e-6, 0, 0, 0},
        {0, 2, 3, 0, 0, 0},
        {3, 0, 0, 2, std::acos(0.0), -std::acos(0.0)},
        // sin t = 1 or 0; then cos t = 0.8 (sign by the residual) or 0
        {1, 1, -1, 2, std::asin(1.0), 0},
        {2, 1, -1, 2, -std::acos(0.8), std::acos(0.0)},
    };
    for (const TrigoCase& c : cases) {
        double t[2] = {0, 0};
        SCOPED_TRACE(testing::Message() << c.p << " " << c.q << " " << c.r);
        ASSERT_EQ(solve_trigo(t, c.p, c.q, c.r), c.n);
        if (c.n > 0) {
            EXPECT_NEAR(t[0], c.t0, 1e-9);
        }
        if (c.n > 1) {
            EXPECT_NEAR(t[1], c.t1, 1e-9);
        }
    }
}

TEST(SolveTrigo, EveryAngleFoundSolvesTheEquation) {
    const double coeffs[][3] = {
        {0.3, -1.2, 0.4}, {-2, 0.5, 1.1}, {0.7, 0.7, -0.2}, {5, -3, 0.01}, {-1, -4, 3.9}};
    for (const auto& k : coeffs) {
        double t[2];
        const int n = solve_trigo(t, k[0], k[1], k[2]);
        EXPECT_EQ(n, 2) << k[0];
        // A supplement taken with 3.14159 moves a root by at most pi - 3.14159.
        const double tol = 3e-6 * std::hypot(k[0], k[1]);
        for (int i = 0; i < n; ++i)
            EXPECT_NEAR(k[0] * std::cos(t[i]) + k[1] * std::sin(t[i]) + k[2], 0.0, tol)
                << k[0] << " root " << i;
    }
}

TEST(SolveTrigo, StopsAtTheFirstRootBeyondOne) {
    // sin t = 1 and sin t = 0.657 both solve this; the first root comes out as
    // 1 + 2e-16 and ends the list before the valid second one.
    const double p = 0.45499615414085076;
    double s[2];
    ASSERT_EQ(solve_x2(s, p * p + 1, -2, 1 - p * p), 2);
    ASSERT_GT(s[0], 1.0);
    double t[2];
    EXPECT_EQ(solve_trigo(t, p, 1, -1), 0);
}

// ---------------------------------------------------------------- matrices

const double ub[9] = {1, 2, 0, 0, 1, 3, 4, 0, 1};
const double ub_inv[9] = {1.0 / 25,  -2.0 / 25, 6.0 / 25, 12.0 / 25, 1.0 / 25,
                          -3.0 / 25, -4.0 / 25, 8.0 / 25, 1.0 / 25};

TEST(Matrices, ProductsFollowRowStorage) {
    const double v[3] = {1, -1, 2};
    double out[3];
    mul_matvec(out, ub, v);
    const double want[3] = {-1, 5, 6};
    expect_vec(out, want, 0);

    const double b[9] = {1, 0, 0, 0, 0, 1, 2, 1, 0};
    double m[9];
    mul_matmat(m, ub, b); // b ub^T: row r of b mapped by ub
    const double bt[9] = {1, 0, 4, 0, 3, 1, 4, 1, 8};
    expect_mat(m, bt, 0);
}

TEST(Matrices, InverseOfAKnownUb) {
    double inv[9];
    ASSERT_EQ(inv_mat(inv, ub), 0);
    expect_mat(inv, ub_inv, 1e-15);
    double back[9];
    ASSERT_EQ(inv_mat(back, inv), 0);
    expect_mat(back, ub, 1e-13);
    const double rot45[9] = {r2, r2, 0, -r2, r2, 0, 0, 0, 1};
    const double rot45_inv[9] = {r2, -r2, 0, r2, r2, 0, 0, 0, 1};
    ASSERT_EQ(inv_mat(inv, rot45), 0);
    expect_mat(inv, rot45_inv, 1e-15);
    const double id[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    ASSERT_EQ(inv_mat(inv, id), 0);
    expect_mat(inv, id, 0);
}

TEST(Matrices, SingularMatrixIsReportedAndOutputKept) {
    const double tiny[9] = {1e-41, 0, 0, 0, 1, 0, 0, 0, 1};
    double out[9] = {7, 7, 7, 7, 7, 7, 7, 7, 7};
    testing::internal::CaptureStderr();
    EXPECT_EQ(inv_mat(out, tiny), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), " Failed inverting 3*3 matrix!\n");
    for (double x : out)
        EXPECT_EQ(x, 7);
    const double rank2[9] = {1, 2, 3, 2, 4, 6, 0, 1, 1};
    const double with_nan[9] = {1, 0, 0, 0, NAN, 0, 0, 0, 1};
    for (const double* m : {rank2, with_nan}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(inv_mat(out, m), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), " Failed inverting 3*3 matrix!\n");
    }
    for (double x : out)
        EXPECT_EQ(x, 7);
}

TEST(Printers, VectorAndMatrixLayouts) {
    const double v[3] = {1.5, -0.000123, 12345.6};
    testing::internal::CaptureStdout();
    put_vector("q", v);
    put_matrix("UB", ub);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "          q          1.5   -0.000123   1.23e+04\n"
                   "              UB  [0,0]=    1.000000   [0,1]=    2.000000   [0,2]=    0.000000 \n"
                   "                  [1,0]=    0.000000   [1,1]=    1.000000   [1,2]=    3.000000 \n"
                   "                  [2,0]=    4.000000   [2,1]=    0.000000   [2,2]=    1.000000 \n");
}

} // namespace
