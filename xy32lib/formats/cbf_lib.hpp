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

// Opens a CBF file: the record describes its one frame of 32-bit pixels and
// carries the frame decoder; the text header lines and the MIME fields are
// the header entries.
std::unique_ptr<HDR> cbf_open(const std::string& name, const std::string& program, bool as_named = false,
                              const XyReadOptions& reading = {});
// The registry entry: ".cbf" names and files starting with "###CBF".
extern const XyFormat cbf_format;
