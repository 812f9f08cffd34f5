// Image record: settings keys, region and binning geometry, binning of raw
// regions, frame-count correction and orientation.
#include "fatal_capture.hpp"
#include "test_support.hpp"
#include "xy_lib.hpp"

#include <climits>
#include <cmath>

namespace {

testing::AssertionResult has_text(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "'" << part << "' not in '" << text << "'";
}

// A record tied to a frame file of the given dimensions.
IMG record_for(uint16_t dim_x, uint16_t dim_y) {
    IMG img;
    img.hdr = std::make_unique<HDR>();
    img.hdr->dim_x = dim_x;
    img.hdr->dim_y = dim_y;
    return img;
}

std::string setsize_failure(IMG& img) {
    return zt::fatal_report([&] { xy_setsize(img); });
}

IniTag tag(const std::string& key, const std::string& value) {
    IniTag t;
    t.key = key;
    t.value = value;
    t.has_value = true;
    return t;
}

// A binned image geometry without a file: nx * ny bins of x_bind * y_bind
// pixels inside a region of reg_width * reg_height.
IMG binned(int32_t nx, int32_t ny, int32_t x_bind, int32_t y_bind, int32_t reg_width, int32_t reg_height) {
    IMG img;
    img.nx = nx;
    img.ny = ny;
    img.size = nx * ny;
    img.x_bind = x_bind;
    img.y_bind = y_bind;
    img.reg_width = reg_width;
    img.reg_height = reg_height;
    return img;
}

// 3 x 2 image, values 0..5 row by row, frame counts 10..15.
IMG small_image(const std::string& orien) {
    IMG img = binned(3, 2, 1, 1, 3, 2);
    img.data = {0, 1, 2, 3, 4, 5};
    img.frame = {10, 11, 12, 13, 14, 15};
    img.orien = orien;
    return img;
}

// ---------------------------------------------------------------- geometry

TEST(RecordGeometry, RegionIsTrimmedToTheBinningButReadUntrimmed) {
    IMG img = record_for(1000, 1000);
    img.x_min = 10;
    img.x_max = 105;
    img.x_bind = 4;
    xy_setsize(img);
    EXPECT_EQ(img.reg_width, 95);
    EXPECT_EQ(img.x_max, 102);
    EXPECT_EQ(img.nx, 23);
    EXPECT_EQ(img.ny, 1000);
    EXPECT_EQ(img.y_bind, 1);
    EXPECT_EQ(img.reg_height, 1000);
    EXPECT_EQ(img.reg_size, 95000);
    EXPECT_EQ(img.size, 23000);
    EXPECT_EQ(img.file_size, 1000000);
    EXPECT_EQ(img.dim_x, 1000);
    EXPECT_EQ(img.dim_y, 1000);
    testing::internal::CaptureStdout();
    xy_prtsize(img);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "# effective size : (102-10)/4 * (1000-0)/1 => 23 * 1000 = 23000\n");
}

TEST(RecordGeometry, OutOfRangeBoundsFallBackInsideTheFrame) {
    // X_MIN at or beyond the width restarts at 0 rather than the last column;
    // X_MAX beyond the width is cut; 0 means the full extent.
    for (int32_t x_min : {100, 150, -5}) {
        IMG img = record_for(100, 50);
        img.x_min = x_min;
        img.x_max = 0;
        img.y_min = 10;
        img.y_max = 500;
        xy_setsize(img);
        EXPECT_EQ(img.x_min, 0) << x_min;
        EXPECT_EQ(img.x_max, 100);
        EXPECT_EQ(img.nx, 100);
        EXPECT_EQ(img.y_min, 10);
        EXPECT_EQ(img.y_max, 50);
        EXPECT_EQ(img.ny, 40);
        EXPECT_EQ(img.size, 4000);
    }
}

TEST(RecordGeometry, BinningBelowOneIsOneAndBothAxesTrim) {
    IMG img = record_for(10, 9);
    img.x_bind = -3;
    img.y_bind = 4; // 9 rows: the last one is left out of the bins
    xy_setsize(img);
    EXPECT_EQ(img.x_bind, 1);
    EXPECT_EQ(img.nx, 10);
    EXPECT_EQ(img.y_max, 8);
    EXPECT_EQ(img.reg_height, 9);
    EXPECT_EQ(img.ny, 2);
    EXPECT_EQ(img.size, 20);
    EXPECT_EQ(img.reg_size, 90);
}

