// The test image of the radial and powder benchmarks: side x side pixels of
// rings around (cx, cy), 1000 + 800 cos(r / 15) plus noise from a seeded
// generator, every pixel counted once.
#pragma once

#include "xy_lib.hpp"

#include <cmath>
#include <cstdint>

inline IMG bench_ring_image(int32_t side, double cx, double cy, uint32_t seed) {
    IMG img;
    img.nx = img.x_max = side;
    img.ny = img.y_max = side;
    img.size = side * side;
    img.x_bind = img.y_bind = 1;
    img.name = "bench.kvf";
    img.data.resize(static_cast<size_t>(img.size));
    img.frame.assign(static_cast<size_t>(img.size), 1);
    for (int32_t y = 0; y < side; ++y) {
        for (int32_t x = 0; x < side; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const double r = std::hypot(x - cx, y - cy);
            img.data[static_cast<size_t>(y) * side + x] =
                static_cast<int32_t>(1000 + 800 * std::cos(r / 15.0) + (seed >> 24));
        }
    }
    return img;
}
