// Frame summation: frame ranges, saturation, binning, float rounding, series
// of files, the cosmic arrays, and the grouped reading checked against a plain
// frame-after-frame reference.
#include "detector_writers.hpp"
#include "fatal_capture.hpp"
#include "kvf_lib.hpp"
#include "kvf_writer.hpp"
#include "records.hpp"
#include "stream_capture.hpp"
#include "test_support.hpp"
#include "txt_lib.hpp"
#include "xy_lib.hpp"
#include "xy_print.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <random>

namespace {

using zt::read_stream;

using Frames = std::vector<std::vector<double>>;

// Frame k (1-based) of a w x h series: pixel p holds 100 k + p.
Frames counting_frames(int w, int h, int n) {
    Frames frames;
    for (int k = 1; k <= n; ++k) {
        std::vector<double> f;
        for (int p = 0; p < w * h; ++p)
            f.push_back(100.0 * k + p);
        frames.push_back(f);
    }
    return frames;
}

// What one xy_getsum call wrote: its report stream and standard output.
struct SumOutput {
    std::string report;
    std::string stdout_text;
};

class FrameSum : public zt::InTempDir {
  protected:
    // A record reading `name`, written with the given frames.
    IMG open_series(const std::string& name, int w, int h, int type, const Frames& frames) {
        zt::write_kvf(file(name), w, h, type, false, frames);
        return open_file(name);
    }
    IMG open_file(const std::string& name) {
        IMG img;
        img.hdr = kvf_open(file(name), "zandor");
        return img;
    }
    // Sums through xy_getsum_info, whose statistics, gathered while the last
    // frames are added, must be those xy_info computes afterwards.
    SumOutput sum(IMG& img, int32_t print, int32_t new_sum = 1, int32_t cosmic = 0) {
        std::FILE* out = std::tmpfile();
        testing::internal::CaptureStdout();
        try {
            xy_getsum_info(img, out, print, new_sum, cosmic);
            expect_statistics_of_xy_info(img);
        } catch (...) {
            testing::internal::GetCapturedStdout();
            std::fclose(out);
            throw;
        }
        SumOutput result;
        result.stdout_text = testing::internal::GetCapturedStdout();
        result.report = read_stream(out);
        std::fclose(out);
        return result;
    }
    static void expect_statistics_of_xy_info(IMG& img) {
        const std::string line = zt::info_line(img);
        const double mean = img.mean, sigma = img.sigma;
        xy_info(img, INFO_ALL);
        EXPECT_EQ(line, zt::info_line(img));
        EXPECT_EQ(std::isnan(mean) ? 0.0 : mean, std::isnan(img.mean) ? 0.0 : img.mean);
        EXPECT_EQ(std::isnan(sigma) ? 0.0 : sigma, std::isnan(img.sigma) ? 0.0 : img.sigma);
    }
    std::string frame_line(const std::string& name, int k) {
        return "# " + file(name) + " : frame " + std::to_string(k);
    }
};

TEST_F(FrameSum, FramesThreeToFiveOfTen) {
    IMG img = open_series("ten.kvf", 3, 2, XY_TYPE_UINT16, counting_frames(3, 2, 10));
    img.beg_frame = 3;
    img.end_frame = 5;
    const SumOutput o = sum(img, 4 | 256);
    EXPECT_EQ(img.frames, 3);
    for (int p = 0; p < 6; ++p) {
        EXPECT_EQ(img.data[p], 300 + 400 + 500 + 3 * p);
        EXPECT_EQ(img.frame[p], 3);
    }
    EXPECT_EQ(o.report, frame_line("ten.kvf", 3) + "\n" + frame_line("ten.kvf", 4) + "\n" +
                            frame_line("ten.kvf", 5) + "\n# " + file("ten.kvf") +
                            " : 3 frames used\n# 0 saturated pixels found\n");
    EXPECT_TRUE(zt::contains_line(o.stdout_text, "# effective size : (3-0)/1 * (2-0)/1 => 3 * 2 = 6"))
        << o.stdout_text;
    EXPECT_EQ(img.data_type, XY_TYPE_INT32);
}

TEST_F(FrameSum, DefaultRangeCountsLinesFromZeroAndTriesTheFrameAfterTheLast) {
    IMG img = open_series("four.kvf", 2, 2, XY_TYPE_INT32, counting_frames(2, 2, 4));
    const SumOutput o = sum(img, 256);
    EXPECT_EQ(img.frames, 4);
    EXPECT_EQ(img.data[1], 100 + 200 + 300 + 400 + 4);
    const std::vector<std::string> lines = zt::split_lines(o.report);
    ASSERT_EQ(lines.size(), 5u) << o.report;
    for (int k = 0; k <= 4; ++k)
        EXPECT_EQ(lines[k], frame_line("four.kvf", k));
}

TEST_F(FrameSum, EndFrameBeyondTheFileSumsToTheLastFrame) {
    IMG img = open_series("four.kvf", 2, 2, XY_TYPE_UINT16, counting_frames(2, 2, 4));
    img.beg_frame = 2;
    img.end_frame = 40;
    sum(img, 0);
    EXPECT_EQ(img.frames, 3);
    EXPECT_EQ(img.data[0], 200 + 300 + 400);
}

TEST_F(FrameSum, NoFrameInTheRangeIsFatal) {
    IMG img = open_series("four.kvf", 2, 2, XY_TYPE_UINT16, counting_frames(2, 2, 4));
    img.beg_frame = 7;
    const std::string err = zt::fatal_report([&] { sum(img, 0); });
    EXPECT_NE(err.find(" : no data found in file between frames 7 and 0, abort!"), std::string::npos) << err;
}

TEST_F(FrameSum, SaturatedValuesLeaveTheirFramesOut) {
    Frames frames = counting_frames(2, 1, 5);
    frames[1][1] = 65535;
    frames[3][1] = 65535;
    IMG img = open_series("sat.kvf", 2, 1, XY_TYPE_UINT16, frames);
    img.n_saturated = 9; // a new sum starts the count again
    const SumOutput o = sum(img, 4, 1, 1);
    EXPECT_EQ(img.frame[0], 5);
    EXPECT_EQ(img.data[0], 1500);
    EXPECT_EQ(img.frame[1], 3);
    EXPECT_EQ(img.data[1], 101 + 301 + 501);
    EXPECT_EQ(img.n_saturated, 2);
    EXPECT_DOUBLE_EQ(img.cosmic.sumq[1], 101.0 * 101 + 301.0 * 301 + 501.0 * 501);
    EXPECT_EQ(img.cosmic.mval[1], 501);
    EXPECT_TRUE(zt::contains_line(o.report, "# 2 saturated pixels found")) << o.report;
}

TEST_F(FrameSum, AllFramesSaturatedGiveCountAndSumZero) {
    IMG img = open_series("hot.kvf", 1, 1, XY_TYPE_UINT16, Frames(4, {65535.0}));
    sum(img, 0);
    EXPECT_EQ(img.frame[0], 0);
    EXPECT_EQ(img.data[0], 0);
    EXPECT_EQ(img.n_saturated, 4);
}

TEST_F(FrameSum, BinWithASaturatedPixelAddsNothingFromThatFrame) {
    Frames frames(5, std::vector<double>(16, 1.0));
    for (int k = 0; k < 5; ++k)
        for (int p = 0; p < 16; ++p)
            frames[k][p] = k + 1;
    frames[2][5] = 65535; // (1, 1): bin 0 of a 2 x 2 binning
    IMG img = open_series("bin.kvf", 4, 4, XY_TYPE_UINT16, frames);
    img.x_bind = 2;
    img.y_bind = 2;
    sum(img, 0, 1, 1);
    ASSERT_EQ(img.size, 4);
    EXPECT_EQ(img.frame[0], 4);
    EXPECT_EQ(img.data[0], 4 * (1 + 2 + 4 + 5));
    EXPECT_EQ(img.cosmic.mval[0], 20);
    EXPECT_DOUBLE_EQ(img.cosmic.sumq[0], 16.0 + 64 + 256 + 400);
    EXPECT_EQ(img.n_saturated, 1);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(img.frame[i], 5);
        EXPECT_EQ(img.data[i], 4 * 15);
    }
}

