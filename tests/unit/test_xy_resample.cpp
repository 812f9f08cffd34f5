#include "fatal_capture.hpp"
#include "grid_reference.hpp"
#include "records.hpp"
#include "test_support.hpp"
#include "xy_resample.hpp"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

namespace {

using zt::grid_model;

IMG make_image(int32_t nx, int32_t ny, const std::vector<int32_t>& values, const std::string& name = "img") {
    return zt::image_of(nx, ny, values, {}, name);
}

// Resamples quietly, checks the progress reports (one a row on one thread,
// the last one ny/ny), and returns the stdout text.
std::string resample(GridCor& g, IMG& img, int32_t threads = 1) {
    const zt::ProgressRecord progress;
    testing::internal::CaptureStdout();
    grid_cor_img(g, img, threads);
    if (threads == 1) {
        EXPECT_EQ(progress.reports.size(), static_cast<size_t>(img.ny));
    }
    if (!progress.reports.empty()) {
        EXPECT_EQ(progress.reports.back(), prg_format("rows %d/%d", img.ny, img.ny));
    }
    return testing::internal::GetCapturedStdout();
}

// ---------------------------------------------------------------- resampling

TEST(GridResample, OpeningLineAndIncompleteGridStopBeforeAnyChange) {
    GridCor g;
    grid_struct_ini(g, 3);
    g.set = 1;
    IMG img = make_image(2, 2, {1, 2, 3, 4}, "run_0001.kvf");
    img.frame = {1, 1, 0, 1};
    errno = 0;
    const zt::FatalOutput run = zt::fatal_output([&] { grid_cor_img(g, img); });
    const std::string& out = run.out;
    const std::string& err = run.err;
    EXPECT_EQ(out, "\n#../xy32lib/xy_grid:grid_cor_img  'run_0001.kvf' size=4(2x2)\n");
    EXPECT_EQ(err,
              " ../xy32lib/xy_grid error : grid functions are not valid (look at .ini file), abort!\n\n");
    EXPECT_EQ(img.data, (std::vector<int32_t>{1, 2, 3, 4}));
    EXPECT_EQ(img.frame, (std::vector<uint16_t>{1, 1, 0, 1}));

    GridCor empty;
    EXPECT_NE(zt::fatal_output([&] { grid_cor_img(empty, img); }).err.find("not valid"), std::string::npos);
    grid_struct_def(g, 3, 0, 0);
    IMG no_data = make_image(2, 2, {}, "nothing");
    EXPECT_NE(zt::fatal_output([&] { grid_cor_img(g, no_data); }).err.find(": no data in nothing, abort!"),
              std::string::npos);
    IMG short_data = make_image(3, 3, {1, 2, 3}, "short");
    EXPECT_NE(zt::fatal_output([&] { grid_cor_img(g, short_data); }).err.find("short"), std::string::npos);
}

// Identity model on a 4 x 3 image: each source pixel is shared in quarters
// among targets x-1..x, y-1..y; the last column and row see half a pixel.
struct IdentityCase : ::testing::Test {
    static constexpr int32_t nx = 4, ny = 3;
    IMG img = make_image(nx, ny, {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120});
    int32_t v(int32_t x, int32_t y) const { return 10 * (y * nx + x + 1); }
    double counts(int32_t i, int32_t j) const { // c of target (i, j)
        double c = 0;
        for (int32_t x = i; x <= i + 1 && x < nx; ++x)
            for (int32_t y = j; y <= j + 1 && y < ny; ++y)
                c += 0.25 * v(x, y);
        return c;
    }
    GridCor identity(const std::string& mode) {
        GridCor g;
        grid_struct_def(g, 6, 3.0, -2.0);
        g.grid_mode = mode;
        return g;
    }
};

TEST_F(IdentityCase, DefaultModeKeepsFullPixelsAndDropsTheHalfCoveredBorder) {
    GridCor g = identity("");
    const std::string out = resample(g, img);
    EXPECT_NE(out.find("# 0 pixels corrected for border effects\n"), std::string::npos);
    for (int32_t j = 0; j < ny; ++j)
        for (int32_t i = 0; i < nx; ++i) {
            const size_t t = static_cast<size_t>(j * nx + i);
            const bool interior = i < nx - 1 && j < ny - 1;
            const bool corner = i == nx - 1 && j == ny - 1;
            EXPECT_EQ(img.data[t], interior ? static_cast<int32_t>(counts(i, j) + 0.5) : 0) << i << "," << j;
            EXPECT_EQ(img.frame[t], corner ? 0 : 1) << i << "," << j;
        }
}

TEST_F(IdentityCase, FlatModeNormalisesTheHalfCoveredBorder) {
    GridCor g = identity("FLAT");
    const std::string out = resample(g, img);
    EXPECT_EQ(out.find("border effects"), std::string::npos);
    for (int32_t j = 0; j < ny; ++j)
        for (int32_t i = 0; i < nx; ++i) {
            const size_t t = static_cast<size_t>(j * nx + i);
            const double s = (i < nx - 1 ? 1.0 : 0.5) * (j < ny - 1 ? 1.0 : 0.5);
            const bool kept = s >= 0.5;
            EXPECT_EQ(img.data[t], kept ? static_cast<int32_t>(counts(i, j) / s + 0.5) : 0) << i << "," << j;
            EXPECT_EQ(img.frame[t], kept ? 1 : 0);
        }
    // The last column of row 0 holds sources (3,0) and (3,1) halved: (40 + 80) / 4 / 0.5.
    EXPECT_EQ(img.data[3], 60);
}

TEST_F(IdentityCase, StrictModesKeepEveryReachedPixel) {
    for (const char* mode : {"STRICT", "FLAT_STRICT"}) {
        IMG copy = make_image(nx, ny, img.data);
        GridCor g = identity(mode);
        resample(g, copy);
        const bool flat = std::strstr(mode, "FLAT") != nullptr;
        for (int32_t j = 0; j < ny; ++j)
            for (int32_t i = 0; i < nx; ++i) {
                const size_t t = static_cast<size_t>(j * nx + i);
                const double s = (i < nx - 1 ? 1.0 : 0.5) * (j < ny - 1 ? 1.0 : 0.5);
                const double q = flat ? counts(i, j) / s : counts(i, j);
                EXPECT_EQ(copy.data[t], static_cast<int32_t>(q + 0.5)) << mode << " " << i << "," << j;
                EXPECT_EQ(copy.frame[t], 1);
            }
    }
}

TEST_F(IdentityCase, MaskedSourceDropsThePixelsOnlyItReached) {
    // The last corner target is reached by the last source pixel alone.
    for (const char* mode : {"", "FLAT", "STRICT", "FLAT STRICT"}) {
        IMG copy = make_image(nx, ny, img.data);
        copy.frame.assign(static_cast<size_t>(nx * ny), 3);
        copy.frame.back() = 0;
        GridCor g = identity(mode);
        resample(g, copy);
        EXPECT_EQ(copy.data.back(), 0) << mode;
        EXPECT_EQ(copy.frame.back(), 0) << mode;
        EXPECT_EQ(copy.frame[0], 1) << mode; // frame counts of 3 become 1
    }
}

TEST_F(IdentityCase, ThreeQuarterCoveredPixelsAreCountedAsBorderCorrections) {
    img.frame.assign(static_cast<size_t>(nx * ny), 1);
    img.frame[1 * nx + 1] = 0; // its four targets (0..1, 0..1) lose a quarter each
    GridCor g = identity("");
    const std::string out = resample(g, img);
    EXPECT_NE(out.find("# 4 pixels corrected for border effects\n"), std::string::npos);
    const double c00 = 0.25 * (v(0, 0) + v(1, 0) + v(0, 1));
    EXPECT_EQ(img.data[0], static_cast<int32_t>(c00 / 0.75 + 0.5));
    EXPECT_EQ(img.frame[0], 1);
    EXPECT_EQ(img.data[2], static_cast<int32_t>(counts(2, 0) + 0.5)); // untouched by the mask
}

TEST(GridResample, NegativeSumsRoundTowardZeroAfterAddingAHalf) {
    // 1 x 1 image; footprint 10 x 2 pixels, so the one target gets 1/20 of the counts with s = 1.
    const std::vector<std::pair<int32_t, int32_t>> cases = {
        {-54, -2}, {-50, -2}, {-51, -2}, {50, 3}, {-70, -3}};
    for (const auto& [v, expected] : cases) {
        GridCor g = grid_model({0, 10, 0}, {0, 0, 2});
        IMG img = make_image(1, 1, {v});
        resample(g, img);
        EXPECT_EQ(img.data[0], expected) << v;
        EXPECT_EQ(img.frame[0], 1);
    }
}

TEST(GridResample, FoldedAndNonFiniteModelsSkipTheirPixelsAndSayHowMany) {
    // On several threads each skipped pixel is still counted once.
    for (int32_t threads : {1, 3}) {
        // Px = X - X^2 / 8 folds back from X = 4 on: columns 4..19 have no sound footprint.
        GridCor g = grid_model({0, 1, 0, -0.125, 0, 0}, {0, 0, 1, 0, 0, 0}, "STRICT");
        IMG img = make_image(20, 3, std::vector<int32_t>(60, 8));
        std::string out = resample(g, img, threads);
        EXPECT_NE(out.find("# 48 source pixels skipped: folded, mirrored or non-finite grid model\n"),
                  std::string::npos);
        for (size_t t = 0; t < img.data.size(); ++t)
            EXPECT_GE(img.data[t], 0);

        GridCor mirror = grid_model({0, -1, 0}, {0, 0, 1});
        IMG m = make_image(5, 2, std::vector<int32_t>(10, 1));
        out = resample(mirror, m, threads);
        EXPECT_NE(out.find("# 10 source pixels skipped"), std::string::npos);
        EXPECT_EQ(m.frame, std::vector<uint16_t>(10, 0));

        GridCor huge = grid_model({0, 1, 0, 0, 0, 0, 5e307}, {0, 0, 1, 0, 0, 0, 0}, "STRICT");
        IMG h = make_image(4, 4, std::vector<int32_t>(16, 5));
        out = resample(huge, h, threads);
        EXPECT_NE(out.find("# 8 source pixels skipped"), std::string::npos); // Px overflows from column 2 on
        EXPECT_EQ(h.data[0], 3);                                             // two quarters of 5, rounded
        EXPECT_EQ(h.frame[0], 1);
    }
}

TEST(GridResample, FootprintsFarOutsideTheImageAreClippedNotWalked) {
    GridCor g = grid_model({0, 1, 0, 3e7, 0, 0}, {0, 0, 1, 0, 0, 0}, "STRICT");
    IMG img = make_image(64, 64, std::vector<int32_t>(64 * 64, 1000));
    const auto start = std::chrono::steady_clock::now();
    resample(g, img);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0);
    // Column 0 keeps its half of source column 0; the footprints of the other
    // columns are about 6e7 pixels wide, so their share of each target is tiny.
    EXPECT_EQ(img.data[0], 1000 / 2);
    EXPECT_EQ(img.frame[0], 1);
}

