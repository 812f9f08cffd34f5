// Frame files: series names, format dispatch, the real-time wait, byte order
// and the raw readers of fixed-size pixels.
#include "fatal_capture.hpp"
#include "kvf_lib.hpp"
#include "kvf_writer.hpp"
#include "test_support.hpp"
#include "xy_lib.hpp"

#include <chrono>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <utime.h>

namespace {

// ---------------------------------------------------------------- series names

struct Parsed {
    SeriesName series;
    IMG img;
    int32_t count = 0;
};

Parsed parse(const std::string& word) {
    Parsed p;
    p.count = xy_rep_name(word, p.img, p.series);
    return p;
}

std::vector<std::string> series_names(const std::string& dir, const std::string& word) {
    const Parsed p = parse(word);
    std::vector<std::string> names;
    for (int32_t k = 0; k < p.count; ++k)
        names.push_back(xy_cur_name(dir, p.series.base, p.series.ext, p.series.ndig, p.series.num + k));
    return names;
}

TEST(SeriesName, NumberedSeriesInADirectory) {
    EXPECT_EQ(series_names("data", "img_0099.kvf,A3"),
              (std::vector<std::string>{"data/img_0099.kvf", "data/img_0100.kvf", "data/img_0101.kvf"}));
    EXPECT_EQ(parse("img_0099.kvf,A3").series.ndig, 4);
    // A directory that already ends with "/" gets no second one; names starting
    // with "/" or "." ignore the directory.
    EXPECT_EQ(series_names("data/", "img_7.kvf"), std::vector<std::string>{"data/img_7.kvf"});
    EXPECT_EQ(series_names("data", "/abs/img_7.kvf"), std::vector<std::string>{"/abs/img_7.kvf"});
    EXPECT_EQ(series_names("data", "./img_7.kvf"), std::vector<std::string>{"./img_7.kvf"});
    EXPECT_EQ(series_names("", "img_7.kvf"), std::vector<std::string>{"img_7.kvf"});
}

TEST(SeriesName, NumberExtensionFrameRangeAndCountOfOneName) {
    const Parsed p = parse("dark_0012.kvf,B3,E20,A5");
    EXPECT_EQ(p.series.base, "dark_");
    EXPECT_EQ(p.series.ext, ".kvf");
    EXPECT_EQ(p.series.ndig, 4);
    EXPECT_EQ(p.series.num, 12);
    EXPECT_EQ(p.img.beg_frame, 3);
    EXPECT_EQ(p.img.end_frame, 20);
    EXPECT_EQ(p.count, 5);
    EXPECT_FALSE(p.series.mosaic);
    EXPECT_FALSE(p.series.no_cosmic);
    EXPECT_EQ(p.series.frames_u, 0);
}

TEST(SeriesName, NameWithoutDigitsRepeatsTheSameFile) {
    const Parsed p = parse("dark.kvf,A2");
    EXPECT_EQ(p.series.ndig, 0);
    EXPECT_EQ(series_names("", "dark.kvf,A2"), (std::vector<std::string>{"dark.kvf", "dark.kvf"}));
}

TEST(SeriesName, ExtensionStartsAtTheLastDotAnywhere) {
    EXPECT_EQ(parse("a.spe.x").series.ext, ".x");
    EXPECT_EQ(parse("a.spe.x").series.base, "a.spe");
    const Parsed p = parse("scan.old/img1");
    EXPECT_EQ(p.series.ext, ".old/img1");
    EXPECT_EQ(p.series.base, "scan");
    EXPECT_EQ(p.series.ndig, 0);
    // Digits before the extension are the number; all-digit names too.
    EXPECT_EQ(parse("0042").series.num, 42);
    EXPECT_EQ(parse("0042").series.base, "");
}

TEST(SeriesName, OptionsAndTheirLimits) {
    // An empty option ends the list.
    Parsed p = parse("name,B2,,E9");
    EXPECT_EQ(p.img.beg_frame, 2);
    EXPECT_EQ(p.img.end_frame, 0);

    p = parse("name,M3,U7,X");
    EXPECT_TRUE(p.series.mosaic);
    EXPECT_EQ(p.count, 3);
    EXPECT_EQ(p.series.frames_u, 7);
    EXPECT_TRUE(p.series.no_cosmic);

    EXPECT_EQ(parse("name,A1,A4").count, 4);
    EXPECT_NE(zt::fatal_report([] { parse("name,A2,M3"); }).find("invalid file option : A or M"),
              std::string::npos);
    EXPECT_NE(
        zt::fatal_report([] { parse("img_01.kvf,Q3"); }).find("invalid file option 'Q3' in 'img_01.kvf' "),
        std::string::npos);
    // Numbers that would overflow, and series of no file, are refused.
    EXPECT_NE(zt::fatal_report([] { parse("name,B99999999999"); }).find("invalid file option 'B99999999999'"),
              std::string::npos);
    EXPECT_NE(zt::fatal_report([] { parse("name,A0"); }).find("invalid file option 'A0'"), std::string::npos);
}

TEST(SeriesName, VeryLongTrailingNumberKeepsTheName) {
    const std::string word = "run_123456789012345678901234.kvf";
    EXPECT_EQ(series_names("", word), std::vector<std::string>{"run_123456789012345678901234.kvf"});
    EXPECT_EQ(parse(word).series.ndig, 18);
}

// ---------------------------------------------------------------- format dispatch

class FrameFileTest : public zt::InTempDir {
  protected:
    void SetUp() override { zt::InTempDir::SetUp(); }

