#include "nexus_writer.hpp"

#include "h5_chunks.hpp"
#include "h5_handles.hpp"
#include "marked_values.hpp"

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* kOrigin = "../xy32lib/nexus_writer";
constexpr H5Z_filter_t kBitshuffleFilter = 32008;
constexpr unsigned kBitshuffleLz4 = 2; // the filter's code of LZ4 after the shuffle
constexpr unsigned kGzipLevel = 4;
constexpr unsigned kFastGzipLevel = 1; // frame counts and mask: a few values repeated
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

// A creation property list of `plist_class` (groups, datasets) without the
// times libhdf5 otherwise records in each object: the same image gives the
// same file.
PlistId untimed(hid_t plist_class) {
    PlistId plist(H5Pcreate(plist_class));
    if (plist.valid() && H5Pset_obj_track_times(plist.get(), false) < 0) plist.reset();
    return plist;
}

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

// A scalar dataset of `type` named `name` in `group`.
DatasetId new_field(hid_t group, const std::string& name, hid_t type) {
    const SpaceId space(H5Screate(H5S_SCALAR));
    const PlistId dcpl = untimed(H5P_DATASET_CREATE);
    return DatasetId(
        H5Dcreate2(group, name.c_str(), type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT));
}

bool put_text_field(hid_t group, const std::string& name, const std::string& text) {
    const TypeId type = text_type(text.size());
    const DatasetId dset = new_field(group, name, type.get());
    return dset.valid() && H5Dwrite(dset.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, text.c_str()) >= 0;
}

