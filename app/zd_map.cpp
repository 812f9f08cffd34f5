#include "zd_map.hpp"

#include "7c_cry.hpp"
#include "xy_threads.hpp"
#include "zd_hkl.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// "00" .. "99": two digits per table look-up.
struct DigitPairs {
    char text[200];
    DigitPairs() {
        for (int i = 0; i < 100; ++i) {
            text[2 * i] = static_cast<char>('0' + i / 10);
            text[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
const DigitPairs digit_pairs;

int digit_count(uint64_t n) {
    int count = 1;
    while (n >= 10) {
        n /= 10;
        ++count;
    }
    return count;
}

// Writes n (n >= 0) backwards ending before `end`; returns the first digit.
char* digits_backwards(char* end, uint64_t n) {
    while (n >= 100) {
        end -= 2;
        std::memcpy(end, digit_pairs.text + 2 * (n % 100), 2);
        n /= 100;
    }
    if (n >= 10) {
        end -= 2;
        std::memcpy(end, digit_pairs.text + 2 * n, 2);
    } else {
        *--end = static_cast<char>('0' + n);
    }
    return end;
}

// The blanks that right-align a text of `body_len` characters in `width`;
// returns where the text starts.
char* pad_field(char* p, int body_len, int width) {
    const int pad = width - body_len;
    for (int i = 0; i < pad; ++i)
        p[i] = ' ';
    return p + (pad > 0 ? pad : 0);
}

// The longest "%7.4lf" of a double: 309 integer digits, sign, point, 4 decimals.
constexpr size_t fixed4_max = 320;

char* put_fixed4_printf(char* p, double x) {
    char text[fixed4_max + 1];
    const int n = std::snprintf(text, sizeof text, "%7.4lf", x);
    std::memcpy(p, text, static_cast<size_t>(n));
    return p + n;
}

// "%7.4lf". The value times 10^4 is rounded to the nearest integer; where the
// computed product lies too close to a rounding tie for its own error (half an
// ulp) to be ruled out, or the value is large or not finite, snprintf decides.
char* put_fixed4(char* p, double x) {
    const double a = std::fabs(x);
    if (!(a < 1e9)) return put_fixed4_printf(p, x);
    const double t = a * 10000.0;
    const double whole = std::floor(t);
    const double frac = t - whole; // exact below 2^52
    if (std::fabs(frac - 0.5) <= t * 2.3e-16 + 1e-300) return put_fixed4_printf(p, x);
    const uint64_t n = static_cast<uint64_t>(whole) + (frac > 0.5 ? 1 : 0);
    const uint64_t integer = n / 10000;
    const uint32_t decimals = static_cast<uint32_t>(n % 10000);
    const bool negative = std::signbit(x);
    p = pad_field(p, digit_count(integer) + 5 + (negative ? 1 : 0), 7);
    if (negative) *p++ = '-';
    p += digit_count(integer);
    digits_backwards(p, integer);
    *p = '.';
    std::memcpy(p + 1, digit_pairs.text + 2 * (decimals / 100), 2);
    std::memcpy(p + 3, digit_pairs.text + 2 * (decimals % 100), 2);
    return p + 5;
}

// "%10ld".
char* put_long10(char* p, int32_t value) {
    const int64_t v = value;
    const uint64_t magnitude = static_cast<uint64_t>(v < 0 ? -v : v);
    const int digits = digit_count(magnitude);
    p = pad_field(p, digits + (v < 0 ? 1 : 0), 10);
    if (v < 0) *p++ = '-';
    digits_backwards(p + digits, magnitude);
    return p + digits;
}

bool is_sample(int32_t i, int32_t n) {
    return i == 0 || i == (n - 1) / 2 || i == n - 1;
}

// Rows of the map formatted together by one thread; the blocks are written
// in order.
constexpr int32_t kMapBlockRows = 8;

// Blocks formatted in one wave: several a thread, so that the thread that
// writes the previous wave still finds blocks to format; at most 128, as
// the text of two waves is held at once.
int32_t blocks_per_wave(int32_t team) {
    return std::min(8 * team, 128);
}

// The lines of the map of an image, rows at a time, and the sample pixels
// printed on the console.
struct MapRows {
    const DetectorMap& det;
    const HklFrame& frame;
    const IMG& image;
    const double* goniometer; // only Rx is read: each pixel has its own Ry, Rz

    // The (h, k, l) of pixel (x, y), its detector offsets and value.
    int32_t indices(int32_t x, int32_t y, double& ry, double& rz, double v[3]) const {
        det.point(x, y, ry, rz);
        hkl_frame_indices(frame, ry, rz, v);
        return image.data[static_cast<size_t>(y) * image.nx + x];
    }

    void format(int32_t first, int32_t end, std::vector<char>& text) const {
        text.resize(static_cast<size_t>(end - first) * image.nx * 48 + map_line_capacity);
        size_t used = 0;
        for (int32_t y = first; y < end; ++y)
            for (int32_t x = 0; x < image.nx; ++x) {
                if (text.size() - used < map_line_capacity) text.resize(2 * text.size());
                double ry, rz, v[3];
                const int32_t value = indices(x, y, ry, rz, v);
                used += map_line(text.data() + used, v[0], v[1], v[2], value);
            }
        text.resize(used);
    }

    void print_samples(int32_t first, int32_t end) const {
        for (int32_t y = first; y < end; ++y)
            for (int32_t x = 0; x < image.nx; ++x) {
                if (!is_sample(x, image.nx) || !is_sample(y, image.ny)) continue;
                double ry, rz, v[3];
                const int32_t value = indices(x, y, ry, rz, v);
                prg_printf(" %4d*%4d R(%7.2f,%7.2f,%7.2f)  %8.4lf %8.4lf %8.4lf %10ld\n", x, y,
                           goniometer[G_RX], ry, rz, v[0], v[1], v[2], static_cast<long>(value));
            }
    }
};

// The text of a wave of blocks, from block `first` on.
struct MapWave {
    int32_t first = 0, count = 0;
    int32_t written = 0; // blocks written out whole
    int error = 0;       // errno of a failed write (errno belongs to the thread that wrote)
    std::vector<std::vector<char>> text;
};

// Writes the map's lines in order, a wave of blocks formatted on the job's
// threads while one of them writes the wave before; the sample pixels of each
// wave are printed once it is written.
void write_map(const MapRows& rows, int32_t threads, std::FILE* fp, const std::string& name) {
    const int32_t ny = rows.image.ny;
    const int32_t blocks = (ny + kMapBlockRows - 1) / kMapBlockRows;
    const int32_t team = std::max(1, std::min(threads, blocks));
    const int32_t per_wave = blocks_per_wave(team);
    MapWave waves[2];
    for (MapWave& w : waves)
        w.text.resize(static_cast<size_t>(per_wave));
    auto write = [&](MapWave& w) {
        for (w.written = 0; w.written < w.count; ++w.written) {
            const std::vector<char>& block = w.text[static_cast<size_t>(w.written)];
            if (std::fwrite(block.data(), 1, block.size(), fp) != block.size()) {
                w.error = errno;
                return;
            }
        }
    };
    auto end_of = [&](int32_t block) { return std::min(ny, (block + 1) * kMapBlockRows); };
    auto finish = [&](const MapWave& w) {
        for (int32_t b = w.first; b < w.first + w.written; ++b)
            rows.print_samples(b * kMapBlockRows, end_of(b));
        if (w.written == w.count) return;
        errno = w.error;
        v_error("zd_map", "unable to write map file '%s'", name.c_str());
    };
    for (int32_t first = 0, turn = 0; first < blocks; first += per_wave, turn ^= 1) {
        MapWave& next = waves[turn];
        MapWave& previous = waves[turn ^ 1];
        next.first = first;
        next.count = std::min(per_wave, blocks - first);
        // Piece 0 writes the previous wave (none at first), the others format.
        const int64_t failed = xy_run_pieces(team, next.count + 1, [&](int64_t p) {
            if (p == 0) return write(previous);
            const int32_t b = first + static_cast<int32_t>(p) - 1;
            rows.format(b * kMapBlockRows, end_of(b), next.text[static_cast<size_t>(p) - 1]);
        });
        if (failed >= 0)
            v_fatal("zd_map", "formatting map rows from %lld failed",
                    static_cast<long long>((first + failed - 1) * kMapBlockRows));
        finish(previous);
    }
    if (blocks == 0) return;
    MapWave& last = waves[((blocks - 1) / per_wave) % 2];
    write(last);
    finish(last);
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

void hkl_map(GeometryState& geo, const std::string& /*arg*/, const std::string& out_dir, IMG& image,
             int32_t threads) {
    if (image.data.empty()) v_error("zd_map", "no data to write");
    const DetectorMap det = hkl_detector_map(image);
    const std::string name = hkl_result_name(image, out_dir, ".map");
    hkl_prepare_geometry(geo, "zd_map");
    HklFrame frame;
    if (!hkl_frame_prepare(geo, frame)) v_fatal("zd_map", "no (h, k, l) can be computed");

    AtomicOutFile file(name);
    if (!file.is_open()) v_error("zd_map", "unable to create map file '%s'", name.c_str());
    prg_printf(" printing ascii map in %s\n", name.c_str());

    const int32_t nx = image.nx, ny = image.ny;
    write_map(MapRows{det, frame, image, geo.goniometer}, threads, file.get(), name);
    // The state ends as the last pixel left it.
    double* const r = geo.goniometer;
    if (nx > 0 && ny > 0) det.point(nx - 1, ny - 1, r[G_RY], r[G_RZ]);
    if (!file.commit()) v_error("zd_map", "unable to write map file '%s'", name.c_str());
    get_hkl(geo);
}