TEST(GridResample, HugeCountsSaturateAndAreReported) {
    // A sheared model with an almost vanishing surface: the weights become huge.
    GridCor g = grid_model({0, 1, 1}, {0, 1, 1 + 1e-10}, "STRICT");
    IMG img = make_image(1, 1, {1});
    const std::string out = resample(g, img);
    EXPECT_EQ(img.data[0], INT32_MAX);
    EXPECT_NE(out.find("# 1 corrected values beyond the 32-bit pixel range clipped\n"), std::string::npos);
}

zt::GridModelRef reference_model(const GridCor& g) {
    zt::GridModelRef m;
    m.xcor = g.xcor;
    m.ycor = g.ycor;
    m.xmin = g.grid_xmin;
    m.ymin = g.grid_ymin;
    m.xbind = g.grid_xbind;
    m.ybind = g.grid_ybind;
    m.mode = g.grid_mode;
    return m;
}

TEST(GridResample, CubicModelMatchesAnIndependentReadingOfTheDefinitionExactly) {
    // A complete cubic model with a visible barrel distortion, on a binned window of the grid.
    const std::vector<double> xcor = {12.25,  1.01,   0.013,   2.1e-4, -1.3e-4,
                                      0.7e-4, 3.1e-7, -1.7e-7, 2.3e-7, -0.9e-7};
    const std::vector<double> ycor = {-7.5,    -0.011,  0.985,  -0.8e-4, 1.9e-4,
                                      -2.2e-4, -1.1e-7, 2.9e-7, 0.4e-7,  1.3e-7};
    const int32_t nx = 61, ny = 47;
    std::vector<int32_t> values(static_cast<size_t>(nx * ny));
    for (size_t t = 0; t < values.size(); ++t)
        values[t] = static_cast<int32_t>((t * 7919) % 5003) - 600;
    std::vector<uint16_t> mask(values.size(), 2);
    mask[100] = mask[101] = mask[1500] = 0;
    for (const char* mode : {"", "FLAT", "STRICT", "FLAT STRICT"})
        for (int32_t bind : {1, 2, -1}) {
            GridCor g = grid_model(xcor, ycor, mode);
            g.grid_xbind = bind;
            g.grid_ybind = bind == 2 ? 3 : bind;
            g.grid_xmin = bind < 0 ? -70 : 5;
            g.grid_ymin = bind < 0 ? -50 : 9;
            IMG img = make_image(nx, ny, values);
            img.frame = mask;
            const std::string out = resample(g, img);
            const zt::GridResult expected =
                zt::grid_reference_resample(reference_model(g), nx, ny, values, mask);
            ASSERT_EQ(img.data, expected.values) << "mode '" << mode << "' bind " << bind;
            ASSERT_EQ(img.frame, expected.frame) << "mode '" << mode << "' bind " << bind;
            if (*mode == '\0') {
                EXPECT_NE(out.find(prg_format("# %d pixels corrected for border effects\n", expected.border)),
                          std::string::npos);
            }
            int64_t used = 0;
            for (uint16_t f : img.frame)
                used += f;
            EXPECT_GT(used, nx * ny / 4) << "the model keeps much of the image in view";
        }
}

