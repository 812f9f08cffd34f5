// %Q through the binary: the .xy profile against the plain computation of the
// image zandor itself wrote (region, binning and orientation applied), the
// geometry's sources and refusals, the NeXus file read back with libhdf5,
// sectors, the plot, and the real detector files whose headers carry a geometry.
#include "h5_read.hpp"
#include "kvf_reader.hpp"
#include "kvf_writer.hpp"
#include "powder_reference.hpp"
#include "test_support.hpp"

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
    void write_rings(const std::vector<std::string>& header = {}) {
        std::vector<double> values;
        for (int32_t y = 0; y < 36; ++y)
            for (int32_t x = 0; x < 48; ++x) {
                const double r = std::hypot(x + 0.5 - 20.3, y + 0.5 - 15.6);
                values.push_back(50 + x + 900 * (std::fabs(std::fmod(r, 9.0) - 4.5) < 0.8));
            }
        zt::write_kvf(file("rings.kvf"), 48, 36, 4, false, {values}, header);
    }
    // The image zandor wrote, every pixel counted but those of `masked`.
    zt::ReferenceImage reference(const std::string& name, bool (*masked)(int32_t x, int32_t y) = nullptr) {
        const zt::KvfImage read = zt::read_kvf32(file(name));
        zt::ReferenceImage ref{read.width, read.height, read.values, {}};
        ref.counts.assign(ref.values.size(), 1);
        for (size_t i = 0; masked && i < ref.counts.size(); ++i)
            ref.counts[i] =
                !masked(static_cast<int32_t>(i) % read.width, static_cast<int32_t>(i) / read.width);
        return ref;
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

// A NeXus NXdata group read back: its axis `axis`, intensity, errors and pixels.
std::vector<PowderBin> read_nexus_group(const std::string& file, const std::string& group,
                                        const std::string& axis) {
    const QuietErrors quiet;
    const FileId f(H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
    std::vector<std::vector<double>> columns;
    for (const std::string& name :
         {axis, std::string("intensity"), std::string("intensity_errors"), std::string("pixels")})
        columns.push_back(zt::read_dataset(f.get(), (group + "/" + name).c_str()));
    std::vector<PowderBin> bins;
    size_t n = columns[0].size();
    for (const std::vector<double>& column : columns)
        n = std::min(n, column.size());
    for (size_t k = 0; k < n; ++k)
        bins.push_back({columns[0][k], columns[1][k], columns[2][k], static_cast<int64_t>(columns[3][k])});
    return bins;
}

// The beam centre goes through the region, the binning and the mirror as
// ORIG does; the pixels are binned; both corrections and a bin range.
TEST_F(Powder, ProfileOfTheImageAsReadThroughRegionBinningAndMirror) {
    write_rings();
    const zt::RunResult r = run({"rings.kvf", "%Xread.kvf", "%Q"},
                                "X_MIN = 3\nX_MAX = 45\nY_MIN = 2\nX_BIND = 2\nXY_ORIEN = -X,Y\n"
                                "DISTANCE = 35\nPIXEL_SIZE = 0.3 0.25\nBEAM_CENTER = 20.3 15.6\n"
                                "SOLID_ANGLE = 1\nPOLARIZATION = 0.7\nPOWDER_BINS = 60\n"
                                "POWDER_RANGE = 2 18\nPOWDER_PLOT = 0\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const zt::ReferenceImage read = reference("read.kvf");
    ASSERT_EQ(read.nx, 21);
    // Mirrored columns: the centre from the right.
    const PowderGeometry g{35, {0.6, 0.25}, {21 - (20.3 - 3) / 2, 15.6 - 2}};
    PowderOptions o;
    o.solid_angle = o.polarisation = true;
    o.polarisation_factor = 0.7;
    // The .xy file keeps 6 decimals of x, 8 digits of I and σ.
    zt::expect_same_bins(read_xy(file("rings.xy")), zt::reference_powder(read, g, o, 2, 18, 60), 1e-7, 1e-6);
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
    write_rings({"Detector_distance = 0.05 m", "Pixel_size = 200e-6 m x 200e-6 m",
                 "Beam_xy = (20.3, 15.6) pixels", "Wavelength = 1.5406 A"});
    const zt::RunResult r = run({"rings.kvf", "%Xread.kvf", "%Qout/prof.nxs"},
                                "C_EXCLUDED = 30 20 6 QUIET\nPIXEL_SIZE = 0.25\nPOWDER_UNIT = q\n"
                                "POWDER_SECTORS = -45 45, 90 270\nPOWDER_PLOT = 0\nOUT = out\n"
                                "POWDER_BINS = 50\nPOWDER_RANGE = 0.1 0.65\n");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line :
         {"# distance 50 mm (header Detector_distance 0.05 m)", "# pixel 0.25 x 0.25 mm (setting PIXEL_SIZE)",
          "# wavelength 1.5406 A (header Wavelength 1.5406 A)"})
        EXPECT_TRUE(contains_line(r.out, line)) << line;
    const zt::ReferenceImage ref = reference(
        "out/read.kvf", [](int32_t x, int32_t y) { return (x - 30) * (x - 30) + (y - 20) * (y - 20) <= 36; });
    const PowderGeometry g{50, {0.25, 0.25}, {20.3, 15.6}, 1.5406};
    PowderOptions o;
    o.unit = PowderUnit::q_angstrom;
    const AzimuthRange sectors[] = {{-45, 45}, {90, 270}};
    for (int s = 0; s < 2; ++s) {
        const std::vector<PowderBin> expected = zt::reference_powder(ref, g, o, 0.1, 0.65, 50, &sectors[s]);
        const std::string name = "sector" + std::to_string(s + 1);
        zt::expect_same_bins(read_xy(file("out/prof_" + name + ".xy")), expected, 1e-7,
                             1e-6); // 6 decimals of x, 8 digits of I and σ
        zt::expect_same_bins(read_nexus_group(file("out/prof.nxs"), "/entry/" + name, "q"), expected);
        EXPECT_EQ(zt::text_attribute(file("out/prof.nxs"), ("/entry/" + name + "/q").c_str(), "units"),
                  "1/angstrom");
    }
    EXPECT_FALSE(zt::file_exists(file("out/prof.png")));
}

// What is missing is named, and nothing is written; 2θ needs no wavelength,
// q does; out-of-range settings are refused.
TEST_F(Powder, MissingOrBadGeometryStopsTheCommand) {
    write_rings();
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
        {geometry + "BEAM_CENTER = 1e200 15\n", 3, "beam centre 1e+200 15: too far from the image"},
        {geometry + "BEAM_CENTER = 1e150 15\nPOWDER_BINS = 90\n", 0, "beam centre 1e+150 15 pixels"},
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
    write_rings();
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
// unit converted (NeXus lengths without units taken as mm, a beam centre in
// mm divided by the pixel size); the CBF's default range holds every pixel;
// CeO2's rings where a face-centred cubic lattice puts them.
TEST_F(Powder, RealFilesProfiledWithTheirHeaderGeometry) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    const std::string nexus =
        "# distance 513.8 mm (header /entry/instrument/detector/distance = 513.8 (no unit: mm "
        "assumed))\n# beam centre 85.86 -5.42 pixels -> 85.86 -5.42 in the image (header "
        "/entry/instrument/detector/beam_center_x = 14.7679 (no unit: mm assumed), divided by "
        "the pixel width)\n# wavelength 0.733628 A (header "
        "/entry/instrument/monochromator/wavelength = 0.733628 A)";
    const struct {
        std::string file, name, settings, lines;
    } cases[] = {
        {"modern/l-cyst_01_00001.cbf", "cyst", "POWDER_UNIT = D\n",
         "# distance 160 mm (header Detector_distance 0.16000 m)\n"
         "# pixel 0.172 x 0.172 mm (header Pixel_size 172e-6 m x 172e-6 m)\n"
         "# beam centre 730 865 pixels -> 730 865 in the image (header Beam_xy (730.00, 865.00) pixels)\n"
         "# wavelength 0.6889 A (header Wavelength 0.68890 A)"},
        {"modern/AgBehenate_228.hdf5", "agbe", "POWDER_UNIT = Q\n", nexus},
        {"refuse/CeO2_Pilatus1M.tif", "ceo2",
         "BEAM_CENTER = 488 530.25\nPOWDER_RANGE = 5 15\nPOWDER_BINS = 500\nSOLID_ANGLE = 1\nPOLARIZATION = "
         "0.99\n",
         "# distance 211.43 mm (header Detector_distance 0.21143 m)"},
    };
    for (const auto& c : cases) {
        const zt::RunResult r = run({root + "/" + c.file, "%Q" + c.name}, "POWDER_PLOT = 0\n" + c.settings);
        ASSERT_EQ(r.status, 0) << r.err;
        for (const std::string& line : zt::split_lines(c.lines))
            EXPECT_TRUE(contains_line(r.out, line)) << line << "\n" << r.out;
    }
    int64_t pixels = 0;
    for (const PowderBin& b : read_xy(file("cyst.xy")))
        pixels += b.pixels;
    EXPECT_EQ(pixels, 1475 * 1679);
    const std::vector<PowderBin> ceo2 = read_xy(file("ceo2.xy"));
    std::vector<double> peaks; // 2θ of the local maxima well above the background
    for (size_t k = 2; k + 2 < ceo2.size(); ++k) {
        bool top = ceo2[k].intensity > 600;
        for (size_t j = k - 2; j <= k + 2; ++j)
            top = top && ceo2[j].intensity <= ceo2[k].intensity;
        if (top) peaks.push_back(ceo2[k].x);
    }
    ASSERT_EQ(peaks.size(), 4u);
    const double ratios[] = {3, 4, 8, 11}; // of sin² θ
    for (size_t i = 0; i < 4; ++i)
        EXPECT_NEAR(3 * std::pow(std::sin(peaks[i] * M_PI / 360), 2) /
                        std::pow(std::sin(peaks[0] * M_PI / 360), 2),
                    ratios[i], 0.05)
            << peaks[i];
}

} // namespace
