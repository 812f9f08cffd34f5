// The same run at 1, 2 and 3 threads: every file written, standard output,
// standard error and the exit status must be the same, byte for byte. Each
// scenario runs in a fresh directory holding the same generated inputs, with
// the thread count given by ZANDOR_THREADS (a THREADS line would be echoed).
#include "detector_writers.hpp"
#include "kvf_writer.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <dirent.h>

#include <map>
#include <random>

namespace {

constexpr int32_t kWidth = 301, kHeight = 203; // several bands, blocks and windows of rows

// A detector-like frame: a smooth background, rings, noise, a few hot pixels.
std::vector<double> frame_values(std::mt19937& rng, int32_t frame, double top) {
    std::vector<double> v(static_cast<size_t>(kWidth) * kHeight);
    std::poisson_distribution<int> noise(20.0);
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x) {
            const double r = std::hypot(x - 140.3, y - 97.8);
            const double ring = 400.0 * std::exp(-std::pow(std::fmod(r, 37.0) - 18.0, 2) / 8.0);
            v[static_cast<size_t>(y) * kWidth + x] = std::min(top, 100.0 + ring + noise(rng) + frame);
        }
    for (int k = 0; k < 40; ++k)
        v[rng() % v.size()] = top; // saturated in 16 bits, hot in 32
    return v;
}

// The inputs every scenario directory gets, always the same bytes.
void write_inputs(const std::string& dir) {
    std::mt19937 rng(31);
    for (int f = 1; f <= 3; ++f) {
        std::vector<std::vector<double>> frames;
        for (int k = 0; k < 5; ++k)
            frames.push_back(frame_values(rng, k, 65535));
        frames[2][777] = 60000; // a cosmic hit in one frame
        zt::write_kvf(dir + "/a16_000" + std::to_string(f) + ".kvf", kWidth, kHeight, 3, false, frames);
    }
    for (int f = 1; f <= 6; ++f)
        zt::write_kvf(dir + "/b32_000" + std::to_string(f) + ".kvf", kWidth, kHeight, 4, f % 2 == 0,
                      {frame_values(rng, f, 2e6)});
    std::vector<double> stack;
    for (int k = 0; k < 12; ++k) {
        const std::vector<double> v = frame_values(rng, k, 65535);
        stack.insert(stack.end(), v.begin(), v.end());
    }
    zt::H5Dataset d;
    d.dims = {12, kHeight, kWidth};
    d.chunk = {1, kHeight, kWidth};
    d.filter = zt::H5Filter::BitshuffleLz4;
    d.bitshuffle_block = 2048;
    d.values = stack;
    {
        zt::H5File h5(dir + "/stack.h5");
        h5.dataset(d);
    }
    {
        zt::H5File h5(dir + "/broken.h5");
        h5.dataset(d);
    }
    zt::damage_bitshuffle_block(dir + "/broken.h5", 7, 9);
    for (int f = 1; f <= 5; ++f) {
        std::vector<int32_t> pixels;
        for (double v : frame_values(rng, f, 1e6))
            pixels.push_back(static_cast<int32_t>(v) - 60);
        zt::write_cbf(dir + "/c_0000" + std::to_string(f) + ".cbf", kWidth, kHeight, pixels);
    }
    for (int f = 1; f <= 6; ++f) {
        std::vector<int32_t> pixels;
        for (double v : frame_values(rng, f, 1e6))
            pixels.push_back(static_cast<int32_t>(v));
        zt::write_cbf(dir + "/d_0000" + std::to_string(f) + ".cbf", kWidth, kHeight, pixels);
    }
    std::string damaged = zt::read_file(dir + "/d_00004.cbf"); // decodes to the wrong byte count
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(damaged.size() / 2), 64, '\x80');
    zt::write_file(dir + "/d_00004.cbf", damaged);
    for (int f = 1; f <= 5; ++f) {
        zt::TiffPages one;
        one.width = kWidth;
        one.height = kHeight;
        one.compression = 8; // deflate
        one.rows_per_strip = 32;
        one.pages.push_back(frame_values(rng, f, 65535));
        zt::write_tiff(dir + "/t_000" + std::to_string(f) + ".tif", one);
    }
    zt::TiffPages t;
    t.width = kWidth;
    t.height = kHeight;
    t.compression = 5; // LZW: read through libtiff
    t.rows_per_strip = 16;
    for (int k = 0; k < 4; ++k)
        t.pages.push_back(frame_values(rng, k, 65534));
    zt::write_tiff(dir + "/pages.tif", t);
    std::vector<std::vector<double>> floats = {frame_values(rng, 0, 1e4), frame_values(rng, 1, 1e4)};
    floats[1][kWidth * 150 + 7] = 3e9;
    zt::write_kvf(dir + "/huge.kvf", kWidth, kHeight, 5, false, floats);
}