    // Opens `name` through the dispatch; stdout of the wait is kept.
    std::unique_ptr<HDR> open(const std::string& name, const std::string& def = ".spe", int32_t wait = 0,
                              int32_t detect = 1) {
        testing::internal::CaptureStdout();
        std::unique_ptr<HDR> hdr;
        try {
            hdr = xy_open(name, "zandor", def, wait, detect);
        } catch (...) {
            out = testing::internal::GetCapturedStdout();
            throw;
        }
        out = testing::internal::GetCapturedStdout();
        return hdr;
    }

    // An image over `name` with the whole frame as region, or the given one.
    IMG image_of(const std::string& name, int32_t x_min = 0, int32_t x_max = 0, int32_t y_min = 0,
                 int32_t y_max = 0) {
        IMG img;
        img.x_min = x_min;
        img.x_max = x_max;
        img.y_min = y_min;
        img.y_max = y_max;
        img.hdr = open(name);
        xy_setsize(img);
        return img;
    }

    std::string out;
};

TEST_F(FrameFileTest, ChoiceByExtensionIsCaseSensitiveAndNeedsTheSuffixAtTheEnd) {
    // No such files: the chosen module names itself in its failure.
    EXPECT_NE(zt::fatal_report([&] { open("image.tiff"); }).find("gel"), std::string::npos);
    EXPECT_NE(zt::fatal_report([&] { open("image.gel"); }).find("gel"), std::string::npos);
    EXPECT_NE(zt::fatal_report([&] { open("image.txt", ".kvf"); }).find("txt"), std::string::npos);
    EXPECT_NE(zt::fatal_report([&] { open("image.SPE", ".kvf"); }).find("wv_"), std::string::npos);
    // image.TIF matches no suffix and falls to the default format.
    EXPECT_NE(zt::fatal_report([&] { open("image.TIF"); }).find("wv_"), std::string::npos);
    EXPECT_NE(zt::fatal_report([&] { open("image.TIF", ".kvf"); }).find("kvf_open"), std::string::npos);
    EXPECT_NE(zt::fatal_report([&] { open("image.TIF", "gel"); }).find("gel"), std::string::npos);
}

TEST_F(FrameFileTest, NativeContentUnderAnotherNameOpensThatVeryFile) {
    zt::write_kvf("data.dat", 2, 1, 3, false, {{7, 9}});
    std::unique_ptr<HDR> hdr = open("data.dat");
    EXPECT_EQ(hdr->file_name, "data.dat");
    EXPECT_EQ(hdr->format, XY_FORMAT_KVF);
    EXPECT_EQ(hdr->dim_x, 2);

    // Without detection the default format decides.
    EXPECT_NE(zt::fatal_report([&] { open("data.dat", ".spe", 0, 0); }).find("wv_"), std::string::npos);
    // A TIFF-looking file under a foreign name goes to the GEL/TIFF module.
    zt::write_file("image.TIF", std::string("II*\0\x08\0\0\0", 8));
    EXPECT_NE(zt::fatal_report([&] { open("image.TIF", ".kvf"); }).find("gel"), std::string::npos);
}

TEST_F(FrameFileTest, DefaultFormatAppendsItsExtension) {
    zt::write_kvf("img_0001.kvf", 1, 1, 4, false, {{5}});
    EXPECT_EQ(open("img_0001", ".kvf")->file_name, "img_0001.kvf");
    EXPECT_EQ(open("img_0001", "kvf")->file_name, "img_0001.kvf");
    // By suffix the name keeps working as before.
    EXPECT_EQ(open("img_0001.kvf")->file_name, "img_0001.kvf");
}

TEST_F(FrameFileTest, RealTimeWaitOnAnOldFileDoesNotSleep) {
    zt::write_kvf("img.kvf", 1, 1, 4, false, {{5}});
    struct utimbuf old_times = {std::time(nullptr) - 100, std::time(nullptr) - 100};
    ASSERT_EQ(::utime("img.kvf", &old_times), 0);
    const auto t0 = std::chrono::steady_clock::now();
    open("img", ".kvf", 5);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(out.rfind(" file img.kvf stated, last modification is 10", 0) == 0) << out;
    EXPECT_EQ(out.find("waiting"), std::string::npos) << out;
}

TEST_F(FrameFileTest, RealTimeWaitForAFileThatAppearsLater) {
    std::thread writer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        zt::write_kvf("late.kvf", 1, 1, 4, false, {{5}});
    });
    open("late", ".kvf", 1);
    writer.join();
    const std::vector<std::string> lines = zt::split_lines(out);
    ASSERT_GE(lines.size(), 2u) << out;
    EXPECT_EQ(lines[0], " file late.kvf not stated, waiting 1 seconds");
    EXPECT_TRUE(zt::contains_line(out, " file late.kvf stated, last modification is 0 seconds old") ||
                zt::contains_line(out, " file late.kvf stated, last modification is 1 seconds old"))
        << out;
    EXPECT_TRUE(lines.back() == " waiting 1 seconds to ensure data completion" ||
                lines.back().find("is 1 seconds old") != std::string::npos)
        << out;
}

