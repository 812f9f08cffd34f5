// Placeholder until this module is written: every entry point stops the run
// with a clear message instead of doing something wrong silently.
#include "xy_lib.hpp"

#define PENDING(what) v_error("../xy32lib/xy_lib", "%s not available yet", what)

int32_t xy_rep_name(const std::string&, IMG&, SeriesName&) { PENDING("xy_rep_name"); }
std::string xy_cur_name(const std::string&, const std::string&, const std::string&, int32_t, int64_t) { PENDING("xy_cur_name"); }
std::unique_ptr<HDR> xy_open(const std::string&, const std::string&, const std::string&, int32_t, int32_t) { PENDING("xy_open"); }
int32_t xy_getrawc(IMG&, uint8_t*, int32_t, std::FILE*) { PENDING("xy_getrawc"); }
int32_t xy_getrawu(IMG&, uint16_t*, int32_t, std::FILE*) { PENDING("xy_getrawu"); }
int32_t xy_getrawl(IMG&, int32_t*, int32_t, std::FILE*) { PENDING("xy_getrawl"); }
int32_t xy_getrawf(IMG&, float*, int32_t, std::FILE*) { PENDING("xy_getrawf"); }
void xy_setswapon() {}
void xy_setswapoff() {}
bool xy_swap_on() { return true; }
const char* xy_swap_text() { return "swapping not yet defined"; }
void xy_set_swap_text(const char*) {}
int xy_fread16(void*, int64_t, std::FILE*) { PENDING("xy_fread16"); }
int xy_fread32(void*, int64_t, std::FILE*) { PENDING("xy_fread32"); }
void xy_eswap16(void*) {}
void xy_eswap32(void*) {}
void xy_nswap16(void*) {}
void xy_nswap32(void*) {}
