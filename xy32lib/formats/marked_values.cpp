#include "marked_values.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>

size_t marked_pixel_count(const char* origin, const IMG& img, const std::string& file) {
    const int64_t n = static_cast<int64_t>(img.nx) * img.ny;
    if (img.nx <= 0 || img.ny <= 0 || static_cast<int64_t>(img.data.size()) != n ||
        (!img.frame.empty() && static_cast<int64_t>(img.frame.size()) != n))
        v_fatal(origin, " no image of %d * %d pixels to write in %s\n", img.nx, img.ny, file.c_str());
    return static_cast<size_t>(n);
}

std::vector<int32_t> marked_int32(const IMG& img) {
    std::vector<int32_t> values = img.data;
    if (!img.frame.empty())
        for (size_t i = 0; i < values.size(); ++i)
            if (img.frame[i] == 0) values[i] = kMarkedInt32;
    return values;
}

std::vector<float> marked_float32(const IMG& img) {
    std::vector<float> values =
        prg_alloc<float>("marked_values", "float image", static_cast<uint64_t>(img.data.size()));
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = marked_pixel(img, i) ? NAN : static_cast<float>(img.data[i]);
    return values;
}

std::vector<uint8_t> marked_mask(const IMG& img) {
    std::vector<uint8_t> mask =
        prg_alloc<uint8_t>("marked_values", "mask", static_cast<uint64_t>(img.data.size()));
    for (size_t i = 0; i < mask.size(); ++i)
        mask[i] = marked_pixel(img, i) ? 1 : 0;
    return mask;
}

bool unmarked_range(const IMG& img, int32_t& min, int32_t& max) {
    bool any = false;
    for (size_t i = 0; i < img.data.size(); ++i) {
        if (marked_pixel(img, i)) continue;
        const int32_t v = img.data[i];
        if (!any || v < min) min = v;
        if (!any || v > max) max = v;
        any = true;
    }
    return any;
}

void write_through_temporary(const char* origin, const char* what, const std::string& target,
                             const std::function<bool(const std::string& temp, std::string& cause)>& write) {
    errno = 0;
    AtomicOutFile out(target);
    if (!out.is_open()) v_error(origin, " unable to open %s %s\n", what, target.c_str());
    std::string cause;
    errno = 0;
    const bool written = write(out.temp_path(), cause);
    if (written && out.commit()) return;
    if (cause.empty()) v_error(origin, " writing %s %s failed\n", what, target.c_str());
    v_fatal(origin, " writing %s %s failed : %s\n", what, target.c_str(), cause.c_str());
}

bool write_file_bytes(const std::string& name, const std::string& bytes) {
    std::FILE* fp = std::fopen(name.c_str(), "wb");
    if (!fp) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    return std::fclose(fp) == 0 && written;
}
