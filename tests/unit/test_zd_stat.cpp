// Statistics mode: the packed symmetric solver, the image statistics over used
// pixels, the windows of mean counts and the variance fit of whole images.
#include "fatal_capture.hpp"
#include "kvf_reader.hpp"
#include "stat_report.hpp"
#include "test_support.hpp"
#include "zd_stat.hpp"

#include <climits>
#include <cmath>
#include <functional>

namespace {

// ---------------------------------------------------------------- chol_part

using Full = std::vector<std::vector<double>>;

std::vector<double> packed(const Full& a) {
    std::vector<double> p;
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j <= i; ++j)
            p.push_back(a[i][j]);
    return p;
}

// Inverse by Gauss-Jordan elimination with partial pivoting on [A | I].
Full gauss_jordan_inverse(Full a) {
    const size_t n = a.size();
    Full inv(n, std::vector<double>(n, 0.0));
    for (size_t i = 0; i < n; ++i)
        inv[i][i] = 1.0;
    for (size_t c = 0; c < n; ++c) {
        size_t p = c;
        for (size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        std::swap(a[c], a[p]);
        std::swap(inv[c], inv[p]);
        const double d = a[c][c];
        for (size_t k = 0; k < n; ++k) {
            a[c][k] /= d;
            inv[c][k] /= d;
        }
        for (size_t r = 0; r < n; ++r) {
            if (r == c) continue;
            const double f = a[r][c];
            for (size_t k = 0; k < n; ++k) {
                a[r][k] -= f * a[c][k];
                inv[r][k] -= f * inv[c][k];
            }
        }
    }
    return inv;
}

// Symmetric test systems: a shifted Hilbert matrix, the normal matrix of a
// cubic fit over means 1..9, and an indefinite matrix (negative pivot).
Full shifted_hilbert(size_t n) {
    Full a(n, std::vector<double>(n));
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j)
            a[i][j] = 1.0 / static_cast<double>(i + j + 1) + (i == j ? 1.0 : 0.0);
    return a;
}

Full cubic_normal_matrix() {
    Full a(4, std::vector<double>(4, 0.0));
    for (int m = 1; m <= 9; ++m)
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                a[i][j] += std::pow(m, i + j);
    return a;
}

struct SolverCase {
    const char* name;
    Full a;
};

class CholPart : public ::testing::TestWithParam<SolverCase> {};

TEST_P(CholPart, GivesTheSolutionAndTheInverse) {
    const Full& a = GetParam().a;
    const size_t n = a.size();
    std::vector<double> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = 3.0 - static_cast<double>(i) * 1.5;
    const Full inv = gauss_jordan_inverse(a);

    std::vector<double> mat = packed(a);
    std::vector<double> vec = b;
    ASSERT_EQ(chol_part(mat.data(), vec.data(), static_cast<int>(n)), 0);

    double scale = 0.0;
    for (const auto& row : inv)
        for (double v : row)
            scale = std::max(scale, std::fabs(v));
    for (size_t i = 0; i < n; ++i) {
        double x = 0.0;
        for (size_t j = 0; j < n; ++j)
            x += inv[i][j] * b[j];
        EXPECT_NEAR(vec[i], x, 1e-9 * scale * 10) << "solution " << i;
        for (size_t j = 0; j <= i; ++j)
            EXPECT_NEAR(mat[i * (i + 1) / 2 + j], inv[i][j], 1e-9 * scale) << "inverse " << i << "," << j;
    }
}

INSTANTIATE_TEST_SUITE_P(Systems, CholPart,
                         ::testing::Values(SolverCase{"one", {{4.0}}},
                                           SolverCase{"hilbert4", shifted_hilbert(4)},
                                           SolverCase{"hilbert11", shifted_hilbert(11)},
                                           SolverCase{"cubic_fit", cubic_normal_matrix()},
                                           SolverCase{"indefinite", {{1.0, 2.0}, {2.0, 1.0}}}),
                         [](const auto& info) { return std::string(info.param.name); });

struct PivotCase {
    const char* name;
    Full a;
    int expected;
};

class CholPivot : public ::testing::TestWithParam<PivotCase> {};