TEST_F(FrameSum, FloatFramesAreRoundedHalfUpIntoThirtyTwoBitsUnbinned) {
    // floor(f + 0.5): negative values keep their sign and round as positive ones.
    const std::vector<double> values = {70000.2, 1.25, -1.7, -8.0,         -7.5,
                                        2.5,     -0.5, -0.2, 2147483520.0, -2147483648.0};
    const std::vector<int32_t> rounded = {70000, 1, -2, -8, -7, 3, 0, 0, 2147483520, INT32_MIN};
    for (int32_t print : {0, 512}) { // grouped reading, then frame after frame with the raw dump
        IMG img = open_series("f.kvf", 10, 1, XY_TYPE_FLOAT, {values});
        sum(img, print);
        EXPECT_FLOAT_EQ(img.mult, 1.0f); // MULT 0 means 1
        EXPECT_EQ(img.data, rounded) << "PRINT " << print;
    }

    IMG twice = open_series("g.kvf", 2, 1, XY_TYPE_FLOAT, {{1.25, -3.0}});
    twice.mult = 2.0f;
    sum(twice, 0);
    EXPECT_EQ(twice.data, (std::vector<int32_t>{3, -5})); // (1.25 + 0.5) x 2 = 3.5, (-3 + 0.5) x 2 = -5

    // MULT 0.001 is stored as a float just above 0.001: it is used, not replaced by 1.
    IMG small = open_series("h.kvf", 1, 1, XY_TYPE_FLOAT, {{70000.2}});
    small.mult = 0.001f;
    sum(small, 0);
    EXPECT_EQ(small.data[0], 70);

    // Two frames whose sum runs negative.
    IMG pair = open_series("p.kvf", 1, 1, XY_TYPE_FLOAT, {{-8.0}, {-6.0}});
    sum(pair, 0);
    EXPECT_EQ(pair.data[0], -14);
}

