// Differential checks: every fast path of the engine against a plain
// equivalent written here, on small random shapes and values. A case is drawn
// from a source of random numbers, a seeded generator in the test suite or
// the bytes of a fuzzer input, so that both explore the same cases.
//
// Compared: the grouped band-by-band summation of a many-frame file, of a
// group of one-frame files and of HDF5 and CBF frames against a frame-after-
// frame loop (sums, frame counts, cosmic-ray maxima and their frames, squared
// sums, saturated pixels); the statistics gathered while summing and the
// blocked scan of xy_info against a pixel-by-pixel loop, as printed; the
// sector finder of the radial distribution against the arctangent; the
// vector bit unshuffle against the scalar one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace zt {

// Where the choices of a case come from.
class CaseSource {
  public:
    virtual ~CaseSource() = default;
    virtual uint32_t next() = 0; // 32 bits
    // A number in lo..hi, both included.
    int32_t in(int32_t lo, int32_t hi) {
        return lo + static_cast<int32_t>(next() % (static_cast<uint32_t>(hi - lo) + 1u));
    }
    bool one_in(uint32_t n) { return next() % n == 0; }
};

class SeededSource : public CaseSource {
  public:
    explicit SeededSource(uint32_t seed) : rng_(seed) {}
    uint32_t next() override { return static_cast<uint32_t>(rng_()); }

  private:
    std::mt19937 rng_;
};

// The bytes of a fuzzer input, four at a time; zeros once they are used up.
class ByteSource : public CaseSource {
  public:
    ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint32_t next() override;

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// One case of every comparison, with its files in the directory `dir`.
// Returns "" when every fast path agreed with its plain equivalent, else a
// description of the first difference and of the case.
std::string differential_case(CaseSource& source, const std::string& dir);

} // namespace zt
