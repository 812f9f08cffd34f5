// Header list, frame-file description, image information and release levels.
#include "records.hpp"
#include "stream_capture.hpp"
#include "test_support.hpp"
#include "xy_lib.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <random>

namespace {

using zt::image_of;
using zt::info_line;

// ---------------------------------------------------------------- header list

TEST(HeaderList, GrowsByEightAndKeepsOrderAndDuplicates) {
    HDR hdr;
    EXPECT_EQ(hdr.n_alloc, 0);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(xy_kvfstr(hdr, "Key" + std::to_string(i), std::to_string(i * 10)), i);
    EXPECT_EQ(hdr.n_alloc, 8);
    EXPECT_EQ(hdr.n_items, 8);
    EXPECT_EQ(xy_kvfstr(hdr, "Key3", "again"), 8);
    EXPECT_EQ(hdr.n_alloc, 16);
    EXPECT_EQ(hdr.n_items, 9);
    ASSERT_EQ(hdr.items.size(), 9u);
    EXPECT_EQ(hdr.items[0].key, "Key0");
    EXPECT_EQ(hdr.items[7].value, "70");
    EXPECT_EQ(hdr.items[3].key, "Key3");
    EXPECT_EQ(hdr.items[8].key, "Key3");
    EXPECT_EQ(hdr.items[8].value, "again");
    for (int i = 9; i < 17; ++i)
        xy_kvfstr(hdr, "K", "");
    EXPECT_EQ(hdr.n_alloc, 24);
    EXPECT_EQ(hdr.n_items, 17);

    // The recorded capacity steps by 8, but the list itself grows
    // geometrically: a header of many entries moves its storage a few dozen
    // times, not once every eight entries (which made long headers quadratic).
    int moves = 0;
    const KvfItem* storage = hdr.items.data();
    for (int i = 17; i < 60000; ++i) {
        xy_kvfstr(hdr, "K", "v");
        if (hdr.items.data() != storage) ++moves, storage = hdr.items.data();
    }
    EXPECT_EQ(hdr.n_items, 60000);
    EXPECT_EQ(hdr.n_alloc, 60000);
    EXPECT_LT(moves, 40);
}

TEST(HeaderList, EntriesAreStoredVerbatim) {
    HDR hdr;
    xy_kvfstr(hdr, " Dim_1 ", "  1024 ; x");
    xy_kvfstr(hdr, "", "");
    EXPECT_EQ(hdr.items[0].key, " Dim_1 ");
    EXPECT_EQ(hdr.items[0].value, "  1024 ; x");
    EXPECT_EQ(hdr.items[1].key, "");
}

TEST(HeaderDescription, PrintsFileTypeAndEntries) {
    HDR hdr;
    hdr.file_name = "img_0001.kvf";
    hdr.dim_x = 1024;
    hdr.dim_y = 512;
    hdr.frames = 3;
    hdr.type = XY_TYPE_UINT16;
    hdr.byte_order = XyByteOrder::high_first;
    xy_kvfstr(hdr, "Dim_1", "1024");
    xy_kvfstr(hdr, "Dim_1", "1024");
    xy_kvfstr(hdr, "ExtraLongKeyNameHere", "v");
    const std::string head = "# file  'img_0001.kvf' : images size 1024 * 512, frames 3\n"
                             "# data_type (INT16U)  swapping used\n";
    const std::string entries = "# kvf header contents :  \n"
                                "#00# Dim_1           = 1024 ; \n"
                                "#01# Dim_1           = 1024 ; \n"
                                "#02# ExtraLongKeyNameHere = v ; \n";

    testing::internal::CaptureStdout();
    xy_puthdr(hdr, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), head + entries);
    testing::internal::CaptureStdout();
    xy_puthdr(hdr, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), head);
    EXPECT_EQ(zt::written_by([&](std::FILE* fp) { xy_fputhdr(fp, hdr, 1); }), head + entries);
}