TEST_F(FrameSum, FloatValuesBeyondThirtyTwoBitsAreRefusedNamingThePixel) {
    struct Case {
        double value;
        float mult;
        const char* shown;
    };
    const Case cases[] = {
        {2147483648.0, 1.0f, "2.14748e+09"},   // the first float above the pixel range
        {-2147483904.0, 1.0f, "-2.14748e+09"}, // the first float below it
        {1.5e9, 2.0f, "3e+09"},                // in range until multiplied
    };                                         // NaN marks a pixel without a value: see the marks below
    for (const Case& c : cases) {
        for (int32_t print : {0, 512}) {
            // The value sits at pixel 3 of frame 2.
            Frames frames(2, std::vector<double>(4, 1.0));
            frames[1][3] = c.value;
            IMG img = open_series("r.kvf", 2, 2, XY_TYPE_FLOAT, frames);
            img.mult = c.mult;
            const std::string err = zt::fatal_report([&] { sum(img, print); });
            EXPECT_NE(err.find("float frame 2 of '" + file("r.kvf") + "' times MULT gives " + c.shown +
                               " at pixel 3, outside the 32-bit pixel range"),
                      std::string::npos)
                << err;
        }
    }
}

TEST_F(FrameSum, BinnedFloatFramesUseTheBinValueWithoutMult) {
    IMG img = open_series("fb.kvf", 2, 1, XY_TYPE_FLOAT, {{1.2, 1.2}, {70000.2, 0.0}});
    img.x_bind = 2;
    img.mult = 3.0f;
    sum(img, 0);
    ASSERT_EQ(img.size, 1);
    EXPECT_EQ(img.data[0], 2 + 70000);
}

TEST_F(FrameSum, SumsWrapIn32Bits) {
    IMG img = open_series("big.kvf", 1, 1, XY_TYPE_INT32, {{2147483647.0}, {2147483647.0}, {3.0}});
    sum(img, 0);
    EXPECT_EQ(img.data[0], 1); // 2 x (2^31 - 1) + 3 wraps to 1
}

TEST_F(FrameSum, TwoFilesOfASeriesAddUp) {
    Frames second = counting_frames(2, 1, 5);
    second[0][0] = 65535;
    IMG img = open_series("a1.kvf", 2, 1, XY_TYPE_UINT16, counting_frames(2, 1, 5));
    zt::write_kvf(file("a2.kvf"), 2, 1, XY_TYPE_UINT16, false, second);
    sum(img, 0, 1, 1);
    img.hdr = kvf_open(file("a2.kvf"), "zandor");
    sum(img, 0, 0, 1);
    EXPECT_EQ(img.frames, 10);
    EXPECT_EQ(img.frame[0], 9);
    EXPECT_EQ(img.frame[1], 10);
    EXPECT_EQ(img.data[0], 1500 + 1400);
    EXPECT_EQ(img.data[1], 2 * 1505);
    EXPECT_EQ(img.n_saturated, 1);
}

TEST_F(FrameSum, FrameOfTheMaximumCountsOnOver32BitFilesButRestartsFor16Bit) {
    // File 1: maximum at its frame index 2; file 2: at its frame index 1.
    const Frames first = {{1}, {2}, {9}, {3}, {4}};
    const Frames second = {{5}, {20}, {6}};
    for (int type : {XY_TYPE_INT32, XY_TYPE_UINT16}) {
        IMG img = open_series("m1.kvf", 1, 1, type, first);
        zt::write_kvf(file("m2.kvf"), 1, 1, type, false, second);
        sum(img, 0, 1, 1);
        EXPECT_EQ(img.cosmic.mframe[0], 2);
        img.hdr = kvf_open(file("m2.kvf"), "zandor");
        sum(img, 0, 0, 1);
        EXPECT_EQ(img.cosmic.mval[0], 20);
        EXPECT_EQ(img.cosmic.mframe[0], type == XY_TYPE_INT32 ? 5 + 1 : 1) << "type " << type;
    }
}