TEST_P(CholPivot, ReportsTheFirstRowWithATooSmallPivot) {
    std::vector<double> mat = packed(GetParam().a);
    std::vector<double> vec(GetParam().a.size(), 1.0);
    EXPECT_EQ(chol_part(mat.data(), vec.data(), static_cast<int>(vec.size())), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pivots, CholPivot,
    ::testing::Values(PivotCase{"zero_first", {{0.0, 0.0}, {0.0, 1.0}}, 1},
                      PivotCase{"first_at_the_limit", {{1e-25}}, 1},
                      PivotCase{"first_above_the_limit", {{2e-25}}, 0},
                      PivotCase{"second_row_repeats_the_first", {{2.0, 4.0}, {4.0, 8.0}}, 2},
                      PivotCase{
                          "third_row_is_the_sum", {{2.0, 1.0, 3.0}, {1.0, 3.0, 4.0}, {3.0, 4.0, 7.0}}, 3},
                      PivotCase{"all_zero", {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- stat_info

IMG small_image(int32_t corrected) {
    IMG img;
    img.nx = 3;
    img.ny = 2;
    img.size = 6;
    img.frames = 4;
    img.corrected = corrected;
    // Pixel 1 is unused and holds the extremes that must not count; the
    // largest value occurs twice (pixels 4 and 5).
    img.data = {5, 100, 7, -2, 9, 9};
    img.frame = {4, 0, 4, 4, 2, 4};
    img.nonzero = -1;
    img.min = img.max = -999;
    img.min_x = img.min_y = img.max_x = img.max_y = -1;
    img.mean = img.sigma = -999.0;
    return img;
}

struct InfoCase {
    int32_t what;
    bool nonzero, min, max, mean, sigma;
};

class StatInfo : public ::testing::TestWithParam<InfoCase> {};

TEST_P(StatInfo, StoresOnlyTheSelectedStatisticsOfUsedPixels) {
    const InfoCase& c = GetParam();
    IMG img = small_image(1);
    EXPECT_EQ(stat_info(img, c.what), 5);
    EXPECT_EQ(img.nonzero, c.nonzero ? 5 : -1);
    EXPECT_EQ(img.min, c.min ? -2 : -999);
    EXPECT_EQ(img.min_x, c.min ? 0 : -1);
    EXPECT_EQ(img.min_y, c.min ? 1 : -1);
    EXPECT_EQ(img.max, c.max ? 9 : -999);
    EXPECT_EQ(img.max_x, c.max ? 1 : -1) << "first of equal maxima";
    EXPECT_EQ(img.max_y, c.max ? 1 : -1);
    if (c.mean)
        EXPECT_DOUBLE_EQ(img.mean, 28.0 / 5.0);
    else
        EXPECT_EQ(img.mean, -999.0);
    if (c.sigma)
        EXPECT_NEAR(img.sigma, std::sqrt(83.2 / 4.0), 1e-12);
    else
        EXPECT_EQ(img.sigma, -999.0);
}

INSTANTIATE_TEST_SUITE_P(WhatBits, StatInfo,
                         ::testing::Values(InfoCase{0, true, true, true, true, true},
                                           InfoCase{1, true, false, false, false, false},
                                           InfoCase{2, false, true, false, false, false},
                                           InfoCase{4, false, false, true, false, false},
                                           InfoCase{6, false, true, true, false, false},
                                           InfoCase{8, false, false, false, true, false},
                                           InfoCase{16, false, false, false, true, true}));

TEST(StatInfoValues, RawSumsAreScaledToTheFullFrameCount) {
    IMG img = small_image(0);
    EXPECT_EQ(stat_info(img, 4), 5);
    EXPECT_EQ(img.max, 18) << "9 over 2 of 4 frames";
    EXPECT_EQ(img.max_x, 1);
}

TEST(StatInfoValues, NoUsedPixelStoresNothing) {
    IMG img = small_image(1);
    img.frame.assign(6, 0);
    EXPECT_EQ(stat_info(img, 0), 0);
    EXPECT_EQ(img.min, -999);
    EXPECT_EQ(img.mean, -999.0);
}

// ---------------------------------------------------------------- windows

TEST(StatWindows, FirstWindowDividesTheExtremesByTheFrameCount) {
    struct Case {
        int32_t min, max, frames, lo, hi;
    };
    for (const Case& c : {Case{2000, 14600, 20, 99, 731}, Case{-25, 5, 10, -3, 1},
                          Case{INT32_MIN, INT32_MAX, 1, INT32_MIN, INT32_MAX}}) {
        const StatWindow w = stat_first_window(c.min, c.max, c.frames);
        EXPECT_EQ(w.lo, c.lo) << c.min;
        EXPECT_EQ(w.hi, c.hi) << c.max;
    }
}

TEST(StatWindows, NarrowingMovesEachEndTowardsTheMean) {
    struct Case {
        int32_t lo, hi, mean;
        float low, high;
        int32_t new_lo, new_hi;
    };
    for (const Case& c : {
             Case{-20, 400, 100, 0.6f, 0.75f, 52, 325}, // negative end: factor 1 - 0.6
             Case{50, 400, 100, 0.6f, 0.5f, 70, 250},   // positive end: factor 0.6
             Case{-15, 40, 0, 0.75f, 0.75f, -3, 30},    // -3.75 truncated toward zero
             Case{0, 40, 10, 0.75f, 1.0f, 2, 40},       // 2.5 truncated, upper end kept
         }) {
        const StatWindow w = stat_narrow_window(StatWindow{c.lo, c.hi}, c.mean, c.low, c.high);
        EXPECT_EQ(w.lo, c.new_lo) << c.lo << " " << c.low;
        EXPECT_EQ(w.hi, c.new_hi) << c.hi << " " << c.high;
    }
}

// ---------------------------------------------------------------- the fit of whole images

// An 8 x 8 image of 20 frames whose pixel i has the mean count 100 + 10 i and
// the variance 4 + 2 m plus a small deterministic scatter.
struct Pixel {
    double mean;
    double variance;
    uint16_t frames;
};

Pixel linear_pixel(int i) {
    return {100.0 + 10.0 * i, 4.0 + 2.0 * (100.0 + 10.0 * i) + ((i * 7) % 5 - 2), 20};
}

IMG stat_image(const std::function<Pixel(int)>& pixel, int32_t nx = 8, int32_t ny = 8) {
    IMG img;
    img.nx = nx;
    img.ny = ny;
    img.size = nx * ny;
    img.frames = 20;
    img.name = "series";
    img.data.resize(img.size);
    img.frame.resize(img.size);
    img.cosmic.sumq.resize(img.size);
    for (int i = 0; i < img.size; ++i) {
        const Pixel p = pixel(i);
        const double n = p.frames;
        img.data[i] = static_cast<int32_t>(std::lround(p.mean * n));
        img.frame[i] = p.frames;
        img.cosmic.sumq[i] = p.variance * (n - 1) + p.mean * p.mean * n;
    }
    return img;
}

class StatFit : public zt::InTempDir {
  protected:
    void SetUp() override {
        zt::InTempDir::SetUp();
        stat_settings = StatSettings();
        stat_settings.stat_img = 0;
    }
    std::string run(IMG& img, int32_t print = 0, const IMG* dark = nullptr, int32_t limit_mode = 0,
                    float limit = 0.0f) {
        const IMG none;
        testing::internal::CaptureStdout();
        zd_stat(img, dark != nullptr, dark ? *dark : none, limit_mode, limit, print);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(StatFit, RecoversALinearVarianceAndNormalisesIt) {
    IMG img = stat_image(linear_pixel);
    const std::string out = run(img);
    EXPECT_EQ(out.rfind("# statistics on 20 frames of series without dark\n", 0), 0u) << out;
    EXPECT_NE(out.find("\n# 64 points, low_limit = 0.0 raw_mean 415\n"), std::string::npos) << out;
    // min 2000 and max 14600 over 20 frames.
    EXPECT_NE(out.find("\n# studying counts between 99 and 731 on each frame\n"), std::string::npos);
    EXPECT_NE(out.find("# removing 0 pixels\n"), std::string::npos);
    const zt::StatLinearFit f = zt::best_linear_fit(out);
    EXPECT_EQ(f.obs, 64);
    EXPECT_NEAR(f.c0, 4.0, 3 * f.e0);
    EXPECT_NEAR(f.c1, 2.0, 3 * f.e1);
    EXPECT_GT(f.e1, 0.0);
    EXPECT_NE(out.find(" adu^1\n# [100->730] s2["), std::string::npos) << out;
    // (S/mean)^2 = c0 / 415^2 and N^1 = c1 / 415.
    const size_t at = out.find("# (S/mean)^2=");
    ASSERT_NE(at, std::string::npos) << out;
    double n0 = 0, n1 = 0;
    ASSERT_EQ(std::sscanf(out.c_str() + at, "# (S/mean)^2=%lf %lf N^1", &n0, &n1), 2);
    EXPECT_NEAR(n0, f.c0 / (415.0 * 415.0), 6e-3 * std::fabs(n0) + 1e-9);
    EXPECT_NEAR(n1, f.c1 / 415.0, 6e-3 * std::fabs(n1));
    EXPECT_TRUE(img.data.empty()) << "the image is released";
    EXPECT_TRUE(img.frame.empty());
}

TEST_F(StatFit, ZeroFramesPrintOnlyTheOpeningLines) {
    IMG img = stat_image(linear_pixel);
    img.frames = 0;
    EXPECT_EQ(run(img), "# statistics on 0 frames of series without dark\n");
}

TEST_F(StatFit, DegreeZeroPrintsTheSummaryOnTheObservationLine) {
    stat_settings.stat_deg = 0;
    IMG img = stat_image(linear_pixel);
    const std::string out = run(img);
    EXPECT_NE(out.find("\n# 64 obs : S^2="), std::string::npos) << out;
    EXPECT_NE(out.find(", [100->730] s2["), std::string::npos) << out;
    EXPECT_EQ(out.find("adu^"), std::string::npos) << out;
    EXPECT_EQ(out.find(" N^"), std::string::npos) << out;
}

TEST_F(StatFit, OutliersAndPixelsOfOneFrameStayOutOfTheFit) {
    IMG img = stat_image([](int i) {
        Pixel p = linear_pixel(i);
        if (i == 10) p.variance += 2000; // far above the line
        if (i == 20) p.frames = 1;       // a single frame has no variance
        return p;
    });
    const std::string out = run(img, 0x80);
    EXPECT_NE(out.find("\n# 63 obs : S^2="), std::string::npos) << "pixel 20 never counted\n" << out;
    EXPECT_NE(out.find("\n#REJ   2*  1 "), std::string::npos) << out;
    EXPECT_NE(out.find("# removing 1 pixels\n"), std::string::npos);
    const zt::StatLinearFit f = zt::best_linear_fit(out);
    EXPECT_EQ(f.obs, 62);
    EXPECT_NEAR(f.c1, 2.0, 3 * f.e1);
}

// Residual of pixel k in residual deviations, for the straight line fitted by
// least squares to pixels 0 to count - 1 (the first fit of a pass, plainly).
double reference_z(const std::function<Pixel(int)>& pixel, int count, int k) {
    double mean_m = 0, mean_v = 0;
    for (int i = 0; i < count; ++i) {
        mean_m += pixel(i).mean / count;
        mean_v += pixel(i).variance / count;
    }
    double smm = 0, smv = 0;
    for (int i = 0; i < count; ++i) {
        smm += (pixel(i).mean - mean_m) * (pixel(i).mean - mean_m);
        smv += (pixel(i).mean - mean_m) * (pixel(i).variance - mean_v);
    }
    const double slope = smv / smm, intercept = mean_v - slope * mean_m;
    auto off_line = [&](int i) { return pixel(i).variance - intercept - slope * pixel(i).mean; };
    double squares = 0;
    for (int i = 0; i < count; ++i)
        squares += off_line(i) * off_line(i);
    return off_line(k) / std::sqrt(squares / (count - 2));
}

TEST_F(StatFit, OutliersOnEitherSideBeyondSixResidualsAreRejected) {
    struct Case {
        double offset; // added to the variance of pixel 31 (x 7, y 3), on the line
        bool rejected;
    };
    // About -7.8, -6.05, -5.96, 5.96, 6.05 and 7.7 residuals from the fit.
    for (const Case& c : {Case{-200, true}, Case{-14, true}, Case{-13.5, false}, Case{13.5, false},
                          Case{14, true}, Case{2000, true}}) {
        const auto pixel = [&](int i) {
            Pixel p = linear_pixel(i);
            if (i == 31) p.variance += c.offset;
            return p;
        };
        const double z = reference_z(pixel, 64, 31);
        ASSERT_EQ(std::fabs(z) > 6.0, c.rejected) << c.offset << " lies at " << z;
        IMG img = stat_image(pixel);
        const std::string out = run(img, 0x80);
        EXPECT_EQ(out.find("\n#REJ   7*  3 ") != std::string::npos, c.rejected) << c.offset << "\n" << out;
        EXPECT_EQ(zt::best_linear_fit(out).obs, c.rejected ? 63 : 64) << c.offset;
    }
}

TEST_F(StatFit, TheDarkShiftsTheMeanAndDarkCoefScalesItsVariance) {
    // A dark of 10 frames with 50 counts per pixel: 100 counts over the 20
    // frames, so the variance 4 + 2 m becomes 204 + 2 (m - 100).
    IMG dark;
    dark.nx = dark.ny = 8;
    dark.size = 64;
    dark.frames = 10;
    dark.name = "dark";
    dark.data.assign(64, 50);
    for (float coef : {0.0f, 1.0f}) {
        stat_settings.dark_coef = coef;
        IMG img = stat_image(linear_pixel);
        const std::string out = run(img, 0, &dark);
        EXPECT_EQ(out.rfind("# statistics on 20 frames of series with dark data from dark\n", 0), 0u) << out;
        const zt::StatLinearFit f = zt::best_linear_fit(out);
        EXPECT_EQ(f.obs, 64) << out;
        EXPECT_NEAR(f.c0, coef == 0.0f ? 204.0 : 104.0, 3 * f.e0) << coef;
        EXPECT_NEAR(f.c1, 2.0, 3 * f.e1);
        EXPECT_NE(out.find(" (adu-d)^1\n"), std::string::npos) << out;
        EXPECT_NE(out.find("Normalised expansion to N=(adu-d)/mean"), std::string::npos);
    }
}

TEST_F(StatFit, LowLimitModeLeavesOutPixelsBelowTheLimit) {
    IMG img = stat_image(linear_pixel);
    // Means below 150 (pixels 0 to 4) are left out.
    const std::string out = run(img, 0, nullptr, 1, 150.0f);
    EXPECT_NE(out.find("\n# 59 points, low_limit = 150.0 raw_mean "), std::string::npos) << out;
    EXPECT_EQ(zt::best_linear_fit(out).obs, 59);
}

TEST_F(StatFit, AsManyObservationsAsCoefficientsIsNoRegression) {
    IMG img = stat_image(linear_pixel);
    img.frame.assign(64, 0);
    img.frame[3] = img.frame[30] = 20;
    const std::string out = run(img);
    EXPECT_NE(out.find("# 2 obs : no regression with 2 coefficients [130.00->400.00]\n"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("Best fit"), std::string::npos);
    EXPECT_EQ(out.find("nan"), std::string::npos);
}

TEST_F(StatFit, ARawMeanOfZeroIsNoNormalisation) {
    // Means from -315 to 315 around 0; a constant variance.
    IMG img = stat_image([](int i) { return Pixel{-315.0 + 10.0 * i, 50.0 + (i % 3), 20}; });
    stat_settings.stat_deg = 0;
    const std::string out = run(img);
    EXPECT_NE(out.find("raw_mean 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Best fit"), std::string::npos) << out;
    EXPECT_NE(out.find("\n Normalised expansion to N=adu/mean : no normalisation, the raw mean is 0\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("nan"), std::string::npos);
    EXPECT_EQ(out.find("inf"), std::string::npos);
}

TEST_F(StatFit, NoVarianceIsNoRepresentationButStillAFit) {
    stat_settings.stat_img = 1;
    IMG img = stat_image([](int i) { return Pixel{100.0 + 10.0 * i, 0.0, 20}; });
    const std::string out = run(img);
    EXPECT_NE(out.find("# no representation in [99, 731] : every variance is 0 or below\n"),
              std::string::npos)
        << out;
    EXPECT_FALSE(zt::file_exists(file("quorat000.kvf")));
    EXPECT_NE(out.find(" Best fit (Residual = 0.00) on 64 points\n"), std::string::npos) << out;
}

TEST_F(StatFit, RepresentationFilesFollowStatImg) {
    auto outlier = [](int i) {
        Pixel p = linear_pixel(i);
        if (i == 10) p.variance += 2000;
        return p;
    };
    struct Case {
        int32_t stat_img;
        std::vector<std::string> written;
        std::vector<int> points; // pixels counted in each file
    };
    for (const Case& c : {Case{0, {}, {}}, Case{1, {"quorat000", "quorat001"}, {64, 63}},
                          Case{2, {"quorat000", "quorat001", "quorat002"}, {64, 63, 63}}}) {
        stat_settings.stat_img = c.stat_img;
        IMG img = stat_image(outlier);
        const std::string out = run(img);
        for (size_t k = 0; k < c.written.size(); ++k) {
            const std::string name = file(c.written[k] + ".kvf");
            ASSERT_TRUE(zt::file_exists(name)) << c.stat_img << " " << name << "\n" << out;
            const zt::KvfImage rep = zt::read_kvf32(name);
            EXPECT_EQ(rep.width, 256);
            EXPECT_EQ(rep.height, 256);
            ASSERT_EQ(rep.values.size(), 65536u);
            long long total = 0;
            for (int32_t v : rep.values)
                total += v;
            EXPECT_EQ(total, c.points[k]) << name;
            std::remove(name.c_str());
        }
        EXPECT_FALSE(zt::file_exists(file("quorat00" + std::to_string(c.written.size()) + ".kvf")))
            << c.stat_img;
        EXPECT_EQ(out.find("representation") != std::string::npos, c.stat_img != 0) << out;
    }
}

TEST_F(StatFit, NarrowedPassesAreReportedAndTheBestFitKept) {
    stat_settings.stat_nb = 3;
    IMG img = stat_image(linear_pixel);
    const std::string out = run(img);
    // Around the raw mean 415: [99, 731] then [178, 652] then [237, 592].
    EXPECT_NE(out.find("# studying counts between 178 and 652 on each frame\n"), std::string::npos) << out;
    EXPECT_NE(out.find("# studying counts between 237 and 592 on each frame\n"), std::string::npos) << out;
    const zt::StatLinearFit f = zt::best_linear_fit(out);
    EXPECT_GT(f.obs, 0);
    EXPECT_NEAR(f.c1, 2.0, 3 * f.e1);
}

TEST_F(StatFit, TooNarrowAWindowStopsThePasses) {
    stat_settings.stat_nb = 8;
    stat_settings.stat_low = stat_settings.stat_high = 0.1f;
    IMG img = stat_image(linear_pixel);
    const std::string out = run(img);
    EXPECT_NE(out.find("# dynamics too low, breaking\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Best fit"), std::string::npos) << "the first pass's fit is still reported";
}

TEST(StatSettingsRefusal, DegreeOutsideZeroToTenStopsTheRun) {
    for (const char* value : {"-1", "11"}) {
        stat_settings = StatSettings();
        const std::string err = zt::fatal_report([&] { par_stat(IniTag{"STAT_DEG", value, true}); });
        EXPECT_NE(err.find("STAT_DEG"), std::string::npos) << err;
    }
    for (const char* value : {"0", "10"}) {
        testing::internal::CaptureStdout();
        par_stat(IniTag{"STAT_DEG", value, true});
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(stat_settings.stat_deg, std::atoi(value));
    }
    stat_settings = StatSettings();
}

} // namespace
