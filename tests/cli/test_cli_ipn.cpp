// IPN-label files through the binary: recognised by their first bytes under
// any name, summed in either byte order, and refused with status 3 when the
// label or the file cannot be read.
#include "ipn_writer.hpp"
#include "test_support.hpp"

#include <string>
#include <vector>

using zt::contains_line;

namespace {

class IpnCli : public zt::InTempDir {
  protected:
    zt::RunResult run(const std::vector<std::string>& words) { return zt::run_zandor(dir_->path(), words); }
    // A 3 wide, 2 high file of the given frames.
    void ipn(const std::string& name, const std::vector<std::vector<uint16_t>>& frames, char order = 'M',
             const char* width = "3") {
        zt::IpnLabel label;
        label.byte_order = order;
        label.width = width;
        label.height = "2";
        zt::write_file(file(name), zt::ipn_file(label, frames));
    }
};

TEST_F(IpnCli, FramesAreSummedInEitherByteOrder) {
    for (const char order : {'M', 'L'}) {
        ipn("run0007", {{1, 2, 3, 4, 5, 6}, {1000, 2000, 3000, 4000, 5000, 60000}}, order);
        const zt::RunResult r = run({"run0007", "%Xout.txt"});
        ASSERT_EQ(r.status, 0) << r.err;
        // The label declares one frame; every frame the file holds is summed.
        EXPECT_TRUE(contains_line(r.out, "# file  'run0007' : images size 3 * 2, frames 1")) << r.out;
        EXPECT_TRUE(contains_line(r.out, order == 'M' ? "# data_type (INT16U)  no swapping used"
                                                      : "# data_type (INT16U)  swapping used"))
            << r.out;
        EXPECT_TRUE(contains_line(r.out, "# run0007 : 2 frames used")) << r.out;
        // A wide image is written one line per column.
        EXPECT_EQ(zt::read_file(file("out.txt")), " 1001 4004 \n 2002 5005 \n 3003 60006 \n") << order;
    }
}

TEST_F(IpnCli, UnreadableLabelsAndFilesEndWithStatusThree) {
    struct Case {
        const char* what;
        std::string bytes;
        const char* message;
    };
    zt::IpnLabel wide;
    wide.width = "70000";
    zt::IpnLabel swapped_unknown;
    swapped_unknown.byte_order = 'B';
    zt::IpnLabel eight_bit;
    eight_bit.sample = "BIT*8";
    zt::IpnLabel small;
    const Case cases[] = {
        {"width beyond 16 bits", zt::ipn_file(wide, {}), "frame width of 70000, outside 1 to 65535"},
        {"unknown byte order", zt::ipn_file(swapped_unknown, {}), "unknown ByteOrder    B"},
        {"8-bit samples", zt::ipn_file(eight_bit, {std::vector<uint16_t>(12)}), " not supported data type!"},
        {"no frame after the label", zt::ipn_label(small), "too short for one frame of 4 * 3 pixels"},
    };
    for (const Case& c : cases) {
        zt::write_file(file("bad.lbl"), c.bytes);
        const zt::RunResult r = run({"bad.lbl", "%Xout.txt"});
        EXPECT_EQ(r.status, 3) << c.what;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find("../xy32lib/dmi_lib"), std::string::npos) << c.what << ": " << r.err;
        EXPECT_FALSE(zt::file_exists(file("out.txt"))) << c.what;
    }
}

} // namespace