TEST_F(FrameSum, MaximumKeepsAllThirtyTwoBitsAndItsFirstFrame) {
    // Pixel 0: the first of two equal maxima; 1: beyond 16 bits, not beaten by
    // a later 5000; 2: all values negative, the largest in the second frame.
    IMG img = open_series("mx.kvf", 3, 1, XY_TYPE_INT32, {{7, 70000, -100}, {7, 5000, -98}, {6, 1, -150}});
    sum(img, 0, 1, 1);
    EXPECT_EQ(img.cosmic.mval, (std::vector<int32_t>{7, 70000, -98}));
    EXPECT_EQ(img.cosmic.mframe, (std::vector<uint16_t>{0, 0, 1}));
}

TEST_F(FrameSum, WithoutTheCosmicTestNoArraysExist) {
    IMG img = open_series("n.kvf", 2, 1, XY_TYPE_UINT16, counting_frames(2, 1, 2));
    img.cosmic.sumq.assign(2, 1.0); // left over from an earlier image
    sum(img, 0, 1, 0);
    EXPECT_TRUE(img.cosmic.sumq.empty());
    EXPECT_TRUE(img.cosmic.mval.empty());
    EXPECT_TRUE(img.cosmic.mframe.empty());
}

TEST_F(FrameSum, TruncatedFrameAddsNothing) {
    zt::KvfFile f;
    f.width = 4;
    f.height = 3;
    f.type = XY_TYPE_UINT16;
    f.frames = counting_frames(4, 3, 4);
    std::string bytes = zt::kvf_bytes(f);
    bytes.resize(bytes.size() - 2 * 4 * 2); // frame 4 loses its last two rows
    zt::write_file(file("cut.kvf"), bytes);
    IMG img = open_file("cut.kvf");
    testing::internal::CaptureStderr();
    const SumOutput o = sum(img, 256);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(img.frames, 3);
    EXPECT_EQ(img.data[0], 600);
    EXPECT_EQ(img.frame[11], 3);
    EXPECT_NE(err.find("xy_getrawu error"), std::string::npos) << err;
    EXPECT_TRUE(zt::contains_line(o.report, frame_line("cut.kvf", 3))) << o.report;
}

TEST_F(FrameSum, RawDumpOnlyWithItsBit) {
    IMG img = open_series("d.kvf", 3, 1, XY_TYPE_UINT16, {{1, 2, 3}});
    EXPECT_EQ(sum(img, 512).report, "#I   0 :     1     2     3\n");
    IMG quiet = open_series("e.kvf", 3, 1, XY_TYPE_UINT16, {{1, 2, 3}});
    EXPECT_EQ(sum(quiet, 4).report.find("#I"), std::string::npos);
}

TEST_F(FrameSum, RefusedInputs) {
    IMG bytes = open_series("c.kvf", 4, 2, XY_TYPE_UINT16, {{0, 0, 0, 0, 0, 0, 0, 0}});
    bytes.hdr->type = XY_TYPE_UINT8;
    bytes.x_bind = 2;
    EXPECT_NE(zt::fatal_report([&] { sum(bytes, 0); }).find("binding not writen for char files"),
              std::string::npos);

    IMG signed16 = open_series("s.kvf", 2, 1, XY_TYPE_UINT16, {{0, 0}});
    signed16.hdr->type = XY_TYPE_INT16;
    EXPECT_NE(zt::fatal_report([&] { sum(signed16, 0); })
                  .find(" xy_lib error : "
                        " xy_getsum data type not suppported, abort!"),
              std::string::npos);

    IMG fresh = open_series("x.kvf", 2, 1, XY_TYPE_UINT16, {{0, 0}});
    EXPECT_NE(zt::fatal_report([&] { sum(fresh, 0, 0, 0); }).find("no sum"), std::string::npos);
}

TEST_F(FrameSum, ByteFramesAddTheirValues) {
    IMG img = open_series("b.kvf", 2, 1, XY_TYPE_UINT16, {{0, 0}});
    // Two 1-byte frames of 2 pixels fit in the first 2-byte frame's place.
    std::string bytes = zt::read_file(file("b.kvf"));
    bytes.resize(static_cast<size_t>(img.hdr->offset));
    bytes += std::string("\x05\xff\x07\x01", 4);
    zt::write_file(file("b.kvf"), bytes);
    img = open_file("b.kvf");
    img.hdr->type = XY_TYPE_UINT8;
    sum(img, 0, 1, 1);
    EXPECT_EQ(img.frames, 2);
    EXPECT_EQ(img.data[0], 12);
    EXPECT_EQ(img.data[1], 256);
    EXPECT_EQ(img.frame[1], 2); // 255 is an ordinary byte value
    EXPECT_EQ(img.cosmic.mframe[0], 1);
}

