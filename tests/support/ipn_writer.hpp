// Builds IPN-label files for tests: the 512-byte label with the fields the
// reader uses, followed by frames of 16-bit pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zt {

// Each text is written at its offset without a terminating NUL; every other
// label byte is `fill`.
struct IpnLabel {
    std::string run = " CARTE HPC1-SEP"; // offset 0: the bytes that identify the format
    std::string map = "MAP1";            // offset 24
    std::string date = "07-JUL-2003";    // offset 48
    std::string sample = "BIT*16";       // offset 80
    std::string width = "4";             // offset 88
    std::string height = "3";            // offset 104
    char byte_order = 'M';               // offset 153: 'M' low byte first, 'L' high byte first
    char fill = '\0';
};

std::string ipn_label(const IpnLabel& label);

// The label followed by the frames, each stored in the order byte 153 names.
std::string ipn_file(const IpnLabel& label, const std::vector<std::vector<uint16_t>>& frames);

} // namespace zt
