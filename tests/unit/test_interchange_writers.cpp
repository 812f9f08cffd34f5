// The interchange writers read back: each compression, strip layout and
// preview scale is a row, written in both sample types, its file read through
// zandor and through libtiff, libhdf5 or libpng directly and compared with
// what a plain reference stores; the NeXus attributes a viewer looks for and
// the same file at any thread count; compressed chunks against the ones
// libhdf5's filters store; each refusal a row with its message.
#include "fatal_capture.hpp"
#include "h5_chunks.hpp"
#include "h5_read.hpp"
#include "nexus_writer.hpp"
#include "png_writer.hpp"
#include "read_back.hpp"
#include "test_support.hpp"
#include "tif_writer.hpp"

#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <tuple>

namespace {

using zt::read_dataset;
using zt::text_attribute;

class InterchangeWriters : public zt::InTempDir {};

// What libtiff or libhdf5 reads from a written file: the values, and the
// facts each format keeps beside them.
struct LibraryRead {
    std::vector<double> values;
    uint16_t bits = 0, sample_format = 0, photometric = 0; // TIFF
    double min = 0.0, max = 0.0;
    uint32_t strips = 0;
    std::vector<double> mask; // HDF5
    hsize_t stored_bytes = 0;
    bool texts = false; // PNG
};

LibraryRead read_with_libtiff(const std::string& path, bool floats) {
    LibraryRead r;
    TIFF* tif = TIFFOpen(path.c_str(), "rc"); // the strips as stored, not cut into pieces
    if (!tif) {
        ADD_FAILURE() << "libtiff cannot open " << path;
        return r;
    }
    uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &r.bits);
    TIFFGetField(tif, TIFFTAG_SAMPLEFORMAT, &r.sample_format);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &r.photometric);
    TIFFGetField(tif, TIFFTAG_SMINSAMPLEVALUE, &r.min);
    TIFFGetField(tif, TIFFTAG_SMAXSAMPLEVALUE, &r.max);
    r.strips = TIFFNumberOfStrips(tif);
    std::vector<uint8_t> bytes(size_t{width} * height * 4);
    tmsize_t at = 0;
    for (uint32_t s = 0; s < r.strips; ++s)
        at += TIFFReadEncodedStrip(tif, s, bytes.data() + at, -1);
    TIFFClose(tif);
    EXPECT_EQ(static_cast<size_t>(at), bytes.size());
    for (size_t i = 0; i < bytes.size(); i += 4) {
        int32_t n = 0;
        float f = 0.0f;
        std::memcpy(&n, &bytes[i], 4);
        std::memcpy(&f, &bytes[i], 4);
        r.values.push_back(floats ? static_cast<double>(f) : static_cast<double>(n));
    }
    return r;
}

