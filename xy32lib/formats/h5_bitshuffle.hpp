// Chunks compressed by the HDF5 bitshuffle filter with LZ4, decoded and
// encoded without the filter plugin: the chunk read raw, its LZ4 blocks
// expanded by liblz4 and their bits put back in place with SSE2 (scalar code
// where SSE2 is absent); and the same chunk built the other way, byte for byte
// what the plugin writes.
//
// A chunk is a 12-byte header (the uncompressed size in bytes, big-endian
// 64-bit; the block size in bytes, big-endian 32-bit), then one record per
// block (its compressed size, big-endian 32-bit, and the LZ4 block). Blocks
// hold a whole number of 8-element groups; the last block takes what is left
// of those, and the final elements short of a group of 8 follow as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Undoes the filter's bit transposition of one block of `elements` values of
// `elem_size` bytes (`elements` a multiple of 8): in the block, byte b of the
// values comes as 8 rows of elements / 8 bytes, row k holding bit k of byte b
// of value 8 i + j as bit j of its byte i.
void bit_unshuffle(const uint8_t* in, uint8_t* out, size_t elements, size_t elem_size);
// The same, one 8-byte group at a time, on any machine.
void bit_unshuffle_scalar(const uint8_t* in, uint8_t* out, size_t elements, size_t elem_size);

// The filter's bit transposition of one block, the inverse of bit_unshuffle.
void bit_shuffle(const uint8_t* in, uint8_t* out, size_t elements, size_t elem_size);

// The values of a block when the filter is given no block size: 8 KiB of
// them, rounded down to whole groups of 8, at least 128.
size_t bslz4_default_block(size_t elem_size);
// The most bytes bslz4_encode writes for `bytes` bytes of values.
size_t bslz4_bound(size_t bytes, size_t elem_size);
// Encodes `bytes` bytes of values of `elem_size` bytes (a whole number of
// them) as a chunk at `out`, which has room for bslz4_bound(bytes,
// elem_size) bytes, in blocks of the default size; returns the chunk's
// length. `scratch` is the block buffer, kept across calls.
size_t bslz4_encode(const uint8_t* values, size_t bytes, size_t elem_size, uint8_t* out,
                    std::vector<uint8_t>& scratch);

// Reads a bitshuffle+LZ4 chunk front to back, one range of values at a time.
// A block is expanded when a range first reaches into it, and passed by
// (its record walked, its data left alone) when no range does; the block a
// range ends inside is kept for the next range. Ranges taken in increasing
// order thus expand every block at most once. The chunk is not copied: it
// must stay in place, unchanged, from `start` to the last `take`.
class Bslz4Ranges {
  public:
    // Reads the header of `chunk` (`chunk_bytes` bytes), which is to decode to
    // `out_bytes` bytes of values of `elem_size` bytes, and returns "" or what
    // is wrong with it. Starts over from the first value.
    std::string start(const uint8_t* chunk, size_t chunk_bytes, size_t elem_size, size_t out_bytes);
    // Writes values [first, first + count) to `out`; `first` is not below
    // next() and the range ends within the chunk's values. `scratch` is the
    // buffer of an expanded block, kept across calls and readers. Returns ""
    // or what is wrong with the chunk; every read stays within the chunk and
    // every write within the range.
    std::string take(size_t first, size_t count, uint8_t* out, std::vector<uint8_t>& scratch);
    // The first value the next range may start at.
    size_t next() const { return taken_; }
    // Frees the kept block.
    void release();

  private:
    std::string pass_block(size_t first, size_t end, uint8_t* out, std::vector<uint8_t>& scratch);
    void copy_kept(size_t first, size_t end, uint8_t* out) const;
    std::string expand(size_t packed, size_t values, uint8_t* out, std::vector<uint8_t>& scratch);

    const uint8_t* chunk_ = nullptr;
    size_t chunk_bytes_ = 0;
    size_t elem_size_ = 0;
    size_t values_ = 0;  // values of the chunk
    size_t blocked_ = 0; // values held in blocks; the rest follow as they are
    size_t block_ = 0;   // values of a whole block
    size_t record_ = 0;  // byte position of the next block's record
    size_t blocks_ = 0;  // blocks passed or expanded
    size_t taken_ = 0;
    std::vector<uint8_t> kept_; // the block last expanded into it
    size_t kept_first_ = 0, kept_values_ = 0;
};

// Decodes the chunk `chunk` of `chunk_bytes` bytes into `out`, which takes
// `out_bytes` bytes of values of `elem_size` bytes; `scratch` is the block
// buffer, kept across calls. Returns "" when the chunk decodes to exactly
// `out_bytes` bytes, else what is wrong with it. Every read stays within the
// chunk and every write within `out`.
std::string bslz4_decode(const uint8_t* chunk, size_t chunk_bytes, size_t elem_size, uint8_t* out,
                         size_t out_bytes, std::vector<uint8_t>& scratch);
