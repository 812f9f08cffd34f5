// Small numeric kit of the diffractometer geometry: rotations about the
// coordinate axes, the trigonometric and quadratic solvers, 3 x 3 matrix
// products and inversion, and two printers.
//
// A vector is three doubles (x, y, z). A matrix is nine doubles stored by
// rows: element (row r, column c) at index 3r + c. Angles are in radians.
// Every output must be a different array from the inputs.
#pragma once

// The geometry modules take pi as 3.14159 (also in supplementary angles), so
// that printed angles agree with orientation matrices and settings prepared
// under the same convention.
constexpr double geo_pi = 3.14159;

// out = in rotated about `axis` (0 x, 1 y, 2 z) by `angle`. With b, c the two
// other axes in cyclic order:
//   out[axis] = in[axis]
//   out[b] = cos(angle) in[b] + sin(angle) in[c]
//   out[c] = cos(angle) in[c] - sin(angle) in[b]
void rotate(int axis, double out[3], double angle, const double in[3]);

// The same rotation with its cosine and sine given (used where one rotation is
// applied to many vectors; gives the same bits as `rotate`).
void rotate_cs(int axis, double out[3], double cos_a, double sin_a, const double in[3]);

// The angle t with rotate(axis, t, u) = v, within the absolute tolerance 2e-05
// on the axial component, the squared norms in the rotation plane (one-sided:
// v may be longer) and the unnormalised cosine and sine. Returns 1 and stores
// t in *angle, or 0 (angle untouched) when no rotation about `axis` fits.
int solve_rot(int axis, double* angle, const double u[3], const double v[3]);

// Real roots of a x^2 + b x + c = 0 (|a|, |b| below 1e-20 count as zero; a
// discriminant below 1e-20 gives one double root). Two roots come larger-first
// for a > 0 (m + h, then m - h). Returns their number 0, 1 or 2.
int solve_x2(double roots[2], double a, double b, double c);

// Angles t with P cos t + Q sin t + R = 0. Solves for sin t when |P| <= |Q|,
// else for cos t, through `solve_x2`, and picks for each root the sign (or
// supplement, 3.14159 - t) with the smaller residual; ties keep the first. The
// list stops at the first root outside [-1, 1], so a rounding overshoot of the
// first root drops a valid second one. All-zero coefficients (|R| < 5e-07)
// give the single angle 0. Returns the number of angles (0, 1 or 2).
int solve_trigo(double roots[2], double p, double q, double r);

// out = M v.
void mul_matvec(double out[3], const double m[9], const double v[3]);

// Row r of out is M = a applied to row r of b: out[r][c] = sum_j a[c][j] b[r][j],
// that is b a^T in row storage.
void mul_matmat(double out[9], const double a[9], const double b[9]);

// out = M^-1 by cofactors. A matrix with |det| <= 1e-40 (or a nan
// determinant) is singular: prints
// " Failed inverting 3*3 matrix!" on stderr, leaves `out` untouched, returns 1.
// Returns 0 on success.
int inv_mat(double out[9], const double m[9]);

// Prints a labelled vector (one line) or matrix (three lines) on stdout.
void put_vector(const char* name, const double v[3]);
void put_matrix(const char* name, const double m[9]);