LibraryRead read_with_libhdf5(const std::string& path) {
    const QuietErrors quiet;
    const FileId f(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
    LibraryRead r;
    r.values = read_dataset(f.get(), "/entry/data/data", &r.stored_bytes);
    r.mask = read_dataset(f.get(), "/entry/data/mask");
    return r;
}

// The preview's colours, channel after channel, and its text fields.
LibraryRead read_with_libpng(const std::string& path) {
    LibraryRead r;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    EXPECT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
    r.values.assign(rgb.begin(), rgb.end());
    const std::string bytes = zt::read_file(path);
    r.texts =
        bytes.find("Title") != std::string::npos && bytes.find("preview, not data") != std::string::npos;
    return r;
}

enum class Format { tif, h5, png };
constexpr XySampleType I = XySampleType::int32, F = XySampleType::float32;
constexpr XyPreviewScale kLog = XyPreviewScale::logarithmic, kLinear = XyPreviewScale::linear;
constexpr XyCompression kNone = XyCompression::none, kGzip = XyCompression::gzip,
                        kBslz4 = XyCompression::bitshuffle_lz4;

struct Row {
    Format format;
    XyCompression compression;
    int32_t nx, ny, low, high, one_in; // the random image
    uint32_t strips;                   // of TIFF files
    XyPreviewScale scale = kLog;       // of previews
    int32_t threads = 1;               // of HDF5 files, also written on one thread
};
// TIFF shapes on both sides of the 8 MiB strip (2 097 152 values) and of the
// widest image (65535), with every pixel marked or almost none; HDF5 files
// in every filter, those of five chunks (two bands of them) on 3 threads;
// previews on both scales.
const Row kRows[] = {
    {Format::tif, kNone, 1, 1, 5, 5, 1000, 1},
    {Format::tif, kNone, 7, 5, -100, 100, 4, 1},
    {Format::tif, kNone, 6, 2, 0, 9, 1, 1},
    {Format::tif, kNone, 1024, 2048, -50, 1 << 24, 50, 1},
    {Format::tif, kNone, 1024, 2049, -50, 1 << 24, 50, 2},
    {Format::tif, kNone, 300, 3, INT32_MIN + 1, INT32_MAX, 3, 1},
    {Format::tif, kNone, 65535, 1, -9, 9, 7, 1},
    {Format::h5, kNone, 67, 41, -1000, 1 << 24, 6, 0},
    {Format::h5, kGzip, 67, 41, -1000, 1 << 24, 6, 0},
    {Format::h5, kBslz4, 67, 41, -1000, 1 << 24, 6, 0},
    {Format::h5, kGzip, 1024, 1100, -1000, 1 << 24, 6, 0, kLog, 3},
    {Format::h5, kBslz4, 1024, 1100, -1000, 1 << 24, 6, 0, kLog, 3},
    {Format::png, kNone, 37, 23, 0, 5000, 7, 0, kLog},
    {Format::png, kNone, 37, 23, -20, 5000, 7, 0, kLinear},
};

// Facts recorded beside the image of the NeXus files: a number with its
// units, and a text.
const std::vector<XyMetadataItem> kFacts = {
    {"instrument/beam", "incident_wavelength", "", 0.7293, true, "angstrom"},
    {"process", "image_words", "scan_0001.h5,A4", 0.0, false, ""}};

void write_row(const Row& row, XySampleType type, const IMG& img, const std::string& name, int32_t threads) {
    XyWriteOptions options;
    options.h5_type = type;
    options.h5_compression = row.compression;
    options.metadata = kFacts;
    options.threads = threads;
    if (row.format == Format::tif) tif_write_values(img, name, type);
    if (row.format == Format::h5) nexus_write(img, name, options);
    if (row.format == Format::png) png_write(img, name, row.scale);
}

// The range the TIFF tags hold: of the values stored, markers of integer
// files included, NaN left out; 0 to 0 when nothing is left.
void expect_tiff_facts(const LibraryRead& theirs, const Row& row, XySampleType type,
                       const std::vector<double>& want) {
    std::vector<double> numbers;
    std::copy_if(want.begin(), want.end(), std::back_inserter(numbers),
                 [](double v) { return !std::isnan(v); });
    const auto range = std::minmax_element(numbers.begin(), numbers.end());
    EXPECT_EQ(theirs.bits, 32);
    EXPECT_EQ(theirs.photometric, PHOTOMETRIC_MINISBLACK);
    EXPECT_EQ(theirs.sample_format, type == F ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_INT);
    EXPECT_EQ(theirs.strips, row.strips);
    EXPECT_EQ(theirs.min, numbers.empty() ? 0.0 : *range.first);
    EXPECT_EQ(theirs.max, numbers.empty() ? 0.0 : *range.second);
}

// Frame counts as zandor reads them, the mask as libhdf5 does; the filters
// compress (these values fit in 25 bits); no disk held beyond the file; the
// same bytes written on one thread.
void expect_nexus_facts(const std::string& name, const std::string& one_thread, const LibraryRead& theirs,
                        const Row& row, const IMG& img) {
    EXPECT_TRUE(zt::same_values(zt::read_back(name, "/entry/data/frame_count").values,
                                std::vector<double>(img.frame.begin(), img.frame.end())));
    std::vector<double> mask;
    for (uint16_t f : img.frame)
        mask.push_back(f == 0);
    EXPECT_EQ(theirs.mask, mask);
    const hsize_t raw = img.data.size() * 4;
    EXPECT_TRUE(row.compression == kNone ? theirs.stored_bytes == raw : theirs.stored_bytes < raw * 15 / 16)
        << theirs.stored_bytes;
    struct stat st {};
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, st.st_size + (1 << 19));
    if (row.threads > 1) {
        EXPECT_TRUE(zt::read_file(name) == zt::read_file(one_thread));
    }
}

