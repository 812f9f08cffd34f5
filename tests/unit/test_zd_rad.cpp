// The radial distribution in-process: sectors, ring shares, means and errors
// read back from the .rad file, and the fast sector path against the direct one.
#include "rad_table.hpp"
#include "test_support.hpp"
#include "xy_grid.hpp"
#include "xy_transfo.hpp"
#include "zd_driver.hpp"
#include "zd_rad.hpp"
#include "zd_run.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- sectors

struct SectorCase {
    float dx, dy;
    int32_t n;
    float a_sector;
    int32_t sector;
};

class Sector : public ::testing::TestWithParam<SectorCase> {};

TEST_P(Sector, FloorThenModulo) {
    const SectorCase& c = GetParam();
    EXPECT_EQ(radial_sector(c.dx, c.dy, c.n, c.a_sector), c.sector) << c.dx << "," << c.dy;
    const SectorFinder finder(c.n, c.a_sector);
    int32_t hint = 0;
    EXPECT_EQ(finder.find(c.dx, c.dy, std::hypot(c.dx, c.dy), hint), c.sector);
}

INSTANTIATE_TEST_SUITE_P(
    Radial, Sector,
    ::testing::Values(
        SectorCase{5, 0, 4, 0, 0}, SectorCase{0, 5, 4, 0, 1}, SectorCase{-5, 0, 4, 0, 2},
        SectorCase{0, -5, 4, 0, 3}, SectorCase{1, 1, 4, 0, 0},
        // -100 degrees with sectors from 270: 260 degrees lies in the last sector
        SectorCase{std::cos(-100 * 3.14159265f / 180), std::sin(-100 * 3.14159265f / 180), 4, 270, 3},
        SectorCase{std::cos(-100 * 3.14159265f / 180), std::sin(-100 * 3.14159265f / 180), 8, 270, 7},
        SectorCase{1, 0.1f, 8, -22.5f, 0}, SectorCase{1, 0.5f, 8, -22.5f, 1},
        SectorCase{-1, -0.1f, 8, -22.5f, 4}, SectorCase{3, 4, 1, 123, 0}));

struct FinderCase {
    int32_t size;
    double cx, cy;
    int32_t n;
    float a_sector;
    bool on_boundaries; // some pixel centres lie on a sector boundary
};

class SectorFinderEquality : public ::testing::TestWithParam<FinderCase> {};