TEST_F(FrameSum, TextFramesAreSummedAndReported) {
    zt::write_file(file("t.txt"), "1 2\n3 4\n#\n10 20\n30 40\n");
    IMG img;
    testing::internal::CaptureStdout();
    img.hdr = txt_open(file("t.txt"), "zandor");
    testing::internal::GetCapturedStdout();
    const SumOutput o = sum(img, 0, 1, 1);
    EXPECT_EQ(img.frames, 2);
    EXPECT_EQ(img.data[0], 11);
    EXPECT_EQ(img.data[3], 44);
    EXPECT_EQ(img.cosmic.mframe[3], 1);
    EXPECT_TRUE(zt::contains_line(o.stdout_text, " n 0 l 1 ascii 0")) << o.stdout_text;
    EXPECT_TRUE(zt::contains_line(o.stdout_text, " n 1 l 2 ascii 0")) << o.stdout_text;
}

// More than 65535 frames would wrap the 16-bit frame counts.
TEST_F(FrameSum, FrameCountLimit) {
    IMG most = open_series("most.kvf", 1, 1, XY_TYPE_UINT16, Frames(65535, {1.0}));
    sum(most, 0);
    EXPECT_EQ(most.frame[0], 65535);
    EXPECT_EQ(most.data[0], 65535);

    IMG img = open_series("many.kvf", 1, 1, XY_TYPE_UINT16, Frames(65536, {1.0}));
    const std::string err = zt::fatal_report([&] { sum(img, 0); });
    EXPECT_NE(err.find("more than 65535 frames"), std::string::npos) << err;

    // The same through a continued sum.
    IMG first = open_series("one.kvf", 1, 1, XY_TYPE_UINT16, Frames(2, {1.0}));
    sum(first, 0);
    first.frames = 65534;
    first.hdr = kvf_open(file("one.kvf"), "zandor");
    EXPECT_NE(zt::fatal_report([&] { sum(first, 0, 0, 0); }).find("more than 65535 frames"),
              std::string::npos);
}

// ---------------------------------------------------------------- against a plain reference

// The sums as the plain frame-after-frame loop makes them, for unbinned
// 16-bit frames of the given region.
struct Reference {
    std::vector<int32_t> data;
    std::vector<int32_t> mval;
    std::vector<uint16_t> frame, mframe;
    std::vector<double> sumq;
    int32_t saturated = 0;
};

void reference_add(Reference& r, const Frames& frames, int w, int x0, int y0, int nx, int ny, int first,
                   int last) {
    const size_t size = static_cast<size_t>(nx) * ny;
    if (r.data.empty()) {
        r.data.assign(size, 0);
        r.frame.assign(size, 0);
        r.mval.assign(size, INT32_MIN);
        r.mframe.assign(size, 0);
        r.sumq.assign(size, 0.0);
    }
    uint16_t u = 0;
    for (int k = first; k <= last; ++k, ++u)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                const size_t i = static_cast<size_t>(y) * nx + x;
                int32_t v = static_cast<int32_t>(frames[k - 1][(y + y0) * w + x + x0]);
                r.frame[i]++;
                if (v == 65535) {
                    v = 0;
                    r.frame[i]--;
                    r.saturated++;
                }
                r.data[i] += v;
                r.sumq[i] += static_cast<double>(v) * v;
                if (v > r.mval[i]) {
                    r.mval[i] = v;
                    r.mframe[i] = u;
                }
            }
}

// Random frames with `saturated_per_mille` saturated pixels per thousand.
Frames noisy_frames(int w, int h, int n, unsigned seed, int saturated_per_mille = 30) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(0, 65534);
    std::uniform_int_distribution<int> roll(0, 999);
    Frames frames(n, std::vector<double>(static_cast<size_t>(w) * h));
    for (auto& f : frames)
        for (auto& v : f)
            v = roll(rng) < saturated_per_mille ? 65535 : value(rng) % (roll(rng) < 500 ? 300 : 65535);
    return frames;
}

void expect_same(const IMG& img, const Reference& r) {
    EXPECT_EQ(img.data, r.data);
    EXPECT_EQ(img.frame, r.frame);
    EXPECT_EQ(img.cosmic.mval, r.mval);
    EXPECT_EQ(img.cosmic.mframe, r.mframe);
    ASSERT_EQ(img.cosmic.sumq.size(), r.sumq.size());
    EXPECT_TRUE(std::equal(r.sumq.begin(), r.sumq.end(), img.cosmic.sumq.begin())); // bit for bit
    EXPECT_EQ(img.n_saturated, r.saturated);
}

TEST_F(FrameSum, GroupedReadingMatchesThePlainLoop) {
    // 41 rows do not split evenly into bands; 37 frames leave a short last group.
    const int w = 53, h = 41, n = 37;
    const Frames frames = noisy_frames(w, h, n, 7);
    IMG img = open_series("noisy.kvf", w, h, XY_TYPE_UINT16, frames);
    img.beg_frame = 2;
    {
        const zt::ProgressRecord progress;
        sum(img, 0, 1, 1);
        EXPECT_EQ(progress.reports,
                  (std::vector<std::string>{"frames 16/36", "frames 32/36", "frames 36/36"}));
    }
    Reference r;
    reference_add(r, frames, w, 0, 0, w, h, 2, n);
    expect_same(img, r);
    EXPECT_EQ(img.frames, n - 1);
}

