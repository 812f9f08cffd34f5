// Detector statistics mode (program names containing "stat"): the variance of
// every pixel's counts over the frames is fitted as a polynomial in their mean
// (a photon-transfer analysis), with outlier rejection and a narrowing window
// of mean counts, and 256 x 256 images of the (mean, variance) scatter.
#pragma once

#include "prg_lib.hpp"
#include "xy_lib.hpp"

#include <cstdint>

struct StatSettings {
    float dark_coef = 0.0f;  // DARK_COEF
    int32_t stat_deg = 1;    // STAT_DEG
    float stat_low = 0.75f;  // STAT_LOW
    float stat_high = 0.75f; // STAT_HIGH
    int32_t stat_nb = 1;     // STAT_NB
    int32_t stat_img = 1;    // STAT_IMG
};

extern thread_local StatSettings stat_settings;

// Highest polynomial degree accepted for STAT_DEG.
constexpr int32_t kStatMaxDegree = 10;

void stat_usage();
// Last member of the settings chain in statistics mode; always returns 0.
// A STAT_DEG outside 0..10 and a STAT_LOW or STAT_HIGH that is not a finite
// number stop the run.
int par_stat(const IniTag& tag);

// Runs the whole analysis of one acquired image (raw sums, frame counts and
// squared sums) and releases its pixel storage (level 2). `dark` is used only
// when `dark_present`; pixels whose sum is below frames x `limit` are left out
// when `limit_mode` is not 0.
void zd_stat(IMG& img, bool dark_present, const IMG& dark, int32_t limit_mode, float limit, int32_t print,
             int32_t threads = 1);

// Statistics over the used pixels (frame count not 0), stored in the record:
// `what` 0 all, else bits 1 nonzero, 2 min, 4 max, 8 mean, 16 mean and sigma.
// Returns the number of used pixels; nothing is stored when it is 0.
int32_t stat_info(IMG& img, int32_t what);

// Solves the symmetric system held packed by rows (row i: its i + 1 elements
// from column 0) through an L.D.Lt decomposition; the matrix is replaced by its
// inverse (same packing) and `vec` by the solution. Returns 0, or k >= 1 when
// the pivot of row k - 1 is below 1e-25 in magnitude (nothing is then usable).
int chol_part(double* mat, double* vec, int n);

// Window of mean counts per frame studied by one pass.
struct StatWindow {
    int32_t lo = 0;
    int32_t hi = 0;
};

// First pass: [(min - frames) div frames, (frames + max) div frames].
StatWindow stat_first_window(int32_t min, int32_t max, int32_t frames);
// Later passes: each end moved towards the raw mean; a negative lower end
// with 1 - low, a positive one with low, the upper end with high.
StatWindow stat_narrow_window(const StatWindow& w, int32_t raw_mean, float low, float high);
