// Reads the best-fit block of a statistics-mode report (degree 1) for tests.
#pragma once

#include <cstdio>
#include <string>

namespace zt {

struct StatLinearFit {
    int obs = 0;           // observations of the best fit, 0 when there is none
    double c0 = 0, e0 = 0; // constant term and its error
    double c1 = 0, e1 = 0; // linear term and its error
    std::string label;     // "adu^1" or "(adu-d)^1"
};

// The block's first line after " Best fit": "# N obs : S^2=c0(e0) +c1(e1) adu^1".
inline StatLinearFit best_linear_fit(const std::string& out) {
    StatLinearFit f;
    const size_t at = out.find(" Best fit");
    if (at == std::string::npos) return f;
    const size_t line = out.find("\n# ", at);
    if (line == std::string::npos) return f;
    char label[16] = {0};
    std::sscanf(out.c_str() + line + 1, "# %d obs : S^2=%lf(%lf) %lf(%lf) %15s", &f.obs, &f.c0, &f.e0, &f.c1,
                &f.e1, label);
    f.label = label;
    return f;
}

} // namespace zt
