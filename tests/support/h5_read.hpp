// Reading back what the writers put in an HDF5 file with libhdf5: a
// dataset's values and an object's text attribute.
#pragma once

#include "h5_handles.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace zt {

// A dataset converted to doubles by libhdf5, and the bytes it takes in the file.
inline std::vector<double> read_dataset(hid_t file, const char* path, hsize_t* stored_bytes = nullptr) {
    const DatasetId d(H5Dopen2(file, path, H5P_DEFAULT));
    const SpaceId space(H5Dget_space(d.get()));
    std::vector<double> values(
        static_cast<size_t>(std::max<hssize_t>(H5Sget_simple_extent_npoints(space.get()), 0)));
    EXPECT_GE(H5Dread(d.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0) << path;
    if (stored_bytes) *stored_bytes = H5Dget_storage_size(d.get());
    return values;
}

// The text of attribute `name` of `object` ("" when it cannot be read).
inline std::string text_attribute(const std::string& file, const char* object, const char* name) {
    const QuietErrors quiet;
    const FileId f(H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
    const AttrId a(H5Aopen_by_name(f.get(), object, name, H5P_DEFAULT, H5P_DEFAULT));
    const TypeId type(H5Aget_type(a.get()));
    std::string text(H5Tget_size(type.get()), '\0');
    if (H5Aread(a.get(), type.get(), &text[0]) < 0) return "";
    return text.substr(0, text.find('\0'));
}

} // namespace zt