TEST_F(FrameFileTest, RealTimeWaitWatchesAFourLetterExtensionAsNamed) {
    zt::write_file("image.tiff", "not a tiff");
    struct utimbuf old_times = {std::time(nullptr) - 50, std::time(nullptr) - 50};
    ASSERT_EQ(::utime("image.tiff", &old_times), 0);
    zt::fatal_report([&] { open("image.tiff", ".spe", 3); });
    EXPECT_TRUE(out.rfind(" file image.tiff stated", 0) == 0) << out;
}

// ---------------------------------------------------------------- byte order

TEST_F(FrameFileTest, FieldReadersFollowTheFileByteOrder) {
    zt::write_file("f.bin", std::string("\x12\x34\x56\x78", 4));
    FileHandle fp(std::fopen("f.bin", "rb"));
    struct Case {
        XyByteOrder order;
        uint16_t first16;
        uint32_t first32;
        uint16_t second16;
        const char* text;
    };
    // A file that declares no order is read high byte first.
    const Case cases[] = {
        {XyByteOrder::unset, 0x1234, 0x12345678u, 0x5678, "swapping not yet defined"},
        {XyByteOrder::high_first, 0x1234, 0x12345678u, 0x5678, "swapping used"},
        {XyByteOrder::low_first, 0x3412, 0x78563412u, 0x7856, "no swapping used"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_STREQ(xy_byte_order_text(c.order), c.text);
        uint16_t v16 = 0;
        uint32_t v32 = 0;
        EXPECT_EQ(xy_fread16(&v16, 0, fp.get(), c.order), 1);
        EXPECT_EQ(v16, c.first16);
        EXPECT_EQ(xy_fread32(&v32, 0, fp.get(), c.order), 1);
        EXPECT_EQ(v32, c.first32);
        EXPECT_EQ(xy_fread16(&v16, 2, fp.get(), c.order), 1);
        EXPECT_EQ(v16, c.second16);
        EXPECT_EQ(xy_fread32(&v32, 2, fp.get(), c.order), 0); // past the end
        EXPECT_EQ(xy_field16("\x12\x34", c.order), c.first16);
        EXPECT_EQ(xy_field32("\x12\x34\x56\x78", c.order), c.first32);
        EXPECT_EQ(xy_swaps(c.order), (c.order == XyByteOrder::low_first) != xy_host_little_endian());
    }
}

TEST(ByteSwap, HelpersReverseTheBytes) {
    unsigned char b[4] = {1, 2, 3, 4};
    xy_eswap16(b);
    EXPECT_EQ(std::memcmp(b, "\x02\x01\x03\x04", 4), 0);
    xy_eswap32(b);
    EXPECT_EQ(std::memcmp(b, "\x04\x03\x01\x02", 4), 0);
}

// ---------------------------------------------------------------- raw readers

// Frames of 4 x 3 pixels whose values tell frame, row and column apart.
std::vector<std::vector<double>> numbered_frames(int frames, double scale) {
    std::vector<std::vector<double>> all;
    for (int f = 1; f <= frames; ++f) {
        std::vector<double> v;
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x)
                v.push_back(scale * (f * 100 + y * 10 + x));
        all.push_back(v);
    }
    return all;
}

