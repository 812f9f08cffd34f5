// Results handed to other programs, through the binary: the real detector
// files summed and written as NeXus/HDF5 and signed TIFF keep their sums,
// explicit output names keep their dots, and a bad setting, a missing
// directory or a full disk stop the run with status 3 and no partial file.
#include "expect_json.hpp"
#include "kvf_writer.hpp"
#include "read_back.hpp"
#include "test_support.hpp"

#include <sys/wait.h>

#include <numeric>

namespace {

class Interchange : public zt::InTempDir {
  protected:
    zt::RunResult run(const std::vector<std::string>& words) { return zt::run_zandor(dir_->path(), words); }
    void settings(const std::string& text) { zt::write_file(file("zandor.ini"), text); }
};

int64_t sum_of(const zt::ReadBack& r) {
    return std::accumulate(r.ints.begin(), r.ints.end(), int64_t{0});
}

TEST_F(Interchange, RealFilesWrittenAsHdf5AndSignedTiffKeepTheirSums) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    settings("TIFF_TYPE = int32\n");
    for (const char* name :
         {"modern/AgBehenate_228.hdf5", "modern/mscp03_au_sputter2_00057.tif", "modern/AgBehenate_003.tif",
          "modern/org_00009.cbf", "modern/LAOS3_05461.cbf", "modern/l-cyst_01_00001.cbf",
          "modern/eiger2_simread7_2datafiles_4images_lz4_data_000001.h5"}) {
        SCOPED_TRACE(name);
        const std::string json = zt::read_file(root + "/" + name + ".expect.json");
        std::vector<double> sums = zt::json_numbers(zt::json_value(json, "per_frame_sums"));
        if (sums.empty()) sums = zt::json_numbers(zt::json_value(zt::json_value(json, "frame1"), "sum"));
        const int64_t want = static_cast<int64_t>(std::accumulate(sums.begin(), sums.end(), 0.0));
        const zt::RunResult r = run({root + "/" + name + ",X", "%Xsum.h5", "%Xsum.tif"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(sum_of(zt::read_back(file("sum.h5"))), want);
        EXPECT_EQ(sum_of(zt::read_back(file("sum.tif"))), want);
    }
}

TEST_F(Interchange, ExplicitNamesKeepTheirDotsAndDefaultNamesTheirRule) {
    zt::write_kvf(file("img_0001.kvf"), 4, 3, XY_TYPE_INT32, false, {std::vector<double>(12, 5)});
    const zt::RunResult r =
        run({"img_0001.kvf", "%Xrun_2.5K_sum.tif", "%Xrun_2.7K_sum.tif", "%Xa.b.c", "%Xrun_2.5K.h5", "%X"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* written :
         {"run_2.5K_sum.tif", "run_2.7K_sum.tif", "a.b.kvf", "run_2.5K.h5", "img_1_x.kvf"})
        EXPECT_TRUE(zt::file_exists(file(written))) << written;
    EXPECT_FALSE(zt::file_exists(file("run_2.tif")));
}

TEST_F(Interchange, BadChoicesAndMissingDirectoriesStopTheRunWithoutAFile) {
    zt::write_kvf(file("img.kvf"), 4, 3, XY_TYPE_INT32, false, {std::vector<double>(12, 5)});
    struct Case {
        const char* settings;
        const char* word;
        const char* message;
    };
    const Case cases[] = {
        {"TIFF_TYPE = int64\n", "%Xo.tif", "TIFF_TYPE = 'int64' is not one of auto, int32, float32"},
        {"H5_COMPRESSION = zip\n", "%Xo.h5", "H5_COMPRESSION = 'zip' is not one of gzip, bslz4, none"},
        {"PREVIEW_SCALE = sqrt\n", "%Xo.png", "PREVIEW_SCALE = 'sqrt' is not one of log, linear"},
        {"VALID_RANGE = 9 1\n", "%Xo.h5", "VALID_RANGE = '9 1' is not two numbers"},
        {"TIFF_TYPE = float32\n", "%Xnone/o.tif", "unable to open tif file none/o.tif"},
        {"", "%Xnone/o.h5", "unable to open HDF5 file none/o.h5"},
        {"", "%Xnone/o.png", "unable to open png file none/o.png"},
    };
    for (const Case& c : cases) {
        settings(c.settings);
        const zt::RunResult r = run({"img.kvf", c.word});
        EXPECT_EQ(r.status, 3) << c.word;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(zt::file_exists(file("o.tif")) || zt::file_exists(file("o.h5")) ||
                     zt::file_exists(file("o.png")));
    }
    settings("");
    const zt::RunResult help = run({"--usage"});
    for (const char* key : {"TIFF_TYPE", "H5_TYPE", "H5_COMPRESSION", "PREVIEW_SCALE", "VALID_RANGE"})
        EXPECT_NE(help.err.find(key), std::string::npos) << key;
}

// The shell's file size limit stands for a full disk: writes fail (the
// signal ignored), the run stops and leaves neither the file nor a temporary.
TEST_F(Interchange, AFullDiskLeavesNoPartialFile) {
    zt::write_kvf(file("big.kvf"), 512, 512, XY_TYPE_INT32, false, {std::vector<double>(512 * 512, 70000)});
    settings("H5_COMPRESSION = none\nTIFF_TYPE = int32\n");
    for (const char* word : {"%Xo.h5", "%Xo.tif"}) {
        const std::string command = "cd '" + dir_->path() +
                                    "' && sh -c \"trap '' XFSZ; ulimit -f 400; exec " + ZANDOR_BIN +
                                    " big.kvf " + word + "\" >out.txt 2>err.txt";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 3) << word << zt::read_file(file("err.txt"));
        EXPECT_NE(zt::read_file(file("err.txt")).find("failed"), std::string::npos)
            << zt::read_file(file("err.txt"));
        const int left = std::system(("ls -a '" + dir_->path() + "' | grep -q '^\\.o\\.\\|^o\\.'").c_str());
        EXPECT_NE(WEXITSTATUS(left), 0) << word;
    }
}

} // namespace
