// Text images: layout detection, the text raw reader and the writer.
#include "fatal_capture.hpp"
#include "records.hpp"
#include "test_support.hpp"
#include "txt_lib.hpp"

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

namespace {

class TxtTest : public zt::InTempDir {
  protected:
    // Opens `content` written as `name`; stdout of the layout scan is kept.
    std::unique_ptr<HDR> open_text(const std::string& content, const std::string& name = "img.txt") {
        zt::write_file(file(name), content);
        testing::internal::CaptureStdout();
        std::unique_ptr<HDR> hdr = txt_open(file(name), "zandor");
        scan_output = testing::internal::GetCapturedStdout();
        return hdr;
    }

    // Reads one frame of an opened file into `img` (whole frame unless the
    // region was set); returns the reader's result, keeps its stdout.
    int32_t read_frame(IMG& img, std::unique_ptr<HDR> hdr, int32_t frame, std::FILE* dump = nullptr) {
        img.hdr = std::move(hdr);
        xy_setsize(img);
        values.assign(static_cast<size_t>(img.reg_size), -999);
        testing::internal::CaptureStdout();
        const int32_t got = xy_getrawa(img, values.data(), frame, dump);
        read_output = testing::internal::GetCapturedStdout();
        return got;
    }

    // The fatal report of reading frame 1 of `content`.
    std::string read_failure(const std::string& content, float mult = 0.0f) {
        auto hdr = open_text(content);
        IMG img;
        img.mult = mult;
        img.hdr = std::move(hdr);
        xy_setsize(img);
        values.assign(static_cast<size_t>(img.reg_size), 0);
        SCOPED_TRACE(content.substr(0, 80));
        return zt::fatal_output([&] { xy_getrawa(img, values.data(), 1, nullptr); }).err;
    }

    std::string open_failure(const std::string& content) {
        zt::write_file(file("bad.txt"), content);
        return zt::fatal_output([&] { txt_open(file("bad.txt"), "zandor"); }).err;
    }

