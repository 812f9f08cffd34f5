// Bitshuffle+LZ4 chunks decoded without the filter plugin: the bit
// transposition against its definition, frames written through the plugin
// read back exactly (every value size, frames that are not whole groups of 8
// values, block sizes that leave a last partial block and values stored as
// they are), and damaged chunks refused.
#include "decoded_frames.hpp"
#include "detector_writers.hpp"
#include "fatal_capture.hpp"
#include "h5_bitshuffle.hpp"
#include "h5_lib.hpp"
#include "records.hpp"
#include "test_support.hpp"

#include <hdf5.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace {

using zt::H5Dataset;
using zt::H5Filter;
using zt::H5Pixel;

// The filter's transposition from its definition: bit k of byte b of value
// 8 i + j goes to bit j of byte i of bit row 8 b + k.
std::vector<uint8_t> bit_shuffle(const std::vector<uint8_t>& values, size_t elem_size) {
    const size_t n = values.size() / elem_size, row = n / 8;
    std::vector<uint8_t> out(values.size(), 0);
    for (size_t m = 0; m < n; ++m)
        for (size_t b = 0; b < elem_size; ++b)
            for (size_t k = 0; k < 8; ++k)
                if (values[m * elem_size + b] >> k & 1)
                    out[(b * 8 + k) * row + m / 8] |= uint8_t(1u << (m % 8));
    return out;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v)
        b = static_cast<uint8_t>(gen());
    return v;
}

TEST(BitUnshuffle, OneGroupOfBytesByHand) {
    // Row 0 gives every value bit 0; row 2 gives value 1 bit 2; row 7 gives value 6 bit 7.
    const uint8_t in[8] = {0xFF, 0, 0x02, 0, 0, 0, 0, 0x40};
    const std::vector<uint8_t> expected = {1, 5, 1, 1, 1, 1, 0x81, 1};
    std::vector<uint8_t> out(8), scalar(8);
    bit_unshuffle(in, out.data(), 8, 1);
    bit_unshuffle_scalar(in, scalar.data(), 8, 1);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(scalar, expected);
}

// Blocks shorter than, equal to and longer than the 16 or 32 groups the
// vector code takes at once, with groups left over for the narrower vectors
// and for the scalar code; the encoder's shuffle against the definition.
TEST(BitUnshuffle, UndoesTheShuffleForEveryValueSize) {
    for (size_t elem_size : {1, 2, 4, 8})
        for (size_t n : {8, 120, 128, 136, 256, 392, 1024, 2056}) {
            SCOPED_TRACE(std::to_string(elem_size) + " bytes, " + std::to_string(n) + " values");
            const std::vector<uint8_t> values =
                random_bytes(n * elem_size, static_cast<uint32_t>(n + elem_size));
            const std::vector<uint8_t> shuffled = bit_shuffle(values, elem_size);
            std::vector<uint8_t> out(values.size(), 0xEE), scalar(values.size(), 0xEE);
            bit_unshuffle(shuffled.data(), out.data(), n, elem_size);
            bit_unshuffle_scalar(shuffled.data(), scalar.data(), n, elem_size);
            EXPECT_EQ(out, values);
            EXPECT_EQ(scalar, values);
            ::bit_shuffle(values.data(), out.data(), n, elem_size); // the encoder's
            EXPECT_EQ(out, shuffled);
        }
}

// Values that set every bit of their type (kept within the 32-bit pixel range).
uint64_t mix(uint64_t f, uint64_t x, uint64_t y) {
    uint64_t h = (x * 73856093u) ^ (y * 19349663u) ^ (f * 83492791u);
    h ^= h >> 13;
    return h * 0x9E3779B1u >> 7;
}
double u8_value(uint64_t f, uint64_t x, uint64_t y) {
    return static_cast<double>(mix(f, x, y) % 256);
}
double i8_value(uint64_t f, uint64_t x, uint64_t y) {
    return u8_value(f, x, y) - 128;
}
double u16_value(uint64_t f, uint64_t x, uint64_t y) {
    return static_cast<double>(mix(f, x, y) % 65536);
}
double i16_value(uint64_t f, uint64_t x, uint64_t y) {
    return u16_value(f, x, y) - 32768;
}
double u32_value(uint64_t f, uint64_t x, uint64_t y) {
    return static_cast<double>(mix(f, x, y) % 2147483648u);
}
double f32_value(uint64_t f, uint64_t x, uint64_t y) {
    return static_cast<double>(mix(f, x, y) % 1000000) / 16.0 - 30000; // exact in a float
}

