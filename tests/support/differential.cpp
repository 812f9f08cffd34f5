#include "differential.hpp"

#include "detector_writers.hpp"
#include "h5_bitshuffle.hpp"
#include "kvf_writer.hpp"
#include "xy_lib.hpp"
#include "zd_rad.hpp"

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace zt {

uint32_t ByteSource::next() {
    uint32_t v = 0;
    for (int b = 0; b < 4; ++b)
        v = v << 8 | (at_ < size_ ? data_[at_++] : 0u);
    return v;
}

namespace {

using Frames = std::vector<std::vector<double>>;
constexpr double kPi = 3.14159265358979323846;

// ---------------------------------------------------------------- cases

// A series of frames summed over a region, with or without the cosmic arrays.
struct SeriesCase {
    int32_t w = 1, h = 1, n = 1;
    int32_t type = XY_TYPE_UINT16;
    bool cosmic = false;
    int32_t x_min = 0, x_max = 0, y_min = 0, y_max = 0;
    int32_t beg_frame = 0, end_frame = 0;
    float mult = 0.0f;
    Frames frames;

    int32_t first() const { return beg_frame < 1 ? 1 : beg_frame; }
    int32_t last() const { return end_frame == 0 || end_frame > n ? n : end_frame; }
    int32_t reg_width() const { return (x_max == 0 ? w : x_max) - x_min; }
    int32_t reg_height() const { return (y_max == 0 ? h : y_max) - y_min; }
    std::string text() const {
        return prg_format("%d x %d, %d frames %d..%d, type %d, region x %d..%d y %d..%d, mult %g, cosmic %d",
                          w, h, n, first(), last(), type, x_min, x_max, y_min, y_max,
                          static_cast<double>(mult), cosmic);
    }
};

double random_value(CaseSource& src, int32_t type) {
    switch (type) {
    case XY_TYPE_UINT16:
        if (src.one_in(25)) return 65535; // saturated
        return src.one_in(2) ? src.in(0, 300) : src.in(0, 65534);
    case XY_TYPE_INT32:
        if (src.one_in(3)) return static_cast<int32_t>(src.next()); // sums wrap
        return src.in(-5000, 5000);
    default:
        return src.in(-1000000, 1000000) / 4.0 + src.in(0, 99) / 100.0;
    }
}

SeriesCase series_case(CaseSource& src, bool one_frame_files) {
    SeriesCase c;
    c.w = src.one_in(4) ? 1 : src.in(1, 70);
    c.h = src.one_in(4) ? 1 : src.in(1, 70);
    c.n = src.in(1, 40);
    const int32_t types[] = {XY_TYPE_UINT16, XY_TYPE_INT32, XY_TYPE_FLOAT};
    c.type = types[src.in(0, one_frame_files ? 1 : 2)];
    c.cosmic = src.one_in(2);
    if (src.one_in(2)) {
        c.x_min = src.in(0, c.w - 1);
        c.x_max = src.one_in(3) ? 0 : src.in(c.x_min + 1, c.w);
        c.y_min = src.in(0, c.h - 1);
        c.y_max = src.one_in(3) ? 0 : src.in(c.y_min + 1, c.h);
    }
    if (!one_frame_files && src.one_in(3)) {
        c.beg_frame = src.in(0, c.n);
        c.end_frame = src.one_in(2) ? 0 : src.in(c.first(), c.n + 2);
    }
    const float mults[] = {0.0f, 0.5f, 2.5f};
    c.mult = mults[src.in(0, 2)];
    c.frames.assign(static_cast<size_t>(c.n), std::vector<double>(static_cast<size_t>(c.w) * c.h));
    for (auto& frame : c.frames)
        for (auto& v : frame)
            v = random_value(src, c.type);
    return c;
}

// ---------------------------------------------------------------- the plain sum

// The planes of a sum made frame after frame, pixel after pixel.
struct PlainSum {
    std::vector<int32_t> data, mval;
    std::vector<uint16_t> frame, mframe;
    std::vector<double> sumq;
    int64_t saturated = 0;
    int32_t frames = 0;
};

int32_t plain_value(const SeriesCase& c, double raw, bool& saturated) {
    saturated = c.type == XY_TYPE_UINT16 && raw == 65535;
    if (saturated) return 0;
    if (c.type != XY_TYPE_FLOAT) return static_cast<int32_t>(raw);
    const double mult = c.mult <= 0.001f ? 1.0 : static_cast<double>(c.mult);
    return static_cast<int32_t>(std::floor((static_cast<double>(static_cast<float>(raw)) + 0.5) * mult));
}

// Adds frame k (from 1) of the case; `u` counts the frames of its file.
void plain_add(PlainSum& s, const SeriesCase& c, int32_t k, int32_t u) {
    const size_t size = static_cast<size_t>(c.reg_width()) * c.reg_height();
    if (s.data.empty()) {
        s.data.assign(size, 0);
        s.frame.assign(size, 0);
        s.mval.assign(size, INT32_MIN);
        s.mframe.assign(size, 0);
        s.sumq.assign(size, 0.0);
    }
    const auto index = static_cast<uint16_t>(c.type == XY_TYPE_UINT16 ? u : s.frames);
    for (int32_t y = 0; y < c.reg_height(); ++y)
        for (int32_t x = 0; x < c.reg_width(); ++x) {
            const size_t i = static_cast<size_t>(y) * c.reg_width() + x;
            bool saturated = false;
            const int32_t v = plain_value(c, c.frames[k - 1][(y + c.y_min) * c.w + x + c.x_min], saturated);
            s.saturated += saturated;
            s.frame[i] = static_cast<uint16_t>(s.frame[i] + !saturated);
            s.data[i] = static_cast<int32_t>(static_cast<uint32_t>(s.data[i]) + static_cast<uint32_t>(v));
            s.sumq[i] += static_cast<double>(v) * v;
            if (v > s.mval[i]) {
                s.mval[i] = v;
                s.mframe[i] = index;
            }
        }
    ++s.frames;
}

// ---------------------------------------------------------------- the plain statistics

// The statistics line of a record, as xy_fputinfo prints it.
std::string info_text(const IMG& img) {
    std::FILE* fp = std::tmpfile();
    if (!fp) return "(no temporary file)";
    xy_fputinfo(fp, img);
    std::string text(static_cast<size_t>(std::ftell(fp)), '\0');
    std::rewind(fp);
    const size_t got = std::fread(&text[0], 1, text.size(), fp);
    std::fclose(fp);
    text.resize(got);
    return text;
}

void set_extreme(IMG& img, int64_t at, int32_t v, bool is_min) {
    const auto x = static_cast<int32_t>(img.nx > 0 ? at % img.nx : at);
    const auto y = static_cast<int32_t>(img.nx > 0 ? at / img.nx : 0);
    if (is_min) {
        img.min = v;
        img.min_x = x;
        img.min_y = y;
    } else {
        img.max = v;
        img.max_x = x;
        img.max_y = y;
    }
}

// xy_info pixel after pixel: final values over the counted pixels, raw sums
// corrected to the full frame count over every pixel.
void plain_statistics(IMG& img) {
    const bool has_frame = !img.frame.empty();
    const bool corrected = img.corrected == 1;
    int64_t used = 0, nonzero = 0;
    for (int64_t i = 0; i < img.size; ++i) {
        used += has_frame && img.frame[i] != 0;
        nonzero += img.data[i] != 0;
    }
    img.used = has_frame ? static_cast<int32_t>(used) : -1;
    img.nonzero = static_cast<int32_t>(nonzero);
    const double n = static_cast<double>(has_frame ? used : img.size);
    const auto taken = [&](int64_t i) { return !corrected || !has_frame || img.frame[i] != 0; };
    const auto value = [&](int64_t i) { return corrected ? img.data[i] : xy_valcor(img, i); };
    if (corrected || img.size == 0) {
        set_extreme(img, -1, INT32_MAX, true);
        set_extreme(img, -1, INT32_MIN, false);
    } else {
        set_extreme(img, 0, value(0), true);
        set_extreme(img, 0, value(0), false);
    }
    double sum = 0.0;
    for (int64_t i = 0; i < img.size; ++i) {
        if (!taken(i)) continue;
        const int32_t v = value(i);
        if (v < img.min) set_extreme(img, i, v, true);
        if (v > img.max) set_extreme(img, i, v, false);
        sum += v;
    }
    img.mean = sum / n;
    double squares = 0.0;
    for (int64_t i = 0; i < img.size; ++i)
        if (taken(i)) squares += (value(i) - img.mean) * (value(i) - img.mean);
    img.sigma = std::sqrt(squares / (n - 1));
}

// A record of pixels without a file.
IMG pixel_record(int32_t nx, int32_t ny, int32_t frames, int32_t corrected, const std::vector<int32_t>& data,
                 const std::vector<uint16_t>& frame) {
    IMG img;
    img.nx = nx;
    img.ny = ny;
    img.size = nx * ny;
    img.frames = frames;
    img.corrected = corrected;
    img.data = data;
    img.frame = frame;
    return img;
}

// The statistics line of the plain sum after its frames, under `name`.
std::string plain_info(const PlainSum& s, const SeriesCase& c, const std::string& name) {
    IMG img = pixel_record(c.reg_width(), c.reg_height(), s.frames, 0, s.data, s.frame);
    img.name = name;
    plain_statistics(img);
    return info_text(img);
}

// ---------------------------------------------------------------- comparing sums

template <class T>
std::string first_difference(const char* what, const std::vector<T>& got, const std::vector<T>& want) {
    if (got.size() != want.size())
        return prg_format("%s: %zu values instead of %zu", what, got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        if (std::memcmp(&got[i], &want[i], sizeof(T)) != 0)
            return prg_format("%s differs at pixel %zu: %.17g instead of %.17g", what, i,
                              static_cast<double>(got[i]), static_cast<double>(want[i]));
    return "";
}

std::string sum_difference(const IMG& img, const PlainSum& s, bool cosmic) {
    std::string d = first_difference("data", img.data, s.data);
    if (d.empty()) d = first_difference("frame", img.frame, s.frame);
    if (d.empty() && cosmic) d = first_difference("mval", img.cosmic.mval, s.mval);
    if (d.empty() && cosmic) d = first_difference("mframe", img.cosmic.mframe, s.mframe);
    if (d.empty() && cosmic) d = first_difference("sumq", img.cosmic.sumq, s.sumq);
    if (d.empty() && !cosmic && !img.cosmic.mval.empty()) d = "cosmic arrays without the cosmic test";
    if (d.empty() && img.frames != s.frames) d = prg_format("%d frames instead of %d", img.frames, s.frames);
    return d;
}

std::string text_difference(const char* what, const std::string& got, const std::string& want) {
    return got == want ? "" : prg_format("%s: '%s' instead of '%s'", what, got.c_str(), want.c_str());
}

IMG record_of(const SeriesCase& c, const std::string& path) {
    IMG img;
    img.x_min = c.x_min;
    img.x_max = c.x_max;
    img.y_min = c.y_min;
    img.y_max = c.y_max;
    img.beg_frame = c.beg_frame;
    img.end_frame = c.end_frame;
    img.mult = c.mult;
    img.hdr = xy_open(path, "zandor", "", 0, true);
    return img;
}

// The file's frames summed by the engine into `img` (a new sum for the first).
void engine_sum(IMG& img, const SeriesCase& c, bool first) {
    xy_getsum_info(img, nullptr, 0, first, c.cosmic);
    img.name = img.hdr->file_name;
}

PlainSum plain_series(const SeriesCase& c) {
    PlainSum s;
    for (int32_t k = c.first(); k <= c.last(); ++k)
        plain_add(s, c, k, k - c.first());
    return s;
}

// The whole series in one file: grouped frames read band by band.
std::string check_one_file(const SeriesCase& c, const std::string& path) {
    IMG img = record_of(c, path);
    engine_sum(img, c, true);
    const PlainSum s = plain_series(c);
    std::string d = sum_difference(img, s, c.cosmic);
    if (d.empty()) d = text_difference("statistics", info_text(img), plain_info(s, c, img.name));
    if (d.empty() && c.type == XY_TYPE_UINT16 && img.n_saturated != s.saturated)
        d = prg_format("%d saturated instead of %lld", img.n_saturated, static_cast<long long>(s.saturated));
    return d;
}

// A file name in `dir` whose previous file is gone: a file rewritten in place
// would be flushed to disk when closed, a new one is not.
std::string fresh(const std::string& path) {
    std::remove(path.c_str());
    return path;
}

std::string frame_file(const std::string& dir, int32_t k, const char* ext) {
    return prg_format("%s/f%05d%s", dir.c_str(), k, ext);
}

// One-frame files: the first alone, then all the others as one group, each
// with the statistics of the sum after it.
std::string check_file_group(const SeriesCase& c, const std::string& dir) {
    for (int32_t k = 0; k < c.n; ++k)
        write_kvf(fresh(frame_file(dir, k, ".kvf")), c.w, c.h, c.type, k % 2 == 1,
                  {c.frames[static_cast<size_t>(k)]});
    IMG img = record_of(c, frame_file(dir, 0, ".kvf"));
    engine_sum(img, c, true);
    PlainSum s;
    plain_add(s, c, 1, 0);
    std::vector<std::unique_ptr<HDR>> files;
    std::vector<std::string> want;
    for (int32_t k = 1; k < c.n; ++k) {
        files.push_back(xy_open(frame_file(dir, k, ".kvf"), "zandor", "", 0, true));
        if (!xy_getsum_files_take(img, *files.back(), c.type, k - 1))
            return prg_format("file %d is refused by the group", k);
        plain_add(s, c, k + 1, 0);
        want.push_back(plain_info(s, c, files.back()->file_name));
    }
    const std::vector<XyFileSum> sums = xy_getsum_files(img, files);
    std::string d = sum_difference(img, s, c.cosmic);
    for (size_t j = 0; d.empty() && j < sums.size(); ++j) {
        IMG shown;
        shown.name = files[j]->file_name;
        shown.frames = static_cast<int32_t>(j + 2);
        xy_set_statistics(shown, sums[j].statistics);
        d = text_difference("statistics after a file of the group", info_text(shown), want[j]);
    }
    return d;
}

// The series as an HDF5 stack, compressed or not, in chunks of whole rows.
std::string check_hdf5(const SeriesCase& c, CaseSource& src, const std::string& dir) {
    H5Dataset d;
    d.dims = {static_cast<uint64_t>(c.n), static_cast<uint64_t>(c.h), static_cast<uint64_t>(c.w)};
    d.pixel = c.type == XY_TYPE_UINT16 ? H5Pixel::U16 : c.type == XY_TYPE_INT32 ? H5Pixel::I32 : H5Pixel::F32;
    const H5Filter filters[] = {H5Filter::None, H5Filter::Gzip, H5Filter::BitshuffleLz4};
    d.filter = filters[src.in(0, 2)];
    if (d.filter != H5Filter::None)
        d.chunk = {1, static_cast<uint64_t>(src.in(1, c.h)), static_cast<uint64_t>(c.w)};
    if (d.filter == H5Filter::BitshuffleLz4 && src.one_in(2)) d.bitshuffle_block = 8u * src.in(1, 64);
    for (const auto& frame : c.frames)
        d.values.insert(d.values.end(), frame.begin(), frame.end());
    const std::string path = fresh(dir + "/stack.h5");
    {
        H5File file(path);
        file.dataset(d);
    }
    const std::string diff = check_one_file(c, path);
    return diff.empty() ? "" : "HDF5 " + diff;
}

// The series as one-frame CBF files of 32-bit pixels, summed file after file.
std::string check_cbf(const SeriesCase& c, const std::string& dir) {
    PlainSum s;
    IMG img;
    for (int32_t k = 0; k < c.n; ++k) {
        const std::vector<double>& f = c.frames[static_cast<size_t>(k)];
        const std::string path = fresh(frame_file(dir, k, ".cbf"));
        write_cbf(path, static_cast<uint32_t>(c.w), static_cast<uint32_t>(c.h),
                  std::vector<int32_t>(f.begin(), f.end()));
        if (k == 0)
            img = record_of(c, path);
        else
            img.hdr = xy_open(path, "zandor", "", 0, true);
        engine_sum(img, c, k == 0);
        plain_add(s, c, k + 1, 0);
    }
    const std::string d = sum_difference(img, s, c.cosmic);
    return d.empty() ? "" : "CBF " + d;
}

// ---------------------------------------------------------------- statistics of a record

// xy_info's blocked scan on a record of random values, frame counts and
// magnitudes on both sides of the scan's exact-arithmetic limits.
std::string check_info(CaseSource& src) {
    IMG img;
    img.nx = src.in(1, 70);
    img.ny = src.in(1, 70);
    img.size = img.nx * img.ny;
    img.frames = src.in(1, 9);
    img.corrected = src.in(0, 1);
    const int32_t limits[] = {300, (1 << 22) - 1, 1 << 22, (1 << 26) - 1, 1 << 26, INT32_MAX};
    const int32_t limit = limits[src.in(0, 5)];
    const bool counted = !src.one_in(4);
    for (int32_t i = 0; i < img.size; ++i) {
        const int32_t v = src.in(-limit / 2, limit / 2) * 2 + src.in(0, 1);
        img.data.push_back(src.one_in(5) ? 0 : v);
        if (counted) img.frame.push_back(static_cast<uint16_t>(src.one_in(6) ? 0 : src.in(1, img.frames)));
    }
    IMG plain = pixel_record(img.nx, img.ny, img.frames, img.corrected, img.data, img.frame);
    xy_info(img, INFO_ALL);
    plain_statistics(plain);
    const std::string d = text_difference("xy_info", info_text(img), info_text(plain));
    return d.empty() ? ""
                     : d + prg_format(" (%d x %d, values within %d, corrected %d, counted %d)", img.nx,
                                      img.ny, limit, img.corrected, counted);
}

// ---------------------------------------------------------------- sectors and bits

std::string check_sectors(CaseSource& src) {
    const int32_t n = src.in(1, 72);
    const float a = src.one_in(3) ? static_cast<float>(src.in(-720, 720))
                                  : static_cast<float>(src.in(-72000, 72000)) / 100.0f;
    const SectorFinder finder(n, a);
    int32_t hint = 0;
    for (int p = 0; p < 256; ++p) {
        float dx, dy;
        if (src.one_in(4)) { // on a sector boundary, at a pixel-like distance
            const double angle = (a + 360.0 * src.in(0, n - 1) / n) * kPi / 180.0;
            const double r = src.in(1, 3000) / 2.0;
            dx = static_cast<float>(r * std::cos(angle));
            dy = static_cast<float>(r * std::sin(angle));
        } else {
            dx = static_cast<float>(src.in(-1400, 1400)) / 2.0f;
            dy = static_cast<float>(src.in(-1400, 1400)) / 2.0f;
        }
        const float r = std::sqrt(dx * dx + dy * dy);
        const int32_t want = radial_sector(dx, dy, n, a);
        const int32_t got = finder.find(dx, dy, r, hint);
        if (got != want)
            return prg_format("sector of (%.9g, %.9g) with %d sectors from %.9g: %d instead of %d",
                              static_cast<double>(dx), static_cast<double>(dy), n, static_cast<double>(a),
                              got, want);
    }
    return "";
}

std::string check_unshuffle(CaseSource& src) {
    const size_t sizes[] = {1, 2, 4, 8};
    const size_t elem_size = sizes[src.in(0, 3)];
    const size_t elements = 8u * static_cast<size_t>(src.in(1, 300));
    std::vector<uint8_t> in(elements * elem_size);
    for (auto& b : in)
        b = static_cast<uint8_t>(src.next());
    std::vector<uint8_t> fast(in.size()), plain(in.size());
    bit_unshuffle(in.data(), fast.data(), elements, elem_size);
    bit_unshuffle_scalar(in.data(), plain.data(), elements, elem_size);
    return fast == plain ? "" : prg_format("bit unshuffle of %zu values of %zu bytes", elements, elem_size);
}

std::string with_case(const std::string& difference, const SeriesCase& c) {
    return difference.empty() ? "" : difference + " (" + c.text() + ")";
}

} // namespace

std::string differential_case(CaseSource& src, const std::string& dir) {
    try {
        std::string d = check_sectors(src);
        if (d.empty()) d = check_unshuffle(src);
        if (d.empty()) d = check_info(src);
        if (!d.empty()) return d;
        const SeriesCase many = series_case(src, false);
        write_kvf(fresh(dir + "/series.kvf"), many.w, many.h, many.type, src.one_in(2), many.frames);
        d = with_case(check_one_file(many, dir + "/series.kvf"), many);
        if (d.empty()) d = with_case(check_hdf5(many, src, dir), many);
        if (!d.empty()) return d;
        const SeriesCase files = series_case(src, true);
        d = with_case(check_file_group(files, dir), files);
        if (d.empty() && files.type == XY_TYPE_INT32 && src.one_in(4))
            d = with_case(check_cbf(files, dir), files);
        return d;
    } catch (const Fatal& f) {
        return std::string("fatal error: ") + f.what();
    }
}

} // namespace zt
