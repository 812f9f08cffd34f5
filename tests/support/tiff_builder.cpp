#include "tiff_builder.hpp"

namespace zt {

TiffBuilder::TiffBuilder(bool big_endian) : big_endian_(big_endian) {}

std::string TiffBuilder::u16(uint16_t v) const {
    std::string s(2, '\0');
    s[big_endian_ ? 0 : 1] = static_cast<char>(v >> 8);
    s[big_endian_ ? 1 : 0] = static_cast<char>(v & 0xff);
    return s;
}

std::string TiffBuilder::u32(uint32_t v) const {
    const std::string hi = u16(static_cast<uint16_t>(v >> 16));
    const std::string lo = u16(static_cast<uint16_t>(v & 0xffff));
    return big_endian_ ? hi + lo : lo + hi;
}

uint32_t TiffBuilder::append(const std::string& bytes) {
    const uint32_t at = static_cast<uint32_t>(8 + data_.size());
    data_ += bytes;
    return at;
}

uint32_t TiffBuilder::append_u16s(const std::vector<uint16_t>& values) {
    std::string s;
    for (uint16_t v : values)
        s += u16(v);
    return append(s);
}

uint32_t TiffBuilder::append_u32s(const std::vector<uint32_t>& values) {
    std::string s;
    for (uint32_t v : values)
        s += u32(v);
    return append(s);
}

void TiffBuilder::add_raw_entry(uint16_t tag, uint16_t type, uint32_t count, const std::string& field4) {
    entries_ += u16(tag) + u16(type) + u32(count) + field4.substr(0, 4);
    ++n_entries_;
}

void TiffBuilder::add_short(uint16_t tag, uint16_t value) {
    add_raw_entry(tag, 3, 1, u16(value) + std::string(2, '\0'));
}

void TiffBuilder::add_long(uint16_t tag, uint32_t value) {
    add_raw_entry(tag, 4, 1, u32(value));
}

void TiffBuilder::add_entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t field) {
    add_raw_entry(tag, type, count, u32(field));
}

std::string TiffBuilder::bytes(uint32_t ifd_offset) const {
    const uint32_t at = ifd_offset ? ifd_offset : static_cast<uint32_t>(8 + data_.size());
    std::string file = big_endian_ ? "MM" : "II";
    file += u16(42) + u32(at) + data_;
    const std::string ifd = u16(n_entries_) + entries_ + u32(0);
    if (file.size() < at + ifd.size()) file.resize(at + ifd.size(), '\0');
    file.replace(at, ifd.size(), ifd);
    return file;
}

std::string gray_tiff(bool big_endian, int bits, uint32_t width, uint32_t height,
                      const std::vector<uint16_t>& pixels, uint32_t strips, bool data_last) {
    TiffBuilder t(big_endian);
    std::string data;
    for (uint16_t v : pixels)
        data += bits == 8 ? std::string(1, static_cast<char>(v & 0xff)) : t.u16(v);
    const uint32_t rows_per_strip = (height + strips - 1) / strips;
    const uint32_t row_bytes = width * static_cast<uint32_t>(bits / 8);
    const uint32_t n_strips = (height + rows_per_strip - 1) / rows_per_strip;
    // Nine entries: 2 + 9 * 12 + 4 bytes of IFD from byte 8 when the data come last.
    const uint32_t ifd_bytes = 2 + 9 * 12 + 4;
    const uint32_t arrays_bytes = n_strips > 1 ? 8 * n_strips : 0;
    const uint32_t data_at = data_last ? 8 + ifd_bytes + arrays_bytes : 8;
    std::vector<uint32_t> offsets, counts;
    for (uint32_t row = 0; row < height; row += rows_per_strip) {
        const uint32_t rows = row + rows_per_strip <= height ? rows_per_strip : height - row;
        offsets.push_back(data_at + row * row_bytes);
        counts.push_back(rows * row_bytes);
    }
    if (data_last)
        t.append(std::string(ifd_bytes, '\0'));
    else
        t.append(data);
    const uint32_t offsets_at = n_strips > 1 ? t.append_u32s(offsets) : 0;
    const uint32_t counts_at = n_strips > 1 ? t.append_u32s(counts) : 0;
    if (data_last) t.append(data);
    t.add_short(0x100, static_cast<uint16_t>(width));
    t.add_short(0x101, static_cast<uint16_t>(height));
    t.add_short(0x102, static_cast<uint16_t>(bits));
    t.add_short(0x103, 1);
    t.add_short(0x106, 1);
    if (n_strips == 1)
        t.add_long(0x111, offsets[0]);
    else
        t.add_entry(0x111, 4, n_strips, offsets_at);
    t.add_short(0x115, 1);
    t.add_long(0x116, rows_per_strip);
    if (n_strips == 1)
        t.add_long(0x117, counts[0]);
    else
        t.add_entry(0x117, 4, n_strips, counts_at);
    return t.bytes(data_last ? 8 : 0);
}

} // namespace zt
