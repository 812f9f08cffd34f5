// Cosmic-ray tests: the time-series test on summed frames, the spatial test
// with its passes, the neighbourhood means and the three dumps.
#include "kvf_lib.hpp"
#include "kvf_writer.hpp"
#include "records.hpp"
#include "stream_capture.hpp"
#include "test_support.hpp"
#include "xy_lib.hpp"

#include <cmath>
#include <cstdio>

namespace {

using zt::read_stream;
using zt::written_by;

// An nx x ny image of raw sums over `frames` frames, every pixel counting all of them.
IMG image_of(int32_t nx, int32_t ny, const std::vector<int32_t>& values, int32_t frames) {
    IMG img =
        zt::image_of(nx, ny, values, std::vector<uint16_t>(values.size(), static_cast<uint16_t>(frames)));
    img.frames = frames;
    return img;
}

// ---------------------------------------------------------------- time series

class TimeSeriesTest : public zt::InTempDir {
  protected:
    // One pixel whose frames hold the given values, summed with the cosmic arrays.
    IMG summed_pixel(const std::vector<double>& values) {
        std::vector<std::vector<double>> frames;
        for (double v : values)
            frames.push_back({v});
        zt::write_kvf(file("p.kvf"), 1, 1, XY_TYPE_UINT16, false, frames);
        IMG img;
        img.hdr = kvf_open(file("p.kvf"), "zandor");
        xy_getsum(img, nullptr, 0, 1, 1);
        img.t_cosmic = 5;
        img.h_cosmic = 50;
        img.r_cosmic = 2;
        return img;
    }
};

TEST_F(TimeSeriesTest, LargestFrameStandingOutIsRemoved) {
    IMG img = summed_pixel({10, 11, 9, 10, 500});
    const std::string report = written_by([&](std::FILE* out) { xy_tcosmic(img, out); });
    EXPECT_EQ(img.n_time, 1);
    EXPECT_EQ(img.frame[0], 4);
    EXPECT_EQ(img.data[0], 40);
    EXPECT_DOUBLE_EQ(img.cosmic.sumq[0], 100.0 + 121 + 81 + 100);
    EXPECT_EQ(report, "#cosmic    0    0 ( 4):   500  <m>    108.0 s   219.1 ---> <m>     10.0 s    0.8\n");
}

TEST_F(TimeSeriesTest, ExcessNotAboveHIsKept) {
    IMG img = summed_pixel({10, 11, 9, 10, 500});
    img.h_cosmic = 500;
    xy_tcosmic(img, nullptr);
    EXPECT_EQ(img.n_time, 0);
    EXPECT_EQ(img.data[0], 540);
    EXPECT_EQ(img.frame[0], 5);
}

TEST_F(TimeSeriesTest, PixelsWithFewerThanThreeFramesAreNotTested) {
    IMG img = summed_pixel({10, 11, 9, 10, 500});
    img.frame[0] = 2;
    img.n_time = 7;
    xy_tcosmic(img, nullptr);
    EXPECT_EQ(img.n_time, 0);
    EXPECT_EQ(img.data[0], 540);
}

TEST_F(TimeSeriesTest, AtMostOneFrameIsRemovedPerCall) {
    // Two hits in one pixel: one call takes out the largest only.
    IMG img = summed_pixel({10, 11, 9, 10, 10, 11, 9, 400, 500});
    img.t_cosmic = 2;
    xy_tcosmic(img, nullptr);
    EXPECT_EQ(img.n_time, 1);
    EXPECT_EQ(img.frame[0], 8);
    EXPECT_EQ(img.data[0], 470);
    EXPECT_DOUBLE_EQ(img.cosmic.sumq[0], 100.0 + 121 + 81 + 100 + 100 + 121 + 81 + 160000);
}

TEST(TimeSeriesRecord, WithoutCosmicArraysNothingIsTested) {
    IMG img = image_of(1, 1, {540}, 5);
    img.t_cosmic = 5;
    img.n_time = 3;
    xy_tcosmic(img, nullptr);
    EXPECT_EQ(img.n_time, 0);
    EXPECT_EQ(img.data[0], 540);
}

// ---------------------------------------------------------------- spatial test

IMG spatial_image(int32_t nx, int32_t ny, const std::vector<int32_t>& values) {
    IMG img = image_of(nx, ny, values, 5);
    img.corrected = 1;
    img.s_cosmic = 5;
    img.p_cosmic = 50;
    img.r_cosmic = 2;
    return img;
}

TEST(SpatialTest, HotMiddleOfAFlatPatchIsReplacedOnce) {
    IMG img = spatial_image(3, 3, {100, 100, 100, 100, 1000, 100, 100, 100, 100});
    int32_t total = 0;
    const std::string report = written_by([&](std::FILE* out) { total = xy_space(img, out); });
    EXPECT_EQ(total, 1);
    EXPECT_EQ(img.n_space, 1);
    EXPECT_EQ(img.data, std::vector<int32_t>(9, 100));
    EXPECT_EQ(img.frame[4], 0);
    EXPECT_EQ(img.frame[0], 5);
    EXPECT_EQ(report,
              "#space    1    1 :   1000 (9 <m>    200.0 s   300.0 ---> 8 <m>    100.0 s    0.1)  n=0\n");
}

TEST(SpatialTest, RCosmicKeepsAHitThatTheNeighboursSpreadExplains) {
    // Neighbours 100 and 140 (mean 120, variance 3200/7); with the 300 in the
    // middle the variance of all nine is 4000. The pixel passes the S and P
    // tests and goes only while R_COSMIC * 3200/7 < 4000, that is R < 8.75.
    for (const float r : {2.0f, 8.0f, 9.0f, 20.0f}) {
        SCOPED_TRACE(r);
        IMG img = spatial_image(3, 3, {100, 140, 100, 140, 300, 140, 100, 140, 100});
        img.r_cosmic = r;
        const bool replaced = r < 8.75f;
        EXPECT_EQ(xy_space(img, nullptr), replaced ? 1 : 0);
        EXPECT_EQ(img.data[4], replaced ? 120 : 300);
        EXPECT_EQ(img.frame[4], replaced ? 0 : 5);
    }
}

TEST(SpatialTest, PixelWithTooFewUsableNeighboursIsKept) {
    // The corner's neighbours have count 0: with itself it has 2 usable pixels.
    IMG img = spatial_image(3, 3, {5000, 100, 100, 100, 100, 100, 100, 100, 100});
    img.frame[1] = 0;
    img.frame[3] = 0;
    EXPECT_EQ(xy_space(img, nullptr), 0);
    EXPECT_EQ(img.data[0], 5000);
}

TEST(SpatialTest, UnusedPixelAboveItsNeighboursTakesTheirTruncatedMeanAndCountsOnce) {
    // Pixel 4 has count 0; its 8 neighbours average 100.5.
    IMG img = spatial_image(3, 3, {100, 101, 100, 101, 150, 100, 101, 100, 101});
    img.frame[4] = 0;
    const std::string report = written_by([&](std::FILE* out) { EXPECT_EQ(xy_space(img, out), 1); });
    EXPECT_EQ(img.data[4], 100);
    EXPECT_EQ(report,
              "#space    1    1 :    150 (                         ---> 8 <m>    100.5 s    0.5)  n=0\n");
}

// Spatial test beyond one pass: a run of hot pixels along the middle row
// from the left border loses its right end pixel in every pass, because the
// pixels of a pass are visited from left to right.
IMG hot_run(int32_t length) {
    const int32_t nx = length + 3;
    std::vector<int32_t> values(static_cast<size_t>(3 * nx), 100);
    for (int32_t x = 0; x < length; ++x)
        values[static_cast<size_t>(nx + x)] = 1100;
    IMG img = spatial_image(nx, 3, values);
    img.s_cosmic = 2;
    img.r_cosmic = 1;
    return img;
}

TEST(SpatialTest, ErosionTakesOnePixelPerPassUntilNothingIsNew) {
    IMG img = hot_run(5);
    const std::string report = written_by([&](std::FILE* out) { EXPECT_EQ(xy_space(img, out), 5); });
    for (int32_t x = 0; x < 5; ++x)
        EXPECT_EQ(img.frame[static_cast<size_t>(img.nx + x)], 0) << x;
    // Replaced pixels are replaced again when their neighbours change; those
    // lines carry their earlier replacement count.
    EXPECT_NE(report.find(")  n=1\n"), std::string::npos) << report;
}

TEST(SpatialTest, AtMostTenPasses) {
    IMG img = hot_run(12);
    EXPECT_EQ(xy_space(img, nullptr), 10);
    EXPECT_EQ(img.data[static_cast<size_t>(img.nx)], 1100);
    EXPECT_EQ(img.data[static_cast<size_t>(img.nx + 1)], 1100);
    EXPECT_NE(img.data[static_cast<size_t>(img.nx + 2)], 1100);
}

// ---------------------------------------------------------------- neighbourhood means

TEST(NeighbourhoodMean, UsesUsedPixelsOfTheClippedWindow) {
    IMG img = image_of(3, 2, {1, 2, 3, 4, 5, 6}, 1);
    img.frame[1] = 0;
    int32_t n = -1;
    double var = -7;
    // Around pixel 0: pixels 0, 1, 3, 4, of which 1 is unused.
    EXPECT_DOUBLE_EQ(xy_vmean(img, 0, -1, 1, -1, 1, n, &var), 10.0 / 3);
    EXPECT_EQ(n, 3);
    EXPECT_DOUBLE_EQ(var, (1 + 16 + 25 - 3 * (10.0 / 3) * (10.0 / 3)) / 2);
    // A single pixel leaves the variance alone.
    var = -7;
    EXPECT_DOUBLE_EQ(xy_vmean(img, 5, 0, 0, 0, 0, n, &var), 6);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(var, -7);
    img.frame.assign(6, 0);
    EXPECT_EQ(xy_vmean(img, 4, -1, 1, -1, 1, n, nullptr), 0.0);
    EXPECT_EQ(n, 0);
}

TEST(NeighbourhoodMean, RawSumsAreScaledToTheFrameCountButNormalisedValuesAreNot) {
    IMG img = image_of(2, 1, {95, 105}, 10);
    img.frame[0] = 9; // 95 over 9 of 10 frames counts as 105
    int32_t n = 0;
    EXPECT_DOUBLE_EQ(xy_vmean(img, 0, 0, 1, 0, 0, n, nullptr), 105);
    img.corrected = 1; // the values were normalised already
    EXPECT_DOUBLE_EQ(xy_vmean(img, 0, 0, 1, 0, 0, n, nullptr), 100);
}

TEST(ConditionalMean, OnlyValuesAboveTheThreshold) {
    IMG img = image_of(3, 3, {0, -4, 0, 0, -1, 0, 7, 9, 11}, 1);
    int32_t n = -1;
    EXPECT_EQ(xy_condmean(img, 0, -1, 1, -1, 1, n, 0.0), 0.0);
    EXPECT_EQ(n, 0);
    EXPECT_DOUBLE_EQ(xy_condmean(img, 4, -1, 1, -1, 1, n, 7.0), 10.0);
    EXPECT_EQ(n, 2);
    img.frame.assign(9, 0); // counts do not matter
    EXPECT_DOUBLE_EQ(xy_condmean(img, 7, -1, 1, -1, 1, n, -2.0), 26.0 / 6);
    EXPECT_EQ(n, 6);
}

// ---------------------------------------------------------------- dumps

TEST(PixelDumps, ValueDump) {
    IMG img = image_of(3, 2, {1, -2, 300, 4, 5, 6}, 1);
    EXPECT_EQ(written_by([&](std::FILE* out) { xy_val_dump(img, out, "#C"); }),
              "#C   0 : 1 -2 300\n#C   1 : 4 5 6\n");
    EXPECT_EQ(written_by([&](std::FILE* out) { xy_val_dump(img, out, nullptr); }), " 1 -2 300\n 4 5 6\n");
    xy_val_dump(img, nullptr, "#C"); // no stream, nothing
}

TEST(PixelDumps, SumDump) {
    IMG img = image_of(2, 1, {1234567, -5}, 12);
    img.frame[1] = 3;
    EXPECT_EQ(written_by([&](std::FILE* out) { xy_sum_dump(img, out, "#T(N)"); }),
              "#T(N)   0 : 1234567(12)      -5( 3)\n");
}

TEST(PixelDumps, StatisticsDump) {
    IMG img = image_of(3, 1, {30, 20, 7}, 3);
    img.frame[1] = 2;
    img.frame[2] = 1;
    EXPECT_EQ(written_by([&](std::FILE* out) { xy_sta_dump(img, out, "#M(S)"); }),
              "#M(S)     0 :     10.0(     )     10.0(     )      7.0(     )\n");
    // Frames 9, 10, 11; 8, 12; 7.
    img.cosmic.sumq = {81 + 100 + 121, 64 + 144, 49};
    EXPECT_EQ(written_by([&](std::FILE* out) { xy_sta_dump(img, out, "#M(S)"); }),
              "#M(S)     0 :     10.0(  1.0)     10.0(  2.8)      7.0( *** )\n");
    // Normalised values are divided by the frame count.
    img.corrected = 1;
    img.data = {30, 30, 21};
    EXPECT_EQ(written_by([&](std::FILE* out) { xy_sta_dump(img, out, "#M(S)"); }),
              "#M(S)     0 :     10.0(  1.0)     10.0(  2.8)      7.0( *** )\n");
}

TEST(PixelDumps, StatisticsDumpOfAnUnusedRawPixel) {
    IMG img = image_of(1, 1, {4}, 3);
    img.frame[0] = 0;
    EXPECT_EQ(written_by([&](std::FILE* out) { xy_sta_dump(img, out, "#M(S)"); }),
              "#M(S)     0 :      inf(     )\n");
}

} // namespace
