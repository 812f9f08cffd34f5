// IPN-label frame files, read only: a 512-byte text label (run, map, date,
// sample description, frame size as decimal text, byte order) followed by
// frames of 16-bit unsigned pixels. The module describes the file; the
// generic raw readers read the frames.
#pragma once

#include "xy_lib.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t DMI_LABEL_BYTES = 512;

// Registry entry: recognised by the label's first bytes only, opened as named.
extern const XyFormat dmi_format;

// Opens `name` as given and describes it. Refuses a label that gives an empty
// or over-16-bit frame size, and a file too short for one frame after the label.
std::unique_ptr<HDR> dmi_open(const std::string& name, const std::string& program);
// The record described by the label bytes (`size` must reach 512): sets the
// byte order from byte 153 ("M" low byte first, "L" high byte first) and reads
// the frame size and the sample type. Nothing is read outside the label.
// `name` only serves the messages.
std::unique_ptr<HDR> dmi_gethdr(const unsigned char* label, size_t size, const std::string& name);
// Appends the header entries; refuses a sample type other than 16 bits after
// listing the entries on the error stream.
void dmi_hdrfill(const unsigned char* label, size_t size, HDR& hdr, const std::string& file_name);
// The mean of frames first .. last (last 0: to the end of the file) of the
// image's open file over its region, each value rounded half up; the number of
// frames averaged goes into `img.frames`. Sizes the image first when needed.
std::vector<uint16_t> dmi_getdark(IMG& img, int32_t first, int32_t last);
