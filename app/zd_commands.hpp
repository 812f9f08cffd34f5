// The "%" commands on the working image, one table entry per command letter.
#pragma once

#include "xy_lib.hpp"

#include <string>

// Runs the command word `word` ("%" and a letter, then the command's text) on
// `image`. An unknown letter is reported on the standard error stream and the
// run goes on.
void run_command(const std::string& word, IMG& image);