// Resamples a copy of `values` with both vector widths and compares each with
// the independent reference, pixel by pixel.
void expect_reference_result(const GridCor& model_in, int32_t nx, int32_t ny,
                             const std::vector<int32_t>& values, const std::vector<uint16_t>& mask,
                             const std::string& label) {
    const zt::GridResult expected =
        zt::grid_reference_resample(reference_model(model_in), nx, ny, values, mask);
    for (int32_t lanes : {2, 0}) {
        GridCor g = model_in;
        IMG img = make_image(nx, ny, values);
        img.frame = mask;
        g.vector_lanes = lanes;
        resample(g, img);
        ASSERT_EQ(img.data, expected.values) << label << ", lanes " << lanes;
        ASSERT_EQ(img.frame, expected.frame) << label << ", lanes " << lanes;
    }
    // Shared among threads, each adding to its own band of target rows.
    for (int32_t threads : {2, 3}) {
        GridCor g = model_in;
        IMG img = make_image(nx, ny, values);
        img.frame = mask;
        testing::internal::CaptureStdout();
        grid_cor_img(g, img, threads);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(img.data, expected.values) << label << ", " << threads << " threads";
        ASSERT_EQ(img.frame, expected.frame) << label << ", " << threads << " threads";
    }
}

std::vector<int32_t> test_values(size_t n) {
    std::vector<int32_t> v(n);
    for (size_t t = 0; t < n; ++t)
        v[t] = static_cast<int32_t>((t * 7919) % 5003) - 900;
    return v;
}