struct Scenario {
    const char* name;
    const char* argv0;
    const char* settings;
    std::vector<std::string> words;
};

const char* const kGrid = "GRID_DCOR = 10\nGRID_XCOR = 3 1.01 0.002 1e-5 -2e-5 1e-5 1e-8 -2e-8 1e-8 3e-9\n"
                          "GRID_YCOR = 2 0.003 0.99 -1e-5 2e-5 1e-5 2e-8 1e-8 -1e-8 1e-9\n";
const char* const kWideGrid =
    "GRID_DCOR = 21\nGRID_XCOR = 5 1.2 0.01 1e-4 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 1e-12\n"
    "GRID_YCOR = 4 0.02 1.15 0 2e-4 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 1e-12\nGRID_MODE = FLAT\n";
const char* const kRadial = "N_SECTOR = 8\nA_SECTOR = -22.5\nP_SECTOR = 0+4,2+6,1+3+5+7\nRADIUS = 1.5\n";
const char* const kHkl = "MAT_UB = 0.21 -0.04 0.03 0.05 0.18 -0.02 -0.06 0.02 0.24\nGONIO = 0 8.5 -12.0 30\n"
                         "DETEC = 14 5 100 0 0\nSCALE = 0.05 0 0 0.05\n";

const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> all = {
        {"native 16-bit series, cosmic rays, radial, map",
         "zandor",
         "T_COSMIC = 5\nH_COSMIC = 50\nR_COSMIC = 2\nSUMMARY = run.json\nPRINT = 7\n",
         {"a16_0001.kvf,A3", "%Xsum.kvf", "%R", "%H", "%Xsum.txt"}},
        {"one-frame 32-bit files, grid",
         "zandor",
         kGrid,
         {"b32_0001.kvf,A6", "%Xraw.kvf", "%G", "%Xg.kvf", "%R"}},
        {"wide grid model in FLAT mode", "zandor", kWideGrid, {"b32_0001.kvf,A2", "%G", "%Xg.kvf"}},
        {"bitshuffle+LZ4 stack, sectors",
         "zandor",
         kRadial,
         {"stack.h5", "%Xh.kvf", "%R", "stack.h5,B3,E10", "%Xh2.kvf"}},
        {"bitshuffle+LZ4 stack, radial rules",
         "zandor",
         "N_SECTOR = 4\nRAD_X = \"300-x\"\nRAD_Y = 'y*1.01'\nRAD_DX = 1+(x<20)\nRAD_DY = 0.5\n",
         {"stack.h5,X", "%R"}},
        {"damaged bitshuffle+LZ4 chunk", "zandor", "", {"broken.h5", "%Xb.kvf"}},
        {"CBF series with a dark",
         "zandor",
         "T_COSMIC = 4\n",
         {"D=c_00001.cbf", "c_00002.cbf,A4", "%Xc.kvf", "%R"}},
        {"compressed TIFF pages, binned", "zandor", "X_BIND = 2\nY_BIND = 3\n", {"pages.tif", "%X", "%H"}},
        {"CBF series with a damaged file", "zandor", "", {"d_00001.cbf,A6", "%Xd.kvf"}},
        {"compressed one-page TIFF series, cosmic rays",
         "zandor",
         "T_COSMIC = 4\nPRINT = 7\n",
         {"t_0001.tif,A5", "%Xt.kvf"}},
        {"float frame out of range", "zandor", "", {"huge.kvf", "%X"}},
        {"statistics mode", "zandor_stat", "", {"a16_0001.kvf,A3"}},
        {"powder profiles of two sectors, both corrections",
         "zandor",
         "DISTANCE = 100\nPIXEL_SIZE = 0.172\nBEAM_CENTER = 140.3 97.8\nSOLID_ANGLE = 1\nPOLARIZATION = 0.9\n"
         "POWDER_SECTORS = 0 200, 200 360\nPOWDER_PLOT = 0\n",
         {"b32_0001.kvf", "%Q"}},
    };
    return all;
}

// Every regular file of `dir` by name, with its bytes, but those of `inputs`
// (HDF5 files carry the time they were written).
std::map<std::string, std::string> files_of(const std::string& dir,
                                            const std::map<std::string, std::string>& inputs = {}) {
    std::map<std::string, std::string> files;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = d ? readdir(d) : nullptr)
        if (e->d_type == DT_REG && !inputs.count(e->d_name))
            files[e->d_name] = zt::read_file(dir + "/" + e->d_name);
    if (d) closedir(d);
    return files;
}

struct Outcome {
    zt::RunResult run;
    std::map<std::string, std::string> files;
};