TEST(RecordGeometry, EmptyOrInvertedRegionsStopWithTheirName) {
    IMG x_inverted = record_for(100, 100);
    x_inverted.x_min = 60;
    x_inverted.x_max = 20;
    EXPECT_TRUE(has_text(setsize_failure(x_inverted), "region X_MIN 60 X_MAX 20"));
    EXPECT_EQ(x_inverted.size, 0);

    IMG y_empty = record_for(100, 100);
    y_empty.y_min = 30;
    y_empty.y_max = 30;
    EXPECT_TRUE(has_text(setsize_failure(y_empty), "region Y_MIN 30 Y_MAX 30"));

    // Both axes inverted would give nx = ny = -1 and a positive size of 1.
    IMG both = record_for(100, 100);
    both.x_min = 50;
    both.x_max = 49;
    both.y_min = 50;
    both.y_max = 49;
    EXPECT_TRUE(has_text(setsize_failure(both), "empty or inverted region X_MIN 50 X_MAX 49"));
    EXPECT_EQ(both.size, 0);
    EXPECT_EQ(both.nx, 0);

    IMG negative_max = record_for(100, 100);
    negative_max.x_max = -1;
    EXPECT_TRUE(has_text(setsize_failure(negative_max), "X_MAX -1"));

    IMG no_pixels = record_for(0, 0);
    EXPECT_TRUE(has_text(setsize_failure(no_pixels), "empty or inverted region"));
}

TEST(RecordGeometry, BinningWiderThanTheRegionStops) {
    IMG img = record_for(100, 100);
    img.x_min = 10;
    img.x_max = 13;
    img.x_bind = 4;
    EXPECT_TRUE(has_text(setsize_failure(img), "X_BIND 4 is larger than the region X_MIN 10 to X_MAX 13"));
}

TEST(RecordGeometry, ExtremeSettingsNeverOverflow) {
    IMG img = record_for(64, 32);
    img.x_min = INT_MIN;
    img.x_max = INT_MAX;
    img.y_min = INT_MAX;
    img.y_max = INT_MAX;
    img.x_bind = INT_MIN;
    img.y_bind = 2;
    xy_setsize(img);
    EXPECT_EQ(img.x_min, 0);
    EXPECT_EQ(img.x_max, 64);
    EXPECT_EQ(img.x_bind, 1);
    EXPECT_EQ(img.y_min, 0);
    EXPECT_EQ(img.ny, 16);
    EXPECT_EQ(img.size, 64 * 16);

    IMG huge_bind = record_for(64, 32);
    huge_bind.x_bind = INT_MAX;
    EXPECT_TRUE(has_text(setsize_failure(huge_bind), "X_BIND 2147483647"));

    IMG lowest_max = record_for(64, 32);
    lowest_max.y_min = 5;
    lowest_max.y_max = INT_MIN;
    EXPECT_TRUE(has_text(setsize_failure(lowest_max), "Y_MAX -2147483648"));
}

TEST(RecordGeometry, SizesBeyond32BitsAreRefusedBeforeAnything) {
    IMG fits = record_for(65535, 32768); // 2147450880 pixels: still a 32-bit count
    xy_setsize(fits);
    EXPECT_EQ(fits.size, 2147450880);
    EXPECT_EQ(fits.file_size, 2147450880);

    IMG too_big = record_for(65535, 32769);
    EXPECT_TRUE(has_text(setsize_failure(too_big), "frame size 65535 * 32769 exceeds"));
    EXPECT_EQ(too_big.size, 0);
    EXPECT_EQ(too_big.file_size, 0);
    EXPECT_TRUE(too_big.data.empty());
}

TEST(RecordGeometry, NeedsAFrameFile) {
    IMG img;
    EXPECT_TRUE(has_text(setsize_failure(img), "has no frame file"));
}

// ---------------------------------------------------------------- settings

