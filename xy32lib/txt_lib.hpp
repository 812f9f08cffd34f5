// Text images: whitespace-separated decimal integers, one image row per line.
#pragma once

#include "xy_lib.hpp"

std::unique_ptr<HDR> txt_open(const std::string& name, const std::string& program, bool as_named = false);
// cr_mode 1 ends lines with a carriage return and a line feed (the CR setting).
void txt_write(IMG& img, int32_t cr_mode);
