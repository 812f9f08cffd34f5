// Placeholder until this module is written: it names itself in a clear
// fatal error rather than misreading a file.
#include "kvf_lib.hpp"

#define PENDING() v_error("../xy32lib/kvf_lib", "native kvf format not available yet")

std::unique_ptr<HDR> kvf_open(const std::string&, const std::string&, bool) { PENDING(); }
std::unique_ptr<HDR> kvf_gethdr(std::FILE*) { PENDING(); }
void kvf_hdrfill(std::FILE*, HDR&) { PENDING(); }
void kvf_write(IMG&, int32_t) { PENDING(); }
