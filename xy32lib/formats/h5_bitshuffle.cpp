// Bitshuffle+LZ4 chunks: the block walk, bounded by the chunk's length, and
// the bit transposition undone 128 values at a time with SSE2, or 256 at a
// time where the processor has AVX2; done 16 values at a time with SSE2 when
// encoding.
#include "h5_bitshuffle.hpp"

#include <lz4.h>

#include <algorithm>
#include <climits>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define BSLZ4_AVX2 1
#endif

namespace {

uint64_t read_big_endian(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = v << 8 | p[i];
    return v;
}

void write_big_endian(uint8_t* p, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

// Transposes the 8 x 8 bit matrix whose row k is byte k of `x` (bit j of byte
// k becomes bit k of byte j).
uint64_t transpose_bits(uint64_t x) {
    uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAULL;
    x ^= t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCULL;
    x ^= t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ULL;
    x ^= t ^ (t << 28);
    return x;
}

// Groups [first, last) of 8 values each; `row` is the length of a bit row.
void unshuffle_groups(const uint8_t* in, uint8_t* out, size_t row, size_t elem_size, size_t first,
                      size_t last) {
    for (size_t i = first; i < last; ++i)
        for (size_t b = 0; b < elem_size; ++b) {
            uint64_t x = 0;
            for (size_t k = 0; k < 8; ++k)
                x |= uint64_t{in[(b * 8 + k) * row + i]} << (8 * k);
            x = transpose_bits(x);
            for (size_t j = 0; j < 8; ++j)
                out[(8 * i + j) * elem_size + b] = static_cast<uint8_t>(x >> (8 * j));
        }
}

// The inverse of unshuffle_groups: the same 8 x 8 transposition, the bit
// rows written instead of read.
void shuffle_groups(const uint8_t* in, uint8_t* out, size_t row, size_t elem_size, size_t first,
                    size_t last) {
    for (size_t i = first; i < last; ++i)
        for (size_t b = 0; b < elem_size; ++b) {
            uint64_t x = 0;
            for (size_t j = 0; j < 8; ++j)
                x |= uint64_t{in[(8 * i + j) * elem_size + b]} << (8 * j);
            x = transpose_bits(x);
            for (size_t k = 0; k < 8; ++k)
                out[(b * 8 + k) * row + i] = static_cast<uint8_t>(x >> (8 * k));
        }
}

#if defined(__SSE2__)

__m128i load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
void store(uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Exchanges the s-bit blocks of bytes (k, j + s) of `a` with (k + s, j) of
// `b`, in every byte: one step of the 8 x 8 bit transposition below.
void exchange_bits(__m128i& a, __m128i& b, int s, __m128i low_blocks) {
    const __m128i t = _mm_and_si128(_mm_xor_si128(_mm_srli_epi16(a, s), b), low_blocks);
    b = _mm_xor_si128(b, t);
    a = _mm_xor_si128(a, _mm_slli_epi16(t, s));
}

// In every byte position, transposes the 8 x 8 bit matrix whose row k is
// that byte of r[k]: bit j of r[k] becomes bit k of r[j].
void transpose_bit_rows(__m128i r[8]) {
    const __m128i m4 = _mm_set1_epi8(0x0F), m2 = _mm_set1_epi8(0x33), m1 = _mm_set1_epi8(0x55);
    for (int k = 0; k < 4; ++k)
        exchange_bits(r[k], r[k + 4], 4, m4);
    for (int k : {0, 1, 4, 5})
        exchange_bits(r[k], r[k + 2], 2, m2);
    for (int k : {0, 2, 4, 6})
        exchange_bits(r[k], r[k + 1], 1, m1);
}

// Byte b of the 128 values of groups i .. i + 15: vector p holds values
// 16 p .. 16 p + 15 of them.
void unshuffle_plane(const uint8_t* in, size_t row, size_t b, size_t i, __m128i plane[8]) {
    __m128i r[8];
    for (size_t k = 0; k < 8; ++k)
        r[k] = load(in + (b * 8 + k) * row + i);
    // r[j] byte g is now byte b of value 8 g + j.
    transpose_bit_rows(r);
    // Bytes j = 0..7 of each group side by side: 16 groups of 8 values.
    __m128i pair[8], quad[8];
    for (size_t k = 0; k < 4; ++k) {
        pair[2 * k] = _mm_unpacklo_epi8(r[2 * k], r[2 * k + 1]);
        pair[2 * k + 1] = _mm_unpackhi_epi8(r[2 * k], r[2 * k + 1]);
    }
    for (size_t h = 0; h < 2; ++h)
        for (size_t k = 0; k < 2; ++k) {
            quad[4 * k + 2 * h] = _mm_unpacklo_epi16(pair[4 * k + h], pair[4 * k + 2 + h]);
            quad[4 * k + 2 * h + 1] = _mm_unpackhi_epi16(pair[4 * k + h], pair[4 * k + 2 + h]);
        }
    for (size_t q = 0; q < 4; ++q) {
        plane[2 * q] = _mm_unpacklo_epi32(quad[q], quad[4 + q]);
        plane[2 * q + 1] = _mm_unpackhi_epi32(quad[q], quad[4 + q]);
    }
}

// Groups [0, last) with `last` a multiple of 16, for values of 1, 2 or 4 bytes.
void unshuffle_groups_sse2(const uint8_t* in, uint8_t* out, size_t row, size_t elem_size, size_t last) {
    __m128i plane[4][8];
    for (size_t i = 0; i < last; i += 16) {
        for (size_t b = 0; b < elem_size; ++b)
            unshuffle_plane(in, row, b, i, plane[b]);
        uint8_t* dst = out + 8 * i * elem_size;
        for (size_t p = 0; p < 8; ++p, dst += 16 * elem_size) {
            if (elem_size == 1) {
                store(dst, plane[0][p]);
                continue;
            }
            const __m128i lo01 = _mm_unpacklo_epi8(plane[0][p], plane[1][p]);
            const __m128i hi01 = _mm_unpackhi_epi8(plane[0][p], plane[1][p]);
            if (elem_size == 2) {
                store(dst, lo01);
                store(dst + 16, hi01);
                continue;
            }
            const __m128i lo23 = _mm_unpacklo_epi8(plane[2][p], plane[3][p]);
            const __m128i hi23 = _mm_unpackhi_epi8(plane[2][p], plane[3][p]);
            store(dst, _mm_unpacklo_epi16(lo01, lo23));
            store(dst + 16, _mm_unpackhi_epi16(lo01, lo23));
            store(dst + 32, _mm_unpacklo_epi16(hi01, hi23));
            store(dst + 48, _mm_unpackhi_epi16(hi01, hi23));
        }
    }
}

// The even bytes of `a` then `b` in `even`, their odd bytes in `odd`.
void split_bytes(__m128i a, __m128i b, __m128i& even, __m128i& odd) {
    const __m128i low = _mm_set1_epi16(0x00FF);
    even = _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low));
    odd = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
}

// 16 values of 1, 2 or 4 bytes in v[0 .. elem_size) become their byte
// planes: v[b] holds byte b of each value. Each step splits the even bytes
// from the odd ones.
void byte_planes(__m128i v[4], size_t elem_size) {
    const size_t half = elem_size / 2;
    for (size_t step = 1; step < elem_size; step *= 2) {
        __m128i next[4];
        for (size_t m = 0; m < half; ++m)
            split_bytes(v[2 * m], v[2 * m + 1], next[m], next[m + half]);
        std::copy(next, next + elem_size, v);
    }
}

// Groups [0, last) with `last` even, for values of 1, 2 or 4 bytes: bit k of
// each byte of a plane, 16 values at once, is the sign bit after k doublings.
void shuffle_groups_sse2(const uint8_t* in, uint8_t* out, size_t row, size_t elem_size, size_t last) {
    for (size_t i = 0; i < last; i += 2) {
        __m128i v[4];
        for (size_t q = 0; q < elem_size; ++q)
            v[q] = load(in + 8 * i * elem_size + 16 * q);
        byte_planes(v, elem_size);
        for (size_t b = 0; b < elem_size; ++b) {
            __m128i plane = v[b];
            for (size_t k = 8; k-- > 0;) {
                const auto bits = static_cast<uint16_t>(_mm_movemask_epi8(plane));
                std::memcpy(out + (b * 8 + k) * row + i, &bits, sizeof bits);
                plane = _mm_add_epi8(plane, plane);
            }
        }
    }
}

#endif

#if defined(BSLZ4_AVX2)
// The SSE2 steps above on 256-bit vectors: each 128-bit lane holds 16 groups,
// the low lane groups i .. i + 15, the high lane groups i + 16 .. i + 31.
#define BSLZ4_WIDE __attribute__((target("avx2")))

BSLZ4_WIDE inline void exchange_bits_wide(__m256i& a, __m256i& b, int s, __m256i low_blocks) {
    const __m256i t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi16(a, s), b), low_blocks);
    b = _mm256_xor_si256(b, t);
    a = _mm256_xor_si256(a, _mm256_slli_epi16(t, s));
}

