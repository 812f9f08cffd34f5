// The peak list (%P) and the (h, k, l) map (%H) run as a user would, checked
// against the geometry computed here for the same settings.
#include "7c_cry.hpp"
#include "kvf_writer.hpp"
#include "test_support.hpp"

#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <sstream>

using zt::run_zandor;

namespace {

const double ub[9] = {0.21, -0.04, 0.03, 0.05, 0.18, -0.02, -0.06, 0.02, 0.24};
const double target[3] = {1, -1, 2};
constexpr int nx = 64, ny = 48;
constexpr double orig_x = 20, orig_y = 15, scale = 0.5, distance = 100;

std::vector<std::string> lines_of(const std::string& text) {
    return zt::split_lines(text);
}

std::vector<double> numbers_in(const std::string& line) {
    std::istringstream in(line);
    std::vector<double> v;
    double x;
    while (in >> x)
        v.push_back(x);
    return v;
}

class HklCommands : public zt::InTempDir {
  protected:
    std::string cwd() const { return dir_->path(); }

    // Geometry of the run: UB, wavelength 1, phi and nu fixed; omega, chi and mu
    // bring `target` onto the detector centre (mode 3).
    void SetUp() override {
        zt::InTempDir::SetUp();
        geo_set_defaults(geo);
        for (int i = 0; i < 9; ++i)
            geo.mat_ub[i] = ub[i];
        geo.goniometer[G_PHI] = 30;
        geo.goniometer[G_NU] = 5;
        for (int i = 0; i < 3; ++i)
            geo.hkl_cryst[i] = target[i];
        geo.spec_mode = 3;
        get_angles(geo);
        ASSERT_EQ(geo.hkl.status, HKL_VALID);
        for (int i = 0; i < 6; ++i)
            setting_[i] = geo.hkl.angles[i];
        setting_[G_RX] = distance;
        setting_[G_RY] = setting_[G_RZ] = 0;
    }
    std::string settings(double omega_offset = 0, double nu = 5) const {
        char text[1024];
        std::snprintf(text, sizeof text,
                      "MAT_UB = %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g %.17g\n"
                      "GONIO = 0 %.17g %.17g %.17g\nDETEC = %.17g %.17g %g 0 0\n"
                      "SCALE = %g 0 0 %g\nORIG = %g %g\n",
                      ub[0], ub[1], ub[2], ub[3], ub[4], ub[5], ub[6], ub[7], ub[8],
                      setting_[G_OMEGA] + omega_offset, setting_[G_CHI], setting_[G_PHI], setting_[G_MU], nu,
                      distance, scale, scale, orig_x, orig_y);
        return text;
    }

    // The same geometry in this process, for the detector point of (px, py).
    void index_here(double px, double py, double omega_offset = 0) {
        geo_set_defaults(geo);
        for (int i = 0; i < 9; ++i)
            geo.mat_ub[i] = ub[i];
        for (int i = 0; i < 9; ++i)
            geo.goniometer[i] = setting_[i];
        geo.goniometer[G_OMEGA] += omega_offset;
        geo.goniometer[G_RY] = scale * (px - orig_x);
        geo.goniometer[G_RZ] = scale * (py - orig_y);
        ASSERT_EQ(geo_invert_ub(geo), 0);
        get_hkl(geo);
    }

    // 3 x 3 spots (centre, ring) and single pixels on a zero background.
    std::vector<double> image_with_spots() const {
        std::vector<double> d(nx * ny, 0.0);
        auto spot = [&](int x, int y, double centre, double ring) {
            for (int j = -1; j <= 1; ++j)
                for (int i = -1; i <= 1; ++i)
                    d[(y + j) * nx + x + i] = (i || j) ? ring : centre;
        };
        spot(20, 15, 900, 100); // on the detector centre: the target reflection
        spot(45, 30, 400, 60);
        d[40 * nx + 8] = 100; // a lone pixel: sum 100 < 1.5 x 100, rejected
        return d;
    }

