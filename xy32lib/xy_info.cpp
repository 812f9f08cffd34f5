// Placeholder until this module is written: every entry point stops the run
// with a clear message instead of doing something wrong silently.
#include "xy_lib.hpp"

#define PENDING(what) v_error("../xy32lib/xy_lib", "%s not available yet", what)

int32_t xy_kvfstr(HDR&, const std::string&, const std::string&) { PENDING("xy_kvfstr"); }
void xy_puthdr(const HDR&, int32_t) {}
void xy_fputhdr(std::FILE*, const HDR&, int32_t) {}
const char* xy_type_name(int32_t) { return "UNKNOWN"; }
void xy_info(IMG&, int32_t) {}
void xy_fputinfo(std::FILE*, const IMG&) {}
void xy_freehdr(std::unique_ptr<HDR>& hdr) { hdr.reset(); }
void xy_freeimg(IMG&, int32_t) {}
