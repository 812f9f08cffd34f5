// CBF: the byte-offset decoder on hand-encoded deltas at every escape level,
// files written by libcbf read back pixel for pixel, the real files decoded
// the same as libcbf decodes them, and damaged files refused.
#include "cbf_lib.hpp"
#include "decoded_frames.hpp"
#include "detector_writers.hpp"
#include "expect_json.hpp"
#include "fatal_capture.hpp"
#include "test_support.hpp"

#include <climits>
#include <random>

namespace {

std::string entry(const HDR& hdr, const std::string& key) {
    for (const KvfItem& item : hdr.items)
        if (item.key == key) return item.value;
    return "<absent>";
}

std::vector<uint8_t> bytes(std::initializer_list<int> b) {
    std::vector<uint8_t> v;
    for (int x : b)
        v.push_back(static_cast<uint8_t>(x));
    return v;
}

// Each delta at the edge of its width, and the escapes to the next width.
TEST(CbfByteOffset, DeltasOfEveryWidthDecode) {
    struct Case {
        std::vector<uint8_t> in;
        std::vector<int32_t> out;
    };
    const Case cases[] = {
        {bytes({0x05, 0x7f, 0x81}), {5, 132, 5}},                         // +127, -127 in one byte
        {bytes({0x80, 0x80, 0xff}), {-128}},                              // -128 needs the escape
        {bytes({0x80, 0x80, 0x00, 0x80, 0xff, 0x7f}), {128, 32895}},      // +128, +32767
        {bytes({0x80, 0x00, 0x80, 0x00, 0x00, 0xff, 0xff}), {-65536}},    // a 32-bit delta
        {bytes({0x80, 0x00, 0x80, 0xff, 0xff, 0xff, 0x7f}), {INT32_MAX}}, // the largest pixel
        {bytes({0x80, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0xff, 0xff, 0xff, 0xff}),
         {INT32_MIN}}, // a 64-bit delta of -2^31
        {bytes({0xff, 0xff, 0x01}), {-1, -2, -1}},
    };
    for (const Case& c : cases) {
        std::vector<int32_t> out(c.out.size());
        EXPECT_EQ(cbf_byte_offset_decode(c.in.data(), c.in.size(), out.data(), out.size()),
                  static_cast<int64_t>(c.in.size()));
        EXPECT_EQ(out, c.out);
        // Cut anywhere, the data end before the last value.
        for (size_t cut = 0; cut < c.in.size(); ++cut)
            EXPECT_EQ(cbf_byte_offset_decode(c.in.data(), cut, out.data(), out.size()), -1) << "cut " << cut;
    }
}

// Random bytes, escapes among them, decoded in pieces as a file is read (each
// piece what is left of the last one and new bytes, at most `room`): the
// values and bytes used are those of decoding them whole.
TEST(CbfByteOffset, PiecesDecodeAsTheWhole) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<uint8_t> in(rng() % 3000);
        for (uint8_t& b : in)
            b = rng() % 3 == 0 ? 0x80 : static_cast<uint8_t>(rng());
        const size_t count = rng() % 2000, room = kByteOffsetLongest + rng() % 40;
        std::vector<int32_t> whole(count), pieces(count);
        const int64_t whole_used = cbf_byte_offset_decode(in.data(), in.size(), whole.data(), count);
        ByteOffsetRun run;
        std::vector<uint8_t> piece;
        size_t unread = in.size();
        int64_t used = 0;
        while (unread > 0 && run.values < count && used >= 0) {
            const size_t n = std::min(unread, room - piece.size());
            piece.insert(piece.end(), in.end() - unread, in.end() - unread + n);
            unread -= n;
            const int64_t taken = cbf_byte_offset_values(
                piece.data(), piece.size(), unread > 0 ? kByteOffsetLongest : 0, pieces.data(), count, run);
            used = taken < 0 ? -1 : used + taken;
            piece.erase(piece.begin(), piece.begin() + std::max<int64_t>(taken, 0));
        }
        SCOPED_TRACE("trial " + std::to_string(trial));
        EXPECT_EQ(run.values < count || used < 0 ? -1 : used, whole_used);
        if (whole_used >= 0) {
            EXPECT_EQ(pieces, whole);
        }
    }
}

class CbfFiles : public zt::InTempDir {};

