// The peak search's parameters, region walk and measurement.
#include "zd_pks.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

namespace {

// The walk written as plain recursion: the reference order of visits.
void walk_recursive(int32_t x, int32_t y, int32_t prev, std::vector<int32_t>& d, int32_t nx, int32_t ny,
                    PeakRecord& rec, int32_t dx, int32_t dy) {
    int32_t& pixel = d[static_cast<size_t>(y) * nx + x];
    const int32_t v = pixel;
    if (v <= 0) return;
    if (v > prev) {
        if (dy != 0) {
            rec.out.push_back({x, y, v});
            rec.sum_out += v;
            pixel = 0;
        }
        return;
    }
    rec.in.push_back({x, y, v});
    rec.sum_in += v;
    pixel = 0;
    if (x < nx - 1 && dx >= 0) walk_recursive(x + 1, y, v, d, nx, ny, rec, dx + 1, dy);
    if (y < ny - 1 && dy >= 0) walk_recursive(x, y + 1, v, d, nx, ny, rec, dx, dy + 1);
    if (x > 0 && dx <= 0) walk_recursive(x - 1, y, v, d, nx, ny, rec, dx - 1, dy);
    if (y > 0 && dy <= 0) walk_recursive(x, y - 1, v, d, nx, ny, rec, dx, dy - 1);
}

bool same_pixels(const std::vector<PeakPixel>& a, const std::vector<PeakPixel>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].x != b[i].x || a[i].y != b[i].y || a[i].value != b[i].value) return false;
    return true;
}

TEST(PeakWalk, VisitsInTheOrderOfTheRecursiveWalk) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 3000; ++trial) {
        const int32_t nx = 1 + rng() % 12, ny = 1 + rng() % 12;
        const int32_t levels = 2 + rng() % 6; // few levels: many plateaus and rises
        std::vector<int32_t> data(static_cast<size_t>(nx) * ny);
        for (int32_t& v : data)
            v = static_cast<int32_t>(rng() % levels) - (trial % 3 == 0 ? 1 : 0);
        const int32_t x = rng() % nx, y = rng() % ny;
        const int32_t start = data[static_cast<size_t>(y) * nx + x] + static_cast<int32_t>(rng() % 2);
        std::vector<int32_t> ref_data = data;
        PeakRecord ref, rec;
        walk_recursive(x, y, start, ref_data, nx, ny, ref, 0, 0);
        rec.x_lo = rec.x_hi = x;
        rec.y_lo = rec.y_hi = y;
        explore_peak(x, y, start, data.data(), nx, ny, rec);
        ASSERT_TRUE(same_pixels(rec.in, ref.in)) << "trial " << trial;
        ASSERT_TRUE(same_pixels(rec.out, ref.out)) << "trial " << trial;
        ASSERT_EQ(data, ref_data) << "trial " << trial;
        ASSERT_EQ(rec.sum_in, ref.sum_in);
        ASSERT_EQ(rec.sum_out, ref.sum_out);
        for (const PeakPixel& p : rec.in) {
            ASSERT_TRUE(p.x >= rec.x_lo && p.x <= rec.x_hi && p.y >= rec.y_lo && p.y <= rec.y_hi);
        }
    }
}

TEST(PeakWalk, FollowsAWholePlateauWithoutDeepRecursion) {
    const int32_t nx = 65535, ny = 16; // a million pixels of one value, rows of 65535
    std::vector<int32_t> data(static_cast<size_t>(nx) * ny, 9);
    PeakRecord rec;
    explore_peak(0, 0, 9, data.data(), nx, ny, rec);
    EXPECT_EQ(rec.in.size(), data.size());
    EXPECT_EQ(rec.x_hi, nx - 1);
    EXPECT_EQ(rec.y_hi, ny - 1);
    // x * value summed over the plateau exceeds 32 bits many times over
    EXPECT_EQ(rec.sx, 9.0 * ny * (nx - 1.0) * nx / 2);
}

// ---------------------------------------------------------------- measurement

PeakRecord walked(std::vector<int32_t> data, int32_t nx, int32_t ny) {
    size_t at = 0;
    for (size_t i = 0; i < data.size(); ++i)
        if (data[i] > data[at]) at = i;
    PeakRecord rec;
    rec.x_lo = rec.x_hi = static_cast<int32_t>(at % nx);
    rec.y_lo = rec.y_hi = static_cast<int32_t>(at / nx);
    explore_peak(rec.x_lo, rec.y_lo, data[at], data.data(), nx, ny, rec);
    return rec;
}