    std::string scan_output, read_output;
    std::vector<int32_t> values;
};

std::vector<std::string> entry_lines(const HDR& hdr) {
    std::vector<std::string> out;
    for (const KvfItem& item : hdr.items)
        out.push_back(item.key + "=" + item.value);
    return out;
}

// ---------------------------------------------------------------- layout

TEST_F(TxtTest, ThreeLineFileGivesWidthThreeHeightTwoOffsetAtSecondLine) {
    for (const std::string tail : {"\n", ""}) {
        auto hdr = open_text("# comment\n1 2 3\n4 5 6" + tail);
        EXPECT_EQ(hdr->dim_x, 3);
        EXPECT_EQ(hdr->dim_y, 2) << "final line end: " << !tail.empty();
        EXPECT_EQ(hdr->offset, 10);
        EXPECT_EQ(hdr->frames, 1);
        EXPECT_EQ(hdr->type, XY_TYPE_TEXT);
        EXPECT_EQ(hdr->format, XY_FORMAT_TXT);
        EXPECT_EQ(scan_output, "feof =2=\n");
        EXPECT_EQ(entry_lines(*hdr),
                  (std::vector<std::string>{"HeaderID=EH:000001:000000:000000", "ByteOrder=LowByteFirst",
                                            "DataType=SignedInt", "Dim_1=3", "Dim_2=2", "Image=1"}));
    }
}

TEST_F(TxtTest, TwoFramesGiveTheFirstFramesHeightAndReadEachFrame) {
    const std::string two = "1 2\n3 4\n# second\n5 6\n7 8\n";
    auto hdr = open_text(two);
    EXPECT_EQ(hdr->dim_x, 2);
    EXPECT_EQ(hdr->dim_y, 2);
    EXPECT_EQ(scan_output, "'#' =2= buffer = # second\n");

    IMG first;
    ASSERT_EQ(read_frame(first, std::move(hdr), 1), 2);
    EXPECT_EQ(values, (std::vector<int32_t>{1, 2, 3, 4}));
    EXPECT_EQ(read_output, " txt frame 1 read\n");

    IMG second;
    ASSERT_EQ(read_frame(second, open_text(two), 2), 2);
    EXPECT_EQ(values, (std::vector<int32_t>{5, 6, 7, 8}));

    IMG third;
    EXPECT_EQ(read_frame(third, open_text(two), 3), -1);
    EXPECT_EQ(read_output, "xy_getrawa pos 3 : multiframe txt image with more than one '#' line\n\n");

    // One open file read out of order: every frame gets its own values, and the
    // frame starts found on the way are kept, so frame k is not found again by
    // rereading the frames before it.
    IMG reused;
    reused.hdr = open_text("1 2\n3 4\n#a\n5 6\n7 8\n#b\n9 10\n11 12\n");
    xy_setsize(reused);
    for (const int32_t frame : {3, 1, 2, 3}) {
        std::vector<int32_t> got(4, -999);
        testing::internal::CaptureStdout();
        ASSERT_EQ(xy_getrawa(reused, got.data(), frame, nullptr), 2) << frame;
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(got, (std::vector<int32_t>{4 * frame - 3, 4 * frame - 2, 4 * frame - 1, 4 * frame}))
            << frame;
    }
    EXPECT_EQ(reused.hdr->frame_starts.size(), 3u);

    // A data line where the separator should be is printed as read, line feed included.
    IMG no_separator;
    EXPECT_EQ(read_frame(no_separator, open_text("1 2\n#\n3 4\n9 9\n"), 3), -1);
    EXPECT_EQ(read_output, "xy_getrawa pos 3 : multiframe txt image with more than one '#' line\n9 9\n\n");
}

TEST_F(TxtTest, BlankLinesAreRowsAndOnlyLeadingHashLinesAreComments) {
    auto hdr = open_text("#a\n#b\n7 8\n\n9 10\n");
    EXPECT_EQ(hdr->offset, 6);
    EXPECT_EQ(hdr->dim_y, 3);
    const std::string err = read_failure("7 8\n\n9 10\n");
    EXPECT_NE(err.find("at y = 1/3 : the row holds 0 values, 2 expected"), std::string::npos) << err;
}

TEST_F(TxtTest, NameGetsTxtAppendedUnlessOpenedAsNamed) {
    zt::write_file(file("plain.txt"), "5\n");
    zt::write_file(file("plain"), "6 7\n");
    testing::internal::CaptureStdout();
    auto appended = txt_open(file("plain"), "zandor");
    auto as_named = txt_open(file("plain"), "zandor", true);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(appended->file_name, file("plain.txt"));
    EXPECT_EQ(appended->dim_x, 1);
    EXPECT_EQ(as_named->file_name, file("plain"));
    EXPECT_EQ(as_named->dim_x, 2);

    EXPECT_EQ(zt::fatal_report([] { txt_open("missing", "zandor"); }),
              " ../xy32lib/txt_lib error (errno=2) : txt_open (errno=2): unable to open zandor file "
              "'missing.txt', "
              "abort!\n\n");
}

// ---------------------------------------------------------------- long lines

TEST_F(TxtTest, RowsLongerThanAnyBufferAreReadWhole) {
    const int width = 2048, height = 3;
    std::string content = "# 2048 wide, 6-digit values: 14 KB lines\n";
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            content += " " + std::to_string(100000 + y * width + x);
        content += "\n";
    }
    auto hdr = open_text(content);
    ASSERT_EQ(hdr->dim_x, width);
    ASSERT_EQ(hdr->dim_y, height);
    IMG img;
    ASSERT_EQ(read_frame(img, std::move(hdr), 1), height);
    for (int i = 0; i < width * height; ++i)
        ASSERT_EQ(values[i], 100000 + i) << "pixel " << i;
}