TEST(RecordSettings, LibraryKeysAreStoredAndEchoed) {
    IMG img;
    testing::internal::CaptureStdout();
    EXPECT_EQ(xy_inipar(img, tag("X_MIN", "10")), 1);
    EXPECT_EQ(xy_inipar(img, tag("Y_MAX", "-7")), 1);
    EXPECT_EQ(xy_inipar(img, tag("X_BIND", "4")), 1);
    EXPECT_EQ(xy_inipar(img, tag("MULT", "2.5")), 1);
    EXPECT_EQ(xy_inipar(img, tag("END_FRAME", "12")), 1);
    EXPECT_EQ(xy_inipar(img, tag("XY_ORIEN", "-X,Y")), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(img.x_min, 10);
    EXPECT_EQ(img.y_max, -7);
    EXPECT_EQ(img.x_bind, 4);
    EXPECT_FLOAT_EQ(img.mult, 2.5f);
    EXPECT_EQ(img.end_frame, 12);
    EXPECT_EQ(img.orien, "-X,Y");
    EXPECT_TRUE(has_text(out, "      X_MIN= 10\n"));
    EXPECT_TRUE(has_text(out, "       MULT= 2.5\n"));
    EXPECT_TRUE(has_text(out, "   XY_ORIEN= '-X,Y'\n"));
}

TEST(RecordSettings, OtherKeysAreLeftToTheNextHandler) {
    IMG img;
    testing::internal::CaptureStdout();
    EXPECT_EQ(xy_inipar(img, tag("T_COSMIC", "3")), 0);
    EXPECT_EQ(xy_inipar(img, tag("x_min", "3")), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(img.x_min, 0);
    EXPECT_FLOAT_EQ(img.t_cosmic, 0.0f);
}

TEST(RecordSettings, UsageListsTheKeysInOrder) {
    testing::internal::CaptureStderr();
    xy_iniuse();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind(" Items used in the .ini file\n  X_MIN = \n  Y_MIN = \n  X_MAX = \n", 0), 0u);
    EXPECT_TRUE(has_text(err, "  END_FRAME = \n  XY_ORIEN = X,Y (default), '-X,Y' 'X,-Y' '-Y,X' after read, "
                              "bind and mask for grid and output\n  MULT   = \n"));
}

TEST(RecordSettings, AcquisitionCopiesGeometryAndReadingSettingsOnly) {
    IMG settings = record_for(40, 20);
    settings.x_bind = 2;
    settings.x_min = 3;
    xy_setsize(settings);
    settings.beg_frame = 2;
    settings.end_frame = 9;
    settings.t_cosmic = 1.5f;
    settings.s_cosmic = 2.5f;
    settings.p_cosmic = 3.5f;
    settings.h_cosmic = 4.5f;
    settings.r_cosmic = 5.5f;
    settings.orien = "X,-Y";
    settings.mult = 0.25f;
    settings.frames = 7;
    settings.name = "base.kvf";
    settings.data = {1, 2, 3};

    IMG acq;
    xy_imgini(acq, settings);
    EXPECT_EQ(acq.x_min, 3);
    EXPECT_EQ(acq.x_max, 39);
    EXPECT_EQ(acq.reg_width, 37);
    EXPECT_EQ(acq.nx, 18);
    EXPECT_EQ(acq.ny, 20);
    EXPECT_EQ(acq.size, 360);
    EXPECT_EQ(acq.file_size, 800);
    EXPECT_EQ(acq.reg_size, 740);
    EXPECT_EQ(acq.beg_frame, 2);
    EXPECT_EQ(acq.end_frame, 9);
    EXPECT_FLOAT_EQ(acq.t_cosmic, 1.5f);
    EXPECT_FLOAT_EQ(acq.s_cosmic, 2.5f);
    EXPECT_FLOAT_EQ(acq.p_cosmic, 3.5f);
    EXPECT_FLOAT_EQ(acq.h_cosmic, 4.5f);
    EXPECT_FLOAT_EQ(acq.r_cosmic, 5.5f);
    EXPECT_EQ(acq.orien, "X,-Y");
    EXPECT_FLOAT_EQ(acq.mult, 0.25f);
    EXPECT_EQ(acq.frames, 0);
    EXPECT_EQ(acq.name, "");
    EXPECT_TRUE(acq.data.empty());
    EXPECT_FALSE(acq.hdr);
}

TEST(RecordSettings, PixelTypeWidthsAreAccepted) {
    EXPECT_NO_THROW(xy_chktype());
}

// ---------------------------------------------------------------- binning

TEST(RegionBinning, IntegerBinsSumTheirPixelsAndIgnoreTrimmedColumns) {
    // A 5 x 4 region binned 2 x 2: the fifth column is read but not binned.
    IMG img = binned(2, 2, 2, 2, 5, 4);
    const std::vector<int32_t> raw = {1,  2,  3,  4,  1000, //
                                      5,  6,  7,  8,  1000, //
                                      9,  10, 11, 12, 1000, //
                                      13, 14, 15, 16, 1000};
    EXPECT_EQ(xy32_bind(img, raw.data()), (std::vector<int32_t>{14, 22, 46, 54}));
}

TEST(RegionBinning, IntegerSumsWrapAt32Bits) {
    IMG img = binned(1, 1, 2, 1, 2, 1);
    const std::vector<int32_t> raw = {INT32_MAX, 1};
    EXPECT_EQ(xy32_bind(img, raw.data()), (std::vector<int32_t>{INT32_MIN}));
}

TEST(RegionBinning, FloatBinsTruncateTheRunningTotal) {
    IMG img = binned(3, 1, 2, 1, 6, 1);
    // 1.2 + 1.2: trunc(0 + 1.7) = 1, trunc(1 + 1.7) = 2 (a rounded sum would give 3).
    // -1.2 + -1.2: trunc(-0.7) = 0 twice.
    // 2.6 + 0: trunc(3.1) = 3, trunc(3.5) = 3.
    const std::vector<float> raw = {1.2f, 1.2f, -1.2f, -1.2f, 2.6f, 0.0f};
    EXPECT_EQ(xy32f_bind(img, raw.data()), (std::vector<int32_t>{2, 0, 3}));
}

TEST(RegionBinning, FloatBinsSaturateInsteadOfOverflowing) {
    IMG img = binned(3, 1, 2, 1, 6, 1);
    const std::vector<float> raw = {3e9f, 5.0f, -3e9f, -1e30f, NAN, 4.2f};
    EXPECT_EQ(xy32f_bind(img, raw.data()), (std::vector<int32_t>{INT32_MAX, INT32_MIN, 4}));
}

TEST(RegionBinning, SaturatedPixelsAreCountedAndLeftOutOfTheSum) {
    IMG img = binned(2, 2, 2, 2, 4, 4);
    const std::vector<uint16_t> raw = {1,  2,     3,     4,     //
                                       5,  65535, 7,     8,     //
                                       9,  10,    65535, 65535, //
                                       13, 14,    65535, 65535};
    double sum = -1;
    EXPECT_EQ(satbind16(img, raw.data(), 0, sum), 1);
    EXPECT_DOUBLE_EQ(sum, 1 + 2 + 5);
    EXPECT_EQ(satbind16(img, raw.data(), 1, sum), 0);
    EXPECT_DOUBLE_EQ(sum, 3 + 4 + 7 + 8);
    EXPECT_EQ(satbind16(img, raw.data(), 2, sum), 0);
    EXPECT_DOUBLE_EQ(sum, 9 + 10 + 13 + 14);
    EXPECT_EQ(satbind16(img, raw.data(), 3, sum), 4);
    EXPECT_DOUBLE_EQ(sum, 0.0);
}

TEST(RegionBinning, BinsOutsideTheRegionAreRefused) {
    // Four rows of bins of height 2 need 8 raw rows; the region has 4.
    IMG img = binned(2, 4, 2, 2, 4, 4);
    const std::vector<int32_t> raw(16, 1);
    const std::vector<float> raw_f(16, 1.0f);
    const std::vector<uint16_t> raw_u(16, 1);
    EXPECT_TRUE(
        has_text(zt::fatal_report([&] { xy32_bind(img, raw.data()); }), "do not fit the region 4 * 4"));
    EXPECT_TRUE(has_text(zt::fatal_report([&] { xy32f_bind(img, raw_f.data()); }), "xy32f_bind"));
    double sum = 0;
    EXPECT_TRUE(has_text(zt::fatal_report([&] { satbind16(img, raw_u.data(), 0, sum); }), "satbind16"));
    IMG fits = binned(2, 2, 2, 2, 4, 4);
    EXPECT_TRUE(has_text(zt::fatal_report([&] { satbind16(fits, raw_u.data(), 4, sum); }), "bin 4 outside"));
}

// ---------------------------------------------------------------- frame-count correction

TEST(FrameCountCorrection, ScalesToTheFullFrameCount) {
    IMG img;
    img.frames = 10;
    img.data = {95, -95, 7, 7, 300000000};
    img.frame = {9, 9, 0, 10, 9};
    EXPECT_EQ(xy_valcor(img, 0), 105);  // 950 / 9 = 105
    EXPECT_EQ(xy_valcor(img, 1), -104); // -105 + 0.5 truncated toward zero
    EXPECT_EQ(xy_valcor(img, 2), 7);    // no valid frame: unchanged
    EXPECT_EQ(xy_valcor(img, 3), 7);    // all frames: unchanged
    // 3e9 wraps to -1294967296 in 32 bits; / 9 = -143885255; + 0.5 -> -143885254.
    EXPECT_EQ(xy_valcor(img, 4), -143885254);
}

TEST(FrameCountCorrection, RecordWithoutCountsKeepsItsValues) {
    IMG img;
    img.frames = 10;
    img.data = {95};
    EXPECT_EQ(xy_valcor(img, 0), 95);
}

// ---------------------------------------------------------------- orientation

TEST(Orientation, MirrorXMovesColumnsWithTheirFrameCountsAndTimeSeries) {
    IMG img = small_image("-X,Y");
    img.cosmic.sumq = {0, 1, 4, 9, 16, 25};
    img.cosmic.mval = {20, 21, 22, 23, 24, 25};
    img.cosmic.mframe = {1, 2, 3, 4, 5, 6};
    testing::internal::CaptureStdout();
    xy_orien(img);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "# xy_orien '-X,Y'\n");
    EXPECT_EQ(img.data, (std::vector<int32_t>{2, 1, 0, 5, 4, 3}));
    EXPECT_EQ(img.frame, (std::vector<uint16_t>{12, 11, 10, 15, 14, 13}));
    EXPECT_EQ(img.cosmic.sumq, (std::vector<double>{4, 1, 0, 25, 16, 9}));
    EXPECT_EQ(img.cosmic.mval, (std::vector<int32_t>{22, 21, 20, 25, 24, 23}));
    EXPECT_EQ(img.cosmic.mframe, (std::vector<uint16_t>{3, 2, 1, 6, 5, 4}));
}

