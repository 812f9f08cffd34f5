// WinView SPE files: byte-order probe, header fields and entries, refusal of
// untrusted header values, and frames read through the generic readers.
#include "expect_json.hpp"
#include "fatal_capture.hpp"
#include "spe_writer.hpp"
#include "test_support.hpp"
#include "wv_lib.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
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
    void SetUp() override { zt::InTempDir::SetUp(); }
};

// ---------------------------------------------------------------- byte order

TEST_F(WvTest, ProbeWordInHostOrderDecidesSwapping) {
    // 0x04DA as read on this host: top four bits clear, the file is in host order.
    zt::SpeFields host = small_fields(!kHostLittle);
    const XyByteOrder host_order = describe(zt::spe_header(host))->byte_order;
    EXPECT_FALSE(xy_swaps(host_order));
    EXPECT_STREQ(xy_byte_order_text(host_order), kHostLittle ? "no swapping used" : "swapping used");

    // The same word stored the other way reads 0xDA04: the file is swapped.
    zt::SpeFields other = small_fields(kHostLittle);
    auto hdr = describe(zt::spe_header(other));
    EXPECT_TRUE(xy_swaps(hdr->byte_order));
    EXPECT_EQ(hdr->dim_x, 3);
    EXPECT_EQ(hdr->dim_y, 2);

    // A stored 1024 in the other order reads 0x0004: the probe cannot tell.
    zt::SpeFields blind = small_fields(kHostLittle);
    blind.detector_x = 1024;
    blind.width = 0x0100; // reads as 1 here: still a valid size
    blind.height = 0x0100;
    EXPECT_FALSE(xy_swaps(describe(zt::spe_header(blind))->byte_order));
}

TEST_F(WvTest, OldFileProbesWidthThenOffsetZero) {
    zt::SpeFields by_width = small_fields(kHostLittle);
    by_width.detector_x = 0;
    by_width.width = 0x0A00; // stored the other way: reads 0x000A, so top bits clear
    EXPECT_FALSE(xy_swaps(describe(zt::spe_header(by_width))->byte_order));

    // 0 at 6 and 42: offset 0 decides (here it says swapped) before the empty
    // image is refused; the height stored the other way reads 2 only when
    // the swap was decided.
    zt::SpeFields old = small_fields(kHostLittle);
    old.detector_x = 0;
    old.width = 0;
    old.old_probe = 0x0010;
    const std::string err = zt::fatal_report([&] { describe(zt::spe_header(old)); });
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
        EXPECT_EQ(xy_swaps(hdr->byte_order), big == kHostLittle);
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
        EXPECT_NE(err.find(" ../xy32lib/wv_lib error :  not supported data type!, abort!"), std::string::npos)
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
        " ../xy32lib/wv_lib error (errno=2) : wv_open : unable to open zandor file 'absent(.spe|.SPE)', "
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

// ---------------------------------------------------------------- real files

// One frame as doubles, read with the generic reader of the file's type.
std::vector<double> read_real_frame(IMG& img, int32_t frame, int32_t& result) {
    const size_t n = static_cast<size_t>(img.reg_size);
    std::vector<double> values(n);
    switch (img.hdr->type) {
    case XY_TYPE_UINT16: {
        std::vector<uint16_t> buf(n);
        result = xy_getrawu(img, buf.data(), frame, nullptr);
        std::copy(buf.begin(), buf.end(), values.begin());
        break;
    }
    case XY_TYPE_INT32: {
        std::vector<int32_t> buf(n);
        result = xy_getrawl(img, buf.data(), frame, nullptr);
        std::copy(buf.begin(), buf.end(), values.begin());
        break;
    }
    case XY_TYPE_FLOAT: {
        std::vector<float> buf(n);
        testing::internal::CaptureStdout(); // a missing float frame prints a line
        result = xy_getrawf(img, buf.data(), frame, nullptr);
        testing::internal::GetCapturedStdout();
        std::copy(buf.begin(), buf.end(), values.begin());
        break;
    }
    default:
        ADD_FAILURE() << "unexpected type " << img.hdr->type;
        result = -2;
    }
    return values;
}

int32_t type_of_dtype(const std::string& dtype) {
    if (dtype == "uint16") return XY_TYPE_UINT16;
    if (dtype == "int32") return XY_TYPE_INT32;
    if (dtype == "float32") return XY_TYPE_FLOAT;
    return -1;
}

std::string hex_text(const std::string& hex) {
    std::string text;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const char c = static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        if (c == '\0') break;
        text += c;
    }
    return text;
}