TEST_F(TxtTest, RowsAndColumnsBeyondSixteenBitsAreRefused) {
    std::string wide;
    for (int x = 0; x < 65536; ++x)
        wide += "0 ";
    EXPECT_NE(open_failure(wide + "\n").find("65536 values in a row, more than the 65535"),
              std::string::npos);

    std::string high;
    for (int y = 0; y < 65536; ++y)
        high += "1\n";
    EXPECT_NE(open_failure(high).find("more than 65535 rows in a frame"), std::string::npos);

    high.pop_back(); // 65535 rows (the last without its line end) still fit
    auto hdr = open_text(high.substr(0, high.size() - 2));
    EXPECT_EQ(hdr->dim_y, 65535);
}

// ---------------------------------------------------------------- faults refused

TEST_F(TxtTest, FilesWithoutADataLineEndAtOnce) {
    for (const std::string content : {"", "# only\n# comments\n", "#no line end"})
        EXPECT_NE(open_failure(content).find("holds no data line"), std::string::npos) << content;
    const std::string err = open_failure("# header\n\n1 2\n");
    EXPECT_NE(err.find("its first data line (line 2) holds no number"), std::string::npos) << err;
}

TEST_F(TxtTest, ValueThatIsNotANumberNamesRowAndColumn) {
    std::string err = read_failure("1 2 3\n4 x 6\n");
    EXPECT_NE(err.find("at y = 1/2, x = 1/3 : 'x' is not a number"), std::string::npos) << err;
    err = read_failure("1 2 3\n4 5 6abc\n");
    EXPECT_NE(err.find("at y = 1/2, x = 2/3 : '6abc' is not a number"), std::string::npos) << err;
    // The first line's width stops at its first non-number, which is then refused.
    err = read_failure("1 2 , 4\n5 6 7 8\n");
    EXPECT_NE(err.find("at y = 0/2, x = 2/2 : ',' is not a number"), std::string::npos) << err;
}

TEST_F(TxtTest, RaggedRowsAreRefusedNotReflowed) {
    std::string err = read_failure("1 2 3\n4 5\n7 8 9\n");
    EXPECT_NE(err.find("at y = 1/3 : the row holds 2 values, 3 expected"), std::string::npos) << err;
    err = read_failure("1 2 3\n4 5 6 7\n");
    EXPECT_NE(err.find("at y = 1/2 : the row holds more than 3 values"), std::string::npos) << err;
}

TEST_F(TxtTest, ValuesOutsideThirtyTwoBitsAreRefused) {
    for (const std::string v : {"1e300", "inf", "-inf", "nan", "2147483648", "-2147483649", "1e400"}) {
        const std::string err = read_failure("0 " + v + "\n");
        EXPECT_NE(err.find("'" + v + "' is out of the 32-bit pixel range"), std::string::npos) << err;
    }
    const std::string err = read_failure("1 3000000\n", 1000.0f);
    EXPECT_NE(err.find("'3000000' times MULT is out of the 32-bit pixel range"), std::string::npos) << err;

    auto hdr = open_text("2147483647 -2147483648 2147483647.9 -2147483648.9 1e-400 +4\n");
    IMG img;
    ASSERT_EQ(read_frame(img, std::move(hdr), 1), 1);
    EXPECT_EQ(values, (std::vector<int32_t>{INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, 0, 4}));
}

TEST_F(TxtTest, DecimalsTruncateTowardZeroAndMultAboveOneScales) {
    IMG plain;
    ASSERT_EQ(read_frame(plain, open_text("1.9 -1.9 2e2\n"), 1), 1);
    EXPECT_EQ(values, (std::vector<int32_t>{1, -1, 200}));

    IMG scaled;
    scaled.mult = 2.5f;
    ASSERT_EQ(read_frame(scaled, open_text("1.5 -1.5 3\n"), 1), 1);
    EXPECT_EQ(values, (std::vector<int32_t>{3, -3, 7}));

    IMG unscaled; // MULT of 1 or below leaves the values alone
    unscaled.mult = 0.5f;
    ASSERT_EQ(read_frame(unscaled, open_text("1.5 -1.5 3\n"), 1), 1);
    EXPECT_EQ(values, (std::vector<int32_t>{1, -1, 3}));
}

