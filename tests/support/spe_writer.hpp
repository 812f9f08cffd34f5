// Builds WinView SPE files for tests: the 4100-byte header with the fields
// the reader uses, in either byte order, followed by frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zt {

struct SpeRoi {
    int slot = 0; // 0..9
    int16_t start_x = 0, end_x = 0, group_x = 0, start_y = 0, end_y = 0, group_y = 0;
};

struct SpeFields {
    bool big_endian = false; // byte order of every stored value
    uint16_t width = 0;      // offset 42
    uint16_t height = 0;     // offset 656
    int16_t data_type = 3;   // offset 108
    int32_t frames = 1;      // offset 1446
    uint16_t detector_x = 0; // offset 6 (first probe word)
    uint16_t detector_y = 0; // offset 18
    uint16_t old_probe = 0;  // offset 0 (third probe word)
    float exposure_sec = 0.0f;
    uint16_t exposure_msec = 0;     // offset 4; 0xFFFF defers to offset 660
    int32_t exposure_msec_long = 0; // offset 660
    std::string date;               // offset 20, at most 10 bytes
    int16_t hour = 0, minute = 0;
    std::vector<SpeRoi> rois;
};

std::string spe_header(const SpeFields& f);

// Pixels in the file's byte order, row after row.
std::string spe_u16(const std::vector<uint16_t>& values, bool big_endian);
std::string spe_i16(const std::vector<int16_t>& values, bool big_endian);
std::string spe_i32(const std::vector<int32_t>& values, bool big_endian);
std::string spe_f32(const std::vector<float>& values, bool big_endian);

} // namespace zt