TEST(HeaderDescription, TypeNamesFollowThePixelCodes) {
    EXPECT_STREQ(xy_type_name(XY_TYPE_UINT8), "UNKNOWN");
    EXPECT_STREQ(xy_type_name(XY_TYPE_INT16), "INT16");
    EXPECT_STREQ(xy_type_name(XY_TYPE_UINT16), "INT16U");
    EXPECT_STREQ(xy_type_name(XY_TYPE_INT32), "INT32");
    EXPECT_STREQ(xy_type_name(XY_TYPE_FLOAT), "FLOAT");
    EXPECT_STREQ(xy_type_name(XY_TYPE_TEXT), "ASCII");
    EXPECT_STREQ(xy_type_name(0), "UNKNOWN");
    EXPECT_STREQ(xy_type_name(7), "UNKNOWN");
}

// The description is the file's own: describing a text file changes nothing
// for the next one.
TEST(HeaderDescription, ByteOrderTextBelongsToEachFile) {
    HDR text;
    text.file_name = "a.txt";
    text.type = XY_TYPE_TEXT;
    text.byte_order = XyByteOrder::high_first;
    HDR binary;
    binary.type = XY_TYPE_INT32;
    const auto described = [](const HDR& hdr) {
        return zt::written_by([&](std::FILE* fp) { xy_fputhdr(fp, hdr, 0); });
    };
    const std::string unset =
        "# file  '' : images size 0 * 0, frames 0\n# data_type (INT32)  swapping not yet defined\n";
    EXPECT_EQ(described(binary), unset);
    EXPECT_EQ(described(text), "# file  'a.txt' : images size 0 * 0, frames 0\n# data_type (ASCII)  \n");
    EXPECT_EQ(described(binary), unset);
    binary.byte_order = XyByteOrder::low_first;
    EXPECT_EQ(described(binary),
              "# file  '' : images size 0 * 0, frames 0\n# data_type (INT32)  no swapping used\n");
}

// ---------------------------------------------------------------- image information

TEST(ImageInformation, CorrectedImageUsesCountedPixels) {
    IMG img = image_of(2, 2, {1, 2, 3, 4}, {1, 1, 1, 1});
    img.corrected = 1;
    img.frames = 1;
    img.name = "img_0001.kvf";
    xy_info(img, 0);
    EXPECT_EQ(img.used, 4);
    EXPECT_EQ(img.nonzero, 4);
    EXPECT_EQ(img.min, 1);
    EXPECT_EQ(img.max, 4);
    EXPECT_EQ(img.max_x, 1);
    EXPECT_EQ(img.max_y, 1);
    EXPECT_DOUBLE_EQ(img.mean, 2.5);
    EXPECT_NEAR(img.sigma, 1.2910, 1e-4); // divisor n - 1 = 3
    EXPECT_EQ(info_line(img),
              "# img_0001.kvf : 1 frame(s), mean 2.5 sigma 1.3 [1@0*0 - 4@1*1] 4!=0, 4 used\n");
}

TEST(ImageInformation, PixelsWithoutFramesStayOutOfCorrectedStatistics) {
    IMG img = image_of(3, 2, {9, 0, -50, 5, 5, 7}, {1, 1, 0, 1, 1, 0});
    img.corrected = 1;
    xy_info(img, 0);
    EXPECT_EQ(img.used, 4);
    EXPECT_EQ(img.nonzero, 5); // counted over every pixel
    EXPECT_EQ(img.min, 0);
    EXPECT_EQ(img.min_x, 1);
    EXPECT_EQ(img.min_y, 0);
    EXPECT_EQ(img.max, 9);
    EXPECT_EQ(img.max_x, 0);
    EXPECT_DOUBLE_EQ(img.mean, 19.0 / 4);
}

TEST(ImageInformation, FirstOfEqualExtremesWins) {
    IMG img = image_of(2, 2, {5, 1, 1, 5}, {1, 1, 1, 1});
    img.corrected = 1;
    xy_info(img, 0);
    EXPECT_EQ(img.min_x, 1);
    EXPECT_EQ(img.min_y, 0);
    EXPECT_EQ(img.max_x, 0);
    EXPECT_EQ(img.max_y, 0);
}

TEST(ImageInformation, NoCountedPixelLeavesTheStartValues) {
    IMG img = image_of(3, 1, {4, 5, 6}, {0, 0, 0});
    img.corrected = 1;
    xy_info(img, 0);
    EXPECT_EQ(img.used, 0);
    EXPECT_EQ(img.min, INT32_MAX);
    EXPECT_EQ(img.min_x, -1);
    EXPECT_EQ(img.min_y, 0);
    EXPECT_EQ(img.max, INT32_MIN);
    EXPECT_EQ(img.max_x, -1);
    EXPECT_EQ(img.max_y, 0);
    EXPECT_TRUE(std::isnan(img.mean));
    const std::string line = info_line(img);
    EXPECT_NE(line.find(" [2147483647@-1*0 - -2147483648@-1*0] 3!=0, 0 used\n"), std::string::npos) << line;
}

