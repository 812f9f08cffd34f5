// HDF5 stacks and CBF series through the binary: the same frames stored as
// HDF5 (a master file with linked data files) or as CBF files give the same
// image as in the native format, through the frame options, dark, flat, mask
// zones, binning, grid correction and output; the detector's pixel mask, the
// H5_DATA key and damaged inputs.
#include "detector_writers.hpp"
#include "grid_reference.hpp"
#include "kvf_reader.hpp"
#include "kvf_writer.hpp"
#include "test_support.hpp"

#include <algorithm>

namespace {

constexpr int32_t kWidth = 24, kHeight = 18, kFrames = 6;

// Frame f (from 0): a pattern that moves from frame to frame, with one
// saturated 16-bit pixel in frame 2.
double pixel(uint64_t f, uint64_t x, uint64_t y) {
    if (f == 2 && x == 5 && y == 7) return 65535;
    return static_cast<double>(100 + (x * 7 + y * 13 + f * 29) % 500);
}

std::vector<double> frame_values(uint64_t f, double offset = 0) {
    std::vector<double> v;
    for (uint64_t y = 0; y < kHeight; ++y)
        for (uint64_t x = 0; x < kWidth; ++x)
            v.push_back(pixel(f, x, y) + offset);
    return v;
}

class Detectors : public zt::InTempDir {
  protected:
    void SetUp() override {
        zt::InTempDir::SetUp();
        std::vector<std::vector<double>> frames;
        for (uint64_t f = 0; f < kFrames; ++f)
            frames.push_back(frame_values(f));
        zt::write_kvf(file("stack.kvf"), kWidth, kHeight, 3, false, frames);
        zt::write_kvf(file("dark.kvf"), kWidth, kHeight, 3, false,
                      {std::vector<double>(kWidth * kHeight, 20)});
        std::vector<double> flat;
        for (int32_t i = 0; i < kWidth * kHeight; ++i)
            flat.push_back(900 + (i * 37) % 200);
        zt::write_kvf(file("flat.kvf"), kWidth, kHeight, 3, false, {flat});
        write_master(false);
    }

    // A master file linking frames 1-2 and 3-6 in two bitshuffle+LZ4 data files.
    void write_master(bool with_mask) {
        ASSERT_EQ(0, system(("mkdir -p " + file("run")).c_str()));
        for (int part = 0; part < 2; ++part) {
            zt::H5File data(file("run/m_data_00000" + std::to_string(part + 1) + ".h5"));
            zt::H5Dataset d;
            const uint64_t first = part == 0 ? 0 : 2, count = part == 0 ? 2 : 4;
            d.dims = {count, kHeight, kWidth};
            d.filter = zt::H5Filter::BitshuffleLz4;
            d.chunk = {1, kHeight, kWidth};
            for (uint64_t f = first; f < first + count; ++f)
                for (double v : frame_values(f))
                    d.values.push_back(v);
            data.dataset(d);
        }
        zt::H5File master(file("run/m_master.h5"));
        master.external_link("/entry/data/data_000001", "m_data_000001.h5", "/entry/data/data");
        master.external_link("/entry/data/data_000002", "m_data_000002.h5", "/entry/data/data");
        if (with_mask) {
            zt::H5Dataset mask;
            mask.path = "/entry/instrument/detector/detectorSpecific/pixel_mask";
            mask.pixel = zt::H5Pixel::U32;
            mask.dims = {kHeight, kWidth};
            mask.values.assign(kWidth * kHeight, 0);
            mask.values[4 * kWidth + 3] = 1;
            mask.values[10 * kWidth + 20] = 2;
            master.dataset(mask);
        }
    }