BSLZ4_WIDE inline void unshuffle_plane_wide(const uint8_t* in, size_t row, size_t b, size_t i,
                                            __m256i plane[8]) {
    __m256i r[8];
    for (size_t k = 0; k < 8; ++k)
        r[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + (b * 8 + k) * row + i));
    const __m256i m4 = _mm256_set1_epi8(0x0F), m2 = _mm256_set1_epi8(0x33), m1 = _mm256_set1_epi8(0x55);
    for (int k = 0; k < 4; ++k)
        exchange_bits_wide(r[k], r[k + 4], 4, m4);
    for (int k : {0, 1, 4, 5})
        exchange_bits_wide(r[k], r[k + 2], 2, m2);
    for (int k : {0, 2, 4, 6})
        exchange_bits_wide(r[k], r[k + 1], 1, m1);
    __m256i pair[8], quad[8];
    for (size_t k = 0; k < 4; ++k) {
        pair[2 * k] = _mm256_unpacklo_epi8(r[2 * k], r[2 * k + 1]);
        pair[2 * k + 1] = _mm256_unpackhi_epi8(r[2 * k], r[2 * k + 1]);
    }
    for (size_t h = 0; h < 2; ++h)
        for (size_t k = 0; k < 2; ++k) {
            quad[4 * k + 2 * h] = _mm256_unpacklo_epi16(pair[4 * k + h], pair[4 * k + 2 + h]);
            quad[4 * k + 2 * h + 1] = _mm256_unpackhi_epi16(pair[4 * k + h], pair[4 * k + 2 + h]);
        }
    for (size_t q = 0; q < 4; ++q) {
        plane[2 * q] = _mm256_unpacklo_epi32(quad[q], quad[4 + q]);
        plane[2 * q + 1] = _mm256_unpackhi_epi32(quad[q], quad[4 + q]);
    }
}

