#include "nexus_writer.hpp"

#include "h5_handles.hpp"
#include "marked_values.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kOrigin = "../xy32lib/nexus_writer";
constexpr H5Z_filter_t kBitshuffleFilter = 32008;
constexpr unsigned kBitshuffleLz4 = 2; // the filter's code of LZ4 after the shuffle
constexpr unsigned kGzipLevel = 4;
constexpr int64_t kChunkBytes = int64_t{1} << 20;
constexpr size_t kCoreMargin = size_t{1} << 20; // the in-memory file's room beyond the datasets

// The NeXus class of each group the writer may create under /entry.
struct GroupClass {
    const char* path;
    const char* nx_class;
};
const GroupClass kGroupClasses[] = {
    {"instrument", "NXinstrument"}, {"instrument/detector", "NXdetector"},
    {"instrument/beam", "NXbeam"},  {"instrument/monochromator", "NXmonochromator"},
    {"sample", "NXsample"},         {"process", "NXprocess"},
};

const char* class_of(const std::string& path) {
    for (const GroupClass& g : kGroupClasses)
        if (path == g.path) return g.nx_class;
    return "NXcollection";
}

// ---------------------------------------------------------------- small writers
// Each returns false when libhdf5 refused; the error stack says why.

TypeId text_type(size_t length) {
    TypeId type(H5Tcopy(H5T_C_S1));
    if (type.valid()) H5Tset_size(type.get(), std::max<size_t>(length, 1));
    return type;
}

// A list of short texts as one attribute (the `axes` of NXdata).
bool put_texts_attribute(hid_t object, const char* name, const std::vector<std::string>& texts) {
    size_t width = 1;
    for (const std::string& t : texts)
        width = std::max(width, t.size());
    std::string packed(width * texts.size(), '\0');
    for (size_t i = 0; i < texts.size(); ++i)
        std::memcpy(&packed[i * width], texts[i].data(), texts[i].size());
    const TypeId type = text_type(width);
    const hsize_t n = texts.size();
    const SpaceId space(H5Screate_simple(1, &n, nullptr));
    const AttrId attr(H5Acreate2(object, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT));
    return attr.valid() && H5Awrite(attr.get(), type.get(), packed.data()) >= 0;
}

