// Pixel arithmetic shared by the library and the driver: 32-bit values,
// truncation toward zero, and no undefined conversions.
#pragma once

#include "prg_lib.hpp"

#include <cmath>
#include <cstdint>

// `value` truncated toward zero into `pixel`; false (pixel untouched) when the
// value is not a number or its truncation does not fit in 32 bits, where a
// plain conversion would be undefined.
inline bool truncate_to_pixel(double value, int32_t& pixel) {
    const double t = std::trunc(value);
    if (!(t >= -2147483648.0 && t <= 2147483647.0)) return false;
    pixel = static_cast<int32_t>(t);
    return true;
}

// `value` truncated toward zero, saturating at the 32-bit limits instead of
// the undefined conversion of out-of-range values; NaN gives 0.
inline int32_t truncate_saturated(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return INT32_MAX;
    if (value <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// A floating-point result stored as a pixel, truncated toward zero. A result
// that is not a number or does not fit in 32 bits would be a silently wrong
// image: it ends the run instead.
inline int32_t pixel_from_double(double value, const char* operation, int64_t index) {
    int32_t pixel = 0;
    if (!truncate_to_pixel(value, pixel))
        v_fatal("zandor", "%s gives %g at pixel %lld, outside the 32-bit pixel range", operation, value,
                static_cast<long long>(index));
    return pixel;
}

// 32-bit sums wrap as the stored integers do, without signed overflow.
inline int32_t wrap_add32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