template <class T> std::vector<T> region_values(int frame, int x0, int x1, int y0, int y1, double scale) {
    std::vector<T> v;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            v.push_back(static_cast<T>(scale * (frame * 100 + y * 10 + x)));
    return v;
}

class RawReaderTest : public FrameFileTest {
  protected:
    // A record over `path` described by hand: its frames start at `offset`.
    static IMG described_file(const char* path, uint16_t dim_x, uint16_t dim_y, int32_t type,
                              int64_t offset = 0) {
        IMG img;
        img.hdr = std::make_unique<HDR>();
        img.hdr->dim_x = dim_x;
        img.hdr->dim_y = dim_y;
        img.hdr->offset = offset;
        img.hdr->type = type;
        img.hdr->fp = FileHandle(std::fopen(path, "rb"));
        return img;
    }
    // The byte order that this host must reverse.
    static XyByteOrder foreign_order() {
        return xy_host_little_endian() ? XyByteOrder::high_first : XyByteOrder::low_first;
    }

    template <class T>
    void check_type(int32_t type, bool big_endian, double scale,
                    int32_t (*reader)(const IMG&, T*, int32_t, std::FILE*),
                    int32_t (*window_reader)(const IMG&, const XyWindow&, T*, int32_t, std::FILE*)) {
        SCOPED_TRACE(testing::Message() << "type " << type << (big_endian ? " high first" : " low first"));
        zt::write_kvf("t.kvf", 4, 3, type, big_endian, numbered_frames(3, scale));
        // Whole frame: one read of contiguous rows.
        IMG whole = image_of("t.kvf");
        EXPECT_EQ(whole.hdr->type, type);
        EXPECT_EQ(whole.hdr->byte_order, big_endian ? XyByteOrder::high_first : XyByteOrder::low_first);
        std::vector<T> buf(static_cast<size_t>(whole.reg_size));
        for (int32_t f = 1; f <= 3; ++f) {
            ASSERT_EQ(reader(whole, buf.data(), f, nullptr), 3);
            EXPECT_EQ(buf, (region_values<T>(f, 0, 4, 0, 3, scale))) << "frame " << f;
        }
        EXPECT_EQ(reader(whole, buf.data(), 4, nullptr), 0);
        // Whole rows read apart (any thread) are the same values; the reader
        // refuses what is not whole rows of a frame in the file.
        std::vector<T> rows(8);
        for (int32_t f = 1; f <= 3; ++f) {
            ASSERT_TRUE(xy_read_stored_apart(whole, XyWindow{0, 1, 4, 2}, rows.data(), f));
            EXPECT_EQ(rows, (region_values<T>(f, 0, 4, 1, 3, scale))) << "frame " << f;
        }
        for (const auto& [w, frame] : {std::pair{XyWindow{0, 1, 4, 2}, 4},
                                       {XyWindow{0, 1, 4, 2}, 0},
                                       {XyWindow{1, 1, 2, 2}, 1},
                                       {XyWindow{0, 2, 4, 2}, 1}})
            EXPECT_FALSE(xy_read_stored_apart(whole, w, rows.data(), frame))
                << w.x0 << " " << w.y0 << " " << frame;
        // Region x 1..3, y 1..3: one read per row.
        IMG part = image_of("t.kvf", 1, 3, 1, 3);
        std::vector<T> small(static_cast<size_t>(part.reg_size));
        ASSERT_EQ(reader(part, small.data(), 2, nullptr), 2);
        EXPECT_EQ(small, (region_values<T>(2, 1, 3, 1, 3, scale)));
        // The same rows through a window of the whole-frame record, which the
        // read leaves as it was.
        std::fill(small.begin(), small.end(), T{});
        ASSERT_EQ(window_reader(whole, XyWindow{1, 1, 2, 2}, small.data(), 2, nullptr), 2);
        EXPECT_EQ(small, (region_values<T>(2, 1, 3, 1, 3, scale)));
        EXPECT_EQ(whole.y_min, 0);
        EXPECT_EQ(whole.reg_height, 3);
        // A window reaching past the frame is refused before anything is read.
        EXPECT_NE(zt::fatal_report([&] {
                      window_reader(whole, XyWindow{3, 0, 2, 1}, small.data(), 1, nullptr);
                  }).find("outside the 4 * 3 frame"),
                  std::string::npos);
    }
};

