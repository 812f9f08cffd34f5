#include "zd_progress.hpp"

#include <unistd.h>

#include <cmath>
#include <utility>

namespace {

// Redraws at most this often, so that fast work does not flood the terminal.
constexpr double kRedrawSeconds = 0.2;
// Work shorter than this shows nothing.
constexpr double kDelaySeconds = 1.0;

std::string duration_text(double seconds) {
    const auto s = static_cast<long long>(std::ceil(seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

} // namespace

std::string progress_line(const std::string& what, int64_t done, int64_t total, double elapsed_seconds) {
    char head[96];
    std::snprintf(head, sizeof head, " %lld/%lld", static_cast<long long>(done),
                  static_cast<long long>(total));
    std::string line = what + head;
    if (done <= 0 || elapsed_seconds <= 0.0) return line;
    const double rate = static_cast<double>(done) / elapsed_seconds;
    char tail[64];
    std::snprintf(tail, sizeof tail, ", %.1f/s", rate);
    line += tail;
    if (done < total) line += ", " + duration_text(static_cast<double>(total - done) / rate) + " left";
    return line;
}

// Standard output on a terminal would write into the line: the indicator is
// for runs whose report goes to a file or a pipe. A total of 0 or 1 is no
// long work.
bool progress_wanted(int64_t total, int error_fd, int output_fd) {
    return total > 1 && isatty(error_fd) == 1 && isatty(output_fd) == 0;
}

Progress::Progress(std::string what, int64_t total)
    : Progress(std::move(what), total, stderr, progress_wanted(total, STDERR_FILENO, STDOUT_FILENO),
               kDelaySeconds) {}

thread_local int Progress::enabled_lines_ = 0;

Progress::Progress(std::string what, int64_t total, std::FILE* stream, bool enabled, double delay_seconds)
    : what_(std::move(what)), total_(total), stream_(stream), enabled_(enabled), delay_(delay_seconds) {
    enabled_lines_ += enabled_;
}

Progress::~Progress() {
    enabled_lines_ -= enabled_;
    if (!drawn_) return;
    std::fputs("\r\033[K", stream_);
    std::fflush(stream_);
}

void Progress::update(int64_t done) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    if (elapsed < delay_) return;
    if (drawn_ && std::chrono::duration<double>(now - last_draw_).count() < kRedrawSeconds && done < total_)
        return;
    std::fprintf(stream_, "\r\033[K%s", progress_line(what_, done, total_, elapsed).c_str());
    std::fflush(stream_);
    last_draw_ = now;
    drawn_ = true;
}

void ProgressRelay::report(const char* what, int64_t done, int64_t total) {
    const bool same_work = line_ && what_ == what && total_ == total && done > 0;
    if (!same_work) {
        line_.reset();
        if (Progress::enabled_lines() > 0) return; // another line draws
        line_ = make_(what, total);
        what_ = what;
        total_ = total;
    }
    line_->update(done);
    if (done >= total) line_.reset();
}

ConsoleSink::ConsoleSink()
    : StreamSink(stdout, stderr),
      relay_([](const std::string& what, int64_t total) { return std::make_unique<Progress>(what, total); }) {
}