struct PixelCase {
    H5Pixel pixel;
    double (*value)(uint64_t, uint64_t, uint64_t);
    const char* name;
};
const PixelCase kPixels[] = {
    {H5Pixel::U8, u8_value, "u8"},    {H5Pixel::I8, i8_value, "i8"},    {H5Pixel::U16, u16_value, "u16"},
    {H5Pixel::I16, i16_value, "i16"}, {H5Pixel::U32, u32_value, "u32"}, {H5Pixel::F32, f32_value, "f32"},
};

struct Layout {
    uint64_t height, width;
    uint32_t block; // values a block holds; 0: the filter's choice
};
const Layout kLayouts[] = {
    {37, 29, 0},   // 1073 values: one block of 1072, 1 value as it is
    {37, 29, 136}, // blocks of 17 groups, a last block of 120, 1 value as it is
    {5, 7, 24},    // a block of 24, a last block of 8, 3 values as they are
    {3, 2, 8},     // 6 values: no block at all
    {64, 64, 0},   // whole blocks only
    {41, 53, 64},  // 2173 values: 33 blocks of 64, a last block of 56, 5 values as they are
};

class BitshuffleFiles : public zt::InTempDir {
  protected:
    void write(const std::string& name, const Layout& l, const PixelCase& c, uint64_t frames = 2) {
        H5Dataset d = zt::h5_stack(frames, l.height, l.width, c.pixel, H5Filter::BitshuffleLz4, c.value);
        d.bitshuffle_block = l.block;
        zt::H5File out(file(name));
        out.dataset(d);
    }
};

// The stored bytes of frame `f` as the plugin decodes them, and the raw chunk.
struct ChunkPair {
    std::vector<uint8_t> raw;
    std::vector<uint8_t> decoded;
    size_t elem_size = 0;
};
ChunkPair chunk_pair(const std::string& path, hsize_t f) {
    ChunkPair p;
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t dset = H5Dopen2(file, "/entry/data/data", H5P_DEFAULT);
    const hid_t type = H5Dget_type(dset);
    const hid_t space = H5Dget_space(dset);
    hsize_t dims[3];
    H5Sget_simple_extent_dims(space, dims, nullptr);
    p.elem_size = H5Tget_size(type);
    const hsize_t offset[3] = {f, 0, 0}, one[3] = {1, dims[1], dims[2]};
    hsize_t bytes = 0;
    H5Dget_chunk_storage_size(dset, offset, &bytes);
    p.raw.resize(bytes);
    uint32_t mask = 1;
    EXPECT_GE(H5Dread_chunk(dset, H5P_DEFAULT, offset, &mask, p.raw.data()), 0);
    EXPECT_EQ(mask, 0u);
    p.decoded.resize(dims[1] * dims[2] * p.elem_size);
    const hid_t memory = H5Screate_simple(3, one, nullptr);
    H5Sselect_hyperslab(space, H5S_SELECT_SET, offset, nullptr, one, nullptr);
    EXPECT_GE(H5Dread(dset, type, memory, space, H5P_DEFAULT, p.decoded.data()), 0);
    H5Sclose(memory);
    H5Sclose(space);
    H5Tclose(type);
    H5Dclose(dset);
    H5Fclose(file);
    return p;
}