// Stores the low lanes of `a` and `b` side by side at `low`, their high lanes at `high`.
BSLZ4_WIDE inline void store_lanes(uint8_t* low, uint8_t* high, __m256i a, __m256i b) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(low), _mm256_permute2x128_si256(a, b, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(high), _mm256_permute2x128_si256(a, b, 0x31));
}

// Groups [0, last) with `last` a multiple of 32, for values of 1, 2 or 4 bytes.
BSLZ4_WIDE void unshuffle_groups_wide(const uint8_t* in, uint8_t* out, size_t row, size_t elem_size,
                                      size_t last) {
    __m256i plane[4][8];
    const size_t lane_bytes = 128 * elem_size; // the values of 16 groups
    for (size_t i = 0; i < last; i += 32) {
        for (size_t b = 0; b < elem_size; ++b)
            unshuffle_plane_wide(in, row, b, i, plane[b]);
        uint8_t* low = out + 8 * i * elem_size;
        for (size_t p = 0; p < 8; p += 2, low += 32 * elem_size) {
            uint8_t* high = low + lane_bytes;
            if (elem_size == 1) {
                store_lanes(low, high, plane[0][p], plane[0][p + 1]);
                continue;
            }
            for (size_t q = p; q < p + 2; ++q) {
                uint8_t* lo = low + (q - p) * 16 * elem_size;
                uint8_t* hi = high + (q - p) * 16 * elem_size;
                const __m256i lo01 = _mm256_unpacklo_epi8(plane[0][q], plane[1][q]);
                const __m256i hi01 = _mm256_unpackhi_epi8(plane[0][q], plane[1][q]);
                if (elem_size == 2) {
                    store_lanes(lo, hi, lo01, hi01);
                    continue;
                }
                const __m256i lo23 = _mm256_unpacklo_epi8(plane[2][q], plane[3][q]);
                const __m256i hi23 = _mm256_unpackhi_epi8(plane[2][q], plane[3][q]);
                store_lanes(lo, hi, _mm256_unpacklo_epi16(lo01, lo23), _mm256_unpackhi_epi16(lo01, lo23));
                store_lanes(lo + 32, hi + 32, _mm256_unpacklo_epi16(hi01, hi23),
                            _mm256_unpackhi_epi16(hi01, hi23));
            }
        }
    }
}

