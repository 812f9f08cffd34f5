#include "nexus_writer.hpp"

#include "h5_handles.hpp"
#include "marked_values.hpp"

#include <algorithm>
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

// Chunks of whole rows, about 1 MiB each, when a filter is asked for.
PlistId image_layout(const IMG& img, size_t value_bytes, XyCompression compression) {
    PlistId dcpl(H5Pcreate(H5P_DATASET_CREATE));
    if (!dcpl.valid() || compression == XyCompression::none) return dcpl;
    const int64_t row_bytes = int64_t{img.nx} * static_cast<int64_t>(value_bytes);
    const hsize_t chunk[2] = {static_cast<hsize_t>(std::clamp<int64_t>(kChunkBytes / row_bytes, 1, img.ny)),
                              static_cast<hsize_t>(img.nx)};
    bool set = H5Pset_chunk(dcpl.get(), 2, chunk) >= 0;
    if (compression == XyCompression::gzip) {
        set = set && H5Pset_shuffle(dcpl.get()) >= 0 && H5Pset_deflate(dcpl.get(), kGzipLevel) >= 0;
    } else {
        const unsigned values[5] = {0, 0, 0, 0, kBitshuffleLz4};
        set = set && H5Pset_filter(dcpl.get(), kBitshuffleFilter, H5Z_FLAG_MANDATORY, 5, values) >= 0;
    }
    if (!set) dcpl.reset();
    return dcpl;
}

bool put_image_dataset(hid_t group, const char* name, const IMG& img, hid_t file_type, hid_t memory_type,
                       size_t value_bytes, const void* values, XyCompression compression) {
    const hsize_t dims[2] = {static_cast<hsize_t>(img.ny), static_cast<hsize_t>(img.nx)};
    const SpaceId space(H5Screate_simple(2, dims, nullptr));
    const PlistId dcpl = image_layout(img, value_bytes, compression);
    if (!space.valid() || !dcpl.valid()) return false;
    const DatasetId dset(
        H5Dcreate2(group, name, file_type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT));
    return dset.valid() && H5Dwrite(dset.get(), memory_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values) >= 0 &&
           (std::strcmp(name, "data") != 0 || put_text_attribute(dset.get(), "interpretation", "image"));
}

bool put_data_group(hid_t entry, const IMG& img, const XyWriteOptions& options) {
    const GroupId data = new_group(entry, "data", "NXdata");
    if (!data.valid() || !put_text_attribute(data.get(), "signal", "data") ||
        !put_texts_attribute(data.get(), "axes", {".", "."}))
        return false;
    const XyCompression c = options.h5_compression;
    bool put = false;
    if (options.h5_type == XySampleType::float32) {
        const std::vector<float> values = marked_float32(img);
        put =
            put_image_dataset(data.get(), "data", img, H5T_IEEE_F32LE, H5T_NATIVE_FLOAT, 4, values.data(), c);
    } else {
        const std::vector<int32_t> values = marked_int32(img);
        put =
            put_image_dataset(data.get(), "data", img, H5T_STD_I32LE, H5T_NATIVE_INT32, 4, values.data(), c);
    }
    if (!put) return false;
    if (!img.frame.empty() && !put_image_dataset(data.get(), "frame_count", img, H5T_STD_U16LE,
                                                 H5T_NATIVE_UINT16, 2, img.frame.data(), c))
        return false;
    const std::vector<uint8_t> mask = marked_mask(img);
    return put_image_dataset(data.get(), "mask", img, H5T_STD_U8LE, H5T_NATIVE_UINT8, 1, mask.data(), c);
}

bool put_contents(hid_t file, const IMG& img, const XyWriteOptions& options) {
    const GroupId entry = new_group(file, "entry", "NXentry");
    return entry.valid() && put_text_attribute(file, "default", "entry") &&
           put_text_attribute(file, "creator", "zandor") &&
           put_text_attribute(entry.get(), "default", "data") && put_data_group(entry.get(), img, options) &&
           put_metadata(entry.get(), options.metadata);
}

bool build_image(const IMG& img, const XyWriteOptions& options, std::string& bytes) {
    // Room for the uncompressed datasets at once: the file is not copied as it grows.
    const size_t room = img.data.size() * (4 + 2 + 1) + kCoreMargin;
    return nexus_memory_file(
        room, [&](hid_t file) { return put_contents(file, img, options); }, bytes);
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
    std::string bytes;
    if (!build_image(img, options, bytes))
        v_fatal(kOrigin, " writing HDF5 file %s failed : %s\n", name.c_str(), h5_library_error().c_str());
    write_through_temporary(kOrigin, "HDF5 file", name, [&](const std::string& temp, std::string&) {
        return write_file_bytes(temp, bytes);
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
