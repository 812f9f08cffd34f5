// The writers of powder profiles: .xy text and a NeXus file built in memory
// with libhdf5's core driver (the caller writes its bytes like any result).
#include "xy_powder.hpp"

#include "nexus_writer.hpp"

namespace {

const char* const kOrigin = "../xy32lib/xy_powder";

template <class T>
bool column(hid_t group, const char* name, hid_t type, const std::vector<T>& values, const char* units) {
    const hsize_t n = values.size();
    const SpaceId space(H5Screate_simple(1, &n, nullptr));
    const DatasetId set(H5Dcreate2(group, name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    return set.valid() &&
           (n == 0 || H5Dwrite(set.get(), type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) >= 0) &&
           (!units || put_text_attribute(set.get(), "units", units));
}

bool nxdata(hid_t entry, const std::string& name, const PowderProfile& p) {
    const GroupId group = new_group(entry, name.c_str(), "NXdata");
    const char* axis = powder_axis_name(p.unit);
    if (!group.valid() || !put_text_attribute(group.get(), "signal", "intensity") ||
        !put_text_attribute(group.get(), "axes", axis))
        return false;
    std::vector<double> x, intensity, sigma;
    std::vector<int64_t> pixels;
    for (const PowderBin& b : p.filled) {
        x.push_back(b.x);
        intensity.push_back(b.intensity);
        sigma.push_back(b.sigma);
        pixels.push_back(b.pixels);
    }
    return column(group.get(), axis, H5T_NATIVE_DOUBLE, x, powder_axis_units(p.unit)) &&
           column(group.get(), "intensity", H5T_NATIVE_DOUBLE, intensity, nullptr) &&
           column(group.get(), "intensity_errors", H5T_NATIVE_DOUBLE, sigma, nullptr) &&
           column(group.get(), "pixels", H5T_NATIVE_INT64, pixels, nullptr);
}

bool put_profiles(hid_t file, const std::vector<PowderProfile>& profiles,
                  const std::vector<std::string>& groups) {
    const GroupId entry = new_group(file, "entry", "NXentry");
    if (!entry.valid() || !put_text_attribute(file, "default", "entry")) return false;
    if (!groups.empty() && !put_text_attribute(entry.get(), "default", groups.front())) return false;
    for (size_t i = 0; i < profiles.size() && i < groups.size(); ++i)
        if (!nxdata(entry.get(), groups[i], profiles[i])) return false;
    return true;
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
    std::string bytes;
    if (!nexus_memory_file(
            size_t{1} << 16, [&](hid_t file) { return put_profiles(file, profiles, groups); }, bytes))
        v_fatal(kOrigin, "libhdf5 could not write the profile file");
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}