    zt::RunResult run(const std::vector<std::string>& words) { return zt::run_zandor(dir_->path(), words); }
    void settings(const std::string& text) { zt::write_file(file("zandor.ini"), text); }
    std::vector<int32_t> written(const std::string& name) { return zt::read_kvf32(file(name)).values; }
};

zt::GridModelRef small_shift() {
    zt::GridModelRef m;
    m.xcor = {12.0, 1.01, 0.02, 0, 0, 0};
    m.ycor = {9.0, -0.02, 0.99, 0, 0, 0};
    return m;
}

// Every downstream step sees the HDF5 frames as it sees the native ones.
TEST_F(Detectors, MasterFileGivesTheImageOfTheSameNativeFrames) {
    const struct {
        const char* label;
        std::string settings;
        const char* options;
    } cases[] = {
        {"all frames", "", ""},
        {"frames 2 to 5 across both data files", "", ",B2,E5"},
        {"frames 3 to 4 from the second data file", "", ",B3,E4"},
        {"mask zones", "P_EXCLUDED = 1 1 -1\nR_EXCLUDED = 3 2 4 3\n", ",B2"},
        {"region and binning", "X_MIN = 2\nX_BIND = 2\nY_BIND = 3\n", ""},
        {"grid correction", zt::grid_settings(small_shift()) + "GRID_AUTO = AUTO\n", ",E4"},
        {"cosmic test", "T_COSMIC = 3\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        settings(c.settings);
        const zt::RunResult h = run(
            {"D=dark.kvf", "F=flat.kvf", std::string("run/m_master.h5") + c.options, "%Xh.kvf", "%Xh.tif"});
        ASSERT_EQ(h.status, 0) << h.err;
        const zt::RunResult k =
            run({"D=dark.kvf", "F=flat.kvf", std::string("stack.kvf") + c.options, "%Xk.kvf", "%Xk.tif"});
        ASSERT_EQ(k.status, 0) << k.err;
        EXPECT_EQ(written("h.kvf"), written("k.kvf"));
        EXPECT_EQ(zt::read_file(file("h.tif")), zt::read_file(file("k.tif")));
    }
}

// A series of HDF5 files (A) and a mosaic of them (M), as of native files.
TEST_F(Detectors, SeriesOfHdf5FilesAddAndStackAsNativeFiles) {
    for (int n = 1; n <= 3; ++n) {
        zt::H5File out(file("scan_0000" + std::to_string(n) + ".h5"));
        zt::H5Dataset d;
        d.dims = {2, kHeight, kWidth};
        d.pixel = zt::H5Pixel::I32;
        d.filter = zt::H5Filter::Gzip;
        d.chunk = {1, kHeight, kWidth};
        std::vector<std::vector<double>> frames;
        for (int f = 0; f < 2; ++f) {
            frames.push_back(frame_values(f, n * 1000.0 - 3000.0));
            d.values.insert(d.values.end(), frames.back().begin(), frames.back().end());
        }
        out.dataset(d);
        zt::write_kvf(file("nat_0000" + std::to_string(n) + ".kvf"), kWidth, kHeight, 4, false, frames);
    }
    for (const char* options : {",A3", ",M3", ",A2,B2"}) {
        SCOPED_TRACE(options);
        ASSERT_EQ(run({std::string("scan_00001.h5") + options, "%Xh.kvf"}).status, 0);
        ASSERT_EQ(run({std::string("nat_00001.kvf") + options, "%Xk.kvf"}).status, 0);
        EXPECT_EQ(written("h.kvf"), written("k.kvf"));
    }
}

// A hundred-file CBF series in small: three CBF files add up as three native
// files of the same frames, with the gap and bad-pixel markers kept.
TEST_F(Detectors, CbfSeriesAddsAsNativeFiles) {
    for (int n = 1; n <= 3; ++n) {
        std::vector<double> v = frame_values(n, -150);
        v[0] = -1;
        v[1] = -2;
        zt::write_cbf(file("scan_0000" + std::to_string(n) + ".cbf"), kWidth, kHeight,
                      std::vector<int32_t>(v.begin(), v.end()));
        zt::write_kvf(file("nat_0000" + std::to_string(n) + ".kvf"), kWidth, kHeight, 4, false, {v});
    }
    // A mosaic is taller than the dark image: it goes without.
    const struct {
        const char* options;
        bool dark;
    } cases[] = {{",A3", true}, {",A2", true}, {",M2", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string dark = c.dark ? "D=dark.kvf" : "D=NONE";
        const zt::RunResult r = run({dark, std::string("scan_00001.cbf") + c.options, "%Xc.kvf"});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(run({dark, std::string("nat_00001.kvf") + c.options, "%Xk.kvf"}).status, 0);
        EXPECT_EQ(written("c.kvf"), written("k.kvf"));
    }
    // The CBF header lines travel into the native file written.
    EXPECT_NE(zt::read_kvf32(file("c.kvf")).header.find("Exposure_time   = 0.5000000 s ;"),
              std::string::npos);
}

// The detector's pixel mask empties its pixels and nothing else; a line says how many.
TEST_F(Detectors, PixelMaskOfTheMasterEmptiesItsPixels) {
    write_master(true);
    zt::RunResult r = run({"run/m_master.h5", "%Xh.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("m_master.h5 : 2 pixels masked by the detector's pixel mask"), std::string::npos)
        << r.out;
    ASSERT_EQ(run({"stack.kvf", "%Xk.kvf"}).status, 0);
    const std::vector<int32_t> h = written("h.kvf"), k = written("k.kvf");
    ASSERT_EQ(h.size(), k.size());
    for (size_t i = 0; i < h.size(); ++i) {
        const bool masked = i == 4 * kWidth + 3 || i == 10 * kWidth + 20;
        if (masked)
            EXPECT_EQ(h[i], 0) << i;
        else
            EXPECT_EQ(h[i], k[i]) << i;
    }
}

// H5_DATA names the dataset to read, here a 2-D image beside the stack.
TEST_F(Detectors, H5DataNamesTheDatasetToRead) {
    {
        zt::H5File out(file("calib.h5"));
        zt::H5Dataset stack = zt::h5_stack(2, kHeight, kWidth, zt::H5Pixel::U16, zt::H5Filter::None, pixel);
        out.dataset(stack);
        zt::H5Dataset flat;
        flat.path = "/calib/flat";
        flat.dims = {kHeight, kWidth};
        flat.values = frame_values(4);
        out.dataset(flat);
    }
    zt::write_kvf(file("one.kvf"), kWidth, kHeight, 3, false, {frame_values(4)});
    settings("H5_DATA = /calib/flat\n");
    const zt::RunResult r = run({"calib.h5", "%Xh.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("H5_DATA"), std::string::npos);
    ASSERT_EQ(run({"one.kvf", "%Xk.kvf"}).status, 0);
    EXPECT_EQ(written("h.kvf"), written("k.kvf"));
}

// Damaged inputs stop the run with status 3, one line, nothing written.
TEST_F(Detectors, DamagedInputsStopWithoutOutput) {
    ASSERT_EQ(0, std::remove(file("run/m_data_000002.h5").c_str()));
    zt::RunResult r = run({"run/m_master.h5", "%Xh.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("cannot open the linked data file of '/entry/data/data_000002"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("HDF5-DIAG"), std::string::npos) << r.err;
    EXPECT_FALSE(zt::file_exists(file("h.kvf")));

    // A bitshuffle+LZ4 block that does not expand, in frame 4 of the linked files.
    write_master(false);
    zt::damage_bitshuffle_block(file("run/m_data_000002.h5"), 1, 1);
    r = run({"run/m_master.h5", "%Xh.kvf"});
    EXPECT_EQ(r.status, 3);
    const std::vector<std::string> lines = zt::split_lines(r.err);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); }), 1)
        << r.err;
    EXPECT_NE(r.err.find("cannot decode frame 4 of dataset '/entry/data/data_000002' of '"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("damaged bitshuffle+lz4 chunk (block 1 does not expand to 864 bytes)"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(zt::file_exists(file("h.kvf")));

    zt::write_cbf(file("short.cbf"), kWidth, kHeight, std::vector<int32_t>(kWidth * kHeight, 7));
    std::string bytes = zt::read_file(file("short.cbf"));
    const size_t at = bytes.find("X-Binary-Number-of-Elements: ") + 29;
    bytes.replace(at, 3, "431");
    zt::write_file(file("short.cbf"), bytes);
    r = run({"short.cbf", "%Xc.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("declares 431 pixels for a frame of 24 x 18"), std::string::npos) << r.err;
    EXPECT_FALSE(zt::file_exists(file("c.kvf")));
}

} // namespace
