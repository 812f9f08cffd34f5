#include "expect_json.hpp"
#include "fatal_capture.hpp"
#include "gel_lib.hpp"
#include "records.hpp"
#include "test_support.hpp"
#include "tiff_builder.hpp"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <random>

#ifdef ZANDOR_HAVE_LIBTIFF
#include <tiffio.h>
#endif

namespace {

// ---------------------------------------------------------------- helpers

std::unique_ptr<HDR> parse(const std::string& bytes) {
    const GelMemoryBytes file(bytes);
    std::unique_ptr<HDR> hdr = gel_gethdr(file);
    gel_hdrfill(file, *hdr);
    return hdr;
}

std::string parse_fatal(const std::string& bytes) {
    return zt::fatal_report([&] { parse(bytes); });
}

std::string value_of(const HDR& hdr, const std::string& key) {
    for (const KvfItem& item : hdr.items)
        if (item.key == key) return item.value;
    return "<absent>";
}

// The whole first frame of a file opened by the module, through the shared raw readers.
struct Frame {
    int32_t width = 0;
    int32_t height = 0;
    int32_t type = 0;
    int64_t offset = 0;
    XyByteOrder order = XyByteOrder::unset;
    std::vector<uint16_t> pixels;
    uint16_t at(int32_t x, int32_t y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// A record reading the whole frame of the file at `path`.
IMG opened(const std::string& path) {
    IMG img;
    img.hdr = gel_open(path, "zandor");
    xy_setsize(img);
    return img;
}

Frame read_frame(const std::string& path) {
    const IMG img = opened(path);
    Frame f;
    f.width = img.dim_x;
    f.height = img.dim_y;
    f.type = img.hdr->type;
    f.offset = img.hdr->offset;
    f.order = img.hdr->byte_order;
    f.pixels.assign(static_cast<size_t>(img.reg_size), 0);
    EXPECT_EQ(gel_getraw(img, f.pixels.data(), 1), img.reg_height) << path;
    return f;
}

// The whole first frame of a 32-bit file, through the 32-bit integer or the
// float reader as the file's samples ask.
struct Frame32 {
    int32_t width = 0;
    int32_t type = 0;
    bool uint32_samples = false;
    XyByteOrder order = XyByteOrder::unset;
    std::vector<int32_t> ints;
    std::vector<float> floats;
    int32_t at(int32_t x, int32_t y) const { return ints.at(static_cast<size_t>(y) * width + x); }
};

Frame32 read_frame32(const std::string& path) {
    const IMG img = opened(path);
    Frame32 f;
    f.width = img.dim_x;
    f.type = img.hdr->type;
    f.uint32_samples = img.hdr->uint32_samples;
    f.order = img.hdr->byte_order;
    const size_t n = static_cast<size_t>(img.reg_size);
    if (f.type == XY_TYPE_INT32) {
        f.ints.resize(n);
        EXPECT_EQ(xy_getrawl(img, f.ints.data(), 1, nullptr), img.reg_height) << path;
    } else if (f.type == XY_TYPE_FLOAT) {
        f.floats.resize(n);
        EXPECT_EQ(xy_getrawf(img, f.floats.data(), 1, nullptr), img.reg_height) << path;
    } else {
        ADD_FAILURE() << path << ": type " << f.type;
    }
    return f;
}

std::vector<uint16_t> ramp(size_t n, uint16_t start, uint16_t step) {
    std::vector<uint16_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint16_t>(start + step * i);
    return v;
}

IMG image_of(int32_t nx, int32_t ny, const std::vector<int32_t>& values, const std::string& name) {
    return zt::image_of(nx, ny, values, {}, name);
}

uint16_t le16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1])
                                                                         << 8);
}
uint32_t le32(const std::string& s, size_t at) {
    return le16(s, at) | static_cast<uint32_t>(le16(s, at + 2)) << 16;
}

// A minimal valid 2 x 2 16-bit file with extra entries inserted before the strip entries.
zt::TiffBuilder small_file(bool big_endian) {
    zt::TiffBuilder t(big_endian);
    t.append_u16s({1, 2, 3, 4});
    t.add_short(0x100, 2);
    t.add_short(0x101, 2);
    t.add_short(0x102, 16);
    return t;
}

void add_single_strip(zt::TiffBuilder& t, uint32_t offset = 8, uint32_t bytes = 8) {
    t.add_long(0x111, offset);
    t.add_long(0x117, bytes);
}

class GelFiles : public zt::InTempDir {
  protected:
    void SetUp() override { zt::InTempDir::SetUp(); }
};

// ---------------------------------------------------------------- file header and IFD

TEST(GelHeader, OwnLayoutOfThirteenEntriesGivesTypeAndOffset270) {
    for (int bits : {8, 16}) {
        zt::TiffBuilder t(false);
        t.append(std::string(262, '\0')); // pixels from 270 as this module writes them
        const uint16_t tags[] = {0x100, 0x101, 0x102, 0x103, 0x106, 0x111, 0x116,
                                 0x117, 0x118, 0x119, 0x11A, 0x11B, 0x128};
        const uint32_t values[] = {
            4, 3, static_cast<uint32_t>(bits), 1, 0, 270, 3, 12u * bits / 8, 0, 9, 170, 178, 1};
        for (int i = 0; i < 13; ++i) {
            if (tags[i] == 0x116 || tags[i] == 0x117)
                t.add_long(tags[i], values[i]);
            else if (tags[i] == 0x11A || tags[i] == 0x11B)
                t.add_entry(tags[i], 5, 1, values[i]);
            else
                t.add_short(tags[i], static_cast<uint16_t>(values[i]));
        }
        std::string bytes = t.bytes(8);
        bytes.resize(270 + 12u * bits / 8, '\0');
        const std::unique_ptr<HDR> hdr = parse(bytes);
        EXPECT_EQ(hdr->type, bits == 16 ? 3 : 1);
        EXPECT_EQ(hdr->offset, 270);
        EXPECT_EQ(hdr->dim_x, 4);
        EXPECT_EQ(hdr->dim_y, 3);
        EXPECT_EQ(hdr->frames, 1);
        EXPECT_EQ(hdr->byte_order, XyByteOrder::low_first);
    }
}

TEST(GelHeader, ByteOrderFollowsTheFile) {
    const std::vector<uint16_t> px = {0x1234, 0xABCD, 7, 65535};
    EXPECT_EQ(parse(zt::gray_tiff(true, 16, 2, 2, px))->byte_order, XyByteOrder::high_first);
    EXPECT_EQ(parse(zt::gray_tiff(false, 16, 2, 2, px))->byte_order, XyByteOrder::low_first);
}

