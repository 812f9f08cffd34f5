// Batch runs: the batch options of the command line (words that set up the
// whole run instead of being handled in order) and the quiet output.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct BatchOptions {
    std::string settings_file;      // --settings=FILE or -s=FILE; empty: <program>.ini
    bool strict = false;            // --strict: every warning is fatal
    bool quiet = false;             // --quiet: standard output carries only the batch lines
    std::vector<std::string> words; // the other words, in order
    int32_t threads = 0;            // from 1: the threads of the run, over THREADS
};

// Splits the command line (argv[0] excluded) into batch options and words.
// A word starting with "-" that is not a batch option stays a word (help).
BatchOptions take_batch_options(int argc, char** argv);

// The quiet mode: while it lives, whatever is written to standard output
// (fd 1: the report, the settings echoes, any other line) goes to /dev/null;
// the batch lines go to the real standard output, kept aside.
class QuietStdout {
  public:
    QuietStdout(); // a standard output that cannot be set aside stops the run
    ~QuietStdout();
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;
    // "# written <path>" for each of `files`, then `final_line` unless empty.
    void write_batch_lines(const std::vector<std::string>& files, const std::string& final_line);

  private:
    std::FILE* kept_ = nullptr;
};