TEST_F(FrameSum, GroupedReadingOfARegionAndASeriesMatchesThePlainLoop) {
    const int w = 40, h = 30, n = 21;
    const Frames a = noisy_frames(w, h, n, 11);
    const Frames b = noisy_frames(w, h, 5, 12);
    IMG img = open_series("ra.kvf", w, h, XY_TYPE_UINT16, a);
    zt::write_kvf(file("rb.kvf"), w, h, XY_TYPE_UINT16, false, b);
    img.x_min = 3;
    img.x_max = 37;
    img.y_min = 4;
    img.y_max = 29;
    img.end_frame = 19;
    sum(img, 0, 1, 1);
    img.hdr = kvf_open(file("rb.kvf"), "zandor");
    sum(img, 0, 0, 1);
    Reference r;
    reference_add(r, a, w, 3, 4, 34, 25, 1, 19);
    reference_add(r, b, w, 3, 4, 34, 25, 1, 5);
    expect_same(img, r);
    EXPECT_EQ(img.frames, 24);
}

// ---------------------------------------------------------------- one-frame files together

struct FileGroupCase {
    const char* what;
    int w, h, files;
    int32_t type;
    bool cosmic;
    unsigned seed; // 0: 4 x 4 frames of a sum whose sigma after the second file is exactly 0.25
    int saturated_per_mille;
};

std::string statistics_text(const XyStatistics& s) {
    return prg_format("%d %d %d@%d,%d %d@%d,%d %.17g %.17g", s.used, s.nonzero, s.min, s.min_x, s.min_y,
                      s.max, s.max_x, s.max_y, s.mean, s.sigma);
}

Frames group_frames(const FileGroupCase& c) {
    if (c.seed != 0) {
        Frames frames = noisy_frames(c.w, c.h, c.files, c.seed, c.saturated_per_mille);
        // A pixel saturated in the first three frames only: its count leaves 0.
        for (size_t k = 0; k < frames.size(); ++k)
            frames[k][7] = k < 3 ? 65535 : 100;
        if (c.type != XY_TYPE_UINT16)
            for (auto& f : frames)
                for (auto& v : f)
                    v = v == 65535 ? -123456 : v * 40 - 900000; // beyond 16 bits, some negative
        return frames;
    }
    Frames frames(c.files, std::vector<double>(static_cast<size_t>(c.w) * c.h, 5.0));
    frames[1][5] = 6; // fifteen 10 and an 11: a sigma of 0.25, printed 0.2
    return frames;
}

class FileGroupSum : public FrameSum, public testing::WithParamInterface<FileGroupCase> {};

// The files after the first summed in one group give the planes, the saturated
// pixels and, after each file, the statistics of summing file after file.
TEST_P(FileGroupSum, MatchesFileAfterFile) {
    const FileGroupCase& c = GetParam();
    const Frames frames = group_frames(c);
    for (int k = 0; k < c.files; ++k)
        zt::write_kvf(file("f" + std::to_string(k) + ".kvf"), c.w, c.h, c.type, k % 2 == 1, {frames[k]});

    IMG one = open_file("f0.kvf");
    std::vector<std::string> want;
    std::vector<int64_t> want_saturated;
    for (int k = 0; k < c.files; ++k) {
        if (k > 0) one.hdr = kvf_open(file("f" + std::to_string(k) + ".kvf"), "zandor");
        const int32_t before = one.n_saturated;
        sum(one, 0, k == 0, c.cosmic);
        want.push_back(statistics_text(xy_statistics(one)));
        want_saturated.push_back(one.n_saturated - before);
    }

    IMG group = open_file("f0.kvf");
    sum(group, 0, 1, c.cosmic);
    std::vector<std::unique_ptr<HDR>> files;
    for (int k = 1; k < c.files; ++k) {
        files.push_back(kvf_open(file("f" + std::to_string(k) + ".kvf"), "zandor"));
        ASSERT_TRUE(xy_getsum_files_take(group, *files.back(), c.type, k - 1));
    }
    const std::vector<XyFileSum> sums = xy_getsum_files(group, files);
    ASSERT_EQ(sums.size(), files.size());
    for (size_t j = 0; j < sums.size(); ++j) {
        SCOPED_TRACE(j);
        EXPECT_EQ(statistics_text(sums[j].statistics), want[j + 1]);
        EXPECT_EQ(sums[j].saturated, want_saturated[j + 1]);
    }
    EXPECT_EQ(sums.front().decided, c.seed != 0);
    zt::expect_same_sums(group, one);
}