TEST(GelHeader, HundredEntriesAreReadAndHundredOneRefused) {
    for (int n : {100, 101}) {
        zt::TiffBuilder t = small_file(false);
        add_single_strip(t);
        for (int i = 5; i < n; ++i)
            t.add_short(static_cast<uint16_t>(0x8000 + i), 1);
        if (n == 100) {
            const std::unique_ptr<HDR> hdr = parse(t.bytes());
            EXPECT_EQ(hdr->type, 3);
            EXPECT_EQ(hdr->n_items, static_cast<int32_t>(hdr->items.size()));
            EXPECT_EQ(value_of(*hdr, "TAG 8063 ???"), "1");
        } else {
            EXPECT_NE(parse_fatal(t.bytes()).find(" more than 100 tags found in the file"),
                      std::string::npos);
        }
    }
    zt::TiffBuilder empty(false);
    EXPECT_EQ(parse_fatal(empty.bytes()),
              " ../xy32lib/gel_lib error :  no tags found in the file, abort!\n\n");
}

TEST(GelHeader, BadMarksAreRefusedWithTheirMessages) {
    std::string good = zt::gray_tiff(false, 16, 2, 2, {1, 2, 3, 4});
    std::string bad_id = good;
    bad_id[0] = 'I';
    bad_id[1] = 'M';
    EXPECT_EQ(parse_fatal(bad_id),
              " ../xy32lib/gel_lib error :  invalid gel file ID nor 'MM' neither 'II', abort!\n\n");
    std::string bad_key = good;
    bad_key[2] = 41;
    EXPECT_NE(parse_fatal(bad_key).find(" invalid gel file key not 0x2a, abort!"), std::string::npos);
    EXPECT_NE(parse_fatal("II").find(" invalid gel file key not 0x2a"), std::string::npos);
    EXPECT_NE(parse_fatal("").find("invalid gel file ID"), std::string::npos);
    std::string big = good;
    big[2] = 43;
    EXPECT_NE(parse_fatal(big).find("BigTIFF"), std::string::npos);
}

TEST(GelHeader, OffsetsOutsideTheFileAreRefused) {
    const std::string good = zt::gray_tiff(false, 16, 2, 2, {1, 2, 3, 4});
    std::string far_ifd = good;
    far_ifd.replace(4, 4, std::string("\xff\xff\x00\x00", 4));
    EXPECT_NE(parse_fatal(far_ifd).find("the IFD at byte 65535 lies beyond the end of the file"),
              std::string::npos);
    // The IFD claims more entries than the file holds.
    std::string short_ifd = good;
    short_ifd.resize(good.size() - 20);
    EXPECT_NE(parse_fatal(short_ifd).find("run past the end of the file"), std::string::npos);
    EXPECT_NE(parse_fatal(good.substr(0, 6)).find("the IFD offset at byte 4"), std::string::npos);

    zt::TiffBuilder strips = small_file(false);
    strips.add_entry(0x111, 4, 2, 5000); // offsets array beyond the end
    strips.add_entry(0x117, 4, 2, 5008);
    EXPECT_NE(parse_fatal(strips.bytes()).find("values of StripOffset (8 bytes at byte 5000)"),
              std::string::npos);

    zt::TiffBuilder data_past_end(false);
    data_past_end.add_short(0x100, 100);
    data_past_end.add_short(0x101, 100);
    data_past_end.add_short(0x102, 8);
    add_single_strip(data_past_end, 8, 10000);
    EXPECT_NE(
        parse_fatal(data_past_end.bytes()).find("pixel data (10000 bytes from byte 8) run past the end"),
        std::string::npos);
}

TEST(GelHeader, EmptyAndOversizedDimensionsAreRefused) {
    zt::TiffBuilder zero(false);
    zero.append_u16s({1, 2});
    zero.add_short(0x100, 0);
    zero.add_short(0x101, 2);
    zero.add_short(0x102, 16);
    add_single_strip(zero, 8, 4);
    EXPECT_NE(parse_fatal(zero.bytes()).find("image of 0 x 2 pixels is empty"), std::string::npos);

    zt::TiffBuilder no_height(false);
    no_height.append_u16s({1, 2});
    no_height.add_short(0x100, 2);
    no_height.add_short(0x102, 16);
    add_single_strip(no_height, 8, 4);
    EXPECT_NE(parse_fatal(no_height.bytes()).find("image of 2 x 0 pixels is empty"), std::string::npos);

    zt::TiffBuilder wide(false);
    wide.add_long(0x100, 70000);
    wide.add_short(0x101, 1);
    wide.add_short(0x102, 8);
    add_single_strip(wide, 8, 70000);
    EXPECT_NE(parse_fatal(wide.bytes()).find("beyond 65535 not supported"), std::string::npos);
}

TEST(GelHeader, LayoutsTheRawReadersWouldMisreadAreRefused) {
    const struct {
        uint16_t tag;
        uint16_t value;
        const char* message;
    } cases[] = {
        {0x103, 5, "compressed TIFF (Compression 5) not supported"},
        {0x103, 8, "compressed TIFF (Compression 8) not supported"},
        {0x115, 3, "colour TIFF (3 samples per pixel) not supported"},
        {0x106, 2, "colour or palette TIFF (PhotometricInterpretation 2)"},
        {0x106, 3, "colour or palette TIFF (PhotometricInterpretation 3)"},
        {0x153, 2, "signed or floating-point samples (SampleFormat 2)"},
        {0x153, 3, "signed or floating-point samples (SampleFormat 3)"},
    };
    for (const auto& c : cases) {
        zt::TiffBuilder t = small_file(false);
        t.add_short(c.tag, c.value);
        add_single_strip(t);
        EXPECT_NE(parse_fatal(t.bytes()).find(c.message), std::string::npos) << c.message;
    }
    zt::TiffBuilder rgb_bits = small_file(false);
    rgb_bits.add_entry(0x102, 3, 3, 100); // BitsPerSample 8,8,8 stored elsewhere
    add_single_strip(rgb_bits);
    EXPECT_NE(parse_fatal(rgb_bits.bytes()).find("colour TIFF (3 samples per pixel)"), std::string::npos);

    zt::TiffBuilder tiled = small_file(false);
    tiled.add_long(0x144, 8);
    EXPECT_NE(parse_fatal(tiled.bytes()).find("no StripOffsets"), std::string::npos);
}

