// Placeholder until this module is written: it names itself in a clear
// fatal error rather than misreading a file.
#include "wv_lib.hpp"

#define PENDING() v_error("../xy32lib/wv_lib", "WinView SPE format not available yet")

std::unique_ptr<HDR> wv_open(const std::string&, const std::string&) { PENDING(); }