TEST(Orientation, MirrorYMovesRowsAndWorksWithoutFrameCounts) {
    IMG img = small_image("X,-Y");
    xy_orien(img);
    EXPECT_EQ(img.data, (std::vector<int32_t>{3, 4, 5, 0, 1, 2}));
    EXPECT_EQ(img.frame, (std::vector<uint16_t>{13, 14, 15, 10, 11, 12}));

    IMG no_counts = small_image("X,-Y");
    no_counts.frame.clear();
    xy_orien(no_counts);
    EXPECT_EQ(no_counts.data, (std::vector<int32_t>{3, 4, 5, 0, 1, 2}));
    EXPECT_TRUE(no_counts.frame.empty());
}

TEST(Orientation, IdentityPrintsAndAbsentIsSilent) {
    IMG identity = small_image("X,Y");
    testing::internal::CaptureStdout();
    xy_orien(identity);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "# xy_orien 'X,Y'\n");
    EXPECT_EQ(identity.data, (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));

    IMG absent = small_image("");
    testing::internal::CaptureStdout();
    xy_orien(absent);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(absent.data, (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));
}

TEST(Orientation, UnknownTextStopsWithStatus3) {
    // "-Y,X" is named by the usage text but not implemented.
    IMG img = small_image("-Y,X");
    const zt::FatalOutput stopped = zt::fatal_output([&] { xy_orien(img); });
    EXPECT_EQ(stopped.out, "# xy_orien '-Y,X'\nUNRECOGNIZE CASE, or not IMPLEMENTED!\n");
    EXPECT_TRUE(has_text(stopped.err, "'-Y,X'"));
    EXPECT_EQ(img.data, (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));
}

