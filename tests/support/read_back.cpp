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
    std::vector<float> floats(r.type == XY_TYPE_FLOAT ? n : 0);
    std::vector<uint16_t> counts(r.type == XY_TYPE_UINT16 ? n : 0);
    std::vector<int32_t> ints(floats.empty() && counts.empty() ? n : 0);
    const int32_t rows = !floats.empty()   ? xy_getrawf(img, floats.data(), 1, nullptr)
                         : !counts.empty() ? xy_getrawu(img, counts.data(), 1, nullptr)
                                           : xy_getrawl(img, ints.data(), 1, nullptr);
    EXPECT_EQ(rows, r.height) << path;
    r.values.insert(r.values.end(), floats.begin(), floats.end());
    r.values.insert(r.values.end(), counts.begin(), counts.end());
    r.values.insert(r.values.end(), ints.begin(), ints.end());
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

std::vector<double> stored_values(const IMG& img, bool floats) {
    std::vector<double> v;
    for (size_t i = 0; i < img.data.size(); ++i) {
        const double value = floats ? static_cast<double>(static_cast<float>(img.data[i])) : img.data[i];
        v.push_back(img.frame[i] != 0 ? value : floats ? NAN : -1.0);
    }
    return v;
}

bool same_values(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
    return true;
}

} // namespace zt
