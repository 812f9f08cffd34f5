// Placeholder until this module is written: it names itself in a clear
// fatal error rather than misreading a file.
#include "gel_lib.hpp"

#define PENDING() v_error("../xy32lib/gel_lib", "GEL/TIFF format not available yet")

std::unique_ptr<HDR> gel_open(const std::string&, const std::string&, bool) { PENDING(); }
void gel_write(IMG&, const std::string&, int32_t) { PENDING(); }