TEST(ImageInformation, RecordWithoutFrameCountsUsesEveryPixel) {
    IMG img = image_of(2, 1, {3, 0});
    img.corrected = 1;
    img.name = "d";
    img.frames = 2;
    xy_info(img, 0);
    EXPECT_EQ(img.used, -1);
    EXPECT_EQ(img.nonzero, 1);
    EXPECT_DOUBLE_EQ(img.mean, 1.5);
    EXPECT_EQ(info_line(img), "# d : 2 frame(s), mean 1.5 sigma 2.1 [0@1*0 - 3@0*0] 1!=0, all used\n");
}

TEST(ImageInformation, RawSumsAreCorrectedToTheFullFrameCount) {
    // 10 frames; the third pixel lost every frame and still takes part.
    IMG img = image_of(2, 2, {95, 100, 0, -95}, {9, 10, 0, 9});
    img.frames = 10;
    img.corrected = 0;
    xy_info(img, 0);
    EXPECT_EQ(img.used, 3);
    EXPECT_EQ(img.min, -104);
    EXPECT_EQ(img.min_x, 1);
    EXPECT_EQ(img.min_y, 1);
    EXPECT_EQ(img.max, 105);
    EXPECT_EQ(img.max_x, 0);
    EXPECT_EQ(img.max_y, 0);
    // Sum of the four corrected values over the 3 used pixels; deviations of
    // all four over n - 1 = 2.
    EXPECT_NEAR(img.mean, 101.0 / 3, 1e-12);
    EXPECT_NEAR(img.sigma, 121.60203762912674, 1e-9);
}

TEST(ImageInformation, RawSumsStartTheExtremesAtPixelZero) {
    IMG img = image_of(2, 1, {-7, 3}, {0, 1});
    img.frames = 1;
    xy_info(img, 2 | 4);
    EXPECT_EQ(img.min, -7);
    EXPECT_EQ(img.min_x, 0);
    EXPECT_EQ(img.max, 3);
    EXPECT_EQ(img.max_x, 1);
}

TEST(ImageInformation, SelectionBitsTouchOnlyTheirFields) {
    const auto marked = [] {
        IMG img = image_of(2, 2, {1, 2, 3, 4}, {1, 1, 1, 0});
        img.corrected = 1;
        img.min = img.max = img.nonzero = img.used = -99;
        img.min_x = img.min_y = img.max_x = img.max_y = -99;
        img.mean = img.sigma = -99.0;
        return img;
    };
    IMG max_only = marked();
    xy_info(max_only, 4);
    EXPECT_EQ(max_only.used, 3);
    EXPECT_EQ(max_only.max, 3);
    EXPECT_EQ(max_only.max_x, 0);
    EXPECT_EQ(max_only.max_y, 1);
    EXPECT_EQ(max_only.min, -99);
    EXPECT_EQ(max_only.min_x, -99);
    EXPECT_EQ(max_only.nonzero, -99);
    EXPECT_EQ(max_only.mean, -99.0);
    EXPECT_EQ(max_only.sigma, -99.0);

    IMG nonzero_only = marked();
    xy_info(nonzero_only, 1);
    EXPECT_EQ(nonzero_only.nonzero, 4);
    EXPECT_EQ(nonzero_only.max, -99);
    EXPECT_EQ(nonzero_only.mean, -99.0);

    IMG mean_only = marked();
    xy_info(mean_only, 8);
    EXPECT_DOUBLE_EQ(mean_only.mean, 2.0);
    EXPECT_EQ(mean_only.sigma, -99.0);
    EXPECT_EQ(mean_only.min, -99);

    IMG sigma = marked();
    xy_info(sigma, 16);
    EXPECT_DOUBLE_EQ(sigma.mean, 2.0);
    EXPECT_DOUBLE_EQ(sigma.sigma, 1.0);
    EXPECT_EQ(sigma.max, -99);
}