TEST(Orientation, PlanesShorterThanTheSizeAreRefused) {
    IMG img = small_image("-X,Y");
    img.data.resize(4);
    EXPECT_TRUE(has_text(zt::fatal_output([&] { xy_orien(img); }).err, "do not match its size 6"));
}

TEST(Orientation, PixelPositionsFollowTheImage) {
    IMG img = small_image("-X,Y");
    double x = 0.5, y = 1.25;
    testing::internal::CaptureStdout();
    xy_orien_pixel(img, x, y);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "# xy_orien_pixel '-X,Y' on 0.50 1.25\n");
    EXPECT_DOUBLE_EQ(x, 2.5);
    EXPECT_DOUBLE_EQ(y, 1.25);

    img.orien = "X,-Y";
    testing::internal::CaptureStdout();
    xy_orien_pixel(img, x, y);
    testing::internal::GetCapturedStdout();
    EXPECT_DOUBLE_EQ(x, 2.5);
    EXPECT_DOUBLE_EQ(y, 0.75);

    for (const char* silent : {"", "X,Y"}) {
        img.orien = silent;
        testing::internal::CaptureStdout();
        xy_orien_pixel(img, x, y);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_DOUBLE_EQ(x, 2.5);
        EXPECT_DOUBLE_EQ(y, 0.75);
    }

    img.orien = "Y,X";
    EXPECT_EQ(zt::fatal_output([&] { xy_orien_pixel(img, x, y); }).out,
              "# xy_orien_pixel 'Y,X' on 2.50 0.75\nUNRECOGNIZE CASE, or not IMPLEMENTED!\n");
}

} // namespace