bool put_number_field(hid_t group, const std::string& name, double value, const std::string& units) {
    const DatasetId dset = new_field(group, name, H5T_IEEE_F64LE);
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

// How a dataset is stored: the setting's compression and, for gzip, its
// level: the image's own, or the fastest for the frame counts and the mask,
// which repeat a few values and compress almost as well at any level (at 4,
// they took 90 ms of 300 on 2048 x 2048); and the threads that compress its
// chunks.
struct Storage {
    ChunkFilter filter;
    int32_t threads;
    bool compressed() const { return filter.compression != XyCompression::none; }
};

PlistId image_layout(const IMG& img, size_t value_bytes, const ChunkFilter& storage) {
    PlistId dcpl = untimed(H5P_DATASET_CREATE);
    if (!dcpl.valid() || storage.compression == XyCompression::none) return dcpl;
    const hsize_t chunk[2] = {static_cast<hsize_t>(band_rows(img, value_bytes)),
                              static_cast<hsize_t>(img.nx)};
    bool set = H5Pset_chunk(dcpl.get(), 2, chunk) >= 0;
    if (storage.compression == XyCompression::gzip) {
        set = set && H5Pset_shuffle(dcpl.get()) >= 0 && H5Pset_deflate(dcpl.get(), storage.gzip_level) >= 0;
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

DatasetId new_image_dataset(hid_t group, const char* name, const IMG& img, hid_t file_type,
                            size_t value_bytes, const Storage& storage) {
    const hsize_t dims[2] = {static_cast<hsize_t>(img.ny), static_cast<hsize_t>(img.nx)};
    const SpaceId space(H5Screate_simple(2, dims, nullptr));
    const PlistId dcpl = image_layout(img, value_bytes, storage.filter);
    if (!space.valid() || !dcpl.valid()) return DatasetId();
    return DatasetId(H5Dcreate2(group, name, file_type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT));
}

// Closes the dataset, which writes its last chunks: false when that failed.
bool close_dataset(DatasetId& dset) {
    return H5Dclose(dset.release()) >= 0;
}

// The chunks of a compressed dataset of `img`'s shape, `fill` giving the
// values of its rows.
template <class T> bool put_chunks(hid_t dset, const IMG& img, const Storage& s, const ChunkFill& fill) {
    return write_compressed_chunks(dset, ChunkGrid{img.nx, img.ny, band_rows(img, sizeof(T)), sizeof(T)},
                                   s.filter, s.threads, fill);
}

// The image's stored values (T: the values, or the mask) in `dset`, band
// after band.
template <class T> bool fill_marked(DatasetId dset, const IMG& img, const Storage& s) {
    if (!dset.valid()) return false;
    const auto marked_rows = [&img](int64_t row, int64_t rows, uint8_t* out) {
        marked_values(img, static_cast<size_t>(row * img.nx), static_cast<size_t>(rows * img.nx),
                      reinterpret_cast<T*>(out));
    };
    const auto uncompressed_band = [&](int64_t row, int64_t rows, const T* values) {
        return write_rows(dset.get(), row, rows, img.nx, values);
    };
    const bool filled = s.compressed()
                            ? put_chunks<T>(dset.get(), img, s, marked_rows)
                            : for_each_marked_band<T>(img, band_rows(img, sizeof(T)), uncompressed_band);
    return filled && close_dataset(dset);
}

bool put_frame_counts(hid_t group, const IMG& img, const Storage& s) {
    if (img.frame.empty()) return true;
    DatasetId dset = new_image_dataset(group, "frame_count", img, H5T_STD_U16LE, 2, s);
    const auto count_rows = [&img](int64_t row, int64_t rows, uint8_t* out) {
        std::memcpy(out, img.frame.data() + row * img.nx,
                    static_cast<size_t>(rows * img.nx) * sizeof(uint16_t));
    };
    return dset.valid() &&
           (s.compressed() ? put_chunks<uint16_t>(dset.get(), img, s, count_rows)
                           : write_rows(dset.get(), 0, img.ny, img.nx, img.frame.data())) &&
           close_dataset(dset);
}

bool put_data_group(hid_t entry, const IMG& img, const XyWriteOptions& options) {
    const GroupId data = new_group(entry, "data", "NXdata");
    if (!data.valid() || !put_text_attribute(data.get(), "signal", "data") ||
        !put_texts_attribute(data.get(), "axes", {".", "."}))
        return false;
    const Storage image{{options.h5_compression, kGzipLevel}, options.threads},
        side{{options.h5_compression, kFastGzipLevel}, options.threads};
    const bool floats = options.h5_type == XySampleType::float32;
    DatasetId values =
        new_image_dataset(data.get(), "data", img, floats ? H5T_IEEE_F32LE : H5T_STD_I32LE, 4, image);
    if (!values.valid() || !put_text_attribute(values.get(), "interpretation", "image")) return false;
    const bool filled = floats ? fill_marked<float>(std::move(values), img, image)
                               : fill_marked<int32_t>(std::move(values), img, image);
    return filled && put_frame_counts(data.get(), img, side) &&
           fill_marked<uint8_t>(new_image_dataset(data.get(), "mask", img, H5T_STD_U8LE, 1, side), img, side);
}

bool put_contents(hid_t file, const IMG& img, const XyWriteOptions& options) {
    const GroupId entry = new_group(file, "entry", "NXentry");
    return entry.valid() && put_text_attribute(file, "default", "entry") &&
           put_text_attribute(file, "creator", "zandor") &&
           put_text_attribute(entry.get(), "default", "data") && put_data_group(entry.get(), img, options) &&
           put_metadata(entry.get(), options.metadata);
}

bool build_image(const IMG& img, const XyWriteOptions& options, std::string& bytes) {
    // The in-memory file grows by this much at a time, each step zero-filled
    // by libhdf5: room for the uncompressed datasets at once, a quarter of
    // that for compressed ones.
    size_t room = img.data.size() * (4 + 2 + 1);
    if (options.h5_compression != XyCompression::none) room /= 4;
    room += kCoreMargin;
    return nexus_memory_file(
        room, [&](hid_t file) { return put_contents(file, img, options); }, bytes);
}

// The most the file may take: its datasets uncompressed, a little more for
// the filters that expand what they cannot compress, and the metadata.
int64_t largest_file_size(const IMG& img, const XyWriteOptions& options) {
    int64_t bytes = static_cast<int64_t>(img.data.size()) * (4 + 2 + 1);
    bytes += bytes / 64 + static_cast<int64_t>(kCoreMargin);
    for (const XyMetadataItem& item : options.metadata)
        bytes += static_cast<int64_t>(item.group.size() + item.name.size() + item.text.size() +
                                      item.units.size()) +
                 1024;
    return bytes;
}

enum class InPlace { written, failed, no_room };

// libhdf5 writes the file itself at `temp`, into disk space held for it
// first: none of its writes can then fail for want of room, which would
// leave a file it cannot close (and the library crashing at exit). Without
// that space (file size limit, full disk, a file system that holds none),
// nothing but the file's first block was written and the caller builds the
// file in memory instead.
InPlace write_in_place(const std::string& temp, const IMG& img, const XyWriteOptions& options) {
    const QuietErrors quiet;
    FileId file(H5Fcreate(temp.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
    if (!file.valid()) return InPlace::failed;
    ReservedSpace space(temp, largest_file_size(img, options));
    if (!space.held()) return InPlace::no_room;
    const bool written = put_contents(file.get(), img, options) && H5Fclose(file.release()) >= 0;
    return written && space.release() ? InPlace::written : InPlace::failed;
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
    const PlistId gcpl = untimed(H5P_GROUP_CREATE);
    GroupId group(H5Gcreate2(parent, name, H5P_DEFAULT, gcpl.get(), H5P_DEFAULT));
    if (group.valid() && !put_text_attribute(group.get(), "NX_class", nx_class)) group.reset();
    return group;
}

bool nexus_memory_file(size_t room, const std::function<bool(hid_t file)>& fill, std::string& bytes) {
    const QuietErrors quiet;
    const PlistId fapl(H5Pcreate(H5P_FILE_ACCESS));
    if (!fapl.valid() || H5Pset_fapl_core(fapl.get(), room, false) < 0) return false;
    const FileId file(H5Fcreate("zandor-output.h5", H5F_ACC_TRUNC, H5P_DEFAULT, fapl.get()));
    if (!file.valid() || !fill(file.get()) || H5Fflush(file.get(), H5F_SCOPE_LOCAL) < 0) return false;
    const ssize_t size = H5Fget_file_image(file.get(), nullptr, 0);
    if (size <= 0) return false;
    bytes.resize(static_cast<size_t>(size));
    return H5Fget_file_image(file.get(), &bytes[0], bytes.size()) == size;
}

void nexus_write(const IMG& img, const std::string& path, const XyWriteOptions& options) {
    const std::string name = xy_module_file_name(path, {".h5", ".nxs", ".hdf5"}, false);
    marked_pixel_count(kOrigin, img, name);
    check_filter(options.h5_compression, name);
    prg_printf(" writing %s as NeXus/HDF5, %s, %s\n", name.c_str(),
               options.h5_type == XySampleType::float32 ? "32-bit float" : "signed 32-bit",
               compression_name(options.h5_compression));
    write_through_temporary(kOrigin, "HDF5 file", name, [&](const std::string& temp, std::string& cause) {
        const InPlace direct = write_in_place(temp, img, options);
        if (direct == InPlace::written) return true;
        std::string bytes;
        if (direct == InPlace::failed || !build_image(img, options, bytes)) {
            cause = h5_library_error();
            return false;
        }
        return write_file_bytes(temp, bytes.data(), bytes.size());
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
