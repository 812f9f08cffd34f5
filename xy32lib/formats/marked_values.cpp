#include "marked_values.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>

size_t marked_pixel_count(const char* origin, const IMG& img, const std::string& file) {
    const int64_t n = static_cast<int64_t>(img.nx) * img.ny;
    if (img.nx <= 0 || img.ny <= 0 || static_cast<int64_t>(img.data.size()) != n ||
        (!img.frame.empty() && static_cast<int64_t>(img.frame.size()) != n))
        v_fatal(origin, " no image of %d * %d pixels to write in %s\n", img.nx, img.ny, file.c_str());
    return static_cast<size_t>(n);
}

namespace {

// All bits set where the pixel counted, none where it is marked: the loops
// below select with it instead of branching, so that the compiler vectorises
// them.
inline int32_t counted_bits(uint16_t frames) {
    return -static_cast<int32_t>(frames != 0);
}

} // namespace

MarkedSummary summarise_marks(const IMG& img) {
    // A marked pixel counts as the largest value for the minimum and the
    // smallest for the maximum.
    int32_t min = INT32_MAX, max = INT32_MIN;
    size_t marked = 0;
    const size_t n = img.data.size();
    const int32_t* value = img.data.data();
    if (img.frame.empty()) {
        for (size_t i = 0; i < n; ++i) {
            min = std::min(min, value[i]);
            max = std::max(max, value[i]);
        }
    } else {
        const uint16_t* frames = img.frame.data();
        uint32_t marked_here = 0;
        for (size_t i = 0; i < n; ++i) {
            const int32_t keep = counted_bits(frames[i]);
            min = std::min(min, (value[i] & keep) | (INT32_MAX & ~keep));
            max = std::max(max, (value[i] & keep) | (INT32_MIN & ~keep));
            marked_here += static_cast<uint32_t>(1 + keep);
        }
        marked = marked_here;
    }
    MarkedSummary s;
    s.marked = marked;
    s.any_unmarked = marked < n;
    if (s.any_unmarked) {
        s.min = min;
        s.max = max;
    }
    return s;
}

namespace {

// The stored values of pixels [first, first + n) in `out`.
void fill_band(const IMG& img, size_t first, size_t n, int32_t* out) {
    const int32_t* value = img.data.data() + first;
    const uint16_t* frames = img.frame.data() + first;
    for (size_t i = 0; i < n; ++i) {
        const int32_t keep = counted_bits(frames[i]);
        out[i] = (value[i] & keep) | (kMarkedInt32 & ~keep);
    }
}

void fill_band(const IMG& img, size_t first, size_t n, float* out) {
    const int32_t* value = img.data.data() + first;
    if (img.frame.empty()) {
        for (size_t i = 0; i < n; ++i)
            out[i] = static_cast<float>(value[i]);
        return;
    }
    const uint16_t* frames = img.frame.data() + first;
    const float nan = NAN;
    uint32_t nan_bits = 0;
    std::memcpy(&nan_bits, &nan, sizeof nan_bits);
    for (size_t i = 0; i < n; ++i) {
        const float v = static_cast<float>(value[i]);
        uint32_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        const auto keep = static_cast<uint32_t>(counted_bits(frames[i]));
        bits = (bits & keep) | (nan_bits & ~keep);
        std::memcpy(out + i, &bits, sizeof bits);
    }
}

void fill_band(const IMG& img, size_t first, size_t n, uint8_t* out) {
    if (img.frame.empty()) {
        std::fill(out, out + n, uint8_t{0});
        return;
    }
    const uint16_t* frames = img.frame.data() + first;
    for (size_t i = 0; i < n; ++i)
        out[i] = frames[i] == 0 ? 1 : 0;
}

} // namespace

template <class T> void marked_values(const IMG& img, size_t first, size_t n, T* out) {
    if constexpr (std::is_same_v<T, int32_t>) {
        if (img.frame.empty()) {
            std::copy_n(img.data.data() + first, n, out);
            return;
        }
    }
    fill_band(img, first, n, out);
}

template void marked_values<int32_t>(const IMG&, size_t, size_t, int32_t*);
template void marked_values<float>(const IMG&, size_t, size_t, float*);
template void marked_values<uint8_t>(const IMG&, size_t, size_t, uint8_t*);

template <class T> bool for_each_marked_band(const IMG& img, int64_t band_rows, const BandSink<T>& put) {
    const int64_t nx = img.nx;
    std::vector<T> band;
    for (int64_t row = 0; row < img.ny; row += band_rows) {
        const int64_t rows = std::min(band_rows, img.ny - row);
        const size_t first = static_cast<size_t>(row * nx), n = static_cast<size_t>(rows * nx);
        if constexpr (std::is_same_v<T, int32_t>) {
            // The values of an image without frame counts are stored as they are.
            if (img.frame.empty()) {
                if (!put(row, rows, img.data.data() + first)) return false;
                continue;
            }
        }
        if (band.empty()) band = prg_alloc<T>("marked_values", "band", static_cast<uint64_t>(band_rows * nx));
        marked_values(img, first, n, band.data());
        if (!put(row, rows, band.data())) return false;
    }
    return true;
}

template bool for_each_marked_band<int32_t>(const IMG&, int64_t, const BandSink<int32_t>&);
template bool for_each_marked_band<float>(const IMG&, int64_t, const BandSink<float>&);
template bool for_each_marked_band<uint8_t>(const IMG&, int64_t, const BandSink<uint8_t>&);

int64_t rows_in(int64_t bytes, int64_t row_bytes, int64_t rows) {
    return std::clamp<int64_t>(bytes / std::max<int64_t>(row_bytes, 1), 1, std::max<int64_t>(rows, 1));
}

ReservedSpace::ReservedSpace(const std::string& path, int64_t bytes) {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<uint64_t>(bytes) > static_cast<uint64_t>(limit.rlim_cur))
        return;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    held_ = fd_ >= 0 && ::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) == 0;
}

ReservedSpace::~ReservedSpace() {
    if (fd_ >= 0) ::close(fd_);
}

bool ReservedSpace::release() {
    // Truncating to the file's own size frees the blocks held beyond it.
    struct stat st {};
    return held_ && ::fstat(fd_, &st) == 0 && ::ftruncate(fd_, st.st_size) == 0;
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

bool write_file_bytes(const std::string& name, const void* bytes, size_t size) {
    std::FILE* fp = std::fopen(name.c_str(), "wb");
    if (!fp) return false;
    const bool written = std::fwrite(bytes, 1, size, fp) == size;
    return std::fclose(fp) == 0 && written;
}
