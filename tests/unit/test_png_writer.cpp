// Preview images: the colour level on both sides of the display range, the
// range against a sorting reference, the colour map's rising lightness (the
// file read back through libpng is a row of test_interchange_writers).
#include "png_writer.hpp"
#include "read_back.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <random>
#include <tuple>

namespace {

TEST(PreviewLevel, BothSidesOfTheRangeOnBothScales) {
    constexpr XyPreviewScale kLin = XyPreviewScale::linear, kLog = XyPreviewScale::logarithmic;
    const std::tuple<double, XyPreviewScale, int> cases[] = {
        {-5.0, kLin, 0},   {99.0, kLin, 0},     {100.0, kLin, 0},    {101.0, kLin, 0},
        {103.0, kLin, 1},  {600.0, kLin, 128},  {1099.0, kLin, 255}, {1100.0, kLin, 255},
        {1e9, kLin, 255},  {99.0, kLog, 0},     {100.0, kLog, 0},    {101.0, kLog, 26},
        {110.0, kLog, 89}, {1100.0, kLog, 255}, {5000.0, kLog, 255},
    };
    for (const auto& [value, scale, level] : cases)
        EXPECT_EQ(preview_level(value, PreviewRange{100.0, 1100.0}, scale), level)
            << value << " " << static_cast<int>(scale);
}

TEST(PreviewRange, PercentilesOfTheCountedPixelsMatchASortingReference) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 50; ++trial) {
        const int32_t nx = 1 + static_cast<int32_t>(rng() % 40), ny = 1 + static_cast<int32_t>(rng() % 40);
        const IMG img = zt::random_image(nx, ny, -500, static_cast<int32_t>(rng() % 100000), 5, rng());
        std::vector<int32_t> counted;
        for (size_t i = 0; i < img.data.size(); ++i)
            if (img.frame[i] != 0) counted.push_back(img.data[i]);
        const PreviewRange r = preview_range(img);
        if (counted.empty()) {
            EXPECT_EQ(r.low, 0.0);
            EXPECT_EQ(r.high, 1.0);
            continue;
        }
        std::sort(counted.begin(), counted.end());
        const double n1 = static_cast<double>(counted.size() - 1);
        const double low = counted[static_cast<size_t>(0.01 * n1)];
        const double high = counted[static_cast<size_t>(0.995 * n1)];
        EXPECT_EQ(r.low, low);
        EXPECT_EQ(r.high, std::max(high, low + 1.0));
    }
}

TEST(PreviewColour, LightnessRisesFromDarkToBright) {
    double last = -1.0;
    for (int level = 0; level < 256; ++level) {
        const std::array<uint8_t, 3> c = preview_colour(static_cast<uint8_t>(level));
        const double lightness = 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
        EXPECT_GE(lightness, last - 0.75) << level; // rounding to bytes may step back a little
        last = std::max(last, lightness);
    }
    EXPECT_LT(last - (0.2126 * 68 + 0.7152 * 1 + 0.0722 * 84), 255.0);
    EXPECT_GT(preview_colour(255)[0], 200); // yellow at the top
    EXPECT_LT(preview_colour(0)[1], 20);    // dark at the bottom
}

} // namespace
