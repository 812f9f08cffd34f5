// NeXus/HDF5 output: the image, its frame counts and mask under /entry/data,
// read back by zandor and by libhdf5 for every type and filter; the attributes
// a viewer needs; the facts recorded beside it; failures leave no file.
#include "fatal_capture.hpp"
#include "h5_handles.hpp"
#include "nexus_writer.hpp"
#include "read_back.hpp"
#include "test_support.hpp"

#include <cmath>

namespace {

class NexusWriter : public zt::InTempDir {};

template <class T> std::vector<T> read_dataset(const std::string& file, const char* path, hid_t type) {
    const QuietErrors quiet;
    const FileId f(H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
    const DatasetId d(H5Dopen2(f.get(), path, H5P_DEFAULT));
    const SpaceId space(H5Dget_space(d.get()));
    std::vector<T> values(
        static_cast<size_t>(std::max<hssize_t>(H5Sget_simple_extent_npoints(space.get()), 0)));
    EXPECT_GE(H5Dread(d.get(), type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0) << path;
    return values;
}

std::string text_attribute(const std::string& file, const char* object, const char* name) {
    const QuietErrors quiet;
    const FileId f(H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
    const AttrId a(H5Aopen_by_name(f.get(), object, name, H5P_DEFAULT, H5P_DEFAULT));
    const TypeId type(H5Aget_type(a.get()));
    std::string text(H5Tget_size(type.get()), '\0');
    if (H5Aread(a.get(), type.get(), &text[0]) < 0) return "";
    return text.substr(0, text.find('\0'));
}

std::string write_quietly(const IMG& img, const std::string& name, const XyWriteOptions& options) {
    testing::internal::CaptureStdout();
    nexus_write(img, name, options);
    return testing::internal::GetCapturedStdout();
}

TEST_F(NexusWriter, ImageCountsAndMaskComeBackForEveryTypeAndFilter) {
    const IMG img = zt::random_image(67, 41, -1000, 1 << 24, 6, 3);
    const std::vector<uint8_t> mask = [&] {
        std::vector<uint8_t> m;
        for (uint16_t f : img.frame)
            m.push_back(f == 0);
        return m;
    }();
    for (XyCompression c : {XyCompression::none, XyCompression::gzip, XyCompression::bitshuffle_lz4}) {
        for (XySampleType type : {XySampleType::int32, XySampleType::float32}) {
            XyWriteOptions options;
            options.h5_compression = c;
            options.h5_type = type;
            const std::string name = file("out.h5");
            write_quietly(img, name, options);
            SCOPED_TRACE(testing::Message() << static_cast<int>(c) << " " << static_cast<int>(type));
            const zt::ReadBack ours = zt::read_back(name);
            EXPECT_EQ(ours.width, img.nx);
            EXPECT_EQ(ours.height, img.ny);
            if (type == XySampleType::float32) {
                std::vector<float> want;
                for (int32_t v : zt::expected_ints(img))
                    want.push_back(v == -1 ? NAN : static_cast<float>(v));
                EXPECT_TRUE(zt::same_floats(ours.floats, want));
                EXPECT_TRUE(
                    zt::same_floats(read_dataset<float>(name, "/entry/data/data", H5T_NATIVE_FLOAT), want));
            } else {
                EXPECT_EQ(ours.ints, zt::expected_ints(img));
                EXPECT_EQ(read_dataset<int32_t>(name, "/entry/data/data", H5T_NATIVE_INT32),
                          zt::expected_ints(img));
            }
            const zt::ReadBack counts = zt::read_back(name, "/entry/data/frame_count");
            EXPECT_EQ(counts.ints, std::vector<int32_t>(img.frame.begin(), img.frame.end()));
            EXPECT_EQ(read_dataset<uint8_t>(name, "/entry/data/mask", H5T_NATIVE_UINT8), mask);
        }
    }
}

TEST_F(NexusWriter, AViewerFindsTheSignalAndZandorTheFactsBesideIt) {
    const IMG img = zt::random_image(5, 3, 0, 100, 4, 9);
    XyWriteOptions options;
    XyMetadataItem wavelength;
    wavelength.group = "instrument/beam";
    wavelength.name = "incident_wavelength";
    wavelength.number = 0.7293;
    wavelength.numeric = true;
    wavelength.units = "angstrom";
    XyMetadataItem words;
    words.group = "process";
    words.name = "image_words";
    words.text = "scan_0001.h5,A4";
    options.metadata = {wavelength, words};
    const std::string name = file("facts.nxs");
    write_quietly(img, name, options);
    EXPECT_EQ(text_attribute(name, "/", "default"), "entry");
    EXPECT_EQ(text_attribute(name, "/entry", "NX_class"), "NXentry");
    EXPECT_EQ(text_attribute(name, "/entry/data", "NX_class"), "NXdata");
    EXPECT_EQ(text_attribute(name, "/entry/data", "signal"), "data");
    EXPECT_EQ(text_attribute(name, "/entry/instrument/beam", "NX_class"), "NXbeam");
    EXPECT_EQ(text_attribute(name, "/entry/process", "NX_class"), "NXprocess");
    // zandor's reader lists the wavelength with its units in the file's header.
    IMG back;
    back.hdr = xy_open(name, "zandor", "", 0, true);
    bool found = false;
    for (const KvfItem& item : back.hdr->items)
        found |= item.key == "Wavelength" && item.value == "0.7293 angstrom";
    EXPECT_TRUE(found);
}

TEST_F(NexusWriter, FailuresStopTheRunWithoutAFile) {
    const IMG img = zt::random_image(4, 4, 0, 9, 5, 7);
    std::string report = zt::fatal_report([&] { nexus_write(img, file("missing/x.h5"), XyWriteOptions{}); });
    EXPECT_NE(report.find("unable to open HDF5 file"), std::string::npos) << report;
    IMG empty = zt::random_image(4, 4, 0, 9, 5, 7);
    empty.data.pop_back();
    report = zt::fatal_report([&] { nexus_write(empty, file("x.h5"), XyWriteOptions{}); });
    EXPECT_NE(report.find("no image of 4 * 4 pixels"), std::string::npos) << report;
    EXPECT_FALSE(zt::file_exists(file("x.h5")));
}

} // namespace
