// WinView SPE files: a 4100-byte header followed by the frames (read only).
// The module describes the file; the generic raw readers read the frames.
#pragma once

#include "xy_lib.hpp"

#include <cstddef>

constexpr size_t WV_HEADER_BYTES = 4100;

// Opens `name` (".spe", then ".SPE" appended when it holds neither) and
// describes it. Header values are checked before anything relies on them.
std::unique_ptr<HDR> wv_open(const std::string& name, const std::string& program);
// The registry entry: ".spe" and ".SPE" names, and the default format.
extern const XyFormat wv_format;
// The record described by the header bytes (`size` must reach 4100): its
// byte order from the probe words at 6, 42 and 0, then the fields read in it.
// `name` only serves the messages.
std::unique_ptr<HDR> wv_gethdr(const unsigned char* head, size_t size, const std::string& name);
// Appends the header entries and the exposure, reading the fields in
// hdr.byte_order; refuses an unsupported data type after listing the entries
// on the error stream.
void wv_hdrfill(const unsigned char* head, size_t size, HDR& hdr);
