#include "spe_writer.hpp"

#include "test_support.hpp"

#include <cstring>

namespace zt {

namespace {

void put16(std::string& s, uint16_t v, bool big) {
    big ? put_u16be(s, v) : put_u16le(s, v);
}
void put32(std::string& s, uint32_t v, bool big) {
    big ? put_u32be(s, v) : put_u32le(s, v);
}

void set16(std::string& head, size_t at, uint16_t v, bool big) {
    std::string bytes;
    put16(bytes, v, big);
    head.replace(at, 2, bytes);
}

void set32(std::string& head, size_t at, uint32_t v, bool big) {
    std::string bytes;
    put32(bytes, v, big);
    head.replace(at, 4, bytes);
}

uint32_t float_bits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

} // namespace

std::string spe_header(const SpeFields& f) {
    std::string head(4100, '\0');
    const bool big = f.big_endian;
    set16(head, 0, f.old_probe, big);
    set16(head, 4, f.exposure_msec, big);
    set16(head, 6, f.detector_x, big);
    set32(head, 10, float_bits(f.exposure_sec), big);
    set16(head, 18, f.detector_y, big);
    head.replace(20, f.date.size() < 10 ? f.date.size() : 10, f.date.substr(0, 10));
    set16(head, 30, static_cast<uint16_t>(f.hour), big);
    set16(head, 32, static_cast<uint16_t>(f.minute), big);
    set16(head, 42, f.width, big);
    set16(head, 108, static_cast<uint16_t>(f.data_type), big);
    set16(head, 656, f.height, big);
    set32(head, 660, static_cast<uint32_t>(f.exposure_msec_long), big);
    set32(head, 1446, static_cast<uint32_t>(f.frames), big);
    for (const SpeRoi& r : f.rois) {
        const size_t at = 1512 + 12 * static_cast<size_t>(r.slot);
        const int16_t words[6] = {r.start_x, r.end_x, r.group_x, r.start_y, r.end_y, r.group_y};
        for (int i = 0; i < 6; ++i)
            set16(head, at + 2 * i, static_cast<uint16_t>(words[i]), big);
    }
    return head;
}

std::string spe_u16(const std::vector<uint16_t>& values, bool big_endian) {
    std::string s;
    for (uint16_t v : values)
        put16(s, v, big_endian);
    return s;
}

std::string spe_i16(const std::vector<int16_t>& values, bool big_endian) {
    std::string s;
    for (int16_t v : values)
        put16(s, static_cast<uint16_t>(v), big_endian);
    return s;
}

std::string spe_i32(const std::vector<int32_t>& values, bool big_endian) {
    std::string s;
    for (int32_t v : values)
        put32(s, static_cast<uint32_t>(v), big_endian);
    return s;
}

std::string spe_f32(const std::vector<float>& values, bool big_endian) {
    std::string s;
    for (float v : values)
        put32(s, float_bits(v), big_endian);
    return s;
}

} // namespace zt