TEST(PeakMeasure, SinglePixelAndBlockWithBrightCentre) {
    std::vector<int32_t> one(25, 0);
    one[2 * 5 + 3] = 100;
    PeakRecord r = walked(one, 5, 5);
    PeakMeasure m = measure_peak(r);
    EXPECT_EQ(m.cx, 3);
    EXPECT_EQ(m.cy, 2);
    EXPECT_EQ(m.integral, 100);
    EXPECT_EQ(r.x_hi - r.x_lo + 1, 1);

    std::vector<int32_t> block(49, 0);
    for (int y = 2; y <= 4; ++y)
        for (int x = 1; x <= 3; ++x)
            block[y * 7 + x] = 10;
    block[3 * 7 + 2] = 20;
    r = walked(block, 7, 7);
    m = measure_peak(r);
    EXPECT_EQ(r.in.size(), 9u);
    EXPECT_EQ(m.cx, 2);
    EXPECT_EQ(m.cy, 3);
    EXPECT_EQ(m.integral, 100);
    EXPECT_EQ(r.x_hi - r.x_lo + 1, 3);
    EXPECT_EQ(r.y_hi - r.y_lo + 1, 3);
}

TEST(PeakMeasure, EnclosedBorderPixelsJoinAndBackgroundIsTakenOff) {
    // A peak of 50 over a floor of 5 whose walk meets rises (value 8) below it:
    // the rises reached after a vertical step are border pixels.
    const int32_t nx = 5, ny = 4;
    std::vector<int32_t> d = {5, 5, 5,  5, 5, //
                              5, 6, 50, 6, 5, //
                              5, 8, 4,  8, 5, //
                              5, 5, 8,  5, 5};
    PeakRecord r = walked(d, nx, ny);
    // The three 8s are met after a vertical step; the 5 at (3,3) is never reached
    // (paths stay monotonic in x and y).
    ASSERT_EQ(r.in.size(), 15u);
    ASSERT_EQ(r.out.size(), 3u);
    EXPECT_EQ(r.sum_in, 121);
    const PeakMeasure m = measure_peak(r);
    // (3,2) and (1,2) have three neighbours in the record and join the peak;
    // (2,3) has one (the 4 above it) and stays the only border pixel.
    EXPECT_EQ(m.n_peak, 17);
    EXPECT_EQ(m.n_border, 1);
    EXPECT_DOUBLE_EQ(m.integral, 121 + 16 - 17 * 8.0);
    EXPECT_DOUBLE_EQ(m.cx, (r.sx + 8 * 3 + 8 * 1) / 137);
    EXPECT_DOUBLE_EQ(m.cy, (r.sy + 8 * 2 + 8 * 2) / 137);
    // A background above the sum leaves the sum as it is.
    r.sum_out = 3000;
    EXPECT_EQ(measure_peak(r).integral, 137);
}

// The border pixel (2, 2) of value 8 among peak pixels of 50: it joins the
// peak from three 4-neighbours in the record on (border pixels count,
// diagonal ones do not).
TEST(PeakMeasure, BorderPixelJoinsFromThreeNeighbours) {
    struct Case {
        std::vector<PeakPixel> in, other_border;
        int32_t n_peak, n_border;
        double integral;
    };
    const PeakPixel left{1, 2, 50}, right{3, 2, 50}, up{2, 1, 50}, down{2, 3, 50};
    const Case cases[] = {
        {{left}, {}, 1, 1, 50 - 8},
        {{left, up}, {}, 2, 1, 100 - 2 * 8},
        {{left, up, {1, 1, 50}, {3, 3, 50}}, {}, 4, 1, 200 - 4 * 8},
        {{left, up}, {{3, 2, 8}}, 3, 1, 108 - 3 * 8}, // (3, 2) has one neighbour
        {{left, up, right}, {}, 4, 0, 158},
        {{left, up, right, down}, {}, 5, 0, 208},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        PeakRecord rec;
        for (const PeakPixel& p : c.in) {
            rec.in.push_back(p);
            rec.sum_in += p.value;
            rec.sx += p.x * p.value;
            rec.sy += p.y * p.value;
        }
        rec.out = c.other_border;
        rec.out.push_back({2, 2, 8});
        for (const PeakPixel& p : rec.out)
            rec.sum_out += p.value;
        const PeakMeasure m = measure_peak(rec);
        EXPECT_EQ(m.n_peak, c.n_peak);
        EXPECT_EQ(m.n_border, c.n_border);
        EXPECT_DOUBLE_EQ(m.integral, c.integral);
    }
}

// ---------------------------------------------------------------- parameters

struct ParamCase {
    const char* text;
    int32_t m;
    float o, v;
};

TEST(PeakParams, ReadInOrderAndCorrected) {
    const ParamCase cases[] = {
        {"", 5, 0, 1.5f},
        {"=10", 10, 0, 1.5f},
        {"=10,2", 10, 2, 1.5f},
        {"=10,0.5,2", 10, 0.5f, 2},
        {" ==3,-1,0.5", 3, 0, 1.5f},
        {"=0", 5, 0, 1.5f},
        {"=-4,1,1", 5, 1, 1},
        {"=7,,3", 7, 0, 1.5f},
        {"=x,4,4", 5, 0, 1.5f},
        {"=2,nan,inf", 2, 0, 1.5f},
        {"=99999999999", INT32_MAX, 0, 1.5f},
    };
    for (const ParamCase& c : cases) {
        const PeakParams p = peak_params(c.text);
        EXPECT_EQ(p.m, c.m) << c.text;
        EXPECT_EQ(p.o, c.o) << c.text;
        EXPECT_EQ(p.v, c.v) << c.text;
    }
}

} // namespace
