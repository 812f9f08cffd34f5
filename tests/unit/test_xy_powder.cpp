#include "powder_reference.hpp"
#include "xy_header_geometry.hpp"
#include "xy_powder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

constexpr double kPi = 3.14159265358979323846;

IMG image_of(const zt::ReferenceImage& r) {
    IMG img;
    img.nx = r.nx;
    img.ny = r.ny;
    img.size = r.nx * r.ny;
    img.data = r.values;
    img.frame = r.counts;
    return img;
}

// Rings of known 2θ on a 64 x 64 detector, a wedge of azimuths 30..60 degrees
// masked, both corrections on: every bin as the formulas give it, and the
// strongest bin of each ring at its 2θ.
TEST(PowderProfile, RingsOfKnownTwoThetaWithMaskedWedgeAndBothCorrections) {
    const double rings[] = {10.0, 20.0, 28.0}; // 2θ, degrees
    PowderGeometry g;
    g.distance = 40.0;
    g.pixel[0] = g.pixel[1] = 0.5;
    g.centre[0] = 30.3;
    g.centre[1] = 33.8;
    zt::ReferenceImage ref{64, 64, std::vector<int32_t>(64 * 64, 10), std::vector<uint16_t>(64 * 64, 1)};
    for (int32_t row = 0; row < 64; ++row)
        for (int32_t col = 0; col < 64; ++col) {
            const double dx = (col + 0.5 - g.centre[0]) * 0.5, dy = (row + 0.5 - g.centre[1]) * 0.5;
            const double tth = std::atan2(std::hypot(dx, dy), g.distance) * 180 / kPi;
            const double chi = std::atan2(dy, dx) * 180 / kPi;
            for (const double ring : rings)
                if (std::fabs(tth - ring) < 0.4) ref.values[row * 64 + col] = 1000;
            if (chi >= 30 && chi < 60) ref.counts[row * 64 + col] = 0;
        }
    PowderOptions o;
    o.bins = 100;
    o.range_given = true;
    o.lo = 0;
    o.hi = 40;
    o.solid_angle = o.polarisation = true;
    o.polarisation_factor = 0.9;
    const PowderProfile p = powder_profile(image_of(ref), g, o);
    zt::expect_same_bins(p.filled, zt::reference_powder(ref, g, o, 0, 40, 100));
    int64_t counted = 0, binned = 0;
    for (const uint16_t c : ref.counts)
        counted += c != 0;
    for (const PowderBin& b : p.filled)
        binned += b.pixels;
    EXPECT_EQ(binned, counted); // the wedge is out, every other pixel in
    EXPECT_LT(counted, 64 * 64);
    for (const double ring : rings) {
        const PowderBin* best = nullptr;
        for (const PowderBin& b : p.filled)
            if (std::fabs(b.x - ring) < 2 && (!best || b.intensity > best->intensity)) best = &b;
        ASSERT_NE(best, nullptr);
        EXPECT_NEAR(best->x, ring, 0.4);
    }
}

// An image of the corrections themselves, times 10^6: corrected, every bin
// holds 10^6 (to the rounding of the pixel values).
TEST(PowderProfile, CorrectionsUndoAnImageOfThemselves) {
    PowderGeometry g;
    g.distance = 20.0;
    g.pixel[0] = 0.4;
    g.pixel[1] = 0.6;
    g.centre[0] = 12.0;
    g.centre[1] = 40.0;
    for (const double f : {-1.0, 0.0, 0.95}) {
        PowderOptions o;
        o.solid_angle = o.polarisation = true;
        o.polarisation_factor = f;
        zt::ReferenceImage ref{50, 70, std::vector<int32_t>(50 * 70), {}};
        for (int32_t row = 0; row < 70; ++row)
            for (int32_t col = 0; col < 50; ++col) {
                const double dx = (col + 0.5 - 12.0) * 0.4, dy = (row + 0.5 - 40.0) * 0.6;
                const double tth = std::atan2(std::hypot(dx, dy), 20.0), chi = std::atan2(dy, dx);
                const double c =
                    std::pow(std::cos(tth), 3) *
                    (1 + std::pow(std::cos(tth), 2) - f * std::cos(2 * chi) * std::pow(std::sin(tth), 2)) / 2;
                ref.values[row * 50 + col] = static_cast<int32_t>(std::lround(1e6 * c));
            }
        const PowderProfile p = powder_profile(image_of(ref), g, o);
        ASSERT_FALSE(p.filled.empty());
        for (const PowderBin& b : p.filled)
            EXPECT_NEAR(b.intensity, 1e6, 2.0) << "f " << f << " at " << b.x;
    }
}

