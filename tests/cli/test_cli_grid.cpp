// Grid correction through the binary: %G and GRID_AUTO on native images with a
// quadratic distortion model, every written pixel compared with the model's
// resampling computed here.
#include "grid_reference.hpp"
#include "kvf_reader.hpp"
#include "kvf_writer.hpp"
#include "prg_lib.hpp"
#include "test_support.hpp"

#include <vector>

using zt::contains_line;

namespace {

constexpr int32_t kWidth = 24, kHeight = 18;

// About half a pixel of shift and a little shear and scale across the image.
zt::GridModelRef quadratic_model(const std::string& mode) {
    zt::GridModelRef m;
    m.xcor = {12.0, 1.02, 0.03, 4e-4, -6e-4, 3e-4};
    m.ycor = {9.0, -0.025, 0.98, -2e-4, 5e-4, -7e-4};
    m.mode = mode;
    return m;
}

std::vector<int32_t> test_pattern() {
    std::vector<int32_t> v(static_cast<size_t>(kWidth * kHeight));
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x)
            v[static_cast<size_t>(y * kWidth + x)] = 1000 + 37 * ((x * 7 + y * 13) % 23) - 50 * (x == y);
    return v;
}

class Grid : public zt::InTempDir {
  protected:
    void SetUp() override {
        zt::InTempDir::SetUp();
        const std::vector<int32_t> v = test_pattern();
        zt::write_kvf(file("img.kvf"), kWidth, kHeight, 4, false, {std::vector<double>(v.begin(), v.end())});
    }
    zt::RunResult run(const std::vector<std::string>& words) { return zt::run_zandor(dir_->path(), words); }
    void settings(const std::string& text) { zt::write_file(file("zandor.ini"), text); }
    std::vector<int32_t> written(const std::string& name) { return zt::read_kvf32(file(name)).values; }
    zt::GridResult expected(const zt::GridModelRef& m) {
        return zt::grid_reference_resample(m, kWidth, kHeight, test_pattern(), {});
    }
};

class GridModes : public Grid, public ::testing::WithParamInterface<const char*> {};

TEST_P(GridModes, CommandResamplesTheWorkingImage) {
    const zt::GridModelRef m = quadratic_model(GetParam());
    settings(zt::grid_settings(m));
    const zt::RunResult r = run({"img.kvf", "%G", "%X"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n#../xy32lib/xy_grid:grid_cor_img  'img.kvf' size=432(24x18)\n"),
              std::string::npos)
        << r.out;
    const zt::GridResult e = expected(m);
    // The written name carries the grid suffix.
    EXPECT_EQ(written("imgg.kvf"), e.values);
    if (m.mode.empty())
        EXPECT_TRUE(contains_line(r.out, prg_format("# %d pixels corrected for border effects", e.border)));
    else
        EXPECT_EQ(r.out.find("border effects"), std::string::npos);
    int used = 0;
    for (uint16_t f : e.frame)
        used += f;
    EXPECT_GT(used, kWidth * kHeight * 3 / 4) << "the model keeps most of the image";
}

TEST_P(GridModes, AutomaticCorrectionOfEveryImageRead) {
    zt::GridModelRef m = quadratic_model(GetParam());
    settings(zt::grid_settings(m) + "GRID_AUTO = AUTO\n");
    const zt::RunResult r = run({"img.kvf", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("corrected (dark=,flat=,grid=auto)"), std::string::npos) << r.out;
    EXPECT_EQ(written("out.kvf"), expected(m).values);
}

INSTANTIATE_TEST_SUITE_P(EachMode, GridModes, ::testing::Values("", "FLAT", "STRICT", "FLAT,STRICT"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             const std::string mode = info.param;
                             if (mode.empty()) return std::string("Default");
                             return mode == "FLAT,STRICT" ? std::string("FlatStrict") : mode;
                         });

TEST_F(Grid, BoundWindowOfTheGridInTheReversedForm) {
    zt::GridModelRef m = quadratic_model("");
    m.xbind = -1;
    m.ybind = -1;
    m.xmin = -48;
    m.ymin = -36;
    settings(zt::grid_settings(m));
    const zt::RunResult r = run({"img.kvf", "%G", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(written("out.kvf"), expected(m).values);
}

TEST_F(Grid, CorrectionAppliesOncePerImage) {
    settings(zt::grid_settings(quadratic_model("")));
    zt::RunResult r = run({"img.kvf", "%G", "%G"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(" zandor error : grid correction soon applied, abort!"), std::string::npos) << r.err;

    settings(zt::grid_settings(quadratic_model("")) + "GRID_AUTO = AUTO\n");
    r = run({"img.kvf", "%G"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("grid correction soon applied"), std::string::npos) << r.err;

    // Every image read is corrected afresh before it is added.
    r = run({"img.kvf", "img.kvf", "%Xtwice.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<int32_t> twice = expected(quadratic_model("")).values;
    for (int32_t& v : twice)
        v *= 2;
    EXPECT_EQ(written("twice.kvf"), twice);
}

TEST_F(Grid, IncompleteOrUnsoundGridSettingsAreRefused) {
    zt::RunResult r = run({"img.kvf", "%G"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(
        r.err.find(" ../xy32lib/xy_grid error : grid functions are not valid (look at .ini file), abort!"),
        std::string::npos)
        << r.err;

    settings("GRID_DCOR = 6\nGRID_XCOR = 0 1 0 0 0 0\n");
    r = run({"img.kvf", "%G"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("grid functions are not valid"), std::string::npos) << r.err;

    settings("GRID_DCOR = 6\nGRID_XTAB = 5 2 1 2\n");
    r = run({"img.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("GRID_XTAB = 5 2 addresses elements 5 to 6, outside 0 to 5"), std::string::npos)
        << r.err;

    settings("GRID_XBIND = 0\n");
    r = run({"img.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("GRID_XBIND = 0 refused"), std::string::npos) << r.err;
}

TEST_F(Grid, GridKeysAreEchoedAndHelpIsPrinted) {
    settings("GRID_DCOR = 3\nGRID_XTAB = 0 2 4.5 1\nGRID_MODE = FLAT\n");
    zt::RunResult r = run({"img.kvf", "%F"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "  GRID_DCOR= 3"));
    EXPECT_TRUE(contains_line(r.out, prg_format("  GRID_XTAB=  0  2 %14lg  %14lg ", 4.5, 1.0)));
    EXPECT_TRUE(contains_line(r.out, "  GRID_MODE= 'FLAT'"));
    r = run({"--usage=grid"});
    EXPECT_NE(
        r.err.find("\n grid usage parameters :\n GRID_AUTO = NONE (default), AUTO apply grid correction\n"),
        std::string::npos)
        << r.err;
}

} // namespace
