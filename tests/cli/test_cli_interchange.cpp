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
#include <tuple>

namespace {

class Interchange : public zt::InTempDir {
  protected:
    zt::RunResult run(const std::vector<std::string>& words) { return zt::run_zandor(dir_->path(), words); }
    void settings(const std::string& text) { zt::write_file(file("zandor.ini"), text); }
};

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
        const zt::RunResult r = run({root + "/" + name + ",X", "%Xsum.h5", "%Xsum.tif"});
        ASSERT_EQ(r.status, 0) << r.err;
        for (const char* written : {"sum.h5", "sum.tif"}) {
            const std::vector<double> values = zt::read_back(file(written)).values;
            EXPECT_EQ(std::accumulate(values.begin(), values.end(), 0.0),
                      std::accumulate(sums.begin(), sums.end(), 0.0));
        }
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

// Through the shell, under a file size limit (in KiB) when one is given: it
// stands for a full disk, the writes failing with the signal ignored.
zt::RunResult run_limited(const std::string& dir, const std::string& word, int limit_kib) {
    if (limit_kib == 0) return zt::run_zandor(dir, {"img.kvf", word});
    const std::string command = "cd '" + dir + "' && sh -c \"trap '' XFSZ; ulimit -f " +
                                std::to_string(2 * limit_kib) + "; exec " + ZANDOR_BIN + " img.kvf " + word +
                                "\" >out.txt 2>err.txt";
    const int status = std::system(command.c_str());
    zt::RunResult r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    r.err = zt::read_file(dir + "/err.txt");
    return r;
}

TEST_F(Interchange, BadChoicesMissingDirectoriesAndAFullDiskStopTheRunWithoutAFile) {
    zt::write_kvf(file("img.kvf"), 512, 512, XY_TYPE_INT32, false, {std::vector<double>(512 * 512, 70000)});
    // Settings, output word, file size limit in KiB (0: none), message.
    const std::tuple<const char*, const char*, int, const char*> cases[] = {
        {"TIFF_TYPE = int64\n", "%Xo.tif", 0, "TIFF_TYPE = 'int64' is not one of auto, int32, float32"},
        {"H5_COMPRESSION = zip\n", "%Xo.h5", 0, "H5_COMPRESSION = 'zip' is not one of gzip, bslz4, none"},
        {"PREVIEW_SCALE = sqrt\n", "%Xo.png", 0, "PREVIEW_SCALE = 'sqrt' is not one of log, linear"},
        {"VALID_RANGE = 9 1\n", "%Xo.h5", 0, "VALID_RANGE = '9 1' is not two numbers"},
        {"TIFF_TYPE = float32\n", "%Xnone/o.tif", 0, "unable to open tif file none/o.tif"},
        {"", "%Xnone/o.h5", 0, "unable to open HDF5 file none/o.h5"},
        {"", "%Xnone/o.png", 0, "unable to open png file none/o.png"},
        {"H5_COMPRESSION = none\n", "%Xo.h5", 200, "writing HDF5 file o.h5 failed"},
        {"TIFF_TYPE = int32\n", "%Xo.tif", 200, "writing tif file o.tif failed"},
    };
    for (const auto& [text, word, limit_kib, message] : cases) {
        settings(text);
        const zt::RunResult r = run_limited(dir_->path(), word, limit_kib);
        EXPECT_EQ(r.status, 3) << word;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        // Neither the file nor a temporary (.o.*) is left.
        const int left = std::system(("ls -a '" + dir_->path() + "' | grep -q '^\\.o\\.\\|^o\\.'").c_str());
        EXPECT_NE(WEXITSTATUS(left), 0) << word;
    }
    settings("");
    const zt::RunResult help = run({"--usage"});
    for (const char* key : {"TIFF_TYPE", "H5_TYPE", "H5_COMPRESSION", "PREVIEW_SCALE", "VALID_RANGE"})
        EXPECT_NE(help.err.find(key), std::string::npos) << key;
}

} // namespace