// Rows that split unevenly into bands, blocks cut short, both byte orders,
// both integer pixel types, many saturated pixels or almost none (blocks whose
// frame counts only grow, and one count that leaves 0), and a sum whose
// printed sigma the gathered sums cannot decide.
INSTANTIATE_TEST_SUITE_P(
    Files, FileGroupSum,
    testing::Values(FileGroupCase{"uint16_with_cosmic", 53, 41, 9, XY_TYPE_UINT16, true, 5, 30},
                    FileGroupCase{"uint16", 70, 61, 17, XY_TYPE_UINT16, false, 6, 30},
                    FileGroupCase{"uint16_few_saturated", 128, 97, 12, XY_TYPE_UINT16, false, 9, 0},
                    FileGroupCase{"int32_with_cosmic", 33, 20, 5, XY_TYPE_INT32, true, 7, 30},
                    FileGroupCase{"undecided_sigma", 4, 4, 3, XY_TYPE_UINT16, false, 0, 0}),
    [](const testing::TestParamInfo<FileGroupCase>& info) { return std::string(info.param.what); });

// Every group size against region heights below, at and above it (1 x N
// strips, small regions of interest): a group's bands of every file fit.
std::vector<FileGroupCase> thin_region_cases() {
    std::vector<FileGroupCase> cases;
    for (int files : {2, 3, 5, 17, 40})
        for (int h : {1, 2, 3, 16, 17})
            cases.push_back({"thin", 30, h, files, h % 2 ? XY_TYPE_UINT16 : XY_TYPE_INT32, files % 2 == 1,
                             static_cast<unsigned>(files * 100 + h), 30});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Thin, FileGroupSum, testing::ValuesIn(thin_region_cases()),
                         [](const testing::TestParamInfo<FileGroupCase>& info) {
                             return "files" + std::to_string(info.param.files) + "_rows" +
                                    std::to_string(info.param.h);
                         });

TEST_F(FrameSum, GroupsTakeOnlyOneFrameFilesOfTheSum) {
    zt::write_kvf(file("a.kvf"), 6, 4, XY_TYPE_UINT16, false, counting_frames(6, 4, 1));
    zt::write_kvf(file("two.kvf"), 6, 4, XY_TYPE_UINT16, false, counting_frames(6, 4, 2));
    zt::write_kvf(file("wide.kvf"), 7, 4, XY_TYPE_UINT16, false, counting_frames(7, 4, 1));
    zt::write_kvf(file("long.kvf"), 6, 4, XY_TYPE_INT32, false, counting_frames(6, 4, 1));
    IMG img = open_file("a.kvf");
    sum(img, 0);
    const auto takes = [&](const std::string& name, int32_t type) {
        return xy_getsum_files_take(img, *kvf_open(file(name), "zandor"), type, 0);
    };
    EXPECT_TRUE(takes("a.kvf", XY_TYPE_UINT16));
    EXPECT_FALSE(takes("two.kvf", XY_TYPE_UINT16));
    EXPECT_FALSE(takes("wide.kvf", XY_TYPE_UINT16));
    EXPECT_FALSE(takes("long.kvf", XY_TYPE_UINT16)); // another pixel type than the group's
    EXPECT_TRUE(takes("long.kvf", XY_TYPE_INT32));
    img.beg_frame = 2;
    EXPECT_FALSE(takes("a.kvf", XY_TYPE_UINT16));
    img.beg_frame = 0;
    img.frames = 65535;
    EXPECT_FALSE(takes("a.kvf", XY_TYPE_UINT16)); // the frame counts would overflow
}

TEST_F(FrameSum, DumpedFramesGiveTheSameSums) {
    // The raw dump reads frame after frame; its sums are those of the grouped reading.
    const Frames frames = noisy_frames(9, 7, 20, 3);
    IMG grouped = open_series("g.kvf", 9, 7, XY_TYPE_UINT16, frames);
    IMG dumped = open_series("g.kvf", 9, 7, XY_TYPE_UINT16, frames);
    sum(grouped, 0, 1, 1);
    sum(dumped, 512, 1, 1);
    EXPECT_EQ(grouped.data, dumped.data);
    EXPECT_EQ(grouped.frame, dumped.frame);
    EXPECT_EQ(grouped.cosmic.mframe, dumped.cosmic.mframe);
    EXPECT_EQ(grouped.cosmic.sumq, dumped.cosmic.sumq);
}

} // namespace

// ---------------------------------------------------------------- marks and VALID_RANGE

