// Jobs share nothing: two jobs with their own settings, run at once on two
// threads, each get the result and the messages they get alone.
#include "kvf_writer.hpp"
#include "test_support.hpp"
#include "xy_job.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct Lines : MessageSink {
    std::string reports, notices;
    void report(std::string_view t) override { reports += t; }
    void screen(std::string_view) override {}
    void notice(std::string_view t) override { notices += t; }
    void progress(const char*, int64_t, int64_t) override {}
};

struct Outcome {
    std::vector<int32_t> data;
    std::vector<uint16_t> frame;
    std::string reports, notices;
};

// Holds each thread until all have arrived, so that the jobs run at once.
class StartLine {
  public:
    explicit StartLine(int threads) : waiting_(threads) {}
    void arrive() {
        --waiting_;
        while (waiting_ > 0)
            std::this_thread::yield();
    }

  private:
    std::atomic<int> waiting_;
};

// A job reads its settings lines, then sums and masks `file` `rounds` times,
// with a warning at each round.
Outcome run_job(const std::vector<std::string>& settings, const std::string& file, int rounds,
                StartLine* start = nullptr) {
    Job job;
    Lines lines;
    job.program.sink = &lines;
    const ProgramScope bind(job.program);
    for (const std::string& line : settings) {
        IniTag tag;
        if (prg_initag(line, tag) && !prg_take_layer_key(tag)) {
            EXPECT_TRUE(excl_inipar(job.zones, tag)) << line;
        }
    }
    Outcome out;
    if (start) start->arrive();
    for (int round = 0; round < rounds; ++round) {
        IMG img;
        img.name = file;
        img.hdr = xy_open(file, job.program.name, "", 0, false, job.reading);
        xy_getsum(img, stdout, 0, true, false);
        excl_image(job.zones, job.reading, img, 0);
        prg_warning("round %d", round);
        out.data = img.data;
        out.frame = img.frame;
        xy_freehdr(img.hdr);
    }
    out.reports = lines.reports;
    out.notices = lines.notices;
    return out;
}

void expect_same(const Outcome& got, const Outcome& alone, const char* job) {
    EXPECT_EQ(got.data, alone.data) << job;
    EXPECT_EQ(got.frame, alone.frame) << job;
    EXPECT_EQ(got.reports, alone.reports) << job;
    EXPECT_EQ(got.notices, alone.notices) << job;
}

class Jobs : public zt::InTempDir {};

TEST_F(Jobs, TwoJobsOnTwoThreadsKeepTheirOwnSettings) {
    std::vector<double> values(64);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<double>(i * 7 % 50 + 1);
    const std::string file = dir_->path() + "/img.kvf";
    zt::write_kvf(file, 8, 8, XY_TYPE_INT32, false, {values, values});
    const std::vector<std::string> quiet_circle = {"QUIET_WARNINGS = 1", "C_EXCLUDED = 4 4 2"};
    const std::vector<std::string> roi_and_point = {"R_ROI = 1 1 6 6", "P_EXCLUDED = 2 2 7"};
    constexpr int kRounds = 200;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const Outcome alone_a = run_job(quiet_circle, file, kRounds);
    const Outcome alone_b = run_job(roi_and_point, file, kRounds);
    Outcome a, b;
    StartLine start(2);
    std::thread first([&] { a = run_job(quiet_circle, file, kRounds, &start); });
    std::thread second([&] { b = run_job(roi_and_point, file, kRounds, &start); });
    first.join();
    second.join();
    const std::string streams =
        testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    EXPECT_EQ(streams, "") << "a job wrote on a standard stream";
    expect_same(a, alone_a, "circle");
    expect_same(b, alone_b, "roi");
    // The two settings give two different results and messages.
    EXPECT_NE(alone_a.frame, alone_b.frame);
    EXPECT_EQ(alone_a.notices, "");
    EXPECT_NE(alone_b.notices.find(" warning : round 199\n"), std::string::npos) << alone_b.notices;
    EXPECT_NE(alone_a.reports.find("excluded pixel(s) by 1 mask(s)"), std::string::npos) << alone_a.reports;
    EXPECT_EQ(alone_a.reports.find("roi"), std::string::npos) << alone_a.reports;
    EXPECT_NE(alone_b.reports.find("included pixel(s) in 1 roi(s)"), std::string::npos) << alone_b.reports;
    EXPECT_EQ(alone_b.data[2 * 8 + 2], 7); // the point's replacement value
}

// A thread that never bound a job is refused rather than given another's.
TEST(JobBinding, UnboundThreadIsRefused) {
    bool refused = false;
    std::thread lone([&] {
        try {
            prg_printf("nowhere\n");
        } catch (const std::logic_error&) {
            refused = true;
        }
    });
    lone.join();
    EXPECT_TRUE(refused);
}

} // namespace
