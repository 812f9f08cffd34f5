// The "%" operations on the working image, the output names and the
// normalisation script, run through the binary.
#include "kvf_reader.hpp"
#include "kvf_writer.hpp"
#include "test_support.hpp"
#include "tiff_builder.hpp"

#include <sys/stat.h>

using zt::contains_line;

namespace {

class Ops : public zt::InTempDir {
  protected:
    zt::RunResult run(const std::vector<std::string>& words) { return zt::run_zandor(dir_->path(), words); }
    std::vector<int32_t> values(const std::string& name) { return zt::read_kvf32(file(name)).values; }
    void settings(const std::string& text) { zt::write_file(file("zandor.ini"), text); }
    void image(const std::string& name, const std::vector<double>& pixels) {
        zt::write_kvf(file(name), static_cast<int32_t>(pixels.size()), 1, 4, false, {pixels});
    }
    // A normalisation script that records its arguments and prints `last_line` last.
    void script(const std::string& last_line) {
        zt::write_file(file("norm.sh"), "printf '%s\\n' \"$@\" > args.txt\n"
                                        "echo '# header line'\n"
                                        "echo '" +
                                            last_line + "'\n");
        zt::write_file(file("log.spec"), "#S 1 sample\n");
    }
};

TEST_F(Ops, AddAndMultiplyTruncateTowardZero) {
    image("sample.kvf", {7, -7});
    zt::RunResult r = run({"sample.kvf", "%M=2", "%Xa.kvf", "%M=0.25", "%Xb.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, " multiplying counts on image by 2"));
    EXPECT_EQ(values("a.kvf"), (std::vector<int32_t>{14, -14}));
    EXPECT_EQ(values("b.kvf"), (std::vector<int32_t>{3, -3}));

    r = run({"sample.kvf", "%A=-0.5", "%Xc.kvf", "%A3", "%Xd.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, " adding -0.5 to counts on image"));
    EXPECT_EQ(values("c.kvf"), (std::vector<int32_t>{6, -7}));
    EXPECT_EQ(values("d.kvf"), (std::vector<int32_t>{9, -4}));
    // The information line follows %A and %M but not %X.
    EXPECT_NE(r.out.find("# command : %A3\n adding 3 to counts on image\n# sample.kvf : 1 frame(s)"),
              std::string::npos)
        << r.out;
}

TEST_F(Ops, ValuesThatAreNotNumbersOrOverflowAreRefused) {
    image("sample.kvf", {7, -7});
    zt::RunResult r = run({"sample.kvf", "%M=abc"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("%M: 'abc' is not a number"), std::string::npos) << r.err;
    r = run({"sample.kvf", "%M=1e10"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("outside the 32-bit pixel range"), std::string::npos) << r.err;
}

TEST_F(Ops, CutClipsAgainstMultiplesOfTheMean) {
    image("sample.kvf", {0, 40, 110, 250});
    zt::RunResult r = run({"sample.kvf", "%C=2", "%Xa.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# truncating values higher than  to 200=2.0*100.0(=mean)"));
    EXPECT_EQ(r.out.find("lower than"), std::string::npos);
    EXPECT_EQ(values("a.kvf"), (std::vector<int32_t>{0, 40, 110, 200}));

    r = run({"sample.kvf", "%C=,0.5", "%Xb.kvf"});
    EXPECT_EQ(r.out.find("higher than"), std::string::npos);
    EXPECT_TRUE(contains_line(r.out, "# truncating values lower than  to 50=0.5*100.0(=mean)"));
    EXPECT_EQ(values("b.kvf"), (std::vector<int32_t>{50, 50, 110, 250}));

    r = run({"sample.kvf", "%C=2,0.5", "%Xc.kvf"});
    const size_t high = r.out.find("higher than"), low = r.out.find("lower than");
    ASSERT_NE(high, std::string::npos);
    EXPECT_GT(low, high);
    EXPECT_EQ(values("c.kvf"), (std::vector<int32_t>{50, 50, 110, 200}));
}

TEST_F(Ops, ScaleReportsTheNewMaximum) {
    image("sample.kvf", {1000, -3, 5});
    const zt::RunResult r = run({"sample.kvf", "%S=2", "%Xa.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# rescaling 2.000000 : 1000(=maxi) to 2000"));
    EXPECT_EQ(values("a.kvf"), (std::vector<int32_t>{2000, -6, 10}));
}

TEST_F(Ops, DefaultOutputNamesCarrySuffixesAndNeverReplaceTheInput) {
    image("sample.kvf", {1, 2});
    zt::RunResult r = run({"sample.kvf", "%X"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(values("sample_x.kvf"), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(values("sample.kvf"), (std::vector<int32_t>{1, 2}));

    image("dark.kvf", {0, 0});
    image("flat.kvf", {1, 1});
    ASSERT_EQ(::mkdir(file("res").c_str(), 0755), 0);
    settings("OUT = res\n");
    r = run({"D=dark.kvf", "F=flat.kvf", "sample.kvf", "%X", "%Xnamed.kvf", "%Xother/"});
    EXPECT_EQ(r.status, 3) << "other/ does not exist: the writer fails";
    EXPECT_TRUE(zt::file_exists(file("res/sampledf.kvf")));
    EXPECT_TRUE(zt::file_exists(file("res/named.kvf")));
}

TEST_F(Ops, DirectoryOnlyOutputNameNeverReplacesTheInput) {
    ASSERT_EQ(::mkdir(file("data").c_str(), 0755), 0);
    image("data/img.kvf", {1, 2});
    const zt::RunResult r = run({"data/img.kvf", "%M=2", "%Xdata/"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(values("data/img.kvf"), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(values("data/img_x.kvf"), (std::vector<int32_t>{2, 4}));
}

TEST_F(Ops, DefaultTextAndTiffNamesNeverReplaceTheInput) {
    zt::write_file(file("img.txt"), "1 2\n3 4\n");
    zt::RunResult r = run({"img.txt", "%X.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt::read_file(file("img.txt")), "1 2\n3 4\n");
    EXPECT_EQ(zt::read_file(file("img_x.txt")), " 1 2 \n 3 4 \n");

    zt::write_file(file("pic.tif"), zt::gray_tiff(false, 8, 2, 1, {5, 6}));
    const std::string before = zt::read_file(file("pic.tif"));
    r = run({"pic.tif", "%M=2", "%X.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt::read_file(file("pic.tif")), before);
    EXPECT_TRUE(zt::file_exists(file("pic_x.tif")));
}

TEST_F(Ops, TiffOutputNames) {
    image("sample.kvf", {1, 2});
    const zt::RunResult r = run({"sample.kvf", "%Y.tif", "%Yresult.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(zt::file_exists(file("sample.tif")));
    EXPECT_TRUE(zt::file_exists(file("result.tif")));
}

TEST_F(Ops, NormalisationByTheScriptValue) {
    image("sample.kvf", {10, 20});
    script("x y 2.0e5 z");
    // Without "*" the image name follows the command text directly (trailing
    // blanks of a settings value are removed, so the text ends the way it needs).
    settings("SPEC = log.spec\nWSPEC2XL = sh norm.sh --image=\nXL_COL = 2\n");
    const zt::RunResult r = run({"sample.kvf", "%M=1.0e6/SPEC", "%Xa.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# running 'sh norm.sh --image=sample log.spec >zandor.SPEC'")) << r.out;
    EXPECT_TRUE(contains_line(r.out, "# using 1e+06/2e+05=5 as coefficient"));
    EXPECT_EQ(values("a.kvf"), (std::vector<int32_t>{50, 100}));
    EXPECT_EQ(zt::read_file(file("args.txt")), "--image=sample\nlog.spec\n");
}

TEST_F(Ops, OnlyTheLastStarIsReplaced) {
    image("sample.kvf", {10, 20});
    script("2");
    settings("SPEC = log.spec\nWSPEC2XL = sh norm.sh \\* --tag=*\n");
    const zt::RunResult r = run({"sample.kvf", "%A=SPEC", "%Xa.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "# running(*) 'sh norm.sh \\* --tag=sample log.spec >zandor.SPEC'"))
        << r.out;
    EXPECT_EQ(zt::read_file(file("args.txt")), "*\n--tag=sample\nlog.spec\n");
    EXPECT_EQ(values("a.kvf"), (std::vector<int32_t>{12, 22}));
}

TEST_F(Ops, ImageNamesReachTheScriptAsOneLiteralWord) {
    image("a;touch pwned $(id) 'q'.kvf", {10, 20});
    script("2");
    settings("SPEC = log.spec\nWSPEC2XL = sh norm.sh *\n");
    const zt::RunResult r = run({"a;touch pwned $(id) 'q'.kvf", "%M=SPEC"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(zt::file_exists(file("pwned")));
    EXPECT_EQ(zt::read_file(file("args.txt")), "a;touch pwned $(id) 'q'\nlog.spec\n");
}

TEST_F(Ops, NormalisationFailuresNameWhatIsMissing) {
    image("sample.kvf", {10, 20});
    script("x y");
    zt::RunResult r = run({"sample.kvf", "%M=SPEC"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("needs the WSPEC2XL setting"), std::string::npos) << r.err;

    settings("WSPEC2XL = sh norm.sh *\n");
    r = run({"sample.kvf", "%M=SPEC"});
    EXPECT_NE(r.err.find("needs the SPEC setting"), std::string::npos) << r.err;

    settings("SPEC = log.spec\nWSPEC2XL = sh norm.sh *\nXL_COL = 2\n");
    r = run({"sample.kvf", "%M=SPEC"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("XL_COL = 2 but the last line of 'zandor.SPEC' has 2 word(s): 'x y'"),
              std::string::npos)
        << r.err;

    settings("SPEC = log.spec\nWSPEC2XL = sh norm.sh *\nXL_COL = -1\n");
    r = run({"sample.kvf", "%M=SPEC"});
    EXPECT_EQ(r.status, 3);

    settings("SPEC = log.spec\nWSPEC2XL = sh norm.sh *\nXL_COL = 1\n");
    script("x notanumber");
    r = run({"sample.kvf", "%M=SPEC"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("is 'notanumber', not a number"), std::string::npos) << r.err;

    settings("SPEC = log.spec\nWSPEC2XL = true *\n");
    r = run({"sample.kvf", "%M=SPEC"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("normalisation output 'zandor.SPEC' is empty"), std::string::npos) << r.err;
}

TEST_F(Ops, LongResultLinesAreReadWhole) {
    image("sample.kvf", {10, 20});
    std::string line;
    for (int i = 0; i < 60; ++i)
        line += "word" + std::to_string(i) + " ";
    script(line + "3");
    settings("SPEC = log.spec\nWSPEC2XL = sh norm.sh *\nXL_COL = 60\n");
    const zt::RunResult r = run({"sample.kvf", "%M=SPEC", "%Xa.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(values("a.kvf"), (std::vector<int32_t>{30, 60}));
}

TEST_F(Ops, SecondGridCorrectionIsRefused) {
    image("sample.kvf", {10, 20});
    settings("GRID_DCOR = 3\nGRID_XCOR = 0 1 0\nGRID_YCOR = 0 0 1\n");
    const zt::RunResult r = run({"sample.kvf", "%G", "%G"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("grid correction soon applied"), std::string::npos) << r.err;
}

} // namespace
