// Acquisition of an image word (a file or a series), the correction step, and the
// correction and accumulation into the working image.
#pragma once

#include "xy_lib.hpp"

#include <string>
#include <vector>

// What get_image read with: the reading settings in force, the frame range of
// the word and the geometry of one of its files; and whether the correction
// step ran (the X option skips it).
struct Acquisition {
    XyReading reading;
    bool corrected = false;
};

// Reads an image word into `img`, starting from the reading settings drv.reading.
Acquisition get_image(const std::string& word, const std::string& dir, IMG& img);
std::vector<int32_t>& cor_image(IMG& img);
// Corrects `img` and adds it into the working image; true when it became the
// working image.
bool proc_image(IMG& img);
