#include "grid_reference.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zt {

namespace {

void exponents(size_t k, int& i, int& j) {
    int d = 0;
    while (static_cast<size_t>((d + 1) * (d + 2) / 2) <= k)
        ++d;
    j = static_cast<int>(k) - d * (d + 1) / 2;
    i = d - j;
}

double monomial(double X, double Y, int i, int j) {
    return std::pow(X, i) * std::pow(Y, j);
}

struct PointModel {
    double xc = 0, yc = 0; // corrected position, image pixels
    double ax = 0, ay = 0; // dPx/dX, dPy/dY
    double surface = 0;    // Jacobian determinant
};

PointModel evaluate(const GridModelRef& m, double X, double Y) {
    double px = 0, py = 0, pxx = 0, pxy = 0, pyx = 0, pyy = 0;
    for (size_t k = 0; k < m.xcor.size(); ++k) {
        int i = 0, j = 0;
        exponents(k, i, j);
        px += m.xcor[k] * monomial(X, Y, i, j);
        py += m.ycor[k] * monomial(X, Y, i, j);
    }
    for (size_t k = 0; k < m.xcor.size(); ++k) {
        int i = 0, j = 0;
        exponents(k, i, j);
        if (i > 0) {
            pxx += i * m.xcor[k] * monomial(X, Y, i - 1, j);
            pyx += i * m.ycor[k] * monomial(X, Y, i - 1, j);
        }
        if (j > 0) {
            pxy += j * m.xcor[k] * monomial(X, Y, i, j - 1);
            pyy += j * m.ycor[k] * monomial(X, Y, i, j - 1);
        }
    }
    PointModel p;
    p.xc = m.xbind > 0 ? (px - m.xmin) / m.xbind : (px + m.xmin) / m.xbind;
    p.yc = m.ybind > 0 ? (py - m.ymin) / m.ybind : (py + m.ymin) / m.ybind;
    p.ax = pxx;
    p.ay = pyy;
    p.surface = pxx * pyy - pyx * pxy;
    return p;
}

// Length of [lo, hi] inside [c, c + 1]; negative when they do not meet.
double overlap(double lo, double hi, int c) {
    if (lo < c) {
        if (hi < c) return -1;
        return hi > c + 1 ? 1 : hi - c;
    }
    if (lo > c + 1) return -1;
    return std::min(hi, c + 1.0) - lo;
}

int32_t rnd(double q) {
    return static_cast<int32_t>(q + 0.5);
}

} // namespace

GridResult grid_reference_resample(const GridModelRef& m, int32_t nx, int32_t ny,
                                   const std::vector<int32_t>& values, const std::vector<uint16_t>& frame) {
    const size_t size = static_cast<size_t>(nx) * static_cast<size_t>(ny);
    std::vector<float> s(size);
    std::vector<double> c(size);
    for (int32_t y = 0; y < ny; ++y) {
        const double Y = m.ybind > 0 ? m.ymin + m.ybind * static_cast<double>(y) - m.ycor[0]
                                     : m.ybind * static_cast<double>(y) - m.ymin + m.ycor[0];
        for (int32_t x = 0; x < nx; ++x) {
            const double X = m.xbind > 0 ? m.xmin + m.xbind * static_cast<double>(x) - m.xcor[0]
                                         : m.xbind * static_cast<double>(x) - m.xmin + m.xcor[0];
            const size_t src = static_cast<size_t>(y) * nx + x;
            if (!frame.empty() && frame[src] == 0) continue;
            const PointModel p = evaluate(m, X, Y);
            if (!(p.ax > 0) || !(p.ay > 0) || !(p.surface > 0)) continue; // folded models are left out
            const double x_lo = p.xc - p.ax / 2, x_hi = p.xc + p.ax / 2;
            const double y_lo = p.yc - p.ay / 2, y_hi = p.yc + p.ay / 2;
            for (int i = static_cast<int>(x_lo); i <= static_cast<int>(x_hi); ++i) {
                const double wx = overlap(x_lo, x_hi, i);
                if (i < 0 || i >= nx || wx < 0) continue;
                for (int j = static_cast<int>(y_lo); j <= static_cast<int>(y_hi); ++j) {
                    const double wy = overlap(y_lo, y_hi, j);
                    if (j < 0 || j >= ny || wy < 0) continue;
                    const size_t t = static_cast<size_t>(j) * nx + i;
                    const double w = wx * wy / p.surface;
                    c[t] += values[src] * w;
                    s[t] += w * p.surface;
                }
            }
        }
    }
    const bool flat = m.mode.find("FLAT") != std::string::npos;
    const bool strict = m.mode.find("STRICT") != std::string::npos;
    GridResult r;
    r.values.resize(size);
    r.frame.resize(size);
    for (size_t t = 0; t < size; ++t) {
        bool used = false;
        int32_t v = 0;
        if (flat && strict) {
            used = s[t] != 0;
            if (used) v = rnd(c[t] / s[t]);
        } else if (flat) {
            used = s[t] >= 0.5;
            if (used) v = rnd(c[t] / s[t]);
        } else if (strict) {
            used = s[t] != 0;
            if (used) v = rnd(c[t]);
        } else {
            used = s[t] >= 0.5;
            if (s[t] >= 1) {
                v = rnd(c[t]);
            } else if (s[t] > 0.5) {
                v = rnd(c[t] / s[t]);
                ++r.border;
            }
        }
        r.values[t] = v;
        r.frame[t] = used ? 1 : 0;
    }
    return r;
}

std::string grid_settings(const GridModelRef& m) {
    auto list = [](const char* key, const std::vector<double>& c) {
        std::string line = key;
        line += " =";
        char buf[40];
        for (double v : c) {
            std::snprintf(buf, sizeof buf, " %.17g", v);
            line += buf;
        }
        return line + "\n";
    };
    std::string text = "GRID_DCOR = " + std::to_string(m.xcor.size()) + "\n";
    text += list("GRID_XCOR", m.xcor);
    text += list("GRID_YCOR", m.ycor);
    text += "GRID_XMIN = " + std::to_string(m.xmin) + "\nGRID_YMIN = " + std::to_string(m.ymin) + "\n";
    text += "GRID_XBIND = " + std::to_string(m.xbind) + "\nGRID_YBIND = " + std::to_string(m.ybind) + "\n";
    if (!m.mode.empty()) text += "GRID_MODE = " + m.mode + "\n";
    return text;
}

} // namespace zt
