// Reads back the 32-bit native files that zandor writes, independently of the
// library's reader: the header ends with the first "\n}\n", the data follow as
// little-endian int32 (or float) values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zt {

struct KvfImage {
    int32_t width = 0;
    int32_t height = 0;
    std::string header;          // text up to and including "\n}\n"
    std::vector<int32_t> values; // row after row (for float files: the bits)
    std::vector<float> floats() const;
};

// Throws std::runtime_error when the file is missing or malformed.
KvfImage read_kvf32(const std::string& path);

} // namespace zt