// The colours a preview shows: grey where no frame counted, else the colour
// of the value's level in the image's display range.
std::vector<double> preview_colours(const IMG& img, XyPreviewScale scale) {
    const PreviewRange range = preview_range(img);
    std::vector<double> rgb;
    for (size_t i = 0; i < img.data.size(); ++i) {
        const std::array<uint8_t, 3> c =
            img.frame[i] == 0 ? kPreviewMasked : preview_colour(preview_level(img.data[i], range, scale));
        rgb.insert(rgb.end(), c.begin(), c.end());
    }
    return rgb;
}

// What a viewer looks for, and the wavelength zandor's reader lists with its
// units in the file's header.
void expect_nexus_attributes(const std::string& name) {
    const char* const attributes[][3] = {
        {"/", "default", "entry"},
        {"/entry", "NX_class", "NXentry"},
        {"/entry/data", "NX_class", "NXdata"},
        {"/entry/data", "signal", "data"},
        {"/entry/instrument/beam", "NX_class", "NXbeam"},
        {"/entry/process", "NX_class", "NXprocess"},
    };
    for (const auto& a : attributes)
        EXPECT_EQ(text_attribute(name, a[0], a[1]), a[2]) << a[0] << " " << a[1];
    IMG back;
    back.hdr = xy_open(name, "zandor", "", 0, true);
    EXPECT_TRUE(std::any_of(back.hdr->items.begin(), back.hdr->items.end(), [](const KvfItem& item) {
        return item.key == "Wavelength" && item.value == "0.7293 angstrom";
    }));
}

TEST_F(InterchangeWriters, EveryTypeFilterLayoutAndScaleComesBackThroughZandorAndItsLibrary) {
    unsigned seed = 1;
    for (const Row& row : kRows)
        for (XySampleType type : {I, F}) {
            SCOPED_TRACE(testing::Message()
                         << static_cast<int>(row.format) << " " << row.nx << "x" << row.ny
                         << (type == F ? " float " : " int ") << static_cast<int>(row.compression));
            const IMG img = zt::random_image(row.nx, row.ny, row.low, row.high, row.one_in, seed++);
            const std::string name = file(row.format == Format::tif  ? "out.tif"
                                          : row.format == Format::h5 ? "out.h5"
                                                                     : "out.png");
            testing::internal::CaptureStdout();
            write_row(row, type, img, name, row.threads);
            if (row.threads > 1) write_row(row, type, img, file("one.h5"), 1);
            testing::internal::GetCapturedStdout();
            if (row.format == Format::png) {
                const LibraryRead theirs = read_with_libpng(name);
                EXPECT_TRUE(zt::same_values(theirs.values, preview_colours(img, row.scale)));
                EXPECT_TRUE(theirs.texts);
                continue;
            }
            const std::vector<double> want = zt::stored_values(img, type == F);
            const zt::ReadBack ours = zt::read_back(name);
            EXPECT_EQ(ours.width, row.nx);
            EXPECT_EQ(ours.height, row.ny);
            EXPECT_TRUE(zt::same_values(ours.values, want));
            const bool tif = row.format == Format::tif;
            const LibraryRead theirs = tif ? read_with_libtiff(name, type == F) : read_with_libhdf5(name);
            EXPECT_TRUE(zt::same_values(theirs.values, want));
            if (tif) {
                expect_tiff_facts(theirs, row, type, want);
            } else {
                expect_nexus_facts(name, file("one.h5"), theirs, row, img);
                expect_nexus_attributes(name);
            }
        }
}

