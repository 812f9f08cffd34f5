// TIFF files through the binary: acquired from files other programs write,
// written by %X, %Y and %Z in the depth the values need, refused when they
// cannot be read right.
#include "expect_json.hpp"
#include "kvf_reader.hpp"
#include "kvf_writer.hpp"
#include "test_support.hpp"
#include "tiff_builder.hpp"

#include <algorithm>
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

TEST_F(Tiff, WrittenFilesReadBackAtEveryDepth) {
    image("r.kvf", {1, 250, 7});
    image("w.kvf", {0, 70000});
    image("n.kvf", {-5, 7, 2000000000});
    zt::RunResult r = run({"r.kvf", "%Xr.tif", "%Yr16.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"w.kvf", "%Xw32.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"n.kvf", "%Xn32.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" offset of -5 has been used"), std::string::npos) << r.out;
    const struct {
        const char* tif;
        int bits;
        std::vector<int32_t> values;
    } cases[] = {
        {"r.tif", 8, {1, 250, 7}},
        {"r16.tif", 16, {1, 250, 7}},
        {"w32.tif", 32, {0, 70000}},
        {"n32.tif", 32, {0, 12, 2000000005}}, // as written: shifted by the offset
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bits_of(zt::read_file(file(c.tif))), c.bits) << c.tif;
        r = run({c.tif, "%Xback.kvf"});
        ASSERT_EQ(r.status, 0) << c.tif << ": " << r.err;
        EXPECT_EQ(kvf_values("back.kvf"), c.values) << c.tif;
    }
}

TEST_F(Tiff, ThirtyTwoBitIntegerAndFloatFilesAreAcquired) {
    // Signed integers high byte first, floats low byte first.
    zt::TiffBuilder ints(true);
    const uint32_t int_at = ints.append_u32s({static_cast<uint32_t>(-1), static_cast<uint32_t>(-2), 70000});
    zt::TiffBuilder floats(false);
    uint32_t f[3];
    const float values[3] = {-8.0f, 2.5f, 1.0e6f};
    std::memcpy(f, values, sizeof f);
    const uint32_t float_at = floats.append_u32s({f[0], f[1], f[2]});
    for (auto* t : {&ints, &floats}) {
        t->add_short(0x100, 3);
        t->add_short(0x101, 1);
        t->add_short(0x102, 32);
        t->add_long(0x111, t == &ints ? int_at : float_at);
        t->add_long(0x117, 12);
        t->add_short(0x153, t == &ints ? 2 : 3);
    }
    zt::write_file(file("i32.tif"), ints.bytes());
    zt::write_file(file("f32.tif"), floats.bytes());
    zt::RunResult r = run({"i32.tif", "%Xi.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# data_type (INT32)  swapping used"), std::string::npos) << r.out;
    EXPECT_EQ(kvf_values("i.kvf"), (std::vector<int32_t>{-1, -2, 70000}));
    r = run({"f32.tif", "%Xf.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kvf_values("f.kvf"), (std::vector<int32_t>{-8, 3, 1000000})); // rounded half up

    // Unsigned samples above 2^31 - 1 stop the run, naming the pixel.
    zt::TiffBuilder big(false);
    const uint32_t at = big.append_u32s({5, 3000000000u});
    big.add_short(0x100, 2);
    big.add_short(0x101, 1);
    big.add_short(0x102, 32);
    big.add_long(0x111, at);
    big.add_long(0x117, 8);
    zt::write_file(file("u32.tif"), big.bytes());
    r = run({"u32.tif", "%Xu.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("unsigned value 3000000000 at pixel x 1 y 0 of frame 1 in 'u32.tif'"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(zt::file_exists(file("u.kvf")));
}

// A hybrid-pixel detector file: module gaps hold -1, bad pixels -2. They are
// summed as they are, and the gap and bad-pixel zones take them out.
TEST_F(Tiff, HybridPixelDetectorFileIsAcquiredAndItsMarkersMasked) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    const std::string tiff = root + "/refuse/CeO2_Pilatus1M.tif";
    const std::string frame1 = zt::json_value(zt::read_file(tiff + ".expect.json"), "frame1");
    zt::RunResult r = run({tiff, "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    const zt::KvfImage out = zt::read_kvf32(file("out.kvf"));
    ASSERT_EQ(out.width, 981);
    ASSERT_EQ(out.height, 1043);
    int64_t sum = 0;
    for (int32_t v : out.values)
        sum += v;
    EXPECT_EQ(sum, static_cast<int64_t>(zt::json_numbers(zt::json_value(frame1, "sum")).at(0)));
    EXPECT_EQ(*std::min_element(out.values.begin(), out.values.end()), -2);
    EXPECT_EQ(out.values.at(521 * 981 + 490),
              zt::json_numbers(zt::json_value(frame1, "pixel_x490_y521")).at(0));
    const std::vector<double> first5 = zt::json_numbers(zt::json_value(frame1, "first5_row0"));
    for (size_t x = 0; x < 5; ++x)
        EXPECT_EQ(out.values.at(x), first5.at(x));

    zt::write_file(file("zandor.ini"), "R_EXCLUDED = 487 0 493 1042\n"
                                       "R_EXCLUDED = 0 195 980 211\n"
                                       "R_EXCLUDED = 0 407 980 423\n"
                                       "R_EXCLUDED = 0 619 980 635\n"
                                       "R_EXCLUDED = 0 831 980 847\n"
                                       "P_EXCLUDED = 287 12\n");
    r = run({tiff, "%Xmasked.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Every gap pixel (all the -1 of the file) and the one bad pixel.
    EXPECT_NE(r.out.find("# 73534 excluded pixel(s) by 6 mask(s) for calculations"), std::string::npos)
        << r.out;
}

TEST_F(Tiff, RealFilesFromOtherProgramsAreAcquiredToTheirValues) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    // The Deflate file is read through libtiff.
    for (const char* name :
         {"tiff/16bit.MM.cropped.tif", "tiff/16bit.cropped.tif", "tiff/minisblack-1c-8b.tiff",
          "tiff/minisblack-1c-16b.tiff", "tiff/video-001-gray.tiff",
          "tiff/cmx3g8_wv_1998.260_0745_mcidas.tiff", "refuse/16bit.MM.deflate.tif"}) {
        SCOPED_TRACE(name);
        const std::string json = zt::read_file(root + "/" + name + ".expect.json");
        const zt::RunResult r = run({root + "/" + name, "%Xout.kvf"});
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
    // A BigTIFF goes to libtiff, which finds a colour image.
    zt::RunResult r = run({root + "/refuse/hopper_bigtiff.tif", "%Xo.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(" colour TIFF (3 samples per pixel) not supported"), std::string::npos) << r.err;
    EXPECT_FALSE(zt::file_exists(file("o.kvf")));
}

} // namespace
