#include "zd_stat.hpp"

#include <cstdio>

StatSettings stat_settings;

void use_stat() {
    std::fputs(" DARK_COEF =  \n"
               " STAT_DEG =  1 (default)\n"
               " STAT_LOW  =  0.75 (default)\n"
               " STAT_HIGH =  0.75 (default)\n"
               " STAT_NB =  8 (default)\n"
               " STAT_IMG =  1 (default)\n",
               stderr);
}

int par_stat(const IniTag& t) {
    StatSettings& s = stat_settings;
    (void)(prg_iniflt(t, "DARK_COEF", s.dark_coef) || prg_iniint(t, "STAT_DEG", s.stat_deg) ||
           prg_iniflt(t, "STAT_LOW", s.stat_low) || prg_iniflt(t, "STAT_HIGH", s.stat_high) ||
           prg_iniint(t, "STAT_NB", s.stat_nb) || prg_iniint(t, "STAT_IMG", s.stat_img));
    return 0;
}
