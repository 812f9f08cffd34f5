// TIFF through libtiff: which files go to the library, compressed, tiled,
// multi-page and BigTIFF files written by libtiff read back pixel for pixel,
// and the refusals (colour, undecodable strips, pages of different sizes).
#include "decoded_frames.hpp"
#include "detector_writers.hpp"
#include "expect_json.hpp"
#include "fatal_capture.hpp"
#include "test_support.hpp"
#include "tif_lib.hpp"
#include "tiff_builder.hpp"

#include <tiffio.h>

namespace {

class TifFiles : public zt::InTempDir {
  protected:
    std::unique_ptr<HDR> open(const std::string& name) { return tif_open_any(file(name), "zandor"); }
};

struct Kind {
    uint16_t bits, format;
    int32_t type;
    double (*value)(size_t page, size_t i);
};

double u8v(size_t p, size_t i) {
    return static_cast<double>((p * 37 + i * 5) % 256);
}
double u16v(size_t p, size_t i) {
    return static_cast<double>((p * 7919 + i * 1231) % 65536);
}
double i16v(size_t p, size_t i) {
    return u16v(p, i) - 32768;
}
double i32v(size_t p, size_t i) {
    return (u16v(p, i) - 30000) * 40009;
}
double u32v(size_t p, size_t i) {
    return u16v(p, i) * 32768;
}
double f32v(size_t p, size_t i) {
    return (u16v(p, i) - 999) / 4.0;
}

const Kind kKinds[] = {
    {8, 1, XY_TYPE_UINT8, u8v},   {16, 1, XY_TYPE_UINT16, u16v}, {16, 2, XY_TYPE_INT32, i16v},
    {32, 2, XY_TYPE_INT32, i32v}, {32, 1, XY_TYPE_INT32, u32v},  {32, 3, XY_TYPE_FLOAT, f32v},
};

zt::TiffPages pages_of(const Kind& k, uint32_t width, uint32_t height, size_t pages) {
    zt::TiffPages t;
    t.width = width;
    t.height = height;
    t.bits = k.bits;
    t.sample_format = k.format;
    for (size_t p = 0; p < pages; ++p) {
        t.pages.emplace_back();
        for (size_t i = 0; i < size_t{width} * height; ++i)
            t.pages.back().push_back(k.value(p, i));
    }
    return t;
}

void expect_pages(HDR& hdr, const zt::TiffPages& t) {
    ASSERT_EQ(hdr.frames, static_cast<int32_t>(t.pages.size()));
    for (size_t p = 0; p < t.pages.size(); ++p) {
        const std::vector<double> px = zt::decoded_frame(hdr, static_cast<int32_t>(p + 1));
        ASSERT_EQ(px, t.pages[p]) << "page " << p + 1;
    }
    // A window across strip and tile borders.
    const XyWindow w{3, 5, 20, 14};
    const std::vector<double> win = zt::decoded_window(hdr, 2, w);
    ASSERT_EQ(win.size(), 280u);
    for (int64_t i = 0; i < xy_window_pixels(w); ++i)
        ASSERT_EQ(win[i], t.pages[1][(w.y0 + i / w.width) * t.width + w.x0 + i % w.width]) << i;
    EXPECT_TRUE(zt::decoded_frame(hdr, static_cast<int32_t>(t.pages.size() + 1)).empty());
}

// Every compression libtiff has, in strips and in tiles, in both byte orders
// and as BigTIFF, for every depth: two pages read back equal to those written.
TEST_F(TifFiles, CompressedTiledMultiPageAndBigFilesReadBackEqual) {
    const uint16_t compressions[] = {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE,
                                     COMPRESSION_PACKBITS, COMPRESSION_ZSTD};
    for (uint16_t compression : compressions) {
        if (!TIFFIsCODECConfigured(compression)) continue;
        for (const Kind& k : kKinds) {
            for (int layout = 0; layout < 3; ++layout) {
                SCOPED_TRACE("compression " + std::to_string(compression) + " bits " +
                             std::to_string(k.bits) + " format " + std::to_string(k.format) + " layout " +
                             std::to_string(layout));
                zt::TiffPages t = pages_of(k, 37, 21, 2);
                t.compression = compression;
                t.rows_per_strip = 4;
                t.tile = layout == 1 ? 16 : 0;
                t.bigtiff = layout == 2;
                t.big_endian = layout != 0;
                zt::write_tiff(file("t.tif"), t);
                std::unique_ptr<HDR> hdr = open("t.tif");
                EXPECT_EQ(hdr->format, XY_FORMAT_LIBTIFF);
                EXPECT_EQ(hdr->type, k.type);
                EXPECT_EQ(hdr->dim_x, 37);
                EXPECT_EQ(hdr->dim_y, 21);
                expect_pages(*hdr, t);
            }
        }
    }
}

// The built-in reader keeps the files it reads; the others go to libtiff.
TEST_F(TifFiles, OnlyFilesTheBuiltInReaderRefusesGoToTheLibrary) {
    const std::vector<uint16_t> px = {1, 2, 3, 4, 5, 6};
    zt::write_file(file("own.tif"), zt::gray_tiff(false, 16, 3, 2, px));
    zt::write_file(file("own_be.tif"), zt::gray_tiff(true, 16, 3, 2, px, 2));
    zt::write_file(file("junk.tif"), "II*\0junk");
    zt::TiffPages one = pages_of(kKinds[1], 32, 32, 1);
    zt::write_tiff(file("plain.tif"), one);
    zt::TiffPages lzw = one;
    lzw.compression = COMPRESSION_LZW;
    zt::write_tiff(file("lzw.tif"), lzw);
    zt::TiffPages tiled = one;
    tiled.tile = 16;
    zt::write_tiff(file("tiled.tif"), tiled);
    zt::TiffPages big = one;
    big.bigtiff = true;
    zt::write_tiff(file("big.tif"), big);
    zt::write_tiff(file("pages.tif"), pages_of(kKinds[1], 32, 32, 3));
    const struct {
        const char* name;
        bool library;
    } cases[] = {{"own.tif", false}, {"own_be.tif", false}, {"plain.tif", false}, {"junk.tif", false},
                 {"lzw.tif", true},  {"tiled.tif", true},   {"big.tif", true},    {"pages.tif", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = zt::read_file(file(c.name));
        EXPECT_EQ(tif_needs_library(GelMemoryBytes(bytes)), c.library);
    }
    EXPECT_EQ(open("own.tif")->format, XY_FORMAT_GEL);
    EXPECT_EQ(open("plain.tif")->format, XY_FORMAT_GEL);
    std::unique_ptr<HDR> hdr = open("lzw.tif");
    EXPECT_EQ(hdr->format, XY_FORMAT_LIBTIFF);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"HeaderID", "EH:000001:000000:000000"},
        {"ByteOrder", "LowByteFirst"},
        {"Dim_1", "32"},
        {"Dim_2", "32"},
        {"Image", "1"},
        {"Compression", "LZW"},
        {"BitsPerSample", "16"},
        {"SampleFormat", "1"},
        {"Software", "detector test writer"}};
    ASSERT_EQ(hdr->items.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(hdr->items[i].key, expected[i].first);
        EXPECT_EQ(hdr->items[i].value, expected[i].second);
    }
}

