// Text images: whitespace-separated decimal numbers, one image row per line,
// for exchange with spreadsheets and scripts. Leading "#" lines are comments;
// a later "#" line separates the frames of a multi-frame file.
#pragma once

#include "xy_lib.hpp"

// Opens a text image and describes it. The name gets ".txt" appended when it
// does not contain it, unless `as_named` (the file was recognised by content).
std::unique_ptr<HDR> txt_open(const std::string& name, const std::string& program, bool as_named = false,
                              const XyReadOptions& reading = {});
// The registry entry: ".txt" names (no content test: any file may be text).
extern const XyFormat txt_format;
// Layout of an open text file: width from the first data line, height from
// the data lines up to the end or the next "#" line. `name` is for messages.
std::unique_ptr<HDR> txt_gethdr(std::FILE* fp, const std::string& name);
// The header entries every text file gets.
void txt_hdrfill(HDR& hdr);
// Writes img.data as text to `path` (".txt" appended when missing): one line
// per row, or per column when the image is wider than high. cr_mode 1 ends
// lines with a carriage return and a line feed (the CR setting).
void txt_write(const IMG& img, const std::string& path, int32_t cr_mode);
// The writer of ".txt" names (the registry's entry).
extern const XyWriter txt_writer;