TEST_F(RawReaderTest, EveryPixelTypeInBothByteOrders) {
    for (bool big : {false, true}) {
        check_type<uint16_t>(XY_TYPE_UINT16, big, 100.0, xy_getrawu, xy_getrawu); // values up to 32300
        check_type<int32_t>(XY_TYPE_INT32, big, -100000.0, xy_getrawl, xy_getrawl);
        check_type<float>(XY_TYPE_FLOAT, big, 0.25, xy_getrawf, xy_getrawf);
    }
}

TEST_F(RawReaderTest, EightBitPixelsAreNeverSwapped) {
    std::string bytes(16, '\0');
    bytes += "\x01\x02\x03\x04\x05\x06";
    zt::write_file("c.raw", bytes);
    IMG img = described_file("c.raw", 3, 2, XY_TYPE_UINT8, 16);
    img.x_min = 1;
    xy_setsize(img);
    img.hdr->byte_order = foreign_order();
    std::vector<uint8_t> buf(static_cast<size_t>(img.reg_size));
    ASSERT_EQ(xy_getrawc(img, buf.data(), 1, nullptr), 2);
    EXPECT_EQ(buf, (std::vector<uint8_t>{2, 3, 5, 6}));
    EXPECT_EQ(xy_getrawc(img, buf.data(), 2, nullptr), 0);
}

