// The zandor driver: start-up, the word loop, the "%" commands and the help.
#pragma once

#include "zd_batch.hpp"
#include "zd_driver.hpp"

#include <string>
#include <vector>

extern const char* const RELEASE;

// Runs zandor on the given command line; returns the exit status (0, or 3 on a
// fatal error, or the status of a help request).
int zandor_main(int argc, char** argv);

// What a run embedded in another program gives back besides its messages.
struct RunOutcome {
    IMG image;                              // the working image (no planes when none was built)
    std::vector<std::string> files_written; // in order
    std::string summary;                    // the run summary document (JSON), when asked for
};

// Runs one command line as the console program does, on the calling thread,
// with its messages sent to `sink` instead of the standard streams. The
// settings come from `options.settings_file` (empty: "<program>.ini" of the
// current directory, when there is one). A fatal error propagates as Fatal;
// a run without words is refused (there is no interactive input).
RunOutcome zandor_run(const std::string& program, const BatchOptions& options, MessageSink& sink,
                      bool with_summary = true);

// Prints the help to the standard error stream and ends the run (status 0 for
// "--usage" words, 3 otherwise).
[[noreturn]] void usage(const std::string& message, const std::string& word);
