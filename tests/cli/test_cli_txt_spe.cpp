// Text images and SPE files through the binary: a bare name opens as SPE,
// text images are read and written, and bad inputs end with status 3.
#include "expect_json.hpp"
#include "kvf_reader.hpp"
#include "spe_writer.hpp"
#include "test_support.hpp"

#include <string>
#include <vector>

using zt::contains_line;

namespace {

class TxtSpeCli : public zt::InTempDir {
  protected:
    zt::RunResult run(const std::vector<std::string>& words, const std::string& argv0 = "zandor") {
        return zt::run_zandor(dir_->path(), words, "", argv0);
    }
    // A 2 wide, 3 high SPE file of 16-bit frames.
    void spe(const std::string& name, const std::vector<std::vector<uint16_t>>& frames, int16_t type = 3) {
        zt::SpeFields f;
        f.width = 2;
        f.height = 3;
        f.detector_x = 2;
        f.data_type = type;
        f.frames = static_cast<int32_t>(frames.size());
        f.date = "07Jul2015";
        std::string bytes = zt::spe_header(f);
        for (const auto& frame : frames)
            bytes += zt::spe_u16(frame, false);
        zt::write_file(file(name), bytes);
    }
};

TEST_F(TxtSpeCli, BareNameOpensAsSpeAndTheSumIsWrittenAsText) {
    spe("shot.spe", {{1, 2, 3, 4, 5, 6}, {10, 20, 30, 40, 50, 60}});
    const zt::RunResult r = run({"shot", "%Xout.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# file  'shot.spe' : images size 2 * 3, frames 2")) << r.out;
    EXPECT_TRUE(contains_line(r.out, "out.txt")) << r.out;
    EXPECT_EQ(zt::read_file(file("out.txt")), " 11 22 \n 33 44 \n 55 66 \n");
}

TEST_F(TxtSpeCli, TextImageRoundTripWithCarriageReturnsAndTransposition) {
    zt::write_file(file("zandor.ini"), "CR = 1\n");
    zt::write_file(file("wide.txt"), "# three wide, two high\n1 2 3\n4 5 6\n");
    const zt::RunResult r = run({"wide.txt", "%Xcopy.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# file  'wide.txt' : images size 3 * 2, frames 1")) << r.out;
    EXPECT_TRUE(contains_line(r.out, "feof =2=")) << r.out;
    EXPECT_EQ(zt::read_file(file("copy.txt")), " 1 4\r\n 2 5\r\n 3 6\r\n");

    // The transposed copy reads back as a 2 * 3 image of the same lines.
    const zt::RunResult back = run({"copy.txt", "%Xagain.txt"});
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(contains_line(back.out, "# file  'copy.txt' : images size 2 * 3, frames 1")) << back.out;
    EXPECT_EQ(zt::read_file(file("again.txt")), zt::read_file(file("copy.txt")));
}

TEST_F(TxtSpeCli, ProgramNamedTxtOpensBareNamesAsText) {
    zt::write_file(file("in.txt"), "7 8\n9 10\n");
    const zt::RunResult r = run({"in", "%Xout.txt"}, "txtzandor");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt::read_file(file("out.txt")), " 7 8 \n 9 10 \n");
}

TEST_F(TxtSpeCli, BadInputsEndWithStatusThreeAndAClearMessage) {
    zt::write_file(file("bad.txt"), "1 2 3\n4 five 6\n");
    zt::RunResult r = run({"bad.txt", "%Xout.txt"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("at y = 1/2, x = 1/3 : 'five' is not a number"), std::string::npos) << r.err;
    EXPECT_FALSE(zt::file_exists(file("out.txt")));

    zt::write_file(file("empty.txt"), "# nothing but comments\n");
    r = run({"empty.txt"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("holds no data line"), std::string::npos) << r.err;

    spe("odd.spe", {{1, 2, 3, 4, 5, 6}}, 8);
    r = run({"odd.spe"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(" ../xy32lib/wv_lib error :  not supported data type!, abort!"), std::string::npos)
        << r.err;

    r = run({"nowhere"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("wv_open : unable to open zandor file 'nowhere(.spe|.SPE)'"), std::string::npos)
        << r.err;
}

// A two-frame float file with negative values: they are summed as signed
// 32-bit values (-8 and -6 give -14), not wrapped into 16 bits.
TEST_F(TxtSpeCli, FloatFramesWithNegativeValuesAreSummedAsThemselves) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    const std::string spe = root + "/spe/SPE_v3_PIMAX_2frames.spe";
    const std::string json = zt::read_file(spe + ".expect.json");
    const zt::RunResult r = run({spe, "%Xsum.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    const zt::KvfImage out = zt::read_kvf32(file("sum.kvf"));
    int64_t total = 0;
    for (int32_t v : out.values)
        total += v;
    double expected = 0.0;
    for (double s : zt::json_numbers(zt::json_value(json, "per_frame_sums")))
        expected += s; // whole numbers: rounding half up keeps them
    EXPECT_EQ(double(total), expected);
    const std::vector<double> a =
        zt::json_numbers(zt::json_value(zt::json_value(json, "frame1"), "first5_row0"));
    const std::vector<double> b = zt::json_numbers(zt::json_value(json, "frame2_first5_row0"));
    for (size_t x = 0; x < 5; ++x)
        EXPECT_EQ(out.values.at(x), a.at(x) + b.at(x)) << x;
}

} // namespace