TEST(GelHeader, StripsMustFollowEachOtherAndHoldTheImage) {
    // 2 x 4 pixels of 16 bits in two strips of 8 bytes, the second 2 bytes too far.
    zt::TiffBuilder gap(true);
    gap.append(std::string(18, '\0'));
    gap.add_short(0x100, 2);
    gap.add_short(0x101, 4);
    gap.add_short(0x102, 16);
    gap.add_raw_entry(0x111, 3, 2, gap.u16(8) + gap.u16(18)); // two SHORT offsets, inline
    gap.add_raw_entry(0x117, 3, 2, gap.u16(8) + gap.u16(8));
    EXPECT_NE(
        parse_fatal(gap.bytes()).find("strips not stored one after the other (strip 1 at byte 18, not 16)"),
        std::string::npos);

    zt::TiffBuilder too_small(false);
    too_small.append(std::string(16, '\0'));
    too_small.add_short(0x100, 2);
    too_small.add_short(0x101, 4);
    too_small.add_short(0x102, 16);
    too_small.add_long(0x111, 8);
    too_small.add_long(0x117, 12);
    EXPECT_NE(parse_fatal(too_small.bytes()).find("the strips hold 12 bytes where the image needs 16"),
              std::string::npos);

    zt::TiffBuilder no_counts(false);
    no_counts.append(std::string(16, '\0'));
    no_counts.add_short(0x100, 2);
    no_counts.add_short(0x101, 4);
    no_counts.add_short(0x102, 16);
    no_counts.add_raw_entry(0x111, 3, 2, no_counts.u16(8) + no_counts.u16(16));
    EXPECT_NE(parse_fatal(no_counts.bytes()).find("2 strips without StripByteCounts"), std::string::npos);

    zt::TiffBuilder many(false);
    many.append(std::string(16, '\0'));
    many.add_short(0x100, 2);
    many.add_short(0x101, 4);
    many.add_short(0x102, 16);
    many.add_entry(0x111, 4, 5, 8);
    many.add_entry(0x117, 4, 5, 8);
    EXPECT_NE(parse_fatal(many.bytes()).find("5 strips for an image of 4 rows"), std::string::npos);
}

TEST(GelHeader, SeveralStripsStartAtTheFirstStrip) {
    // SHORT offsets held inline (two of them fit the value field).
    zt::TiffBuilder t(false);
    t.append_u16s({10, 11, 12, 13, 14, 15, 16, 17});
    t.add_short(0x100, 2);
    t.add_short(0x101, 4);
    t.add_short(0x102, 16);
    t.add_raw_entry(0x111, 3, 2, t.u16(8) + t.u16(16));
    t.add_raw_entry(0x117, 3, 2, t.u16(8) + t.u16(8));
    EXPECT_EQ(parse(t.bytes())->offset, 8);
    // LONG offsets stored out of line, from a writer that puts the IFD first.
    const std::string many = zt::gray_tiff(true, 16, 3, 7, ramp(21, 100, 1), 4);
    const std::unique_ptr<HDR> hdr = parse(many);
    EXPECT_EQ(hdr->offset, 8);
    EXPECT_EQ(hdr->dim_x, 3);
    EXPECT_EQ(hdr->dim_y, 7);
}

// ---------------------------------------------------------------- header entries

TEST(GelHeaderEntries, FixedEntriesThenTheTagsThenSoftware) {
    zt::TiffBuilder t(true);
    t.append_u16s({1, 2, 3, 4});
    const uint32_t text_at = t.append(std::string("zandor test file\0", 17));
    const uint32_t rational_at = t.append_u32s({300, 1});
    t.add_short(0x100, 2);
    t.add_short(0x101, 2);
    t.add_short(0x102, 16);
    t.add_short(0x103, 1);
    t.add_short(0x106, 1);
    t.add_entry(0x10E, 2, 17, text_at);
    t.add_raw_entry(0x110, 2, 3, std::string("ab\0\0", 4)); // fits the value field
    add_single_strip(t);
    t.add_short(0x116, 2);
    t.add_short(0x119, 40000);
    t.add_entry(0x11A, 5, 1, rational_at);
    t.add_long(0x8769, 123456);
    const std::unique_ptr<HDR> hdr = parse(t.bytes());
    std::vector<std::string> keys;
    for (const KvfItem& item : hdr->items)
        keys.push_back(item.key);
    const std::vector<std::string> expected = {
        "HeaderID",      "ByteOrder",       "Dim_1",       "Dim_2",        "Image",
        "BitsPerSample", "PhotometricInt.", "Description", "Manufacturer", "MaxSampleValue",
        "XResolution",   "TAG 8769 ???",    "Software"};
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(value_of(*hdr, "HeaderID"), "EH:000001:000000:000000");
    EXPECT_EQ(value_of(*hdr, "ByteOrder"), "LowByteFirst");
    EXPECT_EQ(value_of(*hdr, "Dim_1"), "2");
    EXPECT_EQ(value_of(*hdr, "Image"), "1");
    EXPECT_EQ(value_of(*hdr, "BitsPerSample"), "16");
    EXPECT_EQ(value_of(*hdr, "Description"), "zandor test file");
    EXPECT_EQ(value_of(*hdr, "Manufacturer"), "ab");
    EXPECT_EQ(value_of(*hdr, "MaxSampleValue"), "40000");
    EXPECT_EQ(value_of(*hdr, "XResolution"), "300 / 1");
    EXPECT_EQ(value_of(*hdr, "TAG 8769 ???"), "123456");
    // Then the library's build date, in the form of __DATE__ (the test may be built on a later day).
    const std::string software = value_of(*hdr, "Software"), prefix = "../xy32lib/gel_lib based on tiff#6, ";
    EXPECT_EQ(software.substr(0, prefix.size()), prefix);
    EXPECT_EQ(software.size(), prefix.size() + std::strlen(__DATE__)) << software;
}

TEST(GelHeaderEntries, LongTextIsCutAndKeptOnOneLine) {
    zt::TiffBuilder t = small_file(false);
    std::string text(300, 'x');
    text[5] = '\n';
    text[6] = '\r';
    const uint32_t at = t.append(text + '\0');
    add_single_strip(t);
    t.add_entry(0x10E, 2, static_cast<uint32_t>(text.size() + 1), at);
    const std::string value = value_of(*parse(t.bytes()), "Description");
    EXPECT_EQ(value.size(), 131u);
    EXPECT_EQ(value.substr(0, 8), "xxxxx  x");

    zt::TiffBuilder beyond = small_file(false);
    add_single_strip(beyond);
    beyond.add_entry(0x10E, 2, 4000, 20);
    EXPECT_NE(parse_fatal(beyond.bytes()).find("values of Description (4000 bytes at byte 20) lie beyond"),
              std::string::npos);
    zt::TiffBuilder rational_beyond = small_file(false);
    add_single_strip(rational_beyond);
    rational_beyond.add_entry(0x11A, 5, 1, 0xFFFFFFF0u);
    EXPECT_NE(parse_fatal(rational_beyond.bytes()).find("values of XResolution"), std::string::npos);
}