// Every value size through every layout: the raw chunk decodes to the bytes
// the plugin gives, and the frames and a window read back as written.
TEST_F(BitshuffleFiles, FramesWrittenThroughThePluginReadBackExactly) {
    for (const Layout& l : kLayouts)
        for (const PixelCase& c : kPixels) {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(l.width) + " x " +
                         std::to_string(l.height) + " block " + std::to_string(l.block));
            write("b.h5", l, c);
            const ChunkPair pair = chunk_pair(file("b.h5"), 1);
            std::vector<uint8_t> decoded(pair.decoded.size(), 0xEE), scratch;
            EXPECT_EQ(bslz4_decode(pair.raw.data(), pair.raw.size(), pair.elem_size, decoded.data(),
                                   decoded.size(), scratch),
                      "");
            EXPECT_EQ(decoded, pair.decoded);

            std::unique_ptr<HDR> hdr = h5_open(file("b.h5"), "zandor");
            for (uint64_t f = 0; f < 2; ++f) {
                const std::vector<double> px = zt::decoded_frame(*hdr, static_cast<int32_t>(f + 1));
                ASSERT_EQ(px.size(), l.width * l.height);
                for (uint64_t i = 0; i < px.size(); ++i)
                    ASSERT_EQ(px[i], c.value(f, i % l.width, i / l.width)) << "frame " << f << " pixel " << i;
            }
            const XyWindow w{1, 1, static_cast<int32_t>(l.width - 1), static_cast<int32_t>(l.height - 1)};
            const std::vector<double> win = zt::decoded_window(*hdr, 2, w);
            ASSERT_EQ(win.size(), static_cast<size_t>(xy_window_pixels(w)));
            for (int64_t i = 0; i < xy_window_pixels(w); ++i)
                ASSERT_EQ(win[i], c.value(1, w.x0 + i % w.width, w.y0 + i / w.width)) << "window pixel " << i;
        }
}

std::string with_be32(std::string chunk, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        chunk[at + i] = static_cast<char>(v >> (24 - 8 * i));
    return chunk;
}