// Offset of the first strip, as libtiff gives it.
uint64_t first_strip_offset(const std::string& path) {
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    uint64_t* offsets = nullptr;
    TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets);
    const uint64_t first = offsets ? offsets[0] : 0;
    TIFFClose(tif);
    return first;
}

TEST_F(TifFiles, UnreadableFilesAreRefusedWithOneLine) {
    // Colour stays refused, compressed or not.
    {
        TIFF* tif = TIFFOpen(file("rgb.tif").c_str(), "w");
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 4);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 2);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        const uint8_t row[12] = {};
        TIFFWriteScanline(tif, const_cast<uint8_t*>(row), 0, 0);
        TIFFWriteScanline(tif, const_cast<uint8_t*>(row), 1, 0);
        TIFFClose(tif);
    }
    EXPECT_NE(
        zt::fatal_report([&] { open("rgb.tif"); }).find(" colour TIFF (3 samples per pixel) not supported"),
        std::string::npos);

    // A Deflate strip whose bytes were damaged.
    zt::TiffPages deflate = pages_of(kKinds[1], 64, 16, 1);
    deflate.compression = COMPRESSION_ADOBE_DEFLATE;
    deflate.rows_per_strip = 16;
    zt::write_tiff(file("z.tif"), deflate);
    std::string bytes = zt::read_file(file("z.tif"));
    const uint64_t at = first_strip_offset(file("z.tif"));
    ASSERT_GT(at, 0u);
    for (uint64_t i = at + 2; i < at + 40; ++i)
        bytes[i] = static_cast<char>(0xff);
    zt::write_file(file("z.tif"), bytes);
    std::unique_ptr<HDR> hdr = open("z.tif");
    std::string err = zt::fatal_report([&] { zt::decoded_frame(*hdr, 1); });
    EXPECT_NE(err.find("cannot decode strip 0 of page 1 of '"), std::string::npos) << err;

    // Pages of different sizes are not one series of frames.
    {
        TIFF* tif = TIFFOpen(file("mixed.tif").c_str(), "w");
        for (uint32_t width : {4u, 5u}) {
            TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 1);
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
            const uint8_t row[5] = {1, 2, 3, 4, 5};
            TIFFWriteScanline(tif, const_cast<uint8_t*>(row), 0, 0);
            TIFFWriteDirectory(tif);
        }
        TIFFClose(tif);
    }
    err = zt::fatal_report([&] { open("mixed.tif"); });
    EXPECT_NE(err.find("page 2 of '"), std::string::npos) << err;
    EXPECT_NE(err.find("differs from page 1 in size or samples"), std::string::npos) << err;

    // Unsigned 32-bit values beyond the signed pixels are refused, naming the
    // pixel, but for all ones, the mark of a pixel without a value.
    zt::TiffPages u32 = pages_of(kKinds[4], 3, 2, 1);
    u32.compression = COMPRESSION_LZW;
    u32.pages[0][4] = 4294967294.0;
    zt::write_tiff(file("u32.tif"), u32);
    hdr = open("u32.tif");
    err = zt::fatal_report([&] { zt::decoded_frame(*hdr, 1); });
    EXPECT_NE(err.find("pixel (1, 1) of page 1 of '"), std::string::npos) << err;
}

// The real files the built-in reader refuses: the Deflate one now reads with
// its expected values, the BigTIFF one is colour and stays refused.
TEST(TifRealFiles, DeflateReadsAndColourBigTiffIsRefused) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    const std::string deflate = root + "/refuse/16bit.MM.deflate.tif";
    std::unique_ptr<HDR> hdr = tif_open_any(deflate, "zandor");
    EXPECT_EQ(hdr->format, XY_FORMAT_LIBTIFF);
    zt::expect_matches_expectation(*hdr, zt::read_file(deflate + ".expect.json"));
    const std::string err =
        zt::fatal_report([&] { tif_open_any(root + "/refuse/hopper_bigtiff.tif", "zandor"); });
    EXPECT_NE(err.find(" colour TIFF (3 samples per pixel) not supported"), std::string::npos) << err;
}

} // namespace
