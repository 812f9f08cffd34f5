// Exclusion zones, regions of interest and mask files, run through the binary.
#include "kvf_reader.hpp"
#include "kvf_writer.hpp"
#include "stat_report.hpp"
#include "test_support.hpp"

#include <cmath>

using zt::contains_line;

namespace {

constexpr int32_t kWidth = 8, kHeight = 6; // wider than high: text masks are written transposed

// Two ROIs and two exclusions on the 8 x 6 image: 34 pixels in the ROIs, 5 of
// them excluded, 29 left on.
const char* const kZones = "R_ROI = 0 0 5 4\n"
                           "C_ROI = 6 4 1\n"
                           "P_EXCLUDED = 1 1 -1\n"
                           "R_EXCLUDED = 3 2 4 3\n";

class Mask : public zt::InTempDir {
  protected:
    void SetUp() override {
        zt::InTempDir::SetUp();
        image("in.kvf", kWidth, kHeight);
    }
    zt::RunResult run(const std::vector<std::string>& words) { return zt::run_zandor(dir_->path(), words); }
    std::vector<int32_t> values(const std::string& name) { return zt::read_kvf32(file(name)).values; }
    void settings(const std::string& text) { zt::write_file(file("zandor.ini"), text); }
    // Pixel i holds 10 * (i + 1).
    void image(const std::string& name, int32_t width, int32_t height) {
        std::vector<double> pixels;
        for (int32_t i = 0; i < width * height; ++i)
            pixels.push_back(10.0 * (i + 1));
        zt::write_kvf(file(name), width, height, 4, false, {pixels});
    }
};

int32_t zeros(const std::vector<int32_t>& v) {
    return static_cast<int32_t>(std::count(v.begin(), v.end(), 0));
}

TEST_F(Mask, RoisFirstThenExclusions) {
    settings(kZones);
    const zt::RunResult r = run({"in.kvf", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, " add R_ROI rectangle x1 0 y1 0 x2 5 y2 4"));
    EXPECT_TRUE(contains_line(r.out, " add P_EXCLUDED point x 1 y 1 (modify to -1)"));
    const size_t included = r.out.find("# 34 included pixel(s) in 2 roi(s) for calculations\n");
    const size_t excluded = r.out.find("# 5 excluded pixel(s) by 2 mask(s) for calculations\n");
    const size_t base = r.out.find("# base image");
    ASSERT_NE(included, std::string::npos) << r.out;
    EXPECT_LT(included, excluded);
    EXPECT_LT(excluded, base);

    const std::vector<int32_t> out = values("out.kvf");
    ASSERT_EQ(out.size(), 48u);
    EXPECT_EQ(out[7], 0);                                      // (7, 0): outside the ROIs
    EXPECT_EQ(out[1 * kWidth + 1], (90 + 110 + 20 + 180) / 4); // the mean of its four neighbours
    EXPECT_EQ(out[2 * kWidth + 3], 200);                       // excluded without a value: kept
    EXPECT_EQ(out[5 * kWidth + 6], 470);                       // in the circle ROI
    EXPECT_EQ(zeros(out), 48 - 34);
}

TEST_F(Mask, PrintBitListsEachZone) {
    settings(std::string(kZones) + "PRINT = 39\n");
    const zt::RunResult r = run({"in.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# including rectangle 0 0 5 4  : 30 pixels included\n"
                         "# including circle 6 4 radius 1  : 4 pixels included\n"
                         "# 34 included pixel(s) in 2 roi(s) for calculations\n"
                         "# excluding pixel 1 1\n"
                         "# excluding rectangle 3 2 4 3  : 4 pixels excluded\n"),
              std::string::npos)
        << r.out;
}

// Zones are detector pixels: they go through the region origin and the
// binning; a mask saved under the same settings is read back whole.
TEST_F(Mask, RegionAndBinningMapDetectorPixels) {
    settings("X_MIN = 2\nX_BIND = 2\nP_EXCLUDED = 3 3\nP_EXCLUDED = 2 2\nP_EXCLUDED = 1 3\n");
    zt::RunResult r = run({"in.kvf", "%gbin.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# 2 excluded pixel(s) by 3 mask(s)"), std::string::npos) << r.out;
    const std::vector<int32_t> mask = values("bin.kvf");
    ASSERT_EQ(mask.size(), 3u * 6u);
    EXPECT_EQ(mask[3 * 3 + 0], 0); // (3, 3) -> bin (0, 3)
    EXPECT_EQ(mask[2 * 3 + 0], 0); // (2, 2) -> bin (0, 2)
    EXPECT_EQ(zeros(mask), 2);     // (1, 3) lies left of the region

    settings("X_MIN = 2\nX_BIND = 2\nF_EXCLUDED = bin.kvf\n");
    r = run({"in.kvf", "%gagain.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(values("again.kvf"), mask);
}

// %g writes the frame counts with each writer; a later run that reads the
// file back with F_EXCLUDED switches off the same pixels.
TEST_F(Mask, SavedMasksReadBackAsTheSamePixels) {
    settings(kZones);
    zt::RunResult r = run({"in.kvf", "%g", "%g.gel", "%g.kvf", "%grun1.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# command : %g\nsaving frame into mask file\n"), std::string::npos) << r.out;
    const std::vector<int32_t> saved = values("mask.kvf");
    ASSERT_EQ(saved.size(), 48u);
    EXPECT_EQ(zeros(saved), 48 - 29);
    EXPECT_EQ(std::count(saved.begin(), saved.end(), 1), 29);

    for (const char* name : {"mask.tif", "mask.gel", "mask.kvf", "run1.txt"}) {
        settings(std::string("F_EXCLUDED = ") + name + "\n");
        r = run({"in.kvf", "%Xout.kvf", "%gcheck.kvf"});
        ASSERT_EQ(r.status, 0) << name << r.err;
        EXPECT_NE(r.out.find("# 19 excluded pixel(s) by 1 mask(s) for calculations"), std::string::npos)
            << name << r.out;
        EXPECT_EQ(values("check.kvf"), saved) << name;
        const std::vector<int32_t> out = values("out.kvf");
        for (size_t i = 0; i < out.size(); ++i)
            EXPECT_EQ(out[i], saved[i] == 0 ? 0 : static_cast<int32_t>(10 * (i + 1))) << name << " " << i;
    }
}

TEST_F(Mask, SavingWithoutAnImageIsRefused) {
    const zt::RunResult r = run({"%g"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no frame to write"), std::string::npos) << r.err;
    EXPECT_FALSE(zt::file_exists(file("mask.tif")));
}

TEST_F(Mask, MaskOfAnotherSizeIsRefused) {
    settings(kZones);
    ASSERT_EQ(run({"in.kvf", "%g.kvf"}).status, 0);
    image("small.kvf", 6, 6);
    settings("F_EXCLUDED = mask.kvf\n");
    const zt::RunResult r = run({"small.kvf", "%Xout.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("mask file 'mask.kvf' is 8 * 6 pixels, image 'small.kvf' is 6 * 6"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(zt::file_exists(file("out.kvf")));
}

struct RefusedZone {
    const char* line;
    const char* message;
};

class MaskRefused : public Mask, public testing::WithParamInterface<RefusedZone> {};

TEST_P(MaskRefused, StopsBeforeAnyOutput) {
    settings(std::string(GetParam().line) + "\n");
    const zt::RunResult r = run({"in.kvf", "%Xout.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
    EXPECT_FALSE(zt::file_exists(file("out.kvf")));
}

INSTANTIATE_TEST_SUITE_P(
    Mends, MaskRefused,
    testing::Values(
        RefusedZone{"C_EXCLUDED = 10 20", "C_EXCLUDED = 10 20 : a zone needs 3 numbers (x1 y1 r), 2 given"},
        RefusedZone{"C_ROI = 5 5 -2", "C_ROI = 5 5 -2 : negative radius -2"},
        RefusedZone{"R_EXCLUDED = 0 0 70000 1", "coordinate 70000 does not fit 16 bits"},
        RefusedZone{"F_EXCLUDED = mask", "a mask file name must end in one of .gel .tif .tiff .kvf .txt"}));

// Zones reaching far outside the image only visit the image's pixels.
TEST_F(Mask, HugeAndNegativeZonesAreClipped) {
    settings("C_EXCLUDED = -32768 -32768 65535\nR_EXCLUDED = -5 -5 65535 0\n");
    zt::RunResult r = run({"in.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# 48 excluded pixel(s) by 2 mask(s) for calculations"), std::string::npos) << r.out;

    settings("R_EXCLUDED = -5 -5 1 1\n");
    r = run({"in.kvf", "%gneg.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zeros(values("neg.kvf")), 4);
}

// The statistics mode takes only pixels counted in two frames or more: the
// pixels a zone leaves on keep their frame counts and stay in the fit.
TEST_F(Mask, StatisticsModeKeepsThePixelsLeftOn) {
    const int side = 16, frames = 20;
    std::vector<std::vector<double>> series(frames, std::vector<double>(side * side));
    for (int k = 0; k < frames; ++k)
        for (int i = 0; i < side * side; ++i) {
            const double m = 200 + 10 * i, a = std::round(std::sqrt(2 * m));
            series[k][i] = k % 2 ? m - a : m + a;
        }
    zt::write_kvf(file("alt.kvf"), side, side, 4, false, series);
    zt::write_file(file("zandor_stat.ini"), "R_EXCLUDED = 0 0 9 0\n");
    const zt::RunResult r = zt::run_zandor(dir_->path(), {"alt.kvf"}, "", "zandor_stat");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# 10 excluded pixel(s) by 1 mask(s) for calculations"), std::string::npos) << r.out;
    EXPECT_EQ(zt::best_linear_fit(r.out).obs, side * side - 10) << r.out;
}

} // namespace
