// Chunks compressed by the HDF5 bitshuffle filter with LZ4, decoded without
// the filter plugin: the chunk read raw, its LZ4 blocks expanded by liblz4 and
// their bits put back in place with SSE2 (scalar code where SSE2 is absent).
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

// Decodes the chunk `chunk` of `chunk_bytes` bytes into `out`, which takes
// `out_bytes` bytes of values of `elem_size` bytes; `scratch` is the block
// buffer, kept across calls. Returns "" when the chunk decodes to exactly
// `out_bytes` bytes, else what is wrong with it. Every read stays within the
// chunk and every write within `out`.
std::string bslz4_decode(const uint8_t* chunk, size_t chunk_bytes, size_t elem_size, uint8_t* out,
                         size_t out_bytes, std::vector<uint8_t>& scratch);
