// Native kvf format: header parsing, opening, the 1024-byte header layout of
// the writer, and files read back in every pixel type and byte order.
#include "fatal_capture.hpp"
#include "kvf_lib.hpp"
#include "kvf_writer.hpp"
#include "records.hpp"
#include "stream_capture.hpp"
#include "test_support.hpp"

#include <csignal>
#include <dirent.h>
#include <sys/resource.h>

namespace {

class KvfTest : public zt::InTempDir {
  protected:
    void SetUp() override {
        zt::InTempDir::SetUp();
        saved_name_ = prg_state().name;
        prg_state().name = "/usr/local/bin/zandor";
    }
    void TearDown() override {
        prg_state().name = saved_name_;
        zt::InTempDir::TearDown();
    }

    // Values i * 3 - 7 for pixel i.
    static IMG image(int32_t nx, int32_t ny, const std::string& name) {
        std::vector<int32_t> values(static_cast<size_t>(nx * ny));
        for (size_t i = 0; i < values.size(); ++i)
            values[i] = static_cast<int32_t>(i) * 3 - 7;
        return zt::image_of(nx, ny, values, {}, name);
    }

    // Writes `img`; returns the file's bytes and keeps the messages.
    std::string write(IMG& img, int32_t out_type = 4) {
        testing::internal::CaptureStdout();
        try {
            kvf_write(img, img.name, out_type);
        } catch (...) {
            out = testing::internal::GetCapturedStdout();
            throw;
        }
        out = testing::internal::GetCapturedStdout();
        return zt::read_file(xy_module_file_name(img.name, {".kvf"}, false));
    }

    std::unique_ptr<HDR> open(const std::string& name) { return kvf_open(name, "zandor"); }

    std::string out;