    double setting_[9] = {};
    GeometryState geo;
};

// Every field of each accepted peak as the geometry gives it, to half a unit of
// the printed digit.
TEST_F(HklCommands, PeakListMatchesTheGeometry) {
    zt::write_file("zandor.ini", settings());
    const std::vector<double> pixels = image_with_spots();
    zt::write_kvf(file("img.kvf"), nx, ny, 4, false, {pixels});
    const zt::RunResult r = run_zandor(cwd(), {"img.kvf", "%P", "%Xback.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(
        r.out.find(
            "# output 5 peaks in img.pks (oscillation ampltude o_peak=0.00, v_peak=1.50)\n UB not_spec\n"
            " UB[0]=     0.210000   UB[1]=    -0.040000   UB[2]=     0.030000 \n"),
        std::string::npos)
        << r.out;
    const std::vector<std::string> lines = lines_of(zt::read_file(file("img.pks")));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "#  img.pks");
    EXPECT_EQ(lines[1], "#   px     py       max    sum-bg  wx wy    h       k     l    tth     chi");
    struct Spot {
        double x, y, max, sum;
    } spots[] = {{20, 15, 900, 1700}, {45, 30, 400, 880}};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const std::vector<double> v = numbers_in(lines[2 + i]);
        ASSERT_EQ(v.size(), 11u) << lines[2 + i];
        EXPECT_EQ(v[0], spots[i].x);
        EXPECT_EQ(v[1], spots[i].y);
        EXPECT_EQ(v[2], spots[i].max);
        EXPECT_EQ(v[3], spots[i].sum);
        EXPECT_EQ(v[4], 3);
        EXPECT_EQ(v[5], 3);
        index_here(spots[i].x, spots[i].y);
        ASSERT_EQ(geo.hkl.status, HKL_VALID);
        EXPECT_NEAR(v[6], geo.hkl.h, 5e-4);
        EXPECT_NEAR(v[7], geo.hkl.k, 5e-4);
        EXPECT_NEAR(v[8], geo.hkl.l, 5e-4);
        if (i == 0) {
            EXPECT_NEAR(v[6], target[0], 5e-4);
            EXPECT_NEAR(v[7], target[1], 5e-4);
            EXPECT_NEAR(v[8], target[2], 5e-4);
        }
        for (int k = 0; k < 3; ++k)
            geo.hkl_cryst[k] = (&geo.hkl.h)[k];
        geo.goniometer[G_RY] = geo.goniometer[G_RZ] = 0;
        geo.spec_mode = 3;
        get_angles(geo);
        ASSERT_EQ(geo.hkl.status, HKL_VALID);
        EXPECT_NEAR(v[9], geo.hkl.tth, 5e-5);
        EXPECT_NEAR(v[10], geo.hkl.angles[G_CHI], 5e-5);
        EXPECT_NE(r.out.find(lines[2 + i].substr(0, 40)), std::string::npos); // echoed
    }
    EXPECT_EQ(lines[4], "");
    // the zero maximum after three peaks ends the search without an empty peak
    EXPECT_EQ(lines[5], " 3 peaks explored, 2 only with  sumc >1.50 max");
    EXPECT_EQ(r.out.find("nan"), std::string::npos);
    // the image is whole again after the search
    const std::string written = zt::read_file(file("back.kvf"));
    const std::string original = zt::read_file(file("img.kvf"));
    EXPECT_EQ(written.substr(written.size() - nx * ny * 4), original.substr(original.size() - nx * ny * 4));
}

