#include "h5_chunks.hpp"

#include "h5_bitshuffle.hpp"
#include "xy_threads.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

// The uncompressed chunks compressed at once: about this many bytes, or one
// chunk a thread when there are more threads (each chunk holds about 3 times
// its bytes meanwhile).
constexpr size_t kBandBytes = size_t{4} << 20;

// The shuffle filter's order: byte b of every value together, value after
// value, the bytes short of a whole value at the end as they are. Values of
// `Size` bytes, read in order.
template <size_t Size> void byte_shuffle(const uint8_t* in, size_t n, uint8_t* out) {
    for (size_t i = 0; i < n; ++i)
        for (size_t b = 0; b < Size; ++b)
            out[b * n + i] = in[i * Size + b];
}

void byte_shuffle(const uint8_t* in, size_t bytes, size_t value_bytes, uint8_t* out) {
    const size_t n = bytes / value_bytes;
    if (value_bytes == 2) {
        byte_shuffle<2>(in, n, out);
    } else if (value_bytes == 4) {
        byte_shuffle<4>(in, n, out);
    } else {
        for (size_t b = 0; b < value_bytes; ++b)
            for (size_t i = 0; i < n; ++i)
                out[b * n + i] = in[i * value_bytes + b];
    }
    std::memcpy(out + n * value_bytes, in + n * value_bytes, bytes - n * value_bytes);
}

// Grows `buffer` to at least `bytes` bytes; never shrinks it, so that a
// buffer used again is not filled with zeros again.
uint8_t* room(std::vector<uint8_t>& buffer, size_t bytes) {
    if (buffer.size() < bytes) buffer.resize(bytes);
    return buffer.data();
}

size_t deflate_chunk(const uint8_t* values, size_t bytes, size_t value_bytes, unsigned level,
                     std::vector<uint8_t>& out, std::vector<uint8_t>& scratch) {
    const uint8_t* source = values;
    if (value_bytes > 1) { // the shuffle leaves single bytes as they are
        byte_shuffle(values, bytes, value_bytes, room(scratch, bytes));
        source = scratch.data();
    }
    uLongf size = compressBound(static_cast<uLong>(bytes));
    const int status =
        compress2(room(out, size), &size, source, static_cast<uLong>(bytes), static_cast<int>(level));
    return status == Z_OK ? size : 0;
}

// One chunk of a band: its values, and its first `stored` bytes as stored (0
// when the compressor failed).
struct Chunk {
    std::vector<uint8_t> values, packed, scratch;
    size_t stored = 0;
};

// Fills and compresses chunk `index` of the dataset into `c`.
void prepare_chunk(int64_t index, const ChunkGrid& grid, const ChunkFilter& filter, const ChunkFill& fill,
                   Chunk& c) {
    const int64_t first = index * grid.chunk_rows, rows = std::min(grid.chunk_rows, grid.ny - first);
    const size_t row_bytes = static_cast<size_t>(grid.nx) * grid.value_bytes;
    const size_t bytes = static_cast<size_t>(grid.chunk_rows) * row_bytes,
                 filled = static_cast<size_t>(rows) * row_bytes;
    fill(first, rows, room(c.values, bytes));
    std::fill(c.values.data() + filled, c.values.data() + bytes, uint8_t{0});
    c.stored = compress_chunk(filter, c.values.data(), bytes, grid.value_bytes, c.packed, c.scratch);
}

bool write_chunk(hid_t dset, int64_t index, const ChunkGrid& grid, const Chunk& c) {
    const hsize_t offset[2] = {static_cast<hsize_t>(index * grid.chunk_rows), 0};
    return c.stored > 0 && H5Dwrite_chunk(dset, H5P_DEFAULT, 0, offset, c.stored, c.packed.data()) >= 0;
}

} // namespace

size_t compress_chunk(const ChunkFilter& filter, const uint8_t* values, size_t bytes, size_t value_bytes,
                      std::vector<uint8_t>& out, std::vector<uint8_t>& scratch) {
    if (filter.compression == XyCompression::gzip)
        return deflate_chunk(values, bytes, value_bytes, filter.gzip_level, out, scratch);
    return bslz4_encode(values, bytes, value_bytes, room(out, bslz4_bound(bytes, value_bytes)), scratch);
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