// Every pixel of a large image: the geometric path gives exactly the sector
// of the arctangent, and leaves few pixels to it.
TEST_P(SectorFinderEquality, SameSectorForEveryPixel) {
    const FinderCase& c = GetParam();
    const SectorFinder finder(c.n, c.a_sector);
    int64_t differ = 0;
    int32_t hint = 0;
    for (int32_t row = 0; row < c.size; ++row) {
        const float dy = static_cast<float>(row - c.cy + 0.5);
        for (int32_t col = 0; col < c.size; ++col) {
            const float dx = static_cast<float>(col - c.cx + 0.5);
            const float r = std::sqrt(dx * dx + dy * dy);
            differ += finder.find(dx, dy, r, hint) != radial_sector(dx, dy, c.n, c.a_sector);
        }
    }
    EXPECT_EQ(differ, 0);
    const int64_t pixels = static_cast<int64_t>(c.size) * c.size;
    if (std::fabs(c.a_sector) <= 720) {
        EXPECT_LT(finder.direct_count(), pixels / 100);
    }
    if (c.on_boundaries) {
        EXPECT_GT(finder.direct_count(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Radial, SectorFinderEquality,
                         ::testing::Values(FinderCase{2048, 1024, 1024, 8, 0, true},
                                           FinderCase{2048, 1023.5, 1000.25, 8, -22.5f, true},
                                           FinderCase{1024, 511.5, 511.5, 72, 0, true},
                                           FinderCase{1024, -300, 1500, 3, 300, false},
                                           FinderCase{1024, 700.3, 20.7, 2, 45, false},
                                           FinderCase{512, 256, 256, 5, 700, true},
                                           FinderCase{512, 256, 256, 6, 1e4f, true}));

// ---------------------------------------------------------------- the command

// One test image: every pixel counted unless listed in `masked`.
struct Image {
    int32_t nx, ny;
    std::vector<int32_t> data;
    std::vector<uint16_t> frame;
};

class RadialCommand : public zt::InTempDir {
  protected:
    void SetUp() override {
        zt::InTempDir::SetUp();
        drv = DriverState();
        run = RunSettings();
        rad_set = RadialSettings();
    }
    void TearDown() override {
        drv = DriverState();
        run = RunSettings();
        rad_set = RadialSettings();
        zt::InTempDir::TearDown();
    }
    // A blank image (every frame count 0) with the listed pixels set.
    static IMG image(int32_t nx, int32_t ny) {
        IMG img;
        img.nx = img.x_max = nx;
        img.ny = img.y_max = ny;
        img.size = nx * ny;
        img.x_bind = img.y_bind = 1;
        img.name = "dir/t.kvf";
        img.data.assign(static_cast<size_t>(img.size), 0);
        img.frame.assign(static_cast<size_t>(img.size), 0);
        return img;
    }
    static void set(IMG& img, int32_t x, int32_t y, int32_t v) {
        img.data[static_cast<size_t>(y * img.nx + x)] = v;
        img.frame[static_cast<size_t>(y * img.nx + x)] = 1;
    }
    std::vector<std::vector<double>> table() { return zt::rad_table(zt::read_file(file("t.rad"))); }
    void run_radial(IMG& img) {
        testing::internal::CaptureStdout();
        radial("", "", img);
        out_ = testing::internal::GetCapturedStdout();
    }
    std::string out_;
};

// Weight of ring k in column c (0-based).
double weight(const std::vector<std::vector<double>>& t, int k, int c = 0) {
    return t[k][1 + 3 * c + 2];
}
double mean(const std::vector<std::vector<double>>& t, int k, int c = 0) {
    return t[k][1 + 3 * c];
}
double error(const std::vector<std::vector<double>>& t, int k, int c = 0) {
    return t[k][1 + 3 * c + 1];
}

struct ShareCase {
    float radius;
    double distance; // of the one counted pixel, along +x
    std::vector<double> weights;
};

class RingShare : public RadialCommand, public ::testing::WithParamInterface<ShareCase> {};

// One pixel at a known distance: its weight is split between neighbouring
// rings, never negative, summing to 1; the means stay the pixel's value.
TEST_P(RingShare, SplitsOnePixelBetweenNeighbours) {
    const ShareCase& c = GetParam();
    IMG img = image(12, 8);
    set(img, 8, 3, 100);
    run.orig_det[0] = 8 + 0.5 - c.distance; // dx = col - cx + 0.5
    run.orig_det[1] = 3.5;
    rad_set.radius = c.radius;
    run_radial(img);
    const auto t = table();
    double total = 0;
    for (size_t k = 0; k < t.size(); ++k) {
        const double expected = k < c.weights.size() ? c.weights[k] : 0.0;
        EXPECT_NEAR(weight(t, static_cast<int>(k)), expected, 0.051) << "ring " << k;
        EXPECT_GE(weight(t, static_cast<int>(k)), 0.0);
        total += weight(t, static_cast<int>(k));
        if (expected > 0.05) {
            EXPECT_DOUBLE_EQ(mean(t, static_cast<int>(k)), 100.0);
        }
    }
    EXPECT_NEAR(total, 1.0, 0.11);
}

INSTANTIATE_TEST_SUITE_P(Radial, RingShare,
                         ::testing::Values(ShareCase{1.0f, 2.3, {0, 0, 0.7, 0.3}},
                                           ShareCase{1.0f, 1.8, {0, 0.2, 0.8}},
                                           ShareCase{1.0f, 3.0, {0, 0, 0, 1.0}},
                                           ShareCase{0.5f, 2.3, {0, 0, 0.7, 0.3}}, // raised to 1
                                           ShareCase{2.5f, 0.5, {1.0}}, ShareCase{2.5f, 1.25, {0.5, 0.5}},
                                           ShareCase{2.5f, 1.9, {0.0, 1.0}}, ShareCase{2.5f, 2.0, {0.0, 1.0}},
                                           ShareCase{2.5f, 3.5, {0.0, 0.75, 0.25}},
                                           ShareCase{2.5f, 4.0, {0.0, 0.25, 0.75}}));

TEST_F(RadialCommand, MeanErrorAndWeightOfARing) {
    IMG img = image(9, 9);
    // Four pixels at distance 3 along the axes (dx = col - 4.5 + 0.5).
    set(img, 7, 4, 10);
    set(img, 1, 4, 20);
    set(img, 4, 7, 30);
    set(img, 4, 1, 40);
    run.orig_det[0] = 4.5;
    run.orig_det[1] = 4.5;
    run_radial(img);
    const auto t = table();
    EXPECT_DOUBLE_EQ(mean(t, 3), 25.0);
    // var = (3000 - 4 * 625) / (4 - 0.999999); error = sqrt(var / 4)
    EXPECT_NEAR(error(t, 3), std::sqrt((3000.0 - 2500.0) / (4 - 0.999999) / 4), 0.005);
    EXPECT_DOUBLE_EQ(weight(t, 3), 4.0);
    EXPECT_DOUBLE_EQ(error(t, 2), -1.0);
    EXPECT_NE(out_.find("# center 4.50 4.50 -> 4.50 4.50, r_max 6.44,  dim 9\n"), std::string::npos) << out_;
    EXPECT_NE(out_.find("# 9 * 1 data writen in t.rad\n"), std::string::npos) << out_;
}

TEST_F(RadialCommand, UncountedImageGivesZeroMeansAndNoError) {
    IMG img = image(6, 4);
    run_radial(img);
    const auto t = table();
    ASSERT_FALSE(t.empty());
    for (const auto& row : t) {
        EXPECT_EQ(row[1], 0.0);
        EXPECT_EQ(row[2], -1.0);
        EXPECT_EQ(row[3], 0.0);
    }
}

// A position rule reaching past the rings: a share beyond the last ring and
// distances beyond the rings are dropped, never counted in another sector.
TEST_F(RadialCommand, TransformedPositionsPastTheRingsAreDropped) {
    IMG img = image(8, 8); // centre 4, 4: dim 8, the last ring centred at 7
    for (int x : {0, 5, 6, 7})
        set(img, x, 3, 50);
    rad_set.n_sector = 2;
    // The centre stays; column 0 lands at distance 7.2 along +x, the others at about 1000.
    rad_set.rad_x = "(x=4)*4+(x=0)*(4+7.2-0.5)+(x>4)*1000";
    rad_set.rad_y = "(y=4)*4+(y=3)*3.5";
    run_radial(img);
    const auto t = table();
    ASSERT_EQ(t.size(), 8u);
    EXPECT_NEAR(weight(t, 7, 0), 0.8, 1e-6); // its 0.2 for ring 8 is dropped
    for (int k = 0; k < 7; ++k)
        EXPECT_EQ(weight(t, k, 0), 0.0) << k;
    for (const auto& row : t)
        EXPECT_EQ(row[6], 0.0); // sector 1 untouched
}

TEST_F(RadialCommand, NonFinitePositionsAreSkipped) {
    IMG img = image(8, 8);
    set(img, 0, 3, 50); // 0/0
    set(img, 2, 3, 50); // 2/0
    set(img, 5, 5, 50); // 2.5e300: beyond single precision
    rad_set.rad_x = "x/(y-3)*(1+(x=5)*1e300)";
    run_radial(img);
    for (const auto& row : table())
        EXPECT_EQ(row[3], 0.0);
}

} // namespace
