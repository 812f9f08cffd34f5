// HDF5 and NeXus image stacks: finding the image dataset (or the linked data
// sets of a master file), describing it in the header list, decoding a frame's
// window through libhdf5, and the detector's pixel mask.
//
// libhdf5 prints its own error stack on every failed call; that printing is
// switched off, and a failure is reported as one line built from the stack.
#include "h5_lib.hpp"

#include "h5_bitshuffle.hpp"
#include "h5_handles.hpp"

#include <hdf5.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace {

constexpr const char* kOrigin = "../xy32lib/h5_lib";
constexpr uint64_t kMaxSide = 65535; // frame sides are 16-bit numbers in the record
constexpr size_t kMaxChunkCache = size_t{256} << 20;

struct StackText {
    std::string outer; // what the called function could not do
    std::string inner; // the deepest cause
};

herr_t collect_error(unsigned n, const H5E_error2_t* e, void* data) {
    auto* text = static_cast<StackText*>(data);
    if (n == 0 && e->desc) text->outer = e->desc;
    if (e->desc) text->inner = e->desc;
    return 0;
}

} // namespace

std::string h5_library_error() {
    StackText text;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, collect_error, &text);
    H5Eclear2(H5E_DEFAULT);
    if (text.outer.empty()) return "HDF5 library error";
    if (text.inner.empty() || text.inner == text.outer) return text.outer;
    return text.outer + ": " + text.inner;
}

namespace {

[[noreturn]] void fail(const char* what, const std::string& subject, const std::string& file) {
    const std::string cause = h5_library_error();
    v_fatal(kOrigin, " %s '%s' of '%s' : %s\n", what, subject.c_str(), file.c_str(), cause.c_str());
}

// ---------------------------------------------------------------- paths

// Whether every link along an absolute path exists (a dangling external link
// at the end counts as existing: opening it then says what is missing).
bool path_exists(hid_t file, const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (H5Lexists(file, prefix.c_str(), H5P_DEFAULT) <= 0) {
            H5Eclear2(H5E_DEFAULT);
            return false;
        }
        if (slash == std::string::npos) return true;
    }
}

// "file:path" of an external link, "" for any other link.
std::string external_target(hid_t file, const std::string& path) {
    H5L_info_t info;
    if (H5Lget_info(file, path.c_str(), &info, H5P_DEFAULT) < 0 || info.type != H5L_TYPE_EXTERNAL) {
        H5Eclear2(H5E_DEFAULT);
        return "";
    }
    std::vector<char> value(info.u.val_size + 1, '\0');
    const char* target_file = nullptr;
    const char* target_path = nullptr;
    unsigned flags = 0;
    if (H5Lget_val(file, path.c_str(), value.data(), info.u.val_size, H5P_DEFAULT) < 0 ||
        H5Lunpack_elink_val(value.data(), info.u.val_size, &flags, &target_file, &target_path) < 0) {
        H5Eclear2(H5E_DEFAULT);
        return "";
    }
    return std::string(target_file) + ":" + target_path;
}

// ---------------------------------------------------------------- pixel types

// How the dataset stores a pixel, and the record's pixel type for it.
struct Stored {
    H5T_class_t cls = H5T_NO_CLASS;
    size_t bytes = 0;
    bool is_signed = false;
    bool host_order = false; // the bytes of a value in the host's order

    bool supported() const {
        if (cls == H5T_FLOAT) return bytes == 4;
        return cls == H5T_INTEGER && (bytes == 1 || bytes == 2 || bytes == 4);
    }
    int32_t pixel_type() const {
        if (cls == H5T_FLOAT) return XY_TYPE_FLOAT;
        if (!is_signed && bytes == 1) return XY_TYPE_UINT8;
        if (!is_signed && bytes == 2) return XY_TYPE_UINT16;
        return XY_TYPE_INT32; // signed 8/16/32 bits and unsigned 32 bits
    }
    bool unsigned32() const { return cls == H5T_INTEGER && !is_signed && bytes == 4; }
    std::string name() const {
        if (cls == H5T_FLOAT) return prg_format("float%zu", bytes * 8);
        if (cls == H5T_INTEGER) return prg_format("%sint%zu", is_signed ? "" : "u", bytes * 8);
        return "non-numeric";
    }
    bool operator==(const Stored& o) const {
        return cls == o.cls && bytes == o.bytes && is_signed == o.is_signed;
    }
};

Stored stored_type(hid_t dset) {
    TypeId type(H5Dget_type(dset));
    Stored s;
    if (!type.valid()) return s;
    s.cls = H5Tget_class(type.get());
    s.bytes = H5Tget_size(type.get());
    s.is_signed = s.cls == H5T_INTEGER && H5Tget_sign(type.get()) == H5T_SGN_2;
    const H5T_order_t order = H5Tget_order(type.get());
    s.host_order = order == (xy_host_little_endian() ? H5T_ORDER_LE : H5T_ORDER_BE) ||
                   (s.bytes == 1 && order == H5T_ORDER_NONE);
    H5Eclear2(H5E_DEFAULT);
    return s;
}

template <class T> int32_t pixel_type_of() {
    if constexpr (std::is_same_v<T, uint8_t>) return XY_TYPE_UINT8;
    if constexpr (std::is_same_v<T, uint16_t>) return XY_TYPE_UINT16;
    if constexpr (std::is_same_v<T, int32_t>) return XY_TYPE_INT32;
    return XY_TYPE_FLOAT;
}

template <class T> hid_t memory_type() {
    if constexpr (std::is_same_v<T, uint8_t>) return H5T_NATIVE_UINT8;
    if constexpr (std::is_same_v<T, uint16_t>) return H5T_NATIVE_UINT16;
    if constexpr (std::is_same_v<T, int32_t>) return H5T_NATIVE_INT32;
    if constexpr (std::is_same_v<T, uint32_t>) return H5T_NATIVE_UINT32;
    return H5T_NATIVE_FLOAT;
}

// ---------------------------------------------------------------- datasets

std::vector<hsize_t> dims_of(hid_t dset) {
    SpaceId space(H5Dget_space(dset));
    const int rank = space.valid() ? H5Sget_simple_extent_ndims(space.get()) : -1;
    if (rank <= 0 || rank > 8) return {};
    std::vector<hsize_t> dims(static_cast<size_t>(rank));
    H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
    return dims;
}

// A 2-D or 3-D dataset of a pixel type the summation takes.
bool is_image_dataset(hid_t dset) {
    const size_t rank = dims_of(dset).size();
    return (rank == 2 || rank == 3) && stored_type(dset).supported();
}

