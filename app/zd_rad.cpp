#include "zd_rad.hpp"

#include <cstdio>

void use_radial() {
    std::fputs("  radial distribution is centered by ORIGIN key\n"
               "    and the following group of dedicated keys\n"
               " RADIUS = radius binning\n"
               " RAD_LIM  = low limit value in radial distribution (not set is no limit)\n"
               " N_SECTOR  = number of angular sectors (num 0 to N_SECTOR-1)\n"
               " A_SECTOR  = origin (degree) of the first sector\n"
               " P_SECTOR  = if not empty, binning specifications without space\n"
               " RAD_X   = if not empty, X geometrical transformation, RAD_Y\n"
               " RAD_DX  = if not empty, X geometrical density related to RAD_X, RAD_DY\n"
               "    radial distribution example, N=8,A=-22.5,P=0+4,2+6,1+3+5+7 print 3 curves\n"
               "  if grid is corrected on the fly, specify GRID_ORIG=CONVERT to convert the origin\n",
               stderr);
}