// The one chunk libhdf5 stores for `values` (`rows` x `cols` of `type`)
// through its own filters, in a file held in memory.
std::vector<uint8_t> library_chunk(const ChunkFilter& f, hid_t type, hsize_t rows, hsize_t cols,
                                   const std::vector<uint8_t>& values) {
    const PlistId fapl(H5Pcreate(H5P_FILE_ACCESS)), dcpl(H5Pcreate(H5P_DATASET_CREATE));
    H5Pset_fapl_core(fapl.get(), 1 << 20, false);
    const hsize_t dims[2] = {rows, cols};
    H5Pset_chunk(dcpl.get(), 2, dims);
    const unsigned bslz4[2] = {0, 2};
    if (f.compression == kGzip)
        H5Pset_shuffle(dcpl.get()), H5Pset_deflate(dcpl.get(), f.gzip_level);
    else
        H5Pset_filter(dcpl.get(), 32008, H5Z_FLAG_MANDATORY, 2, bslz4);
    const FileId file(H5Fcreate("chunk.h5", H5F_ACC_TRUNC, H5P_DEFAULT, fapl.get()));
    const SpaceId space(H5Screate_simple(2, dims, nullptr));
    const DatasetId d(H5Dcreate2(file.get(), "d", type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT));
    EXPECT_GE(H5Dwrite(d.get(), type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
    const hsize_t origin[2] = {0, 0};
    hsize_t bytes = 0;
    uint32_t mask = 1;
    H5Dget_chunk_storage_size(d.get(), origin, &bytes);
    std::vector<uint8_t> chunk(bytes);
    EXPECT_GE(H5Dread_chunk(d.get(), H5P_DEFAULT, origin, &mask, chunk.data()), 0);
    EXPECT_EQ(mask, 0u);
    return chunk;
}

// Values of 1, 2 and 4 bytes in chunks that end short of a whole block and of
// a group of 8 (97 x 101 values: 8192 and 1600 of one byte, 5 left over).
TEST(CompressedChunks, AreTheBytesLibhdf5sFiltersStore) {
    std::mt19937 rng(3);
    const hid_t types[] = {H5T_NATIVE_UINT8, H5T_NATIVE_UINT16, H5T_NATIVE_INT32};
    for (const ChunkFilter f : {ChunkFilter{kGzip, 4}, ChunkFilter{kGzip, 1}, ChunkFilter{kBslz4, 0}})
        for (const hid_t type : types) {
            const size_t size = H5Tget_size(type);
            std::vector<uint8_t> values(97 * 101 * size), ours, scratch;
            for (size_t i = 0; i < values.size(); ++i)
                values[i] = static_cast<uint8_t>(i % size == size - 1 ? rng() % 3 : rng() % 40);
            ours.resize(compress_chunk(f, values.data(), values.size(), size, ours, scratch));
            EXPECT_TRUE(ours == library_chunk(f, type, 97, 101, values))
                << static_cast<int>(f.compression) << " " << f.gzip_level << " " << size;
        }
}

TEST_F(InterchangeWriters, RefusalsStopTheRunAndLeaveNoFile) {
    IMG short_of_one = zt::random_image(4, 4, 0, 9, 5, 7);
    short_of_one.data.pop_back();
    const IMG too_wide = zt::random_image(65536, 1, 0, 9, 5, 7);
    const std::tuple<Format, const IMG*, const char*> cases[] = {
        {Format::tif, &short_of_one, "no image of 4 * 4 pixels to write in"},
        {Format::h5, &short_of_one, "no image of 4 * 4 pixels to write in"},
        {Format::png, &short_of_one, "no image of 4 * 4 pixels to write in"},
        {Format::tif, &too_wide, "image of 65536 x 1 pixels: wider or higher than 65535"},
    };
    for (const auto& [format, img, message] : cases) {
        const Row row{format, kNone, 0, 0, 0, 0, 0, 0};
        const std::string report = zt::fatal_report([&] { write_row(row, I, *img, file("x"), 1); });
        EXPECT_NE(report.find(message), std::string::npos) << report;
        EXPECT_TRUE(std::filesystem::is_empty(dir_->path())) << message;
    }
}

} // namespace
