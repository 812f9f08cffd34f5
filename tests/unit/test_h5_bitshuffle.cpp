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
#include "test_support.hpp"

#include <hdf5.h>

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

// Blocks shorter than, equal to and longer than the 16 groups the vector code
// takes at once, with groups left over for the scalar code.
TEST(BitUnshuffle, UndoesTheShuffleForEveryValueSize) {
    for (size_t elem_size : {1, 2, 4, 8})
        for (size_t n : {8, 120, 128, 136, 1024, 2056}) {
            SCOPED_TRACE(std::to_string(elem_size) + " bytes, " + std::to_string(n) + " values");
            const std::vector<uint8_t> values =
                random_bytes(n * elem_size, static_cast<uint32_t>(n + elem_size));
            const std::vector<uint8_t> shuffled = bit_shuffle(values, elem_size);
            std::vector<uint8_t> out(values.size(), 0xEE), scalar(values.size(), 0xEE);
            bit_unshuffle(shuffled.data(), out.data(), n, elem_size);
            bit_unshuffle_scalar(shuffled.data(), scalar.data(), n, elem_size);
            EXPECT_EQ(out, values);
            EXPECT_EQ(scalar, values);
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
};

class BitshuffleFiles : public zt::InTempDir {
  protected:
    void SetUp() override {
        zt::InTempDir::SetUp();
        h5_settings = H5Settings{};
    }
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
    EXPECT_EQ(zt::decoded_frame(*hdr, 1), std::vector<double>(20, 0.0));
    const std::vector<double> second = zt::decoded_frame(*hdr, 2);
    EXPECT_EQ(second, std::vector<double>(frame.begin(), frame.end()));
    const std::string err = zt::fatal_report([&] { zt::decoded_frame(*hdr, 3); });
    EXPECT_NE(err.find("damaged bitshuffle+lz4 chunk (unfiltered chunk of 38 bytes)"), std::string::npos)
        << err;
}

} // namespace
