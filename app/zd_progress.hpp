// A one-line progress indicator on the standard error stream for long work
// (files of a series): redrawn in place, erased at the end, and only when the
// stream is a terminal, so that batch logs stay clean.
#pragma once

#include "prg_lib.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
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
    bool enabled() const { return enabled_; }
    // Progress lines that draw (enabled) in the program now.
    static int enabled_lines() { return enabled_lines_; }

  private:
    static thread_local int enabled_lines_;
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

// Relays the library's progress reports (prg_progress: the frames of a file,
// the rows of a grid correction) to a progress line of their own, one at a
// time, erased when the work is done; nothing while another progress line
// draws (the files of a series), so that one line never overwrites another.
class ProgressRelay {
  public:
    using Factory = std::function<std::unique_ptr<Progress>(const std::string& what, int64_t total)>;
    explicit ProgressRelay(Factory make) : make_(std::move(make)) {}
    void report(const char* what, int64_t done, int64_t total);

  private:
    Factory make_;
    std::unique_ptr<Progress> line_;
    std::string what_;
    int64_t total_ = 0;
};

// The console program's sink of the engine's messages: report and screen
// lines on standard output, notices on standard error, progress relayed to a
// progress line on standard error.
class ConsoleSink : public StreamSink {
  public:
    ConsoleSink();
    void progress(const char* what, int64_t done, int64_t total) override {
        relay_.report(what, done, total);
    }

  private:
    ProgressRelay relay_;
};
