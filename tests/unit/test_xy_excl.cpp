// Exclusion zones, regions of interest and mask files.
#include "fatal_capture.hpp"
#include "test_support.hpp"
#include "xy_excl.hpp"

#include <utime.h>

namespace {

// The job state of the zone under test.
ExclState excl;

// A width x height image read whole, values 1000 + index, every pixel counted
// in `frames` frames.
IMG plain_image(int32_t nx, int32_t ny, uint16_t frames = 3) {
    IMG img;
    img.name = "img";
    img.x_max = nx;
    img.y_max = ny;
    img.x_bind = img.y_bind = 1;
    img.nx = nx;
    img.ny = ny;
    img.size = nx * ny;
    img.frames = frames;
    for (int32_t i = 0; i < img.size; ++i)
        img.data.push_back(1000 + i);
    img.frame.assign(static_cast<size_t>(img.size), frames);
    return img;
}

int32_t off_pixels(const IMG& img) {
    int32_t n = 0;
    for (uint16_t f : img.frame)
        n += f == 0;
    return n;
}

bool is_off(const IMG& img, int32_t x, int32_t y) {
    return img.frame[static_cast<size_t>(y * img.nx + x)] == 0;
}

IniTag tag_of(const char* key, const std::string& value) {
    IniTag tag;
    tag.key = key;
    tag.value = value;
    tag.has_value = true;
    return tag;
}

// Declares zones quietly and applies them; returns standard output.
std::string apply(IMG& img, const std::vector<std::pair<const char*, std::string>>& zones,
                  int32_t print = 0) {
    testing::internal::CaptureStdout();
    for (const auto& z : zones) {
        EXPECT_TRUE(excl_inipar(excl, tag_of(z.first, z.second))) << z.first;
    }
    excl_image(excl, {}, img, print);
    return testing::internal::GetCapturedStdout();
}

class Excl : public zt::InTempDir {
  protected:
    void SetUp() override {
        zt::InTempDir::SetUp();
        excl = ExclState();
        prg_state().name = "zandor";
    }
    void TearDown() override {
        excl = ExclState();
        zt::InTempDir::TearDown();
    }
};

// ---------------------------------------------------------------- declaring

struct EchoCase {
    const char* key;
    const char* value;
    const char* echo; // "" when nothing is echoed
    int32_t fields[6];
    uint8_t modify;
    int32_t replacement;
};

class ExclDeclare : public Excl, public testing::WithParamInterface<EchoCase> {};

TEST_P(ExclDeclare, FillsTheZoneAndEchoesIt) {
    const EchoCase& c = GetParam();
    const IniTag tag = tag_of(c.key, c.value);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(excl_inipar(excl, tag));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.echo);
    ASSERT_EQ(excl.n_excluded, 1);
    const excl_zone& z = excl.excluded[0];
    const int32_t got[6] = {z.x1, z.y1, z.x2, z.y2, z.x3, z.y3};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(got[i], c.fields[i]) << "field " << i;
    EXPECT_EQ(z.modify, c.modify);
    EXPECT_EQ(z.value, c.replacement);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ExclDeclare,
    testing::Values(
        EchoCase{"P_EXCLUDED", "3 4", " add P_EXCLUDED point x 3 y 4\n", {3, 4, 0, 0, 0, 0}, 0, 0},
        EchoCase{"P_EXCLUDED", "3 4 -1", " add P_EXCLUDED point x 3 y 4 (modify to -1)\n", {3, 4}, 1, -1},
        EchoCase{"C_EXCLUDED",
                 "10 20 5 7",
                 " add C_EXCLUDED circle x 10 y 20 r 5 (modify to 7)\n",
                 {10, 20, 5},
                 1,
                 7},
        EchoCase{"R_ROI", "1 2 3 4", " add R_ROI rectangle x1 1 y1 2 x2 3 y2 4\n", {1, 2, 3, 4}, 0, 0},
        EchoCase{"T_ROI",
                 "0 0 9 0 0 9",
                 " add T_ROI triangle x1 0 y1 0 x2 9 y2 0 x3 0 y3 9\n",
                 {0, 0, 9, 0, 0, 9},
                 0,
                 0},
        EchoCase{
            "C_ROI", "65535 -32768 0", " add C_ROI circle x 65535 y -32768 r 0\n", {65535, -32768}, 0, 0},
        // Numbers are taken after an "=" inside the value; QUIET silences the echo
        // and ends the numbers.
        EchoCase{"R_EXCLUDED",
                 "beam = 5 6 7 8 9",
                 " add R_EXCLUDED rectangle x1 5 y1 6 x2 7 y2 8 (modify to 9)\n",
                 {5, 6, 7, 8},
                 1,
                 9},
        EchoCase{"C_EXCLUDED", "1 2 3 QUIET 4", "", {1, 2, 3}, 0, 0},
        EchoCase{"F_EXCLUDED", "masks/run1.tif", "\n", {}, 0, 0}));

