// Compressed HDF5 datasets written chunk by chunk: the chunks of a band of
// rows filled and compressed on the job's threads, then handed to libhdf5 as
// stored (H5Dwrite_chunk) from the calling thread, in row order (libhdf5 is
// called from one thread only). Each chunk holds the bytes the dataset's
// filters would write: the byte shuffle then zlib at the dataset's level, or
// bitshuffle+LZ4 as its plugin does; any libhdf5 reader decodes them through
// the filters recorded in the dataset. No chunk depends on the thread count,
// and neither does the file.
#pragma once

#include "xy_lib.hpp"

#include <hdf5.h>

#include <cstdint>
#include <functional>
#include <vector>

// A dataset's filter: gzip (after the byte shuffle) at `gzip_level`, or
// bitshuffle+LZ4 in blocks of the filter's default size.
struct ChunkFilter {
    XyCompression compression;
    unsigned gzip_level;
};

// Compresses one chunk, `bytes` bytes of values of `value_bytes` bytes, into
// the start of `out` (grown as needed) and returns its length, 0 when the
// compressor failed; `out` and `scratch` are kept across calls.
size_t compress_chunk(const ChunkFilter& filter, const uint8_t* values, size_t bytes, size_t value_bytes,
                      std::vector<uint8_t>& out, std::vector<uint8_t>& scratch);

// A 2-D dataset of `ny` rows of `nx` values of `value_bytes` bytes, stored in
// chunks of `chunk_rows` whole rows.
struct ChunkGrid {
    int64_t nx, ny, chunk_rows;
    size_t value_bytes;
};
// Puts the stored values of rows [first_row, first_row + rows) at `out`;
// called from several threads at once.
using ChunkFill = std::function<void(int64_t first_row, int64_t rows, uint8_t* out)>;

// Writes every chunk of `dset`, `fill` giving their values, compressed on
// `threads` threads a band of a few MiB at a time; the rows of the last chunk
// beyond the dataset are zeros, as libhdf5 fills them. False when libhdf5
// refused a chunk or a compressor failed.
bool write_compressed_chunks(hid_t dset, const ChunkGrid& grid, const ChunkFilter& filter, int32_t threads,
                             const ChunkFill& fill);
