// Writers of detector files through the independent libraries, so that the
// readers are checked against files they did not produce: HDF5 stacks through
// libhdf5 (and its filter plugins), CBF through libcbf, TIFF through libtiff.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zt {

// ---------------------------------------------------------------- HDF5
enum class H5Filter { None, Gzip, Lz4, BitshuffleLz4 };

// Pixel types of the datasets written; the values are given as int64 or
// double and converted by the library.
enum class H5Pixel { U8, I8, U16, I16, U32, I32, F32, F64, I64 };

struct H5Dataset {
    std::string path = "/entry/data/data";
    std::vector<uint64_t> dims; // frames, rows, columns (or rows, columns)
    H5Pixel pixel = H5Pixel::U16;
    H5Filter filter = H5Filter::None;
    std::vector<uint64_t> chunk;   // empty: contiguous (no filter possible)
    uint32_t bitshuffle_block = 0; // values a bitshuffle block holds (0: the filter's choice)
    std::vector<double> values;    // row after row, frame after frame
};

// Opens (creates) an HDF5 file; groups along the paths are created as needed.
class H5File {
  public:
    // `user_block`: bytes the file keeps before its HDF5 data (0, or a power of 2 from 512).
    explicit H5File(const std::string& path, uint64_t user_block = 0);
    ~H5File();
    H5File(const H5File&) = delete;
    H5File& operator=(const H5File&) = delete;
    void dataset(const H5Dataset& d);
    void scalar(const std::string& path, double value, const std::string& units = "");
    void external_link(const std::string& link_path, const std::string& target_file,
                       const std::string& target_path);

  private:
    int64_t file_ = -1;
};

// A stack of `frames` frames of width x height with pixel (x, y) of frame f
// (0-based) equal to value(f, x, y).
H5Dataset h5_stack(uint64_t frames, uint64_t height, uint64_t width, H5Pixel pixel, H5Filter filter,
                   double (*value)(uint64_t f, uint64_t x, uint64_t y));

// The byte position of the record of each of the first `blocks` blocks of a
// bitshuffle+LZ4 chunk.
std::vector<size_t> bitshuffle_block_records(const std::vector<uint8_t>& chunk, size_t blocks);
// Overwrites the LZ4 data of block `block` (from 1) of frame `frame` (from 0)
// of the bitshuffle+LZ4 stack /entry/data/data with bytes that do not expand,
// every length kept.
void damage_bitshuffle_block(const std::string& path, uint64_t frame, size_t block);

// ---------------------------------------------------------------- CBF
// Writes one frame of signed 32-bit pixels with byte-offset compression and
// MIME headers through libcbf.
void write_cbf(const std::string& path, uint32_t width, uint32_t height, const std::vector<int32_t>& pixels);
// Reads the frame of a CBF file through libcbf; false when libcbf refuses it.
bool read_cbf_with_libcbf(const std::string& path, uint32_t& width, uint32_t& height,
                          std::vector<int32_t>& pixels);

// ---------------------------------------------------------------- TIFF
struct TiffPages {
    uint32_t width = 0, height = 0;
    uint16_t bits = 16;
    uint16_t sample_format = 1;  // 1 unsigned, 2 signed, 3 float
    uint16_t compression = 1;    // libtiff's COMPRESSION_* numbers
    uint32_t tile = 0;           // tile side (a multiple of 16); 0: strips
    uint32_t rows_per_strip = 0; // 0: libtiff's default
    bool bigtiff = false;
    bool big_endian = false;
    std::vector<std::vector<double>> pages; // each page's pixels, row after row
};
void write_tiff(const std::string& path, const TiffPages& t);

} // namespace zt
