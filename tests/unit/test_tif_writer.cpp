// Signed 32-bit and float TIFF output: values as they are, -1 or NaN where no
// frame counted, read back by zandor and by libtiff; failures leave no file.
#include "fatal_capture.hpp"
#include "read_back.hpp"
#include "test_support.hpp"
#include "tif_writer.hpp"

#include <tiffio.h>

#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

class TifWriter : public zt::InTempDir {};

// The first page as libtiff reads it, strip after strip, and its tags.
struct LibtiffPage {
    uint16_t bits = 0, format = 0, photometric = 0;
    double min = 0.0, max = 0.0;
    uint32_t strips = 0;
    std::vector<int32_t> ints;
    std::vector<float> floats;
};

LibtiffPage read_with_libtiff(const std::string& path) {
    LibtiffPage p;
    TIFF* tif = TIFFOpen(path.c_str(), "rc"); // the strips as stored, not cut into pieces
    if (!tif) {
        ADD_FAILURE() << "libtiff cannot open " << path;
        return p;
    }
    uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &p.bits);
    TIFFGetField(tif, TIFFTAG_SAMPLEFORMAT, &p.format);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &p.photometric);
    TIFFGetField(tif, TIFFTAG_SMINSAMPLEVALUE, &p.min);
    TIFFGetField(tif, TIFFTAG_SMAXSAMPLEVALUE, &p.max);
    p.strips = TIFFNumberOfStrips(tif);
    std::vector<uint8_t> bytes(size_t{width} * height * 4);
    tmsize_t at = 0;
    for (uint32_t s = 0; s < p.strips; ++s)
        at += TIFFReadEncodedStrip(tif, s, bytes.data() + at, -1);
    TIFFClose(tif);
    EXPECT_EQ(static_cast<size_t>(at), bytes.size());
    p.ints.resize(bytes.size() / 4);
    p.floats.resize(bytes.size() / 4);
    std::memcpy(p.ints.data(), bytes.data(), bytes.size());
    std::memcpy(p.floats.data(), bytes.data(), bytes.size());
    return p;
}

std::vector<float> expected_floats(const IMG& img) {
    std::vector<float> v;
    for (size_t i = 0; i < img.data.size(); ++i)
        v.push_back(img.frame[i] == 0 ? NAN : static_cast<float>(img.data[i]));
    return v;
}

// Shapes on both sides of the 8 MiB strip (2 097 152 values): one strip, two.
struct Shape {
    int32_t nx, ny, low, high, one_in;
    uint32_t strips;
};
const Shape kShapes[] = {
    {1, 1, 5, 5, 1000, 1},
    {7, 5, -100, 100, 4, 1},
    {1024, 2048, -50, 1 << 24, 50, 1},
    {1024, 2049, -50, 1 << 24, 50, 2},
    {300, 3, INT32_MIN + 1, INT32_MAX, 3, 1},
};

TEST_F(TifWriter, ValuesComeBackAsTheyAreThroughZandorAndLibtiff) {
    unsigned seed = 1;
    for (const Shape& s : kShapes) {
        const IMG img = zt::random_image(s.nx, s.ny, s.low, s.high, s.one_in, seed++);
        for (XySampleType type : {XySampleType::int32, XySampleType::float32}) {
            const bool is_float = type == XySampleType::float32;
            const std::string name = file(is_float ? "f.tif" : "i.tif");
            testing::internal::CaptureStdout();
            tif_write_values(img, name, type);
            testing::internal::GetCapturedStdout();
            const zt::ReadBack ours = zt::read_back(name);
            const LibtiffPage theirs = read_with_libtiff(name);
            SCOPED_TRACE(testing::Message() << s.nx << "x" << s.ny << (is_float ? " float" : " int"));
            EXPECT_EQ(theirs.bits, 32);
            EXPECT_EQ(theirs.photometric, PHOTOMETRIC_MINISBLACK);
            EXPECT_EQ(theirs.strips, s.strips);
            int32_t min = 0, max = 0;
            std::vector<int32_t> ints = zt::expected_ints(img);
            std::vector<float> floats = expected_floats(img);
            if (is_float) {
                EXPECT_EQ(theirs.format, SAMPLEFORMAT_IEEEFP);
                EXPECT_TRUE(zt::same_floats(ours.floats, floats));
                EXPECT_TRUE(zt::same_floats(theirs.floats, floats));
                std::vector<int32_t> unmarked;
                for (size_t i = 0; i < img.data.size(); ++i)
                    if (img.frame[i] != 0) unmarked.push_back(img.data[i]);
                if (!unmarked.empty()) {
                    min = *std::min_element(unmarked.begin(), unmarked.end());
                    max = *std::max_element(unmarked.begin(), unmarked.end());
                }
            } else {
                EXPECT_EQ(theirs.format, SAMPLEFORMAT_INT);
                EXPECT_EQ(ours.ints, ints);
                EXPECT_EQ(theirs.ints, ints);
                min = *std::min_element(ints.begin(), ints.end());
                max = *std::max_element(ints.begin(), ints.end());
            }
            // The range is stored in the sample format: floats for float files.
            EXPECT_EQ(theirs.min,
                      is_float ? static_cast<double>(static_cast<float>(min)) : static_cast<double>(min));
            EXPECT_EQ(theirs.max,
                      is_float ? static_cast<double>(static_cast<float>(max)) : static_cast<double>(max));
        }
    }
}

// Nothing but the files written is left in the directory.
std::vector<std::string> entries_of(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.' || std::strlen(e->d_name) > 2) names.push_back(e->d_name);
    if (d) closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(TifWriter, AMissingDirectoryStopsTheRunAndLeavesNothing) {
    const IMG img = zt::random_image(4, 4, 0, 9, 5, 7);
    const std::string report =
        zt::fatal_report([&] { tif_write_values(img, file("nowhere/x.tif"), XySampleType::int32); });
    EXPECT_NE(report.find("unable to open tif file"), std::string::npos) << report;
    EXPECT_TRUE(entries_of(dir_->path()).empty());
}

} // namespace