TEST(GelHeader, ThirtyTwoBitSamplesOfNoNumberFormatAreRefused) {
    zt::TiffBuilder untyped(false);
    untyped.append_u32s({1, 2});
    untyped.add_short(0x100, 2);
    untyped.add_short(0x101, 1);
    untyped.add_short(0x102, 32);
    untyped.add_short(0x153, 4);
    add_single_strip(untyped);
    EXPECT_NE(parse_fatal(untyped.bytes()).find(" 32-bit samples of SampleFormat 4 not supported, abort!"),
              std::string::npos);
}

TEST(GelHeaderEntries, SixtyFourBitFileIsListedThenRefused) {
    zt::TiffBuilder t(false);
    t.append_u32s({1, 2, 3, 4});
    t.add_short(0x100, 2);
    t.add_short(0x101, 1);
    t.add_short(0x102, 64);
    t.add_short(0x153, 3);
    add_single_strip(t, 8, 16);
    const std::string err = parse_fatal(t.bytes());
    EXPECT_NE(err.find("# data_type (UNKNOWN)"), std::string::npos) << err;
    EXPECT_NE(err.find("#05# BitsPerSample   = 64 ; \n"), std::string::npos) << err;
    EXPECT_NE(err.find(" ../xy32lib/gel_lib error :  not supported data type!, abort!\n\n"),
              std::string::npos);
}

// Damaged headers must end in the fatal error or describe pixels inside the
// file; anything else (a crash, a read past a buffer) fails here or under the
// sanitizers.
TEST(GelHeaderFuzz, DamagedFilesAreRefusedOrDescribedInsideTheFile) {
    const std::string seeds[] = {zt::gray_tiff(true, 16, 5, 6, ramp(30, 1, 3), 3),
                                 zt::gray_tiff(false, 8, 7, 3, ramp(21, 1, 1), 2)};
    std::mt19937 rng(20240531);
    int accepted = 0, refused = 0;
    testing::internal::CaptureStderr();
    for (const std::string& seed : seeds) {
        for (int round = 0; round < 1500; ++round) {
            std::string bytes = seed;
            const int flips = 1 + static_cast<int>(rng() % 4);
            for (int i = 0; i < flips; ++i)
                bytes[rng() % bytes.size()] = static_cast<char>(rng() & 0xff);
            if (rng() % 8 == 0) bytes.resize(rng() % bytes.size());
            try {
                const std::unique_ptr<HDR> hdr = parse(bytes);
                const uint64_t frame = uint64_t{hdr->dim_x} * hdr->dim_y * (hdr->type == 3 ? 2 : 1);
                EXPECT_TRUE(hdr->type == 1 || hdr->type == 3);
                EXPECT_LE(static_cast<uint64_t>(hdr->offset) + frame, bytes.size());
                EXPECT_GT(frame, 0u);
                ++accepted;
            } catch (const Fatal&) {
                ++refused;
            }
        }
    }
    testing::internal::GetCapturedStderr();
    RecordProperty("accepted", accepted);
    RecordProperty("refused", refused);
    EXPECT_GT(accepted, 0);
    EXPECT_GT(refused, 0);
}

// ---------------------------------------------------------------- files read back

TEST_F(GelFiles, BigEndianPixelsAreSwappedWhenRead) {
    const std::vector<uint16_t> px = {0x1234, 0xABCD, 7, 65535, 256, 1};
    zt::write_file(file("be.tif"), zt::gray_tiff(true, 16, 3, 2, px));
    const Frame f = read_frame(file("be.tif"));
    EXPECT_EQ(f.order, XyByteOrder::high_first);
    EXPECT_EQ(f.pixels, px);
    zt::write_file(file("le.tif"), zt::gray_tiff(false, 16, 3, 2, px));
    EXPECT_EQ(read_frame(file("le.tif")).pixels, px);
}

TEST_F(GelFiles, PixelsBeyondByte65535AreReadFromTheirFullOffset) {
    zt::TiffBuilder t(false);
    t.append(std::string(70000 - 8, '\x55'));
    const std::vector<uint16_t> px = {1000, 2000, 3000, 4000};
    EXPECT_EQ(t.append_u16s(px), 70000u);
    t.add_short(0x100, 2);
    t.add_short(0x101, 2);
    t.add_short(0x102, 16);
    add_single_strip(t, 70000, 8);
    zt::write_file(file("far.tif"), t.bytes());
    const Frame f = read_frame(file("far.tif"));
    EXPECT_EQ(f.offset, 70000);
    EXPECT_EQ(f.pixels, px);
}

TEST_F(GelFiles, SeveralStripsAreReadAsOneImage) {
    const std::vector<uint16_t> px = ramp(5 * 9, 40, 7);
    for (bool big : {false, true}) {
        zt::write_file(file("strips.tif"), zt::gray_tiff(big, 16, 5, 9, px, 4));
        EXPECT_EQ(read_frame(file("strips.tif")).pixels, px);
        zt::write_file(file("strips8.tif"), zt::gray_tiff(big, 8, 5, 9, ramp(45, 3, 5), 3));
        const Frame f8 = read_frame(file("strips8.tif"));
        EXPECT_EQ(f8.type, 1);
        EXPECT_EQ(f8.pixels, ramp(45, 3, 5));
    }
}

TEST_F(GelFiles, OpeningAddsGelOnlyWhenNoTiffNameIsGiven) {
    zt::write_file(file("plain.gel"), zt::gray_tiff(false, 8, 2, 1, {5, 6}));
    const std::unique_ptr<HDR> hdr = gel_open("plain", "zandor");
    EXPECT_EQ(hdr->file_name, "plain.gel");
    EXPECT_EQ(hdr->format, 3);
    EXPECT_TRUE(hdr->fp);
    zt::write_file(file("scan.dat"), zt::gray_tiff(false, 8, 2, 1, {5, 6}));
    EXPECT_EQ(gel_open("scan.dat", "zandor", true)->file_name, "scan.dat");
    const std::string err = zt::fatal_report([] { gel_open("scan.dat", "zandor"); });
    EXPECT_NE(err.find("gel_open : unable to open zandor file 'scan.dat.gel', abort!"), std::string::npos)
        << err;
}

// ---------------------------------------------------------------- writing

struct Written {
    std::string out; // standard output of the call
    std::string bytes;
};

Written write_image(IMG img, const std::string& ext, int32_t mode, const std::string& expected_name) {
    testing::internal::CaptureStdout();
    gel_write(img, img.name, ext, mode);
    Written w;
    w.out = testing::internal::GetCapturedStdout();
    w.bytes = zt::read_file(expected_name);
    return w;
}

uint16_t bits_of(const std::string& file) {
    return le16(file, 10 + 2 * 12 + 8);
}

class GelWrite : public GelFiles {};

