#include "zd_run.hpp"

thread_local RunSettings run;

std::string correction_suffix(bool grid) {
    std::string suffix;
    if (!run.d_name.empty()) suffix += "d";
    if (!run.f_name.empty()) suffix += "f";
    if (grid) suffix += "g";
    return suffix;
}