bool put_text_field(hid_t group, const std::string& name, const std::string& text) {
    const TypeId type = text_type(text.size());
    const SpaceId space(H5Screate(H5S_SCALAR));
    const DatasetId dset(
        H5Dcreate2(group, name.c_str(), type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    return dset.valid() && H5Dwrite(dset.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, text.c_str()) >= 0;
}

bool put_number_field(hid_t group, const std::string& name, double value, const std::string& units) {
    const SpaceId space(H5Screate(H5S_SCALAR));
    const DatasetId dset(
        H5Dcreate2(group, name.c_str(), H5T_IEEE_F64LE, space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    if (!dset.valid() || H5Dwrite(dset.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, &value) < 0)
        return false;
    return units.empty() || put_text_attribute(dset.get(), "units", units);
}

// The group at `path` under `entry`, created with its class, and its
// parents, when absent.
GroupId group_at(hid_t entry, const std::string& path) {
    GroupId group(H5Gopen2(entry, ".", H5P_DEFAULT));
    size_t start = 0;
    while (group.valid() && start < path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        const std::string name = path.substr(start, end - start);
        if (H5Lexists(group.get(), name.c_str(), H5P_DEFAULT) > 0)
            group = GroupId(H5Gopen2(group.get(), name.c_str(), H5P_DEFAULT));
        else
            group = new_group(group.get(), name.c_str(), class_of(path.substr(0, end)));
        start = end + 1;
    }
    return group;
}

bool put_metadata(hid_t entry, const std::vector<XyMetadataItem>& items) {
    for (const XyMetadataItem& item : items) {
        const GroupId group = group_at(entry, item.group);
        if (!group.valid() || H5Lexists(group.get(), item.name.c_str(), H5P_DEFAULT) > 0) continue;
        const bool put = item.numeric ? put_number_field(group.get(), item.name, item.number, item.units)
                                      : put_text_field(group.get(), item.name, item.text);
        if (!put) return false;
    }
    return true;
}

// ---------------------------------------------------------------- image datasets

template <class T> hid_t memory_type();
template <> hid_t memory_type<int32_t>() {
    return H5T_NATIVE_INT32;
}
template <> hid_t memory_type<float>() {
    return H5T_NATIVE_FLOAT;
}
template <> hid_t memory_type<uint16_t>() {
    return H5T_NATIVE_UINT16;
}
template <> hid_t memory_type<uint8_t>() {
    return H5T_NATIVE_UINT8;
}

// Rows of about 1 MiB: the chunks of a filtered dataset, and the band of
// marked values written at once (whole chunks, which libhdf5 filters as they
// come).
int64_t band_rows(const IMG& img, size_t value_bytes) {
    return rows_in(kChunkBytes, int64_t{img.nx} * static_cast<int64_t>(value_bytes), img.ny);
}

PlistId image_layout(const IMG& img, size_t value_bytes, XyCompression compression) {
    PlistId dcpl(H5Pcreate(H5P_DATASET_CREATE));
    if (!dcpl.valid() || compression == XyCompression::none) return dcpl;
    const hsize_t chunk[2] = {static_cast<hsize_t>(band_rows(img, value_bytes)), static_cast<hsize_t>(img.nx)};
    bool set = H5Pset_chunk(dcpl.get(), 2, chunk) >= 0;
    if (compression == XyCompression::gzip) {
        set = set && H5Pset_shuffle(dcpl.get()) >= 0 && H5Pset_deflate(dcpl.get(), kGzipLevel) >= 0;
    } else {
        // The block size (0: the filter's own) and the compression after the
        // shuffle; the filter puts its version and the value size before them.
        const unsigned values[2] = {0, kBitshuffleLz4};
        set = set && H5Pset_filter(dcpl.get(), kBitshuffleFilter, H5Z_FLAG_MANDATORY, 2, values) >= 0;
    }
    if (!set) dcpl.reset();
    return dcpl;
}

// Rows [row, row + rows) of the dataset from `values`.
template <class T> bool write_rows(hid_t dset, int64_t row, int64_t rows, int64_t nx, const T* values) {
    const hsize_t start[2] = {static_cast<hsize_t>(row), 0};
    const hsize_t count[2] = {static_cast<hsize_t>(rows), static_cast<hsize_t>(nx)};
    const SpaceId file_space(H5Dget_space(dset));
    const SpaceId memory_space(H5Screate_simple(2, count, nullptr));
    return file_space.valid() && memory_space.valid() &&
           H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) >= 0 &&
           H5Dwrite(dset, memory_type<T>(), memory_space.get(), file_space.get(), H5P_DEFAULT, values) >= 0;
}

DatasetId new_image_dataset(hid_t group, const char* name, const IMG& img, hid_t file_type, size_t value_bytes,
                            XyCompression compression) {
    const hsize_t dims[2] = {static_cast<hsize_t>(img.ny), static_cast<hsize_t>(img.nx)};
    const SpaceId space(H5Screate_simple(2, dims, nullptr));
    const PlistId dcpl = image_layout(img, value_bytes, compression);
    if (!space.valid() || !dcpl.valid()) return DatasetId();
    return DatasetId(H5Dcreate2(group, name, file_type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT));
}

// The dataset `name` of the image's stored values (T: the values, or the
// mask), written band after band.
template <class T>
DatasetId put_marked_dataset(hid_t group, const char* name, const IMG& img, hid_t file_type, XyCompression c) {
    DatasetId dset = new_image_dataset(group, name, img, file_type, sizeof(T), c);
    const bool written =
        dset.valid() && for_each_marked_band<T>(img, band_rows(img, sizeof(T)),
                                                [&](int64_t row, int64_t rows, const T* values) {
                                                    return write_rows(dset.get(), row, rows, img.nx, values);
                                                });
    if (!written) dset.reset();
    return dset;
}

bool put_frame_counts(hid_t group, const IMG& img, XyCompression c) {
    if (img.frame.empty()) return true;
    const DatasetId dset = new_image_dataset(group, "frame_count", img, H5T_STD_U16LE, 2, c);
    return dset.valid() && write_rows(dset.get(), 0, img.ny, img.nx, img.frame.data());
}

bool put_data_group(hid_t entry, const IMG& img, const XyWriteOptions& options) {
    const GroupId data = new_group(entry, "data", "NXdata");
    if (!data.valid() || !put_text_attribute(data.get(), "signal", "data") ||
        !put_texts_attribute(data.get(), "axes", {".", "."}))
        return false;
    const XyCompression c = options.h5_compression;
    const DatasetId values =
        options.h5_type == XySampleType::float32
            ? put_marked_dataset<float>(data.get(), "data", img, H5T_IEEE_F32LE, c)
            : put_marked_dataset<int32_t>(data.get(), "data", img, H5T_STD_I32LE, c);
    return values.valid() && put_text_attribute(values.get(), "interpretation", "image") &&
           put_frame_counts(data.get(), img, c) &&
           put_marked_dataset<uint8_t>(data.get(), "mask", img, H5T_STD_U8LE, c).valid();
}

bool put_contents(hid_t file, const IMG& img, const XyWriteOptions& options) {
    const GroupId entry = new_group(file, "entry", "NXentry");
    return entry.valid() && put_text_attribute(file, "default", "entry") &&
           put_text_attribute(file, "creator", "zandor") &&
           put_text_attribute(entry.get(), "default", "data") && put_data_group(entry.get(), img, options) &&
           put_metadata(entry.get(), options.metadata);
}

bool build_image(const IMG& img, const XyWriteOptions& options, H5FileImage& image) {
    // Room for the uncompressed datasets at once: the file is not copied as it grows.
    const size_t room = img.data.size() * (4 + 2 + 1) + kCoreMargin;
    return nexus_memory_file(
        room, [&](hid_t file) { return put_contents(file, img, options); }, image);
}

// The core driver's buffer goes through these: at the file's close, the
// buffer is handed to the H5FileImage (udata) instead of being freed.
void* image_malloc(size_t size, H5FD_file_image_op_t, void*) {
    return std::malloc(size);
}
void* image_memcpy(void* to, const void* from, size_t size, H5FD_file_image_op_t, void*) {
    return std::memcpy(to, from, size);
}
void* image_realloc(void* buffer, size_t size, H5FD_file_image_op_t, void*) {
    return std::realloc(buffer, size);
}
herr_t image_free(void* buffer, H5FD_file_image_op_t op, void* udata) {
    if (op == H5FD_FILE_IMAGE_OP_FILE_CLOSE)
        static_cast<H5FileImage*>(udata)->take(buffer);
    else
        std::free(buffer);
    return 0;
}
void* same_udata(void* udata) {
    return udata;
}
herr_t keep_udata(void*) {
    return 0;
}

void check_filter(XyCompression compression, const std::string& name) {
    if (compression != XyCompression::bitshuffle_lz4) return;
    const QuietErrors quiet;
    if (H5Zfilter_avail(kBitshuffleFilter) <= 0) {
        H5Eclear2(H5E_DEFAULT);
        v_fatal(kOrigin,
                " H5_COMPRESSION = bslz4 for %s, but the bitshuffle filter plugin (%d) is not found\n",
                name.c_str(), static_cast<int>(kBitshuffleFilter));
    }
}

const char* compression_name(XyCompression c) {
    return c == XyCompression::none ? "uncompressed" : c == XyCompression::gzip ? "gzip" : "bitshuffle+lz4";
}

} // namespace

bool put_text_attribute(hid_t object, const char* name, const std::string& text) {
    const TypeId type = text_type(text.size());
    const SpaceId space(H5Screate(H5S_SCALAR));
    const AttrId attr(H5Acreate2(object, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT));
    return attr.valid() && H5Awrite(attr.get(), type.get(), text.c_str()) >= 0;
}

GroupId new_group(hid_t parent, const char* name, const char* nx_class) {
    GroupId group(H5Gcreate2(parent, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    if (group.valid() && !put_text_attribute(group.get(), "NX_class", nx_class)) group.reset();
    return group;
}

void H5FileImage::Free::operator()(unsigned char* p) const {
    std::free(p);
}

void H5FileImage::take(void* buffer) {
    bytes_.reset(static_cast<unsigned char*>(buffer));
}

bool nexus_memory_file(size_t room, const std::function<bool(hid_t file)>& fill, H5FileImage& image) {
    const QuietErrors quiet;
    const PlistId fapl(H5Pcreate(H5P_FILE_ACCESS));
    H5FD_file_image_callbacks_t callbacks = {image_malloc, image_memcpy, image_realloc, image_free,
                                             same_udata,   keep_udata,   &image};
    if (!fapl.valid() || H5Pset_fapl_core(fapl.get(), room, false) < 0 ||
        H5Pset_file_image_callbacks(fapl.get(), &callbacks) < 0)
        return false;
    FileId file(H5Fcreate("zandor-output.h5", H5F_ACC_TRUNC, H5P_DEFAULT, fapl.get()));
    if (!file.valid() || !fill(file.get()) || H5Fflush(file.get(), H5F_SCOPE_LOCAL) < 0) return false;
    const ssize_t size = H5Fget_file_image(file.get(), nullptr, 0);
    if (size <= 0 || H5Fclose(file.release()) < 0 || !image.data()) return false;
    image.set_size(static_cast<size_t>(size));
    return true;
}

void nexus_write(const IMG& img, const std::string& path, const XyWriteOptions& options) {
    const std::string name = xy_module_file_name(path, {".h5", ".nxs", ".hdf5"}, false);
    marked_pixel_count(kOrigin, img, name);
    check_filter(options.h5_compression, name);
    prg_printf(" writing %s as NeXus/HDF5, %s, %s\n", name.c_str(),
               options.h5_type == XySampleType::float32 ? "32-bit float" : "signed 32-bit",
               compression_name(options.h5_compression));
    H5FileImage image;
    if (!build_image(img, options, image))
        v_fatal(kOrigin, " writing HDF5 file %s failed : %s\n", name.c_str(), h5_library_error().c_str());
    write_through_temporary(kOrigin, "HDF5 file", name, [&](const std::string& temp, std::string&) {
        return write_file_bytes(temp, image.data(), image.size());
    });
}

namespace {

void write_nexus(const IMG& img, const std::string& path, const XyWriteOptions& options) {
    nexus_write(img, path, options);
}

OutputDepth nexus_depth(const IMG&, const XyWriteOptions&) {
    return OutputDepth{};
}

} // namespace

const XyWriter h5_writer = {"h5", ".h5", ".h5", write_nexus, nexus_depth};
const XyWriter nxs_writer = {"h5", ".nxs", ".nxs", write_nexus, nexus_depth};
const XyWriter hdf5_writer = {"h5", ".hdf5", ".hdf5", write_nexus, nexus_depth};
