#include "zd_map.hpp"

#include "7c_cry.hpp"
#include "zd_hkl.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Writes the decimal digits of n (n >= 0) right-aligned ending at `end`;
// returns the first digit's position.
char* digits_backwards(char* end, uint64_t n) {
    do {
        *--end = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    return end;
}

// Copies `len` characters right-aligned in a field of `width` (no truncation).
char* put_field(char* p, const char* text, size_t len, size_t width) {
    for (size_t i = len; i < width; ++i)
        *p++ = ' ';
    std::memcpy(p, text, len);
    return p + len;
}

// The longest "%7.4lf" of a double: 309 integer digits, sign, point, 4 decimals.
constexpr size_t fixed4_max = 320;

char* put_fixed4_printf(char* p, double x) {
    char text[fixed4_max + 1];
    const int n = std::snprintf(text, sizeof text, "%7.4lf", x);
    std::memcpy(p, text, static_cast<size_t>(n));
    return p + n;
}

// " %7.4lf" without the leading blank. The value times 10^4 is rounded to the
// nearest integer; where the computed product lies too close to a rounding tie
// for its own error (half an ulp) to be ruled out, or the value is large or not
// finite, snprintf decides.
char* put_fixed4(char* p, double x) {
    const double a = std::fabs(x);
    if (!(a < 1e9)) return put_fixed4_printf(p, x);
    const double t = a * 10000.0;
    const double whole = std::floor(t);
    const double frac = t - whole; // exact below 2^52
    if (std::fabs(frac - 0.5) <= t * 2.3e-16 + 1e-300) return put_fixed4_printf(p, x);
    const uint64_t n = static_cast<uint64_t>(whole) + (frac > 0.5 ? 1 : 0);
    char text[32];
    char* const end = text + sizeof text;
    char* s = end - 4;
    uint64_t f = n % 10000;
    for (int i = 3; i >= 0; --i, f /= 10)
        s[i] = static_cast<char>('0' + f % 10);
    *--s = '.';
    s = digits_backwards(s, n / 10000);
    if (std::signbit(x)) *--s = '-';
    return put_field(p, s, static_cast<size_t>(end - s), 7);
}

// " %10ld" without the leading blank.
char* put_long10(char* p, int32_t value) {
    char text[24];
    char* const end = text + sizeof text;
    const int64_t v = value;
    char* s = digits_backwards(end, static_cast<uint64_t>(v < 0 ? -v : v));
    if (v < 0) *--s = '-';
    return put_field(p, s, static_cast<size_t>(end - s), 10);
}

bool is_sample(int32_t i, int32_t n) {
    return i == 0 || i == (n - 1) / 2 || i == n - 1;
}

} // namespace

size_t map_line(char* buf, double h, double k, double l, int32_t value) {
    char* p = buf;
    for (double x : {h, k, l}) {
        *p++ = ' ';
        p = put_fixed4(p, x);
    }
    *p++ = ' ';
    p = put_long10(p, value);
    *p++ = '\n';
    return static_cast<size_t>(p - buf);
}

void hkl_map(const std::string& /*arg*/, const std::string& out_dir, IMG& image) {
    if (image.data.empty()) v_error("zd_map", "no data to write");
    const DetectorMap det = hkl_detector_map(image);
    const std::string name = hkl_result_name(image, out_dir, ".map");
    hkl_prepare_geometry("zd_map");
    HklFrame frame;
    if (!hkl_frame_prepare(frame)) v_fatal("zd_map", "no (h, k, l) can be computed");

    AtomicOutFile file(name);
    if (!file.is_open()) v_error("zd_map", "unable to create map file '%s'", name.c_str());
    prg_printf(" printing ascii map in %s\n", name.c_str());

    const int32_t nx = image.nx, ny = image.ny;
    // Lines are gathered into a block and written in large pieces.
    std::string block;
    block.reserve(1 << 20);
    char line[map_line_capacity];
    double* const r = geo.goniometer;
    for (int32_t y = 0; y < ny; ++y) {
        for (int32_t x = 0; x < nx; ++x) {
            det.point(x, y, r[G_RY], r[G_RZ]);
            double v[3];
            hkl_frame_indices(frame, r[G_RY], r[G_RZ], v);
            const int32_t value = image.data[static_cast<size_t>(y) * nx + x];
            block.append(line, map_line(line, v[0], v[1], v[2], value));
            if (is_sample(x, nx) && is_sample(y, ny))
                prg_printf(" %4d*%4d R(%7.2f,%7.2f,%7.2f)  %8.4lf %8.4lf %8.4lf %10ld\n", x, y, r[G_RX],
                           r[G_RY], r[G_RZ], v[0], v[1], v[2], static_cast<long>(value));
        }
        if (block.size() > (1u << 20) - 4096 || y == ny - 1) {
            if (std::fwrite(block.data(), 1, block.size(), file.get()) != block.size())
                v_error("zd_map", "unable to write map file '%s'", name.c_str());
            block.clear();
        }
    }
    if (!file.commit()) v_error("zd_map", "unable to write map file '%s'", name.c_str());
    get_hkl(); // the state ends as the last pixel left it
}