TEST_F(GelWrite, AutomaticDepthFollowsTheValueRange) {
    const struct {
        int32_t min, max, bits;
    } cases[] = {{1, 200, 8}, {0, 200, 32}, {1, 40000, 16}, {1, 255, 8}, {1, 256, 16}, {1, 65536, 32}};
    for (const auto& c : cases) {
        const Written w = write_image(image_of(2, 1, {c.min, c.max}, "auto"), ".tif", 0, "auto.tif");
        EXPECT_EQ(bits_of(w.bytes), c.bits) << c.min << ".." << c.max;
        EXPECT_EQ(w.bytes.size(), 270u + 2 * c.bits / 8);
        EXPECT_NE(w.out.find(prg_format(" writing auto.tif grayscale with %d bits\n", c.bits)),
                  std::string::npos);
        EXPECT_EQ(w.out.find(" offset of "), std::string::npos);
    }
    // Negative values are shifted into the unsigned 32-bit range.
    const Written neg = write_image(image_of(3, 1, {-5, 0, 2000000000}, "neg"), ".tif", 0, "neg.tif");
    EXPECT_EQ(bits_of(neg.bytes), 32);
    EXPECT_NE(neg.out.find(" offset of -5 has been used\n"), std::string::npos);
    EXPECT_EQ(le32(neg.bytes, 270), 0u);
    EXPECT_EQ(le32(neg.bytes, 274), 5u);
    EXPECT_EQ(le32(neg.bytes, 278), 2000000005u);
}

TEST_F(GelWrite, SixteenBitModeShiftsAndScalesOnlyWhenNeeded) {
    const Written same = write_image(image_of(3, 1, {0, 7, 1000}, "m1"), ".tif", 1, "m1.tif");
    EXPECT_EQ(bits_of(same.bytes), 16);
    EXPECT_EQ(same.out.find("multiplied"), std::string::npos);
    EXPECT_EQ(le16(same.bytes, 270), 0);
    EXPECT_EQ(le16(same.bytes, 272), 7);
    EXPECT_EQ(le16(same.bytes, 274), 1000);

    const Written halved = write_image(image_of(3, 1, {0, 3, 131070}, "h"), ".tif", 1, "h.tif");
    EXPECT_NE(halved.out.find(" pixel intensities are multiplied by 0.500000\n"), std::string::npos);
    EXPECT_EQ(halved.out.find(" offset of "), std::string::npos);
    EXPECT_EQ(le16(halved.bytes, 272), 1);
    EXPECT_EQ(le16(halved.bytes, 274), 65535);

    const Written shifted = write_image(image_of(3, 1, {-100, 0, 1000}, "s"), ".tif", 1, "s.tif");
    EXPECT_NE(shifted.out.find(" offset of -100 has been used\n"), std::string::npos);
    EXPECT_EQ(shifted.out.find("multiplied"), std::string::npos);
    EXPECT_EQ(le16(shifted.bytes, 270), 0);
    EXPECT_EQ(le16(shifted.bytes, 272), 100);
    EXPECT_EQ(le16(shifted.bytes, 274), 1100);

    // Above 16 bits with a positive minimum: shifted to the minimum, then scaled.
    const Written both = write_image(image_of(2, 1, {70000, 200000}, "b"), ".gel", 1, "b.gel");
    EXPECT_NE(both.out.find(" offset of 70000 has been used\n"), std::string::npos);
    EXPECT_EQ(le16(both.bytes, 270), 0);
    EXPECT_EQ(le16(both.bytes, 272), 65535);
}

TEST_F(GelWrite, EightBitModeAndBilevelRefusal) {
    const Written w = write_image(image_of(3, 1, {0, 500, 1000}, "e"), ".tif", 2, "e.tif");
    EXPECT_EQ(bits_of(w.bytes), 8);
    EXPECT_NE(w.out.find(" pixel intensities are multiplied by 0.255000\n"), std::string::npos);
    EXPECT_EQ(w.bytes.substr(270), std::string("\x00\x7f\xff", 3));

    zt::write_file(file("keep.tif"), "old contents");
    IMG img = image_of(1, 1, {1}, "keep.tif");
    EXPECT_NE(zt::fatal_report([&] { gel_write(img, img.name, ".tif", 3); }).find("bilevel tif not writen"),
              std::string::npos);
    EXPECT_EQ(zt::read_file(file("keep.tif")), "old contents");
}

TEST_F(GelWrite, NamesKeepATiffNameAndOtherwiseTakeTheExtension) {
    write_image(image_of(1, 1, {9}, "result"), ".tif", 0, "result.tif");
    EXPECT_TRUE(zt::file_exists(file("result.tif")));
    write_image(image_of(1, 1, {9}, "a.tif.bak"), ".gel", 0, "a.tif.bak");
    EXPECT_TRUE(zt::file_exists(file("a.tif.bak")));
    write_image(image_of(1, 1, {9}, "m"), ".gel", 0, "m.gel");
    EXPECT_TRUE(zt::file_exists(file("m.gel")));
    write_image(image_of(1, 1, {9}, "odd"), ".xyz", 0, "odd.xyz.gel");
    EXPECT_TRUE(zt::file_exists(file("odd.xyz.gel")));
    IMG lost = image_of(1, 1, {9}, "no/such/dir/x");
    EXPECT_NE(zt::fatal_report([&] {
                  gel_write(lost, lost.name, ".tif", 0);
              }).find("unable to open the tif/gel out file : no/such/dir/x.tif, abort!"),
              std::string::npos);
}

TEST_F(GelWrite, FileLayoutAndListing) {
    const Written w = write_image(image_of(3, 2, {1, 2, 3, 4, 5, 600}, "lay"), ".tif", 0, "lay.tif");
    const std::string& b = w.bytes;
    ASSERT_EQ(b.size(), 270u + 12);
    EXPECT_EQ(b.substr(0, 4), std::string("II\x2a\x00", 4));
    EXPECT_EQ(le32(b, 4), 8u);
    EXPECT_EQ(le16(b, 8), 13);
    const uint32_t expected[13][3] = {{0x100, 3, 3}, {0x101, 3, 2},   {0x102, 3, 16},  {0x103, 3, 1},
                                      {0x106, 3, 0}, {0x111, 3, 270}, {0x116, 4, 2},   {0x117, 4, 12},
                                      {0x118, 3, 0}, {0x119, 3, 600}, {0x11A, 5, 170}, {0x11B, 5, 178},
                                      {0x128, 3, 1}};
    for (size_t i = 0; i < 13; ++i) {
        const size_t at = 10 + 12 * i;
        EXPECT_EQ(le16(b, at), expected[i][0]) << i;
        EXPECT_EQ(le16(b, at + 2), expected[i][1]) << i;
        EXPECT_EQ(le32(b, at + 4), 1u) << i;
        if (expected[i][1] == 3) {
            EXPECT_EQ(le16(b, at + 8), expected[i][2]) << i;
            EXPECT_EQ(le16(b, at + 10), 0) << i;
        } else {
            EXPECT_EQ(le32(b, at + 8), expected[i][2]) << i;
        }
    }
    EXPECT_EQ(le32(b, 166), 0u);
    EXPECT_EQ(le32(b, 170), 1u);
    EXPECT_EQ(le32(b, 174), 1u);
    EXPECT_EQ(le32(b, 178), 1u);
    EXPECT_EQ(le32(b, 182), 1u);
    EXPECT_EQ(b.substr(186, 84), std::string(84, '\0'));
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(le16(b, 270 + 2 * i), i < 5 ? i + 1 : 600);

    const std::vector<std::string> lines = zt::split_lines(w.out);
    ASSERT_EQ(lines.size(), 14u) << w.out;
    EXPECT_EQ(lines[0], " writing lay.tif grayscale with 16 bits");
    EXPECT_EQ(lines[1], "  0/13 TIF_IFD 0100       ImageWidth    SHORT *  1 = 3");
    EXPECT_EQ(lines[7], "  6/13 TIF_IFD 0116      RowPerStrip     LONG *  1 = 2");
    EXPECT_EQ(lines[11], " 10/13 TIF_IFD 011a      XResolution RATIONAL *  1 = fileoffset 170 ''");
    EXPECT_EQ(lines[13], " 12/13 TIF_IFD 0128   ResolutionUnit    SHORT *  1 = 1");
}

