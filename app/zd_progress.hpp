// A one-line progress indicator on the standard error stream for long work
// (files of a series): redrawn in place, erased at the end, and only when the
// stream is a terminal, so that batch logs stay clean.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

// "files 37/100, 12.5/s, 0:05 left": what is counted, done of total, the rate
// so far and the time left at that rate (no rate or time before any progress).
std::string progress_line(const std::string& what, int64_t done, int64_t total, double elapsed_seconds);

// True when the standard error stream `error_fd` is a terminal, standard
// output `output_fd` is not, and there is more than one step.
bool progress_wanted(int64_t total, int error_fd, int output_fd);

class Progress {
  public:
    // Draws on standard error when it is a terminal, otherwise never.
    Progress(std::string what, int64_t total);
    // Draws on `stream` when `enabled`, once `delay_seconds` have passed.
    Progress(std::string what, int64_t total, std::FILE* stream, bool enabled, double delay_seconds);
    ~Progress(); // erases the line
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void update(int64_t done);

  private:
    using Clock = std::chrono::steady_clock;
    std::string what_;
    int64_t total_;
    std::FILE* stream_;
    bool enabled_;
    double delay_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_draw_{};
    bool drawn_ = false;
};
