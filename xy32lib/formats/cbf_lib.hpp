// CBF images: one frame of integer pixels compressed with the byte-offset
// scheme, behind a text header and a MIME header that describe it.
#pragma once

#include "xy_decoder.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What the MIME header of the binary section says, and where the data start.
struct CbfBinary {
    std::string compression;           // the conversions= value of Content-Type
    std::string element_type;          // X-Binary-Element-Type, without quotes
    std::string byte_order;            // X-Binary-Element-Byte-Order
    uint64_t size = 0;                 // X-Binary-Size: bytes of compressed data
    uint64_t elements = 0;             // X-Binary-Number-of-Elements
    uint64_t fastest = 0;              // X-Binary-Size-Fastest-Dimension: the frame width
    uint64_t second = 0;               // X-Binary-Size-Second-Dimension: the frame height
    uint64_t third = 1;                // X-Binary-Size-Third-Dimension, 1 when absent
    uint64_t data_offset = 0;          // file position of the first compressed byte
    std::vector<KvfItem> text_entries; // the "# key value" lines of the text header
};

// The file's first bytes are the CBF signature "###CBF".
bool cbf_looks_like(const std::string& head);

// Parses the header held in `head` (the file's first bytes, at least up to the
// binary marker). Returns false when `head` does not reach the marker yet;
// stops the run on a header that does not describe a readable frame.
bool cbf_parse_header(const std::string& head, const std::string& file_name, CbfBinary& binary);

// Decodes `count` byte-offset values from `in` into `out`. Returns the bytes
// used, or -1 when the data end before `count` values.
int64_t cbf_byte_offset_decode(const uint8_t* in, size_t size, int32_t* out, size_t count);

// Byte-offset decoding a piece of the data at a time: the values decoded so
// far and the last of them, which the next value is a delta from.
struct ByteOffsetRun {
    size_t values = 0;
    uint32_t last = 0;
};
// The most bytes one value takes: an 8-byte delta after its three escapes.
constexpr size_t kByteOffsetLongest = 15;
// Decodes values of `in` into `out` until `count` values are out or fewer
// than `keep` bytes are left (0: every byte may be used). Returns the bytes
// used, or -1 when a value is cut by the end of `in`.
int64_t cbf_byte_offset_values(const uint8_t* in, size_t size, size_t keep, int32_t* out, size_t count,
                               ByteOffsetRun& run);

// Opens a CBF file: the record describes its one frame of 32-bit pixels and
// carries the frame decoder; the text header lines and the MIME fields are
// the header entries.
std::unique_ptr<HDR> cbf_open(const std::string& name, const std::string& program, bool as_named = false,
                              const XyReadOptions& reading = {});
// The registry entry: ".cbf" names and files starting with "###CBF".
extern const XyFormat cbf_format;