TEST_F(GelWrite, DepthIsChosenFromTheCurrentValuesNotStaleStatistics) {
    IMG img = image_of(2, 2, {5, 100, 70000, 9}, "stale");
    img.min = 5;
    img.max = 100; // as computed before a multiplication
    const Written w = write_image(std::move(img), ".tif", 0, "stale.tif");
    EXPECT_EQ(bits_of(w.bytes), 32);
    EXPECT_EQ(le32(w.bytes, 270 + 8), 70000u);
    // MaxSampleValue declares the image maximum's low 16 bits, before offset and scale.
    const Written scaled = write_image(image_of(2, 1, {0, 131070}, "sc"), ".tif", 1, "sc.tif");
    EXPECT_EQ(le16(scaled.bytes, 10 + 9 * 12 + 8), 131070 % 65536);
}

TEST_F(GelWrite, WrittenFilesReadBackWithTheirValues) {
    const std::vector<int32_t> small = {1, 2, 250, 7, 9, 11};
    write_image(image_of(3, 2, small, "r8"), ".tif", 0, "r8.tif");
    const Frame f8 = read_frame(file("r8.tif"));
    EXPECT_EQ(f8.type, 1);
    EXPECT_EQ(f8.offset, 270);
    EXPECT_EQ(f8.pixels, std::vector<uint16_t>(small.begin(), small.end()));

    const std::vector<int32_t> mid = {1, 40000, 65535, 300, 2, 3};
    write_image(image_of(2, 3, mid, "r16"), ".gel", 0, "r16.gel");
    const Frame f16 = read_frame(file("r16.gel"));
    EXPECT_EQ(f16.type, 3);
    EXPECT_EQ(f16.offset, 270);
    EXPECT_EQ(f16.width, 2);
    EXPECT_EQ(f16.pixels, std::vector<uint16_t>(mid.begin(), mid.end()));

    // 32 bits: the values as written, shifted up by the minimum when it is negative.
    const struct {
        std::vector<int32_t> image;
        std::vector<int32_t> read;
    } wide[] = {
        {{0, 100000, 2147483647, 5}, {0, 100000, 2147483647, 5}},
        {{-5, 0, 2000000000, -1}, {0, 5, 2000000005, 4}},
    };
    for (const auto& c : wide) {
        write_image(image_of(2, 2, c.image, "r32"), ".tif", 0, "r32.tif");
        const Frame32 f32 = read_frame32(file("r32.tif"));
        EXPECT_EQ(f32.type, XY_TYPE_INT32);
        EXPECT_TRUE(f32.uint32_samples); // written without SampleFormat: unsigned
        EXPECT_EQ(f32.ints, c.read);
    }

    // A range wider than 2^31 - 1 is written, but its top cannot be a pixel again
    // (all ones, 4294967295, would be the mark of a pixel without a value).
    write_image(image_of(2, 1, {INT32_MIN, INT32_MAX - 1}, "r32"), ".tif", 0, "r32.tif");
    const IMG img = opened(file("r32.tif"));
    std::vector<int32_t> buf(2);
    EXPECT_NE(zt::fatal_report([&] { xy_getrawl(img, buf.data(), 1, nullptr); })
                  .find(" xy_getrawl : unsigned value 4294967294 at pixel x 1 y 0 of frame 1 in '" +
                        file("r32.tif") + "' is beyond the 32-bit pixel range"),
              std::string::npos);
}

TEST_F(GelWrite, ImagesTheFormatCannotHoldAreRefused) {
    IMG empty = image_of(0, 0, {}, "empty");
    EXPECT_NE(
        zt::fatal_report([&] { gel_write(empty, empty.name, ".tif", 0); }).find("no image data to write"),
        std::string::npos);
    IMG wide = image_of(70000, 1, std::vector<int32_t>(70000, 1), "wide");
    EXPECT_NE(
        zt::fatal_report([&] { gel_write(wide, wide.name, ".tif", 0); }).find("written as 16-bit numbers"),
        std::string::npos);
    EXPECT_FALSE(zt::file_exists(file("wide.tif")));
}

// ---------------------------------------------------------------- real files made by other programs