struct RefusedCase {
    const char* key;
    const char* value;
    const char* message;
};

class ExclRefuse : public Excl, public testing::WithParamInterface<RefusedCase> {};

TEST_P(ExclRefuse, StopsTheRunNamingKeyAndValue) {
    const RefusedCase& c = GetParam();
    const IniTag tag = tag_of(c.key, c.value);
    testing::internal::CaptureStdout();
    const std::string err = zt::fatal_report([&] { excl_inipar(excl, tag); });
    testing::internal::GetCapturedStdout();
    EXPECT_NE(err.find(std::string(c.key) + " = " + c.value), std::string::npos) << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(excl.n_excluded, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ExclRefuse,
    testing::Values(RefusedCase{"C_EXCLUDED", "10 20", "a zone needs 3 numbers (x1 y1 r), 2 given"},
                    RefusedCase{"T_ROI", "1 2 3 4 5", "a zone needs 6 numbers (x1 y1 x2 y2 x3 y3), 5 given"},
                    RefusedCase{"P_EXCLUDED", "QUIET", "a zone needs 2 numbers (x1 y1), 0 given"},
                    RefusedCase{"R_EXCLUDED", "1 2 x 4", "a zone needs 4 numbers"},
                    RefusedCase{"C_ROI", "10 10 -3", "negative radius -3"},
                    RefusedCase{"R_EXCLUDED", "0 0 70000 5", "coordinate 70000 does not fit 16 bits"},
                    RefusedCase{"P_EXCLUDED", "-32769 0", "coordinate -32769 does not fit 16 bits"},
                    RefusedCase{"P_EXCLUDED", "1 1 4294967296", "replacement value 4294967296 does not fit"},
                    RefusedCase{"P_EXCLUDED", "1 99999999999999999999", "does not fit 16 bits"},
                    RefusedCase{"F_EXCLUDED", "run1",
                                "must end in one of .gel .tif .tiff .kvf .txt .h5 .hdf5 .nxs .cbf .spe .SPE"},
                    RefusedCase{"F_EXCLUDED", "run1.tif.bak", "must end in"},
                    // The first .tif is not at the end: no format is chosen by this name.
                    RefusedCase{"F_EXCLUDED", "a.tif.tif", "must end in"}));

TEST_F(Excl, ListGrowsByTenAndKeepsOrder) {
    testing::internal::CaptureStdout();
    for (int i = 0; i < 21; ++i)
        excl_ini(excl, EXCL_POINT, std::to_string(i) + " 0");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(excl.n_excluded, 21);
    EXPECT_EQ(excl.m_excluded, 30);
    EXPECT_EQ(excl.excluded[20].x1, 20);
    IniTag other;
    other.key = "C_EXCLUDED_X";
    EXPECT_FALSE(excl_inipar(excl, other));
}

// ---------------------------------------------------------------- geometry

struct GeometryCase {
    const char* name;
    std::vector<std::pair<const char*, std::string>> zones;
    int32_t off;                                  // pixels switched off on a 32 x 32 image
    std::vector<std::pair<int32_t, int32_t>> in;  // some of them
    std::vector<std::pair<int32_t, int32_t>> out; // some that stay on
};

class ExclGeometry : public Excl, public testing::WithParamInterface<GeometryCase> {};

TEST_P(ExclGeometry, SwitchesOffExactlyTheZone) {
    const GeometryCase& c = GetParam();
    IMG img = plain_image(32, 32);
    const std::string out = apply(img, c.zones);
    EXPECT_EQ(off_pixels(img), c.off);
    EXPECT_NE(out.find("# " + std::to_string(c.off) + " excluded pixel(s) by " +
                       std::to_string(c.zones.size()) + " mask(s) for calculations\n"),
              std::string::npos)
        << out;
    for (const auto& p : c.in)
        EXPECT_TRUE(is_off(img, p.first, p.second)) << p.first << "," << p.second;
    for (const auto& p : c.out)
        EXPECT_FALSE(is_off(img, p.first, p.second)) << p.first << "," << p.second;
}

INSTANTIATE_TEST_SUITE_P(
    Zones, ExclGeometry,
    testing::Values(
        GeometryCase{"RectangleCornersInAnyOrder",
                     {{"R_EXCLUDED", "10 20 5 8"}},
                     6 * 13,
                     {{5, 8}, {10, 20}, {5, 20}, {10, 8}},
                     {{4, 8}, {11, 20}, {5, 7}, {5, 21}}},
        GeometryCase{
            "CircleOfRadiusZeroIsItsCentre", {{"C_EXCLUDED", "7 7 0"}}, 1, {{7, 7}}, {{6, 7}, {7, 8}}},
        GeometryCase{"CircleOfRadiusOneIsACross",
                     {{"C_EXCLUDED", "7 7 1"}},
                     5,
                     {{6, 7}, {8, 7}, {7, 6}, {7, 8}},
                     {{6, 6}, {8, 8}}},
        GeometryCase{"CircleCutByTheCorner",
                     {{"C_EXCLUDED", "31 31 3"}},
                     11,
                     {{31, 28}, {28, 31}, {29, 29}},
                     {{29, 28}}},
        GeometryCase{"CircleCentredLeftOfTheImage",
                     {{"C_EXCLUDED", "-5 10 20"}},
                     378,
                     {{0, 10}, {15, 10}},
                     {{16, 10}}},
        GeometryCase{
            "NegativeCornerIsClipped", {{"R_EXCLUDED", "-100 -100 3 3"}}, 16, {{0, 0}, {3, 3}}, {{4, 0}}},
        GeometryCase{"RectangleOutsideSelectsNothing", {{"R_EXCLUDED", "-9 -9 -1 40"}}, 0, {}, {{0, 0}}},
        GeometryCase{"HugeZonesCoverTheImageOnly",
                     {{"R_EXCLUDED", "0 0 65535 65535"}, {"C_EXCLUDED", "-32768 -32768 65535"}},
                     32 * 32,
                     {{31, 31}},
                     {}},
        GeometryCase{"TriangleEdgesAndCornersAreInside",
                     {{"T_EXCLUDED", "0 0 10 0 0 10"}},
                     66,
                     {{0, 0}, {10, 0}, {0, 10}, {5, 5}, {3, 7}},
                     {{6, 5}, {11, 0}}},
        GeometryCase{"TriangleCornersInTheOtherOrder",
                     {{"T_EXCLUDED", "0 10 10 0 0 0"}},
                     66,
                     {{0, 0}, {10, 0}, {0, 10}, {5, 5}},
                     {{6, 5}}},
        GeometryCase{"CollinearTriangleIsEmpty", {{"T_EXCLUDED", "0 0 5 5 10 10"}}, 0, {}, {{5, 5}}},
        GeometryCase{"PointOutsideIsIgnored", {{"P_EXCLUDED", "32 0"}, {"P_EXCLUDED", "0 -1"}}, 0, {}, {}},
        GeometryCase{"OverlapCountsOnce",
                     {{"R_EXCLUDED", "0 0 3 3"}, {"R_EXCLUDED", "2 2 5 5"}, {"P_EXCLUDED", "1 1"}},
                     16 + 16 - 4,
                     {{5, 5}, {1, 1}},
                     {{4, 1}}}),
    [](const testing::TestParamInfo<GeometryCase>& info) { return info.param.name; });

TEST_F(Excl, LargeCircleHasItsLatticeCount) {
    IMG img = plain_image(300, 300);
    apply(img, {{"C_EXCLUDED", "100 100 50"}});
    EXPECT_EQ(off_pixels(img), 7845);
}

// Detector coordinates go through the region origin and the binning.
TEST_F(Excl, CoordinatesAreDetectorPixelsOfTheRegion) {
    IMG img = plain_image(10, 10);
    img.x_min = 10;
    img.x_max = 30;
    img.y_min = 4;
    img.y_max = 24;
    img.x_bind = img.y_bind = 2;
    const std::string out = apply(img, {{"P_EXCLUDED", "10 4"},
                                        {"P_EXCLUDED", "11 5"}, // same binned pixel: already off
                                        {"P_EXCLUDED", "29 23"},
                                        {"P_EXCLUDED", "9 4"},  // left of the region
                                        {"P_EXCLUDED", "30 4"}, // right of it
                                        {"R_EXCLUDED", "12 4 15 5"}});
    EXPECT_NE(out.find("# 4 excluded pixel(s) by 6 mask(s)"), std::string::npos) << out;
    EXPECT_TRUE(is_off(img, 0, 0));
    EXPECT_TRUE(is_off(img, 9, 9));
    EXPECT_TRUE(is_off(img, 1, 0));
    EXPECT_TRUE(is_off(img, 2, 0));
    EXPECT_EQ(off_pixels(img), 4);
}

// A circle on a region from (13, 7) binned 2 x 3, cut by the region's corner:
// a binned pixel goes off when one of its detector pixels lies in the disc.
TEST_F(Excl, CircleOnABinnedRegionAwayFromTheOrigin) {
    const int32_t x_bind = 2, y_bind = 3, cx = 16, cy = 12, r = 7;
    IMG img = plain_image(12, 10);
    img.x_min = 13;
    img.x_max = 13 + 12 * x_bind;
    img.y_min = 7;
    img.y_max = 7 + 10 * y_bind;
    img.x_bind = x_bind;
    img.y_bind = y_bind;
    const std::string out = apply(img, {{"C_EXCLUDED", "16 12 7"}});
    int32_t expected = 0;
    for (int32_t by = 0; by < img.ny; ++by)
        for (int32_t bx = 0; bx < img.nx; ++bx) {
            bool in_disc = false;
            for (int32_t y = img.y_min + by * y_bind; y < img.y_min + (by + 1) * y_bind; ++y)
                for (int32_t x = img.x_min + bx * x_bind; x < img.x_min + (bx + 1) * x_bind; ++x)
                    in_disc |= (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
            EXPECT_EQ(is_off(img, bx, by), in_disc) << bx << "," << by;
            expected += in_disc;
        }
    EXPECT_EQ(expected, 22);
    EXPECT_NE(out.find("# 22 excluded pixel(s) by 1 mask(s)"), std::string::npos) << out;
}

// ---------------------------------------------------------------- values and order

TEST_F(Excl, ReplacementValues) {
    IMG img = plain_image(5, 5);
    img.data = {-3, -5,  0,  0,  0,  //
                -4, 100, -6, 9,  0,  //
                0,  0,   0,  -1, 0,  //
                0,  0,   -2, 50, -3, //
                0,  0,   0,  -1, 8};
    img.frame[static_cast<size_t>(4 * 5 + 3)] = 0; // (3, 4) had no valid value
    apply(img, {{"P_EXCLUDED", "0 0 -1"},          // corner: (-5 + -4) / 2 truncated to -4
                {"P_EXCLUDED", "1 0 -1"},          // (0,0) is now off: (0 + 100) / 2
                {"P_EXCLUDED", "3 3 -1"},          // (-1 + -2 + -3) / 3; (3, 4) is not taken
                {"P_EXCLUDED", "4 4 77"},          //
                {"P_EXCLUDED", "2 2"},             // no value: unchanged
                {"P_EXCLUDED", "3 1 -1"}});        // (-6 + 0 + 0 + -1) / 4 truncated to -1
    EXPECT_EQ(img.data[0], -4);
    EXPECT_EQ(img.data[1], 50);
    EXPECT_EQ(img.data[3 * 5 + 3], -2);
    EXPECT_EQ(img.data[4 * 5 + 4], 77);
    EXPECT_EQ(img.data[2 * 5 + 2], 0);
    EXPECT_EQ(img.data[1 * 5 + 3], -1);
    EXPECT_EQ(img.data[3 * 5 + 2], -2); // a neighbour is read, not changed
}

TEST_F(Excl, RoisFirstThenExclusions) {
    IMG img = plain_image(8, 8);
    img.frame[9] = 0; // (1, 1) had no valid value
    const std::string out =
        apply(img, {{"P_EXCLUDED", "2 2"},
                    {"R_ROI", "0 0 3 3"},
                    {"C_ROI", "3 3 1"},      // overlaps the rectangle in (3, 3), (2, 3), (3, 2)
                    {"P_EXCLUDED", "6 6"}}); // outside every ROI: already off
    EXPECT_NE(out.find("# 18 included pixel(s) in 2 roi(s) for calculations\n# 1 excluded pixel(s) by 2 "
                       "mask(s) for calculations\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(img.data[7 * 8 + 7], 0);         // outside the ROIs: value 0
    EXPECT_EQ(img.data[3 * 8 + 4], 1000 + 28); // inside the circle ROI
    EXPECT_EQ(img.data[2 * 8 + 2], 1000 + 18); // excluded without a value: kept
    EXPECT_EQ(img.frame[3 * 8 + 4], 3);        // stays on with its frame count
    EXPECT_EQ(img.frame[9], 0);                // had none: stays off
    EXPECT_EQ(img.frame[2 * 8 + 2], 0);
    EXPECT_EQ(off_pixels(img), 64 - 18 + 1 + 1);
}

TEST_F(Excl, WithoutZonesNothingChanges) {
    IMG img = plain_image(4, 4);
    img.frame[3] = 0;
    const IMG before = plain_image(4, 4);
    EXPECT_EQ(apply(img, {}), "");
    EXPECT_EQ(img.data, before.data);
    EXPECT_EQ(off_pixels(img), 1);
}

TEST_F(Excl, WithoutEarlierCountsPixelsStayOnWithOne) {
    IMG img = plain_image(4, 4);
    img.frame.clear();
    apply(img, {{"P_EXCLUDED", "0 0"}});
    ASSERT_EQ(img.frame.size(), 16u);
    EXPECT_EQ(img.frame[0], 0);
    EXPECT_EQ(img.frame[1], 1);
}

TEST_F(Excl, PrintBitReportsEachZone) {
    IMG img = plain_image(16, 16);
    const std::string out = apply(img,
                                  {{"C_ROI", "4 4 1"},
                                   {"T_ROI", "8 8 10 8 8 10"},
                                   {"R_ROI", "0 0 1 1"},
                                   {"P_EXCLUDED", "4 4"},
                                   {"C_EXCLUDED", "8 8 0"}},
                                  0x20);
    const char* expected = "# including circle 4 4 radius 1  : 5 pixels included\n"
                           "# including triangle 8 8  10 8   8 10  : 6 pixels included\n"
                           "# including rectangle 0 0 1 1  : 4 pixels included\n"
                           "# 15 included pixel(s) in 3 roi(s) for calculations\n"
                           "# excluding pixel 4 4\n"
                           "# excluding circle 8 8 radius 0  : 1 pixels excluded\n"
                           "# 2 excluded pixel(s) by 2 mask(s) for calculations\n";
    EXPECT_NE(out.find(expected), std::string::npos) << out;
}

TEST_F(Excl, ImageWithoutMatchingPlanesIsRefused) {
    IMG img = plain_image(4, 4);
    img.data.resize(10);
    testing::internal::CaptureStdout();
    excl_ini(excl, EXCL_POINT, "0 0");
    const std::string err = zt::fatal_report([&] { excl_image(excl, {}, img, 0); });
    testing::internal::GetCapturedStdout();
    EXPECT_NE(err.find("no matching planes"), std::string::npos) << err;
}

// ---------------------------------------------------------------- mask files

// Saves a mask of `img` under `text` and returns standard output.
std::string save(const std::string& text, IMG& img) {
    testing::internal::CaptureStdout();
    excl_save(text, img, 0);
    return testing::internal::GetCapturedStdout();
}

struct SaveCase {
    const char* text;
    const char* file;
    int32_t nx, ny;
};

class ExclSave : public Excl, public testing::WithParamInterface<SaveCase> {};

// A mask saved by every writer reads back into the same switched-off pixels,
// and the image saved from keeps its own values, name and statistics.
TEST_P(ExclSave, RoundTripGivesTheSamePixels) {
    const SaveCase& c = GetParam();
    IMG img = plain_image(c.nx, c.ny, 4);
    apply(img, {{"R_EXCLUDED", "1 0 2 1"}, {"P_EXCLUDED", "0 2"}});
    img.mean = 12.5;
    const std::vector<int32_t> values = img.data;
    const std::string out = save(c.text, img);
    EXPECT_EQ(out.rfind("saving frame into mask file\n", 0), 0u) << out;
    ASSERT_TRUE(zt::file_exists(c.file)) << out;
    EXPECT_EQ(img.data, values);
    EXPECT_EQ(img.name, "img");
    EXPECT_EQ(img.mean, 12.5);

    excl = ExclState();
    IMG next = plain_image(c.nx, c.ny, 4);
    const std::string read = apply(next, {{"F_EXCLUDED", c.file}});
    EXPECT_EQ(next.frame, img.frame) << read;
    EXPECT_NE(read.find("# 5 excluded pixel(s) by 1 mask(s) for calculations"), std::string::npos) << read;
    EXPECT_EQ(next.data[2 * c.nx], 0);
}

INSTANTIATE_TEST_SUITE_P(Writers, ExclSave,
                         testing::Values(SaveCase{"", "mask.tif", 5, 4}, SaveCase{"=.gel", "mask.gel", 5, 4},
                                         SaveCase{" .kvf", "mask.kvf", 4, 5},
                                         SaveCase{"run1.txt", "run1.txt", 4, 5},
                                         // The text writer writes a wide image transposed.
                                         SaveCase{"wide.txt", "wide.txt", 7, 3},
                                         SaveCase{"run2.tiff", "run2.tiff", 3, 3}));

TEST_F(Excl, SavingWithoutFrameCountsIsRefused) {
    IMG img = plain_image(3, 3);
    img.frame.clear();
    testing::internal::CaptureStdout();
    const std::string err = zt::fatal_report([&] { excl_save("", img, 0); });
    testing::internal::GetCapturedStdout();
    EXPECT_NE(err.find("no frame to write"), std::string::npos) << err;
    EXPECT_FALSE(zt::file_exists("mask.tif"));
}

struct MismatchCase {
    int32_t mask_nx, mask_ny, image_nx, image_ny;
    const char* file;
    const char* sizes; // as the refusal names them: the file's own layout first
};

class ExclMaskSize : public Excl, public testing::WithParamInterface<MismatchCase> {};

TEST_P(ExclMaskSize, MaskOfAnotherLayoutIsRefused) {
    const MismatchCase& c = GetParam();
    IMG mask = plain_image(c.mask_nx, c.mask_ny);
    save(c.file, mask);
    IMG img = plain_image(c.image_nx, c.image_ny);
    const std::vector<int32_t> values = img.data;
    testing::internal::CaptureStdout();
    excl_ini(excl, EXCL_FILE, c.file);
    testing::internal::GetCapturedStdout();
    const std::string err = zt::fatal_report([&] { excl_image(excl, {}, img, 0); });
    EXPECT_NE(err.find(std::string("mask file '") + c.file + "' is " + c.sizes), std::string::npos) << err;
    EXPECT_EQ(img.data, values);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ExclMaskSize,
    testing::Values(MismatchCase{4, 4, 5, 4, "small.tif", "4 * 4 pixels, image 'img' is 5 * 4"},
                    MismatchCase{5, 4, 4, 5, "swap.kvf", "5 * 4 pixels, image 'img' is 4 * 5"},
                    MismatchCase{7, 3, 7, 4, "wide.txt", "3 * 7 pixels, image 'img' is 7 * 4"},
                    MismatchCase{6, 6, 6, 5, "fewer.gel", "6 * 6 pixels, image 'img' is 6 * 5"}));

// The decoded mask is kept while the file stays the same, and read again
// once it changed.
TEST_F(Excl, ChangedMaskFileIsReadAgain) {
    IMG mask = plain_image(6, 6);
    apply(mask, {{"P_EXCLUDED", "1 1"}});
    save("m.kvf", mask);
    excl = ExclState();
    testing::internal::CaptureStdout();
    excl_ini(excl, EXCL_FILE, "m.kvf");
    testing::internal::GetCapturedStdout();

    IMG first = plain_image(6, 6);
    apply(first, {});
    IMG second = plain_image(6, 6);
    apply(second, {});
    EXPECT_EQ(first.frame, second.frame);
    EXPECT_EQ(off_pixels(second), 1);

    IMG other = plain_image(6, 6);
    std::fill(other.frame.begin(), other.frame.begin() + 6, uint16_t{0});
    save("m.kvf", other);
    struct utimbuf times = {1000000000, 1000000000}; // differs from the first file's time
    ASSERT_EQ(::utime("m.kvf", &times), 0);
    IMG third = plain_image(6, 6);
    apply(third, {});
    EXPECT_EQ(off_pixels(third), 6);
    EXPECT_TRUE(is_off(third, 5, 0));
    EXPECT_FALSE(is_off(third, 1, 1));
}

} // namespace
