// IPN-label frame files (512-byte text label followed by 16-bit frames), read only.
#pragma once

#include "xy_lib.hpp"

std::unique_ptr<HDR> dmi_open(const std::string& name, const std::string& program);
