// Every fast path against its plain equivalent on seeded random cases: the
// grouped summation of one file, of one-frame files, of HDF5 and CBF frames;
// the statistics; the sector finder; the bit unshuffle.
#include "differential.hpp"
#include "test_support.hpp"

namespace {

constexpr uint32_t kCases = 150;

TEST(Differential, FastPathsMatchTheirPlainEquivalents) {
    const zt::TempDir dir;
    for (uint32_t seed = 1; seed <= kCases; ++seed) {
        zt::SeededSource source(seed);
        const std::string difference = zt::differential_case(source, dir.path());
        ASSERT_EQ(difference, "") << "seed " << seed;
    }
}

} // namespace
