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

PowderOptions options(PowderUnit unit, int32_t bins, double lo, double hi, double f = NAN) {
    PowderOptions o;
    o.unit = unit;
    o.bins = bins;
    o.range_given = lo < hi;
    o.lo = lo;
    o.hi = hi;
    o.solid_angle = o.polarisation = !std::isnan(f);
    o.polarisation_factor = std::isnan(f) ? 0 : f;
    return o;
}

// Rings of known 2θ on an image of the corrections themselves (times 10^6,
// times 2 on the rings), a wedge of azimuths 30..60 degrees masked: every bin
// as the formulas give it, the wedge out and every other pixel in; corrected,
// the bins away from the rings hold 10^6 and the bins within them 2 10^6.
TEST(PowderProfile, CorrectionsUndoAnImageOfThemselvesWithRingsAndAMaskedWedge) {
    const double rings[] = {10.0, 20.0, 28.0}; // 2θ, degrees, each 0.8 wide
    const PowderGeometry g{40, {0.5, 0.5}, {30.3, 33.8}};
    for (const double f : {-1.0, 0.0, 0.95}) {
        zt::ReferenceImage ref{64, 64, std::vector<int32_t>(64 * 64), std::vector<uint16_t>(64 * 64, 1)};
        for (int32_t i = 0; i < 64 * 64; ++i) {
            const double dx = (i % 64 + 0.5 - g.centre[0]) * 0.5, dy = (i / 64 + 0.5 - g.centre[1]) * 0.5;
            const double tth = std::atan2(std::hypot(dx, dy), g.distance), chi = std::atan2(dy, dx);
            const double c =
                std::pow(std::cos(tth), 3) *
                (1 + std::pow(std::cos(tth), 2) - f * std::cos(2 * chi) * std::pow(std::sin(tth), 2)) / 2;
            bool on_ring = false;
            for (const double ring : rings)
                on_ring = on_ring || std::fabs(tth * 180 / kPi - ring) < 0.4;
            ref.values[i] = static_cast<int32_t>(std::lround(1e6 * c * (on_ring ? 2 : 1)));
            if (chi * 180 / kPi >= 30 && chi * 180 / kPi < 60) ref.counts[i] = 0;
        }
        const PowderOptions o = options(PowderUnit::two_theta, 100, 0, 40, f);
        const PowderProfile p = powder_profile(image_of(ref), g, o);
        zt::expect_same_bins(p.filled, zt::reference_powder(ref, g, o, 0, 40, 100));
        int64_t counted = 0, binned = 0;
        for (const uint16_t c : ref.counts)
            counted += c != 0;
        for (const PowderBin& b : p.filled) {
            binned += b.pixels;
            double nearest = 90; // of the bin's centre to a ring's
            for (const double ring : rings)
                nearest = std::min(nearest, std::fabs(b.x - ring));
            if (nearest < 0.25 || nearest > 0.55) {
                EXPECT_NEAR(b.intensity, nearest < 0.25 ? 2e6 : 1e6, 4.0) << "f " << f << " at " << b.x;
            }
        }
        EXPECT_EQ(binned, counted);
        EXPECT_LT(counted, 64 * 64);
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
        ref.ny = 1 + static_cast<int32_t>(rng() % 160); // up to three blocks of rows
        for (int32_t i = 0; i < ref.nx * ref.ny; ++i) {
            ref.values.push_back(static_cast<int32_t>(rng() % 2000) - 200);
            ref.counts.push_back(static_cast<uint16_t>(rng() % 5 == 0 ? 0 : 1 + rng() % 3));
        }
        const double px = uniform(0.05, 1), py = rng() % 2 ? px : uniform(0.05, 1);
        const double cx = uniform(-20, ref.nx + 20), cy = uniform(-20, ref.ny + 20);
        const PowderGeometry g{uniform(5, 300), {px, py}, {cx, cy}, uniform(0.2, 2.5)};
        const int32_t bins = rng() % 3 == 0 ? 0 : 1 + static_cast<int32_t>(rng() % 300);
        PowderOptions o = options(units[trial % 5], bins, 0, 0, rng() % 2 ? uniform(-1, 1) : NAN);
        o.solid_angle = rng() % 2;
        o.threads = 1 + trial % 3;
        IMG img = image_of(ref);
        double lo = 0, hi = 0;
        powder_default_range(img, g, o.unit, lo, hi);
        if (rng() % 2) {
            o.range_given = true;
            o.lo = lo + uniform(-0.2, 0.5) * (hi - lo);
            o.hi = o.lo + uniform(0.1, 1.0) * (hi - lo);
        }
        AzimuthRange s{uniform(-400, 400), 0};
        s.to = s.from + uniform(1, 360);
        const AzimuthRange* sector = rng() % 3 == 0 ? &s : nullptr;
        const PowderProfile p = powder_profile(img, g, o, sector);
        SCOPED_TRACE("trial " + std::to_string(trial));
        EXPECT_EQ(p.bins, o.bins > 0 ? o.bins : powder_default_bins(img, g));
        zt::expect_same_bins(p.filled, zt::reference_powder(ref, g, o, p.lo, p.hi, p.bins, sector));
    }
}

