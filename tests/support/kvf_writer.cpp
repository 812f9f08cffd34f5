#include "kvf_writer.hpp"

#include "test_support.hpp"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace zt {

namespace {

int32_t pixel_bytes(int32_t type) {
    switch (type) {
    case 3:
        return 2;
    case 4:
    case 5:
        return 4;
    default:
        throw std::invalid_argument("kvf test writer: pixel type must be 3, 4 or 5");
    }
}

const char* data_type_text(int32_t type) {
    if (type == 3) return "UnsignedShort";
    if (type == 4) return "SignedInteger";
    return "FloatValue";
}

void put_entry(std::string& out, const std::string& key, const std::string& value) {
    char line[512];
    std::snprintf(line, sizeof line, "%-15s = %s ; \n", key.c_str(), value.c_str());
    out += line;
}

void put_pixel(std::string& out, int32_t type, bool big_endian, double value) {
    uint32_t bits = 0;
    if (type == 3) {
        bits = static_cast<uint16_t>(value);
    } else if (type == 4) {
        bits = static_cast<uint32_t>(static_cast<int32_t>(value));
    } else {
        const float f = static_cast<float>(value);
        std::memcpy(&bits, &f, sizeof bits);
    }
    if (type == 3)
        big_endian ? put_u16be(out, static_cast<uint16_t>(bits))
                   : put_u16le(out, static_cast<uint16_t>(bits));
    else
        big_endian ? put_u32be(out, bits) : put_u32le(out, bits);
}

} // namespace

std::string kvf_header_bytes(const KvfFile& file) {
    const int64_t frame_bytes = int64_t{file.width} * file.height * pixel_bytes(file.type);
    std::string h = "{\n";
    put_entry(h, "HeaderID", "EH:000001:000000:000000");
    put_entry(h, "ByteOrder", file.big_endian ? "HighByteFirst" : "LowByteFirst");
    put_entry(h, "DataType", data_type_text(file.type));
    put_entry(h, "Size", std::to_string(frame_bytes));
    put_entry(h, "Dim_1", std::to_string(file.width));
    put_entry(h, "Dim_2", std::to_string(file.height));
    put_entry(h, "Image", std::to_string(file.frames.size()));
    for (const std::string& line : file.extra_lines)
        h += line + " ;\n";
    const size_t closing = 3; // "\n}\n"
    const size_t total = (h.size() + closing + 1023) / 1024 * 1024;
    h.append(total - h.size() - closing, ' ');
    h += "\n}\n";
    return h;
}

std::string kvf_bytes(const KvfFile& file) {
    std::string out = kvf_header_bytes(file);
    const size_t pixels = static_cast<size_t>(file.width) * static_cast<size_t>(file.height);
    for (const std::vector<double>& frame : file.frames) {
        if (frame.size() != pixels)
            throw std::invalid_argument("kvf test writer: frame size is not width * height");
        for (double v : frame)
            put_pixel(out, file.type, file.big_endian, v);
    }
    return out;
}

void write_kvf(const std::string& path, const KvfFile& file) {
    write_file(path, kvf_bytes(file));
}

void write_kvf(const std::string& path, int32_t width, int32_t height, int32_t type, bool big_endian,
               const std::vector<std::vector<double>>& frames, const std::vector<std::string>& extra_lines) {
    KvfFile f;
    f.width = width;
    f.height = height;
    f.type = type;
    f.big_endian = big_endian;
    f.frames = frames;
    f.extra_lines = extra_lines;
    write_kvf(path, f);
}

} // namespace zt
