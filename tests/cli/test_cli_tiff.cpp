// TIFF files through the binary: acquired from files other programs write,
// written by %X, %Y and %Z in the depth the values need, refused when they
// cannot be read right.
#include "expect_json.hpp"
#include "kvf_reader.hpp"
#include "kvf_writer.hpp"
#include "test_support.hpp"
#include "tiff_builder.hpp"

#include <cstring>

namespace {

uint16_t le16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1])
                                                                         << 8);
}
uint32_t le32(const std::string& s, size_t at) {
    return le16(s, at) | static_cast<uint32_t>(le16(s, at + 2)) << 16;
}
// BitsPerSample of a file this program wrote (third IFD entry).
uint16_t bits_of(const std::string& tif) {
    return le16(tif, 10 + 2 * 12 + 8);
}

class Tiff : public zt::InTempDir {
  protected:
    zt::RunResult run(const std::vector<std::string>& words) { return zt::run_zandor(dir_->path(), words); }
    void image(const std::string& name, const std::vector<double>& pixels) {
        zt::write_kvf(file(name), static_cast<int32_t>(pixels.size()), 1, 4, false, {pixels});
    }
    std::vector<int32_t> kvf_values(const std::string& name) { return zt::read_kvf32(file(name)).values; }
};

TEST_F(Tiff, MultiStripFilesOfBothByteOrdersAreAcquired) {
    std::vector<uint16_t> px(6 * 5);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<uint16_t>(1 + 2011 * i);
    zt::write_file(file("be.tif"), zt::gray_tiff(true, 16, 6, 5, px, 3, true));
    zt::write_file(file("le8.tif"), zt::gray_tiff(false, 8, 6, 5, std::vector<uint16_t>(30, 77), 2, true));
    const zt::RunResult r = run({"be.tif", "%Xbe.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# data_type (INT16U)  swapping used"), std::string::npos) << r.out;
    EXPECT_EQ(kvf_values("be.kvf"), std::vector<int32_t>(px.begin(), px.end()));
    const zt::RunResult r8 = run({"le8.tif", "%Xle8.kvf"});
    ASSERT_EQ(r8.status, 0) << r8.err;
    EXPECT_EQ(kvf_values("le8.kvf"), std::vector<int32_t>(30, 77));
}

TEST_F(Tiff, FileRecognisedByItsContentIsOpenedUnderItsOwnName) {
    zt::write_file(file("scan.dat"), zt::gray_tiff(false, 16, 2, 1, {300, 400}, 1, true));
    const zt::RunResult r = run({"scan.dat", "%Xscan.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# file  'scan.dat'"), std::string::npos) << r.out;
    EXPECT_EQ(kvf_values("scan.kvf"), (std::vector<int32_t>{300, 400}));
}