// One row of pixel centres at r = 0.5, 1.5, 2.5, 3.5 mm, in every unit: a range
// from the value of the second centre to the third's holds both (the top of
// the range in the last bin); moved one step of the floating-point numbers
// inward at either end, it leaves out the centre at that end.
TEST(PowderProfile, BinEdgesOnPixelCentresInEveryUnit) {
    const struct {
        int lo_step, hi_step;        // a nextafter step of lo and hi (or none)
        std::vector<int64_t> pixels; // per bin, low values first
    } cases[] = {{0, 0, {1, 1}}, {1, 0, {0, 1}}, {0, -1, {1, 0}}, {-1, 1, {1, 1}}};
    const zt::ReferenceImage ref{4, 1, {7, 7, 7, 7}, {}};
    const PowderGeometry g{100, {1, 1}, {0, 0.5}, 1.2};
    for (const PowderUnit unit :
         {PowderUnit::r, PowderUnit::two_theta, PowderUnit::q_angstrom, PowderUnit::q_nm, PowderUnit::d}) {
        const double second = powder_value(unit, 1.5, g), third = powder_value(unit, 2.5, g);
        for (const auto& c : cases) {
            double lo = std::min(second, third), hi = std::max(second, third);
            lo = c.lo_step ? std::nextafter(lo, c.lo_step * INFINITY) : lo;
            hi = c.hi_step ? std::nextafter(hi, c.hi_step * INFINITY) : hi;
            const PowderProfile p = powder_profile(image_of(ref), g, options(unit, 2, lo, hi));
            std::vector<int64_t> per_bin(2, 0);
            for (const PowderBin& b : p.filled)
                per_bin[b.x < 0.5 * (lo + hi) ? 0 : 1] = b.pixels;
            EXPECT_EQ(per_bin, c.pixels) << powder_unit_label(unit) << " " << c.lo_step << " " << c.hi_step;
        }
    }
    // In r, the centres on the inner edges of [0.5, 3.5] in 3 bins go to the
    // upper bin, the one on the top of the range to the last.
    std::vector<int64_t> per_bin;
    for (const PowderBin& b : powder_profile(image_of(ref), g, options(PowderUnit::r, 3, 0.5, 3.5)).filled)
        per_bin.push_back(b.pixels);
    EXPECT_EQ(per_bin, (std::vector<int64_t>{1, 1, 2}));
}

// The default range and bin count of a detector whose beam centre is a corner.
TEST(PowderProfile, DefaultRangeReachesTheFarthestCorner) {
    IMG img;
    img.nx = 30;
    img.ny = 40;
    const PowderGeometry g{50, {1, 1}, {0, 0}, 1};
    EXPECT_EQ(powder_default_bins(img, g), 50); // √(30² + 40²)
    const struct {
        PowderUnit unit;
        double lo, hi;
    } cases[] = {
        {PowderUnit::r, 0, 50},
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

// Header texts of hybrid-pixel detectors and NeXus fields, with and without
// units: the first value (and the second of a pair) or nothing taken.
TEST(HeaderGeometry, ValuesAndUnitsOfHeaderTexts) {
    const struct {
        const char* key;
        const char* value;
        double x, y; // NAN: not taken
        bool in_mm, assumed;
    } cases[] = {
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
    for (const auto& c : cases) {
        HeaderGeometry g;
        xy_header_text_entry(c.key, c.value, g);
        const std::string key = c.key;
        const bool beam = key == "Beam_xy", pixel = key == "Pixel_size";
        const HeaderValue& first = pixel                        ? g.pixel_x
                                   : beam                       ? g.beam_x
                                   : key == "Detector_distance" ? g.distance
                                                                : g.wavelength;
        SCOPED_TRACE(key + " " + c.value);
        EXPECT_EQ(first.known(), !std::isnan(c.x));
        if (!first.known()) continue;
        EXPECT_NEAR(first.value, c.x, 1e-12 * c.x);
        EXPECT_EQ(first.unit_assumed, c.assumed);
        EXPECT_EQ(g.beam_in_mm, c.in_mm);
        if (!std::isnan(c.y)) {
            EXPECT_NEAR((beam ? g.beam_y : g.pixel_y).value, c.y, 1e-12 * c.y);
        }
    }
    // NeXus beam centres are lengths unless their units say pixels.
    for (const bool pixels : {false, true}) {
        HeaderValue v;
        bool in_mm = pixels;
        ASSERT_TRUE(xy_header_unit_value(HeaderQuantity::beam_nexus, 14.7, pixels ? "pixel" : "", v, &in_mm));
        EXPECT_EQ(in_mm, !pixels);
    }
}

} // namespace
