// The progress line: its text, and what the indicator writes.
#include "stream_capture.hpp"
#include "zd_progress.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace {

struct LineCase {
    int64_t done, total;
    double elapsed;
    const char* want;
};

TEST(ProgressLine, CountsRateAndTimeLeft) {
    const LineCase cases[] = {
        {0, 100, 0.0, "files 0/100"}, // nothing done: no rate yet
        {0, 100, 3.0, "files 0/100"},
        {37, 100, 2.96, "files 37/100, 12.5/s, 0:06 left"}, // 63 / 12.5 = 5.04 s, rounded up
        {1, 3600, 1.0, "files 1/3600, 1.0/s, 59:59 left"},
        {1, 3602, 1.0, "files 1/3602, 1.0/s, 1:00:01 left"},
        {100, 100, 8.0, "files 100/100, 12.5/s"}, // done: no time left
        {3, 4, 0.5, "files 3/4, 6.0/s, 0:01 left"},
    };
    for (const LineCase& c : cases)
        EXPECT_EQ(progress_line("files", c.done, c.total, c.elapsed), c.want) << c.want;
}

TEST(ProgressIndicator, DrawsInPlaceAndErasesWhenEnabled) {
    const std::string written = zt::written_by([](std::FILE* fp) {
        Progress p("files", 2, fp, true, 0.0);
        p.update(1);
        p.update(2);
    });
    EXPECT_EQ(written.substr(0, 15), "\r\033[Kfiles 1/2, ");
    EXPECT_NE(written.find("\r\033[Kfiles 2/2, "), std::string::npos) << written; // the last one always drawn
    EXPECT_EQ(written.substr(written.size() - 4), "\r\033[K");
    EXPECT_EQ(written.find('\n'), std::string::npos);
}

TEST(ProgressIndicator, WritesNothingWhenDisabledOrBeforeTheDelay) {
    EXPECT_EQ(zt::written_by([](std::FILE* fp) {
                  Progress p("files", 2, fp, false, 0.0);
                  p.update(1);
                  p.update(2);
              }),
              "");
    EXPECT_EQ(zt::written_by([](std::FILE* fp) {
                  Progress p("files", 2, fp, true, 3600.0);
                  p.update(2);
              }),
              "");
}

TEST(ProgressIndicator, OnlyForATerminalWithTheReportElsewhere) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    EXPECT_FALSE(progress_wanted(100, pipe_fds[1], pipe_fds[1]));
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0) {
        const int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
        ASSERT_GE(side, 0);
        EXPECT_TRUE(progress_wanted(100, side, pipe_fds[1]));
        EXPECT_FALSE(progress_wanted(100, side, side)); // the report on the terminal too
        EXPECT_FALSE(progress_wanted(1, side, pipe_fds[1]));
        EXPECT_FALSE(progress_wanted(100, pipe_fds[1], side));
        close(side);
    }
    const bool had_terminal = terminal >= 0;
    if (had_terminal) close(terminal);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    if (!had_terminal) GTEST_SKIP() << "no pseudo-terminal on this machine";
}

} // namespace

// The library's reports drawn one line at a time: a new line for other work,
// erased when the work is done, and none while another line draws.
TEST(ProgressIndicator, RelayDrawsTheLibraryReportsWhenNoOtherLineDoes) {
    const std::string written = zt::written_by([](std::FILE* fp) {
        ProgressRelay relay([fp](const std::string& what, int64_t total) {
            return std::make_unique<Progress>(what, total, fp, true, 0.0);
        });
        relay.report("frames", 1, 2);
        relay.report("frames", 2, 2);
        relay.report("rows", 3, 3);
        const Progress series("files", 5, fp, true, 0.0);
        relay.report("frames", 1, 2);
    });
    EXPECT_EQ(written.substr(0, 14), "\r\033[Kframes 1/2");
    EXPECT_EQ(written.substr(written.size() - 4), "\r\033[K"); // the rows' line erased
    EXPECT_NE(written.find("\r\033[Kframes 2/2, "), std::string::npos) << written;
    EXPECT_NE(written.find("\r\033[Krows 3/3, "), std::string::npos) << written;
    EXPECT_EQ(written.find("frames 1/2", 5), std::string::npos) << written; // not under the files' line
    EXPECT_EQ(Progress::enabled_lines(), 0);
}