TEST_F(RawReaderTest, SixteenBitValueFollowsTheFileByteOrder) {
    zt::write_file("s.raw", std::string("\x12\x34", 2));
    IMG img = described_file("s.raw", 1, 1, XY_TYPE_UINT16);
    xy_setsize(img);
    uint16_t v = 0;
    img.hdr->byte_order = XyByteOrder::high_first;
    ASSERT_EQ(xy_getrawu(img, &v, 1, nullptr), 1);
    EXPECT_EQ(v, 0x1234);
    img.hdr->byte_order = XyByteOrder::low_first;
    ASSERT_EQ(xy_getrawu(img, &v, 1, nullptr), 1);
    EXPECT_EQ(v, 0x3412);
}

TEST_F(RawReaderTest, MissingAndTruncatedFrames) {
    // Frame 2 lacks its last row (4 pixels of 2 bytes).
    std::string bytes = zt::kvf_bytes({4, 3, 3, false, numbered_frames(2, 1.0), {}});
    bytes.resize(bytes.size() - 8);
    zt::write_file("cut.kvf", bytes);

    IMG img = image_of("cut.kvf", 0, 0, 1, 0); // rows 1 and 2
    std::vector<uint16_t> buf(static_cast<size_t>(img.reg_size));
    testing::internal::CaptureStderr();
    EXPECT_EQ(xy_getrawu(img, buf.data(), 3, nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(xy_getrawu(img, buf.data(), 2, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "xy_getrawu error 0 reading 0 image at y = 2, y_min 1, pos 2\n");
    EXPECT_TRUE(xy_read_stored_apart(img, XyWindow{0, 1, 4, 2}, buf.data(), 1));
    EXPECT_FALSE(xy_read_stored_apart(img, XyWindow{0, 1, 4, 2}, buf.data(), 2)); // says nothing

    // Row by row the same frame fails at the same row.
    IMG part = image_of("cut.kvf", 1, 3, 1, 0);
    std::vector<uint16_t> small(static_cast<size_t>(part.reg_size));
    testing::internal::CaptureStderr();
    EXPECT_EQ(xy_getrawu(part, small.data(), 2, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "xy_getrawu error 0 reading 0 image at y = 2, y_min 1, pos 2\n");
}

TEST_F(RawReaderTest, TruncatedFloatFrameAlsoPrintsTheCountLine) {
    // Frame 2 lacks its last value.
    std::string bytes = zt::kvf_bytes({4, 3, 5, false, numbered_frames(2, 1.0), {}});
    bytes.resize(bytes.size() - 4);
    zt::write_file("f.kvf", bytes);
    IMG img = image_of("f.kvf");
    std::vector<float> buf(static_cast<size_t>(img.reg_size));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(xy_getrawf(img, buf.data(), 2, nullptr), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "j=   0 \n");
    EXPECT_EQ(err, "xy_getrawf error 0 reading 0 image at y = 2, y_min 0, pos 2\n");
}

TEST_F(RawReaderTest, FrameNumbersNeverWrapToAnEarlierFrame) {
    // 4 x 2 pixels of 2 bytes: frame 268435457 starts 2^32 bytes after frame 1.
    zt::write_kvf("w.kvf", 4, 2, 3, false, {{1, 2, 3, 4, 5, 6, 7, 8}});
    IMG img = image_of("w.kvf");
    std::vector<uint16_t> buf(8);
    EXPECT_EQ(xy_getrawu(img, buf.data(), 268435457, nullptr), 0);
    EXPECT_EQ(xy_getrawu(img, buf.data(), INT32_MAX, nullptr), 0);
    EXPECT_EQ(xy_getrawu(img, buf.data(), 0, nullptr), 0);
    EXPECT_EQ(xy_getrawu(img, buf.data(), 1, nullptr), 2);
}

TEST_F(RawReaderTest, DumpFormats) {
    zt::write_kvf("d.kvf", 2, 2, 3, false, {{1, 22, 333, 65535}});
    IMG img = image_of("d.kvf");
    std::vector<uint16_t> buf(4);
    zt::TempDir tmp;
    std::FILE* dump = std::fopen(tmp.file("dump").c_str(), "w");
    ASSERT_EQ(xy_getrawu(img, buf.data(), 1, dump), 2);
    std::fclose(dump);
    EXPECT_EQ(zt::read_file(tmp.file("dump")), "#I   0 :     1    22\n#I   1 :   333 65535\n");

    zt::write_kvf("df.kvf", 2, 1, 5, true, {{1.5, -2}});
    IMG fimg = image_of("df.kvf");
    std::vector<float> fbuf(2);
    dump = std::fopen(tmp.file("dumpf").c_str(), "w");
    ASSERT_EQ(xy_getrawf(fimg, fbuf.data(), 1, dump), 1);
    std::fclose(dump);
    EXPECT_EQ(zt::read_file(tmp.file("dumpf")), "#I   0 : 1.500000 -2.000000\n");
}

// A format with a frame decoder: the readers hand it the frame and the window
// and take its host-order values as they are.
int32_t numbered_decoder(const HDR& hdr, int32_t frame, const XyWindow& w, void* buf) {
    if (frame > hdr.frames) return 0;
    auto* out = static_cast<uint16_t*>(buf);
    for (int32_t y = 0; y < w.height; ++y)
        for (int32_t x = 0; x < w.width; ++x)
            *out++ = static_cast<uint16_t>(frame * 1000 + (w.y0 + y) * 10 + w.x0 + x);
    return w.height;
}

TEST_F(RawReaderTest, FrameDecoderReplacesTheStoredReads) {
    zt::write_file("packed.bin", "not raw pixels");
    IMG img = described_file("packed.bin", 4, 3, XY_TYPE_UINT16);
    img.hdr->frames = 2;
    img.hdr->byte_order = foreign_order();
    img.hdr->decoder = numbered_decoder;
    xy_setsize(img);
    std::vector<uint16_t> buf(4);
    zt::TempDir tmp;
    std::FILE* dump = std::fopen(tmp.file("dump").c_str(), "w");
    ASSERT_EQ(xy_getrawu(img, XyWindow{2, 1, 2, 2}, buf.data(), 2, dump), 2);
    std::fclose(dump);
    EXPECT_EQ(buf, (std::vector<uint16_t>{2012, 2013, 2022, 2023}));
    EXPECT_EQ(zt::read_file(tmp.file("dump")), "#I   0 :  2012  2013\n#I   1 :  2022  2023\n");
    EXPECT_EQ(xy_getrawu(img, buf.data(), 3, nullptr), 0);
    EXPECT_EQ(xy_getrawu(img, buf.data(), 0, nullptr), 0);
}

TEST(FormatRegistry, EverySuffixChoosesItsOwnModule) {
    // Suffixes are tried module by module in registry order: no earlier
    // module may claim a name made with a later module's suffix.
    const std::vector<const XyFormat*>& formats = xy_formats();
    std::vector<std::string> labels;
    for (size_t a = 0; a < formats.size(); ++a) {
        labels.push_back(formats[a]->label);
        EXPECT_NE(formats[a]->open, nullptr) << formats[a]->label;
        for (const char* suffix : formats[a]->suffixes) {
            if (!suffix) continue;
            const std::string name = std::string("img") + suffix;
            for (size_t b = 0; b < a; ++b)
                for (const char* other : formats[b]->suffixes) {
                    if (!other) continue;
                    EXPECT_NE(name.find(other), name.size() - std::strlen(other))
                        << name << " is claimed by " << formats[b]->label;
                }
        }
    }
    EXPECT_EQ(labels,
              (std::vector<std::string>{"GEL/TIFF", "native", "text", "HDF5", "CBF", "SPE", "IPN-label"}));
}

// The image writers fall back on the native format, the mask writer on TIFF;
// a name holding two markers takes the first that is not the fallback.
TEST(FormatRegistry, WriterIsChosenByTheNameThenTheFallback) {
    const struct {
        const char* name;
        const char* fallback;
        const char* writer;
    } cases[] = {{"a", "kvf", "kvf"},         {"a.gel", "kvf", "gel"},     {"a.tif", "kvf", "tif"},
                 {"a.tiff", "kvf", "tif"},    {"a.txt", "kvf", "txt"},     {"a.kvf.tif", "kvf", "tif"},
                 {"a.tif.gel", "kvf", "gel"}, {"a", "tif", "tif"},         {"a.kvf", "tif", "kvf"},
                 {"a.kvf.tif", "tif", "kvf"}, {"a.txt.kvf", "tif", "kvf"}, {"a.tif.txt", "tif", "txt"}};
    for (const auto& c : cases)
        EXPECT_STREQ(xy_writer_for(c.name, c.fallback).label, c.writer) << c.name << " " << c.fallback;
}

TEST_F(RawReaderTest, LastFrameOfASeriesFilePastFourGibibytes) {
    // 2048 x 2048 frames of 16 bits (8 MiB each): frame 513 starts 4 GiB after
    // frame 1. Only the header and that frame are written; the rest is a hole.
    const int32_t side = 2048;
    const int64_t frame_bytes = int64_t{side} * side * 2;
    zt::KvfFile layout{side, side, 3, true, {}, {}};
    const std::string header = zt::kvf_header_bytes(layout);
    std::string last;
    last.reserve(static_cast<size_t>(frame_bytes));
    for (int32_t i = 0; i < side * side; ++i)
        zt::put_u16be(last, static_cast<uint16_t>(i * 7 + 3));
    {
        std::FILE* fp = std::fopen("big.kvf", "wb");
        ASSERT_NE(fp, nullptr);
        ASSERT_EQ(std::fwrite(header.data(), 1, header.size(), fp), header.size());
        ASSERT_EQ(::fseeko(fp, static_cast<off_t>(header.size() + 512 * frame_bytes), SEEK_SET), 0);
        ASSERT_EQ(std::fwrite(last.data(), 1, last.size(), fp), last.size());
        ASSERT_EQ(std::fclose(fp), 0);
    }
    struct stat st;
    ASSERT_EQ(::stat("big.kvf", &st), 0);
    EXPECT_GT(st.st_size, int64_t{4} << 30);
    EXPECT_LT(int64_t{st.st_blocks} * 512, int64_t{64} << 20) << "the file system filled the hole";

    IMG img = image_of("big.kvf");
    std::vector<uint16_t> buf(static_cast<size_t>(img.reg_size));
    ASSERT_EQ(xy_getrawu(img, buf.data(), 513, nullptr), side);
    bool all_equal = true;
    for (int32_t i = 0; i < side * side && all_equal; ++i)
        all_equal = buf[static_cast<size_t>(i)] == static_cast<uint16_t>(i * 7 + 3);
    EXPECT_TRUE(all_equal);
    // A region read row by row reaches the same bytes.
    IMG part = image_of("big.kvf", 2040, 2044, 2046, 0);
    std::vector<uint16_t> corner(static_cast<size_t>(part.reg_size));
    ASSERT_EQ(xy_getrawu(part, corner.data(), 513, nullptr), 2);
    EXPECT_EQ(corner[0], static_cast<uint16_t>((2046 * side + 2040) * 7 + 3));
    EXPECT_EQ(corner[7], static_cast<uint16_t>((2047 * side + 2043) * 7 + 3));
    EXPECT_EQ(xy_getrawu(img, buf.data(), 514, nullptr), 0);
    img.hdr.reset();
    part.hdr.reset();
    EXPECT_EQ(std::remove("big.kvf"), 0);
}

} // namespace
