#include "decoded_frames.hpp"

#include "expect_json.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

namespace zt {

namespace {

template <class T> std::vector<double> decode_as(HDR& hdr, int32_t frame, const XyWindow& w) {
    std::vector<T> buf(static_cast<size_t>(xy_window_pixels(w)));
    const int32_t rows = hdr.source->decode(frame, w, buf.data());
    if (rows != w.height) return {};
    return std::vector<double>(buf.begin(), buf.end());
}

} // namespace

std::vector<double> decoded_window(HDR& hdr, int32_t frame, const XyWindow& w) {
    EXPECT_TRUE(hdr.source) << hdr.file_name;
    if (!hdr.source) return {};
    switch (hdr.type) {
    case XY_TYPE_UINT8:
        return decode_as<uint8_t>(hdr, frame, w);
    case XY_TYPE_UINT16:
        return decode_as<uint16_t>(hdr, frame, w);
    case XY_TYPE_INT32:
        return decode_as<int32_t>(hdr, frame, w);
    default:
        return decode_as<float>(hdr, frame, w);
    }
}

std::vector<double> decoded_frame(HDR& hdr, int32_t frame) {
    return decoded_window(hdr, frame, XyWindow{0, 0, hdr.dim_x, hdr.dim_y});
}

void expect_matches_expectation(HDR& hdr, const std::string& json) {
    const std::string dims = json_value(json, "dims");
    EXPECT_EQ(hdr.dim_x, json_numbers(json_value(dims, "width")).at(0));
    EXPECT_EQ(hdr.dim_y, json_numbers(json_value(dims, "height")).at(0));
    EXPECT_EQ(hdr.frames, json_numbers(json_value(json, "frames")).at(0));
    const std::vector<double> px = decoded_frame(hdr, 1);
    ASSERT_EQ(px.size(), size_t{hdr.dim_x} * hdr.dim_y);
    const std::string frame1 = json_value(json, "frame1");
    EXPECT_EQ(std::accumulate(px.begin(), px.end(), 0.0), json_numbers(json_value(frame1, "sum")).at(0));
    EXPECT_EQ(*std::min_element(px.begin(), px.end()), json_numbers(json_value(frame1, "min")).at(0));
    EXPECT_EQ(*std::max_element(px.begin(), px.end()), json_numbers(json_value(frame1, "max")).at(0));
    const std::vector<double> first5 = json_numbers(json_value(frame1, "first5_row0"));
    const std::vector<double> row1 = json_numbers(json_value(frame1, "row1_first3"));
    for (size_t x = 0; x < first5.size(); ++x)
        EXPECT_EQ(px.at(x), first5[x]) << "x " << x;
    for (size_t x = 0; x < row1.size(); ++x)
        EXPECT_EQ(px.at(hdr.dim_x + x), row1[x]) << "row 1, x " << x;
    EXPECT_EQ(px.back(), json_numbers(json_value(frame1, "last_pixel")).at(0));
    const std::vector<double> sums = json_numbers(json_value(json, "per_frame_sums"));
    for (size_t f = 1; f < sums.size(); ++f) {
        const std::vector<double> other = decoded_frame(hdr, static_cast<int32_t>(f + 1));
        EXPECT_EQ(std::accumulate(other.begin(), other.end(), 0.0), sums[f]) << "frame " << f + 1;
    }
    EXPECT_TRUE(decoded_frame(hdr, hdr.frames + 1).empty()) << "a frame after the last";
}

} // namespace zt