  private:
    std::string saved_name_;
};

std::string header_of(const std::string& file) {
    return file.substr(0, file.find("\n}\n") + 3);
}

// Source entries whose lines add exactly `bytes` bytes to a written header.
std::vector<KvfItem> entries_of_length(int64_t bytes) {
    std::vector<KvfItem> items;
    while (bytes > 244) {
        items.push_back({"K", std::string(200, 'v')}); // 15 + 3 + 200 + 4 bytes
        bytes -= 222;
    }
    items.push_back({"K", std::string(static_cast<size_t>(bytes - 22), 'v')});
    return items;
}

// ---------------------------------------------------------------- writer layout

TEST_F(KvfTest, HundredByHundredHeaderIsExactly1024Bytes) {
    IMG img = image(100, 100, "out");
    const std::string file = write(img);
    EXPECT_EQ(out, " out.kvf\n no  zandor.hdr file to add to kvf header\n end kvf_write\n");
    ASSERT_EQ(file.size(), 1024u + 40000u);
    const std::string fixed = "{\n"
                              "HeaderID        = EH:000001:000000:000000 ; \n"
                              "ByteOrder       = LowByteFirst ; \n"
                              "DataType        = SignedInteger ; \n"
                              "Size            = 40000 ; \n"
                              "Dim_1           = 100 ; \n"
                              "Dim_2           = 100 ; \n"
                              "Image           = 1 ; \n"
                              "vtool_start =  1025 ;\n";
    EXPECT_EQ(file.substr(0, fixed.size()), fixed);
    EXPECT_EQ(file.substr(fixed.size(), 1024 - 3 - fixed.size()), std::string(1024 - 3 - fixed.size(), ' '));
    EXPECT_EQ(file.substr(1021, 3), "\n}\n");
    // Low byte first: -7 then -4.
    EXPECT_EQ(file.substr(1024, 8), std::string("\xf9\xff\xff\xff\xfc\xff\xff\xff", 8));
}

TEST_F(KvfTest, PaddingBoundaryAt998And999Bytes) {
    IMG plain = image(10, 10, "plain");
    const int64_t p0 = static_cast<int64_t>(write(plain).find("vtool_start"));

    IMG img = image(10, 10, "b998");
    img.hdr = std::make_unique<HDR>();
    img.hdr->items = entries_of_length(998 - p0);
    std::string file = write(img);
    EXPECT_EQ(file.find("vtool_start"), 998u);
    EXPECT_EQ(file.substr(998, 26), "vtool_start =  1025 ;\n \n}\n");
    EXPECT_EQ(file.size(), 1024u + 400u);

    img.name = "b999";
    img.hdr->items = entries_of_length(999 - p0);
    file = write(img);
    EXPECT_EQ(file.find("vtool_start"), 999u);
    EXPECT_EQ(file.substr(999, 22), "vtool_start =  2049 ;\n");
    EXPECT_EQ(file.size(), 2048u + 400u);
    EXPECT_EQ(file.substr(2045, 3), "\n}\n");
}

TEST_F(KvfTest, FiveDigitOffsetTakesOneMoreCharacter) {
    IMG plain = image(10, 10, "plain");
    const int64_t p0 = static_cast<int64_t>(write(plain).find("vtool_start"));
    IMG img = image(10, 10, "five");
    img.hdr = std::make_unique<HDR>();
    // 10213 + 23 + 4 = 10240: the five-digit line still fits with one blank.
    img.hdr->items = entries_of_length(10213 - p0);
    std::string file = write(img);
    EXPECT_EQ(file.substr(10213, 27), "vtool_start =  10241 ;\n \n}\n");
    // One byte more would fit a four-digit line, but not the five-digit one.
    img.hdr->items = entries_of_length(10214 - p0);
    file = write(img);
    EXPECT_EQ(file.substr(10214, 23), "vtool_start =  11265 ;\n");
    EXPECT_EQ(header_of(file).size(), 11264u);
    // The long header reads back with the data where the offset line says.
    std::unique_ptr<HDR> hdr = open("five.kvf");
    EXPECT_EQ(hdr->offset, 11264);
}

TEST_F(KvfTest, SourceEntriesAreFilteredAndRenamed) {
    IMG img = image(2, 2, "src");
    img.hdr = std::make_unique<HDR>();
    img.hdr->items = {{"Image", " 3"},        {"PSize_1", " 0.1"},   {"HeaderID", "x"}, {"ByteOrder", "x"},
                      {"Dim_1", "9"},         {"Dim_2", "9"},        {"DataType", "x"}, {"Size", "1"},
                      {"Wavelength", "0.71"}, {"Wavelength", "0.72"}};
    const std::string head = header_of(write(img));
    EXPECT_NE(head.find("Image           = 1 ; \nAdded_images    =  3 ; \nWavelength      = 0.71 ; \n"
                        "Wavelength      = 0.72 ; \nvtool_start"),
              std::string::npos)
        << head;
    EXPECT_EQ(head.find("PSize_1"), std::string::npos);
    EXPECT_EQ(head.find("= 9 ;"), std::string::npos);
}

TEST_F(KvfTest, EntriesOfANativeFileComeBackWithOneMoreBlank) {
    zt::write_kvf("in.kvf", 2, 1, 3, false, {{1, 2}}, {"Title = dark run"});
    IMG img = image(2, 1, "copy");
    img.hdr = open("in.kvf");
    const std::string head = header_of(write(img));
    EXPECT_NE(head.find("\nTitle           =  dark run ; \n"), std::string::npos) << head;
    EXPECT_NE(head.find("\nAdded_images    =  1 ; \n"), std::string::npos) << head;
}

TEST_F(KvfTest, ExtraHeaderFileIsCopiedWithoutLinesThatWouldCloseTheHeader) {
    zt::write_file("zandor.hdr", "Title = x ;\n}bad ;\n   } also bad\nOther = y ;");
    IMG img = image(3, 1, "extra");
    const std::string head = header_of(write(img));
    EXPECT_NE(head.find("Image           = 1 ; \nTitle = x ;\nOther = y ;\nvtool_start"), std::string::npos)
        << head;
    EXPECT_EQ(head.find("bad"), std::string::npos);
    EXPECT_TRUE(zt::contains_line(out, " adding zandor.hdr contents to kvf header")) << out;
    EXPECT_TRUE(
        zt::contains_line(out, " zandor.hdr line 2 begins with '}' and is left out of the kvf header"))
        << out;
    EXPECT_TRUE(
        zt::contains_line(out, " zandor.hdr line 3 begins with '}' and is left out of the kvf header"))
        << out;
    // The file reads back whole.
    std::unique_ptr<HDR> hdr = open("extra.kvf");
    EXPECT_EQ(hdr->dim_x, 3);
    EXPECT_EQ(hdr->offset, 1024);
}

TEST_F(KvfTest, ExtraHeaderCannotRedefineTheDataLayout) {
    zt::write_file("zandor.hdr", "DataType = UnsignedShort ;\nDim_1 = 7 ;\nNote = kept ;\n");
    IMG img = image(3, 1, "layout");
    const std::string head = header_of(write(img));
    EXPECT_EQ(head.find("UnsignedShort"), std::string::npos) << head;
    EXPECT_NE(head.find("Note = kept ;\n"), std::string::npos);
    EXPECT_TRUE(zt::contains_line(
        out, " zandor.hdr line 1 sets a key of the data layout and is left out of the kvf header"))
        << out;
    std::unique_ptr<HDR> hdr = open("layout.kvf");
    EXPECT_EQ(hdr->type, XY_TYPE_INT32);
    EXPECT_EQ(hdr->dim_x, 3);
}

TEST_F(KvfTest, SourceEntryThatWouldCloseTheHeaderIsLeftOut) {
    IMG img = image(1, 1, "closing");
    img.hdr = std::make_unique<HDR>();
    img.hdr->items = {{"}x", "1"}, {"Note", "a\n} b"}, {"Kept", "2"}};
    const std::string file = write(img);
    EXPECT_NE(file.find("Kept            = 2 ; \nvtool_start"), std::string::npos);
    EXPECT_EQ(file.find("}x"), std::string::npos);
    EXPECT_EQ(file.find("Note"), std::string::npos);
    EXPECT_TRUE(zt::contains_line(out, " header entry '}x' would end the kvf header and is left out")) << out;
}

TEST_F(KvfTest, ReplacesThePreviousFileOnlyOnSuccess) {
    IMG img = image(2, 2, "keep");
    write(img);
    const std::string first = zt::read_file("keep.kvf");
    img.data[0] = 12345;
    const std::string second = write(img);
    EXPECT_NE(second, first);
    EXPECT_EQ(second.substr(1024, 4), std::string("\x39\x30\0\0", 4));

    // An image the header cannot describe stops the run and keeps the old file.
    IMG wide = image(2, 2, "keep");
    wide.nx = 70000;
    const std::string err = zt::fatal_report([&] { write(wide); });
    EXPECT_NE(err.find("cannot be described"), std::string::npos) << err;
    EXPECT_EQ(zt::read_file("keep.kvf"), second);

    // A write that fails half-way (file size limit) leaves the old file too.
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*old_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 2000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    IMG large = image(100, 100, "keep");
    const std::string failed = zt::fatal_report([&] { write(large); });
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_NE(failed.find("writing data in kvf file"), std::string::npos) << failed;
    EXPECT_EQ(zt::read_file("keep.kvf"), second);

    IMG lost = image(1, 1, "no/such/dir/x");
    EXPECT_NE(
        zt::fatal_report([&] { write(lost); }).find("unable to open the kvf out file : no/such/dir/x.kvf"),
        std::string::npos);

    // No temporary file is left behind.
    int entries = 0;
    DIR* d = ::opendir(".");
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.' || std::string(e->d_name).size() > 2) ++entries;
    ::closedir(d);
    EXPECT_EQ(entries, 1);
}

// ---------------------------------------------------------------- reading back

TEST_F(KvfTest, WrittenFilesReadBackInBothOutputTypes) {
    IMG img = image(3, 2, "back");
    img.data = {-7, 0, 2147483647, -2147483647 - 1, 16777217, 42};
    const std::string file = write(img, 4);
    std::unique_ptr<HDR> hdr = open("back.kvf");
    EXPECT_EQ(hdr->dim_x, 3);
    EXPECT_EQ(hdr->dim_y, 2);
    EXPECT_EQ(hdr->type, XY_TYPE_INT32);
    EXPECT_EQ(hdr->frames, 1);
    EXPECT_EQ(hdr->format, XY_FORMAT_KVF);
    EXPECT_EQ(hdr->byte_order, XyByteOrder::low_first);
    EXPECT_EQ(hdr->offset, static_cast<int64_t>(file.find("\n}\n") + 3));

    IMG in;
    in.hdr = std::move(hdr);
    xy_setsize(in);
    std::vector<int32_t> values(6);
    ASSERT_EQ(xy_getrawl(in, values.data(), 1, nullptr), 2);
    EXPECT_EQ(values, img.data);

    write(img, 5);
    IMG fin;
    fin.hdr = open("back.kvf");
    EXPECT_EQ(fin.hdr->type, XY_TYPE_FLOAT);
    xy_setsize(fin);
    std::vector<float> floats(6);
    ASSERT_EQ(xy_getrawf(fin, floats.data(), 1, nullptr), 2);
    EXPECT_EQ(floats, (std::vector<float>{-7.0f, 0.0f, 2147483648.0f, -2147483648.0f, 16777216.0f, 42.0f}));
}

TEST_F(KvfTest, TestWriterFilesInEveryTypeAndOrder) {
    for (int32_t type : {3, 4, 5})
        for (bool big : {false, true}) {
            SCOPED_TRACE(testing::Message() << "type " << type << " big " << big);
            zt::write_kvf("t.kvf", 2, 2, type, big, {{1, 2, 3, 4}, {5, 6, 7, 65535}});
            std::unique_ptr<HDR> hdr = open("t.kvf");
            EXPECT_EQ(hdr->type, type);
            EXPECT_EQ(hdr->frames, 2);
            EXPECT_EQ(hdr->byte_order, big ? XyByteOrder::high_first : XyByteOrder::low_first);
            EXPECT_STREQ(xy_byte_order_text(hdr->byte_order), big ? "swapping used" : "no swapping used");
        }
}

TEST_F(KvfTest, NameGetsKvfAppendedUnlessItHoldsKvfAnywhere) {
    zt::write_kvf("run.kvf.old", 1, 1, 4, false, {{1}});
    EXPECT_EQ(open("run.kvf.old")->file_name, "run.kvf.old");
    zt::write_kvf("run.kvf", 1, 1, 4, false, {{1}});
    EXPECT_EQ(open("run")->file_name, "run.kvf");
    const std::string err = zt::fatal_report([&] { open("absent"); });
    EXPECT_NE(err.find(" ../xy32lib/kvf_lib error (errno=2) : kvf_open (errno=2): unable to open zandor file "
                       "'absent.kvf', abort!"),
              std::string::npos)
        << err;
}

// ---------------------------------------------------------------- header parsing

TEST(KvfHeaderParse, LongLinesAreTakenInPiecesOf254) {
    const std::string line = "Key = " + std::string(294, 'a'); // 300 characters
    const KvfHeader h = kvf_parse_header("{\n" + line + "\n}\n", true);
    ASSERT_TRUE(h.complete);
    ASSERT_EQ(h.entries.size(), 2u);
    EXPECT_EQ(h.entries[0].key, "Key ");
    EXPECT_EQ(h.entries[0].value, " " + std::string(248, 'a'));
    EXPECT_EQ(h.entries[1].key, std::string(46, 'a'));
    EXPECT_EQ(h.entries[1].value, "");
}

TEST(KvfHeaderParse, ABraceInsideALongLineDoesNotEndTheHeader) {
    const std::string line = std::string(254, 'x') + "}yy";
    const std::string bytes = "{\n" + line + "\nDim_1 = 5 ;\n}\nDATA";
    const KvfHeader h = kvf_parse_header(bytes, true);
    ASSERT_TRUE(h.complete);
    EXPECT_EQ(h.dim_x, 5);
    EXPECT_EQ(h.length, static_cast<int64_t>(bytes.size() - 4));
    EXPECT_EQ(h.entries[1].key, "}yy");
}

TEST(KvfHeaderParse, ListEntriesLoseTrailingBlanksSemicolonsAndLineEnds) {
    const std::string bytes = "{\n"
                              "Dim_1           = 100 ; \n"
                              "   Odd key  =  spaced value ;;\r\n"
                              "a ;\n"
                              "NoEquals\n"
                              "vtool_start =  1025 ;\n"
                              "                 \n"
                              "}\n";
    const KvfHeader h = kvf_parse_header(bytes, true);
    ASSERT_TRUE(h.complete);
    ASSERT_EQ(h.entries.size(), 4u);
    EXPECT_EQ(h.entries[0].key, "Dim_1           ");
    EXPECT_EQ(h.entries[0].value, " 100");
    EXPECT_EQ(h.entries[1].key, "Odd key  ");
    EXPECT_EQ(h.entries[1].value, "  spaced value");
    EXPECT_EQ(h.entries[2].key, "NoEquals");
    EXPECT_EQ(h.entries[3].key, "vtool_start ");
    EXPECT_EQ(h.entries[3].value, "  1025");
}

TEST(KvfHeaderParse, KeyTestsAndTypes) {
    KvfHeader h =
        kvf_parse_header("{\nImage = 12 ;\nDim_1 = 40000 ;\nDim_2 = -25536 ;\n"
                         "DataType = UnsignedShort SignedInteger ;\nByteOrder = HighByteFirst ;\n}\n",
                         true);
    EXPECT_EQ(h.frames, 12);
    EXPECT_EQ(h.dim_x, 40000);
    EXPECT_EQ(h.dim_y, 40000); // a 16-bit signed print of 40000
    EXPECT_EQ(h.type, XY_TYPE_INT32);
    EXPECT_EQ(h.order, XyByteOrder::high_first);
    // "Added_images" is not "Image"; an unknown type leaves 0.
    h = kvf_parse_header("{\nAdded_images = 5 ;\nDataType = Double ;\n}\n", true);
    EXPECT_EQ(h.frames, 0);
    EXPECT_EQ(h.type, 0);
    EXPECT_EQ(h.order, XyByteOrder::unset);
}

TEST(KvfHeaderParse, IncompleteBytesAskForMoreUntilTheEnd) {
    const std::string bytes = "{\nDim_1 = 5 ;\nDim_2 = 6 ;\n}\n";
    for (size_t n = 0; n < bytes.size(); ++n)
        EXPECT_FALSE(kvf_parse_header(bytes.substr(0, n), false).complete);
    EXPECT_TRUE(kvf_parse_header(bytes, false).complete);
    EXPECT_NE(
        zt::fatal_report([&] { kvf_parse_header(bytes.substr(0, 20), true); }).find("file end in the header"),
        std::string::npos);
    EXPECT_NE(zt::fatal_report([] { kvf_parse_header("", true); }).find("file end in the header"),
              std::string::npos);
}

TEST(KvfHeaderParse, DamagedHeadersStopTheRun) {
    EXPECT_NE(zt::fatal_report([] {
                  kvf_parse_header("Dim_1 = 5\n{\n}\n", true);
              }).find("header indentifier error"),
              std::string::npos);
    EXPECT_NE(zt::fatal_report([] {
                  kvf_parse_header("{\nByteOrder = Middle ;\n}\n", true);
              }).find("unknown ByteOrder  Middle ;\n"),
              std::string::npos);
    EXPECT_NE(
        zt::fatal_report([] { kvf_parse_header("{\nDim_1 = 70000 ;\n}\n", true); }).find("16-bit range"),
        std::string::npos);
}

// ---------------------------------------------------------------- declared sizes

TEST_F(KvfTest, DeclaredSizesAreNeverTrustedOverTheFile) {
    auto refused = [&](const std::string& header, const std::string& data = "") {
        zt::write_file("bad.kvf", header + data);
        return zt::fatal_report([&] { open("bad.kvf"); });
    };
    const std::string order = "ByteOrder = LowByteFirst ;\n";
    // 64 bytes claiming a frame of 40000 x 40000 16-bit pixels.
    std::string small = "{\nDim_1 = 40000 ;\nDim_2 = 40000 ;\nDataType = UnsignedShort ;\n}\n";
    small += std::string(64 - small.size(), '\0');
    EXPECT_NE(refused(small).find("too short for one frame of 40000 * 40000"), std::string::npos);
    EXPECT_NE(refused("{\nDim_1 = 65535 ;\nDim_2 = 65535 ;\nDataType = UnsignedShort ;\n}\n")
                  .find("exceeds the 32-bit image size"),
              std::string::npos);
    EXPECT_NE(refused("{\nDim_2 = 2 ;\n" + order + "DataType = SignedInteger ;\n}\n", std::string(8, '\0'))
                  .find("frame size 0 * 2 of 'bad.kvf' is empty"),
              std::string::npos);
    EXPECT_NE(refused("{\nDim_1 = 2 ;\nDim_2 = 0 ;\nDataType = SignedInteger ;\n}\n").find("is empty"),
              std::string::npos);
    EXPECT_NE(
        refused("{\nDim_1 = 1 ;\nDim_2 = 1 ;\n}\n", std::string(4, '\0')).find("missing or unknown DataType"),
        std::string::npos);
    // One value short of the first frame.
    EXPECT_NE(refused("{\nDim_1 = 2 ;\nDim_2 = 2 ;\nDataType = SignedInteger ;\n}\n", std::string(12, '\0'))
                  .find("too short"),
              std::string::npos);
    EXPECT_NE(refused("{\nDim_1 = 2 ;\nDim_2 = 2 ;\n").find("file end in the header"), std::string::npos);
}

// The byte order belongs to the file: one without "ByteOrder" is read high
// byte first whatever was read before it.
TEST_F(KvfTest, HeaderWithoutByteOrderReadsTheSameAloneAndAfterEitherOrder) {
    zt::write_kvf("big.kvf", 2, 1, 4, true, {{7, 8}});
    zt::write_kvf("little.kvf", 2, 1, 4, false, {{7, 8}});
    zt::write_file("none.kvf", "{\nDim_1 = 2 ;\nDim_2 = 1 ;\nDataType = SignedInteger ;\n}\n" +
                                   std::string("\0\0\0\x01\0\0\x02\0", 8));
    for (const char* before : {"", "big.kvf", "little.kvf"}) {
        SCOPED_TRACE(std::string("after '") + before + "'");
        IMG previous;
        if (*before) {
            previous.hdr = open(before);
            xy_setsize(previous);
            std::vector<int32_t> seen(2);
            ASSERT_EQ(xy_getrawl(previous, seen.data(), 1, nullptr), 1);
            EXPECT_EQ(seen, (std::vector<int32_t>{7, 8}));
        }
        IMG img;
        img.hdr = open("none.kvf");
        EXPECT_EQ(img.hdr->byte_order, XyByteOrder::unset);
        xy_setsize(img);
        std::vector<int32_t> v(2);
        ASSERT_EQ(xy_getrawl(img, v.data(), 1, nullptr), 1);
        EXPECT_EQ(v, (std::vector<int32_t>{1, 512}));
        const std::string described = zt::written_by([&](std::FILE* fp) { xy_fputhdr(fp, *img.hdr, 0); });
        EXPECT_NE(described.find("# data_type (INT32)  swapping not yet defined\n"), std::string::npos)
            << described;
    }
}

} // namespace
