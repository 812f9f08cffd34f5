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

class InterchangeWriters : public zt::InTempDir {};

enum class Format { tif, h5, png };
const char* const kNames[] = {"out.tif", "out.h5", "out.png"};
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

// libtiff's reading: the strips as stored (not cut into pieces), their values
// those of `want`; the tags: 32-bit samples of the type, MinIsBlack, the
// strips of the row, and the range of the values stored, markers of integer
// files included, NaN left out (0 to 0 when nothing is left).
void expect_libtiff_reads(const std::string& path, const Row& row, bool floats,
                          const std::vector<double>& want) {
    TIFF* tif = TIFFOpen(path.c_str(), "rc");
    ASSERT_NE(tif, nullptr) << path;
    uint16_t bits = 0, sample_format = 0, photometric = 0;
    double min = 0.0, max = 0.0;
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif, TIFFTAG_SAMPLEFORMAT, &sample_format);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tif, TIFFTAG_SMINSAMPLEVALUE, &min);
    TIFFGetField(tif, TIFFTAG_SMAXSAMPLEVALUE, &max);
    std::vector<int32_t> words(want.size());
    tmsize_t at = 0;
    EXPECT_EQ(TIFFNumberOfStrips(tif), row.strips);
    for (uint32_t s = 0; s < TIFFNumberOfStrips(tif); ++s)
        at += TIFFReadEncodedStrip(tif, s, reinterpret_cast<uint8_t*>(words.data()) + at, -1);
    TIFFClose(tif);
    EXPECT_EQ(static_cast<size_t>(at), words.size() * 4);
    std::vector<double> values, numbers;
    for (const int32_t w : words) {
        float f = 0.0f;
        std::memcpy(&f, &w, 4);
        values.push_back(floats ? static_cast<double>(f) : static_cast<double>(w));
    }
    EXPECT_TRUE(zt::same_values(values, want));
    std::copy_if(want.begin(), want.end(), std::back_inserter(numbers),
                 [](double v) { return !std::isnan(v); });
    const auto range = std::minmax_element(numbers.begin(), numbers.end());
    EXPECT_EQ(std::make_tuple(bits, photometric, sample_format, min, max),
              std::make_tuple(uint16_t{32}, uint16_t{PHOTOMETRIC_MINISBLACK},
                              uint16_t(floats ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_INT),
                              numbers.empty() ? 0.0 : *range.first, numbers.empty() ? 0.0 : *range.second));
}

// libhdf5's reading: the values and the mask; the filters compress (these
// values fit in 25 bits); the frame counts and the wavelength with its units
// as zandor reads them; what a viewer looks for; no disk held beyond the
// file; the same bytes as the file written on one thread.
void expect_libhdf5_reads(const std::string& path, const std::string& one_thread, const Row& row,
                          const IMG& img, const std::vector<double>& want) {
    hsize_t stored = 0;
    std::vector<double> mask;
    for (uint16_t f : img.frame)
        mask.push_back(f == 0);
    {
        const QuietErrors quiet;
        const FileId f(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
        EXPECT_TRUE(zt::same_values(zt::read_dataset(f.get(), "/entry/data/data", &stored), want));
        EXPECT_EQ(zt::read_dataset(f.get(), "/entry/data/mask"), mask);
    }
    const hsize_t raw = img.data.size() * 4;
    EXPECT_TRUE(row.compression == kNone ? stored == raw : stored < raw * 15 / 16) << stored;
    EXPECT_TRUE(zt::same_values(zt::read_back(path, "/entry/data/frame_count").values,
                                std::vector<double>(img.frame.begin(), img.frame.end())));
    const char* const attributes[][3] = {
        {"/", "default", "entry"},
        {"/entry", "NX_class", "NXentry"},
        {"/entry/data", "NX_class", "NXdata"},
        {"/entry/data", "signal", "data"},
        {"/entry/instrument/beam", "NX_class", "NXbeam"},
        {"/entry/process", "NX_class", "NXprocess"},
    };
    for (const auto& a : attributes)
        EXPECT_EQ(zt::text_attribute(path, a[0], a[1]), a[2]) << a[0] << " " << a[1];
    IMG back;
    back.hdr = xy_open(path, "zandor", "", 0, true);
    EXPECT_TRUE(std::any_of(back.hdr->items.begin(), back.hdr->items.end(), [](const KvfItem& item) {
        return item.key == "Wavelength" && item.value == "0.7293 angstrom";
    }));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, st.st_size + (1 << 19));
    if (row.threads > 1) {
        EXPECT_TRUE(zt::read_file(path) == zt::read_file(one_thread));
    }
}

// libpng's reading: grey where no frame counted, else the colour of the
// value's level in the image's display range; the text fields.
void expect_libpng_reads(const std::string& path, const IMG& img, XyPreviewScale scale) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    EXPECT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image)), want;
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
    const PreviewRange range = preview_range(img);
    for (size_t i = 0; i < img.data.size(); ++i) {
        const std::array<uint8_t, 3> c =
            img.frame[i] == 0 ? kPreviewMasked : preview_colour(preview_level(img.data[i], range, scale));
        want.insert(want.end(), c.begin(), c.end());
    }
    EXPECT_TRUE(rgb == want);
    const std::string bytes = zt::read_file(path);
    EXPECT_NE(bytes.find("Title"), std::string::npos);
    EXPECT_NE(bytes.find("preview, not data"), std::string::npos);
}

TEST_F(InterchangeWriters, EveryTypeFilterLayoutAndScaleComesBackThroughZandorAndItsLibrary) {
    unsigned seed = 1;
    for (const Row& row : kRows)
        for (XySampleType type : {I, F}) {
            SCOPED_TRACE(testing::Message()
                         << static_cast<int>(row.format) << " " << row.nx << "x" << row.ny
                         << (type == F ? " float " : " int ") << static_cast<int>(row.compression));
            const IMG img = zt::random_image(row.nx, row.ny, row.low, row.high, row.one_in, seed++);
            const std::string name = file(kNames[static_cast<int>(row.format)]);
            testing::internal::CaptureStdout();
            write_row(row, type, img, name, row.threads);
            if (row.threads > 1) write_row(row, type, img, file("one.h5"), 1);
            testing::internal::GetCapturedStdout();
            if (row.format == Format::png) {
                expect_libpng_reads(name, img, row.scale);
                continue;
            }
            const std::vector<double> want = zt::stored_values(img, type == F);
            const zt::ReadBack ours = zt::read_back(name);
            EXPECT_EQ(std::make_pair(ours.width, ours.height), std::make_pair(row.nx, row.ny));
            EXPECT_TRUE(zt::same_values(ours.values, want));
            if (row.format == Format::tif) expect_libtiff_reads(name, row, type == F, want);
            if (row.format == Format::h5) expect_libhdf5_reads(name, file("one.h5"), row, img, want);
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