struct FoundDatasets {
    std::string first3d;
    std::string first2d;
};

herr_t visit_object(hid_t root, const char* name, const H5O_info_t* info, void* data) {
    auto* found = static_cast<FoundDatasets*>(data);
    if (info->type != H5O_TYPE_DATASET) return 0;
    DatasetId dset(H5Dopen2(root, name, H5P_DEFAULT));
    if (!dset.valid() || !is_image_dataset(dset.get())) {
        H5Eclear2(H5E_DEFAULT);
        return 0;
    }
    const std::string path = std::string("/") + name;
    if (dims_of(dset.get()).size() == 3) {
        found->first3d = path;
        return 1; // a 3-D stack ends the search
    }
    if (found->first2d.empty()) found->first2d = path;
    return 0;
}

// The first 3-D image dataset of the file in name order, else the first 2-D one.
std::string first_image_dataset(hid_t file) {
    FoundDatasets found;
    if (H5Ovisit2(file, H5_INDEX_NAME, H5_ITER_INC, visit_object, &found, H5O_INFO_BASIC) < 0)
        H5Eclear2(H5E_DEFAULT);
    return found.first3d.empty() ? found.first2d : found.first3d;
}

constexpr const char* kStackPath = "/entry/data/data";
constexpr const char* kDetectorPath = "/entry/instrument/detector/data";

std::string part_path(int n) {
    return prg_format("/entry/data/data_%06d", n);
}

// The dataset paths to read, in frame order; `data_path` when given.
std::vector<std::string> image_paths(hid_t file, const std::string& file_name, const std::string& data_path) {
    if (!data_path.empty()) {
        if (!path_exists(file, data_path))
            v_fatal(kOrigin, " H5_DATA dataset '%s' not found in '%s'\n", data_path.c_str(),
                    file_name.c_str());
        return {data_path};
    }
    if (path_exists(file, kStackPath)) return {kStackPath};
    std::vector<std::string> parts;
    for (int n = 1; n < 1000000 && path_exists(file, part_path(n)); ++n)
        parts.push_back(part_path(n));
    if (!parts.empty()) return parts;
    if (path_exists(file, kDetectorPath)) return {kDetectorPath};
    const std::string any = first_image_dataset(file);
    if (any.empty()) v_fatal(kOrigin, " no 2-D or 3-D image dataset found in '%s'\n", file_name.c_str());
    return {any};
}

// ---------------------------------------------------------------- filters

std::string filter_name(H5Z_filter_t id, const std::vector<unsigned>& cd) {
    switch (id) {
    case H5Z_FILTER_DEFLATE:
        return "deflate";
    case H5Z_FILTER_SHUFFLE:
        return "shuffle";
    case H5Z_FILTER_FLETCHER32:
        return "fletcher32";
    case H5Z_FILTER_SZIP:
        return "szip";
    case H5Z_FILTER_NBIT:
        return "nbit";
    case H5Z_FILTER_SCALEOFFSET:
        return "scaleoffset";
    case 32004:
        return "lz4";
    case 32008:
        // The fifth parameter names the compression after the shuffle.
        if (cd.size() > 4 && cd[4] == 2) return "bitshuffle+lz4";
        if (cd.size() > 4 && cd[4] == 3) return "bitshuffle+zstd";
        return "bitshuffle";
    default:
        return prg_format("filter %d", static_cast<int>(id));
    }
}

// The filters of a dataset, in order; a filter the library cannot load stops
// the run here rather than at the first frame.
std::string filters_text(hid_t dcpl, const std::string& path, const std::string& file_name) {
    std::string text;
    const int n = H5Pget_nfilters(dcpl);
    for (int i = 0; i < n; ++i) {
        unsigned flags = 0, config = 0;
        size_t nelmts = 16;
        std::vector<unsigned> cd(nelmts);
        char name[64] = "";
        const H5Z_filter_t id = H5Pget_filter2(dcpl, static_cast<unsigned>(i), &flags, &nelmts, cd.data(),
                                               sizeof name, name, &config);
        if (id < 0) fail("filters of dataset", path, file_name);
        cd.resize(std::min<size_t>(nelmts, cd.size()));
        const std::string label = filter_name(id, cd);
        if (H5Zfilter_avail(id) <= 0) {
            H5Eclear2(H5E_DEFAULT);
            v_fatal(kOrigin, " dataset '%s' of '%s' needs the HDF5 filter %s (%d), which is not installed\n",
                    path.c_str(), file_name.c_str(), label.c_str(), static_cast<int>(id));
        }
        text += (text.empty() ? "" : ",") + label;
    }
    return text.empty() ? "none" : text;
}

constexpr H5Z_filter_t kBitshuffle = 32008;
constexpr unsigned kBitshuffleLz4 = 2; // the filter's fifth parameter: LZ4 after the shuffle

// Whether the only filter of the dataset is bitshuffle with LZ4 over values of
// the stored size in the host's byte order, in chunks of one whole frame. Such
// chunks are read raw and decoded here, several times faster than through the
// filter plugin. Returns the bytes of the block their reading keeps (the
// filter's block, at most the frame's values), or 0 when they are not such chunks.
uint64_t bitshuffle_lz4_block_bytes(hid_t dset, const std::vector<hsize_t>& dims, const Stored& stored) {
    PlistId dcpl(H5Dget_create_plist(dset));
    if (!dcpl.valid() || H5Pget_layout(dcpl.get()) != H5D_CHUNKED || H5Pget_nfilters(dcpl.get()) != 1) {
        H5Eclear2(H5E_DEFAULT);
        return 0;
    }
    const int rank = static_cast<int>(dims.size());
    std::vector<hsize_t> chunk(dims.size());
    if (H5Pget_chunk(dcpl.get(), rank, chunk.data()) != rank) {
        H5Eclear2(H5E_DEFAULT);
        return 0;
    }
    std::vector<hsize_t> frame = dims;
    if (rank == 3) frame[0] = 1;
    unsigned flags = 0, config = 0, cd[8] = {};
    size_t nelmts = std::size(cd);
    const H5Z_filter_t id = H5Pget_filter2(dcpl.get(), 0, &flags, &nelmts, cd, 0, nullptr, &config);
    H5Eclear2(H5E_DEFAULT);
    if (!(chunk == frame && id == kBitshuffle && nelmts > 4 && cd[4] == kBitshuffleLz4 &&
          cd[2] == stored.bytes && stored.host_order))
        return 0;
    const uint64_t values = dims[rank - 1] * dims[rank - 2];
    const uint64_t block = cd[3] > 0 ? cd[3] : bslz4_default_block(stored.bytes);
    return std::min(block, std::max<uint64_t>(values / 8 * 8, 8)) * stored.bytes;
}

