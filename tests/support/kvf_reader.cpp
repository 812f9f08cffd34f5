#include "kvf_reader.hpp"

#include "test_support.hpp"

#include <cstring>
#include <stdexcept>

namespace zt {

namespace {
int32_t header_int(const std::string& header, const std::string& key) {
    const size_t at = header.find("\n" + key + " ");
    if (at == std::string::npos) throw std::runtime_error("kvf header has no " + key);
    const size_t eq = header.find('=', at);
    return std::stoi(header.substr(eq + 1));
}
} // namespace

std::vector<float> KvfImage::floats() const {
    std::vector<float> out(values.size());
    std::memcpy(out.data(), values.data(), values.size() * sizeof(float));
    return out;
}

KvfImage read_kvf32(const std::string& path) {
    const std::string bytes = read_file(path);
    const size_t end = bytes.find("\n}\n");
    if (bytes.compare(0, 2, "{\n") != 0 || end == std::string::npos)
        throw std::runtime_error("not a kvf file: " + path);
    KvfImage img;
    img.header = bytes.substr(0, end + 3);
    img.width = header_int(img.header, "Dim_1");
    img.height = header_int(img.header, "Dim_2");
    const size_t count = static_cast<size_t>(img.width) * static_cast<size_t>(img.height);
    if (bytes.size() < img.header.size() + 4 * count) throw std::runtime_error("kvf data too short: " + path);
    img.values.resize(count);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data() + img.header.size());
    for (size_t i = 0; i < count; ++i, p += 4)
        img.values[i] = static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                             uint32_t{p[3]} << 24);
    return img;
}

} // namespace zt