// shuffle_groups_sse2 on 32 values at once: the byte planes of each 16
// side by side in one vector, whose sign bits give 4 bytes of a bit row.
// Groups [0, last) with `last` a multiple of 4.
BSLZ4_WIDE void shuffle_groups_wide(const uint8_t* in, uint8_t* out, size_t row, size_t elem_size,
                                    size_t last) {
    for (size_t i = 0; i < last; i += 4) {
        __m128i low[4], high[4];
        for (size_t q = 0; q < elem_size; ++q) {
            low[q] = load(in + 8 * i * elem_size + 16 * q);
            high[q] = load(in + 8 * i * elem_size + 16 * (elem_size + q));
        }
        byte_planes(low, elem_size);
        byte_planes(high, elem_size);
        for (size_t b = 0; b < elem_size; ++b) {
            __m256i plane = _mm256_inserti128_si256(_mm256_castsi128_si256(low[b]), high[b], 1);
            for (size_t k = 8; k-- > 0;) {
                const auto bits = static_cast<uint32_t>(_mm256_movemask_epi8(plane));
                std::memcpy(out + (b * 8 + k) * row + i, &bits, sizeof bits);
                plane = _mm256_add_epi8(plane, plane);
            }
        }
    }
}

bool wide_vectors() {
    static const bool available = __builtin_cpu_supports("avx2") != 0;
    return available;
}
#endif

} // namespace

void bit_unshuffle_scalar(const uint8_t* in, uint8_t* out, size_t elements, size_t elem_size) {
    const size_t row = elements / 8;
    unshuffle_groups(in, out, row, elem_size, 0, row);
}

void bit_unshuffle(const uint8_t* in, uint8_t* out, size_t elements, size_t elem_size) {
    const size_t row = elements / 8;
    size_t done = 0;
    const bool vector_sizes = elem_size == 1 || elem_size == 2 || elem_size == 4;
#if defined(BSLZ4_AVX2)
    if (vector_sizes && wide_vectors()) {
        done = row / 32 * 32;
        unshuffle_groups_wide(in, out, row, elem_size, done);
    }
#endif
#if defined(__SSE2__)
    if (vector_sizes) {
        // The SSE2 loop from group `done` on: an offset into every bit row.
        const size_t last = row / 16 * 16;
        unshuffle_groups_sse2(in + done, out + 8 * done * elem_size, row, elem_size, last - done);
        done = last;
    }
#endif
    unshuffle_groups(in, out, row, elem_size, done, row);
}

