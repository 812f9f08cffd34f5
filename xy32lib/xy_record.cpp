// Placeholder until this module is written: every entry point stops the run
// with a clear message instead of doing something wrong silently.
#include "xy_lib.hpp"

#define PENDING(what) v_error("../xy32lib/xy_lib", "%s not available yet", what)

void xy_chktype() {}
void xy_iniuse() {}
int xy_inipar(IMG&, const IniTag&) { return 0; }
void xy_setsize(IMG&) { PENDING("xy_setsize"); }
void xy_prtsize(const IMG&) {}
void xy_cpsize(IMG&, const IMG&) {}
void xy_imgini(IMG&, const IMG&) {}
std::vector<int32_t> xy32_bind(const IMG&, const int32_t*) { PENDING("xy32_bind"); }
std::vector<int32_t> xy32f_bind(const IMG&, const float*) { PENDING("xy32f_bind"); }
int satbind16(const IMG&, const uint16_t*, int32_t, double&) { PENDING("satbind16"); }
int32_t xy_valcor(const IMG&, int64_t) { PENDING("xy_valcor"); }
void xy_orien(IMG&) { PENDING("xy_orien"); }
void xy_orien_pixel(const IMG&, double&, double&) { PENDING("xy_orien_pixel"); }
