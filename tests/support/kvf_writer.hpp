// Writes native kvf files for tests, independently of the library's writer, so
// that tests of the summation, the readers and the driver can build inputs.
//
// Usage:
//   zt::KvfFile f;
//   f.width = 3; f.height = 2;
//   f.type = 3;                  // 3 uint16, 4 int32, 5 float
//   f.big_endian = true;         // "HighByteFirst" data (default: low byte first)
//   f.frames = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};   // row after row
//   f.extra_lines = {"Title = dark run"};                     // optional, " ;" added
//   zt::write_kvf("in.kvf", f);  // or zt::kvf_bytes(f) for the bytes alone
//
// The header holds HeaderID, ByteOrder, DataType, Size, Dim_1, Dim_2, Image
// (the frame count), the extra lines, then blanks and "\n}\n" so that it ends
// at a multiple of 1024 bytes. Values are converted to the pixel type with a
// plain cast (give integral values for types 3 and 4).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zt {

struct KvfFile {
    int32_t width = 0;
    int32_t height = 0;
    int32_t type = 4;
    bool big_endian = false;
    std::vector<std::vector<double>> frames;
    std::vector<std::string> extra_lines;
};

// The header alone (a multiple of 1024 bytes).
std::string kvf_header_bytes(const KvfFile& file);
// Header followed by every frame.
std::string kvf_bytes(const KvfFile& file);
void write_kvf(const std::string& path, const KvfFile& file);

// Shorthand: one call for the common cases.
void write_kvf(const std::string& path, int32_t width, int32_t height, int32_t type, bool big_endian,
               const std::vector<std::vector<double>>& frames,
               const std::vector<std::string>& extra_lines = {});

} // namespace zt
