#include "zd_pks.hpp"

#include "7c_cry.hpp"
#include "zd_hkl.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

const char* skip_blanks_and_equals(const char* p) {
    while (*p == ' ' || *p == '\t' || *p == '=')
        ++p;
    return p;
}

// strtol/strtof in the manner of "%d" and "%f"; false when no number starts at p.
bool read_int(const char*& p, int32_t& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(p, &end, 10);
    if (end == p) return false;
    out = static_cast<int32_t>(std::clamp<long>(v, INT32_MIN, INT32_MAX));
    p = end;
    return true;
}

bool read_float(const char*& p, float& out) {
    char* end = nullptr;
    const float v = std::strtof(p, &end);
    if (end == p) return false;
    out = v;
    p = end;
    return true;
}

// The text of a failed indexing or angle computation.
const char* status_text(int status) {
    switch (status) {
    case HKL_Q_RANGE:
        return " ERROR: invalid q_range\n";
    case HKL_DETECTOR_RANGE:
        return " ERROR: invalid due to detector range\n";
    default:
        return " ERROR: invalid due to mode range\n";
    }
}

// Lines that go to standard output (and the log) and to the .pks file alike.
class PeakOutput {
  public:
    explicit PeakOutput(std::FILE* file) : file_(file) {}
    void both(const char* format, ...) PRG_PRINTF_LIKE(2, 3) {
        va_list args;
        va_start(args, format);
        const std::string text = prg_vformat(format, args);
        va_end(args);
        prg_printf("%s", text.c_str());
        std::fputs(text.c_str(), file_);
    }
    std::FILE* file() const { return file_; }

  private:
    std::FILE* file_;
};

// Puts every taken pixel back, also when the run stops on a fatal error.
class TakenPixels {
  public:
    explicit TakenPixels(IMG& image) : image_(image) {}
    ~TakenPixels() {
        for (const PeakPixel& p : pixels_)
            image_.data[static_cast<size_t>(p.y) * image_.nx + p.x] = p.value;
    }
    TakenPixels(const TakenPixels&) = delete;
    TakenPixels& operator=(const TakenPixels&) = delete;
    void keep(const PeakRecord& rec) {
        pixels_.insert(pixels_.end(), rec.in.begin(), rec.in.end());
        pixels_.insert(pixels_.end(), rec.out.begin(), rec.out.end());
    }

  private:
    IMG& image_;
    std::vector<PeakPixel> pixels_;
};

// The largest value and its first position in memory order.
std::pair<int32_t, size_t> image_maximum(const std::vector<int32_t>& data) {
    int32_t top = data[0];
    for (int32_t v : data)
        top = std::max(top, v);
    return {top, static_cast<size_t>(std::find(data.begin(), data.end(), top) - data.begin())};
}

double distance_to_integer(double x) {
    const double a = std::fabs(x);
    const double f = a - std::floor(a);
    return f > 0.5 ? 1.0 - f : f;
}

void set_detector_point(GeometryState& geo, const DetectorMap& det, const PeakMeasure& pm) {
    det.point(pm.cx, pm.cy, geo.goniometer[G_RY], geo.goniometer[G_RZ]);
}

// Omega from omega0 - o to omega0 + o in 41 steps: a minimum of the distance of
// (h, k, l) to integers is reported once the distance falls again after it, and
// the last one when the scan ends. Omega is restored.
void omega_scan(GeometryState& geo, const DetectorMap& det, const PeakMeasure& pm, float o, PeakOutput& out) {
    double* const g = geo.goniometer;
    const double omega0 = g[G_OMEGA];
    double best = 1.5, prev = 0.0;
    double at[4] = {0, 0, 0, 0}; // omega, h, k, l of the remembered minimum
    bool unreported = false;
    auto report = [&] {
        out.both("#HKL%23s %8.4lf    %6.3lf %6.3lf %6.3lf\n", " ", at[0], at[1], at[2], at[3]);
    };
    for (int j = -20; j <= 20; ++j) {
        g[G_OMEGA] = omega0 + static_cast<double>(static_cast<float>(j) * o / 20.0f);
        set_detector_point(geo, det, pm);
        get_hkl(geo);
        const Reflection& r = geo.hkl;
        const double d = distance_to_integer(r.h) + distance_to_integer(r.k) + distance_to_integer(r.l);
        if (d < best) {
            at[0] = g[G_OMEGA];
            at[1] = r.h;
            at[2] = r.k;
            at[3] = r.l;
            best = d;
            unreported = true;
        } else if (best < 0.5 && d > best && prev > d) {
            if (unreported) report();
            unreported = false;
            best = d;
        }
        prev = d;
    }
    if (unreported && best < 0.5) report();
    g[G_OMEGA] = omega0;
}