TEST_F(HklCommands, OmegaScanFindsTheSettingOfIntegerIndices) {
    zt::write_file("zandor.ini", settings(0.3));
    zt::write_kvf(file("img.kvf"), nx, ny, 4, false, {image_with_spots()});
    const zt::RunResult r = run_zandor(cwd(), {"img.kvf", "%P=1,0.5"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = lines_of(zt::read_file(file("img.pks")));
    ASSERT_GE(lines.size(), 4u);
    ASSERT_EQ(lines[3].compare(0, 4, "#HKL"), 0) << lines[3];
    const std::vector<double> v = numbers_in(lines[3].substr(4));
    ASSERT_EQ(v.size(), 4u);
    // steps of 0.025 degree from omega0 - 0.5: the best is 0.3 below omega0
    EXPECT_NEAR(v[0], setting_[G_OMEGA], 1e-3);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(v[1 + i], target[i], 2e-3);
    EXPECT_EQ(r.out.find("#HKL"), r.out.rfind("#HKL")); // one minimum, reported once

    // omega is back at its value for the next peak: its line is the one of a run
    // without a scan
    const zt::RunResult scan = run_zandor(cwd(), {"img.kvf", "%P=2,0.5"});
    const zt::RunResult plain = run_zandor(cwd(), {"img.kvf", "%P=2"});
    ASSERT_EQ(scan.status, 0);
    ASSERT_EQ(plain.status, 0);
    std::string second;
    for (const std::string& line : lines_of(scan.out))
        if (line.compare(0, 10, "   45.0   ") == 0) second = line;
    ASSERT_FALSE(second.empty()) << scan.out;
    EXPECT_NE(plain.out.find(second + "\n"), std::string::npos) << second;
}

TEST_F(HklCommands, EqualMaximaGoLowestIndexFirstAndVDecidesALonePixel) {
    zt::write_file("zandor.ini", settings());
    std::vector<double> d(nx * ny, 0.0);
    d[20 * nx + 3] = 100;
    d[5 * nx + 10] = 100; // the lower index of the two
    zt::write_kvf(file("img.kvf"), nx, ny, 4, false, {d});
    zt::RunResult r = run_zandor(cwd(), {"img.kvf", "%P=5,0,1"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = lines_of(zt::read_file(file("img.pks")));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2].substr(0, 34), "   10.0    5.0      100      100  ");
    EXPECT_EQ(lines[3].substr(0, 34), "    3.0   20.0      100      100  ");
    EXPECT_EQ(lines[5], " 2 peaks explored, 2 only with  sumc >1.00 max");
    r = run_zandor(cwd(), {"img.kvf", "%P"}); // v = 1.5: 100 < 150, both rejected
    ASSERT_EQ(r.status, 0) << r.err;
    lines = lines_of(zt::read_file(file("img.pks")));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], " 2 peaks explored, 0 only with  sumc >1.50 max");
}