double number(const std::string& json, const std::string& key) {
    const std::vector<double> v = zt::json_numbers(zt::json_value(json, key));
    EXPECT_EQ(v.size(), 1u) << key;
    return v.empty() ? NAN : v[0];
}

void check_real_entries(const HDR& hdr, const std::string& head_json) {
    EXPECT_EQ(entries_named(hdr, "Experiment_date"),
              std::vector<std::string>{hex_text(zt::json_string(head_json, "date_at20_hex"))});
    EXPECT_EQ(entries_named(hdr, "Detector_Xsize"),
              std::vector<std::string>{prg_format("%d", int(number(head_json, "detector_xdim_at6")))});
    EXPECT_EQ(entries_named(hdr, "Exposure_msec"),
              std::vector<std::string>{prg_format("%d", int(number(head_json, "exposure_short_at4")))});
    const double exposure = number(head_json, "exposure_sec_float_at10");
    EXPECT_EQ(double(hdr.exposure), exposure);
    EXPECT_EQ(entries_named(hdr, "Exposure_sec").size(), exposure != 0.0 ? 1u : 0u);

    std::vector<std::string> rois;
    const std::string slots = zt::json_value(head_json, "roi_slots_with_nonzero_groups");
    for (size_t at = slots.find('{'); at != std::string::npos; at = slots.find('{', at + 1)) {
        const std::string slot = slots.substr(at, slots.find('}', at) - at + 1);
        rois.push_back(prg_format("%d X=(%d-%d)/%d Y=(%d-%d)/%d", int(number(slot, "slot")),
                                  int(number(slot, "startx")), int(number(slot, "endx")),
                                  int(number(slot, "groupx")), int(number(slot, "starty")),
                                  int(number(slot, "endy")), int(number(slot, "groupy"))));
    }
    EXPECT_EQ(entries_named(hdr, "ROI_info"), rois);
}

// Frame 1's statistics and probe pixels, as the expectation file lists them.
void check_real_frame1(const std::vector<double>& v, const IMG& img, const std::string& f1) {
    double sum = 0.0, lo = v[0], hi = v[0];
    for (double x : v) {
        sum += x;
        lo = std::min(lo, x);
        hi = std::max(hi, x);
    }
    EXPECT_DOUBLE_EQ(sum, number(f1, "sum"));
    EXPECT_EQ(lo, number(f1, "min"));
    EXPECT_EQ(hi, number(f1, "max"));
    const std::vector<double> first5(v.begin(), v.begin() + 5);
    EXPECT_EQ(first5, zt::json_numbers(zt::json_value(f1, "first5_row0")));
    const std::vector<double> row1(v.begin() + img.nx, v.begin() + img.nx + 3);
    EXPECT_EQ(row1, zt::json_numbers(zt::json_value(f1, "row1_first3")));
    EXPECT_EQ(v.back(), number(f1, "last_pixel"));
    const std::string key = zt::json_key_with_prefix(f1, "pixel_x");
    int x = -1, y = -1;
    ASSERT_EQ(std::sscanf(key.c_str(), "pixel_x%d_y%d", &x, &y), 2) << key;
    EXPECT_EQ(v[static_cast<size_t>(y) * img.nx + x], number(f1, key));
}

// Sums of each frame, the second frame's first pixels and the missing frame
// after the last one.
void check_real_frames(IMG& img, const std::string& json, int32_t frames) {
    const std::vector<double> sums = zt::json_numbers(zt::json_value(json, "per_frame_sums"));
    ASSERT_EQ(sums.size(), static_cast<size_t>(frames));
    for (int32_t k = 1; k <= frames; ++k) {
        int32_t result = 0;
        const std::vector<double> v = read_real_frame(img, k, result);
        ASSERT_EQ(result, img.reg_height) << "frame " << k;
        double sum = 0.0;
        for (double x : v)
            sum += x;
        EXPECT_DOUBLE_EQ(sum, sums[k - 1]) << "frame " << k;
        if (k == 2) {
            EXPECT_EQ(std::vector<double>(v.begin(), v.begin() + 5),
                      zt::json_numbers(zt::json_value(json, "frame2_first5_row0")));
        }
    }
}

