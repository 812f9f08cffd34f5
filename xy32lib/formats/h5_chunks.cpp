#include "h5_chunks.hpp"

#include "h5_bitshuffle.hpp"
#include "xy_threads.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kBandBytes = size_t{4} << 20; // the uncompressed chunks compressed at once

// The shuffle filter's order: byte b of every value together, value after
// value, the bytes short of a whole value at the end as they are.
void byte_shuffle(const uint8_t* in, size_t bytes, size_t value_bytes, uint8_t* out) {
    const size_t n = bytes / value_bytes;
    for (size_t b = 0; b < value_bytes; ++b)
        for (size_t i = 0; i < n; ++i)
            out[b * n + i] = in[i * value_bytes + b];
    std::memcpy(out + n * value_bytes, in + n * value_bytes, bytes - n * value_bytes);
}

bool deflate_chunk(const uint8_t* values, size_t bytes, size_t value_bytes, unsigned level,
                   std::vector<uint8_t>& out, std::vector<uint8_t>& scratch) {
    const uint8_t* source = values;
    if (value_bytes > 1) { // the shuffle leaves single bytes as they are
        scratch.resize(bytes);
        byte_shuffle(values, bytes, value_bytes, scratch.data());
        source = scratch.data();
    }
    uLongf size = compressBound(static_cast<uLong>(bytes));
    out.resize(size);
    const bool done =
        compress2(out.data(), &size, source, static_cast<uLong>(bytes), static_cast<int>(level)) == Z_OK;
    out.resize(size);
    return done;
}

// One chunk of a band: its values, as stored (compressed), and whether that
// worked.
struct Chunk {
    std::vector<uint8_t> values, stored, scratch;
    bool compressed = false;
};

// Fills and compresses chunk `index` of the dataset into `c`.
void prepare_chunk(int64_t index, const ChunkGrid& grid, const ChunkFilter& filter, const ChunkFill& fill,
                   Chunk& c) {
    const int64_t first = index * grid.chunk_rows, rows = std::min(grid.chunk_rows, grid.ny - first);
    const size_t row_bytes = static_cast<size_t>(grid.nx) * grid.value_bytes;
    c.values.resize(static_cast<size_t>(grid.chunk_rows) * row_bytes);
    fill(first, rows, c.values.data());
    std::fill(c.values.begin() + static_cast<ptrdiff_t>(static_cast<size_t>(rows) * row_bytes),
              c.values.end(), uint8_t{0});
    c.compressed =
        compress_chunk(filter, c.values.data(), c.values.size(), grid.value_bytes, c.stored, c.scratch);
}

bool write_chunk(hid_t dset, int64_t index, const ChunkGrid& grid, const Chunk& c) {
    const hsize_t offset[2] = {static_cast<hsize_t>(index * grid.chunk_rows), 0};
    return c.compressed &&
           H5Dwrite_chunk(dset, H5P_DEFAULT, 0, offset, c.stored.size(), c.stored.data()) >= 0;
}

} // namespace

bool compress_chunk(const ChunkFilter& filter, const uint8_t* values, size_t bytes, size_t value_bytes,
                    std::vector<uint8_t>& out, std::vector<uint8_t>& scratch) {
    if (filter.compression == XyCompression::gzip)
        return deflate_chunk(values, bytes, value_bytes, filter.gzip_level, out, scratch);
    out.resize(bslz4_bound(bytes, value_bytes));
    out.resize(bslz4_encode(values, bytes, value_bytes, out.data(), scratch));
    return true;
}

bool write_compressed_chunks(hid_t dset, const ChunkGrid& grid, const ChunkFilter& filter, int32_t threads,
                             const ChunkFill& fill) {
    const int64_t chunks = (grid.ny + grid.chunk_rows - 1) / grid.chunk_rows;
    const size_t chunk_bytes = static_cast<size_t>(grid.chunk_rows * grid.nx) * grid.value_bytes;
    const int64_t band = std::max<int64_t>({threads, static_cast<int64_t>(kBandBytes / chunk_bytes), 1});
    std::vector<Chunk> held(static_cast<size_t>(std::min(band, chunks)));
    for (int64_t first = 0; first < chunks; first += band) {
        const int64_t count = std::min(band, chunks - first);
        auto prepare = [&](int64_t p) {
            prepare_chunk(first + p, grid, filter, fill, held[static_cast<size_t>(p)]);
        };
        // A piece that failed (for want of memory) is done again here, where
        // its failure stops the run.
        const int64_t failed = xy_run_pieces(threads, count, prepare);
        for (int64_t p = failed < 0 ? count : failed; p < count; ++p)
            prepare(p);
        for (int64_t p = 0; p < count; ++p)
            if (!write_chunk(dset, first + p, grid, held[static_cast<size_t>(p)])) return false;
    }
    return true;
}
