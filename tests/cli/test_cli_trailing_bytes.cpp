// Bytes stored after the declared frames of a TIFF (its tags) or an SPE file
// (a newer version's footer) are never summed as further frames.
#include "kvf_reader.hpp"
#include "spe_writer.hpp"
#include "test_support.hpp"
#include "tiff_builder.hpp"

namespace {

class TrailingBytes : public zt::InTempDir {
  protected:
    zt::RunResult run(const std::vector<std::string>& words) { return zt::run_zandor(dir_->path(), words); }
};

TEST_F(TrailingBytes, TiffTagsAfterThePixelsAreNotFrames) {
    // 30 pixels of 8 bits, then an IFD several times that size.
    zt::write_file(file("small.tif"), zt::gray_tiff(false, 8, 6, 5, std::vector<uint16_t>(30, 77)));
    const zt::RunResult r = run({"small.tif", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(zt::contains_line(r.out, "# small.tif : 1 frames used")) << r.out;
    EXPECT_EQ(zt::read_kvf32(file("out.kvf")).values, std::vector<int32_t>(30, 77));
}

TEST_F(TrailingBytes, SpeFooterAfterTheFramesIsNotAFrame) {
    zt::SpeFields f;
    f.width = 4;
    f.height = 1;
    f.detector_x = 4;
    f.data_type = 1;
    f.frames = 2;
    const std::string footer(1000, 'x');
    zt::write_file(file("run.spe"), zt::spe_header(f) + zt::spe_i32({1, 2, 3, 4}, false) +
                                        zt::spe_i32({10, 20, 30, 40}, false) + footer);
    const zt::RunResult r = run({"run.spe", "%Xout.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(zt::contains_line(r.out, "# run.spe : 2 frames used")) << r.out;
    EXPECT_EQ(zt::read_kvf32(file("out.kvf")).values, (std::vector<int32_t>{11, 22, 33, 44}));
}

} // namespace