// Each kind of damage is named, and nothing is written beyond the frame.
TEST_F(BitshuffleFiles, DamagedChunksAreRefused) {
    write("d.h5", {37, 29, 136}, kPixels[2]);
    const ChunkPair pair = chunk_pair(file("d.h5"), 0);
    const std::string good(pair.raw.begin(), pair.raw.end());
    const uint32_t first_block =
        static_cast<uint32_t>(pair.raw[12]) << 24 | pair.raw[13] << 16 | pair.raw[14] << 8 | pair.raw[15];
    std::string wrong_total = good;
    wrong_total[7] = static_cast<char>(wrong_total[7] + 2);
    struct Case {
        std::string chunk;
        std::string fault;
    };
    const Case cases[] = {
        {good.substr(0, 11), "chunk shorter than its header"},
        {wrong_total, "chunk of 2148 bytes, not 2146"},
        {with_be32(good, 8, 0), "block size of 0 bytes, not a whole number of 8-value groups"},
        {with_be32(good, 8, 24), "block size of 24 bytes, not a whole number of 8-value groups"},
        {with_be32(good, 12, 0x7FFFFFFF), "block 1 runs past the end of the chunk"},
        {with_be32(good, 12, first_block - 1), "block 1 does not expand to 272 bytes"},
        {good.substr(0, 16 + first_block), "chunk ends before block 2"},
        {good.substr(0, good.size() - 1), "chunk ends before its last 2 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        std::vector<uint8_t> out(pair.decoded.size()), scratch;
        EXPECT_EQ(bslz4_decode(reinterpret_cast<const uint8_t*>(c.chunk.data()), c.chunk.size(), 2,
                               out.data(), out.size(), scratch),
                  c.fault);
    }

    // Through the reader: frame 1 reads, frame 2 stops the run with one line.
    {
        const hid_t f = H5Fopen(file("d.h5").c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
        const hid_t d = H5Dopen2(f, "/entry/data/data", H5P_DEFAULT);
        const hsize_t offset[3] = {1, 0, 0};
        const std::string bad = with_be32(good, 12, first_block - 1);
        ASSERT_GE(H5Dwrite_chunk(d, H5P_DEFAULT, 0, offset, bad.size(), bad.data()), 0);
        H5Dclose(d);
        H5Fclose(f);
    }
    std::unique_ptr<HDR> hdr = h5_open(file("d.h5"), "zandor");
    EXPECT_EQ(zt::decoded_frame(*hdr, 1).size(), 37u * 29u);
    const std::string err = zt::fatal_report([&] { zt::decoded_frame(*hdr, 2); });
    EXPECT_NE(err.find("cannot decode frame 2 of dataset '/entry/data/data' of '"), std::string::npos) << err;
    EXPECT_NE(err.find("damaged bitshuffle+lz4 chunk (block 1 does not expand to 272 bytes)"),
              std::string::npos)
        << err;
}

// A chunk stored with the filter skipped holds the frame as it is; a chunk
// never written reads as the fill value; a skipped-filter chunk of the wrong
// length is refused.
TEST_F(BitshuffleFiles, ChunksStoredWithoutTheFilterOrNeverWritten) {
    H5Dataset d = zt::h5_stack(3, 4, 5, H5Pixel::U16, H5Filter::BitshuffleLz4, u16_value);
    d.values.clear();
    {
        zt::H5File out(file("r.h5"));
        out.dataset(d);
    }
    std::vector<uint16_t> frame(20);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint16_t>(u16_value(1, i % 5, i / 5));
    {
        const hid_t f = H5Fopen(file("r.h5").c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
        const hid_t dset = H5Dopen2(f, "/entry/data/data", H5P_DEFAULT);
        const hsize_t second[3] = {1, 0, 0}, third[3] = {2, 0, 0};
        ASSERT_GE(H5Dwrite_chunk(dset, H5P_DEFAULT, 1, second, 40, frame.data()), 0);
        ASSERT_GE(H5Dwrite_chunk(dset, H5P_DEFAULT, 1, third, 38, frame.data()), 0);
        H5Dclose(dset);
        H5Fclose(f);
    }
    std::unique_ptr<HDR> hdr = h5_open(file("r.h5"), "zandor");
    // Band reading stops before a chunk never written; an unfiltered chunk
    // reads band by band.
    EXPECT_EQ(hdr->source->band_frames(1, 3), 0);
    ASSERT_EQ(hdr->source->band_frames(2, 1), 1);
    std::vector<double> bands = zt::decoded_window(*hdr, 2, XyWindow{0, 0, 5, 3});
    const std::vector<double> last_row = zt::decoded_window(*hdr, 2, XyWindow{0, 3, 5, 1});
    bands.insert(bands.end(), last_row.begin(), last_row.end());
    EXPECT_EQ(bands, std::vector<double>(frame.begin(), frame.end()));
    EXPECT_EQ(zt::decoded_frame(*hdr, 1), std::vector<double>(20, 0.0));
    const std::vector<double> second = zt::decoded_frame(*hdr, 2);
    EXPECT_EQ(second, std::vector<double>(frame.begin(), frame.end()));
    for (const bool in_group : {true, false}) {
        const std::string err = zt::fatal_report([&] {
            if (in_group) hdr->source->band_frames(2, 2);
            zt::decoded_frame(*hdr, 3);
        });
        EXPECT_NE(err.find("damaged bitshuffle+lz4 chunk (unfiltered chunk of 38 bytes)"), std::string::npos)
            << err;
    }
}

// ---------------------------------------------------------------- band by band

// A window read a band of rows at a time, as the summation reads a region:
// rows y0 .. height - 1, columns x0 .. x0 + width - 1 (width 0: to the row's
// end), `band` rows a call.
struct Walk {
    uint64_t x0, width, y0, band;
    const char* what;
};
const Walk kWalks[] = {
    {0, 0, 0, 1, "row after row"},
    {0, 0, 0, 3, "bands of 3 rows"},
    {0, 0, 0, 1000, "the whole frame at once"},
    {0, 0, 2, 2, "from row 2, bands of 2 rows"},
    {3, 5, 0, 2, "columns 3 to 7, bands of 2 rows"},
    {1, 0, 1, 4, "from column 1 and row 1, bands of 4 rows"},
    {2, 1, 0, 1, "column 2 alone"},
};

// The ranges of values a walk takes, in order: a band of whole rows is one range.
std::vector<std::pair<size_t, size_t>> walk_ranges(const Walk& walk, uint64_t height, uint64_t width) {
    const uint64_t x0 = std::min(walk.x0, width - 1);
    const uint64_t w = walk.width == 0 ? width - x0 : std::min(walk.width, width - x0);
    std::vector<std::pair<size_t, size_t>> ranges;
    for (uint64_t y = std::min(walk.y0, height - 1); y < height; y += walk.band) {
        const uint64_t rows = std::min(walk.band, height - y);
        if (w == width) {
            ranges.emplace_back(y * width, rows * width);
            continue;
        }
        for (uint64_t r = 0; r < rows; ++r)
            ranges.emplace_back((y + r) * width + x0, w);
    }
    return ranges;
}

// Ranges taken in order give the values of the whole chunk's decode, whatever
// the block boundaries, and again after the reader starts over.
TEST_F(BitshuffleFiles, RangesTakenInOrderMatchTheWholeChunk) {
    for (const Layout& l : kLayouts)
        for (const PixelCase& c : {kPixels[0], kPixels[3], kPixels[4]}) {
            write("r.h5", l, c);
            const ChunkPair pair = chunk_pair(file("r.h5"), 1);
            const size_t es = pair.elem_size;
            Bslz4Ranges ranges;
            std::vector<uint8_t> scratch;
            for (const Walk& walk : kWalks) {
                SCOPED_TRACE(std::string(c.name) + " " + std::to_string(l.width) + " x " +
                             std::to_string(l.height) + " block " + std::to_string(l.block) + ", " +
                             walk.what);
                ASSERT_EQ(ranges.start(pair.raw.data(), pair.raw.size(), es, pair.decoded.size()), "");
                for (const auto& [first, count] : walk_ranges(walk, l.height, l.width)) {
                    std::vector<uint8_t> out(count * es, 0xEE);
                    ASSERT_EQ(ranges.take(first, count, out.data(), scratch), "") << "at " << first;
                    ASSERT_TRUE(std::equal(out.begin(), out.end(), pair.decoded.begin() + first * es))
                        << "values " << first << " to " << first + count;
                    EXPECT_EQ(ranges.next(), first + count);
                }
            }
        }
}

// A block whose LZ4 data are damaged (its length intact) is reported by the
// first range that reaches into it; ranges that pass it by read as they should;
// a range before the last one taken is refused.
TEST_F(BitshuffleFiles, RangesReportTheDamagedBlockTheyReach) {
    write("d.h5", {37, 29, 136}, kPixels[2]);
    const ChunkPair pair = chunk_pair(file("d.h5"), 0);
    std::vector<uint8_t> bad = pair.raw;
    const size_t third = zt::bitshuffle_block_records(bad, 3)[2];
    std::fill(bad.begin() + third + 4, bad.begin() + zt::bitshuffle_block_records(bad, 4)[3], 0xFF);
    std::vector<uint8_t> scratch, out(600);
    const auto matches = [&](size_t first, size_t count) {
        return std::equal(out.begin(), out.begin() + count * 2, pair.decoded.begin() + first * 2);
    };
    Bslz4Ranges ranges;
    ASSERT_EQ(ranges.start(bad.data(), bad.size(), 2, pair.decoded.size()), "");
    EXPECT_EQ(ranges.take(10, 250, out.data(), scratch), "");
    EXPECT_TRUE(matches(10, 250));
    EXPECT_EQ(ranges.take(420, 300, out.data(), scratch), ""); // block 3 holds values 272 to 407
    EXPECT_TRUE(matches(420, 300));
    EXPECT_EQ(ranges.take(700, 10, out.data(), scratch), "values 700 to 710 asked for out of order");
    ASSERT_EQ(ranges.start(bad.data(), bad.size(), 2, pair.decoded.size()), "");
    EXPECT_EQ(ranges.take(0, 100, out.data(), scratch), "");
    EXPECT_EQ(ranges.take(400, 10, out.data(), scratch), "block 3 does not expand to 272 bytes");
}

// ---------------------------------------------------------------- sums of band-read frames

// Values that LZ4 shrinks several times over once their bits are shuffled.
double smooth_value(uint64_t f, uint64_t x, uint64_t y) {
    return static_cast<double>((x / 16 + y / 16 + f) % 8);
}

// A stack summed over a region (0: the whole frame) and frames (0: all).
struct SumCase {
    const char* what;
    H5Pixel pixel;
    double (*value)(uint64_t, uint64_t, uint64_t);
    uint64_t frames, height, width;
    uint32_t block;
    int32_t x_min, x_max, y_min, y_max, beg, end;
    int32_t least_group, most_group; // frames the first group takes
};
const SumCase kSums[] = {
    {"u16 from frame 2 of 37: short last groups, blocks across bands", H5Pixel::U16, u16_value, 37, 41, 53,
     64, 0, 0, 0, 0, 2, 0, 2, 4},
    {"u16 region with an x offset, frames 1 to 19 of 21", H5Pixel::U16, u16_value, 21, 30, 40, 24, 3, 37, 4,
     29, 1, 19, 2, 4},
    // The filter's block holds the whole frame: a group of one.
    {"i16 widened to 32 bits", H5Pixel::I16, i16_value, 18, 17, 19, 0, 0, 0, 0, 0, 0, 0, 1, 1},
    {"u8 region", H5Pixel::U8, u8_value, 9, 13, 11, 16, 1, 10, 2, 12, 0, 0, 1, 4},
    {"u32 to frame 11", H5Pixel::U32, u32_value, 17, 9, 15, 8, 0, 0, 0, 0, 0, 11, 2, 4},
    {"f32 from frame 3", H5Pixel::F32, f32_value, 20, 12, 13, 0, 0, 0, 0, 0, 3, 0, 2, 4},
    {"smooth u16: groups of 16, the last of 3", H5Pixel::U16, smooth_value, 35, 128, 128, 256, 0, 0, 0, 0, 0,
     0, 16, 16},
    {"smooth u16 region, 7 frames: one short group", H5Pixel::U16, smooth_value, 7, 128, 128, 256, 5, 120, 3,
     101, 0, 0, 7, 7},
};

IMG summed(const std::string& path, const SumCase& c, int32_t threads = xy_default_threads()) {
    IMG img;
    XyReadOptions reading;
    reading.threads = threads;
    img.hdr = h5_open(path, "zandor", false, reading);
    img.x_min = c.x_min;
    img.x_max = c.x_max;
    img.y_min = c.y_min;
    img.y_max = c.y_max;
    img.beg_frame = c.beg;
    img.end_frame = c.end;
    xy_getsum_info(img, nullptr, 0, 1, 1);
    return img;
}

void expect_same_sums(const IMG& a, const IMG& b) {
    zt::expect_same_sums(a, b);
    EXPECT_EQ(zt::info_line(a), zt::info_line(b)); // statistics gathered band by band, or afterwards
    EXPECT_EQ(a.sigma, b.sigma);
}

// Frames decoded band by band in groups add up, cosmic statistics included,
// exactly as the same frames stored without a filter and read frame after
// frame; the first group keeps within its memory budget of 4 frames (noisy
// frames barely compress) and takes 16 compressible frames.
TEST_F(BitshuffleFiles, BandReadGroupsSumAsFrameAfterFrame) {
    for (const SumCase& c : kSums) {
        SCOPED_TRACE(c.what);
        H5Dataset d = zt::h5_stack(c.frames, c.height, c.width, c.pixel, H5Filter::BitshuffleLz4, c.value);
        d.bitshuffle_block = c.block;
        {
            zt::H5File out(file("band.h5"));
            out.dataset(d);
        }
        d.filter = H5Filter::None;
        d.chunk.clear();
        {
            zt::H5File out(file("plain.h5"));
            out.dataset(d);
        }
        std::unique_ptr<HDR> hdr = h5_open(file("band.h5"), "zandor");
        const int32_t group = hdr->source->band_frames(std::max(c.beg, 1), 16);
        EXPECT_GE(group, c.least_group);
        EXPECT_LE(group, c.most_group);

        const IMG band = summed(file("band.h5"), c);
        const int32_t last = c.end ? c.end : static_cast<int32_t>(c.frames);
        EXPECT_EQ(band.frames, last - std::max(c.beg, 1) + 1);
        expect_same_sums(band, summed(file("plain.h5"), c));
    }
}

// Groups run on across linked data files and stop before one whose chunks
// the library decodes; the sum is that of the same frames in one plain file.
TEST_F(BitshuffleFiles, GroupsRunAcrossLinkedFilesOfTheirFilter) {
    const H5Filter filters[] = {H5Filter::BitshuffleLz4, H5Filter::BitshuffleLz4, H5Filter::Gzip,
                                H5Filter::BitshuffleLz4};
    const uint64_t frames[] = {3, 4, 2, 3}, height = 128, width = 96;
    H5Dataset plain;
    plain.dims = {12, height, width};
    {
        zt::H5File master(file("master.h5"));
        for (size_t p = 0; p < 4; ++p) {
            const std::string name = "part" + std::to_string(p + 1) + ".h5";
            H5Dataset d = zt::h5_stack(frames[p], height, width, H5Pixel::U16, filters[p], smooth_value);
            d.bitshuffle_block = 256;
            plain.values.insert(plain.values.end(), d.values.begin(), d.values.end());
            zt::H5File part(file(name));
            part.dataset(d);
            master.external_link("/entry/data/data_00000" + std::to_string(p + 1), name, "/entry/data/data");
        }
        zt::H5File out(file("plain.h5"));
        out.dataset(plain);
    }
    std::unique_ptr<HDR> hdr = h5_open(file("master.h5"), "zandor");
    EXPECT_EQ(hdr->source->band_frames(1, 16), 7);
    EXPECT_EQ(hdr->source->band_frames(8, 16), 0);
    EXPECT_EQ(hdr->source->band_frames(10, 16), 3);
    const SumCase all{"all", H5Pixel::U16, smooth_value, 12, height, width, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const IMG linked = summed(file("master.h5"), all);
    EXPECT_EQ(linked.frames, 12);
    expect_same_sums(linked, summed(file("plain.h5"), all));
}

// Chunks of a group are read on the job's threads by their address in the
// file, in front of a user block or not; a chunk whose header is damaged in
// the middle of a group is reported as one thread reports it.
TEST_F(BitshuffleFiles, ChunksReadOnThreadsByTheirAddress) {
    const SumCase all{"all", H5Pixel::U16, u16_value, 9, 41, 53, 64, 0, 0, 0, 0, 0, 0, 0, 0};
    H5Dataset d =
        zt::h5_stack(all.frames, all.height, all.width, all.pixel, H5Filter::BitshuffleLz4, all.value);
    d.bitshuffle_block = all.block;
    for (const uint64_t user_block : {0, 512, 4096}) {
        SCOPED_TRACE("user block " + std::to_string(user_block));
        {
            zt::H5File out(file("u.h5"), user_block);
            out.dataset(d);
        }
        const IMG one = summed(file("u.h5"), all, 1);
        for (const int32_t threads : {2, 3}) {
            expect_same_sums(summed(file("u.h5"), all, threads), one);
            EXPECT_EQ(summed(file("u.h5"), all, threads).frames, 9);
        }
    }
    const ChunkPair pair = chunk_pair(file("u.h5"), 4);
    const std::string bad = with_be32(std::string(pair.raw.begin(), pair.raw.end()), 8, 24);
    {
        const hid_t f = H5Fopen(file("u.h5").c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
        const hid_t dset = H5Dopen2(f, "/entry/data/data", H5P_DEFAULT);
        const hsize_t offset[3] = {4, 0, 0};
        ASSERT_GE(H5Dwrite_chunk(dset, H5P_DEFAULT, 0, offset, bad.size(), bad.data()), 0);
        H5Dclose(dset);
        H5Fclose(f);
    }
    std::string first_report;
    for (const int32_t threads : {1, 3}) {
        const std::string err = zt::fatal_report([&] { summed(file("u.h5"), all, threads); });
        EXPECT_NE(err.find("cannot decode frame 5 of dataset '/entry/data/data' of '"), std::string::npos)
            << err;
        EXPECT_NE(err.find("(block size of 24 bytes, not a whole number of 8-value groups)"),
                  std::string::npos)
            << err;
        if (threads == 1) first_report = err;
        EXPECT_EQ(err, first_report);
    }
}

// A block that does not expand, met while a group of frames is being added,
// stops the run with one line naming the frame and the block.
TEST_F(BitshuffleFiles, DamagedBlockInTheMiddleOfAGroupStopsTheSum) {
    H5Dataset d = zt::h5_stack(6, 41, 53, H5Pixel::U16, H5Filter::BitshuffleLz4, smooth_value);
    d.bitshuffle_block = 64;
    {
        zt::H5File out(file("g.h5"));
        out.dataset(d);
    }
    zt::damage_bitshuffle_block(file("g.h5"), 3, 3);
    IMG img;
    img.hdr = h5_open(file("g.h5"), "zandor");
    ASSERT_EQ(img.hdr->source->band_frames(1, 16), 6);
    const std::string err = zt::fatal_report([&] { xy_getsum(img, nullptr, 0, 1, 0); });
    const std::vector<std::string> lines = zt::split_lines(err);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); }), 1)
        << err;
    EXPECT_NE(err.find("cannot decode frame 4 of dataset '/entry/data/data' of '"), std::string::npos) << err;
    EXPECT_NE(err.find("damaged bitshuffle+lz4 chunk (block 3 does not expand to 128 bytes)"),
              std::string::npos)
        << err;
}

} // namespace
