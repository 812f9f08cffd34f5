// Statistics mode, run as a user would: the binary started under a name that
// contains "stat", on generated series whose per-pixel variance is known.
#include "kvf_reader.hpp"
#include "kvf_writer.hpp"
#include "stat_report.hpp"
#include "test_support.hpp"

#include <cmath>
#include <cstdio>
#include <functional>
#include <random>

using zt::contains_line;

namespace {

const char* const kStatName = "zandor_stat";

using Frames = std::vector<std::vector<double>>;

Frames make_frames(int pixels, int frames, const std::function<double(int k, int i)>& value) {
    Frames f(static_cast<size_t>(frames), std::vector<double>(static_cast<size_t>(pixels)));
    for (int k = 0; k < frames; ++k)
        for (int i = 0; i < pixels; ++i)
            f[k][i] = value(k, i);
    return f;
}

// Standard normal deviates from the exactly specified mt19937 stream.
class Gaussian {
  public:
    explicit Gaussian(uint32_t seed) : gen_(seed) {}
    double next() {
        const double u1 = (gen_() + 0.5) / 4294967296.0;
        const double u2 = (gen_() + 0.5) / 4294967296.0;
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }

  private:
    std::mt19937 gen_;
};

// A 32 x 32 series of 20 frames alternating mean + a and mean - a, so that
// every pixel's mean is exact and its variance a^2 20/19 follows 2 m + 25 up
// to the rounding of a. Pixel 77 is far noisier than the rest.
constexpr int kSide = 32;
constexpr int kOutlier = 77;

double alternating_mean(int i) {
    return 100 + 20 * (i % kSide) + 5 * (i / kSide);
}

double alternating_value(int k, int i, bool with_outlier = true) {
    const double m = alternating_mean(i);
    const double a = with_outlier && i == kOutlier ? 300 : std::round(std::sqrt(2 * m + 25));
    return k % 2 ? m - a : m + a;
}

std::string from_best_fit(const std::string& out) {
    const size_t at = out.find(" Best fit");
    return at == std::string::npos ? std::string() : out.substr(at);
}

class StatMode : public zt::InTempDir {
  protected:
    zt::RunResult run(const std::vector<std::string>& words) {
        return zt::run_zandor(dir_->path(), words, "", kStatName);
    }
    void settings(const std::string& text) { zt::write_file(file(std::string(kStatName) + ".ini"), text); }
    void series(const std::string& name, int w, int h, int type, const Frames& frames) {
        zt::write_kvf(file(name), w, h, type, false, frames);
    }
    void alternating_series(const std::string& name = "alt.kvf") {
        series(name, kSide, kSide, 4,
               make_frames(kSide * kSide, 20, [](int k, int i) { return alternating_value(k, i); }));
    }
};

// Poisson-like noise: each frame holds the mean plus a deviate of variance
// gain x mean + read_noise^2, rounded to whole counts (which adds 1/12).
TEST_F(StatMode, RecoversAKnownVariancePolynomialWithAndWithoutDark) {
    const double gain = 2.0, read_noise = 5.0, offset = 100.0;
    const int side = 64, frames = 40;
    auto mean = [&](int i) { return 200.0 + 60.0 * (i % side) + 15.0 * (i / side); };
    for (bool with_dark : {false, true}) {
        Gaussian g(12345);
        const double shift = with_dark ? offset : 0.0;
        series("sig.kvf", side, side, 4, make_frames(side * side, frames, [&](int, int i) {
                   return std::round(shift + mean(i) +
                                     std::sqrt(gain * mean(i) + read_noise * read_noise) * g.next());
               }));
        std::vector<std::string> words{"sig.kvf"};
        if (with_dark) {
            // One frame of per-frame dark counts, given the series' frame count.
            series("dark.kvf", side, side, 4, Frames{std::vector<double>(side * side, offset)});
            words.insert(words.begin(), "D=dark.kvf,U40");
        }
        const zt::RunResult r = run(words);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(contains_line(
            r.out, with_dark ? "# statistics on 40 frames of sig.kvf with dark data from dark.kvf"
                             : "# statistics on 40 frames of sig.kvf without dark"))
            << r.out;
        EXPECT_EQ(r.out.find("# base image"), std::string::npos);
        const zt::StatLinearFit f = zt::best_linear_fit(r.out);
        EXPECT_EQ(f.label, with_dark ? "(adu-d)^1" : "adu^1") << r.out;
        EXPECT_GT(f.obs, side * side * 99 / 100) << r.out;
        EXPECT_GT(f.e1, 0.0);
        EXPECT_NEAR(f.c1, gain, 3 * f.e1) << r.out;
        EXPECT_NEAR(f.c0, read_noise * read_noise + 1.0 / 12, 3 * f.e0) << r.out;
        EXPECT_LT(f.e1, 0.05 * gain) << "the fit is informative";
    }
}

TEST_F(StatMode, SingleWindowSpansTheExtremeSumsPerFrame) {
    alternating_series();
    const zt::RunResult r = run({"alt.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Sums from 20 x 100 to 20 x 875: [(2000 - 20) div 20, (20 + 17500) div 20].
    EXPECT_TRUE(contains_line(r.out, "# 1024 points, low_limit = 0.0 raw_mean 487")) << r.out;
    EXPECT_TRUE(contains_line(r.out, "# studying counts between 99 and 876 on each frame"));
    EXPECT_TRUE(contains_line(r.out, "# removing 1 pixels"));
    EXPECT_TRUE(contains_line(r.out, "# removing 0 pixels"));
    const zt::StatLinearFit f = zt::best_linear_fit(r.out);
    EXPECT_EQ(f.obs, 1023);
    EXPECT_NEAR(f.c1, 2.0 * 20 / 19, 3 * f.e1) << r.out;
}

TEST_F(StatMode, DegreeZeroSummaryStaysOnTheObservationLine) {
    settings("STAT_DEG = 0\n");
    alternating_series();
    const zt::RunResult r = run({"alt.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string best = from_best_fit(r.out);
    const std::vector<std::string> lines = zt::split_lines(best);
    ASSERT_GE(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[1].rfind("# 1023 obs : S^2=", 0), 0u) << best;
    EXPECT_NE(lines[1].find("), [100->875] s2["), std::string::npos) << best;
    EXPECT_EQ(best.find("adu^"), std::string::npos);
    EXPECT_EQ(best.find("N^"), std::string::npos);
}

TEST_F(StatMode, StatImgChoosesTheRepresentationFiles) {
    struct Case {
        int stat_img;
        int files;
    };
    alternating_series();
    // Two iterations (the noisy pixel goes at the first): 1 writes the first
    // iteration's scatter and the final one, 2 every iteration's and the final.
    for (const Case& c : {Case{0, 0}, Case{1, 2}, Case{2, 3}}) {
        settings("STAT_IMG = " + std::to_string(c.stat_img) + "\n");
        const zt::RunResult r = run({"alt.kvf"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<long long> points;
        for (size_t at = r.out.find("# representation of "); at != std::string::npos;
             at = r.out.find("# representation of ", at + 1))
            points.push_back(std::atoll(r.out.c_str() + at + 20));
        ASSERT_EQ(points.size(), static_cast<size_t>(c.files)) << r.out;
        for (int k = 0; k < c.files; ++k) {
            char name[32];
            std::snprintf(name, sizeof name, "quorat%03d.kvf", k);
            ASSERT_TRUE(zt::file_exists(file(name))) << name;
            const zt::KvfImage img = zt::read_kvf32(file(name));
            EXPECT_EQ(img.width, 256);
            EXPECT_EQ(img.height, 256);
            ASSERT_EQ(img.values.size(), 65536u);
            long long total = 0;
            for (int32_t v : img.values)
                total += v;
            EXPECT_EQ(total, points[k]) << name;
            std::remove(file(name).c_str());
        }
        EXPECT_EQ(points.empty() ? 0 : points.front(), c.files ? 1024 : 0);
        char next[32];
        std::snprintf(next, sizeof next, "quorat%03d.kvf", c.files);
        EXPECT_FALSE(zt::file_exists(file(next))) << c.stat_img;
    }
}

TEST_F(StatMode, PixelsOfOneFrameOrMaskedNeverEnterTheFit) {
    // Unsigned 16-bit frames: pixel 5 is saturated in all frames but one.
    series("sat.kvf", kSide, kSide, 3, make_frames(kSide * kSide, 20, [](int k, int i) {
               return i == 5 && k > 0 ? 65535.0 : alternating_value(k, i, false);
           }));
    const zt::RunResult r = run({"sat.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# 1024 points, low_limit = 0.0 raw_mean 487")) << r.out;
    EXPECT_EQ(zt::best_linear_fit(r.out).obs, 1023) << r.out;

    // A masked pixel (frame count 0) stays out too: the noisy pixel 77, at
    // x 13, y 2, is never fitted, so nothing is rejected.
    alternating_series();
    settings("P_EXCLUDED = 13 2\n");
    const zt::RunResult masked = run({"alt.kvf"});
    ASSERT_EQ(masked.status, 0) << masked.err;
    EXPECT_TRUE(contains_line(masked.out, "# 1023 points, low_limit = 0.0 raw_mean 487")) << masked.out;
    EXPECT_EQ(masked.out.find("# removing 1 pixels"), std::string::npos) << masked.out;
    EXPECT_EQ(zt::best_linear_fit(masked.out).obs, 1023);
}

TEST_F(StatMode, NoCorrectionOptionAndOrientationGiveThePlainFit) {
    alternating_series();
    const zt::RunResult plain = run({"alt.kvf"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    const std::string expected = from_best_fit(plain.out);
    ASSERT_FALSE(expected.empty()) << plain.out;

    const zt::RunResult no_correction = run({"alt.kvf,X"});
    ASSERT_EQ(no_correction.status, 0) << no_correction.err;
    EXPECT_TRUE(contains_line(no_correction.out, "# No cosmic corrections are applied"));
    EXPECT_EQ(from_best_fit(no_correction.out), expected);

    for (const char* orientation : {"-X,Y", "X,-Y"}) {
        settings(std::string("XY_ORIEN = ") + orientation + "\n");
        const zt::RunResult oriented = run({"alt.kvf"});
        ASSERT_EQ(oriented.status, 0) << oriented.err;
        EXPECT_TRUE(contains_line(oriented.out, std::string("# xy_orien '") + orientation + "'"));
        EXPECT_EQ(from_best_fit(oriented.out), expected) << orientation;
    }
}

TEST_F(StatMode, RefusesWhatItCannotFit) {
    struct Case {
        const char* settings;
        std::vector<std::string> words;
        const char* message;
    };
    alternating_series("alt_001.kvf");
    alternating_series("alt_002.kvf");
    for (const Case& c : {Case{"STAT_DEG = -1\n", {"alt_001.kvf"}, "STAT_DEG = -1"},
                          Case{"STAT_DEG = 11\n", {"alt_001.kvf"}, "STAT_DEG = 11"},
                          Case{"STAT_LOW = nan\n", {"alt_001.kvf"}, "STAT_LOW = nan"},
                          Case{"", {"alt_001.kvf,M2"}, "option M"}}) {
        settings(c.settings);
        const zt::RunResult r = run(c.words);
        EXPECT_EQ(r.status, 3) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("# statistics on"), std::string::npos);
    }
}

// Series whose fit would divide by zero end with a report line instead.
TEST_F(StatMode, DegenerateSeriesEndWithAReportLine) {
    struct Case {
        const char* name;
        int width;
        std::function<double(int k, int i)> value;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"two_pixels", 2, [](int k, int i) { return (i ? 400 : 100) + (k % 2 ? -20 : 20); },
         "# 2 obs : no regression with 2 coefficients [100.00->400.00]"},
        {"zero_mean", 64, [](int k, int i) { return -315 + 10 * i + (k % 2 ? -7 : 7) * (1 + i % 3); },
         " Normalised expansion to N=adu/mean : no normalisation, the raw mean is 0"},
        {"constant", 64, [](int, int i) { return 100 + 10 * i; },
         "# no representation in [99, 731] : every variance is 0 or below"},
    };
    for (const Case& c : cases) {
        std::remove(file("quorat000.kvf").c_str());
        series("d.kvf", c.width, 1, 4, make_frames(c.width, 20, c.value));
        const zt::RunResult r = run({"d.kvf"});
        ASSERT_EQ(r.status, 0) << c.name << "\n" << r.err;
        EXPECT_TRUE(contains_line(r.out, c.line)) << c.name << "\n" << r.out;
        const std::string report = r.out.substr(r.out.find("# statistics on"));
        EXPECT_EQ(report.find("nan"), std::string::npos) << c.name;
        EXPECT_EQ(report.find("inf"), std::string::npos) << c.name;
        EXPECT_EQ(zt::file_exists(file("quorat000.kvf")), std::string(c.name) != "constant") << c.name;
    }
}

} // namespace