// The summation of all frames agrees with the expected sums (the float files
// hold whole numbers, which floor(f + 0.5) keeps, negative ones included), and
// its first pixels are the sums of the frames' first pixels.
void check_real_summation(const std::string& path, const std::string& json, int32_t frames) {
    const std::string f1 = zt::json_value(json, "frame1");
    std::vector<double> sums = zt::json_numbers(zt::json_value(json, "per_frame_sums"));
    if (sums.empty()) sums.push_back(number(f1, "sum"));
    double expected = 0.0;
    for (double s : sums)
        expected += s;
    IMG img = sum_file(path);
    EXPECT_EQ(img.frames, frames);
    int64_t total = 0;
    for (int32_t v : img.data)
        total += v;
    EXPECT_EQ(double(total), expected);
    std::vector<double> first5 = zt::json_numbers(zt::json_value(f1, "first5_row0"));
    if (frames > 1) {
        const std::vector<double> second = zt::json_numbers(zt::json_value(json, "frame2_first5_row0"));
        for (size_t x = 0; x < 5; ++x)
            first5[x] += second.at(x);
    }
    if (frames <= 2) {
        EXPECT_EQ(std::vector<double>(img.data.begin(), img.data.begin() + 5), first5);
    }
}

TEST_F(WvTest, RealFilesMatchTheirExpectations) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root + "/spe")) {
        const std::string json_path = entry.path().string();
        if (json_path.size() < 12 || json_path.compare(json_path.size() - 12, 12, ".expect.json") != 0)
            continue;
        const std::string json = zt::read_file(json_path);
        const std::string name = zt::json_string(json, "file");
        SCOPED_TRACE(name);
        ASSERT_EQ(zt::json_string(json, "expect"), "read");
        const std::string path = root + "/spe/" + name;

        IMG img;
        img.hdr = wv_open(path, "zandor");
        const HDR& hdr = *img.hdr;
        EXPECT_EQ(hdr.byte_order, XyByteOrder::low_first); // every public SPE file is low byte first
        const std::string dims = zt::json_value(json, "dims");
        EXPECT_EQ(hdr.dim_x, number(dims, "width"));
        EXPECT_EQ(hdr.dim_y, number(dims, "height"));
        const int32_t frames = static_cast<int32_t>(number(json, "frames"));
        EXPECT_EQ(hdr.frames, frames);
        EXPECT_EQ(hdr.type, type_of_dtype(zt::json_string(json, "dtype")));
        EXPECT_EQ(hdr.offset, number(json, "data_offset"));
        check_real_entries(hdr, zt::json_value(json, "header"));

        xy_setsize(img);
        int32_t result = 0;
        const std::vector<double> frame1 = read_real_frame(img, 1, result);
        ASSERT_EQ(result, img.reg_height);
        check_real_frame1(frame1, img, zt::json_value(json, "frame1"));
        if (frames > 1) check_real_frames(img, json, frames);
        // After the last frame: nothing (0), or a footer shorter than a frame,
        // which reads as a truncated frame (-1) and ends a summation the same way.
        testing::internal::CaptureStderr();
        read_real_frame(img, frames + 1, result);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, number(json, "trailing_bytes_after_frames") == 0 ? 0 : -1) << err;
        check_real_summation(path, json, frames);
        ++files;
    }
    EXPECT_EQ(files, 8);
}

TEST_F(WvTest, RealFilesThatMustFail) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    const std::string glue = root + "/refuse/spectroscopy_glue.spe";
    ASSERT_NE(
        zt::json_string(zt::read_file(glue + ".expect.json"), "expect").find("unsupported SPE data type 8"),
        std::string::npos);
    std::string err = zt::fatal_report([&] { wv_open(glue, "zandor"); });
    EXPECT_NE(err.find(" not supported data type!"), std::string::npos) << err;
    EXPECT_NE(err.find("# file  '" + glue + "' : images size 1340 * 1, frames 1"), std::string::npos) << err;

    // A real header declaring 61 frames, cut after its 4100 bytes: the reader
    // finds no frame 1, and opening refuses the file before any read.
    const std::string cut = root + "/refuse/beam-headeronly.spe";
    ASSERT_EQ(zt::json_string(zt::read_file(cut + ".expect.json"), "expect").rfind("fail on read", 0), 0u);
    const std::string head = zt::read_file(cut);
    IMG img;
    img.hdr = wv_gethdr(bytes_of(head), head.size(), cut);
    EXPECT_EQ(img.hdr->frames, 61);
    img.hdr->fp = FileHandle(std::fopen(cut.c_str(), "rb"));
    xy_setsize(img);
    std::vector<uint16_t> buf(static_cast<size_t>(img.reg_size));
    EXPECT_EQ(xy_getrawu(img, buf.data(), 1, nullptr), 0);
    err = zt::fatal_report([&] { wv_open(cut, "zandor"); });
    EXPECT_NE(err.find("of 4100 bytes is too short for one frame of 1024 * 256 pixels"), std::string::npos)
        << err;
}

} // namespace