// Copies `n` stored values to the record's pixel type: the same bytes, or
// signed 8- and 16-bit values widened to 32 bits.
template <class T> void copy_values(const uint8_t* src, T* dst, size_t n, size_t stored_bytes) {
    if (sizeof(T) == stored_bytes) {
        std::memcpy(dst, src, n * sizeof(T));
        return;
    }
    if constexpr (std::is_same_v<T, int32_t>) {
        for (size_t i = 0; i < n; ++i) {
            if (stored_bytes == 1) {
                dst[i] = static_cast<int8_t>(src[i]);
            } else {
                int16_t v;
                std::memcpy(&v, src + 2 * i, sizeof v);
                dst[i] = v;
            }
        }
    }
}

// ---------------------------------------------------------------- the stack

// One dataset of the series and the frames it holds.
struct Part {
    std::string path;
    std::string target; // "file:path" when reached through an external link
    DatasetId dset;
    int64_t first = 0; // frames of the parts before it
    int64_t frames = 0;
    bool bitshuffle_lz4 = false;   // its chunks are decoded here
    uint64_t kept_block_bytes = 0; // the block their reading keeps
    // The file holding its chunks, opened to read them on several threads,
    // and what to add to a chunk's address to find it there. Tried once, on
    // a chunk read through the library: closed when the bytes differ.
    bool direct_tried = false;
    FileHandle direct;
    uint64_t base = 0;
};

// Where a frame's chunk is stored; `bytes` 0 when it was never written (the
// library then gives the fill value).
struct ChunkPlace {
    hsize_t bytes = 0;
    haddr_t address = HADDR_UNDEF;
    unsigned filter_mask = 0;
};

// A frame's chunk as stored, read a range of values at a time.
struct FrameChunk {
    int32_t frame = 0;            // 1-based; 0 when it holds none
    bool unfiltered = false;      // stored with the filter skipped: the values as they are
    ScratchVector<uint8_t> bytes; // written by each read before it is used
    size_t size = 0;
    Bslz4Ranges ranges;

    // Reads the chunk's header again: its values are taken from the first on.
    std::string start(size_t elem_size, size_t frame_bytes) {
        if (unfiltered) return "";
        return ranges.start(bytes.data(), size, elem_size, frame_bytes);
    }
    void release() {
        frame = 0;
        size = 0;
        ScratchVector<uint8_t>().swap(bytes);
        ranges.release();
    }
};

class H5Stack final : public FrameSource {
  public:
    H5Stack(const std::string& file_name, const std::string& data_path, int32_t threads);

    ~H5Stack() override {
        const QuietErrors quiet;
        parts_.clear();
        file_ = FileId();
    }
    int32_t decode(int32_t frame, const XyWindow& w, uint8_t* buf) override { return read(frame, w, buf); }
    int32_t decode(int32_t frame, const XyWindow& w, uint16_t* buf) override { return read(frame, w, buf); }
    int32_t decode(int32_t frame, const XyWindow& w, int32_t* buf) override { return read(frame, w, buf); }
    int32_t decode(int32_t frame, const XyWindow& w, float* buf) override { return read(frame, w, buf); }
    int32_t band_frames(int32_t first, int32_t most) override;
    HeaderGeometry header_geometry() const override;
    std::unique_ptr<FrameSource> band_reader() override;

    void describe(HDR& hdr) const;
    int64_t frames() const { return parts_.back().first + parts_.back().frames; }
    uint64_t width() const { return width_; }
    uint64_t height() const { return height_; }
    const Stored& stored() const { return stored_; }

  private:
    void open_part(const std::string& path);
    void read_layout(const Part& part);
    void read_pixel_mask();
    template <class T> int32_t read(int32_t frame, const XyWindow& w, T* buf);
    size_t part_index(int32_t frame) const;
    const Part& part_of(int32_t frame) const { return parts_[part_index(frame)]; }
    void read_through_library(const Part& part, hsize_t local, int32_t frame, const XyWindow& w, void* buf,
                              hid_t type);
    uint64_t frame_bytes() const { return width_ * height_ * stored_.bytes; }
    // No sound chunk is twice the frame: the smallest block, 8 bytes that do
    // not compress, takes 13 with its record.
    bool oversized(uint64_t stored_bytes) const { return stored_bytes > 2 * frame_bytes() + 64; }
    ChunkPlace chunk_place(const Part& part, int32_t frame) const;
    void load_chunk(const Part& part, int32_t frame, hsize_t stored_bytes, FrameChunk& chunk);
    std::string take_chunk(int32_t frame, const ChunkPlace& place, FrameChunk& chunk) const;
    FrameChunk* chunk_of(const Part& part, int32_t frame);
    std::vector<ChunkPlace> group_places(int32_t first, int32_t most) const;
    void load_group(int32_t first, const std::vector<ChunkPlace>& places);
    void try_direct_reading(Part& part, const ChunkPlace& place, const FrameChunk& chunk) const;
    void release_group(size_t from);
    template <class T> void take_window(FrameChunk& chunk, const Part& part, const XyWindow& w, T* buf);
    [[noreturn]] void damaged(int32_t frame, const Part& part, const std::string& fault) const;
    void check_unsigned_range(const int32_t* buf, int32_t frame, const XyWindow& w) const;

    std::string file_name_;
    FileId file_;
    std::vector<Part> parts_;
    Stored stored_;
    size_t rank_ = 0;
    uint64_t width_ = 0, height_ = 0;
    std::string chunks_ = "contiguous";
    std::string filters_ = "none";
    std::string mask_path_;
    int64_t masked_ = 0;
    size_t cache_bytes_ = 0; // 0: the library's default chunk cache
    int32_t threads_ = 1;    // the threads a group's chunks are read on
    // The chunks of the frames prepared for band reading, in frame order.
    std::vector<std::unique_ptr<FrameChunk>> group_;
    size_t group_frames_ = 0;
    FrameChunk single_;            // the chunk of a frame read outside a group
    std::vector<uint8_t> row_;     // a window row of stored values, when the pixel type widens them
    std::vector<uint8_t> scratch_; // an expanded LZ4 block
};

