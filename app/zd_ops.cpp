#include "zd_ops.hpp"

#include "zandor.hpp"
#include "zd_settings.hpp"

namespace {
[[noreturn]] void pending(const char* what) { v_error("zandor", "%s not available yet", what); }
} // namespace

void add_image(const std::string&, IMG&) { pending("%A"); }
void mul_image(const std::string&, IMG&) { pending("%M"); }
void cut_image(const std::string&, IMG&) { pending("%C"); }
void sca_image(const std::string&, IMG&) { pending("%S"); }
void grid_image(const std::string&, IMG&) { pending("%G"); }
void put_image(const std::string&, const std::string&, IMG&) { pending("image output"); }
double spec2xl(const std::string&, const IMG&) { pending("SPEC normalisation"); }
