// Library records built in memory for tests: images and grid models.
#pragma once

#include "stream_capture.hpp"

#include "xy_grid.hpp"
#include "xy_lib.hpp"
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zt {

// An nx x ny record holding `values` row after row, the per-pixel frame
// counts `frame` (none when empty) and the name `name`.
inline IMG image_of(int32_t nx, int32_t ny, std::vector<int32_t> values, std::vector<uint16_t> frame = {},
                    const std::string& name = "") {
    IMG img;
    img.nx = nx;
    img.ny = ny;
    img.size = nx * ny;
    img.data = std::move(values);
    img.frame = std::move(frame);
    img.name = name;
    return img;
}

// The statistics line xy_fputinfo writes for `img`.
inline std::string info_line(const IMG& img) {
    return written_by([&](std::FILE* fp) { xy_fputinfo(fp, img); });
}

// Two sums hold the same frames: frame count, pixel and count planes, the
// cosmic arrays and the saturated pixels.
inline void expect_same_sums(const IMG& a, const IMG& b) {
    EXPECT_EQ(a.frames, b.frames);
    EXPECT_EQ(a.n_saturated, b.n_saturated);
    EXPECT_EQ(a.data, b.data);
    EXPECT_EQ(a.frame, b.frame);
    EXPECT_EQ(a.cosmic.sumq, b.cosmic.sumq);
    EXPECT_EQ(a.cosmic.mval, b.cosmic.mval);
    EXPECT_EQ(a.cosmic.mframe, b.cosmic.mframe);
}

// A grid model of xcor.size() terms with both coefficient lists given.
inline GridCor grid_model(const std::vector<double>& xcor, const std::vector<double>& ycor,
                          const std::string& mode = "") {
    GridCor g;
    grid_struct_ini(g, static_cast<int32_t>(xcor.size()));
    g.xcor = xcor;
    g.ycor = ycor;
    g.set = 3;
    g.grid_mode = mode;
    return g;
}

} // namespace zt
