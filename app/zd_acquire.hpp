// Acquisition of an image word (a file or a series), the correction step, and the
// correction and accumulation into the working image.
#pragma once

#include "xy_lib.hpp"

#include <string>
#include <vector>

// Returns false when the X option skipped the correction step.
bool get_image(const std::string& word, const std::string& dir, IMG& img);
std::vector<int32_t>& cor_image(IMG& img);
void proc_image(IMG& img);
