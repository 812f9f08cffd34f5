#include "fatal_capture.hpp"
#include "records.hpp"
#include "test_support.hpp"
#include "xy_grid.hpp"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

namespace {

IniTag tag_of(const std::string& line) {
    IniTag tag;
    EXPECT_TRUE(prg_initag(line, tag)) << line;
    return tag;
}

// Feeds settings lines to grid_ini as the driver's chain does; returns how many it took.
int feed(GridCor& g, const std::vector<std::string>& lines, std::string* echo = nullptr) {
    testing::internal::CaptureStdout();
    int taken = 0;
    for (const auto& line : lines)
        taken += grid_ini(g, tag_of(line));
    const std::string out = testing::internal::GetCapturedStdout();
    if (echo) *echo = out;
    return taken;
}

// ---------------------------------------------------------------- terms

TEST(GridTerms, NumberingByDegreeThenFallingPowerOfX) {
    const char* const names[] = {"x^0y^0", "x^1y^0", "x^0y^1", "x^2y^0", "x^1y^1",
                                 "x^0y^2", "x^3y^0", "x^2y^1", "x^1y^2", "x^0y^3"};
    for (int k = 0; k < 10; ++k)
        EXPECT_EQ(coef_grid_name(k), names[k]) << k;
    int32_t i = -9, j = -9;
    EXPECT_EQ(grid_deg_xy(3, i, j, 1), 1);  // d(X^2)/dX = 2 X: term 1
    EXPECT_EQ(grid_deg_xy(2, i, j, 1), -1); // Y has no X
    EXPECT_EQ(grid_deg_xy(2, i, j, 2), 0);
    EXPECT_EQ(grid_deg_xy(8, i, j, 0), 3);
    EXPECT_EQ(i, 1);
    EXPECT_EQ(j, 2);
    EXPECT_EQ(grid_deg_xy(8, i, j, 1), 5); // X Y^2 -> Y^2
    EXPECT_EQ(grid_deg_xy(8, i, j, 2), 4); // X Y^2 -> X Y
}

TEST(GridTerms, LowerTermsHaveOneLessPowerForHighDegrees) {
    for (int32_t k = 0; k < 5000; ++k) {
        int32_t i = 0, j = 0, li = 0, lj = 0;
        const int32_t d = grid_deg_xy(k, i, j, 0);
        ASSERT_EQ(i + j, d);
        ASSERT_EQ(k, d * (d + 1) / 2 + j);
        const int32_t by_x = grid_deg_xy(k, i, j, 1);
        if (i == 0) {
            ASSERT_EQ(by_x, -1);
        } else {
            grid_deg_xy(by_x, li, lj, 0);
            ASSERT_TRUE(li == i - 1 && lj == j) << k;
        }
        const int32_t by_y = grid_deg_xy(k, i, j, 2);
        if (j == 0) {
            ASSERT_EQ(by_y, -1);
        } else {
            grid_deg_xy(by_y, li, lj, 0);
            ASSERT_TRUE(li == i && lj == j - 1) << k;
        }
    }
}

TEST(GridTerms, NegativeTermNumbersAreRefused) {
    int32_t i = 7, j = 7;
    EXPECT_NE(zt::fatal_output([&] { grid_deg_xy(-1, i, j, 0); }).err.find("grid term -1 does not exist"),
              std::string::npos);
    EXPECT_NE(zt::fatal_output([&] {
                  grid_deg_xy(INT32_MIN, i, j, 1);
              }).err.find("grid term -2147483648 does not exist"),
              std::string::npos);
    EXPECT_NE(zt::fatal_output([&] { coef_grid_name(-3); }).err.find("grid term -3 does not exist"),
              std::string::npos);
    EXPECT_EQ(i, 7); // nothing stored
    EXPECT_EQ(j, 7);
}

// ---------------------------------------------------------------- settings

TEST(GridSettings, DcorThenListsAndPiecesSetTheCoefficients) {
    GridCor g;
    std::string echo;
    EXPECT_EQ(
        feed(g, {"GRID_DCOR = 6", "GRID_XCOR = 1 2 3 4 5 6", "GRID_YTAB = 0 2 7 8", "GRID_YTAB = 4 2 9 10"},
             &echo),
        4);
    EXPECT_EQ(g.n_coef, 6);
    EXPECT_EQ(g.n_max, 6);
    EXPECT_EQ(g.set, 3u);
    EXPECT_EQ(g.xcor, (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(g.ycor, (std::vector<double>{7, 8, 0, 0, 9, 10}));
    EXPECT_NE(echo.find("  GRID_DCOR= 6\n"), std::string::npos);
    EXPECT_NE(echo.find(prg_format("  GRID_YTAB=  4  2 %14lg  %14lg \n", 9.0, 10.0)), std::string::npos);
}

TEST(GridSettings, CoefficientsBeforeDcorFallThroughAndDcorStartsAfresh) {
    GridCor g;
    EXPECT_EQ(feed(g, {"GRID_XCOR = 1 2 3", "GRID_YTAB = 0 1 5"}), 0);
    EXPECT_TRUE(g.xcor.empty());
    feed(g, {"GRID_DCOR = 3", "GRID_XCOR = 1 2 3"});
    EXPECT_EQ(g.set, 1u);
    feed(g, {"GRID_DCOR = 4"});
    EXPECT_EQ(g.set, 0u);
    EXPECT_EQ(g.xcor, (std::vector<double>{0, 0, 0, 0}));
    EXPECT_EQ(feed(g, {"GRID_OTHER = 1", "GRID_DCORX = 2"}), 0);
}

TEST(GridSettings, ModeOriginAndWindowKeys) {
    GridCor g;
    EXPECT_EQ(feed(g, {"GRID_MODE = FLAT,STRICT", "GRID_ORIG = CONVERT", "GRID_XMIN = 100", "GRID_YMIN = -4",
                       "GRID_XBIND = 2", "GRID_YBIND = -3"}),
              6);
    EXPECT_EQ(g.grid_mode, "FLAT,STRICT");
    EXPECT_EQ(g.grid_orig, "CONVERT");
    EXPECT_EQ(g.grid_xmin, 100);
    EXPECT_EQ(g.grid_ymin, -4);
    EXPECT_EQ(g.grid_xbind, 2);
    EXPECT_EQ(g.grid_ybind, -3);
}

TEST(GridSettings, UnsoundValuesAreRefused) {
    GridCor g;
    feed(g, {"GRID_DCOR = 6"});
    EXPECT_NE(zt::fatal_output([&] { grid_ini(g, tag_of("GRID_XTAB = 4 3 1 2 3")); }).err.find("GRID_XTAB"),
              std::string::npos);
    EXPECT_NE(zt::fatal_output([&] { grid_ini(g, tag_of("GRID_YTAB = -1 2 1 2")); }).err.find("GRID_YTAB"),
              std::string::npos);
    EXPECT_NE(
        zt::fatal_output([&] { grid_ini(g, tag_of("GRID_XBIND = 0")); }).err.find("GRID_XBIND = 0 refused"),
        std::string::npos);
    EXPECT_NE(
        zt::fatal_output([&] { grid_ini(g, tag_of("GRID_YBIND = 0")); }).err.find("GRID_YBIND = 0 refused"),
        std::string::npos);
    EXPECT_EQ(g.grid_xbind, 1);
    EXPECT_NE(
        zt::fatal_output([&] { grid_ini(g, tag_of("GRID_DCOR = 0")); }).err.find("GRID_DCOR = 0 refused"),
        std::string::npos);
    EXPECT_NE(zt::fatal_output([&] { grid_ini(g, tag_of("GRID_DCOR = abc")); }).err.find("refused"),
              std::string::npos);
    EXPECT_NE(zt::fatal_output([&] { grid_ini(g, tag_of("GRID_DCOR = 2000000000")); }).err.find("refused"),
              std::string::npos);
    EXPECT_EQ(g.n_coef, 6); // the refused lines left the model as it was
}

TEST(GridSettings, BareDcorChangesNothingAndWordsAreQuoted) {
    GridCor g;
    std::string echo;
    EXPECT_EQ(feed(g, {"GRID_DCOR = 3", "GRID_XCOR = 1 2 3", "GRID_DCOR"}, &echo), 3);
    EXPECT_EQ(g.n_coef, 3);
    EXPECT_EQ(g.set, 1u); // the bare line did not start the model afresh
    EXPECT_EQ(g.xcor, (std::vector<double>{1, 2, 3}));
    EXPECT_NE(echo.find("  GRID_DCOR= 3\n  GRID_XCOR="), std::string::npos) << echo;

    GridCor empty;
    EXPECT_EQ(feed(empty, {"GRID_DCOR"}), 1);
    EXPECT_TRUE(empty.xcor.empty());

    for (const char* value : {"abc", "six", "99999999999"}) {
        const std::string err =
            zt::fatal_output([&] { grid_ini(g, tag_of(std::string("GRID_DCOR = ") + value)); }).err;
        EXPECT_NE(err.find(std::string("GRID_DCOR = ") + value + " refused: not a whole number of terms"),
                  std::string::npos)
            << err;
    }
    EXPECT_EQ(g.set, 1u);
    EXPECT_EQ(g.n_coef, 3);
}

TEST(GridSettings, UsageText) {
    testing::internal::CaptureStderr();
    grid_usage();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(
        err.rfind("\n grid usage parameters :\n GRID_AUTO = NONE (default), AUTO apply grid correction\n", 0),
        0u);
    EXPECT_NE(err.find(" GRID_XMIN = needed to use only a part of the whole grid, GRID_YMIN \n"),
              std::string::npos);
    const std::string last = " the XY_ORIEN parameter works after read, bind and mask\n";
    ASSERT_GE(err.size(), last.size());
    EXPECT_EQ(err.substr(err.size() - last.size()), last);
}

// ---------------------------------------------------------------- model evaluation

TEST(GridModel, BindingAndWindowPlaceImageColumnsOnTheGrid) {
    GridCor g;
    grid_struct_def(g, 6, 0.0, 0.0);
    g.grid_xbind = 2;
    g.grid_xmin = 100;
    EXPECT_EQ(grid_pix_xcor(10, g), 120.0);
    // A point whose Px is 140 lies at corrected column (140 - 100) / 2.
    g.xcor[0] = 140.0;
    g.xcor[1] = 0.0;
    EXPECT_EQ(grid_cor_xpos(3.0, 4.0, g), 20.0);
    EXPECT_EQ(grid_pix_xcor(10, g), 120.0 - 140.0);
    // Reversed form: X = bind * x - xmin + xcor[0], position (p + xmin) / bind.
    g.grid_xbind = -2;
    EXPECT_EQ(grid_pix_xcor(10, g), -20.0 - 100.0 + 140.0);
    EXPECT_EQ(grid_cor_xpos(3.0, 4.0, g), (140.0 + 100.0) / -2.0);
}

TEST(GridModel, IdentityGivesBackThePixelWithUnitSurface) {
    GridCor g;
    grid_struct_def(g, 10, 12.5, -3.0);
    EXPECT_EQ(g.n_coef, 3);
    EXPECT_EQ(g.set, 3u);
    g.grid_xbind = 2;
    g.grid_ybind = 3;
    g.grid_xmin = 7;
    g.grid_ymin = 11;
    for (double x : {0.0, 1.0, 17.0})
        for (double y : {0.0, 5.0}) {
            const double X = grid_pix_xcor(x, g), Y = grid_pix_ycor(y, g);
            EXPECT_DOUBLE_EQ(grid_cor_xpos(X, Y, g), x);
            EXPECT_DOUBLE_EQ(grid_cor_ypos(X, Y, g), y);
            EXPECT_EQ(grid_pix_surf(x, y, g), 1.0);
        }
    EXPECT_NE(zt::fatal_output([&] { grid_struct_def(g, 2, 0, 0); }).err.find("3 terms"), std::string::npos);
}

TEST(GridModel, DerivativesAndSurfaceOfAQuadraticModel) {
    // Px = 1 + 2X + 3Y + 4X^2 + 5XY + 6Y^2, Py = -1 + 0.5X + 2Y + 0.25X^2 - XY + 0.125Y^2
    GridCor g = zt::grid_model({1, 2, 3, 4, 5, 6}, {-1, 0.5, 2, 0.25, -1, 0.125});
    const double X = 1.5, Y = -2.0;
    const double pxx = 2 + 8 * X + 5 * Y, pxy = 3 + 5 * X + 12 * Y;
    const double pyx = 0.5 + 0.5 * X - Y, pyy = 2 - X + 0.25 * Y;
    EXPECT_DOUBLE_EQ(grid_cor_dx(X, Y, g, g.xcor), pxx);
    EXPECT_DOUBLE_EQ(grid_cor_dy(X, Y, g, g.xcor), pxy);
    EXPECT_DOUBLE_EQ(grid_cor_dx(X, Y, g, g.ycor), pyx);
    EXPECT_DOUBLE_EQ(grid_cor_dy(X, Y, g, g.ycor), pyy);
    EXPECT_DOUBLE_EQ(grid_cor_surf(X, Y, g), pxx * pyy - pyx * pxy);
    EXPECT_DOUBLE_EQ(grid_cor_xpos(X, Y, g), 1 + 2 * X + 3 * Y + 4 * X * X + 5 * X * Y + 6 * Y * Y);
    EXPECT_EQ(grid_cor_der(4, X, Y, g), X * Y);
    EXPECT_EQ(grid_cor_der(5, X, Y, g), Y * Y);
}

TEST(GridModel, MonomialsAreReusedForTheSamePointOnly) {
    GridCor g = zt::grid_model({0, 1, 0, 0, 0, 0}, {0, 0, 1, 0, 0, 0});
    EXPECT_EQ(grid_cor_der(3, 2.0, 3.0, g), 4.0);
    g.tab[3] = 99.0; // visible only if the same point reuses the table
    EXPECT_EQ(grid_cor_der(3, 2.0, 3.0, g), 99.0);
    EXPECT_EQ(grid_cor_der(3, 2.0, 5.0, g), 4.0); // Y differs: recomputed
    EXPECT_EQ(grid_cor_der(5, 2.0, 5.0, g), 25.0);
    // The cache depends on the point alone: new coefficients use it as it is.
    g.tab[1] = 1000.0;
    g.xcor = {0, 2, 0, 0, 0, 0};
    EXPECT_EQ(grid_cor_xpos(2.0, 5.0, g), 2000.0);
    grid_struct_ini(g, 6);
    EXPECT_EQ(g.tab_valid, 0);
}

} // namespace
