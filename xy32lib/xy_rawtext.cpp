// Placeholder until this module is written: every entry point stops the run
// with a clear message instead of doing something wrong silently.
#include "xy_lib.hpp"

int32_t xy_getrawa(IMG&, int32_t*, int32_t, std::FILE*) {
    v_error("../xy32lib/xy_lib", "%s not available yet", "xy_getrawa");
}