void bit_shuffle(const uint8_t* in, uint8_t* out, size_t elements, size_t elem_size) {
    const size_t row = elements / 8;
    size_t done = 0;
    const bool vector_sizes = elem_size == 1 || elem_size == 2 || elem_size == 4;
#if defined(BSLZ4_AVX2)
    if (vector_sizes && wide_vectors()) {
        done = row / 4 * 4;
        shuffle_groups_wide(in, out, row, elem_size, done);
    }
#endif
#if defined(__SSE2__)
    if (vector_sizes) {
        const size_t last = row / 2 * 2;
        shuffle_groups_sse2(in + 8 * done * elem_size, out + done, row, elem_size, last - done);
        done = last;
    }
#endif
    shuffle_groups(in, out, row, elem_size, done, row);
}

size_t bslz4_default_block(size_t elem_size) {
    return std::max<size_t>(8192 / elem_size / 8 * 8, 128);
}

size_t bslz4_bound(size_t bytes, size_t elem_size) {
    const size_t block_bytes = bslz4_default_block(elem_size) * elem_size;
    const size_t blocks = bytes / block_bytes + 1;
    return 12 + blocks * (4 + static_cast<size_t>(LZ4_compressBound(static_cast<int>(block_bytes)))) +
           8 * elem_size;
}

size_t bslz4_encode(const uint8_t* values, size_t bytes, size_t elem_size, uint8_t* out,
                    std::vector<uint8_t>& scratch) {
    const size_t block = bslz4_default_block(elem_size);
    const size_t count = bytes / elem_size, blocked = count / 8 * 8;
    write_big_endian(out, bytes, 8);
    write_big_endian(out + 8, block * elem_size, 4);
    size_t at = 12;
    if (scratch.size() < block * elem_size) scratch.resize(block * elem_size);
    for (size_t first = 0; first < blocked; first += block) {
        const int block_bytes = static_cast<int>(std::min(block, blocked - first) * elem_size);
        bit_shuffle(values + first * elem_size, scratch.data(), static_cast<size_t>(block_bytes) / elem_size,
                    elem_size);
        const int packed = LZ4_compress_default(reinterpret_cast<const char*>(scratch.data()),
                                                reinterpret_cast<char*>(out + at + 4), block_bytes,
                                                LZ4_compressBound(block_bytes));
        write_big_endian(out + at, static_cast<uint64_t>(packed), 4);
        at += 4 + static_cast<size_t>(packed);
    }
    // The values short of a group of 8 follow as they are.
    std::memcpy(out + at, values + blocked * elem_size, bytes - blocked * elem_size);
    return at + bytes - blocked * elem_size;
}

std::string Bslz4Ranges::start(const uint8_t* chunk, size_t chunk_bytes, size_t elem_size, size_t out_bytes) {
    chunk_ = chunk;
    chunk_bytes_ = chunk_bytes;
    elem_size_ = elem_size;
    values_ = blocked_ = block_ = blocks_ = taken_ = 0;
    kept_values_ = 0;
    record_ = 12;
    if (elem_size == 0 || out_bytes % elem_size != 0) return "values of another size than the chunk's";
    if (chunk_bytes < 12) return "chunk shorter than its header";
    const uint64_t total = read_big_endian(chunk, 8);
    const uint64_t block_bytes = read_big_endian(chunk + 8, 4);
    if (total != out_bytes)
        return "chunk of " + std::to_string(total) + " bytes, not " + std::to_string(out_bytes);
    if (block_bytes == 0 || block_bytes % (8 * elem_size) != 0)
        return "block size of " + std::to_string(block_bytes) +
               " bytes, not a whole number of 8-value groups";
    values_ = out_bytes / elem_size;
    blocked_ = values_ / 8 * 8;
    // A block longer than the chunk's values holds them all: it is never kept longer.
    block_ = std::min(static_cast<size_t>(block_bytes / elem_size), std::max<size_t>(blocked_, 8));
    if (std::min(block_, blocked_) * elem_size > INT_MAX)
        return "block of more than " + std::to_string(INT_MAX) + " bytes";
    return "";
}

void Bslz4Ranges::release() {
    std::vector<uint8_t>().swap(kept_);
    kept_values_ = 0;
}

