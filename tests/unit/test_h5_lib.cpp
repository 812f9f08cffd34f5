// HDF5 stacks written by libhdf5 itself (plain, gzip, LZ4 and bitshuffle+LZ4
// through the filter plugins) read back pixel for pixel; the dataset search;
// master files with linked data files; the pixel mask; damaged files.
#include "decoded_frames.hpp"
#include "detector_writers.hpp"
#include "expect_json.hpp"
#include "fatal_capture.hpp"
#include "h5_lib.hpp"
#include "test_support.hpp"

#include <hdf5.h>

#include <cmath>

namespace {

using zt::H5Dataset;
using zt::H5Filter;
using zt::H5Pixel;

class H5Files : public zt::InTempDir {
  protected:
    std::unique_ptr<HDR> open(const std::string& name) {
        return h5_open(file(name), "zandor", false, reading);
    }
    XyReadOptions reading;
};

std::string entry(const HDR& hdr, const std::string& key) {
    for (const KvfItem& item : hdr.items)
        if (item.key == key) return item.value;
    return "<absent>";
}

// Values that reach into each pixel type's range: negative for the signed
// types, beyond 16 bits for the 32-bit ones, fractions for floats.
double u16_value(uint64_t f, uint64_t x, uint64_t y) {
    return static_cast<double>((f * 7919 + y * 131 + x * 17) % 65536);
}
double i16_value(uint64_t f, uint64_t x, uint64_t y) {
    return u16_value(f, x, y) - 32768.0;
}
double u8_value(uint64_t f, uint64_t x, uint64_t y) {
    return static_cast<double>((f * 31 + y * 7 + x) % 256);
}
double i8_value(uint64_t f, uint64_t x, uint64_t y) {
    return u8_value(f, x, y) - 128.0;
}
double i32_value(uint64_t f, uint64_t x, uint64_t y) {
    return (u16_value(f, x, y) - 20000.0) * 30011.0;
}
double u32_value(uint64_t f, uint64_t x, uint64_t y) {
    return u16_value(f, x, y) * 32767.0;
}
double f32_value(uint64_t f, uint64_t x, uint64_t y) {
    return (u16_value(f, x, y) - 1000.0) / 8.0;
}

struct PixelCase {
    H5Pixel pixel;
    double (*value)(uint64_t, uint64_t, uint64_t);
    int32_t type; // the record's pixel type

