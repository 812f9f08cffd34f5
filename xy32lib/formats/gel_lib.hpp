// GEL and TIFF images: uncompressed grayscale TIFF read and written in 8, 16 or 32 bits.
#pragma once

#include "xy_lib.hpp"

#include <cstddef>
#include <string>
#include <vector>

std::unique_ptr<HDR> gel_open(const std::string& name, const std::string& program, bool as_named = false,
                              const XyReadOptions& reading = {});
// The registry entry: ".gel", ".tif" and ".tiff" names and files starting with
// "MM" or "II".
extern const XyFormat gel_format;
// Writes the image to `path`, with `ext` (".gel" or ".tif") appended when the
// path holds neither; mode 0 automatic depth, 1 16 bits, 2 8 bits.
void gel_write(const IMG& img, const std::string& path, const std::string& ext, int32_t mode);

// The writer of ".gel" names (the registry's entry; ".tif" names: tif_writer.hpp).
extern const XyWriter gel_writer;
// The depth, offset and scale gel_write uses for this image in this mode
// (0 from the values, 1 16 bits, 2 8 bits).
OutputDepth gel_output_depth(const IMG& img, int32_t mode);

// ---------------------------------------------------------------- header parsing
// Random access to the bytes of a TIFF file. The header parsers see a file only
// through this, so that they run unchanged over a file on disk or over bytes
// held in memory (tests, fuzzing).
class GelBytes {
  public:
    virtual ~GelBytes() = default;
    virtual uint64_t size() const = 0;
    // Copies n bytes from pos; false when they are not all in the file.
    virtual bool read(uint64_t pos, void* dst, size_t n) const = 0;
};

class GelMemoryBytes : public GelBytes {
  public:
    // Keeps a reference: the bytes must outlive this object (no temporaries).
    explicit GelMemoryBytes(const std::string& bytes) : bytes_(bytes) {}
    explicit GelMemoryBytes(std::string&&) = delete;
    uint64_t size() const override { return bytes_.size(); }
    bool read(uint64_t pos, void* dst, size_t n) const override;

  private:
    const std::string& bytes_;
};

class GelFileBytes : public GelBytes {
  public:
    explicit GelFileBytes(std::FILE* fp);
    uint64_t size() const override { return size_; }
    bool read(uint64_t pos, void* dst, size_t n) const override;

  private:
    std::FILE* fp_;
    uint64_t size_ = 0;
};

// A record with byte_order, dim_x, dim_y, offset, frames and type filled from
// the file; refuses what it cannot read right.
std::unique_ptr<HDR> gel_gethdr(const GelBytes& file);
// The whole ImageDescription text of the first IFD ("" when none).
std::string gel_description(const GelBytes& file);
// Appends the header entries; refuses depths other than 8, 16 and 32 bits.
void gel_hdrfill(const GelBytes& file, HDR& hdr);
// One frame's region as 16-bit values through the shared raw readers (8-bit
// pixels widened); rows read, 0 or -1 as those readers.
int32_t gel_getraw(const IMG& img, uint16_t* buf, int32_t frame);

// ---------------------------------------------------------------- IFD construction
enum : uint16_t { TIF_ASCII = 2, TIF_SHORT = 3, TIF_LONG = 4, TIF_RATIONAL = 5 };

struct TifIfdEntry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    uint32_t value = 0; // a SHORT value in the low 16 bits
};

std::string ifd_tag_name(uint32_t tag);
void print_ifd(int index, int count, const TifIfdEntry& entry, const char* text);
// Each appends one entry with count 1 and returns 1. A RATIONAL's numbers go to
// `area`, which the file holds from byte `area_offset`.
int add_short_ifd(std::vector<TifIfdEntry>& ifd, uint16_t tag, uint16_t value);
int add_long_ifd(std::vector<TifIfdEntry>& ifd, uint16_t tag, uint32_t value);
int add_rat_ifd(std::vector<TifIfdEntry>& ifd, uint16_t tag, std::vector<uint32_t>& area,
                uint32_t area_offset, uint32_t numerator, uint32_t denominator);
