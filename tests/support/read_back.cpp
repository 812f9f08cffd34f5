#include "read_back.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace zt {

ReadBack read_back(const std::string& path, const std::string& h5_data) {
    XyReadOptions reading;
    reading.h5_data_path = h5_data;
    IMG img;
    img.hdr = xy_open(path, "zandor", "", 0, true, reading);
    xy_setsize(img);
    ReadBack r;
    r.width = img.dim_x;
    r.height = img.dim_y;
    r.type = img.hdr->type;
    const size_t n = static_cast<size_t>(img.reg_size);
    if (r.type == XY_TYPE_FLOAT) {
        r.floats.resize(n);
        EXPECT_EQ(xy_getrawf(img, r.floats.data(), 1, nullptr), r.height) << path;
    } else if (r.type == XY_TYPE_UINT16) {
        std::vector<uint16_t> values(n);
        EXPECT_EQ(xy_getrawu(img, values.data(), 1, nullptr), r.height) << path;
        r.ints.assign(values.begin(), values.end());
    } else {
        r.ints.resize(n);
        EXPECT_EQ(xy_getrawl(img, r.ints.data(), 1, nullptr), r.height) << path;
    }
    return r;
}

IMG random_image(int32_t nx, int32_t ny, int32_t low, int32_t high, int32_t one_in, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> value(low, high);
    std::uniform_int_distribution<int32_t> marked(1, one_in);
    IMG img;
    img.nx = nx;
    img.ny = ny;
    img.size = nx * ny;
    img.name = "random.kvf";
    for (int32_t i = 0; i < img.size; ++i) {
        img.data.push_back(value(rng));
        img.frame.push_back(static_cast<uint16_t>(marked(rng) == 1 ? 0 : 1 + i % 3));
    }
    return img;
}

std::vector<int32_t> expected_ints(const IMG& img) {
    std::vector<int32_t> v = img.data;
    for (size_t i = 0; i < v.size(); ++i)
        if (img.frame[i] == 0) v[i] = -1;
    return v;
}

bool same_floats(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
    return true;
}

} // namespace zt
