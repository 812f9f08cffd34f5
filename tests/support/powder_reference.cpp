#include "powder_reference.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace zt {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Sums {
    double v = 0, c = 0, positive = 0;
    int64_t n = 0;
};

double unit_value(PowderUnit unit, double two_theta, double r, double lambda) {
    const double sin_theta = std::sin(two_theta / 2);
    switch (unit) {
    case PowderUnit::two_theta:
        return two_theta * 180 / kPi;
    case PowderUnit::q_angstrom:
        return 4 * kPi * sin_theta / lambda;
    case PowderUnit::q_nm:
        return 10 * 4 * kPi * sin_theta / lambda;
    case PowderUnit::d:
        return lambda / (2 * sin_theta);
    case PowderUnit::r:
        return r;
    }
    return 0;
}

bool within(double chi_degrees, const AzimuthRange& s) {
    double t = chi_degrees - s.from;
    while (t < 0)
        t += 360;
    while (t >= 360)
        t -= 360;
    return s.to - s.from >= 360 || t < s.to - s.from;
}

} // namespace

std::vector<PowderBin> reference_powder(const ReferenceImage& image, const PowderGeometry& g,
                                        const PowderOptions& o, double lo, double hi, int32_t bins,
                                        const AzimuthRange* sector) {
    std::vector<Sums> sums(static_cast<size_t>(bins));
    const double w = (hi - lo) / bins;
    for (int32_t row = 0; row < image.ny; ++row)
        for (int32_t col = 0; col < image.nx; ++col) {
            const size_t i = static_cast<size_t>(row) * image.nx + col;
            if (!image.counts.empty() && image.counts[i] == 0) continue;
            const double dx = (col + 0.5 - g.centre[0]) * g.pixel[0];
            const double dy = (row + 0.5 - g.centre[1]) * g.pixel[1];
            const double r = std::hypot(dx, dy);
            const double two_theta = std::atan2(r, g.distance);
            const double chi = std::atan2(dy, dx);
            if (sector && !within(chi * 180 / kPi, *sector)) continue;
            const double x = unit_value(o.unit, two_theta, r, g.wavelength);
            if (!(x >= lo && x <= hi)) continue;
            const int32_t k = x == hi ? bins - 1 : std::min(bins - 1, static_cast<int32_t>((x - lo) / w));
            double c = 1;
            if (o.solid_angle) c *= std::pow(std::cos(two_theta), 3);
            if (o.polarisation)
                c *= (1 + std::pow(std::cos(two_theta), 2) -
                      o.polarisation_factor * std::cos(2 * chi) * std::pow(std::sin(two_theta), 2)) /
                     2;
            Sums& s = sums[static_cast<size_t>(k)];
            s.v += image.values[i];
            s.c += c;
            s.positive += std::max(image.values[i], 0);
            ++s.n;
        }
    std::vector<PowderBin> filled;
    for (int32_t k = 0; k < bins; ++k) {
        const Sums& s = sums[static_cast<size_t>(k)];
        if (s.n > 0) filled.push_back({lo + (k + 0.5) * w, s.v / s.c, std::sqrt(s.positive) / s.c, s.n});
    }
    return filled;
}

void expect_same_bins(const std::vector<PowderBin>& actual, const std::vector<PowderBin>& expected,
                      double relative, double x_absolute) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t k = 0; k < actual.size(); ++k) {
        const PowderBin &a = actual[k], &e = expected[k];
        EXPECT_EQ(a.pixels, e.pixels) << "bin " << k;
        EXPECT_NEAR(a.x, e.x, relative * std::fabs(e.x) + x_absolute) << "bin " << k;
        EXPECT_NEAR(a.intensity, e.intensity, relative * std::fabs(e.intensity) + 1e-9) << "bin " << k;
        EXPECT_NEAR(a.sigma, e.sigma, relative * e.sigma + 1e-9) << "bin " << k;
    }
}

} // namespace zt