TEST(ImageInformation, EmptyAndReleasedRecordsAreSafe) {
    IMG empty;
    EXPECT_NO_THROW(xy_info(empty, 0));
    EXPECT_EQ(empty.used, -1);
    EXPECT_EQ(empty.min_x, -1); // nx 0: no division
    EXPECT_EQ(empty.min_y, 0);

    // Planes released, geometry kept: nothing is read beyond the planes.
    IMG released = image_of(100, 100, {});
    released.frames = 3;
    EXPECT_NO_THROW(xy_info(released, 0));
    EXPECT_EQ(released.nonzero, 0);
    EXPECT_EQ(released.used, -1);
}

// ---------------------------------------------------------------- statistics against a plain reference

// The statistics computed pixel by pixel in double arithmetic, the plainest
// way: the blocked integer scan must print the same line and keep the same
// mean to the last bit.
struct PlainInfo {
    int32_t used = -1, nonzero = 0, min = INT32_MAX, max = INT32_MIN;
    int64_t min_at = -1, max_at = -1;
    double mean = 0.0, sigma = 0.0;
};

PlainInfo plain_info(const IMG& img) {
    PlainInfo r;
    const int64_t size = img.size;
    const bool corrected = img.corrected == 1;
    const bool counts = !img.frame.empty();
    auto taken = [&](int64_t i) { return !corrected || !counts || img.frame[i] != 0; };
    auto value = [&](int64_t i) { return corrected ? img.data[i] : xy_valcor(img, i); };
    int64_t n = size;
    if (counts) {
        r.used = 0;
        for (int64_t i = 0; i < size; ++i)
            r.used += img.frame[i] != 0;
        n = r.used;
    }
    for (int64_t i = 0; i < size; ++i)
        r.nonzero += img.data[i] != 0;
    int64_t start = 0;
    if (!corrected && size > 0) {
        r.min = r.max = value(0);
        r.min_at = r.max_at = 0;
        start = 1;
    }
    double sum = 0.0;
    for (int64_t i = 0; i < size; ++i) {
        if (!taken(i)) continue;
        const int32_t v = value(i);
        if (i >= start && v < r.min) r.min = v, r.min_at = i;
        if (i >= start && v > r.max) r.max = v, r.max_at = i;
        sum += v;
    }
    r.mean = sum / static_cast<double>(n);
    double squares = 0.0;
    for (int64_t i = 0; i < size; ++i)
        if (taken(i)) squares += (value(i) - r.mean) * (value(i) - r.mean);
    r.sigma = std::sqrt(squares / static_cast<double>(n - 1));
    return r;
}

struct RandomImage {
    const char* what;
    int32_t nx, ny;
    int32_t low, high; // value range
    int32_t frames;    // full frame count
    int32_t corrected;
    int partial_per_10k; // pixels with a count between 1 and frames - 1, per 10000
    int zero_per_10k;    // pixels with a count of 0, per 10000
    bool counts;         // the record has a frame-count plane
};

IMG random_image(const RandomImage& c, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> value(c.low, c.high);
    std::uniform_int_distribution<int> per_10k(0, 9999);
    std::uniform_int_distribution<int32_t> partial(1, std::max(1, c.frames - 1));
    const size_t size = static_cast<size_t>(c.nx) * c.ny;
    std::vector<int32_t> data(size);
    std::vector<uint16_t> frame;
    for (auto& v : data)
        v = value(rng);
    if (c.counts) {
        frame.assign(size, static_cast<uint16_t>(c.frames));
        for (auto& f : frame) {
            const int p = per_10k(rng);
            if (p < c.zero_per_10k)
                f = 0;
            else if (p < c.zero_per_10k + c.partial_per_10k)
                f = static_cast<uint16_t>(partial(rng));
        }
    }
    IMG img = image_of(c.nx, c.ny, std::move(data), std::move(frame), c.what);
    img.frames = c.frames;
    img.corrected = c.corrected;
    return img;
}

class StatisticsMatchPlainReference : public testing::TestWithParam<RandomImage> {};

