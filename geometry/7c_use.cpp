#include "7c_use.hpp"

#include "prg_lib.hpp"

#include <cmath>
#include <cstdio>

namespace {

constexpr double zero_coefficient = 1e-20;
constexpr double zero_constant = 5e-07;
constexpr double vector_agreement = 2e-05;
constexpr double singular_determinant = 1e-40;

} // namespace

void rotate_cs(int axis, double out[3], double cos_a, double sin_a, const double in[3]) {
    const int b = (axis + 1) % 3;
    const int c = (axis + 2) % 3;
    out[axis] = in[axis];
    out[b] = cos_a * in[b] + sin_a * in[c];
    out[c] = cos_a * in[c] - sin_a * in[b];
}

void rotate(int axis, double out[3], double angle, const double in[3]) {
    rotate_cs(axis, out, std::cos(angle), std::sin(angle), in);
}

int solve_rot(int axis, double* angle, const double u[3], const double v[3]) {
    const int b = (axis + 1) % 3;
    const int c = (axis + 2) % 3;
    if (std::fabs(u[axis] - v[axis]) > vector_agreement) return 0;
    const double nu = u[b] * u[b] + u[c] * u[c];
    const double nv = v[b] * v[b] + v[c] * v[c];
    if (nu - nv > vector_agreement) return 0;
    if (nu < vector_agreement) {
        *angle = 0.0;
        return 1;
    }
    const double co = v[c] * u[c] + v[b] * u[b];
    const double si = u[c] * v[b] - u[b] * v[c];
    if (std::fabs(co) - nu > vector_agreement || std::fabs(si) - nu > vector_agreement) return 0;
    double t;
    if (std::fabs(co) <= std::fabs(si)) {
        t = std::acos(co / nu);
        if (si < 0) t = -t;
    } else {
        t = std::asin(si / nu);
        if (co < 0) t = geo_pi - t;
    }
    *angle = t;
    return 1;
}

int solve_x2(double roots[2], double a, double b, double c) {
    if (std::fabs(a) < zero_coefficient) {
        if (std::fabs(b) < zero_coefficient) return 0;
        roots[0] = -c / b;
        return 1;
    }
    const double d = b * b - 4.0 * a * c;
    if (d < 0) return 0;
    const double m = -0.5 * b / a;
    if (d < zero_coefficient) {
        roots[0] = m;
        return 1;
    }
    const double h = 0.5 * std::sqrt(d) / a;
    roots[0] = m + h;
    roots[1] = m - h;
    return 2;
}

namespace {

// One coefficient (P or Q) is zero: t from asin or acos of -R/other, with its
// mirror angle.
int solve_single_term(double roots[2], double other, double r, bool with_sine) {
    const double x = -r / other;
    if (std::fabs(x) > 1) return 0;
    if (with_sine) {
        roots[0] = std::asin(x);
        roots[1] = geo_pi - roots[0];
    } else {
        roots[0] = std::acos(x);
        roots[1] = -roots[0];
    }
    return 2;
}

// P cos t + Q sin t + R = 0 through s = sin t: (P^2+Q^2) s^2 + 2QR s + R^2-P^2 = 0.
int solve_through_sine(double roots[2], double p, double q, double r) {
    double s[2];
    const int n = solve_x2(s, p * p + q * q, 2.0 * q * r, r * r - p * p);
    int count = 0;
    for (int i = 0; i < n; ++i) {
        if (std::fabs(s[i]) > 1) break;
        double t = std::asin(s[i]);
        const double c = std::cos(t);
        if (std::fabs(q * s[i] - p * c + r) < std::fabs(q * s[i] + p * c + r)) t = geo_pi - t;
        roots[count++] = t;
    }
    return count;
}

// The same through k = cos t: (P^2+Q^2) k^2 + 2PR k + R^2-Q^2 = 0.
int solve_through_cosine(double roots[2], double p, double q, double r) {
    double k[2];
    const int n = solve_x2(k, p * p + q * q, 2.0 * p * r, r * r - q * q);
    int count = 0;
    for (int i = 0; i < n; ++i) {
        if (std::fabs(k[i]) > 1) break;
        double t = std::acos(k[i]);
        const double s = std::sin(t);
        if (std::fabs(p * k[i] - q * s + r) < std::fabs(p * k[i] + q * s + r)) t = -t;
        roots[count++] = t;
    }
    return count;
}

} // namespace

int solve_trigo(double roots[2], double p, double q, double r) {
    const bool p_zero = std::fabs(p) < zero_coefficient;
    const bool q_zero = std::fabs(q) < zero_coefficient;
    if (p_zero && q_zero) {
        // Any angle fits a zero constant; a non-zero one (|R| >= 5e-07 over a
        // coefficient below 1e-20) has no solution.
        if (std::fabs(r) >= zero_constant) return 0;
        roots[0] = 0.0;
        return 1;
    }
    if (std::fabs(p) <= std::fabs(q))
        return p_zero ? solve_single_term(roots, q, r, true) : solve_through_sine(roots, p, q, r);
    return q_zero ? solve_single_term(roots, p, r, false) : solve_through_cosine(roots, p, q, r);
}

void mul_matvec(double out[3], const double m[9], const double v[3]) {
    for (int i = 0; i < 3; ++i)
        out[i] = m[3 * i] * v[0] + m[3 * i + 1] * v[1] + m[3 * i + 2] * v[2];
}

void mul_matmat(double out[9], const double a[9], const double b[9]) {
    for (int r = 0; r < 3; ++r)
        mul_matvec(out + 3 * r, a, b + 3 * r);
}

int inv_mat(double out[9], const double m[9]) {
    auto at = [m](int r, int c) { return m[3 * r + c]; };
    double det = 0.0;
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3;
        const int k = (i + 2) % 3;
        det += at(i, 0) * (at(j, 1) * at(k, 2) - at(k, 1) * at(j, 2));
    }
    if (!(std::fabs(det) > singular_determinant)) { // a nan determinant is no inverse either
        prg_notice(" Failed inverting 3*3 matrix!\n");
        return 1;
    }
    for (int r = 0; r < 3; ++r) {
        const int jr = (r + 1) % 3;
        const int kr = (r + 2) % 3;
        for (int c = 0; c < 3; ++c) {
            const int jc = (c + 1) % 3;
            const int kc = (c + 2) % 3;
            out[3 * c + r] = (at(jr, jc) * at(kr, kc) - at(kr, jc) * at(jr, kc)) / det;
        }
    }
    return 0;
}

void put_vector(const char* name, const double v[3]) {
    prg_screen(" %10s    %9.3lg   %9.3lg  %9.3lg\n", name, v[0], v[1], v[2]);
}

void put_matrix(const char* name, const double m[9]) {
    for (int r = 0; r < 3; ++r) {
        prg_screen(" %15s ", r == 0 ? name : " ");
        for (int c = 0; c < 3; ++c)
            prg_screen(" [%d,%d]=%12.6lf %s", r, c, m[3 * r + c], c == 2 ? "\n" : " ");
    }
}