Outcome run_with_threads(const Scenario& s, int threads) {
    zt::TempDir dir;
    write_inputs(dir.path());
    zt::write_file(dir.file(std::string(s.argv0) + ".ini"), s.settings);
    const std::map<std::string, std::string> inputs = files_of(dir.path());
    Outcome o;
    o.run = zt::run_zandor(dir.path(), s.words, "", s.argv0, {"ZANDOR_THREADS=" + std::to_string(threads)});
    o.run.out = zt::without_clock_lines(o.run.out);
    o.files = files_of(dir.path(), inputs);
    return o;
}

class SameAtAnyThreadCount : public ::testing::TestWithParam<size_t> {};

TEST_P(SameAtAnyThreadCount, EveryOutputByteForByte) {
    const Scenario& s = scenarios()[GetParam()];
    const Outcome one = run_with_threads(s, 1);
    for (int threads : {2, 3}) {
        SCOPED_TRACE(std::string(s.name) + " at " + std::to_string(threads) + " threads");
        const Outcome many = run_with_threads(s, threads);
        EXPECT_EQ(many.run.status, one.run.status);
        EXPECT_EQ(many.run.out, one.run.out);
        EXPECT_EQ(many.run.err, one.run.err);
        ASSERT_EQ(many.files.size(), one.files.size());
        for (const auto& [name, bytes] : one.files) {
            ASSERT_TRUE(many.files.count(name)) << name;
            EXPECT_TRUE(many.files.at(name) == bytes) << name << " differs";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, SameAtAnyThreadCount, ::testing::Range<size_t>(0, scenarios().size()));

// The scenarios do what they are meant to: a failing one fails at every count
// with its own report, the others succeed and write what they name.
TEST(ThreadScenarios, FailuresAndOutputsAreThoseOfTheirInputs) {
    const Outcome broken = run_with_threads(scenarios()[5], 2);
    EXPECT_EQ(broken.run.status, 3);
    EXPECT_NE(broken.run.err.find("damaged bitshuffle+lz4 chunk"), std::string::npos) << broken.run.err;
    const Outcome damaged = run_with_threads(scenarios()[8], 2);
    EXPECT_EQ(damaged.run.status, 3);
    EXPECT_NE(damaged.run.err.find("d_00004.cbf"), std::string::npos) << damaged.run.err;
    EXPECT_NE(damaged.run.out.find("d_00003.cbf : 1 frames used"), std::string::npos) << damaged.run.out;
    const Outcome huge = run_with_threads(scenarios()[10], 3);
    EXPECT_EQ(huge.run.status, 3);
    EXPECT_NE(huge.run.err.find("outside the 32-bit pixel range"), std::string::npos) << huge.run.err;
    const Outcome cosmic = run_with_threads(scenarios()[0], 2);
    EXPECT_EQ(cosmic.run.status, 0) << cosmic.run.err;
    for (const char* name : {"sum.kvf", "sum.txt", "run.json", "a16_3.rad", "a16_3.map"})
        EXPECT_TRUE(cosmic.files.count(name)) << name;
    const Outcome powder = run_with_threads(scenarios().back(), 3);
    EXPECT_EQ(powder.run.status, 0) << powder.run.err;
    for (const char* name : {"b32_1_sector1.xy", "b32_1_sector2.xy"})
        EXPECT_TRUE(powder.files.count(name)) << name;
}

// The radial and map files are formatted on several threads and written by
// one of them while the next rows are formatted: on a full disk the run
// stops as on one thread, with the same output before the report, and no file.
TEST(ThreadScenarios, AFullDiskStopsTheRadialAndMapFilesAtEveryThreadCount) {
    const std::pair<const char*, int64_t> limits[] = {{"%R", 8}, {"%H", 24}}; // KiB, below each file
    for (const auto& [word, kib] : limits) {
        zt::RunResult first;
        for (int threads : {1, 2, 3}) {
            zt::TempDir dir;
            write_inputs(dir.path());
            zt::write_file(dir.file("zandor.ini"), std::string(kRadial) + kHkl);
            const std::map<std::string, std::string> inputs = files_of(dir.path());
            zt::RunResult r = zt::run_zandor(dir.path(), {"a16_0001.kvf,A3", word}, "", "zandor",
                                             {"ZANDOR_THREADS=" + std::to_string(threads)}, kib);
            r.out = zt::without_clock_lines(r.out);
            EXPECT_EQ(r.status, 3) << word;
            EXPECT_NE(r.err.find("unable to write"), std::string::npos) << r.err;
            EXPECT_TRUE(files_of(dir.path(), inputs).empty()) << word << " at " << threads;
            if (threads == 1) first = r;
            EXPECT_EQ(r.out, first.out) << word << " at " << threads;
            EXPECT_EQ(r.err, first.err) << word << " at " << threads;
        }
    }
}

} // namespace