namespace {

enum class MarkFile { Kvf16, Kvf32, Tiff32, DeflateTiff32, H5U32, H5Float };

struct MarkCase {
    MarkFile file;
    bool range_set;
    double low, high;
    double mark; // the format's own mark of a pixel without a value
};

// The values of a frame: the mark, both sides of both bounds, and ordinary
// values between them, picked at random.
std::vector<double> mark_frame(const MarkCase& c, std::mt19937& rng, size_t n) {
    const double table[] = {c.mark, c.low - 1, c.low, c.high, c.high + 1, 7, 300};
    std::vector<double> v;
    for (size_t i = 0; i < n; ++i)
        v.push_back(table[rng() % 7]);
    return v;
}

std::string write_mark_file(const MarkCase& c, const std::string& dir, const Frames& frames, int w, int h) {
    const std::string name = dir + "/marks";
    switch (c.file) {
    case MarkFile::Kvf16:
    case MarkFile::Kvf32:
        zt::write_kvf(name + ".kvf", w, h, c.file == MarkFile::Kvf16 ? XY_TYPE_UINT16 : XY_TYPE_INT32, false,
                      frames);
        return name + ".kvf";
    case MarkFile::Tiff32:
    case MarkFile::DeflateTiff32: {
        zt::TiffPages t;
        t.width = static_cast<uint32_t>(w);
        t.height = static_cast<uint32_t>(h);
        t.bits = 32;
        t.compression = c.file == MarkFile::Tiff32 ? 1 : 8;
        t.pages = c.file == MarkFile::Tiff32 ? Frames{frames[0]} : frames;
        zt::write_tiff(name + ".tif", t);
        return name + ".tif";
    }
    default: {
        zt::H5Dataset d;
        d.dims = {frames.size(), static_cast<uint64_t>(h), static_cast<uint64_t>(w)};
        d.pixel = c.file == MarkFile::H5U32 ? zt::H5Pixel::U32 : zt::H5Pixel::F32;
        for (const auto& f : frames)
            d.values.insert(d.values.end(), f.begin(), f.end());
        zt::H5File(name + ".h5").dataset(d);
        return name + ".h5";
    }
    }
}

} // namespace

TEST_F(FrameSum, MarksAndValuesOutsideTheValidRangeAreNeitherAddedNorCounted) {
    const double all_ones = 4294967295.0;
    const MarkCase cases[] = {
        {MarkFile::Kvf16, false, 1, 1000, 65535},
        {MarkFile::Kvf16, true, 10, 60000, 65535},
        {MarkFile::Kvf32, true, 0, 1000000, -1},
        {MarkFile::Kvf32, true, -1, 20, -2},
        {MarkFile::Tiff32, false, 1, 1000, all_ones},
        {MarkFile::Tiff32, true, 1, 299, all_ones},
        {MarkFile::DeflateTiff32, true, 1, 4095, all_ones},
        {MarkFile::H5U32, false, 1, 1000, all_ones},
        {MarkFile::H5U32, true, 5, 300, all_ones},
        {MarkFile::H5Float, false, -50, 5000, NAN},
        {MarkFile::H5Float, true, -0.5, 299.5, NAN},
    };
    std::mt19937 rng(5);
    const int w = 9, h = 7;
    for (const MarkCase& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.file) << " " << c.range_set << " " << c.low);
        const size_t frame_count = c.file == MarkFile::Tiff32 ? 1 : 3;
        Frames frames;
        for (size_t k = 0; k < frame_count; ++k)
            frames.push_back(mark_frame(c, rng, w * h));
        IMG img;
        img.hdr = xy_open(write_mark_file(c, dir_->path(), frames, w, h), "zandor", "", 0, true);
        img.valid = XyValidRange{c.range_set, c.low, c.high};
        const SumOutput out = sum(img, PRINT_INFO);
        // A plain reference: a value counts when it is not a mark and lies in the range.
        std::vector<int32_t> want_sum(w * h, 0);
        std::vector<uint16_t> want_count(w * h, 0);
        int64_t saturated = 0, invalid = 0;
        for (const auto& f : frames)
            for (size_t i = 0; i < f.size(); ++i) {
                const double v = f[i];
                const bool sat = c.file == MarkFile::Kvf16 && v == 65535;
                const bool bad =
                    !sat && (std::isnan(v) || v == all_ones || (c.range_set && (v < c.low || v > c.high)));
                saturated += sat;
                invalid += bad;
                if (sat || bad) continue;
                want_sum[i] += static_cast<int32_t>(std::floor(v + 0.5)); // far from the 32-bit limits
                ++want_count[i];
            }
        EXPECT_EQ(img.data, want_sum);
        EXPECT_EQ(img.frame, want_count);
        EXPECT_EQ(img.n_invalid, invalid);
        if (c.file == MarkFile::Kvf16) {
            EXPECT_EQ(img.n_saturated, saturated);
        }
        const bool line = invalid > 0 || c.range_set;
        EXPECT_EQ(out.report.find("# " + std::to_string(invalid) + " invalid pixels found\n") !=
                      std::string::npos,
                  line)
            << out.report;
    }
}