std::vector<std::string> files_in(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(GelRealFiles, TiffsOfOtherProgramsReadToTheirReferenceValues) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    const std::vector<std::string> names = files_in(root + "/tiff", ".expect.json");
    ASSERT_EQ(names.size(), 7u);
    for (const std::string& json_name : names) {
        SCOPED_TRACE(json_name);
        const std::string json = zt::read_file(root + "/tiff/" + json_name);
        const std::string tiff = root + "/tiff/" + json_name.substr(0, json_name.size() - 12);
        ASSERT_EQ(zt::json_string(json, "expect"), "read");
        const Frame f = read_frame(tiff);
        const std::string dims = zt::json_value(json, "dims");
        EXPECT_EQ(f.width, zt::json_numbers(zt::json_value(dims, "width")).at(0));
        EXPECT_EQ(f.height, zt::json_numbers(zt::json_value(dims, "height")).at(0));
        EXPECT_EQ(f.type, zt::json_string(json, "dtype") == "uint16" ? 3 : 1);
        EXPECT_EQ(f.order == XyByteOrder::high_first, zt::json_string(json, "byte_order") == "MM");
        const std::string frame1 = zt::json_value(json, "frame1");
        int64_t sum = 0;
        uint16_t lo = 65535, hi = 0;
        for (uint16_t v : f.pixels) {
            sum += v;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        EXPECT_EQ(sum, static_cast<int64_t>(zt::json_numbers(zt::json_value(frame1, "sum")).at(0)));
        EXPECT_EQ(lo, zt::json_numbers(zt::json_value(frame1, "min")).at(0));
        EXPECT_EQ(hi, zt::json_numbers(zt::json_value(frame1, "max")).at(0));
        const std::vector<double> first5 = zt::json_numbers(zt::json_value(frame1, "first5_row0"));
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(f.at(x, 0), first5.at(x)) << x;
        const std::vector<double> row1 = zt::json_numbers(zt::json_value(frame1, "row1_first3"));
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(f.at(x, 1), row1.at(x)) << x;
        EXPECT_EQ(f.at(f.width - 1, f.height - 1),
                  zt::json_numbers(zt::json_value(frame1, "last_pixel")).at(0));
        const std::string centre = zt::json_key_with_prefix(frame1, "pixel_x");
        int cx = 0, cy = 0;
        ASSERT_EQ(std::sscanf(centre.c_str(), "pixel_x%d_y%d", &cx, &cy), 2) << centre;
        EXPECT_EQ(f.at(cx, cy), zt::json_numbers(zt::json_value(frame1, centre)).at(0));
    }
}

TEST(GelRealFiles, CompressedAndBigTiffsAreRefused) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    const struct {
        const char* name;
        const char* message;
    } cases[] = {
        {"16bit.MM.deflate.tif", "compressed TIFF (Compression 8)"},
        {"hopper_bigtiff.tif", "BigTIFF files are not supported"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tiff = root + "/refuse/" + c.name;
        const std::string reason = zt::json_string(zt::read_file(tiff + ".expect.json"), "expect");
        ASSERT_EQ(reason.compare(0, 7, "refuse:"), 0) << reason;
        const std::string err = zt::fatal_report([&] { gel_open(tiff, "zandor"); });
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
}

// A hybrid-pixel detector's signed 32-bit file, gaps marked -1 and bad pixels -2.
TEST(GelRealFiles, HybridPixelDetectorTiffReadsToItsReferenceValues) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    const std::string tiff = root + "/refuse/CeO2_Pilatus1M.tif";
    const std::string json = zt::read_file(tiff + ".expect.json");
    ASSERT_EQ(zt::json_string(json, "dtype"), "int32");
    const Frame32 f = read_frame32(tiff);
    EXPECT_EQ(f.type, XY_TYPE_INT32);
    EXPECT_FALSE(f.uint32_samples);
    EXPECT_EQ(f.order, XyByteOrder::low_first);
    const std::string dims = zt::json_value(json, "dims");
    ASSERT_EQ(f.width, zt::json_numbers(zt::json_value(dims, "width")).at(0));
    ASSERT_EQ(f.ints.size() / f.width, zt::json_numbers(zt::json_value(dims, "height")).at(0));
    const std::string frame1 = zt::json_value(json, "frame1");
    int64_t sum = 0;
    for (int32_t v : f.ints)
        sum += v;
    EXPECT_EQ(sum, static_cast<int64_t>(zt::json_numbers(zt::json_value(frame1, "sum")).at(0)));
    EXPECT_EQ(*std::min_element(f.ints.begin(), f.ints.end()),
              zt::json_numbers(zt::json_value(frame1, "min")).at(0));
    EXPECT_EQ(*std::max_element(f.ints.begin(), f.ints.end()),
              zt::json_numbers(zt::json_value(frame1, "max")).at(0));
    const std::vector<double> first5 = zt::json_numbers(zt::json_value(frame1, "first5_row0"));
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(f.at(x, 0), first5.at(x)) << x;
    const std::vector<double> row1 = zt::json_numbers(zt::json_value(frame1, "row1_first3"));
    for (int x = 0; x < 3; ++x)
        EXPECT_EQ(f.at(x, 1), row1.at(x)) << x;
    EXPECT_EQ(f.ints.back(), zt::json_numbers(zt::json_value(frame1, "last_pixel")).at(0));
    EXPECT_EQ(f.at(490, 521), zt::json_numbers(zt::json_value(frame1, "pixel_x490_y521")).at(0));
}

// ---------------------------------------------------------------- libtiff as the independent reader and
// writer

#ifdef ZANDOR_HAVE_LIBTIFF

struct LibtiffImage {
    uint32_t width = 0, height = 0;
    uint16_t bits = 0;
    std::vector<uint32_t> pixels;
};

LibtiffImage read_with_libtiff(const std::string& path) {
    LibtiffImage img;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    EXPECT_NE(tif, nullptr) << path;
    if (!tif) return img;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &img.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &img.height);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &img.bits);
    std::vector<unsigned char> row(static_cast<size_t>(TIFFScanlineSize(tif)));
    for (uint32_t y = 0; y < img.height; ++y) {
        EXPECT_EQ(TIFFReadScanline(tif, row.data(), y, 0), 1);
        for (uint32_t x = 0; x < img.width; ++x) {
            if (img.bits == 8) {
                img.pixels.push_back(row[x]);
            } else {
                uint16_t v;
                std::memcpy(&v, row.data() + 2 * x, 2); // libtiff hands samples in host order
                img.pixels.push_back(v);
            }
        }
    }
    TIFFClose(tif);
    return img;
}

void write_with_libtiff(const std::string& path, bool big_endian, int bits, uint32_t width, uint32_t height,
                        uint32_t rows_per_strip, const std::vector<uint16_t>& pixels) {
    TIFF* tif = TIFFOpen(path.c_str(), big_endian ? "wb" : "wl");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, "written by libtiff for zandor's tests");
    std::vector<unsigned char> row(static_cast<size_t>(width) * bits / 8);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint16_t v = pixels[static_cast<size_t>(y) * width + x];
            if (bits == 8)
                row[x] = static_cast<unsigned char>(v);
            else
                std::memcpy(row.data() + 2 * x, &v, 2);
        }
        ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, 0), 1);
    }
    TIFFClose(tif);
}