// Values that need every escape: small steps, large jumps both ways, the
// gap and bad-pixel markers, the ends of the 32-bit range.
std::vector<int32_t> test_pixels(uint32_t width, uint32_t height) {
    std::vector<int32_t> px(size_t{width} * height);
    std::mt19937 rng(7);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<int32_t>(i % 97 == 50 ? rng() : rng() % 40);
    px[3] = -1;
    px[4] = -2;
    px[10] = 1000;
    px[11] = -40000;
    px[20] = INT32_MAX;
    px[21] = INT32_MIN;
    px[22] = 5;
    px.back() = 1 << 20;
    return px;
}

// A small frame, and one whose data the reader takes in several pieces.
TEST_F(CbfFiles, FilesWrittenByLibcbfReadBackEqual) {
    for (const uint32_t side : {700u, 23u}) {
        const std::vector<int32_t> px = test_pixels(side, 600);
        zt::write_cbf(file("big.cbf"), side, 600, px);
        std::unique_ptr<HDR> hdr = cbf_open(file("big.cbf"), "zandor");
        EXPECT_EQ(zt::decoded_frame(*hdr, 1), std::vector<double>(px.begin(), px.end())) << side;
    }
    const uint32_t width = 23, height = 9;
    const std::vector<int32_t> px = test_pixels(width, height);
    zt::write_cbf(file("a_00001.cbf"), width, height, px);
    std::unique_ptr<HDR> hdr = cbf_open(file("a_00001.cbf"), "zandor");
    EXPECT_EQ(hdr->dim_x, width);
    EXPECT_EQ(hdr->dim_y, height);
    EXPECT_EQ(hdr->frames, 1);
    EXPECT_EQ(hdr->type, XY_TYPE_INT32);
    EXPECT_EQ(hdr->format, XY_FORMAT_CBF);
    const std::vector<double> all = zt::decoded_frame(*hdr, 1);
    ASSERT_EQ(all.size(), px.size());
    for (size_t i = 0; i < px.size(); ++i)
        ASSERT_EQ(all[i], px[i]) << i;
    const XyWindow w{20, 2, 3, 4};
    const std::vector<double> win = zt::decoded_window(*hdr, 1, w);
    for (int64_t i = 0; i < xy_window_pixels(w); ++i)
        EXPECT_EQ(win.at(i), px[(w.y0 + i / w.width) * width + w.x0 + i % w.width]);
    EXPECT_TRUE(zt::decoded_frame(*hdr, 2).empty());
    // The text header lines and the MIME fields are header entries.
    EXPECT_EQ(entry(*hdr, "Detector"), "TEST 1M, S/N 0-0000");
    EXPECT_EQ(entry(*hdr, "Date"), "2024-May-31T12:00:00.000");
    EXPECT_EQ(entry(*hdr, "Exposure_time"), "0.5000000 s");
    EXPECT_EQ(entry(*hdr, "Tau"), "0 s");
    EXPECT_EQ(entry(*hdr, "Compression"), "x-CBF_BYTE_OFFSET");
    EXPECT_EQ(entry(*hdr, "X-Binary-Element-Type"), "signed 32-bit integer");
    EXPECT_EQ(entry(*hdr, "X-Binary-Size-Fastest-Dimension"), "23");
    EXPECT_EQ(entry(*hdr, "X-Binary-Size-Second-Dimension"), "9");
}

// Replaces the first "field: value" line's value.
std::string with_field(std::string text, const std::string& field, const std::string& value) {
    const size_t at = text.find(field + ": ");
    const size_t end = text.find('\r', at);
    return text.replace(at + field.size() + 2, end - at - field.size() - 2, value);
}

