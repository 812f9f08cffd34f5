// WinView SPE files: byte-order probe, header fields and entries, refusal of
// untrusted header values, and frames read through the generic readers.
#include "fatal_capture.hpp"
#include "spe_writer.hpp"
#include "test_support.hpp"
#include "wv_lib.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr bool kHostLittle = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

const unsigned char* bytes_of(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::unique_ptr<HDR> describe(const std::string& head) {
    return wv_gethdr(bytes_of(head), head.size(), "t.spe");
}

std::unique_ptr<HDR> describe_and_fill(const std::string& head) {
    auto hdr = describe(head);
    wv_hdrfill(bytes_of(head), head.size(), *hdr);
    return hdr;
}

std::vector<std::string> entries(const HDR& hdr) {
    std::vector<std::string> out;
    for (const KvfItem& item : hdr.items)
        out.push_back(item.key + "=" + item.value);
    return out;
}

std::vector<std::string> entries_named(const HDR& hdr, const std::string& key) {
    std::vector<std::string> out;
    for (const KvfItem& item : hdr.items)
        if (item.key == key) out.push_back(item.value);
    return out;
}

// A 3 * 2 header. Its probe word 0x04DA is one the byte-order test can
// recognise in either order (a stored 3 or 1024 reads the same small value
// both ways, and such files are taken to be in host order).
zt::SpeFields small_fields(bool big_endian = false) {
    zt::SpeFields f;
    f.big_endian = big_endian;
    f.width = 3;
    f.height = 2;
    f.detector_x = 0x04DA;
    f.detector_y = 2;
    return f;
}

class WvTest : public zt::InTempDir {
  protected:
    void SetUp() override {
        zt::InTempDir::SetUp();
        xy_reset_byte_order();
    }
};

// ---------------------------------------------------------------- byte order

TEST_F(WvTest, ProbeWordInHostOrderDecidesSwapping) {
    // 0x04DA as read on this host: top four bits clear, the file is in host order.
    zt::SpeFields host = small_fields(!kHostLittle);
    describe(zt::spe_header(host));
    EXPECT_FALSE(xy_swap_on());
    EXPECT_STREQ(xy_swap_text(), kHostLittle ? "no swapping used" : "swapping used");

    // The same word stored the other way reads 0xDA04: the file is swapped.
    zt::SpeFields other = small_fields(kHostLittle);
    auto hdr = describe(zt::spe_header(other));
    EXPECT_TRUE(xy_swap_on());
    EXPECT_EQ(hdr->dim_x, 3);
    EXPECT_EQ(hdr->dim_y, 2);

    // A stored 1024 in the other order reads 0x0004: the probe cannot tell.
    zt::SpeFields blind = small_fields(kHostLittle);
    blind.detector_x = 1024;
    blind.width = 0x0100; // reads as 1 here: still a valid size
    blind.height = 0x0100;
    describe(zt::spe_header(blind));
    EXPECT_FALSE(xy_swap_on());
}

TEST_F(WvTest, OldFileProbesWidthThenOffsetZero) {
    zt::SpeFields by_width = small_fields(kHostLittle);
    by_width.detector_x = 0;
    by_width.width = 0x0A00; // stored the other way: reads 0x000A, so top bits clear
    describe(zt::spe_header(by_width));
    EXPECT_FALSE(xy_swap_on());

    // 0 at 6 and 42: offset 0 decides (here it says swapped) before the empty
    // image is refused.
    zt::SpeFields old = small_fields(kHostLittle);
    old.detector_x = 0;
    old.width = 0;
    old.old_probe = 0x0010;
    const std::string err = zt::fatal_report([&] { describe(zt::spe_header(old)); });
    EXPECT_TRUE(xy_swap_on());
    EXPECT_NE(err.find("'t.spe' : the SPE header gives an image of 0 * 2 pixels"), std::string::npos) << err;
}

TEST_F(WvTest, BothByteOrdersGiveTheSameRecordAndEntries) {
    std::vector<std::vector<std::string>> lists;
    for (bool big : {false, true}) {
        zt::SpeFields f = small_fields(big);
        f.width = 1042;
        f.height = 1000;
        f.frames = 7;
        f.detector_x = 2084;
        f.detector_y = 2000;
        f.exposure_sec = 900.0f;
        f.exposure_msec = 1;
        f.date = "07Jul2015";
        f.hour = 13;
        f.minute = 5;
        f.rois.push_back({0, 1, 2084, 2, 1, 2000, 2});
        auto hdr = describe_and_fill(zt::spe_header(f));
        EXPECT_EQ(xy_swap_on(), big == kHostLittle);
        EXPECT_EQ(hdr->dim_x, 1042);
        EXPECT_EQ(hdr->dim_y, 1000);
        EXPECT_EQ(hdr->frames, 7);
        EXPECT_EQ(hdr->offset, 4100);
        EXPECT_EQ(hdr->type, XY_TYPE_UINT16);
        EXPECT_EQ(hdr->exposure, 900.0f);
        lists.push_back(entries(*hdr));
    }
    EXPECT_EQ(lists[0], lists[1]);
    std::vector<std::string> expected = {"HeaderID=EH:000001:000000:000000",
                                         "ByteOrder=LowByteFirst",
                                         "DataType=UnsignedShort",
                                         "Dim_1=1042",
                                         "Dim_2=1000",
                                         "Image=7",
                                         "Detector_Xsize=2084",
                                         "Exposure_sec=900.000000",
                                         "Detector_Ysize=2000",
                                         "Experiment_date=07Jul2015",
                                         "Experiment_time=13:05",
                                         "Exposure_msec=1",
                                         "ROI_info=1 X=(1-2084)/2 Y=(1-2000)/2"};
    ASSERT_EQ(lists[0].size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(lists[0][i], expected[i]);
    const std::string software = lists[0].back();
    EXPECT_EQ(software.rfind("Software=../xy32lib/wv_lib (", 0), 0u) << software;
    EXPECT_EQ(software.substr(software.size() - 28), ") based on Winhead.txt (1.6)") << software;
}

// ---------------------------------------------------------------- header entries

TEST_F(WvTest, ExposureEntriesFollowTheShortAndLongForms) {
    zt::SpeFields f = small_fields();
    f.exposure_msec = 0xFFFF;
    f.exposure_msec_long = -1;
    auto none = describe_and_fill(zt::spe_header(f));
    EXPECT_TRUE(entries_named(*none, "Exposure_msec").empty());
    EXPECT_TRUE(entries_named(*none, "Exposure_sec").empty()); // 0 s gives no entry

    f.exposure_msec_long = 120000;
    EXPECT_EQ(entries_named(*describe_and_fill(zt::spe_header(f)), "Exposure_msec"),
              std::vector<std::string>{"120000"});

    f.exposure_msec = 40000; // the short form is signed
    EXPECT_EQ(entries_named(*describe_and_fill(zt::spe_header(f)), "Exposure_msec"),
              std::vector<std::string>{"-25536"});
}

TEST_F(WvTest, OnlyRoiSlotsWithBothGroupsAppearNumberedFromOne) {
    zt::SpeFields f = small_fields();
    f.rois.push_back({0, 238, 269, 1, 187, 218, 1});
    auto one = describe_and_fill(zt::spe_header(f));
    EXPECT_EQ(entries_named(*one, "ROI_info"), std::vector<std::string>{"1 X=(238-269)/1 Y=(187-218)/1"});

    f.rois.push_back({1, 5, 6, 0, 7, 8, 1}); // group x 0: left out
    f.rois.push_back({2, 5, 6, 1, 7, 8, 0}); // group y 0: left out
    f.rois.push_back({9, -1, 6, 3, 7, 8, 4});
    auto several = describe_and_fill(zt::spe_header(f));
    EXPECT_EQ(entries_named(*several, "ROI_info"),
              (std::vector<std::string>{"1 X=(238-269)/1 Y=(187-218)/1", "10 X=(-1-6)/3 Y=(7-8)/4"}));
}

TEST_F(WvTest, DateIsCopiedUpToItsFirstNulWhateverTheBytes) {
    zt::SpeFields f = small_fields();
    f.date = std::string("22J\xe4n2016");
    EXPECT_EQ(entries_named(*describe_and_fill(zt::spe_header(f)), "Experiment_date"),
              std::vector<std::string>{"22J\xe4n2016"});
    f.date = "0123456789"; // all ten bytes, no NUL among them
    EXPECT_EQ(entries_named(*describe_and_fill(zt::spe_header(f)), "Experiment_date"),
              std::vector<std::string>{"0123456789"});
}

// ---------------------------------------------------------------- data types and untrusted values

TEST_F(WvTest, DataTypeTableAndTheRefusalOfOtherTypes) {
    const struct {
        int16_t spe;
        int32_t type;
        const char* entry;
    } table[] = {{0, XY_TYPE_FLOAT, "FloatValue"},
                 {1, XY_TYPE_INT32, "SignedInt"},
                 {2, XY_TYPE_INT16, "Unknown"},
                 {3, XY_TYPE_UINT16, "UnsignedShort"}};
    for (const auto& row : table) {
        zt::SpeFields f = small_fields();
        f.data_type = row.spe;
        auto hdr = describe_and_fill(zt::spe_header(f));
        EXPECT_EQ(hdr->type, row.type) << row.spe;
        EXPECT_EQ(entries_named(*hdr, "DataType"), std::vector<std::string>{row.entry});
    }
    for (int16_t spe : {4, 8, -1}) {
        zt::SpeFields f = small_fields();
        f.data_type = spe;
        const std::string err = zt::fatal_report([&] { describe_and_fill(zt::spe_header(f)); });
        EXPECT_NE(err.find("# data_type (UNKNOWN)"), std::string::npos) << err;
        EXPECT_NE(err.find("DataType        = Unknown ;"), std::string::npos) << err;
        EXPECT_NE(err.find(" ../xy32lib/wv_lib error :  not supported data type!\n, abort!"),
                  std::string::npos)
            << err;
    }
}

TEST_F(WvTest, UntrustedSizesAndCountsAreRefusedClearly) {
    zt::SpeFields f = small_fields();
    f.height = 0;
    EXPECT_NE(zt::fatal_report([&] { describe(zt::spe_header(f)); }).find("image of 3 * 0 pixels"),
              std::string::npos);
    for (int32_t frames : {0, -5}) {
        f = small_fields();
        f.frames = frames;
        const std::string err = zt::fatal_report([&] { describe(zt::spe_header(f)); });
        EXPECT_NE(err.find("declares " + std::to_string(frames) + " frames"), std::string::npos) << err;
    }
    const std::string head = zt::spe_header(small_fields());
    const std::string err = zt::fatal_report([&] { wv_gethdr(bytes_of(head), 4099, "cut.spe"); });
    EXPECT_NE(err.find("'cut.spe' is not an SPE file : 4099 bytes"), std::string::npos) << err;
}

TEST_F(WvTest, OpenRefusesFilesThatCannotHoldTheirFirstFrame) {
    zt::write_file("tiny.spe", std::string(100, '\0'));
    EXPECT_NE(
        zt::fatal_report([] { wv_open("tiny.spe", "zandor"); }).find("100 bytes, less than its 4100-byte"),
        std::string::npos);

    zt::SpeFields f = small_fields();
    zt::write_file("short.spe", zt::spe_header(f) + zt::spe_u16({1, 2, 3, 4, 5}, false));
    testing::internal::CaptureStdout();
    std::string err = zt::fatal_report([] { wv_open("short.spe", "zandor"); });
    testing::internal::GetCapturedStdout();
    EXPECT_NE(err.find("too short for one frame of 3 * 2 pixels"), std::string::npos) << err;

    f.width = 65535;
    f.height = 65535;
    zt::write_file("huge.spe", zt::spe_header(f));
    err = zt::fatal_report([] { wv_open("huge.spe", "zandor"); });
    EXPECT_NE(err.find("exceeds the 32-bit image size"), std::string::npos) << err;
}

TEST_F(WvTest, OpenTriesLowerThenUpperCaseExtension) {
    const std::string file = zt::spe_header(small_fields()) + zt::spe_u16({1, 2, 3, 4, 5, 6}, false);
    zt::write_file("upper.SPE", file);
    zt::write_file("both.spe", file);
    zt::write_file("both.SPE", file);
    EXPECT_EQ(wv_open("upper", "zandor")->file_name, "upper.SPE");
    EXPECT_EQ(wv_open("both", "zandor")->file_name, "both.spe");
    auto hdr = wv_open("upper.SPE", "zandor");
    EXPECT_EQ(hdr->file_name, "upper.SPE");
    EXPECT_EQ(hdr->format, XY_FORMAT_SPE);
    EXPECT_TRUE(hdr->fp);

    EXPECT_EQ(
        zt::fatal_report([] { wv_open("absent", "zandor"); }),
        " ../xy32lib/wv_lib error (errno=2) : wv_open : unable to open zandor file 'absent(.spe|.SPE)'\n, "
        "abort!\n\n");
}

// ---------------------------------------------------------------- frames read end to end

// Sums every frame of an SPE file as the driver does.
IMG sum_file(const std::string& name) {
    IMG img;
    img.hdr = wv_open(name, "zandor");
    testing::internal::CaptureStdout();
    xy_getsum(img, nullptr, 0, 1, 0);
    testing::internal::GetCapturedStdout();
    return img;
}

TEST_F(WvTest, EachSupportedTypeReadsBackTheValuesWritten) {
    for (bool big : {false, true}) {
        zt::SpeFields f = small_fields(big);
        f.data_type = 3;
        zt::write_file("u16.spe", zt::spe_header(f) + zt::spe_u16({0, 1, 2, 300, 40000, 65534}, big));
        EXPECT_EQ(sum_file("u16.spe").data, (std::vector<int32_t>{0, 1, 2, 300, 40000, 65534})) << big;

        f.data_type = 1;
        zt::write_file("i32.spe",
                       zt::spe_header(f) + zt::spe_i32({-24, 0, 32720, INT32_MIN, INT32_MAX, -1}, big));
        EXPECT_EQ(sum_file("i32.spe").data, (std::vector<int32_t>{-24, 0, 32720, INT32_MIN, INT32_MAX, -1}))
            << big;

        // Float frames add trunc(f + 0.5) (MULT unset counts as 1).
        f.data_type = 0;
        zt::write_file("f32.spe",
                       zt::spe_header(f) + zt::spe_f32({586.0f, 1.2f, 7.6f, 0.0f, 46593.0f, 2.5f}, big));
        EXPECT_EQ(sum_file("f32.spe").data, (std::vector<int32_t>{586, 1, 8, 0, 46593, 3})) << big;
    }
}

TEST_F(WvTest, SignedSixteenBitFramesAreRefusedWhenRead) {
    zt::SpeFields f = small_fields();
    f.data_type = 2;
    zt::write_file("i16.spe", zt::spe_header(f) + zt::spe_i16({-1, 2, 3, 4, 5, 6}, false));
    IMG img;
    img.hdr = wv_open("i16.spe", "zandor");
    EXPECT_EQ(img.hdr->type, XY_TYPE_INT16);
    testing::internal::CaptureStdout();
    const std::string err = zt::fatal_report([&] { xy_getsum(img, nullptr, 0, 1, 0); });
    testing::internal::GetCapturedStdout();
    EXPECT_NE(err.find("data type not suppported"), std::string::npos) << err;
}

TEST_F(WvTest, FramesFollowEachOtherAndADeclaredCountBeyondTheFileStopsAtItsEnd) {
    zt::SpeFields f = small_fields();
    f.frames = 5; // the file holds 3
    std::string file = zt::spe_header(f);
    for (uint16_t k = 1; k <= 3; ++k)
        file += zt::spe_u16({k, k, k, k, k, uint16_t(10 * k)}, false);
    zt::write_file("three.spe", file);

    IMG img = sum_file("three.spe");
    EXPECT_EQ(img.frames, 3);
    EXPECT_EQ(img.data, (std::vector<int32_t>{6, 6, 6, 6, 6, 60}));

    IMG second;
    second.hdr = wv_open("three.spe", "zandor");
    xy_setsize(second);
    std::vector<uint16_t> buf(static_cast<size_t>(second.reg_size));
    ASSERT_EQ(xy_getrawu(second, buf.data(), 2, nullptr), 2);
    EXPECT_EQ(buf, (std::vector<uint16_t>{2, 2, 2, 2, 2, 20}));
    EXPECT_EQ(xy_getrawu(second, buf.data(), 4, nullptr), 0);
}

} // namespace