H5Stack::H5Stack(const std::string& file_name, const std::string& data_path, int32_t threads)
    : file_name_(file_name), threads_(threads) {
    file_ = FileId(H5Fopen(file_name.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
    if (!file_.valid()) fail("cannot open as HDF5", file_name, file_name);
    for (const std::string& path : image_paths(file_.get(), file_name, data_path))
        open_part(path);
    read_pixel_mask();
}

// How the datasets are opened: linked data files are looked for beside the
// master file, and a chunk holding several frames gets a cache large enough to
// keep a whole frame's chunks while the next frames are read from them (a
// chunk of one frame is read straight into the frame buffer instead).
PlistId dataset_access(const std::string& file_name, size_t cache_bytes) {
    PlistId dapl(H5Pcreate(H5P_DATASET_ACCESS));
    const std::string dir = prg_pathname(file_name);
    H5Pset_elink_prefix(dapl.get(), dir.empty() ? "." : dir.c_str());
    if (cache_bytes > 0) H5Pset_chunk_cache(dapl.get(), 10007, cache_bytes, 1.0);
    return dapl;
}

DatasetId open_dataset(hid_t file, const std::string& path, hid_t dapl) {
    return DatasetId(H5Dopen2(file, path.c_str(), dapl));
}

// Opens one dataset of the series; every dataset must have the frame size and
// pixel type of the first.
void H5Stack::open_part(const std::string& path) {
    Part part;
    part.path = path;
    part.target = external_target(file_.get(), path);
    // Kept open until the error stack is read: every library call clears it.
    PlistId access = dataset_access(file_name_, cache_bytes_);
    part.dset = open_dataset(file_.get(), path, access.get());
    if (!part.dset.valid()) {
        if (!part.target.empty())
            fail("cannot open the linked data file of", path + " -> " + part.target, file_name_);
        fail("cannot open dataset", path, file_name_);
    }
    const std::vector<hsize_t> dims = dims_of(part.dset.get());
    const Stored stored = stored_type(part.dset.get());
    if (dims.size() != 2 && dims.size() != 3)
        v_fatal(kOrigin, " dataset '%s' of '%s' has %zu dimensions, not 2 or 3\n", path.c_str(),
                file_name_.c_str(), dims.size());
    if (!stored.supported())
        v_fatal(kOrigin, " dataset '%s' of '%s' holds %s values: not an image pixel type\n", path.c_str(),
                file_name_.c_str(), stored.name().c_str());
    const uint64_t height = dims[dims.size() - 2], width = dims.back();
    part.frames = dims.size() == 3 ? static_cast<int64_t>(dims[0]) : 1;
    if (part.frames == 0)
        v_fatal(kOrigin, " dataset '%s' of '%s' holds 0 frames\n", path.c_str(), file_name_.c_str());
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)
        v_fatal(kOrigin, " dataset '%s' of '%s': frames of %llu x %llu pixels not supported\n", path.c_str(),
                file_name_.c_str(), static_cast<unsigned long long>(width),
                static_cast<unsigned long long>(height));
    if (parts_.empty()) {
        stored_ = stored;
        rank_ = dims.size();
        width_ = width;
        height_ = height;
        read_layout(part);
        if (cache_bytes_ > 0) {
            access = dataset_access(file_name_, cache_bytes_);
            part.dset = open_dataset(file_.get(), path, access.get());
            if (!part.dset.valid()) fail("cannot open dataset", path, file_name_);
        }
    } else if (!(stored == stored_) || width != width_ || height != height_ || dims.size() != rank_) {
        v_fatal(kOrigin, " dataset '%s' of '%s' differs from '%s' in frame size or pixel type\n",
                path.c_str(), file_name_.c_str(), parts_[0].path.c_str());
    }
    part.kept_block_bytes = bitshuffle_lz4_block_bytes(part.dset.get(), dims, stored);
    part.bitshuffle_lz4 = part.kept_block_bytes > 0;
    part.first = parts_.empty() ? 0 : frames();
    if (part.first + part.frames > INT32_MAX)
        v_fatal(kOrigin, " more than %d frames in '%s'\n", INT32_MAX, file_name_.c_str());
    parts_.push_back(std::move(part));
}

// Chunking and filters of the first dataset, and the chunk cache it needs.
void H5Stack::read_layout(const Part& part) {
    PlistId dcpl(H5Dget_create_plist(part.dset.get()));
    if (!dcpl.valid()) fail("cannot read the layout of dataset", part.path, file_name_);
    if (H5Pget_layout(dcpl.get()) != H5D_CHUNKED) return;
    std::vector<hsize_t> chunk(rank_);
    H5Pget_chunk(dcpl.get(), static_cast<int>(rank_), chunk.data());
    chunks_.clear();
    for (hsize_t c : chunk)
        chunks_ += (chunks_.empty() ? "" : " x ") + std::to_string(c);
    filters_ = filters_text(dcpl.get(), part.path, file_name_);
    if (rank_ == 3 && chunk[0] > 1) {
        const uint64_t frame_bytes = width_ * height_ * stored_.bytes;
        const uint64_t chunk_rows = std::max<hsize_t>(chunk[1], 1),
                       chunk_cols = std::max<hsize_t>(chunk[2], 1);
        const uint64_t row_of_chunks = (height_ + chunk_rows - 1) / chunk_rows * chunk_rows *
                                       ((width_ + chunk_cols - 1) / chunk_cols * chunk_cols) * stored_.bytes;
        cache_bytes_ =
            static_cast<size_t>(std::min<uint64_t>(row_of_chunks * chunk[0] + frame_bytes, kMaxChunkCache));
    }
}

void H5Stack::read_pixel_mask() {
    static const char* const kMaskPaths[] = {"/entry/instrument/detector/pixel_mask",
                                             "/entry/instrument/detector/detectorSpecific/pixel_mask"};
    for (const char* path : kMaskPaths) {
        if (!path_exists(file_.get(), path)) continue;
        DatasetId mask(H5Dopen2(file_.get(), path, H5P_DEFAULT));
        if (!mask.valid()) fail("cannot open the pixel mask", path, file_name_);
        const std::vector<hsize_t> dims = dims_of(mask.get());
        const bool fits = (dims.size() == 2 || (dims.size() == 3 && dims[0] == 1)) &&
                          dims[dims.size() - 2] == height_ && dims.back() == width_ &&
                          stored_type(mask.get()).cls == H5T_INTEGER;
        if (!fits)
            v_fatal(kOrigin, " pixel mask '%s' of '%s' is not a %llu x %llu integer mask\n", path,
                    file_name_.c_str(), static_cast<unsigned long long>(width_),
                    static_cast<unsigned long long>(height_));
        std::vector<uint32_t> values = prg_alloc<uint32_t>("h5_lib", "pixel mask", width_ * height_);
        if (H5Dread(mask.get(), H5T_NATIVE_UINT32, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0)
            fail("cannot read the pixel mask", path, file_name_);
        pixel_mask_ = prg_alloc<uint8_t>("h5_lib", "pixel mask", values.size());
        for (size_t i = 0; i < values.size(); ++i)
            pixel_mask_[i] = values[i] != 0;
        masked_ = std::count(pixel_mask_.begin(), pixel_mask_.end(), uint8_t{1});
        mask_path_ = path;
        return;
    }
}

size_t H5Stack::part_index(int32_t frame) const {
    const auto after =
        std::find_if(parts_.rbegin(), parts_.rend(), [&](const Part& p) { return p.first < frame; });
    return static_cast<size_t>(parts_.rend() - after) - 1;
}

template <class T> int32_t H5Stack::read(int32_t frame, const XyWindow& w, T* buf) {
    const QuietErrors quiet;
    if (frame < 1 || frame > frames()) return 0;
    if (w.x0 < 0 || w.y0 < 0 || w.width <= 0 || w.height <= 0 || uint64_t(w.x0) + w.width > width_ ||
        uint64_t(w.y0) + w.height > height_)
        v_fatal(kOrigin, " window %d+%d * %d+%d outside the frames of '%s'\n", w.x0, w.width, w.y0, w.height,
                file_name_.c_str());
    const Part& part = part_of(frame);
    const bool check_range = std::is_same_v<T, int32_t> && stored_.unsigned32();
    FrameChunk* chunk =
        part.bitshuffle_lz4 && pixel_type_of<T>() == stored_.pixel_type() ? chunk_of(part, frame) : nullptr;
    if (chunk)
        take_window(*chunk, part, w, buf);
    else
        read_through_library(part, static_cast<hsize_t>(frame - 1 - part.first), frame, w, buf,
                             check_range ? H5T_NATIVE_UINT32 : memory_type<T>());
    if constexpr (std::is_same_v<T, int32_t>)
        if (check_range) check_unsigned_range(buf, frame, w);
    return w.height;
}

// The frame's window through H5Dread, in the memory type `type`.
void H5Stack::read_through_library(const Part& part, hsize_t local, int32_t frame, const XyWindow& w,
                                   void* buf, hid_t type) {
    const hsize_t start3[3] = {local, hsize_t(w.y0), hsize_t(w.x0)};
    const hsize_t count3[3] = {1, hsize_t(w.height), hsize_t(w.width)};
    const hsize_t* start = rank_ == 3 ? start3 : start3 + 1;
    const hsize_t* count = rank_ == 3 ? count3 : count3 + 1;
    SpaceId file_space(H5Dget_space(part.dset.get()));
    // The buffer described with the selection's shape: the library then copies
    // whole rows (a flat buffer makes it walk the pixels one by one).
    SpaceId memory(H5Screate_simple(static_cast<int>(rank_), count, nullptr));
    if (!file_space.valid() || !memory.valid() ||
        H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) < 0 ||
        H5Dread(part.dset.get(), type, memory.get(), file_space.get(), H5P_DEFAULT, buf) < 0)
        fail(prg_format("cannot decode frame %d of dataset", frame).c_str(), part.path, file_name_);
}

ChunkPlace H5Stack::chunk_place(const Part& part, int32_t frame) const {
    const hsize_t offset3[3] = {static_cast<hsize_t>(frame - 1 - part.first), 0, 0};
    const hsize_t* offset = rank_ == 3 ? offset3 : offset3 + 1;
    ChunkPlace place;
    if (H5Dget_chunk_info_by_coord(part.dset.get(), offset, &place.filter_mask, &place.address,
                                   &place.bytes) < 0)
        fail(prg_format("cannot find the chunk of frame %d of dataset", frame).c_str(), part.path,
             file_name_);
    if (place.address == HADDR_UNDEF) place.bytes = 0;
    return place;
}

// Reads the frame's chunk raw into `chunk` and reads its header. A chunk
// stored with the filter skipped holds the frame as it is.
void H5Stack::load_chunk(const Part& part, int32_t frame, hsize_t stored_bytes, FrameChunk& chunk) {
    if (oversized(stored_bytes)) damaged(frame, part, "chunk of " + std::to_string(stored_bytes) + " bytes");
    // Grown with room to spare: the chunks of a stack differ by a few bytes.
    if (chunk.bytes.size() < stored_bytes)
        chunk.bytes =
            prg_alloc<uint8_t, ScratchVector<uint8_t>>("h5_lib", "chunk", stored_bytes + stored_bytes / 8);
    const hsize_t offset3[3] = {static_cast<hsize_t>(frame - 1 - part.first), 0, 0};
    const hsize_t* offset = rank_ == 3 ? offset3 : offset3 + 1;
    ChunkPlace place;
    place.bytes = stored_bytes;
    chunk.frame = 0;
    if (H5Dread_chunk(part.dset.get(), H5P_DEFAULT, offset, &place.filter_mask, chunk.bytes.data()) < 0)
        fail(prg_format("cannot read the chunk of frame %d of dataset", frame).c_str(), part.path,
             file_name_);
    const std::string fault = take_chunk(frame, place, chunk);
    if (!fault.empty()) damaged(frame, part, fault);
}

// Takes the chunk whose stored bytes `chunk` holds and reads its header;
// returns "" or what is wrong with it. A chunk stored with the filter skipped
// holds the frame as it is.
std::string H5Stack::take_chunk(int32_t frame, const ChunkPlace& place, FrameChunk& chunk) const {
    chunk.size = static_cast<size_t>(place.bytes);
    chunk.unfiltered = place.filter_mask & 1;
    if (chunk.unfiltered && place.bytes != frame_bytes())
        return "unfiltered chunk of " + std::to_string(place.bytes) + " bytes";
    std::string fault = chunk.start(stored_.bytes, frame_bytes());
    if (fault.empty()) chunk.frame = frame;
    return fault;
}

// Reads chunks by their address in the file, on the job's threads, once the
// bytes there proved equal to the chunk the library read: the file is then
// plainly stored, its chunks at their address or past a user block.
void H5Stack::try_direct_reading(Part& part, const ChunkPlace& place, const FrameChunk& chunk) const {
    part.direct_tried = true;
    const ssize_t length = H5Fget_name(part.dset.get(), nullptr, 0);
    FileId file(H5Iget_file_id(part.dset.get()));
    PlistId creation(file.valid() ? H5Fget_create_plist(file.get()) : H5I_INVALID_HID);
    hsize_t user_block = 0;
    if (length <= 0 || !creation.valid() || H5Pget_userblock(creation.get(), &user_block) < 0) return;
    std::string name(static_cast<size_t>(length) + 1, '\0');
    H5Fget_name(part.dset.get(), name.data(), name.size());
    name.resize(static_cast<size_t>(length));
    FileHandle fp(std::fopen(name.c_str(), "rb"));
    if (!fp.get()) return;
    std::vector<uint8_t> bytes(chunk.size);
    for (const uint64_t base : {uint64_t{0}, uint64_t{user_block}}) {
        if (prg_read_at(fp.get(), place.address + base, chunk.size, bytes.data()) &&
            std::equal(bytes.begin(), bytes.end(), chunk.bytes.begin())) {
            part.direct = std::move(fp);
            part.base = base;
            return;
        }
    }
}

// The chunk of a bitshuffle+LZ4 frame, from the group when it is there;
// null when the chunk was never written.
FrameChunk* H5Stack::chunk_of(const Part& part, int32_t frame) {
    for (size_t j = 0; j < group_frames_; ++j)
        if (group_[j]->frame == frame) return group_[j].get();
    if (single_.frame == frame) return &single_;
    const hsize_t stored_bytes = chunk_place(part, frame).bytes;
    if (stored_bytes == 0) return nullptr;
    load_chunk(part, frame, stored_bytes, single_);
    return &single_;
}

// Frees the group's chunks from the `from`-th on.
void H5Stack::release_group(size_t from) {
    for (size_t j = from; j < group_.size(); ++j)
        group_[j]->release();
}

// The chunks of a group and their kept blocks take at most this many frames'
// bytes (a first chunk beyond it is a group of its own).
constexpr uint64_t kGroupBudgetFrames = 4;

// Where the chunks of a group are: from `first` on, up to `most` frames
// whose stored chunks and kept blocks (the first whatever their size) fit the
// budget.
std::vector<ChunkPlace> H5Stack::group_places(int32_t first, int32_t most) const {
    const uint64_t budget = kGroupBudgetFrames * frame_bytes();
    std::vector<ChunkPlace> places;
    uint64_t used = 0;
    for (int64_t frame = first; places.size() < static_cast<size_t>(most) && frame <= frames(); ++frame) {
        const Part& part = part_of(static_cast<int32_t>(frame));
        if (!part.bitshuffle_lz4) break;
        const ChunkPlace place = chunk_place(part, static_cast<int32_t>(frame));
        const uint64_t held = place.bytes + part.kept_block_bytes;
        if (place.bytes == 0 || (!places.empty() && used + held > budget)) break;
        used += held;
        places.push_back(place);
    }
    return places;
}

// Reads the group's chunks: those of files read directly on the job's
// threads, the others through the library. A chunk a thread could not take
// is read again through the library, which reports what is wrong with it.
void H5Stack::load_group(int32_t first, const std::vector<ChunkPlace>& places) {
    std::vector<size_t> direct;
    for (size_t j = 0; j < places.size(); ++j) {
        const int32_t frame = first + static_cast<int32_t>(j);
        Part& part = parts_[part_index(frame)];
        FrameChunk& chunk = *group_[j];
        chunk.frame = 0;
        if (part.direct.get()) {
            direct.push_back(j);
            continue;
        }
        load_chunk(part, frame, places[j].bytes, chunk);
        if (threads_ > 1 && !part.direct_tried) try_direct_reading(part, places[j], chunk);
    }
    xy_run_pieces(threads_, static_cast<int64_t>(direct.size()), [&](int64_t p) {
        const size_t j = direct[static_cast<size_t>(p)];
        const int32_t frame = first + static_cast<int32_t>(j);
        const Part& part = part_of(frame);
        const ChunkPlace& place = places[j];
        FrameChunk& chunk = *group_[j];
        if (oversized(place.bytes)) return;
        if (chunk.bytes.size() < place.bytes)
            chunk.bytes = ScratchVector<uint8_t>(place.bytes + place.bytes / 8);
        if (prg_read_at(part.direct.get(), place.address + part.base, place.bytes, chunk.bytes.data()))
            take_chunk(frame, place, chunk);
    });
    for (size_t j : direct) {
        const int32_t frame = first + static_cast<int32_t>(j);
        if (group_[j]->frame == 0) load_chunk(part_of(frame), frame, places[j].bytes, *group_[j]);
    }
}

int32_t H5Stack::band_frames(int32_t first, int32_t most) {
    const QuietErrors quiet;
    single_.release();
    group_frames_ = 0;
    const std::vector<ChunkPlace> places =
        first < 1 || most < 1 ? std::vector<ChunkPlace>() : group_places(first, most);
    while (group_.size() < places.size())
        group_.push_back(std::make_unique<FrameChunk>());
    load_group(first, places);
    group_frames_ = places.size();
    release_group(places.size());
    return static_cast<int32_t>(places.size());
}

// Decodes window `w` of a frame of `width` values a row from its chunk,
// reading it through `ranges` (the chunk's own, or a thread's): rows of stored
// values taken straight into `buf`, or through `row` where the pixel type
// widens them. A window above the last one taken starts the chunk over.
// Returns "" or what is wrong with the chunk.
template <class T>
std::string take_window_from(const FrameChunk& chunk, Bslz4Ranges& ranges, uint64_t width,
                             uint64_t frame_bytes, size_t elem_size, const XyWindow& w, T* buf,
                             std::vector<uint8_t>& row, std::vector<uint8_t>& scratch) {
    auto take = [&](uint64_t first, uint64_t count, uint8_t* out) {
        if (!chunk.unfiltered) return ranges.take(first, count, out, scratch);
        std::memcpy(out, chunk.bytes.data() + first * elem_size, count * elem_size);
        return std::string();
    };
    const uint64_t first = uint64_t(w.y0) * width + uint64_t(w.x0);
    std::string fault;
    if (!chunk.unfiltered && first < ranges.next())
        fault = ranges.start(chunk.bytes.data(), chunk.size, elem_size, frame_bytes);
    const bool in_place = sizeof(T) == elem_size;
    if (in_place && uint64_t(w.width) == width) {
        if (fault.empty()) fault = take(first, width * uint64_t(w.height), reinterpret_cast<uint8_t*>(buf));
        return fault;
    }
    if (!in_place && row.size() < width * elem_size)
        row = prg_alloc<uint8_t>("h5_lib", "row", width * elem_size);
    for (int64_t y = 0; y < w.height && fault.empty(); ++y) {
        T* out = buf + y * w.width;
        uint8_t* values = in_place ? reinterpret_cast<uint8_t*>(out) : row.data();
        fault = take(first + y * width, w.width, values);
        if (!in_place) copy_values(values, out, w.width, elem_size);
    }
    return fault;
}

template <class T> void H5Stack::take_window(FrameChunk& chunk, const Part& part, const XyWindow& w, T* buf) {
    const std::string fault =
        take_window_from(chunk, chunk.ranges, width_, frame_bytes(), stored_.bytes, w, buf, row_, scratch_);
    if (!fault.empty()) damaged(chunk.frame, part, fault);
}

// A thread's reader of the frames of the group last prepared: the chunks are
// the stack's, read in place; the reading positions and buffers are its own.
class H5BandReader final : public FrameSource {
  public:
    H5BandReader(std::vector<const FrameChunk*> chunks, uint64_t width, uint64_t height, const Stored& stored)
        : chunks_(std::move(chunks)), ranges_(chunks_.size()), width_(width), height_(height),
          stored_(stored) {
        for (size_t j = 0; j < chunks_.size(); ++j)
            if (!chunks_[j]->unfiltered)
                ranges_[j].start(chunks_[j]->bytes.data(), chunks_[j]->size, stored_.bytes,
                                 width_ * height_ * stored_.bytes);
    }
    int32_t decode(int32_t frame, const XyWindow& w, uint8_t* buf) override { return read(frame, w, buf); }
    int32_t decode(int32_t frame, const XyWindow& w, uint16_t* buf) override { return read(frame, w, buf); }
    int32_t decode(int32_t frame, const XyWindow& w, int32_t* buf) override { return read(frame, w, buf); }
    int32_t decode(int32_t frame, const XyWindow& w, float* buf) override { return read(frame, w, buf); }

  private:
    template <class T> int32_t read(int32_t frame, const XyWindow& w, T* buf) {
        if (pixel_type_of<T>() != stored_.pixel_type() || w.x0 < 0 || w.y0 < 0 || w.width <= 0 ||
            w.height <= 0 || uint64_t(w.x0) + w.width > width_ || uint64_t(w.y0) + w.height > height_)
            throw std::runtime_error("window not served by a band reader");
        for (size_t j = 0; j < chunks_.size(); ++j) {
            if (chunks_[j]->frame != frame) continue;
            if (!take_window_from(*chunks_[j], ranges_[j], width_, width_ * height_ * stored_.bytes,
                                  stored_.bytes, w, buf, row_, scratch_)
                     .empty())
                throw std::runtime_error("damaged chunk");
            if constexpr (std::is_same_v<T, int32_t>)
                if (stored_.unsigned32() &&
                    std::any_of(buf, buf + xy_window_pixels(w), [](int32_t v) { return v < 0; }))
                    throw std::runtime_error("value beyond the 32-bit pixel range");
            return w.height;
        }
        throw std::runtime_error("frame not prepared");
    }

    std::vector<const FrameChunk*> chunks_;
    std::vector<Bslz4Ranges> ranges_;
    uint64_t width_, height_;
    Stored stored_;
    std::vector<uint8_t> row_, scratch_;
};

std::unique_ptr<FrameSource> H5Stack::band_reader() {
    std::vector<const FrameChunk*> chunks;
    for (size_t j = 0; j < group_frames_; ++j)
        chunks.push_back(group_[j].get());
    if (chunks.empty()) return nullptr;
    return std::make_unique<H5BandReader>(std::move(chunks), width_, height_, stored_);
}

void H5Stack::damaged(int32_t frame, const Part& part, const std::string& fault) const {
    v_fatal(kOrigin, " cannot decode frame %d of dataset '%s' of '%s' : damaged bitshuffle+lz4 chunk (%s)\n",
            frame, part.path.c_str(), file_name_.c_str(), fault.c_str());
}

// Pixels are signed 32-bit numbers: unsigned values beyond them are refused.
void H5Stack::check_unsigned_range(const int32_t* buf, int32_t frame, const XyWindow& w) const {
    const int64_t n = xy_window_pixels(w);
    for (int64_t i = 0; i < n; ++i) {
        if (buf[i] >= 0 || buf[i] == kUint32Mark) continue;
        uint32_t value;
        std::memcpy(&value, buf + i, sizeof value);
        v_fatal(kOrigin, " pixel (%lld, %lld) of frame %d of '%s' holds %u, beyond the 32-bit pixel range\n",
                static_cast<long long>(w.x0 + i % w.width), static_cast<long long>(w.y0 + i / w.width), frame,
                file_name_.c_str(), value);
    }
}

// ---------------------------------------------------------------- header entries

// A number or a one-value numeric dataset, with its "units" attribute.
std::string scalar_text(hid_t file, const char* path) {
    DatasetId dset(H5Dopen2(file, path, H5P_DEFAULT));
    if (!dset.valid()) {
        H5Eclear2(H5E_DEFAULT);
        return "";
    }
    const Stored stored = stored_type(dset.get());
    SpaceId space(H5Dget_space(dset.get()));
    double value = 0.0;
    if ((stored.cls != H5T_INTEGER && stored.cls != H5T_FLOAT) || !space.valid() ||
        H5Sget_simple_extent_npoints(space.get()) != 1 ||
        H5Dread(dset.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, &value) < 0) {
        H5Eclear2(H5E_DEFAULT);
        return "";
    }
    std::string text = prg_format("%g", value);
    if (H5Aexists(dset.get(), "units") > 0) {
        AttrId units(H5Aopen(dset.get(), "units", H5P_DEFAULT));
        TypeId type(units.valid() ? H5Aget_type(units.get()) : -1);
        if (type.valid() && H5Tget_class(type.get()) == H5T_STRING && !H5Tis_variable_str(type.get())) {
            std::string u(H5Tget_size(type.get()), '\0');
            if (H5Aread(units.get(), type.get(), &u[0]) >= 0) text += " " + u.substr(0, u.find('\0'));
        }
    }
    H5Eclear2(H5E_DEFAULT);
    return text;
}

struct MetadataItem {
    const char* key;
    const char* path;
};
const MetadataItem kMetadata[] = {
    {"Wavelength", "/entry/instrument/beam/incident_wavelength"},
    {"Wavelength", "/entry/instrument/monochromator/wavelength"},
    {"DetectorDistance", "/entry/instrument/detector/detector_distance"},
    {"ExposureTime", "/entry/instrument/detector/count_time"},
    {"BeamCenterX", "/entry/instrument/detector/beam_center_x"},
    {"BeamCenterY", "/entry/instrument/detector/beam_center_y"},
};

void H5Stack::describe(HDR& hdr) const {
    xy_standard_entries(hdr, nullptr);
    for (const Part& part : parts_)
        xy_kvfstr(hdr, "H5Dataset", part.target.empty() ? part.path : part.path + " -> " + part.target);
    xy_kvfstr(hdr, "H5Type", stored_.name());
    xy_kvfstr(hdr, "H5Chunks", chunks_);
    xy_kvfstr(hdr, "H5Filters", filters_);
    std::string last_key;
    for (const MetadataItem& item : kMetadata) {
        if (item.key == last_key || !path_exists(file_.get(), item.path)) continue;
        const std::string text = scalar_text(file_.get(), item.path);
        if (text.empty()) continue;
        xy_kvfstr(hdr, item.key, text);
        last_key = item.key; // the first of several places for the same value wins
    }
    if (!mask_path_.empty()) {
        xy_kvfstr(hdr, "PixelMask", mask_path_);
        xy_kvfstr(hdr, "MaskedPixels", std::to_string(masked_));
    }
}

// ---------------------------------------------------------------- detector geometry

// The "units" attribute of an object, fixed or variable length; "" when none.
std::string units_of(hid_t object) {
    if (H5Aexists(object, "units") <= 0) return "";
    AttrId units(H5Aopen(object, "units", H5P_DEFAULT));
    TypeId type(units.valid() ? H5Aget_type(units.get()) : -1);
    std::string text;
    if (type.valid() && H5Tget_class(type.get()) == H5T_STRING) {
        if (H5Tis_variable_str(type.get()) > 0) {
            char* value = nullptr;
            if (H5Aread(units.get(), type.get(), &value) >= 0 && value) text = value;
            if (value) H5free_memory(value);
        } else {
            text.assign(H5Tget_size(type.get()), '\0');
            if (H5Aread(units.get(), type.get(), &text[0]) < 0) text.clear();
            text = text.substr(0, text.find('\0'));
        }
    }
    return text;
}

// The first of `paths` that holds one number, converted as `quantity` says.
void take_geometry_value(hid_t file, std::initializer_list<const char*> paths, HeaderQuantity quantity,
                         HeaderValue& field, bool* in_mm = nullptr) {
    for (const char* path : paths) {
        if (!path_exists(file, path)) continue;
        DatasetId dset(H5Dopen2(file, path, H5P_DEFAULT));
        SpaceId space(dset.valid() ? H5Dget_space(dset.get()) : -1);
        const Stored stored = dset.valid() ? stored_type(dset.get()) : Stored();
        double value = 0.0;
        if ((stored.cls == H5T_INTEGER || stored.cls == H5T_FLOAT) && space.valid() &&
            H5Sget_simple_extent_npoints(space.get()) == 1 &&
            H5Dread(dset.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, &value) >= 0) {
            const std::string unit = units_of(dset.get());
            HeaderValue v;
            if (xy_header_unit_value(quantity, value, unit, v, in_mm)) {
                v.source = prg_format("%s = %g%s%s", path, value, unit.empty() ? "" : " ", unit.c_str());
                field = v;
            }
        }
        H5Eclear2(H5E_DEFAULT);
        if (field.known()) return;
    }
}

HeaderGeometry H5Stack::header_geometry() const {
    const QuietErrors quiet;
    const hid_t f = file_.get();
    HeaderGeometry g;
    take_geometry_value(
        f, {"/entry/instrument/detector/distance", "/entry/instrument/detector/detector_distance"},
        HeaderQuantity::length, g.distance);
    take_geometry_value(f, {"/entry/instrument/detector/x_pixel_size"}, HeaderQuantity::length, g.pixel_x);
    take_geometry_value(f, {"/entry/instrument/detector/y_pixel_size"}, HeaderQuantity::length, g.pixel_y);
    bool x_mm = false, y_mm = false;
    take_geometry_value(f, {"/entry/instrument/detector/beam_center_x"}, HeaderQuantity::beam_nexus, g.beam_x,
                        &x_mm);
    take_geometry_value(f, {"/entry/instrument/detector/beam_center_y"}, HeaderQuantity::beam_nexus, g.beam_y,
                        &y_mm);
    g.beam_in_mm = x_mm;
    if (x_mm != y_mm) g.beam_x = g.beam_y = HeaderValue(); // one in pixels, one in mm: unusable
    take_geometry_value(
        f, {"/entry/instrument/beam/incident_wavelength", "/entry/instrument/monochromator/wavelength"},
        HeaderQuantity::wavelength, g.wavelength);
    return g;
}

} // namespace