TEST(GridResample, FootprintsOfEveryShapeMatchTheReference) {
    // Scales below 1 give footprints of one or two cells, above 1 of two or
    // three, 2.6 of three or four; the shears move the footprint a row (or a
    // column) per pixel, so that neighbours share cells across rows as well.
    const int32_t nx = 37, ny = 29;
    const std::vector<int32_t> values = test_values(static_cast<size_t>(nx * ny));
    std::vector<uint16_t> mask(values.size(), 1);
    mask[40] = mask[41] = mask[300] = 0;
    for (double sx : {0.4, 0.8, 1.0, 1.3, 2.6})
        for (double sy : {0.45, 1.0, 1.7})
            for (double shear : {0.0, 0.9, -0.9})
                for (const char* mode : {"", "STRICT"}) {
                    GridCor g = grid_model({0.3, sx, 0.0}, {-0.2, shear, sy}, mode);
                    g.grid_xmin = 2;
                    const std::string label =
                        prg_format("sx %g sy %g shear %g mode '%s'", sx, sy, shear, mode);
                    expect_reference_result(g, nx, ny, values, mask, label);
                    expect_reference_result(g, nx, ny, values, {}, label + " unmasked");
                }
}

TEST(GridResample, ModelsOfAnySizeMatchTheReference) {
    // Each size has its own evaluation up to the quartic and a general one
    // beyond; the higher terms are small enough to keep the image in view.
    const int32_t nx = 33, ny = 21;
    const std::vector<int32_t> values = test_values(static_cast<size_t>(nx * ny));
    for (int32_t n = 3; n <= 18; ++n) {
        std::vector<double> xcor(static_cast<size_t>(n)), ycor(static_cast<size_t>(n));
        for (int32_t k = 0; k < n; ++k) {
            int32_t i = 0, j = 0;
            const int32_t d = grid_deg_xy(k, i, j, 0);
            const double small = std::pow(10.0, -2.0 - 2.5 * d) * ((k % 3) - 1.2);
            xcor[static_cast<size_t>(k)] = k == 1 ? 1.02 : small;
            ycor[static_cast<size_t>(k)] = k == 2 ? 0.97 : -small;
        }
        xcor[0] = 16.5;
        ycor[0] = 10.25;
        for (int32_t bind : {1, 3}) {
            GridCor g = grid_model(xcor, ycor, "FLAT");
            g.grid_xbind = g.grid_ybind = bind;
            expect_reference_result(g, nx, ny, values, {}, prg_format("%d terms, binding %d", n, bind));
        }
    }
}

} // namespace