TEST_F(GelWrite, LibtiffReadsEveryEightAndSixteenBitFileWritten) {
    const std::vector<int32_t> values = {-100, 0, 17, 255, 1000, 40000, 65535, 131070, 3, 99, 12345, 7};
    const struct {
        int32_t mode;
        std::vector<int32_t> data;
        uint16_t bits;
    } cases[] = {
        {0, {1, 2, 200, 255, 9, 17, 30, 4, 5, 6, 7, 8}, 8},
        {0, {1, 2, 200, 40000, 9, 17, 30, 4, 5, 6, 7, 65535}, 16},
        {1, values, 16},
        {1, {0, 1, 2, 3, 1000, 5, 6, 7, 8, 9, 10, 11}, 16},
        {2, values, 8},
        {2, {0, 1, 2, 3, 100, 5, 6, 7, 8, 9, 10, 11}, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " bits " << c.bits);
        write_image(image_of(4, 3, c.data, "lt"), ".tif", c.mode, "lt.tif");
        const LibtiffImage got = read_with_libtiff(file("lt.tif"));
        EXPECT_EQ(got.width, 4u);
        EXPECT_EQ(got.height, 3u);
        EXPECT_EQ(got.bits, c.bits);
        // What the writer is documented to do: shift to 0 when needed, scale to the depth.
        const int32_t lo = *std::min_element(c.data.begin(), c.data.end());
        const int32_t hi = *std::max_element(c.data.begin(), c.data.end());
        const int32_t top = c.bits == 16 ? 65535 : 255;
        int64_t offset = lo < 0 ? lo : 0;
        if (c.mode != 0 && hi > top) offset = lo;
        double k = c.mode == 0 ? 0.0 : top / (static_cast<double>(hi) - offset);
        if (k > 1.0) k = 0.0;
        ASSERT_EQ(got.pixels.size(), c.data.size());
        for (size_t i = 0; i < c.data.size(); ++i) {
            const int64_t v = c.data[i] - offset;
            EXPECT_EQ(got.pixels[i], k == 0.0 ? v : static_cast<int64_t>(v * k)) << i;
        }
    }
}

TEST_F(GelFiles, FilesWrittenByLibtiffReadToTheirValues) {
    for (bool big : {false, true}) {
        for (int bits : {8, 16}) {
            for (uint32_t rows_per_strip : {11u, 2u, 1u}) {
                SCOPED_TRACE(testing::Message()
                             << (big ? "MM " : "II ") << bits << " bits, rows/strip " << rows_per_strip);
                const uint32_t w = 13, h = 11;
                std::vector<uint16_t> px(w * h);
                for (size_t i = 0; i < px.size(); ++i)
                    px[i] = static_cast<uint16_t>(bits == 8 ? (i * 37) % 256 : (i * 4099 + 11) % 65536);
                write_with_libtiff(file("lib.tif"), big, bits, w, h, rows_per_strip, px);
                const Frame f = read_frame(file("lib.tif"));
                EXPECT_EQ(f.width, static_cast<int32_t>(w));
                EXPECT_EQ(f.height, static_cast<int32_t>(h));
                EXPECT_EQ(f.type, bits == 16 ? 3 : 1);
                EXPECT_EQ(f.pixels, px);
            }
        }
    }
}

// A 32-bit file: `bits` holds each sample's 32 bits; sample_format 0 leaves
// the SampleFormat tag out.
void write_with_libtiff32(const std::string& path, bool big_endian, uint16_t sample_format, uint32_t width,
                          uint32_t height, uint32_t rows_per_strip, const std::vector<uint32_t>& bits) {
    TIFF* tif = TIFFOpen(path.c_str(), big_endian ? "wb" : "wl");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 32);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    if (sample_format) TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, sample_format);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    std::vector<uint32_t> row(width);
    for (uint32_t y = 0; y < height; ++y) {
        std::copy(bits.begin() + y * width, bits.begin() + (y + 1) * width, row.begin()); // host order
        ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, 0), 1);
    }
    TIFFClose(tif);
}

uint32_t bits_of_float(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

TEST_F(GelFiles, ThirtyTwoBitFilesWrittenByLibtiffReadToTheirValues) {
    const uint32_t w = 7, h = 5;
    std::vector<int32_t> ints(w * h);
    std::vector<float> floats(w * h);
    for (size_t i = 0; i < ints.size(); ++i) {
        ints[i] = static_cast<int32_t>(i * 48271u % 100000u) - 20000;
        floats[i] = static_cast<float>(ints[i]) / 8.0f;
    }
    ints[0] = INT32_MIN;
    ints[1] = INT32_MAX;
    ints[2] = -1;
    ints[3] = -2;
    floats[0] = -3.4e38f;
    floats[1] = 1.0e-30f;
    for (bool big : {false, true}) {
        for (uint16_t sample_format : {0, 1, 2, 3}) {
            for (uint32_t rows_per_strip : {h, 2u}) {
                SCOPED_TRACE(testing::Message() << (big ? "MM" : "II") << " SampleFormat " << sample_format
                                                << ", rows/strip " << rows_per_strip);
                std::vector<uint32_t> bits(w * h);
                for (size_t i = 0; i < bits.size(); ++i) {
                    // Unsigned samples: the signed values' magnitudes, all within the pixel range.
                    const int32_t v = ints[i] == INT32_MIN ? INT32_MAX : ints[i] < 0 ? -ints[i] : ints[i];
                    bits[i] = sample_format == 3   ? bits_of_float(floats[i])
                              : sample_format == 2 ? static_cast<uint32_t>(ints[i])
                                                   : static_cast<uint32_t>(v);
                }
                write_with_libtiff32(file("lib32.tif"), big, sample_format, w, h, rows_per_strip, bits);
                const Frame32 f = read_frame32(file("lib32.tif"));
                EXPECT_EQ(f.order, big ? XyByteOrder::high_first : XyByteOrder::low_first);
                EXPECT_EQ(f.type, sample_format == 3 ? XY_TYPE_FLOAT : XY_TYPE_INT32);
                EXPECT_EQ(f.uint32_samples, sample_format < 2);
                if (sample_format == 3) {
                    EXPECT_EQ(f.floats, floats);
                } else {
                    ASSERT_EQ(f.ints.size(), bits.size());
                    for (size_t i = 0; i < bits.size(); ++i)
                        EXPECT_EQ(static_cast<uint32_t>(f.ints[i]), bits[i]) << i;
                }
            }
        }
    }
}

TEST_F(GelFiles, UnsignedSamplesBeyondTheSignedRangeAreRefusedNamingThePixel) {
    for (bool big : {false, true}) {
        std::vector<uint32_t> bits(4 * 3, 7);
        bits[2 * 4 + 3] = 2147483648u; // x 3, y 2
        write_with_libtiff32(file("u32.tif"), big, 1, 4, 3, 3, bits);
        IMG img = opened(file("u32.tif"));
        std::vector<int32_t> buf(12);
        const std::string err = zt::fatal_report([&] { xy_getrawl(img, buf.data(), 1, nullptr); });
        EXPECT_NE(err.find(" xy_getrawl : unsigned value 2147483648 at pixel x 3 y 2 of frame 1 in '" +
                           file("u32.tif") + "' is beyond the 32-bit pixel range"),
                  std::string::npos)
            << err;
        // The rows above it read.
        img.y_max = 2;
        img.size = 0;
        xy_setsize(img);
        EXPECT_EQ(xy_getrawl(img, buf.data(), 1, nullptr), 2);
    }
}

#endif

} // namespace
