// Grid distortion model: two polynomials mapping detector pixels onto the true
// grid, as fitted by the vellum calibration program, with their settings. The
// resampler (xy_resample), the radial distribution and the peak search use it.
//
// Term k of a polynomial is X^i * Y^j, ordered by total degree d = i + j and,
// within one degree, by falling power of X: k = d(d+1)/2 + j, i = d - j.
// Terms 0..9 are 1, X, Y, X^2, XY, Y^2, X^3, X^2Y, XY^2, Y^3.
//   Px(X, Y) = sum over k < n_coef of xcor[k] * X^i * Y^j   (corrected x, grid pixels)
//   Py(X, Y) = sum over k < n_coef of ycor[k] * X^i * Y^j   (corrected y)
// xcor[0] and ycor[0] are also the origin of the grid coordinates X and Y.
#pragma once

#include "xy_lib.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct GridCor {
    // The model; empty until GRID_DCOR is read.
    int32_t n_max = 0;  // coefficients allocated
    int32_t n_coef = 0; // terms in use
    uint32_t set = 0;   // bit 0: x coefficients given, bit 1: y coefficients given
    std::vector<double> xcor;
    std::vector<double> ycor;
    // Monomial cache: tab[k] = X^i * Y^j at (tab_x, tab_y) when tab_valid is 1.
    int32_t tab_valid = 0;
    double tab_x = 0.0;
    double tab_y = 0.0;
    std::vector<double> tab;
    // Settings kept beside the model (not cleared by GRID_DCOR).
    std::string grid_mode;  // GRID_MODE: "FLAT" and/or "STRICT"
    std::string grid_orig;  // GRID_ORIG: "CONVERT" asks the radial module to convert its centre
    int32_t grid_xmin = 0;  // grid column of the image's column 0
    int32_t grid_ymin = 0;  // grid row of the image's row 0
    int32_t grid_xbind = 1; // grid columns per image column; negative: reversed form
    int32_t grid_ybind = 1; // grid rows per image row
    // Lanes of the resampling's vector loops: 0 takes the widest that the
    // processor has, 2 the narrow loops every x86-64 has. The results are the
    // same bits either way; tests use it to cover both.
    int32_t vector_lanes = 0;
};

// Member of the settings chain: 1 when the key was a grid key, else 0.
int grid_ini(GridCor& grid, const IniTag& tag);
void grid_usage();

// Model structure.
void grid_struct_ini(GridCor& grid, int32_t n);
// Terms that can be evaluated: n_coef, bounded by the coefficients allocated.
size_t grid_terms_in_use(const GridCor& grid);
void grid_struct_def(GridCor& grid, int32_t n, double x0, double y0);

// Term numbering: stores the exponents of term k; returns for what = 0 the
// degree, for 1 the index of X^(i-1)Y^j (-1 when i = 0), for 2 the index of
// X^iY^(j-1) (-1 when j = 0).
int32_t grid_deg_xy(int32_t k, int32_t& i, int32_t& j, int32_t what);
std::string coef_grid_name(int32_t k); // "x^%dy^%d"

// Evaluation at grid coordinates (X, Y). All go through the monomial cache.
void grid_tabulate_pixel(double X, double Y, GridCor& grid);
double grid_cor_der(int32_t k, double X, double Y, GridCor& grid);
double grid_cor_dx(double X, double Y, GridCor& grid, const std::vector<double>& c);
double grid_cor_dy(double X, double Y, GridCor& grid, const std::vector<double>& c);
double grid_cor_surf(double X, double Y, GridCor& grid);
double grid_cor_xpos(double X, double Y, GridCor& grid);
double grid_cor_ypos(double X, double Y, GridCor& grid);

// Image pixel (binned columns and rows from 0, continuous) to grid coordinates.
double grid_pix_xcor(double x, const GridCor& grid);
double grid_pix_ycor(double y, const GridCor& grid);
double grid_pix_surf(double x, double y, GridCor& grid);
