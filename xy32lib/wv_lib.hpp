// WinView SPE files: a 4100-byte header followed by the frames (read only).
#pragma once

#include "xy_lib.hpp"

std::unique_ptr<HDR> wv_open(const std::string& name, const std::string& program);
