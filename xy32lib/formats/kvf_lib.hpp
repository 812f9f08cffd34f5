// Native kvf format: a text header of "key = value ;" lines between braces,
// padded to a multiple of 1024 bytes, followed by the raw pixel values.
#pragma once

#include "xy_lib.hpp"

#include <string_view>

// `as_named`: the file was recognised by its content under this very name, so
// no extension is appended.
std::unique_ptr<HDR> kvf_open(const std::string& name, const std::string& program, bool as_named = false,
                              const XyReadOptions& reading = {});
// The registry entry: ".kvf" names and files starting with "{" and a line feed.
extern const XyFormat kvf_format;
std::unique_ptr<HDR> kvf_gethdr(std::FILE* fp);
void kvf_hdrfill(std::FILE* fp, HDR& hdr);
// Writes the image to `path` (".kvf" appended when it holds none); out_type 5
// writes floats, anything else signed 32-bit integers.
void kvf_write(const IMG& img, const std::string& path, int32_t out_type);
// The writer of ".kvf" names (the registry's entry).
extern const XyWriter kvf_writer;

// ---------------------------------------------------------------- header parsing over bytes already read
struct KvfHeader {
    bool complete = false; // the closing "}" line was found
    int64_t length = 0;    // bytes up to the end of the "}" line: the first data byte
    uint16_t dim_x = 0;
    uint16_t dim_y = 0;
    int32_t frames = 0;
    int32_t type = 0;
    bool uint32_samples = false; // DataType UnsignedInteger: read as 32-bit pixels
    XyByteOrder order = XyByteOrder::unset;
    std::vector<KvfItem> entries; // the header list entries, as kvf_hdrfill appends them
};

// Parses the header at the start of `bytes`, taking lines in pieces of at most
// 254 characters. Without the closing line, `complete` stays false when more
// bytes may follow; with `at_end` (the bytes are the whole file) it is the
// fatal "file end in the header". A first piece not starting with "{" and an
// unknown ByteOrder are fatal as well.
KvfHeader kvf_parse_header(std::string_view bytes, bool at_end);