// ---------------------------------------------------------------- module interface

bool h5_inipar(XyReadOptions& reading, const IniTag& tag) {
    return prg_inistr(tag, "H5_DATA", reading.h5_data_path);
}

void h5_iniuse() {
    prg_notice("  H5_DATA = /path/of/the/image/dataset in HDF5 files (default: found in the file)\n");
}

bool h5_looks_like(const std::string& head) {
    static const char kSignature[] = "\x89HDF\r\n\x1a\n";
    return head.compare(0, sizeof kSignature - 1, kSignature) == 0;
}

std::unique_ptr<HDR> h5_open(const std::string& name, const std::string& program, bool as_named,
                             const XyReadOptions& reading) {
    const std::string file_name = xy_module_file_name(name, {".h5", ".hdf5", ".nxs"}, as_named);
    FileHandle fp = xy_open_frame_file(kOrigin, "h5", program, file_name);
    const QuietErrors quiet;
    auto stack = std::make_unique<H5Stack>(file_name, reading.h5_data_path, reading.threads);
    H5Stack& described = *stack;
    std::unique_ptr<HDR> hdr = xy_source_record(
        std::move(stack), described.width(), described.height(), static_cast<int32_t>(described.frames()),
        described.stored().pixel_type(), XY_FORMAT_H5, file_name, std::move(fp));
    described.describe(*hdr);
    hdr->uint32_samples = described.stored().unsigned32();
    return hdr;
}

const XyFormat h5_format = {"HDF5",  {".h5", ".hdf5", ".nxs"}, h5_looks_like, "h5",
                            h5_open, xy_source_decoder};