// Indexes an accepted peak and prints its line; returns the status of get_hkl.
int index_peak(GeometryState& geo, const DetectorMap& det, const PeakRecord& rec, const PeakMeasure& pm,
               int32_t maximum, PeakOutput& out) {
    set_detector_point(geo, det, pm);
    get_hkl(geo);
    const Reflection found = geo.hkl;
    out.both(" %6.1lf %6.1lf %8d %8.0lf  %2d %2d %6.3lf %6.3lf %6.3lf", pm.cx, pm.cy, maximum, pm.integral,
             rec.x_hi - rec.x_lo + 1, rec.y_hi - rec.y_lo + 1, found.h, found.k, found.l);
    if (found.status == HKL_INVALID) {
        prg_printf(" ERROR: invalid result\n");
        std::fputs("ERROR: invalid result\n", out.file());
    } else if (found.status != HKL_VALID) {
        out.both("%s", status_text(found.status));
    } else {
        geo.hkl_cryst[0] = found.h;
        geo.hkl_cryst[1] = found.k;
        geo.hkl_cryst[2] = found.l;
        geo.goniometer[G_RY] = geo.goniometer[G_RZ] = 0.0;
        geo.spec_mode = 3;
        get_angles(geo);
        if (geo.hkl.status == HKL_VALID)
            out.both(" %.4lf  %.4lf\n", geo.hkl.tth, geo.hkl.angles[G_CHI]);
        else
            out.both("%s", status_text(geo.hkl.status)); // no angle left from an earlier state
    }
    return found.status;
}

} // namespace

PeakParams peak_params(const std::string& arg) {
    PeakParams p;
    const char* s = skip_blanks_and_equals(arg.c_str());
    if (read_int(s, p.m) && *s == ',' && read_float(++s, p.o) && *s == ',') read_float(++s, p.v);
    if (p.m < 1) p.m = 5;
    if (!(p.o >= 0) || std::isinf(p.o)) p.o = 0.0f;
    if (!(p.v >= 1) || std::isinf(p.v)) p.v = 1.5f;
    return p;
}

void explore_peak(int32_t x0, int32_t y0, int32_t previous, int32_t* data, int32_t nx, int32_t ny,
                  PeakRecord& rec) {
    struct Step {
        int32_t x, y, dx, dy, v;
        int next; // the direction to try next: 0 right, 1 down, 2 left, 3 up, 4 done
    };
    std::vector<Step> stack;
    auto visit = [&](int32_t x, int32_t y, int32_t prev, int32_t dx, int32_t dy) {
        int32_t& pixel = data[static_cast<size_t>(y) * nx + x];
        const int32_t v = pixel;
        if (v <= 0) return;
        if (v > prev) { // a rise: a border pixel when reached after a vertical move
            if (dy != 0) {
                rec.out.push_back({x, y, v});
                rec.sum_out += v;
                pixel = 0;
            }
            return;
        }
        rec.in.push_back({x, y, v});
        rec.sum_in += v;
        rec.sx += static_cast<double>(x) * v;
        rec.sy += static_cast<double>(y) * v;
        pixel = 0;
        rec.x_lo = std::min(rec.x_lo, x);
        rec.x_hi = std::max(rec.x_hi, x);
        rec.y_lo = std::min(rec.y_lo, y);
        rec.y_hi = std::max(rec.y_hi, y);
        stack.push_back({x, y, dx, dy, v, 0});
    };
    visit(x0, y0, previous, 0, 0);
    while (!stack.empty()) {
        const Step s = stack.back();
        if (s.next == 4) {
            stack.pop_back();
            continue;
        }
        ++stack.back().next;
        if (s.next == 0 && s.x < nx - 1 && s.dx >= 0) visit(s.x + 1, s.y, s.v, s.dx + 1, s.dy);
        if (s.next == 1 && s.y < ny - 1 && s.dy >= 0) visit(s.x, s.y + 1, s.v, s.dx, s.dy + 1);
        if (s.next == 2 && s.x > 0 && s.dx <= 0) visit(s.x - 1, s.y, s.v, s.dx - 1, s.dy);
        if (s.next == 3 && s.y > 0 && s.dy <= 0) visit(s.x, s.y - 1, s.v, s.dx, s.dy - 1);
    }
}