TEST_F(HklCommands, UnreachableAnglesSayWhyWithoutStaleNumbers) {
    // nu 50 with the detector at 10 pixels' distance: the spot at (45, 30) sees
    // 2theta near 25 degrees, which no mu reaches with nu fixed at 50.
    zt::write_file("zandor.ini", "DETEC = 0 50 10 0 0\nSCALE = 0.5 0 0 0.5\nORIG = 20 15\n");
    zt::write_kvf(file("img.kvf"), nx, ny, 4, false, {image_with_spots()});
    geo_set_defaults(geo);
    geo.goniometer[G_NU] = 50;
    geo.goniometer[G_RX] = 10;
    geo.goniometer[G_RY] = 12.5;
    geo.goniometer[G_RZ] = 7.5;
    ASSERT_EQ(geo_invert_ub(geo), 0);
    get_hkl(geo);
    ASSERT_EQ(geo.hkl.status, HKL_VALID);
    for (int k = 0; k < 3; ++k)
        geo.hkl_cryst[k] = (&geo.hkl.h)[k];
    geo.spec_mode = 3;
    get_angles(geo);
    ASSERT_EQ(geo.hkl.status, HKL_DETECTOR_RANGE);

    const zt::RunResult r = run_zandor(cwd(), {"img.kvf", "%P=2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = lines_of(zt::read_file(file("img.pks")));
    ASSERT_GE(lines.size(), 4u);
    const std::string end = " ERROR: invalid due to detector range";
    ASSERT_GT(lines[3].size(), end.size());
    EXPECT_EQ(lines[3].substr(lines[3].size() - end.size()), end);
    // centroid, max, sum, box and h k l only: no angle from an earlier state
    EXPECT_EQ(numbers_in(lines[3].substr(0, lines[3].size() - end.size())).size(), 9u) << lines[3];
    EXPECT_NE(r.out.find(lines[3] + "\n"), std::string::npos);
}

TEST_F(HklCommands, NegativeImageEndsWithoutEmptyPeaks) {
    zt::write_file("zandor.ini", settings());
    zt::write_kvf(file("img.kvf"), 4, 3, 4, false, {std::vector<double>(12, -5.0)});
    const zt::RunResult r = run_zandor(cwd(), {"img.kvf", "%P=3,0,1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string pks = zt::read_file(file("img.pks"));
    EXPECT_EQ(lines_of(pks).size(), 4u) << pks;
    EXPECT_NE(pks.find("\n 0 peaks explored, 0 only with  sumc >1.00 max\n"), std::string::npos) << pks;
    EXPECT_EQ(r.out.find("nan"), std::string::npos);
}

// A plateau is followed whole; under a 1 MiB stack a walk that recursed per
// pixel would overflow: along a row of 65535 pixels it goes 65535 calls deep.
TEST_F(HklCommands, PlateauAlongRowsOf65535PixelsUnderASmallStack) {
    zt::write_file("zandor.ini", "ORIG = 1 1\n");
    const int w = 65535, h = 3;
    zt::write_kvf(file("flat.kvf"), w, h, 4, false, {std::vector<double>(w * h, 7.0)});
    zt::write_kvf(file("small.kvf"), 20, 10, 4, false, {std::vector<double>(200, 7.0)});
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_STACK, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 1024 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_STACK, &small), 0); // inherited by the child
    const zt::RunResult big = run_zandor(cwd(), {"flat.kvf", "%P=1"});
    const zt::RunResult little = run_zandor(cwd(), {"small.kvf", "%P=1"});
    ::setrlimit(RLIMIT_STACK, &old);
    ASSERT_EQ(big.status, 0) << big.err;
    ASSERT_EQ(little.status, 0) << little.err;
    const std::vector<double> b = numbers_in(lines_of(zt::read_file(file("flat.pks")))[2]);
    const std::vector<double> s = numbers_in(lines_of(zt::read_file(file("small.pks")))[2]);
    ASSERT_GE(b.size(), 6u);
    ASSERT_GE(s.size(), 6u);
    // the same shape of result: centroid at the middle, all pixels, full box
    EXPECT_EQ(s[0], 9.5);
    EXPECT_EQ(s[1], 4.5);
    EXPECT_EQ(s[3], 1400);
    EXPECT_EQ(s[4], 20);
    EXPECT_EQ(s[5], 10);
    EXPECT_EQ(b[0], 32767.0);
    EXPECT_EQ(b[1], 1.0);
    EXPECT_EQ(b[3], 7.0 * w * h);
    EXPECT_EQ(b[4], w);
    EXPECT_EQ(b[5], h);
}

// ---------------------------------------------------------------- the map

TEST_F(HklCommands, MapLinesAndEchoedPixelsMatchTheGeometry) {
    zt::write_file("zandor.ini", settings());
    std::vector<double> pixels(15);
    for (int i = 0; i < 15; ++i)
        pixels[i] = i * 1000 - 3;
    zt::write_kvf(file("five.kvf"), 5, 3, 4, false, {pixels});
    const zt::RunResult r = run_zandor(cwd(), {"five.kvf", "%H"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" printing ascii map in five.map\n"), std::string::npos);
    const std::vector<std::string> lines = lines_of(zt::read_file(file("five.map")));
    ASSERT_EQ(lines.size(), 15u);
    std::vector<std::string> echoed;
    for (const std::string& line : lines_of(r.out))
        if (line.find("R(") != std::string::npos) echoed.push_back(line);
    ASSERT_EQ(echoed.size(), 9u);
    size_t e = 0;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            // ORIG (20, 15) is the default only when 0: here it stays as set
            index_here(x, y);
            char want[256];
            std::snprintf(want, sizeof want, " %7.4lf %7.4lf %7.4lf %10ld", geo.hkl.h, geo.hkl.k, geo.hkl.l,
                          static_cast<long>(pixels[y * 5 + x]));
            EXPECT_EQ(lines[y * 5 + x], want) << x << " " << y;
            if (x % 2 == 0) {
                std::snprintf(want, sizeof want, " %4d*%4d R(%7.2f,%7.2f,%7.2f)  %8.4lf %8.4lf %8.4lf %10ld",
                              x, y, distance, scale * (x - orig_x), scale * (y - orig_y), geo.hkl.h,
                              geo.hkl.k, geo.hkl.l, static_cast<long>(pixels[y * 5 + x]));
                ASSERT_LT(e, echoed.size());
                EXPECT_EQ(echoed[e++], want);
            }
        }
}

TEST_F(HklCommands, SinglePixelMapEchoesItOnceAtTheDefaultCentre) {
    zt::write_file("zandor.ini", "SPEC_UB = 1\n");
    zt::write_kvf(file("one.kvf"), 1, 1, 4, false, {{42}});
    const zt::RunResult r = run_zandor(cwd(), {"one.kvf", "%H"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" UB spec_mode(2Pi)\n"), std::string::npos);
    // ORIG 0 becomes half the width: the pixel sits 0.5 from the centre
    EXPECT_NE(r.out.find("    0*   0 R(   1.00,  -0.50,  -0.50)  "), std::string::npos) << r.out;
    EXPECT_EQ(lines_of(zt::read_file(file("one.map"))).size(), 1u);
}

// ---------------------------------------------------------------- refusals and output places

TEST_F(HklCommands, GeometryThatCannotIndexIsRefusedBeforeAnyFile) {
    zt::write_kvf(file("img.kvf"), 4, 3, 4, false, {std::vector<double>(12, 5.0)});
    const struct {
        const char* settings;
        const char* message;
    } cases[] = {
        {"MAT_UB = 1 2 3 2 4 6 0 0 1\n", "the orientation matrix MAT_UB is singular"},
        {"LAMBDA = 0\n", "invalid wavelength LAMBDA = 0"},
        {"LAMBDA = 5e-05\n", "invalid wavelength LAMBDA = 5e-05"},
        {"GONIO = 0 nan 0 0\n", "GONIO holds a value that is not a finite number"},
        {"ORIG = inf 3\n", "ORIG holds a value that is not a finite number"},
    };
    for (const auto& c : cases)
        for (const char* word : {"%P", "%H"}) {
            zt::write_file("zandor.ini", c.settings);
            const zt::RunResult r = run_zandor(cwd(), {"img.kvf", word});
            EXPECT_EQ(r.status, 3) << word << " " << c.settings;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
            EXPECT_FALSE(zt::file_exists(file("img.pks")));
            EXPECT_FALSE(zt::file_exists(file("img.map")));
        }
    zt::write_file("zandor.ini", "MAT_UB = 1 2 3 2 4 6 0 0 1\n");
    EXPECT_NE(run_zandor(cwd(), {"img.kvf", "%H"}).err.find(" Failed inverting 3*3 matrix!\n"),
              std::string::npos);
}

TEST_F(HklCommands, ResultsGoToOutOrTheCurrentDirectory) {
    zt::write_kvf(file("img.kvf"), 4, 3, 4, false, {std::vector<double>(12, 5.0)});
    ASSERT_EQ(::mkdir(file("res").c_str(), 0755), 0);
    zt::write_file("zandor.ini", "OUT = res\n");
    EXPECT_EQ(run_zandor(cwd(), {"img.kvf", "%P", "%H"}).status, 0);
    EXPECT_TRUE(zt::file_exists(file("res/img.pks")));
    EXPECT_TRUE(zt::file_exists(file("res/img.map")));
    zt::write_file("zandor.ini", "OUT =\n");
    EXPECT_EQ(run_zandor(cwd(), {"img.kvf", "%P", "%H"}).status, 0);
    EXPECT_TRUE(zt::file_exists(file("img.pks")));
    EXPECT_TRUE(zt::file_exists(file("img.map")));
    zt::write_file("zandor.ini", "OUT = no/such/dir\n");
    for (const char* word : {"%P", "%H"}) {
        const zt::RunResult r = run_zandor(cwd(), {"img.kvf", word});
        EXPECT_EQ(r.status, 3);
        EXPECT_NE(r.err.find("unable to create"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("no/such/dir/img."), std::string::npos) << r.err;
    }
}

} // namespace
