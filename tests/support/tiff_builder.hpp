// Builds small TIFF files byte by byte, in either byte order, so that tests can
// produce the layouts other writers make (several strips, values stored out of
// line, IFD after the data) and damaged ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zt {

class TiffBuilder {
  public:
    explicit TiffBuilder(bool big_endian);

    // Appends bytes after the 8-byte header (or after earlier appended data)
    // and returns their file offset.
    uint32_t append(const std::string& bytes);
    uint32_t append_u16s(const std::vector<uint16_t>& values); // in the file's byte order
    uint32_t append_u32s(const std::vector<uint32_t>& values);

    // IFD entries, kept in the order added. `field` is the value field: a
    // SHORT is placed in its first two bytes, as TIFF stores it.
    void add_short(uint16_t tag, uint16_t value);
    void add_long(uint16_t tag, uint32_t value);
    void add_entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t field);
    void add_raw_entry(uint16_t tag, uint16_t type, uint32_t count, const std::string& field4);

    // The file: header, appended data, then the IFD (or the IFD at the given
    // offset when `ifd_offset` is not 0, without padding checks).
    std::string bytes(uint32_t ifd_offset = 0) const;

    std::string u16(uint16_t v) const;
    std::string u32(uint32_t v) const;

  private:
    bool big_endian_;
    std::string data_;
    std::string entries_;
    uint16_t n_entries_ = 0;
};

// A valid grayscale file of 8 or 16 bits: pixels stored row after row in
// `strips` contiguous strips, from byte 8 with the IFD after them, or after
// the IFD and the strip arrays at the end of the file (`data_last`).
std::string gray_tiff(bool big_endian, int bits, uint32_t width, uint32_t height,
                      const std::vector<uint16_t>& pixels, uint32_t strips = 1, bool data_last = false);

} // namespace zt
