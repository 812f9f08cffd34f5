// Detector statistics mode (program names containing "stat"): its settings
// and help. The variance fit itself is not part of this build.
#pragma once

#include "prg_lib.hpp"

struct StatSettings {
    float dark_coef = 0.0f;  // DARK_COEF
    int32_t stat_deg = 1;    // STAT_DEG
    float stat_low = 0.75f;  // STAT_LOW
    float stat_high = 0.75f; // STAT_HIGH
    int32_t stat_nb = 1;     // STAT_NB
    int32_t stat_img = 1;    // STAT_IMG
};

extern StatSettings stat_settings;

void use_stat();
// Last member of the settings chain in statistics mode; always returns 0.
int par_stat(const IniTag& tag);