PeakMeasure measure_peak(const PeakRecord& rec) {
    PeakMeasure pm;
    std::vector<std::pair<int32_t, int32_t>> all; // (row, column) of every pixel of the record
    all.reserve(rec.in.size() + rec.out.size());
    for (const auto* list : {&rec.in, &rec.out})
        for (const PeakPixel& p : *list)
            all.emplace_back(p.y, p.x);
    std::sort(all.begin(), all.end());
    auto has = [&](int32_t y, int32_t x) {
        return std::binary_search(all.begin(), all.end(), std::make_pair(y, x));
    };

    double sum_in = rec.sum_in, sum_out = rec.sum_out, sx = rec.sx, sy = rec.sy;
    pm.n_peak = static_cast<int32_t>(rec.in.size());
    pm.n_border = static_cast<int32_t>(rec.out.size());
    for (const PeakPixel& p : rec.out) {
        const int n = has(p.y, p.x - 1) + has(p.y, p.x + 1) + has(p.y - 1, p.x) + has(p.y + 1, p.x);
        if (n < 3) continue;
        sum_in += p.value;
        sx += static_cast<double>(p.x) * p.value;
        sy += static_cast<double>(p.y) * p.value;
        sum_out -= p.value;
        ++pm.n_peak;
        --pm.n_border;
    }
    pm.cx = sx / sum_in;
    pm.cy = sy / sum_in;
    const double bg = pm.n_border > 0 ? sum_out / pm.n_border : 0.0;
    pm.integral = sum_in;
    if (pm.integral > pm.n_peak * bg) pm.integral -= pm.n_peak * bg;
    return pm;
}

void peaks(GeometryState& geo, const std::string& arg, const std::string& out_dir, IMG& image) {
    if (image.data.empty()) v_error("zd_pks", "no data to write");
    const PeakParams par = peak_params(arg);
    const DetectorMap det = hkl_detector_map(image);
    const std::string name = hkl_result_name(image, out_dir, ".pks");
    prg_printf("# output %d peaks in %s (oscillation ampltude o_peak=%.2f, v_peak=%.2f)\n", par.m,
               name.c_str(), par.o, par.v);
    hkl_prepare_geometry(geo, "zd_pks");

    AtomicOutFile file(name);
    if (!file.is_open()) v_error("zd_pks", "unable to create peak file '%s'", name.c_str());
    prg_printf("# %s\n    px     py       max  sum-bg   wx wy    h      k      l    tth     chi\n",
               name.c_str());
    std::fprintf(file.get(),
                 "#  %s\n#   px     py       max    sum-bg  wx wy    h       k     l    tth     chi\n",
                 name.c_str());
    PeakOutput out(file.get());
    {
        TakenPixels taken(image);
        int32_t m = par.m, accepted = 0, explored = 0;
        bool ended = false;
        while (accepted < m) {
            const auto [maximum, at] = image_maximum(image.data);
            if (maximum <= 0) { // nothing left to take: no empty peaks
                prg_notice("# no positive value left: %d peaks found\n", accepted);
                m = accepted;
                break;
            }
            PeakRecord rec;
            rec.x_lo = rec.x_hi = static_cast<int32_t>(at % image.nx);
            rec.y_lo = rec.y_hi = static_cast<int32_t>(at / image.nx);
            explore_peak(rec.x_lo, rec.y_lo, maximum, image.data.data(), image.nx, image.ny, rec);
            taken.keep(rec);
            const PeakMeasure pm = measure_peak(rec);
            ++explored;
            if (!(pm.integral >= static_cast<double>(par.v * static_cast<float>(maximum)))) continue;
            ++accepted;
            const int status = index_peak(geo, det, rec, pm, maximum, out);
            if (status == HKL_INVALID) {
                ended = true;
                break;
            }
            if (par.o > 0) omega_scan(geo, det, pm, par.o, out);
        }
        if (!ended) out.both("\n %d peaks explored, %d only with  sumc >%.2f max\n", explored, m, par.v);
    }
    if (!file.commit()) v_error("zd_pks", "unable to write peak file '%s'", name.c_str());
}