// Random shapes, geometries, units, ranges, corrections, masks and sectors:
// the engine's bins are the plain computation's.
TEST(PowderProfile, EqualsThePlainComputationOnRandomInputs) {
    std::mt19937 rng(29);
    auto uniform = [&rng](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
    const PowderUnit units[] = {PowderUnit::two_theta, PowderUnit::q_angstrom, PowderUnit::q_nm,
                                PowderUnit::d, PowderUnit::r};
    for (int trial = 0; trial < 150; ++trial) {
        zt::ReferenceImage ref;
        ref.nx = 1 + static_cast<int32_t>(rng() % 60);
        ref.ny = 1 + static_cast<int32_t>(rng() % 60);
        for (int32_t i = 0; i < ref.nx * ref.ny; ++i) {
            ref.values.push_back(static_cast<int32_t>(rng() % 2000) - 200);
            ref.counts.push_back(static_cast<uint16_t>(rng() % 5 == 0 ? 0 : 1 + rng() % 3));
        }
        PowderGeometry g;
        g.distance = uniform(5, 300);
        g.pixel[0] = uniform(0.05, 1);
        g.pixel[1] = rng() % 2 ? g.pixel[0] : uniform(0.05, 1);
        g.centre[0] = uniform(-20, ref.nx + 20);
        g.centre[1] = uniform(-20, ref.ny + 20);
        g.wavelength = uniform(0.2, 2.5);
        PowderOptions o;
        o.unit = units[trial % 5];
        o.bins = rng() % 3 == 0 ? 0 : 1 + static_cast<int32_t>(rng() % 300);
        o.solid_angle = rng() % 2;
        o.polarisation = rng() % 2;
        o.polarisation_factor = uniform(-1, 1);
        IMG img = image_of(ref);
        double lo = 0, hi = 0;
        powder_default_range(img, g, o.unit, lo, hi);
        if (rng() % 2) {
            o.range_given = true;
            o.lo = lo + uniform(-0.2, 0.5) * (hi - lo);
            o.hi = o.lo + uniform(0.1, 1.0) * (hi - lo);
        }
        const AzimuthRange sector{uniform(-400, 400), 0};
        AzimuthRange s = sector;
        s.to = s.from + uniform(1, 360);
        const AzimuthRange* chosen = rng() % 3 == 0 ? &s : nullptr;
        const PowderProfile p = powder_profile(img, g, o, chosen);
        SCOPED_TRACE("trial " + std::to_string(trial));
        EXPECT_EQ(p.bins, o.bins > 0 ? o.bins : powder_default_bins(img, g));
        zt::expect_same_bins(p.filled, zt::reference_powder(ref, g, o, p.lo, p.hi, p.bins, chosen));
    }
}

// One row of pixel centres at r = 0.5, 1.5, 2.5, 3.5 mm: the bins hold
// [lo + k w, lo + (k + 1) w), the top of the range in the last bin.
TEST(PowderProfile, BinEdgesOnBothSides) {
    struct Case {
        double lo, hi;
        int32_t bins;
        std::vector<int64_t> pixels; // per bin
    };
    const Case cases[] = {
        {1.5, 2.5, 2, {1, 1}},       // lo and hi on pixel centres: both in
        {1.5000001, 2.5, 2, {0, 1}}, // just above the first centre: out
        {1.5, 2.4999999, 2, {1, 0}}, // the last centre just above hi: out
        {0.0, 4.0, 4, {1, 1, 1, 1}}, // one centre per bin
        {0.5, 3.5, 3, {1, 1, 2}},    // 3.5 is hi: in the last bin with 2.5
    };
    zt::ReferenceImage ref{4, 1, {7, 7, 7, 7}, {}};
    PowderGeometry g;
    g.distance = 100;
    g.pixel[0] = g.pixel[1] = 1.0;
    g.centre[1] = 0.5;
    for (const Case& c : cases) {
        PowderOptions o;
        o.unit = PowderUnit::r;
        o.range_given = true;
        o.lo = c.lo;
        o.hi = c.hi;
        o.bins = c.bins;
        const PowderProfile p = powder_profile(image_of(ref), g, o);
        std::vector<int64_t> per_bin(static_cast<size_t>(c.bins), 0);
        for (const PowderBin& b : p.filled)
            per_bin[static_cast<size_t>((b.x - c.lo) / ((c.hi - c.lo) / c.bins))] = b.pixels;
        EXPECT_EQ(per_bin, c.pixels) << "range " << c.lo << " " << c.hi;
    }
}

// The default range and bin count of a detector whose beam centre is a corner.
TEST(PowderProfile, DefaultRangeReachesTheFarthestCorner) {
    IMG img;
    img.nx = 30;
    img.ny = 40;
    PowderGeometry g;
    g.distance = 50;
    g.pixel[0] = g.pixel[1] = 1;
    g.wavelength = 1;
    const double far = 50; // √(30² + 40²)
    EXPECT_EQ(powder_default_bins(img, g), 50);
    const struct {
        PowderUnit unit;
        double lo, hi;
    } cases[] = {
        {PowderUnit::r, 0, far},
        {PowderUnit::two_theta, 0, 45},
        {PowderUnit::q_angstrom, 0, 4 * kPi * std::sin(kPi / 8)},
        {PowderUnit::d, 1 / (2 * std::sin(kPi / 8)), 1 / (2 * std::sin(std::atan2(std::sqrt(0.5), 50) / 2))},
    };
    for (const auto& c : cases) {
        double lo = 0, hi = 0;
        powder_default_range(img, g, c.unit, lo, hi);
        EXPECT_NEAR(lo, c.lo, 1e-9 * std::max(1.0, c.lo));
        EXPECT_NEAR(hi, c.hi, 1e-6 * c.hi);
    }
}

// Header texts of hybrid-pixel detectors and NeXus fields, with and without units.
TEST(HeaderGeometry, ValuesAndUnitsOfHeaderTexts) {
    struct Case {
        const char* key;
        const char* value;
        double x, y; // NAN: not taken
        bool in_mm, assumed;
    };
    const Case cases[] = {
        {"Detector_distance", "0.16000 m", 160, NAN, false, false},
        {"Detector_distance", "160", 160, NAN, false, true},
        {"Detector_distance", "3 pixels", NAN, NAN, false, false},
        {"Detector_distance", "2 parsec", NAN, NAN, false, false},
        {"Pixel_size", "172e-6 m x 172e-6 m", 0.172, 0.172, false, false},
        {"Pixel_size", "75 um", 0.075, 0.075, false, false},
        {"Beam_xy", "(730.00, 865.00) pixels", 730, 865, false, false},
        {"Beam_xy", "(73.0, 86.5) mm", 73, 86.5, true, false},
        {"Beam_xy", "(12, 13)", 12, 13, false, true},
        {"Beam_xy", "(12)", NAN, NAN, false, false},
        {"Wavelength", "0.68890 A", 0.6889, NAN, false, false},
        {"wavelength", "0.1 nm", 1.0, NAN, false, false},
    };
    for (const Case& c : cases) {
        HeaderGeometry g;
        xy_header_text_entry(c.key, c.value, g);
        const std::string key = c.key;
        const HeaderValue& first = key == "Pixel_size"          ? g.pixel_x
                                   : key == "Beam_xy"           ? g.beam_x
                                   : key == "Detector_distance" ? g.distance
                                                                : g.wavelength;
        SCOPED_TRACE(std::string(c.key) + " " + c.value);
        EXPECT_EQ(first.known(), !std::isnan(c.x));
        if (!first.known()) continue;
        EXPECT_NEAR(first.value, c.x, 1e-12 * c.x);
        EXPECT_EQ(first.unit_assumed, c.assumed);
        if (key == "Beam_xy") {
            EXPECT_EQ(g.beam_in_mm, c.in_mm);
        }
        if (!std::isnan(c.y)) {
            EXPECT_NEAR((key == "Beam_xy" ? g.beam_y : g.pixel_y).value, c.y, 1e-12 * c.y);
        }
    }
    // NeXus beam centres are lengths unless their units say pixels.
    HeaderValue v;
    bool in_mm = false;
    ASSERT_TRUE(xy_header_unit_value(HeaderQuantity::beam_nexus, 14.7, "", v, &in_mm));
    EXPECT_TRUE(in_mm);
    ASSERT_TRUE(xy_header_unit_value(HeaderQuantity::beam_nexus, 85.8, "pixel", v, &in_mm));
    EXPECT_FALSE(in_mm);
}

} // namespace