// Copies the part of the kept block that falls in the range [first, end).
void Bslz4Ranges::copy_kept(size_t first, size_t end, uint8_t* out) const {
    const size_t from = std::max(first, kept_first_), to = std::min(end, kept_first_ + kept_values_);
    if (from < to)
        std::memcpy(out + (from - first) * elem_size_, kept_.data() + (from - kept_first_) * elem_size_,
                    (to - from) * elem_size_);
}

// Expands the LZ4 data of `packed` bytes at the current record into `values`
// values at `out`.
std::string Bslz4Ranges::expand(size_t packed, size_t values, uint8_t* out, std::vector<uint8_t>& scratch) {
    const size_t bytes = values * elem_size_;
    if (scratch.size() < bytes) scratch.resize(bytes);
    const int got = LZ4_decompress_safe(reinterpret_cast<const char*>(chunk_ + record_ + 4),
                                        reinterpret_cast<char*>(scratch.data()), static_cast<int>(packed),
                                        static_cast<int>(bytes));
    if (got != static_cast<int>(bytes))
        return "block " + std::to_string(blocks_) + " does not expand to " + std::to_string(bytes) + " bytes";
    bit_unshuffle(scratch.data(), out, values, elem_size_);
    return "";
}

// Passes the next block for the range [first, end) that reaches into or
// beyond it: expanded straight into `out` when the range covers it, into the
// kept block when the range covers part of it, not at all when the range
// starts after it.
std::string Bslz4Ranges::pass_block(size_t first, size_t end, uint8_t* out, std::vector<uint8_t>& scratch) {
    const size_t b0 = blocks_ * block_;
    const size_t values = std::min(block_, blocked_ - b0);
    const size_t b1 = b0 + values;
    ++blocks_;
    const std::string which = "block " + std::to_string(blocks_);
    if (chunk_bytes_ - record_ < 4) return "chunk ends before " + which;
    const uint64_t packed = read_big_endian(chunk_ + record_, 4);
    if (packed > chunk_bytes_ - record_ - 4 || packed > INT_MAX)
        return which + " runs past the end of the chunk";
    std::string fault;
    if (b1 <= first) {
        // wholly before the range: nothing to expand
    } else if (b0 >= first && b1 <= end) {
        fault = expand(packed, values, out + (b0 - first) * elem_size_, scratch);
    } else {
        if (kept_.size() < values * elem_size_) kept_.resize(values * elem_size_);
        fault = expand(packed, values, kept_.data(), scratch);
        kept_first_ = b0;
        kept_values_ = fault.empty() ? values : 0;
        if (fault.empty()) copy_kept(first, end, out);
    }
    record_ += 4 + static_cast<size_t>(packed);
    return fault;
}

std::string Bslz4Ranges::take(size_t first, size_t count, uint8_t* out, std::vector<uint8_t>& scratch) {
    if (first < taken_ || first > values_ || count > values_ - first)
        return "values " + std::to_string(first) + " to " + std::to_string(first + count) +
               " asked for out of order";
    const size_t end = first + count;
    taken_ = end;
    copy_kept(first, end, out);
    while (blocks_ * block_ < std::min(end, blocked_)) {
        const std::string fault = pass_block(first, end, out, scratch);
        if (!fault.empty()) return fault;
    }
    if (end <= blocked_) return "";
    // Past the blocks: the values stored as they are.
    const size_t rest = (values_ - blocked_) * elem_size_;
    if (chunk_bytes_ - record_ < rest) return "chunk ends before its last " + std::to_string(rest) + " bytes";
    const size_t from = std::max(first, blocked_);
    std::memcpy(out + (from - first) * elem_size_, chunk_ + record_ + (from - blocked_) * elem_size_,
                (end - from) * elem_size_);
    return "";
}

std::string bslz4_decode(const uint8_t* chunk, size_t chunk_bytes, size_t elem_size, uint8_t* out,
                         size_t out_bytes, std::vector<uint8_t>& scratch) {
    Bslz4Ranges ranges;
    const std::string fault = ranges.start(chunk, chunk_bytes, elem_size, out_bytes);
    if (!fault.empty()) return fault;
    return ranges.take(0, out_bytes / elem_size, out, scratch);
}