TEST_P(StatisticsMatchPlainReference, SameFieldsAndSameLine) {
    const RandomImage& c = GetParam();
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        IMG img = random_image(c, seed);
        const PlainInfo want = plain_info(img);
        xy_info(img, 0);
        SCOPED_TRACE(testing::Message() << c.what << " seed " << seed);
        EXPECT_EQ(img.used, want.used);
        EXPECT_EQ(img.nonzero, want.nonzero);
        EXPECT_EQ(img.min, want.min);
        EXPECT_EQ(img.max, want.max);
        EXPECT_EQ(int64_t{img.min_y} * c.nx + img.min_x, want.min_at);
        EXPECT_EQ(int64_t{img.max_y} * c.nx + img.max_x, want.max_at);
        EXPECT_EQ(std::isnan(img.mean), std::isnan(want.mean));
        if (!std::isnan(want.mean)) {
            EXPECT_EQ(img.mean, want.mean); // to the last bit
        }
        IMG plain = image_of(c.nx, c.ny, {});
        plain.name = img.name;
        plain.frames = img.frames;
        plain.used = want.used;
        plain.nonzero = want.nonzero;
        plain.min = want.min;
        plain.max = want.max;
        plain.min_x = img.min_x, plain.min_y = img.min_y, plain.max_x = img.max_x, plain.max_y = img.max_y;
        plain.mean = want.mean;
        plain.sigma = want.sigma;
        EXPECT_EQ(info_line(img), info_line(plain));
        EXPECT_EQ(std::isnan(img.sigma), std::isnan(want.sigma));
        if (!std::isnan(want.sigma)) {
            EXPECT_NEAR(img.sigma, want.sigma, 1e-9 * std::max(1.0, std::fabs(want.sigma)));
        }
    }
}

// Blocks of 4096 pixels: sizes around and across block ends, values small
// (many equal extremes in different blocks), detector-like, at the ends of
// the range whose sums add up in 32 bits (-2^22 and 2^22 - 1: a part of 512
// values then sums to exactly -2^31), just beyond it, and near the 32-bit
// limits (squares beyond 64 bits); raw sums with partial and zero counts,
// from every pixel to a few a block, corrected records with and without
// counts.
INSTANTIATE_TEST_SUITE_P(
    RandomImages, StatisticsMatchPlainReference,
    testing::Values(
        RandomImage{"tiny_raw", 3, 5, -3, 3, 7, 0, 3000, 1000, true},
        RandomImage{"block_plus_one_raw", 4097, 1, 0, 3, 100, 0, 100, 100, true},
        RandomImage{"ties_corrected", 512, 33, 0, 2, 5, 1, 0, 2000, true},
        RandomImage{"detector_raw", 256, 256, 90, 110000, 100, 0, 200, 100, true},
        RandomImage{"detector_corrected", 300, 200, -500, 110000, 100, 1, 0, 300, true},
        RandomImage{"sparse_partial_raw", 2048, 24, 90, 110000, 100, 0, 3, 1, true},
        RandomImage{"sparse_zero_corrected", 2048, 24, -500, 110000, 100, 1, 0, 2, true},
        RandomImage{"fast_range_ends_raw", 1000, 50, -(1 << 22), (1 << 22) - 1, 9, 0, 20, 20, true},
        RandomImage{"beyond_fast_range_raw", 1000, 50, -(1 << 22) - 2, (1 << 22) + 1, 9, 0, 20, 20, true},
        RandomImage{"fast_min_constant", 4096, 2, -(1 << 22), -(1 << 22), 1, 1, 0, 0, false},
        RandomImage{"fast_max_constant", 4096, 2, (1 << 22) - 1, (1 << 22) - 1, 1, 1, 0, 0, true},
        RandomImage{"no_counts_raw", 129, 65, -1000000, 1000000, 3, 0, 0, 0, false},
        RandomImage{"no_counts_corrected", 4096, 2, -1000000, 1000000, 3, 1, 0, 0, false},
        RandomImage{"huge_values_corrected", 200, 100, INT32_MIN, INT32_MAX, 1, 1, 0, 500, true},
        RandomImage{"huge_values_raw", 100, 200, INT32_MIN / 2, INT32_MAX, 60000, 0, 2000, 500, true},
        RandomImage{"all_counts_zero_raw", 70, 70, -9, 9, 4, 0, 0, 10000, true},
        RandomImage{"constant_high", 4096, 3, INT32_MAX, INT32_MAX, 2, 0, 0, 0, true},
        RandomImage{"constant_low", 4096, 3, INT32_MIN, INT32_MIN, 2, 1, 0, 0, false}),
    [](const testing::TestParamInfo<RandomImage>& info) { return std::string(info.param.what); });

