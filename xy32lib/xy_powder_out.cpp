// The writers of powder profiles: .xy text and a NeXus file built in memory
// with libhdf5's core driver (the caller writes its bytes like any result).
#include "xy_powder.hpp"

#include <hdf5.h>

namespace {

const char* const kOrigin = "../xy32lib/xy_powder";

// Closes an HDF5 identifier when it goes away.
class H5Id {
  public:
    H5Id(hid_t id, herr_t (*close)(hid_t), const char* what) : id_(id), close_(close) {
        if (id_ < 0) v_fatal(kOrigin, "libhdf5 could not create %s of the profile file", what);
    }
    ~H5Id() { close_(id_); }
    H5Id(const H5Id&) = delete;
    H5Id& operator=(const H5Id&) = delete;
    hid_t get() const { return id_; }

  private:
    hid_t id_;
    herr_t (*close_)(hid_t);
};

void check(herr_t status, const char* what) {
    if (status < 0) v_fatal(kOrigin, "libhdf5 could not write %s of the profile file", what);
}

void text_attribute(hid_t object, const char* name, const std::string& value) {
    const H5Id type(H5Tcopy(H5T_C_S1), H5Tclose, "a string type");
    check(H5Tset_size(type.get(), value.empty() ? 1 : value.size()), name);
    const H5Id space(H5Screate(H5S_SCALAR), H5Sclose, "a dataspace");
    const H5Id attr(H5Acreate2(object, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose,
                    name);
    check(H5Awrite(attr.get(), type.get(), value.c_str()), name);
}

template <class T>
void column(hid_t group, const char* name, hid_t type, const std::vector<T>& values, const char* units) {
    const hsize_t n = values.size();
    const H5Id space(H5Screate_simple(1, &n, nullptr), H5Sclose, "a dataspace");
    const H5Id set(H5Dcreate2(group, name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                   H5Dclose, name);
    if (n > 0) check(H5Dwrite(set.get(), type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), name);
    if (units) text_attribute(set.get(), "units", units);
}

void nxdata(hid_t entry, const std::string& name, const PowderProfile& p) {
    const H5Id group(H5Gcreate2(entry, name.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose,
                     name.c_str());
    const char* axis = powder_axis_name(p.unit);
    text_attribute(group.get(), "NX_class", "NXdata");
    text_attribute(group.get(), "signal", "intensity");
    text_attribute(group.get(), "axes", axis);
    std::vector<double> x, intensity, sigma;
    std::vector<int64_t> pixels;
    for (const PowderBin& b : p.filled) {
        x.push_back(b.x);
        intensity.push_back(b.intensity);
        sigma.push_back(b.sigma);
        pixels.push_back(b.pixels);
    }
    column(group.get(), axis, H5T_NATIVE_DOUBLE, x, powder_axis_units(p.unit));
    column(group.get(), "intensity", H5T_NATIVE_DOUBLE, intensity, nullptr);
    column(group.get(), "intensity_errors", H5T_NATIVE_DOUBLE, sigma, nullptr);
    column(group.get(), "pixels", H5T_NATIVE_INT64, pixels, nullptr);
}

} // namespace

void powder_write_xy(std::FILE* fp, const PowderProfile& p, const std::vector<std::string>& comments) {
    for (const std::string& line : comments)
        std::fprintf(fp, "# %s\n", line.c_str());
    std::fprintf(fp, "# %s I sigma n\n", powder_unit_label(p.unit));
    for (const PowderBin& b : p.filled)
        std::fprintf(fp, "%.6f %.8g %.8g %lld\n", b.x, b.intensity, b.sigma,
                     static_cast<long long>(b.pixels));
}

std::vector<unsigned char> powder_nexus_image(const std::vector<PowderProfile>& profiles,
                                              const std::vector<std::string>& groups) {
    const H5Id access(H5Pcreate(H5P_FILE_ACCESS), H5Pclose, "file access properties");
    check(H5Pset_fapl_core(access.get(), 1 << 16, 0), "the in-memory file"); // no file on disk
    const H5Id file(H5Fcreate("powder_profile.h5", H5F_ACC_TRUNC, H5P_DEFAULT, access.get()), H5Fclose,
                    "the file");
    {
        const H5Id entry(H5Gcreate2(file.get(), "entry", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose,
                         "the entry");
        text_attribute(file.get(), "default", "entry");
        text_attribute(entry.get(), "NX_class", "NXentry");
        if (!groups.empty()) text_attribute(entry.get(), "default", groups.front());
        for (size_t i = 0; i < profiles.size() && i < groups.size(); ++i)
            nxdata(entry.get(), groups[i], profiles[i]);
    }
    check(H5Fflush(file.get(), H5F_SCOPE_GLOBAL), "the file");
    const ssize_t size = H5Fget_file_image(file.get(), nullptr, 0);
    if (size <= 0) v_fatal(kOrigin, "libhdf5 gave no image of the profile file");
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    if (H5Fget_file_image(file.get(), bytes.data(), bytes.size()) != size)
        v_fatal(kOrigin, "libhdf5 gave an incomplete image of the profile file");
    return bytes;
}