TEST_F(Tiff, OutputDepthFollowsTheCommandAndTheValues) {
    image("a.kvf", {1, 200});
    image("b.kvf", {0, 200});
    image("c.kvf", {1, 40000});
    zt::RunResult r = run({"a.kvf", "%Xa.tif", "%Ya16.tif", "%Za8.gel"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(zt::contains_line(r.out, " writing a.tif grayscale with 8 bits")) << r.out;
    EXPECT_EQ(bits_of(zt::read_file(file("a.tif"))), 8);
    EXPECT_EQ(bits_of(zt::read_file(file("a16.tif"))), 16);
    EXPECT_EQ(bits_of(zt::read_file(file("a8.gel"))), 8);
    r = run({"b.kvf", "%Xb.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bits_of(zt::read_file(file("b.tif"))), 32);
    r = run({"c.kvf", "%Xc.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string c = zt::read_file(file("c.tif"));
    EXPECT_EQ(bits_of(c), 16);
    EXPECT_EQ(le16(c, 270), 1);
    EXPECT_EQ(le16(c, 272), 40000);
}

TEST_F(Tiff, SixteenBitOutputHalvesOrShiftsAsAnnounced) {
    image("big.kvf", {0, 3, 131070});
    image("neg.kvf", {-100, 0, 1000});
    zt::RunResult r = run({"big.kvf", "%Ybig.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(zt::contains_line(r.out, " pixel intensities are multiplied by 0.500000")) << r.out;
    std::string t = zt::read_file(file("big.tif"));
    EXPECT_EQ(le16(t, 270), 0);
    EXPECT_EQ(le16(t, 272), 1);
    EXPECT_EQ(le16(t, 274), 65535);
    r = run({"neg.kvf", "%Yneg.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(zt::contains_line(r.out, " offset of -100 has been used")) << r.out;
    t = zt::read_file(file("neg.tif"));
    EXPECT_EQ(le16(t, 270), 0);
    EXPECT_EQ(le16(t, 272), 100);
    EXPECT_EQ(le16(t, 274), 1100);
}

TEST_F(Tiff, ArithmeticSinceTheLastStatisticsDoesNotWrapPixels) {
    image("s.kvf", {2, 100});
    const zt::RunResult r = run({"s.kvf", "%M=1000", "%Xs.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string t = zt::read_file(file("s.tif"));
    EXPECT_EQ(bits_of(t), 32);
    EXPECT_EQ(le32(t, 270), 2000u);
    EXPECT_EQ(le32(t, 274), 100000u);
}

TEST_F(Tiff, WrittenFilesReadBackExceptThirtyTwoBits) {
    image("r.kvf", {1, 250, 7});
    image("w.kvf", {0, 70000});
    zt::RunResult r = run({"r.kvf", "%Xr.tif", "%Yr16.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"w.kvf", "%Xw32.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"r.tif", "%Xback8.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"r16.tif", "%Xback16.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kvf_values("back8.kvf"), (std::vector<int32_t>{1, 250, 7}));
    EXPECT_EQ(kvf_values("back16.kvf"), (std::vector<int32_t>{1, 250, 7}));
    r = run({"w32.tif", "%Xw32back.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("#05# BitsPerSample   = 32 ; "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" not supported data type!"), std::string::npos) << r.err;
    EXPECT_FALSE(zt::file_exists(file("w32back.kvf")));
}

TEST_F(Tiff, RealFilesFromOtherProgramsAreAcquiredToTheirValues) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    for (const char* name :
         {"16bit.MM.cropped.tif", "16bit.cropped.tif", "minisblack-1c-8b.tiff", "minisblack-1c-16b.tiff",
          "video-001-gray.tiff", "cmx3g8_wv_1998.260_0745_mcidas.tiff"}) {
        SCOPED_TRACE(name);
        const std::string json = zt::read_file(root + "/tiff/" + name + ".expect.json");
        const zt::RunResult r = run({root + "/tiff/" + name, "%Xout.kvf"});
        ASSERT_EQ(r.status, 0) << r.err;
        const zt::KvfImage out = zt::read_kvf32(file("out.kvf"));
        const std::string frame1 = zt::json_value(json, "frame1");
        int64_t sum = 0;
        for (int32_t v : out.values)
            sum += v;
        EXPECT_EQ(sum, static_cast<int64_t>(zt::json_numbers(zt::json_value(frame1, "sum")).at(0)));
        const std::vector<double> first5 = zt::json_numbers(zt::json_value(frame1, "first5_row0"));
        for (size_t x = 0; x < 5; ++x)
            EXPECT_EQ(out.values.at(x), first5.at(x));
        EXPECT_EQ(out.values.back(), zt::json_numbers(zt::json_value(frame1, "last_pixel")).at(0));
    }
}

TEST_F(Tiff, FilesThatWouldBeMisreadAreRefused) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    zt::RunResult r = run({root + "/refuse/16bit.MM.deflate.tif", "%Xo.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("compressed TIFF (Compression 8) not supported"), std::string::npos) << r.err;
    r = run({root + "/refuse/hopper_bigtiff.tif", "%Xo.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("BigTIFF files are not supported"), std::string::npos) << r.err;
    r = run({root + "/refuse/CeO2_Pilatus1M.tif", "%Xo.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(" not supported data type!"), std::string::npos) << r.err;
    EXPECT_FALSE(zt::file_exists(file("o.kvf")));
}

} // namespace
