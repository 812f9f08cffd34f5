// Placeholder until this module is written: it names itself in a clear
// fatal error rather than misreading a file.
#include "xy_grid.hpp"

#define PENDING() v_error("../xy32lib/xy_grid", "grid correction format not available yet")

struct GridCor {};
GridCor grid_cor;
int grid_ini(GridCor&, const IniTag&) { return 0; }
void grid_usage() {}
void grid_cor_img(GridCor&, IMG&) { PENDING(); }