TEST_F(CbfFiles, DamagedFilesAreRefused) {
    zt::write_cbf(file("good.cbf"), 16, 8, test_pixels(16, 8));
    const std::string good = zt::read_file(file("good.cbf"));
    CbfBinary binary;
    ASSERT_TRUE(cbf_parse_header(good, "good.cbf", binary));
    const std::string size = std::to_string(binary.size);
    const std::string marker("\x0c\x1a\x04\xd5", 4);
    struct Case {
        std::string bytes;
        const char* message;
    };
    const Case cases[] = {
        {with_field(good, "X-Binary-Size", std::to_string(binary.size + 10)),
         "bytes of binary data but its 128 pixels use"},
        {with_field(good, "X-Binary-Size", std::to_string(binary.size - 1)), "end before its 128 pixels"},
        {with_field(good, "X-Binary-Size", "99999999"), "bytes of binary data at byte"},
        {with_field(good, "X-Binary-Number-of-Elements", "127"), "declares 127 pixels for a frame of 16 x 8"},
        {with_field(good, "X-Binary-Size-Second-Dimension", "0"), "frame of 16 x 0 x 1 pixels"},
        {with_field(good, "X-Binary-Size", "-5"), "X-Binary-Size '-5' of '"},
        {with_field(good, "X-Binary-Element-Type", "\"signed 64-bit integer\""),
         "element type 'signed 64-bit integer'"},
        {with_field(good, "X-Binary-Element-Byte-Order", "BIG_ENDIAN"), "byte order 'BIG_ENDIAN'"},
        {good.substr(0, good.find(marker)), "no binary section found"},
        {good.substr(0, good.find(marker) + 4 + binary.size / 2), "bytes of binary data at byte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        zt::write_file(file("bad.cbf"), c.bytes);
        const std::string err = zt::fatal_report([&] {
            std::unique_ptr<HDR> hdr = cbf_open(file("bad.cbf"), "zandor");
            zt::decoded_frame(*hdr, 1);
        });
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    std::string packed = good;
    packed.replace(packed.find("x-CBF_BYTE_OFFSET"), 17, "x-CBF_PACKED_V2xx");
    zt::write_file(file("bad.cbf"), packed);
    EXPECT_NE(zt::fatal_report([&] {
                  cbf_open(file("bad.cbf"), "zandor");
              }).find("compression 'x-CBF_PACKED_V2xx' of '"),
              std::string::npos);
}

// Bytes flipped anywhere in a file: refused, or read within the frame.
TEST_F(CbfFiles, FlippedBytesAreRefusedOrReadInsideTheFrame) {
    zt::write_cbf(file("seed.cbf"), 12, 5, test_pixels(12, 5));
    const std::string seed = zt::read_file(file("seed.cbf"));
    std::mt19937 rng(11);
    int read = 0, refused = 0;
    testing::internal::CaptureStderr();
    for (int round = 0; round < 200; ++round) {
        std::string b = seed;
        for (int i = 0; i < 3; ++i)
            b[rng() % b.size()] = static_cast<char>(rng() & 0xff);
        zt::write_file(file("f.cbf"), b);
        try {
            std::unique_ptr<HDR> hdr = cbf_open(file("f.cbf"), "zandor");
            EXPECT_EQ(zt::decoded_frame(*hdr, 1).size(), size_t{hdr->dim_x} * hdr->dim_y);
            ++read;
        } catch (const Fatal&) {
            ++refused;
        }
    }
    testing::internal::GetCapturedStderr();
    EXPECT_GT(read, 0);
    EXPECT_GT(refused, 0);
}

// The real detector files: our decoder gives libcbf's pixels and the
// expected values.
TEST(CbfRealFiles, DecodeAsLibcbfDoes) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    for (const char* name :
         {"LAOS3_05461.cbf", "sample180_00001_00001.cbf", "org_00009.cbf", "l-cyst_01_00001.cbf"}) {
        SCOPED_TRACE(name);
        const std::string path = root + "/modern/" + name;
        std::unique_ptr<HDR> hdr = cbf_open(path, "zandor");
        zt::expect_matches_expectation(*hdr, zt::read_file(path + ".expect.json"));
        uint32_t width = 0, height = 0;
        std::vector<int32_t> reference;
        ASSERT_TRUE(zt::read_cbf_with_libcbf(path, width, height, reference));
        EXPECT_EQ(width, hdr->dim_x);
        EXPECT_EQ(height, hdr->dim_y);
        const std::vector<double> px = zt::decoded_frame(*hdr, 1);
        ASSERT_EQ(px.size(), reference.size());
        for (size_t i = 0; i < px.size(); ++i)
            ASSERT_EQ(px[i], reference[i]) << i;
    }
    std::unique_ptr<HDR> laos = cbf_open(root + "/modern/LAOS3_05461.cbf", "zandor");
    EXPECT_EQ(entry(*laos, "Detector"), "PILATUS 100K, S/N 1-0009, Desy");
    EXPECT_EQ(entry(*laos, "N_excluded_pixels"), "19");
}

} // namespace