    // The value as the record's pixel type holds it.
    double held(uint64_t f, uint64_t x, uint64_t y) const {
        const double v = value(f, x, y);
        return type == XY_TYPE_FLOAT ? static_cast<float>(v) : v;
    }
};

const PixelCase kPixelCases[] = {
    {H5Pixel::U8, u8_value, XY_TYPE_UINT8},    {H5Pixel::I8, i8_value, XY_TYPE_INT32},
    {H5Pixel::U16, u16_value, XY_TYPE_UINT16}, {H5Pixel::I16, i16_value, XY_TYPE_INT32},
    {H5Pixel::U32, u32_value, XY_TYPE_INT32},  {H5Pixel::I32, i32_value, XY_TYPE_INT32},
    {H5Pixel::F32, f32_value, XY_TYPE_FLOAT},
};
const H5Filter kFilters[] = {H5Filter::None, H5Filter::Gzip, H5Filter::Lz4, H5Filter::BitshuffleLz4};
const char* const kFilterNames[] = {"none", "deflate", "lz4", "bitshuffle+lz4"};

// Every pixel type through every filter: each frame and a window of frame 2
// read back equal to what was written; a frame after the last is no frame.
TEST_F(H5Files, EveryPixelTypeReadsBackThroughEveryFilter) {
    const uint64_t frames = 3, height = 5, width = 7;
    for (size_t fi = 0; fi < std::size(kFilters); ++fi) {
        for (const PixelCase& c : kPixelCases) {
            SCOPED_TRACE(std::string(kFilterNames[fi]) + " type " + std::to_string(c.type));
            {
                zt::H5File out(file("s.h5"));
                out.dataset(zt::h5_stack(frames, height, width, c.pixel, kFilters[fi], c.value));
            }
            std::unique_ptr<HDR> hdr = open("s.h5");
            EXPECT_EQ(hdr->dim_x, width);
            EXPECT_EQ(hdr->dim_y, height);
            EXPECT_EQ(hdr->frames, 3);
            EXPECT_EQ(hdr->type, c.type);
            EXPECT_EQ(hdr->format, XY_FORMAT_H5);
            EXPECT_EQ(entry(*hdr, "H5Filters"), kFilterNames[fi]);
            for (uint64_t f = 0; f < frames; ++f) {
                const std::vector<double> px = zt::decoded_frame(*hdr, static_cast<int32_t>(f + 1));
                ASSERT_EQ(px.size(), width * height);
                for (uint64_t i = 0; i < px.size(); ++i)
                    ASSERT_EQ(px[i], c.held(f, i % width, i / width)) << "frame " << f << " i " << i;
            }
            const XyWindow w{2, 1, 4, 3};
            const std::vector<double> win = zt::decoded_window(*hdr, 2, w);
            ASSERT_EQ(win.size(), 12u);
            for (int64_t i = 0; i < 12; ++i)
                EXPECT_EQ(win[i], c.held(1, w.x0 + i % w.width, w.y0 + i / w.width));
            EXPECT_TRUE(zt::decoded_frame(*hdr, 4).empty());
            EXPECT_TRUE(zt::decoded_frame(*hdr, 0).empty());
        }
    }
}

// A chunk of several frames and partial rows reads the same as one per frame.
TEST_F(H5Files, ChunksAcrossFramesAndRowsReadFrameByFrame) {
    H5Dataset d = zt::h5_stack(5, 9, 6, H5Pixel::U16, H5Filter::Gzip, u16_value);
    d.chunk = {3, 4, 4};
    {
        zt::H5File out(file("c.h5"));
        out.dataset(d);
    }
    std::unique_ptr<HDR> hdr = open("c.h5");
    EXPECT_EQ(entry(*hdr, "H5Chunks"), "3 x 4 x 4");
    for (int32_t f = 1; f <= 5; ++f) {
        const std::vector<double> px = zt::decoded_frame(*hdr, f);
        for (uint64_t i = 0; i < px.size(); ++i)
            ASSERT_EQ(px[i], u16_value(f - 1, i % 6, i / 6));
    }
}

// Which dataset is read when a file holds several.
TEST_F(H5Files, TheImageDatasetIsFoundInItsOrder) {
    struct Case {
        std::vector<std::string> three_d; // 3-D stacks written
        std::vector<std::string> two_d;   // 2-D images written
        std::string h5_data;
        std::string read;
        int32_t frames;
    };
    const Case cases[] = {
        {{"/entry/instrument/detector/data", "/entry/data/data"}, {}, "", "/entry/data/data", 2},
        {{"/entry/instrument/detector/data", "/other/stack"}, {}, "", "/entry/instrument/detector/data", 2},
        {{"/b/stack"}, {"/a/image"}, "", "/b/stack", 2},
        {{}, {"/z/image", "/y/image"}, "", "/y/image", 1},
        {{"/entry/data/data"}, {"/calib/flat"}, "/calib/flat", "/calib/flat", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.read);
        double base = 0;
        {
            zt::H5File out(file("f.h5"));
            for (const std::string& p : c.three_d) {
                H5Dataset d = zt::h5_stack(2, 3, 4, H5Pixel::I32, H5Filter::None, i32_value);
                d.path = p;
                for (double& v : d.values)
                    v += ++base * 1000;
                out.dataset(d);
            }
            for (const std::string& p : c.two_d) {
                H5Dataset d = zt::h5_stack(1, 3, 4, H5Pixel::I32, H5Filter::None, i32_value);
                d.path = p;
                d.dims = {3, 4};
                for (double& v : d.values)
                    v += ++base * 1000;
                out.dataset(d);
            }
        }
        reading.h5_data_path = c.h5_data;
        std::unique_ptr<HDR> hdr = open("f.h5");
        EXPECT_EQ(entry(*hdr, "H5Dataset"), c.read);
        EXPECT_EQ(hdr->frames, c.frames);
    }
}

// A master file whose /entry/data/data_000001 and data_000002 link to two
// data files is one series of their frames, read from any directory.
TEST_F(H5Files, MasterFileJoinsItsLinkedDataFilesInOrder) {
    ASSERT_EQ(0, system(("mkdir -p " + file("run")).c_str()));
    {
        zt::H5File a(file("run/m_data_000001.h5"));
        a.dataset(zt::h5_stack(2, 4, 3, H5Pixel::U16, H5Filter::BitshuffleLz4, u16_value));
        zt::H5File b(file("run/m_data_000002.h5"));
        H5Dataset d = zt::h5_stack(3, 4, 3, H5Pixel::U16, H5Filter::BitshuffleLz4, u16_value);
        for (double& v : d.values)
            v = 65535 - v;
        b.dataset(d);
        zt::H5File m(file("run/m_master.h5"));
        m.external_link("/entry/data/data_000001", "m_data_000001.h5", "/entry/data/data");
        m.external_link("/entry/data/data_000002", "m_data_000002.h5", "/entry/data/data");
        m.scalar("/entry/instrument/beam/incident_wavelength", 1.0332, "angstrom");
        m.scalar("/entry/instrument/detector/count_time", 0.5, "s");
    }
    std::unique_ptr<HDR> hdr = open("run/m_master.h5");
    EXPECT_EQ(hdr->frames, 5);
    EXPECT_EQ(entry(*hdr, "Wavelength"), "1.0332 angstrom");
    EXPECT_EQ(entry(*hdr, "ExposureTime"), "0.5 s");
    EXPECT_EQ(entry(*hdr, "H5Dataset"), "/entry/data/data_000001 -> m_data_000001.h5:/entry/data/data");
    for (int32_t f = 1; f <= 5; ++f) {
        const std::vector<double> px = zt::decoded_frame(*hdr, f);
        ASSERT_EQ(px.size(), 12u);
        for (uint64_t i = 0; i < 12; ++i) {
            const double written =
                f <= 2 ? u16_value(f - 1, i % 3, i / 3) : 65535 - u16_value(f - 3, i % 3, i / 3);
            ASSERT_EQ(px[i], written) << "frame " << f;
        }
    }
    // The second data file gone: a clear report naming the link, at open.
    ASSERT_EQ(0, std::remove(file("run/m_data_000002.h5").c_str()));
    const std::string err = zt::fatal_report([&] { open("run/m_master.h5"); });
    EXPECT_NE(err.find("cannot open the linked data file of '/entry/data/data_000002 -> m_data_000002.h5"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("HDF5-DIAG"), std::string::npos) << err;
}

// The detector's mask in either place, 2-D or 1 x H x W; its count in the header.
TEST_F(H5Files, PixelMaskIsReadFromTheDetectorGroup) {
    for (const std::string path : {"/entry/instrument/detector/pixel_mask",
                                   "/entry/instrument/detector/detectorSpecific/pixel_mask"}) {
        SCOPED_TRACE(path);
        H5Dataset mask;
        mask.path = path;
        mask.pixel = H5Pixel::U32;
        mask.dims = path.find("Specific") != std::string::npos ? std::vector<uint64_t>{3, 4}
                                                               : std::vector<uint64_t>{1, 3, 4};
        mask.values = {0, 1, 0, 0, 0, 0, 0, 2147483648.0, 0, 0, 4, 0};
        {
            zt::H5File out(file("k.h5"));
            out.dataset(zt::h5_stack(1, 3, 4, H5Pixel::U16, H5Filter::None, u16_value));
            out.dataset(mask);
        }
        std::unique_ptr<HDR> hdr = open("k.h5");
        EXPECT_EQ(entry(*hdr, "PixelMask"), path);
        EXPECT_EQ(entry(*hdr, "MaskedPixels"), "3");
        const std::vector<uint8_t> expected = {0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0};
        EXPECT_EQ(hdr->source->pixel_mask(), expected);
    }
    // A mask of another size than the frames is refused.
    {
        zt::H5File out(file("bad.h5"));
        out.dataset(zt::h5_stack(1, 3, 4, H5Pixel::U16, H5Filter::None, u16_value));
        H5Dataset mask;
        mask.path = "/entry/instrument/detector/pixel_mask";
        mask.pixel = H5Pixel::U32;
        mask.dims = {4, 3};
        mask.values.assign(12, 0);
        out.dataset(mask);
    }
    const std::string err = zt::fatal_report([&] { open("bad.h5"); });
    EXPECT_NE(err.find("is not a 4 x 3 integer mask"), std::string::npos) << err;
}

// Image pixels that cover a masked frame pixel get count 0 and value 0,
// through the region and the binning.
TEST(PixelMask, BinsCoveringAMaskedPixelAreEmptied) {
    IMG img;
    img.dim_x = 6;
    img.dim_y = 4;
    img.x_min = 1;
    img.y_min = 0;
    img.x_bind = 2;
    img.y_bind = 2;
    img.nx = 2; // frame columns 1-2 and 3-4
    img.ny = 2;
    img.size = 4;
    img.data = {10, 20, 30, 40};
    img.frame = {5, 5, 5, 5};
    img.cosmic.sumq = {1, 2, 3, 4};
    img.cosmic.mval = {1, 2, 3, 4};
    img.cosmic.mframe = {1, 2, 3, 4};
    std::vector<uint8_t> mask(24, 0);
    mask[0 * 6 + 0] = 1; // column 0: outside the region
    mask[1 * 6 + 4] = 1; // bin (1, 0)
    mask[3 * 6 + 5] = 1; // column 5: outside the region
    EXPECT_EQ(xy_apply_pixel_mask(img, mask), 1);
    EXPECT_EQ(img.data, (std::vector<int32_t>{10, 0, 30, 40}));
    EXPECT_EQ(img.frame, (std::vector<uint16_t>{5, 0, 5, 5}));
    EXPECT_EQ(img.cosmic.sumq, (std::vector<double>{1, 0, 3, 4}));
    mask[2 * 6 + 1] = 1; // bin (0, 1)
    EXPECT_EQ(xy_apply_pixel_mask(img, mask), 2);
    EXPECT_EQ(img.frame, (std::vector<uint16_t>{5, 0, 0, 5}));
}

// Damaged or unusable files end the run with one line, never the library's
// error stack, and never a wrong image.
TEST_F(H5Files, UnusableFilesAreRefusedWithOneLine) {
    {
        zt::H5File out(file("empty.h5"));
        H5Dataset d = zt::h5_stack(0, 3, 4, H5Pixel::U16, H5Filter::None, u16_value);
        out.dataset(d);
        zt::H5File f64(file("f64.h5"));
        H5Dataset e = zt::h5_stack(1, 3, 4, H5Pixel::F64, H5Filter::None, u16_value);
        f64.dataset(e);
        zt::H5File nothing(file("nothing.h5"));
        H5Dataset v;
        v.path = "/entry/data/vector";
        v.dims = {5};
        v.values.assign(5, 1);
        nothing.dataset(v);
        zt::H5File big(file("big.h5"));
        big.dataset(zt::h5_stack(1, 2, 2, H5Pixel::U32, H5Filter::None, [](uint64_t, uint64_t x, uint64_t y) {
            return x == 1 && y == 1 ? 4e9 : 1.0;
        }));
    }
    zt::write_file(file("text.h5"), "not an HDF5 file\n");
    struct Case {
        const char* name;
        const char* h5_data;
        const char* message;
    };
    const Case cases[] = {
        {"empty.h5", "", "dataset '/entry/data/data' of '"},
        {"f64.h5", "", "holds float64 values: not an image pixel type"},
        {"nothing.h5", "", "no 2-D or 3-D image dataset found in '"},
        {"f64.h5", "/entry/nowhere", "H5_DATA dataset '/entry/nowhere' not found in '"},
        {"text.h5", "", "cannot open as HDF5 '"},
    };
    // The library's printing of error stacks is off during our calls only.
    H5E_auto2_t program_handler = nullptr, handler = nullptr;
    void *program_data = nullptr, *data = nullptr;
    H5Eget_auto2(H5E_DEFAULT, &program_handler, &program_data);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reading.h5_data_path = c.h5_data;
        const std::string err = zt::fatal_report([&] { open(c.name); });
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(err.find("HDF5-DIAG"), std::string::npos) << err;
        EXPECT_EQ(err.find("#000"), std::string::npos) << err; // no line of the library's stack
    }
    EXPECT_NE(zt::fatal_report([&] { open("empty.h5"); }).find("holds 0 frames"), std::string::npos);
    H5Eget_auto2(H5E_DEFAULT, &handler, &data);
    EXPECT_NE(program_handler, nullptr);
    EXPECT_TRUE(handler == program_handler && data == program_data);
    reading.h5_data_path.clear();
    std::unique_ptr<HDR> hdr = open("big.h5");
    const std::string err = zt::fatal_report([&] { zt::decoded_frame(*hdr, 1); });
    EXPECT_NE(err.find("pixel (1, 1) of frame 1 of '"), std::string::npos) << err;
    EXPECT_NE(err.find("holds 4000000000, beyond the 32-bit pixel range"), std::string::npos) << err;
}

// A chunk whose compressed bytes are damaged stops the run at that frame.
TEST_F(H5Files, ChunkThatFailsToDecompressIsReported) {
    {
        zt::H5File out(file("z.h5"));
        out.dataset(zt::h5_stack(2, 8, 8, H5Pixel::U16, H5Filter::Gzip, u16_value));
    }
    // Overwrite frame 2's chunk with bytes no inflater takes.
    {
        const hid_t f = H5Fopen(file("z.h5").c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
        const hid_t d = H5Dopen2(f, "/entry/data/data", H5P_DEFAULT);
        const hsize_t offset[3] = {1, 0, 0};
        const std::string junk(64, '\x5a');
        ASSERT_GE(H5Dwrite_chunk(d, H5P_DEFAULT, 0, offset, junk.size(), junk.data()), 0);
        H5Dclose(d);
        H5Fclose(f);
    }
    std::unique_ptr<HDR> hdr = open("z.h5");
    EXPECT_EQ(zt::decoded_frame(*hdr, 1).size(), 64u);
    const std::string err = zt::fatal_report([&] { zt::decoded_frame(*hdr, 2); });
    EXPECT_NE(err.find("cannot decode frame 2 of dataset '/entry/data/data' of '"), std::string::npos) << err;
    EXPECT_EQ(err.find("HDF5-DIAG"), std::string::npos) << err;
}

// The real files of the shared sample set read with the values their
// expectations give.
TEST(H5RealFiles, ReadWithTheirExpectedValues) {
    const std::string root = zt::real_data_dir();
    if (root.empty()) GTEST_SKIP() << "shared real sample files absent";
    const char* const files[] = {"AgBehenate_228.hdf5",
                                 "eiger1_testmode10_2datafiles_4images_bslz4_data_000001.h5",
                                 "eiger2_simread7_2datafiles_4images_lz4_data_000001.h5",
                                 "testasapo1_1009_00002_m1_part00000.nxs",
                                 "test_data_000001.h5",
                                 "test_master.h5"};
    for (const char* name : files) {
        SCOPED_TRACE(name);
        const std::string path = root + "/modern/" + name;
        const std::string json = zt::read_file(path + ".expect.json");
        std::unique_ptr<HDR> hdr = h5_open(path, "zandor");
        zt::expect_matches_expectation(*hdr, json);
    }
    // The master reaches its data file through the link and carries the mask.
    std::unique_ptr<HDR> master = h5_open(root + "/modern/test_master.h5", "zandor");
    EXPECT_EQ(entry(*master, "PixelMask"), "/entry/instrument/detector/detectorSpecific/pixel_mask");
    EXPECT_EQ(entry(*master, "MaskedPixels"), "95");
    std::unique_ptr<HDR> lambda = h5_open(root + "/modern/testasapo1_1009_00002_m1_part00000.nxs", "zandor");
    EXPECT_EQ(entry(*lambda, "MaskedPixels"), "37045");
    EXPECT_EQ(entry(*lambda, "H5Filters"), "deflate");
}

} // namespace