TEST_F(TxtTest, ShortAndTruncatedFrames) {
    const std::string two = "1 2\n3 4\n#\n5 6\n";
    IMG truncated;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_frame(truncated, open_text(two), 2), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("xy_getrawa error"), 0u);

    IMG missing; // nothing after the separator: the frame does not exist
    EXPECT_EQ(read_frame(missing, open_text("1 2\n#\n"), 2), 0);

    auto hdr = open_text("1 2\n3 4\n#\n5 6\n# early\n7 8\n");
    IMG early;
    early.hdr = std::move(hdr);
    xy_setsize(early);
    values.assign(4, 0);
    const std::string err = zt::fatal_output([&] { xy_getrawa(early, values.data(), 2, nullptr); }).err;
    EXPECT_NE(err.find("the frame ends after 1 of its 2 rows"), std::string::npos) << err;
}

TEST_F(TxtTest, RegionOfInterestAndDumpAndLineEndsOfAnyKind) {
    auto hdr = open_text("0 1 2 3\r\n4 5 6 7\r\n8 9 10 11\r\n");
    IMG img;
    img.x_min = 1;
    img.x_max = 3;
    img.y_min = 1;
    std::FILE* dump = std::tmpfile();
    ASSERT_TRUE(dump);
    ASSERT_EQ(read_frame(img, std::move(hdr), 1, dump), 2);
    EXPECT_EQ(values, (std::vector<int32_t>{5, 6, 9, 10}));
    std::rewind(dump);
    char text[200] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, dump);
    std::fclose(dump);
    EXPECT_EQ(std::string(text, n), "#I   0 :     5     6\n#I   1 :     9    10\n");
}

// ---------------------------------------------------------------- writing

IMG image_of(int32_t nx, int32_t ny, std::vector<int32_t> data, const std::string& name) {
    return zt::image_of(nx, ny, std::move(data), {}, name);
}

TEST_F(TxtTest, WideImageIsWrittenByColumnsAndReadsBackTransposed) {
    IMG img = image_of(3, 2, {1, 2, 3, 4, 5, 6}, "wide");
    testing::internal::CaptureStdout();
    txt_write(img, img.name, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "wide.txt\n");
    EXPECT_EQ(zt::read_file(file("wide.txt")), " 1 4 \n 2 5 \n 3 6 \n");

    auto hdr = open_text(zt::read_file(file("wide.txt")), "back.txt");
    EXPECT_EQ(hdr->dim_x, 2);
    EXPECT_EQ(hdr->dim_y, 3);
    IMG back;
    ASSERT_EQ(read_frame(back, std::move(hdr), 1), 3);
    EXPECT_EQ(values, (std::vector<int32_t>{1, 4, 2, 5, 3, 6}));
}

TEST_F(TxtTest, TallImageIsWrittenByRowsWithCarriageReturnsWhenAsked) {
    IMG img = image_of(2, 3, {INT32_MIN, 0, -7, 8, 9, INT32_MAX}, "tall.txt");
    testing::internal::CaptureStdout();
    txt_write(img, img.name, 1);
    testing::internal::GetCapturedStdout();
    const std::string text = zt::read_file(file("tall.txt"));
    EXPECT_EQ(text, " -2147483648 0\r\n -7 8\r\n 9 2147483647\r\n");

    IMG back;
    ASSERT_EQ(read_frame(back, open_text(text, "again.txt"), 1), 3);
    EXPECT_EQ(values, img.data);
}

TEST_F(TxtTest, FailedWriteKeepsThePreviousFile) {
    zt::write_file(file("keep.txt"), "old\n");
    IMG empty = image_of(2, 2, {}, "keep");
    zt::fatal_output([&] { txt_write(empty, empty.name, 0); });
    IMG elsewhere = image_of(1, 1, {5}, "no_such_dir/out");
    const std::string err = zt::fatal_output([&] { txt_write(elsewhere, elsewhere.name, 0); }).err;
    EXPECT_NE(err.find("unable to open the txt out file : no_such_dir/out.txt"), std::string::npos) << err;
    EXPECT_EQ(zt::read_file(file("keep.txt")), "old\n");
}

} // namespace
