// The zandor driver: start-up, the word loop, the "%" commands and the help.
#pragma once

#include "zd_driver.hpp"

#include <string>
#include <vector>

extern const char* const RELEASE;

// Runs zandor on the given command line; returns the exit status (0, or 3 on a
// fatal error, or the status of a help request).
int zandor_main(int argc, char** argv);

// Prints the help to the standard error stream and ends the run (status 0 for
// "--usage" words, 3 otherwise).
[[noreturn]] void usage(const std::string& message, const std::string& word);
