// Native kvf format: a text header of "key = value ;" lines between braces,
// padded to a multiple of 1024 bytes, followed by the raw pixel values.
#pragma once

#include "xy_lib.hpp"

// `as_named`: the file was recognised by its content under this very name, so
// no extension is appended.
std::unique_ptr<HDR> kvf_open(const std::string& name, const std::string& program, bool as_named = false);
std::unique_ptr<HDR> kvf_gethdr(std::FILE* fp);
void kvf_hdrfill(std::FILE* fp, HDR& hdr);
// out_type 5 writes floats, anything else signed 32-bit integers.
void kvf_write(IMG& img, int32_t out_type);