TEST(ImageInformation, SigmaOnARoundingBoundaryPrintsAsThePlainSum) {
    // Fifteen zeros and a one: sigma is exactly 0.25, which prints as 0.2.
    std::vector<int32_t> values(16, 0);
    values[7] = 1;
    IMG img = image_of(4, 4, values, std::vector<uint16_t>(16, 1), "edge");
    img.corrected = 1;
    img.frames = 1;
    xy_info(img, 0);
    EXPECT_EQ(img.sigma, 0.25);
    EXPECT_EQ(info_line(img), "# edge : 1 frame(s), mean 0.1 sigma 0.2 [0@0*0 - 1@3*1] 1!=0, 16 used\n");
}

TEST(ImageInformation, MeanOfALargeImageBeyondExactDoublesFollowsThePlainSum) {
    // 2^22 + 1 pixels near the 32-bit limit: partial sums pass 2^53, where a
    // double sum rounds and an exact integer one would not.
    const int32_t nx = 4097, ny = 1024;
    std::vector<int32_t> values(static_cast<size_t>(nx) * ny);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int32_t> near_limit(INT32_MAX - 1000000, INT32_MAX);
    for (auto& v : values)
        v = near_limit(rng);
    IMG img = image_of(nx, ny, std::move(values), {}, "large");
    img.corrected = 1;
    const PlainInfo want = plain_info(img);
    xy_info(img, 8 | 16);
    EXPECT_EQ(img.mean, want.mean);
    EXPECT_EQ(prg_format("%.1f", img.sigma), prg_format("%.1f", want.sigma));
}

// ---------------------------------------------------------------- release levels

IMG full_record(const std::string& path) {
    IMG img = image_of(2, 1, {1, 2}, {1, 1});
    img.name = "full";
    img.cosmic.mval = {1, 2};
    img.cosmic.mframe = {1, 1};
    img.cosmic.sumq = {1.0, 4.0};
    img.hdr = std::make_unique<HDR>();
    img.hdr->file_name = path;
    img.hdr->fp = FileHandle(std::fopen(path.c_str(), "wb"));
    return img;
}

class ReleaseLevels : public zt::InTempDir {};

TEST_F(ReleaseLevels, EachLevelClearsItsShare) {
    const std::string path = file("f.bin");
    for (int level : {0, 1, 2, 3}) {
        IMG img = full_record(path);
        xy_freeimg(img, level);
        EXPECT_TRUE(img.cosmic.mval.empty() && img.cosmic.mframe.empty() && img.cosmic.sumq.empty()) << level;
        EXPECT_EQ(img.frame.empty(), level >= 1) << level;
        EXPECT_EQ(img.data.empty(), level >= 2) << level;
        EXPECT_EQ(img.name.empty(), level >= 2) << level;
        EXPECT_EQ(img.hdr == nullptr, level >= 3) << level;
        EXPECT_EQ(img.size, 2) << level;
    }
}

TEST_F(ReleaseLevels, OtherLevelsReleaseNothing) {
    for (int level : {5, 4, -1}) {
        IMG img = full_record(file("f.bin"));
        xy_freeimg(img, level);
        EXPECT_EQ(img.cosmic.sumq.size(), 2u);
        EXPECT_EQ(img.frame.size(), 2u);
        EXPECT_EQ(img.data.size(), 2u);
        EXPECT_EQ(img.name, "full");
        ASSERT_TRUE(img.hdr);
        EXPECT_TRUE(img.hdr->fp);
    }
}

TEST_F(ReleaseLevels, ReleasingTheFileRecordClosesItsStream) {
    auto hdr = std::make_unique<HDR>();
    std::FILE* fp = std::fopen(file("g.bin").c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    std::fputs("kept", fp); // buffered: only a close writes it
    hdr->fp = FileHandle(fp);
    xy_freehdr(hdr);
    EXPECT_FALSE(hdr);
    EXPECT_EQ(zt::read_file(file("g.bin")), "kept");
    std::unique_ptr<HDR> none;
    EXPECT_NO_THROW(xy_freehdr(none));
}

} // namespace
