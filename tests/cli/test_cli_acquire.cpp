// Acquisition, correction and accumulation of native frame files, run through
// the binary as a user would, with every corrected pixel read back.
#include "kvf_reader.hpp"
#include "kvf_writer.hpp"
#include "test_support.hpp"
#include "xy_lib.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <vector>

using zt::contains_line;

namespace {

constexpr double SAT = 65535;

class Acquire : public zt::InTempDir {
  protected:
    zt::RunResult run(const std::vector<std::string>& words) { return zt::run_zandor(dir_->path(), words); }
    std::vector<int32_t> values(const std::string& name) { return zt::read_kvf32(file(name)).values; }
    void settings(const std::string& text) { zt::write_file(file("zandor.ini"), text); }
    void kvf(const std::string& name, int w, int h, int type,
             const std::vector<std::vector<double>>& frames) {
        zt::write_kvf(file(name), w, h, type, false, frames);
    }
};

TEST_F(Acquire, SingleFileBecomesTheBaseImage) {
    kvf("img.kvf", 3, 2, 4, {{1, 2, 3, 4, 5, 6}, {10, 20, 30, 40, 50, 60}});
    const zt::RunResult r = run({"img.kvf", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# file  'img.kvf' : images size 3 * 2, frames 2")) << r.out;
    EXPECT_TRUE(contains_line(r.out, "# img.kvf : 2 frames used"));
    EXPECT_TRUE(contains_line(r.out, "# base image img.kvf -> img.kvf (img.kvf)"));
    EXPECT_TRUE(contains_line(
        r.out, "# img.kvf : corrected (dark=,flat=,grid=none) and 0 pixel(s) corrections (s=0,t=0,s=0,l=0)"));
    EXPECT_EQ(r.out.find("# new image"), std::string::npos);
    EXPECT_EQ(r.out.find("# kvf header contents"), std::string::npos) << "two words: no header entries";
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{11, 22, 33, 44, 55, 66}));
}

TEST_F(Acquire, SingleWordPrintsTheHeaderEntries) {
    kvf("img.kvf", 2, 1, 4, {{1, 2}});
    const zt::RunResult r = run({"img.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# kvf header contents :  \n"), std::string::npos) << r.out;
}

// Pixel 0 is saturated in 8 of 10 frames, pixel 2 in 4 of 10.
std::vector<std::vector<double>> partly_saturated_series() {
    std::vector<std::vector<double>> frames;
    for (int k = 0; k < 10; ++k)
        frames.push_back({k < 8 ? SAT : 7, 3, k < 4 ? SAT : 5});
    return frames;
}

TEST_F(Acquire, PixelsThatLostFramesAreNormalisedOnce) {
    kvf("sat.kvf", 3, 1, 3, partly_saturated_series());
    const zt::RunResult r = run({"sat.kvf", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    // 14 over 2 frames scaled to 10 frames is 70, not 25 times the sum.
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{70, 30, 50}));
    EXPECT_TRUE(contains_line(r.out, "# 12 saturated pixels found"));
    EXPECT_TRUE(contains_line(r.out, "# 2 pixel(s) corrected"));
    EXPECT_TRUE(contains_line(r.out, "# after corrections s=12, t=0, s=0"));
    EXPECT_NE(r.out.find("and 12 pixel(s) corrections (s=12,t=0,s=0,l=0)"), std::string::npos);
}

TEST_F(Acquire, NoCorrectionOptionStillAppliesTheIntegerRatioRescaling) {
    kvf("sat.kvf", 3, 1, 3, partly_saturated_series());
    const zt::RunResult r = run({"sat.kvf,X", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# No cosmic corrections are applied"));
    EXPECT_EQ(r.out.find("pixel(s) corrected"), std::string::npos);
    // 10 div 2 = 5 scales pixel 0; 10 div 6 = 1 leaves pixel 2.
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{70, 30, 30}));
}

TEST_F(Acquire, RecordedNameFollowsDformat) {
    kvf("img_0005.kvf", 2, 1, 4, {{1, 2}});
    zt::RunResult r = run({"img_0005.kvf", "%F"});
    EXPECT_TRUE(contains_line(r.out, "# base image img_5.kvf -> img_5.kvf (img_0005.kvf)")) << r.out;
    settings("DFORMAT = 4\n");
    r = run({"img_0005.kvf", "%F"});
    EXPECT_TRUE(contains_line(r.out, "# base image img_0005.kvf -> img_0005.kvf (img_0005.kvf)"));
    settings("DFORMAT = 6\n");
    r = run({"img_0005.kvf", "%F"});
    EXPECT_TRUE(contains_line(r.out, "# base image img_000005.kvf -> img_000005.kvf (img_0005.kvf)"));
}

TEST_F(Acquire, SeriesOfFilesIsSummed) {
    kvf("s_01.kvf", 2, 1, 4, {{1, 2}});
    kvf("s_02.kvf", 2, 1, 4, {{10, 20}, {100, 200}});
    const zt::RunResult r = run({"s_01.kvf,A2", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{111, 222}));
    EXPECT_NE(r.out.find("# s_2.kvf : 3 frame(s)"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, ""); // no progress line when standard error is not a terminal
}

// A line "# Mon Dec  7 14:31:40 2026": the time a command ran.
bool is_time_line(const std::string& line) {
    return line.size() == 26 && line.compare(0, 2, "# ") == 0 && line[15] == ':' && line[18] == ':';
}

// What a run printed, without the lines that echo the PRINT setting or give
// the time of day.
std::string without_echo_and_time(const std::string& text) {
    std::string kept;
    for (const std::string& line : zt::split_lines(text))
        if (line.find("PRINT=") == std::string::npos && !is_time_line(line)) kept += line + "\n";
    return kept;
}

// One-frame files after the first of a series are read in groups; what a run
// prints and writes is byte for byte what reading file after file gives. The
// raw-dump bit of PRINT (512) keeps file after file and prints nothing for
// images of more than 8193 pixels. The series has a two-frame file (read
// alone), 32-bit files among 16-bit ones, cosmic arrays or none, and a missing
// file that stops the run.
TEST_F(Acquire, FilesReadInGroupsPrintAndWriteWhatFileAfterFileDoes) {
    const int w = 100, h = 101;
    std::vector<std::vector<double>> frames(21, std::vector<double>(w * h));
    for (size_t k = 0; k < frames.size(); ++k)
        for (size_t p = 0; p < frames[k].size(); ++p)
            frames[k][p] =
                (p * 7919 + k * 104729) % 97 == 0 ? SAT : static_cast<double>((p * 31 + k * 17) % 400);
    for (int k = 1; k <= 20; ++k) {
        if (k == 15) continue;
        char name[16];
        std::snprintf(name, sizeof name, "f_%02d.kvf", k);
        if (k == 7)
            kvf(name, w, h, XY_TYPE_UINT16, {frames[k], frames[0]});
        else
            kvf(name, w, h, k == 11 || k == 12 ? XY_TYPE_INT32 : XY_TYPE_UINT16, {frames[k]});
    }
    const struct {
        const char* word;
        const char* settings;
        int status;
    } runs[] = {{"f_01.kvf,A14", "", 0}, {"f_01.kvf,A14", "T_COSMIC = 3\n", 0}, {"f_01.kvf,A20", "", 3}};
    for (const auto& r : runs) {
        SCOPED_TRACE(std::string(r.word) + " " + r.settings);
        settings(std::string(r.settings) + "PRINT = 7\n");
        const zt::RunResult grouped = run({r.word, "%Xout.kvf"});
        const std::string grouped_image = r.status == 0 ? zt::read_file(file("out.kvf")) : "";
        settings(std::string(r.settings) + "PRINT = 519\n");
        const zt::RunResult alone = run({r.word, "%Xout.kvf"});
        EXPECT_EQ(grouped.status, r.status) << grouped.err;
        EXPECT_EQ(grouped.status, alone.status);
        EXPECT_EQ(without_echo_and_time(grouped.out), without_echo_and_time(alone.out));
        EXPECT_EQ(grouped.err, alone.err);
        if (r.status == 0) {
            EXPECT_EQ(grouped_image, zt::read_file(file("out.kvf")));
        }
    }
}

// Series of more one-frame files than the region has rows, as images and as
// a dark: grouped, they print and write what file after file gives.
TEST_F(Acquire, ThinSeriesReadInGroupsGiveWhatFileAfterFileGives) {
    const struct {
        int w, h, files;
        std::vector<std::string> words;
    } cases[] = {{30, 3, 5, {"q_0001.kvf,A5"}},
                 {30, 1, 3, {"q_0001.kvf,A3"}},
                 {30, 2, 17, {"q_0001.kvf,A17"}},
                 {30, 3, 5, {"D=q_0001.kvf,A5", "img.kvf"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.front());
        for (int k = 1; k <= c.files; ++k) {
            char name[32];
            std::snprintf(name, sizeof name, "q_%04d.kvf", k);
            kvf(name, c.w, c.h, XY_TYPE_UINT16, {std::vector<double>(c.w * c.h, 10.0 * k)});
        }
        kvf("img.kvf", c.w, c.h, XY_TYPE_UINT16, {std::vector<double>(c.w * c.h, 500.0)});
        std::vector<std::string> words = c.words;
        words.push_back("%Xout.kvf");
        settings("PRINT = 7\n");
        const zt::RunResult grouped = run(words);
        const std::string grouped_image = zt::read_file(file("out.kvf"));
        settings("PRINT = 519\n");
        const zt::RunResult alone = run(words);
        ASSERT_EQ(grouped.status, 0) << grouped.err;
        // The raw dump of these small frames ("#I" lines) is the only addition.
        std::string alone_out;
        for (const std::string& line : zt::split_lines(alone.out))
            if (line.rfind("#I ", 0) != 0) alone_out += line + "\n";
        EXPECT_EQ(without_echo_and_time(grouped.out), without_echo_and_time(alone_out));
        EXPECT_EQ(grouped_image, zt::read_file(file("out.kvf")));
    }
}

TEST_F(Acquire, MergedFilesAreStackedBelowEachOther) {
    for (int k = 1; k <= 3; ++k)
        kvf("m_00" + std::to_string(k) + ".kvf", 100, 50, 4, {std::vector<double>(5000, k)});
    const zt::RunResult r = run({"m_001.kvf,M3", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n# new image  100 * 150 = 15000\n"), std::string::npos);
    const zt::KvfImage out = zt::read_kvf32(file("out.kvf"));
    ASSERT_EQ(out.width, 100);
    ASSERT_EQ(out.height, 150);
    // Each block holds one frame of the three summed: all are scaled to 3 frames.
    EXPECT_EQ(out.values[0], 3);
    EXPECT_EQ(out.values[50 * 100 - 1], 3);
    EXPECT_EQ(out.values[50 * 100], 6);
    EXPECT_EQ(out.values[149 * 100 + 99], 9);

    // The images read after a merged one are read with the geometry of one file.
    const zt::RunResult next = run({"m_001.kvf,M3", "%F", "m_002.kvf", "m_003.kvf", "%Xnext.kvf"});
    ASSERT_EQ(next.status, 0) << next.err;
    const zt::KvfImage one = zt::read_kvf32(file("next.kvf"));
    EXPECT_EQ(one.height, 50);
    EXPECT_EQ(one.values, std::vector<int32_t>(5000, 5));
}

TEST_F(Acquire, EveryMergedBlockIsNormalisedWithItsOwnFileCounts) {
    kvf("b_1.kvf", 2, 1, 3, {{SAT, 1}, {8, 1}});
    kvf("b_2.kvf", 2, 1, 3, {{2, 3}, {2, 3}});
    kvf("b_3.kvf", 2, 1, 3, {{5, 5}, {5, 5}});
    const zt::RunResult r = run({"b_1.kvf,M3", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Six frames in all: every block is scaled to 6 from its own file's counts.
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{48, 6, 12, 18, 30, 30}));
}

TEST_F(Acquire, MergeCountBeyondThirtyTwoBitsIsRefusedBeforeAllocating) {
    // 8 pixels times 268435457 files do not fit in a 32-bit pixel count.
    kvf("c_1.kvf", 4, 2, 4, {std::vector<double>(8, 1)});
    const zt::RunResult r = run({"c_1.kvf,M268435457"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("merging 268435457 files of 8 pixels gives 2147483656 pixels"), std::string::npos)
        << r.err;
}

TEST_F(Acquire, DarkIsScaledByTheFrameRatio) {
    kvf("dark.kvf", 2, 1, 4, std::vector<std::vector<double>>(10, {1, 2}));
    kvf("img.kvf", 2, 1, 4, std::vector<std::vector<double>>(20, {5, 5}));
    const zt::RunResult r = run({"D=dark.kvf", "img.kvf", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# Dark set to : dark.kvf"));
    EXPECT_NE(r.out.find("corrected (dark=dark.kvf,flat=,grid=none)"), std::string::npos);
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{80, 60}));
}

TEST_F(Acquire, DarkNoneStopsTheSubtraction) {
    kvf("dark.kvf", 2, 1, 4, {{1, 2}});
    kvf("img.kvf", 2, 1, 4, {{5, 5}});
    const zt::RunResult r = run({"D=dark.kvf", "D=NONE", "img.kvf", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{5, 5}));
}

TEST_F(Acquire, SettingsDarkIsNotRescaledASecondTime) {
    kvf("dark.kvf", 2, 1, 3, {{SAT, 1}, {SAT, 1}, {10, 1}, {10, 1}});
    kvf("img.kvf", 2, 1, 4, std::vector<std::vector<double>>(4, {100, 100}));
    settings("DARK_NAME = dark.kvf\n");
    const zt::RunResult r = run({"img.kvf", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The dark pixel is 20 over 2 of 4 frames, normalised once to 40.
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{360, 396}));
}

TEST_F(Acquire, SettingsDarkReadWithoutCorrectionIsScaledOnlyOnce) {
    kvf("dark.kvf", 2, 1, 3, {{SAT, 1}, {SAT, 1}, {SAT, 1}, {10, 1}});
    kvf("img.kvf", 2, 1, 4, std::vector<std::vector<double>>(4, {100, 100}));
    settings("DARK_NAME = dark.kvf,X\n");
    const zt::RunResult r = run({"img.kvf", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    // 10 over 1 of 4 frames: the integer-ratio rescaling gives 40, and no second pass.
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{360, 396}));
}

TEST_F(Acquire, DformatOutsideItsRangeIsRefused) {
    kvf("img_0005.kvf", 2, 1, 4, {{1, 2}});
    settings("DFORMAT = 200000000\n");
    const zt::RunResult r = run({"img_0005.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("DFORMAT = 200000000"), std::string::npos) << r.err;
}

TEST_F(Acquire, FlatFieldDividesByEveryNonZeroFlatValue) {
    kvf("flat.kvf", 5, 1, 4, {{0, 4, 1, -1, 6}});
    kvf("img.kvf", 5, 1, 4, {{10, 10, 10, 10, 10}});
    const zt::RunResult r = run({"F=flat.kvf", "img.kvf", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# Flat field set to : flat.kvf"));
    // Flat mean 2: a pixel becomes 2 / f * 10, truncated toward zero; a flat
    // value of 0 leaves it as it is.
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{10, 5, 20, -20, 3}));
}

TEST_F(Acquire, LowLimitRepair) {
    kvf("img.kvf", 2, 1, 4, {{-5, 3}});
    settings("SET_LIMIT = 1\n");
    zt::RunResult r = run({"img.kvf", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{-5, 3})) << "default LOW_LIMIT repairs nothing";

    settings("SET_LIMIT = 1\nLOW_LIMIT = 0\n");
    r = run({"img.kvf", "%Xout.kvf"});
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{3, 3}));

    settings("SET_LIMIT = 2\nLOW_LIMIT = -1.5\n");
    r = run({"img.kvf", "%Xout.kvf"});
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{-1, 3}));
}

TEST_F(Acquire, SecondImageIsAddedWithItsFramesAndUseCounts) {
    // Pixel 0 of a.kvf is saturated: a.kvf does not use it, b.kvf does.
    kvf("a.kvf", 2, 1, 3, {{SAT, 2}});
    kvf("b.kvf", 2, 1, 4, {{10, 20}, {30, 40}});
    zt::RunResult r = run({"a.kvf", "b.kvf", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# adding image b.kvf to a.kvf"));
    EXPECT_TRUE(
        contains_line(r.out, "# a.kvf : 3 frame(s), mean 51.0 sigma 15.6 [40@0*0 - 62@1*0] 2!=0, 2 used"))
        << r.out;
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{40, 62}));

    // The frame range given to the first image of a working image holds for
    // the images read after it, also after %F.
    r = run({"b.kvf,B2", "b.kvf", "%Xout.kvf", "%F", "b.kvf", "%Xnext.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{60, 80}));
    EXPECT_EQ(values("next.kvf"), (std::vector<int32_t>{30, 40}));
}

TEST_F(Acquire, CosmicReportGoesToAFileUnderOutOrToStdout) {
    kvf("img.kvf", 2, 1, 4, {{10, 10}, {11, 10}, {9, 10}, {10, 10}, {500, 10}});
    ASSERT_EQ(::mkdir(file("res").c_str(), 0755), 0);
    settings("OUT = res\nT_COSMIC = 5\nH_COSMIC = 50\nR_COSMIC = 2\nPRINT = 71\n");
    zt::RunResult r = run({"img.kvf", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string report = zt::read_file(file("res/img.cosmic"));
    EXPECT_NE(report.find("# 1 cosmic(s) found using time series (t=  5.0, h= 50.0)\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("#cosmic    0    0 ( 4):   500"), std::string::npos) << report;
    // 500 removed: 40 over 4 frames, normalised to 5 frames.
    EXPECT_EQ(values("res/out.kvf"), (std::vector<int32_t>{50, 50}));

    settings("O_COSMIC = STDOUT\nT_COSMIC = 5\nH_COSMIC = 50\nR_COSMIC = 2\n");
    r = run({"img.kvf", "%Xout.kvf"});
    EXPECT_TRUE(contains_line(r.out, "# 1 cosmic(s) found using time series (t=  5.0, h= 50.0)"));
}

// The time-series test on 32-bit frames: a hit far beyond 16 bits is found,
// and frames that are all negative have no phantom hit of value 0.
TEST_F(Acquire, TimeSeriesTestSeesTheWholeThirtyTwoBitMaximum) {
    const struct {
        std::vector<double> pixel0;
        const char* t_cosmic;
        const char* found;
        int32_t value;
    } cases[] = {{{100, 102, 98, 1000000, 101}, "5", "# 1 cosmic(s) found", 501},
                 {{-100, -102, -98, -150, -101}, "1", "# 0 cosmic(s) found", -551}};
    for (const auto& c : cases) {
        std::vector<std::vector<double>> frames;
        for (double v : c.pixel0)
            frames.push_back({v, 7, 7, 7});
        kvf("c.kvf", 2, 2, XY_TYPE_INT32, frames);
        settings(std::string("T_COSMIC = ") + c.t_cosmic + "\nH_COSMIC = 50\nR_COSMIC = 2\n");
        const zt::RunResult r = run({"c.kvf", "%Xout.kvf"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(c.found), std::string::npos) << r.out;
        EXPECT_EQ(values("out.kvf"), (std::vector<int32_t>{c.value, 35, 35, 35}));
    }
}

TEST_F(Acquire, SizeMismatchesAreRefusedNamingBothSizes) {
    kvf("a.kvf", 2, 1, 4, {{1, 2}});
    kvf("b.kvf", 3, 1, 4, {{1, 2, 3}});
    zt::RunResult r = run({"a.kvf", "b.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("file 'b.kvf' has frames of 3 * 1 pixels, the image in progress uses 2 * 1"),
              std::string::npos)
        << r.err;
    r = run({"D=a.kvf", "b.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("dark 'a.kvf' is 2 * 1 pixels, image 'b.kvf' is 3 * 1"), std::string::npos) << r.err;
}

TEST_F(Acquire, GeometrySettingsEchoIndependently) {
    settings("GONIO = 1 2 3 4\nDETEC = 5 6 7 8 9\nGONIO = 10\nMAT_UB = 2 3\nMAT_UB = 5\nGRID_AUTO = auto\n");
    kvf("img.kvf", 2, 1, 4, {{1, 2}});
    const zt::RunResult r = run({"img.kvf", "%F"});
    ASSERT_EQ(r.status, 0) << r.err;
    char gonio[200];
    std::snprintf(gonio, sizeof gonio, "      GONIO= %14lg  %14lg  %14lg  %14lg \n", 10.0, 2.0, 3.0, 4.0);
    EXPECT_NE(r.out.find(gonio), std::string::npos) << r.out;
    char ub[200];
    std::snprintf(ub, sizeof ub, "     MAT_UB= %14lg  %14lg  %14lg  %14lg ", 5.0, 3.0, 0.0, 0.0);
    EXPECT_NE(r.out.find(ub), std::string::npos);
    // Lower-case "auto" does not switch the grid correction on.
    EXPECT_NE(r.out.find("grid=none"), std::string::npos);
}

TEST_F(Acquire, DataErrorsCarryNoStaleSystemErrorNumber) {
    // The report file cannot be created (errno 2), then the settings are refused.
    kvf("img.kvf", 2, 1, 4, {{1, 2}});
    settings("PRINT = 71\nO_COSMIC = /nonexistent/dir/x\nX_BIND = 9\n");
    const zt::RunResult r = run({"img.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err.rfind(" ../xy32lib/xy_lib error : binning X_BIND 9 is larger than the region", 0), 0u)
        << r.err;
}

TEST_F(Acquire, MissingDataIsRefusedByCommands) {
    zt::RunResult r = run({"%M=2"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(" zandor error : no data to process, abort!"), std::string::npos) << r.err;
    r = run({"%X"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no data to write"), std::string::npos);
}

} // namespace
