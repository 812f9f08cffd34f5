// %Q through the binary: the .xy profile against the plain computation of the
// image zandor itself wrote (region, binning and orientation applied), the
// geometry's sources and refusals, the NeXus file read back with libhdf5,
// sectors, the plot, and the real detector files whose headers carry a geometry.
#include "kvf_reader.hpp"
#include "kvf_writer.hpp"
#include "powder_reference.hpp"
#include "test_support.hpp"

#include <hdf5.h>

#include <cmath>
#include <sstream>
#include <sys/stat.h>

namespace {

using zt::contains_line;

class Powder : public zt::InTempDir {
  protected:
    zt::RunResult run(const std::vector<std::string>& words, const std::string& settings,
                      const std::vector<std::string>& env = {}) {
        zt::write_file(file("zandor.ini"), settings);
        return zt::run_zandor(dir_->path(), words, "", "zandor", env);
    }
    // A 48 x 36 int32 image of three rings around (20.3, 15.6) with a slope.
    void write_rings(const std::string& name, const std::vector<std::string>& header = {}) {
        std::vector<double> values;
        for (int32_t y = 0; y < 36; ++y)
            for (int32_t x = 0; x < 48; ++x) {
                const double r = std::hypot(x + 0.5 - 20.3, y + 0.5 - 15.6);
                values.push_back(50 + x + 900 * (std::fabs(std::fmod(r, 9.0) - 4.5) < 0.8));
            }
        zt::write_kvf(file(name), 48, 36, 4, false, {values}, header);
    }
};

std::vector<PowderBin> read_xy(const std::string& path) {
    std::vector<PowderBin> bins;
    std::istringstream in(zt::read_file(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        PowderBin b;
        std::istringstream(line) >> b.x >> b.intensity >> b.sigma >> b.pixels;
        bins.push_back(b);
    }
    return bins;
}

// The .xy keeps 6 decimals of x and 8 digits of I and σ.
void expect_xy_bins(const std::vector<PowderBin>& xy, const std::vector<PowderBin>& expected) {
    ASSERT_EQ(xy.size(), expected.size());
    for (size_t k = 0; k < xy.size(); ++k) {
        EXPECT_EQ(xy[k].pixels, expected[k].pixels) << k;
        EXPECT_NEAR(xy[k].x, expected[k].x, 1e-6) << k;
        EXPECT_NEAR(xy[k].intensity, expected[k].intensity, 1e-7 * std::fabs(expected[k].intensity)) << k;
        EXPECT_NEAR(xy[k].sigma, expected[k].sigma, 1e-7 * expected[k].sigma) << k;
    }
}

zt::ReferenceImage reference_of(const zt::KvfImage& image) {
    return {image.width, image.height, image.values, {}};
}

// The beam centre goes through the region, the binning and the mirror as
// ORIG does; the pixels are binned; both corrections and a bin range.
TEST_F(Powder, ProfileOfTheImageAsReadThroughRegionBinningAndMirror) {
    write_rings("rings.kvf");
    const zt::RunResult r = run({"rings.kvf", "%Xread.kvf", "%Q"},
                                "X_MIN = 3\nX_MAX = 45\nY_MIN = 2\nX_BIND = 2\nXY_ORIEN = -X,Y\n"
                                "DISTANCE = 35\nPIXEL_SIZE = 0.3 0.25\nBEAM_CENTER = 20.3 15.6\n"
                                "SOLID_ANGLE = 1\nPOLARIZATION = 0.7\nPOWDER_BINS = 60\n"
                                "POWDER_RANGE = 2 18\nPOWDER_PLOT = 0\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const zt::KvfImage read = zt::read_kvf32(file("read.kvf"));
    ASSERT_EQ(read.width, 21);
    PowderGeometry g;
    g.distance = 35;
    g.pixel[0] = 0.6;
    g.pixel[1] = 0.25;
    g.centre[0] = 21 - (20.3 - 3) / 2; // mirrored columns
    g.centre[1] = 15.6 - 2;
    PowderOptions o;
    o.solid_angle = o.polarisation = true;
    o.polarisation_factor = 0.7;
    expect_xy_bins(read_xy(file("rings.xy")), zt::reference_powder(reference_of(read), g, o, 2, 18, 60));
    EXPECT_NE(r.out.find("# beam centre 20.3 15.6 pixels -> 12.35 13.6 in the image (setting BEAM_CENTER)"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(contains_line(r.out, "# corrections: solid angle (cos^3 2theta), polarisation (factor 0.7)"));
}

// Masked pixels (frame count 0) are out; the geometry comes from the kvf
// header's hybrid-pixel keys, the settings win over them; sectors give one
// file each, and the NeXus file holds the same bins.
TEST_F(Powder, MaskHeaderGeometrySectorsAndNexus) {
    ASSERT_EQ(::mkdir(file("out").c_str(), 0755), 0);
    write_rings("rings.kvf", {"Detector_distance = 0.05 m", "Pixel_size = 200e-6 m x 200e-6 m",
                              "Beam_xy = (20.3, 15.6) pixels", "Wavelength = 1.5406 A"});
    const zt::RunResult r = run({"rings.kvf", "%Xread.kvf", "%Qout/prof.nxs"},
                                "C_EXCLUDED = 30 20 6 QUIET\nPIXEL_SIZE = 0.25\nPOWDER_UNIT = q\n"
                                "POWDER_SECTORS = -45 45, 90 270\nPOWDER_PLOT = 0\nOUT = out\n"
                                "POWDER_BINS = 50\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# distance 50 mm (header Detector_distance 0.05 m)"));
    EXPECT_TRUE(contains_line(r.out, "# pixel 0.25 x 0.25 mm (setting PIXEL_SIZE)"));
    EXPECT_TRUE(contains_line(r.out, "# wavelength 1.5406 A (header Wavelength 1.5406 A)"));
    zt::ReferenceImage ref = reference_of(zt::read_kvf32(file("out/read.kvf")));
    ref.counts.assign(ref.values.size(), 1);
    for (int32_t y = 0; y < 36; ++y)
        for (int32_t x = 0; x < 48; ++x)
            if ((x - 30) * (x - 30) + (y - 20) * (y - 20) <= 36) ref.counts[y * 48 + x] = 0;
    PowderGeometry g;
    g.distance = 50;
    g.pixel[0] = g.pixel[1] = 0.25;
    g.centre[0] = 20.3;
    g.centre[1] = 15.6;
    g.wavelength = 1.5406;
    PowderOptions o;
    o.unit = PowderUnit::q_angstrom;
    IMG shape;
    shape.nx = 48;
    shape.ny = 36;
    double lo = 0, hi = 0;
    powder_default_range(shape, g, o.unit, lo, hi);
    const AzimuthRange sectors[] = {{-45, 45}, {90, 270}};
    hid_t h5 = H5Fopen(file("out/prof.nxs").c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    ASSERT_GE(h5, 0);
    for (int s = 0; s < 2; ++s) {
        const std::vector<PowderBin> expected = zt::reference_powder(ref, g, o, lo, hi, 50, &sectors[s]);
        expect_xy_bins(read_xy(file("out/prof_sector" + std::to_string(s + 1) + ".xy")), expected);
        const std::string group = "/entry/sector" + std::to_string(s + 1);
        std::vector<double> q(expected.size()), intensity(expected.size());
        hid_t set = H5Dopen2(h5, (group + "/q").c_str(), H5P_DEFAULT);
        ASSERT_GE(H5Dread(set, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, q.data()), 0);
        char units[16] = {};
        hid_t attr = H5Aopen(set, "units", H5P_DEFAULT);
        hid_t type = H5Aget_type(attr);
        ASSERT_LT(H5Tget_size(type), sizeof units);
        H5Aread(attr, type, units);
        EXPECT_STREQ(units, "1/angstrom");
        H5Tclose(type);
        H5Aclose(attr);
        H5Dclose(set);
        set = H5Dopen2(h5, (group + "/intensity").c_str(), H5P_DEFAULT);
        ASSERT_GE(H5Dread(set, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, intensity.data()), 0);
        H5Dclose(set);
        for (size_t k = 0; k < expected.size(); ++k) {
            EXPECT_NEAR(q[k], expected[k].x, 1e-12);
            EXPECT_NEAR(intensity[k], expected[k].intensity, 1e-9 * std::fabs(expected[k].intensity));
        }
    }
    H5Fclose(h5);
    EXPECT_FALSE(zt::file_exists(file("out/prof.png")));
}

// What is missing is named, and nothing is written; 2θ needs no wavelength,
// q does; out-of-range settings are refused.
TEST_F(Powder, MissingOrBadGeometryStopsTheCommand) {
    write_rings("rings.kvf");
    const std::string geometry = "DISTANCE = 35\nPIXEL_SIZE = 0.3\nBEAM_CENTER = 20 15\nPOWDER_PLOT = 0\n";
    const struct {
        std::string settings;
        int status;
        const char* message;
    } cases[] = {
        {"", 3, "needs DISTANCE (mm), PIXEL_SIZE (mm), BEAM_CENTER (pixels): neither"},
        {"DISTANCE = 35\n", 3, "needs PIXEL_SIZE (mm), BEAM_CENTER (pixels): neither"},
        {geometry + "POWDER_UNIT = Q_NM\n", 3, "needs LAMBDA (A): neither"},
        {geometry + "POWDER_UNIT = Q_NM\nLAMBDA = 0.7\n", 0, "# wavelength 0.7 A (setting LAMBDA)"},
        {geometry, 0, "# wavelength not known (not needed in this unit)"},
        {geometry + "POLARIZATION = 1\n", 0, "polarisation (factor 1)"},
        {geometry + "POLARIZATION = 1.01\n", 3, "POLARIZATION = 1.01 is not a polarisation factor"},
        {geometry + "POWDER_UNIT = theta\n", 3, "POWDER_UNIT = theta is not a unit"},
        {geometry + "POWDER_RANGE = 5 5\n", 3, "range 5 to 5 of the powder profile holds no bin"},
        {geometry + "POWDER_SECTORS = 10 370\n", 0, "azimuth 10 to 370 deg"},
        {geometry + "POWDER_SECTORS = 10 370.5\n", 3, "sector 10 to 370.5 is empty or wider than 360"},
        {geometry + "DISTANCE = 0\n", 3, "not a detector geometry"},
    };
    for (const auto& c : cases) {
        std::remove(file("rings.xy").c_str());
        std::remove(file("rings_sector1.xy").c_str());
        const zt::RunResult r = run({"rings.kvf", "%Q"}, c.settings);
        EXPECT_EQ(r.status, c.status) << c.settings << r.err;
        EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << c.settings << r.out << r.err;
        EXPECT_EQ(zt::file_exists(file("rings.xy")) || zt::file_exists(file("rings_sector1.xy")),
                  c.status == 0);
    }
}

// The plot is a PNG when gnuplot is on the PATH, else a one-line note.
TEST_F(Powder, PlotWithGnuplotOrANote) {
    write_rings("rings.kvf");
    const std::string settings = "DISTANCE = 35\nPIXEL_SIZE = 0.3\nBEAM_CENTER = 20 15\n";
    zt::RunResult r = run({"rings.kvf", "%Q"}, settings, {"PATH=/nonexistent"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.err, "# gnuplot not found: no plot rings.png"));
    EXPECT_FALSE(zt::file_exists(file("rings.png")));
    if (std::system("command -v gnuplot >/dev/null") != 0) GTEST_SKIP() << "gnuplot absent";
    r = run({"rings.kvf", "%Q"}, settings);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt::read_file(file("rings.png")).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

// Real detector files: every value of the geometry from the header, with its
// unit converted; the pattern's peaks where the sample's lattice puts them.
TEST_F(Powder, RealFilesProfiledWithTheirHeaderGeometry) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    zt::RunResult r =
        run({root + "/modern/l-cyst_01_00001.cbf", "%Qcyst"}, "POWDER_PLOT = 0\nPOWDER_UNIT = D\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# distance 160 mm (header Detector_distance 0.16000 m)"));
    EXPECT_TRUE(contains_line(r.out, "# pixel 0.172 x 0.172 mm (header Pixel_size 172e-6 m x 172e-6 m)"));
    EXPECT_TRUE(contains_line(
        r.out,
        "# beam centre 730 865 pixels -> 730 865 in the image (header Beam_xy (730.00, 865.00) pixels)"));
    EXPECT_TRUE(contains_line(r.out, "# wavelength 0.6889 A (header Wavelength 0.68890 A)"));
    int64_t pixels = 0;
    for (const PowderBin& b : read_xy(file("cyst.xy")))
        pixels += b.pixels;
    EXPECT_EQ(pixels, 1475 * 1679); // the default range holds every pixel

    // NeXus lengths without units are taken as mm, a beam centre in mm is
    // divided by the pixel size.
    r = run({root + "/modern/AgBehenate_228.hdf5", "%Qagbe"}, "POWDER_PLOT = 0\nPOWDER_UNIT = Q\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out,
                              "# distance 513.8 mm (header /entry/instrument/detector/distance = 513.8 "
                              "(no unit: mm assumed))"));
    EXPECT_NE(
        r.out.find("# beam centre 85.86 -5.42 pixels -> 85.86 -5.42 in the image (header "
                   "/entry/instrument/detector/beam_center_x = 14.7679 (no unit: mm assumed), divided by "
                   "the pixel width)"),
        std::string::npos)
        << r.out;
    EXPECT_TRUE(contains_line(r.out,
                              "# wavelength 0.733628 A (header /entry/instrument/monochromator/wavelength "
                              "= 0.733628 A)"));

    // CeO2 on a hybrid-pixel TIFF: distance and pixel from the description,
    // the beam centre of the rings from the settings. The rings fall where a
    // face-centred cubic lattice puts them: sin² θ in the ratios 3, 4, 8, 11.
    r = run({root + "/refuse/CeO2_Pilatus1M.tif", "%Qceo2"},
            "POWDER_PLOT = 0\nBEAM_CENTER = 488 530.25\nPOWDER_RANGE = 5 15\nPOWDER_BINS = 500\n"
            "SOLID_ANGLE = 1\nPOLARIZATION = 0.99\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# distance 211.43 mm (header Detector_distance 0.21143 m)"));
    const std::vector<PowderBin> ceo2 = read_xy(file("ceo2.xy"));
    std::vector<double> peaks; // 2θ of the local maxima well above the background
    for (size_t k = 2; k + 2 < ceo2.size(); ++k) {
        bool top = ceo2[k].intensity > 600;
        for (size_t j = k - 2; j <= k + 2; ++j)
            top = top && ceo2[j].intensity <= ceo2[k].intensity;
        if (top) peaks.push_back(ceo2[k].x);
    }
    ASSERT_EQ(peaks.size(), 4u);
    const double first = std::pow(std::sin(peaks[0] * M_PI / 360), 2);
    const double ratios[] = {3, 4, 8, 11};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_NEAR(3 * std::pow(std::sin(peaks[i] * M_PI / 360), 2) / first, ratios[i], 0.05) << peaks[i];
}

} // namespace
