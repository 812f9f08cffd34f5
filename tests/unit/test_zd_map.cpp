// The fast map-line formatter gives the bytes of printf for every value.
#include "zd_map.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

namespace {

std::string printf_line(double h, double k, double l, int32_t v) {
    char buf[2048];
    const int n =
        std::snprintf(buf, sizeof buf, " %7.4lf %7.4lf %7.4lf %10ld\n", h, k, l, static_cast<long>(v));
    return std::string(buf, static_cast<size_t>(n));
}

std::string fast_line(double h, double k, double l, int32_t v) {
    char buf[map_line_capacity];
    return std::string(buf, map_line(buf, h, k, l, v));
}

// Any double: random bit patterns cover huge, tiny, subnormal and non-finite values.
double random_bits(std::mt19937_64& rng) {
    const uint64_t bits = rng();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

TEST(MapLine, MatchesPrintfOverMillionsOfValues) {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> typical(-20.0, 20.0);
    std::uniform_real_distribution<double> small(-1e-3, 1e-3);
    std::uniform_int_distribution<int64_t> tenth_thousands(-2000000, 2000000);
    std::uniform_int_distribution<int32_t> value(INT32_MIN, INT32_MAX);
    const int rounds = 1000000;
    int mismatches = 0;
    for (int i = 0; i < rounds && mismatches < 5; ++i) {
        // a halfway point n/10^4 + 1/2 * 10^-4, and its neighbours a few ulps off
        const double half = (static_cast<double>(tenth_thousands(rng)) + 0.5) / 10000.0;
        const double near_half = std::nextafter(half, i % 2 ? 1e300 : -1e300);
        const double h = i % 4 == 0 ? half : typical(rng);
        const double k = i % 4 == 1 ? near_half : (i % 64 == 2 ? random_bits(rng) : small(rng));
        const double l = i % 16 == 3 ? std::ldexp(typical(rng), static_cast<int>(rng() % 80) - 40) : half;
        const int32_t v = i % 5 == 0 ? static_cast<int32_t>(rng() % 2000) - 1000 : value(rng);
        const std::string want = printf_line(h, k, l, v);
        const std::string got = fast_line(h, k, l, v);
        if (got != want) {
            ++mismatches;
            ADD_FAILURE() << std::hexfloat << h << " " << k << " " << l << " " << v << "\n got " << got
                          << "want " << want;
        }
    }
}

TEST(MapLine, EdgeValues) {
    const double values[] = {0.0,    -0.0,    0.00005,   -0.00005,  0.03125,   -0.03125, 0.00015,
                             1e-300, -1e-300, 99.99995,  -99.99995, 999.99995, 1e9,      -1e9,
                             1e300,  NAN,     -INFINITY, INFINITY,  4.5e-5,    5.5e-5,   123456.78905};
    const int32_t ints[] = {0, -1, INT32_MIN, INT32_MAX, 999999999, -999999999};
    for (double x : values)
        for (int32_t v : ints)
            EXPECT_EQ(fast_line(x, -x, x, v), printf_line(x, -x, x, v)) << x << " " << v;
}

} // namespace
