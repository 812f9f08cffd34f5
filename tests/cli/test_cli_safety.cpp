// Hostile and careless inputs: no file the run reads is ever replaced or
// emptied, no wait or read blocks for ever, and refusals come before any
// large allocation.
#include "kvf_writer.hpp"
#include "test_support.hpp"

#include <sys/stat.h>

using zt::run_zandor;

namespace {

class Safety : public zt::InTempDir {
  protected:
    std::string cwd() const { return dir_->path(); }
    void image(const std::string& name, double value = 7) {
        zt::write_kvf(file(name), 3, 2, 4, false, {{value, 1, 2, 3, 4, 5}});
    }
};

// A default output name that is the dark, the flat or another image of the run
// stops the run before anything is written; the file keeps its bytes.
TEST_F(Safety, DefaultOutputNamesNeverReplaceAFileTheRunRead) {
    const struct {
        std::vector<std::string> words;
        const char* victim;
    } cases[] = {
        {{"D=imgd.kvf", "img.kvf", "%X"}, "imgd.kvf"},
        {{"F=imgf.kvf", "img.kvf", "%X"}, "imgf.kvf"},
        {{"D=imgd.kvf", "F=imgdf.kvf", "img.kvf", "%X"}, "imgdf.kvf"},
    };
    for (const auto& c : cases) {
        image("img.kvf");
        image("imgd.kvf", 1);
        image("imgf.kvf", 2);
        image("imgdf.kvf", 3);
        const std::string before = zt::read_file(file(c.victim));
        const zt::RunResult r = run_zandor(cwd(), c.words);
        EXPECT_EQ(r.status, 3) << c.victim << r.out;
        EXPECT_NE(r.err.find(std::string("the default output name '") + c.victim + "' would replace '"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(zt::read_file(file(c.victim)), before) << c.victim;
    }
    // An explicit name is the user's choice and is written.
    image("img.kvf");
    image("imgd.kvf", 1);
    EXPECT_EQ(run_zandor(cwd(), {"D=imgd.kvf", "img.kvf", "%Xout.kvf"}).status, 0);
    EXPECT_TRUE(zt::file_exists(file("out.kvf")));
}

// The normalisation command writes <invocation name>.SPEC: when that is the
// diffractometer log itself, the run stops before the log is removed.
TEST_F(Safety, NormalisationOutputNeverReplacesTheLogItReads) {
    image("img.kvf");
    zt::write_file(file("zandor.SPEC"), "#S 1 scan\n1 2 3\n");
    zt::write_file(file("zandor.ini"), "SPEC = zandor.SPEC\nWSPEC2XL = cat *\n");
    const zt::RunResult r = run_zandor(cwd(), {"img.kvf", "%M=SPEC"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("normalisation output 'zandor.SPEC' would replace 'zandor.SPEC'"), std::string::npos)
        << r.err;
    EXPECT_EQ(zt::read_file(file("zandor.SPEC")), "#S 1 scan\n1 2 3\n");
}

TEST_F(Safety, ANewLogNeverEmptiesAnInputOfTheSameName) {
    image("zandor.log");
    const std::string before = zt::read_file(file("zandor.log"));
    zt::write_file(file("zandor.ini"), "LOG = 1\n");
    const zt::RunResult r = run_zandor(cwd(), {"zandor.log", "%Xout.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("LOG = 1 would empty 'zandor.log', which this run reads as 'zandor.log'"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(zt::read_file(file("zandor.log")), before);
    // Appending (LOG = 2) never empties it.
    zt::write_file(file("zandor.ini"), "LOG = 2\n");
    EXPECT_EQ(run_zandor(cwd(), {"zandor.log", "%Xout.kvf"}).status, 0);
    EXPECT_EQ(zt::read_file(file("zandor.log")).substr(0, before.size()), before);
}

TEST_F(Safety, RealTimeWaitsAreBoundedAndWatchTheFileOpened) {
    image("frame");
    zt::write_file(file("zandor.ini"), "REALTIME = 2147483647\n");
    zt::RunResult r = run_zandor(cwd(), {"frame"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("REALTIME = 2147483647 refused: a file is awaited at most 86400 seconds"),
              std::string::npos)
        << r.err;

    // A file named without extension is watched under its own name, the one
    // the opener reads (not name + ".spe", which never comes).
    zt::write_file(file("zandor.ini"), "REALTIME = 1\n");
    r = run_zandor(cwd(), {"frame", "%Xout.kvf"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" file frame stated, last modification is "), std::string::npos) << r.out;

    zt::write_file(file("zandor.ini"), "REALTIME = 1\nREALTIME_TIMEOUT = 2\n");
    r = run_zandor(cwd(), {"never.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("file never.kvf did not appear within REALTIME_TIMEOUT = 2 seconds"),
              std::string::npos)
        << r.err;
}

// A FIFO opened for reading would block until a writer comes: every input must
// be a regular file.
TEST_F(Safety, OnlyRegularFilesAreRead) {
    image("img.kvf");
    ASSERT_EQ(::mkfifo(file("pipe.kvf").c_str(), 0600), 0);
    const std::vector<std::vector<std::string>> runs = {{"pipe.kvf"}, {"D=pipe.kvf", "img.kvf"}};
    for (const auto& words : runs) {
        const zt::RunResult r = run_zandor(cwd(), words);
        EXPECT_EQ(r.status, 3) << words[0];
        EXPECT_NE(r.err.find("'pipe.kvf' is not a regular file: only regular files are read"),
                  std::string::npos)
            << r.err;
    }
    ASSERT_EQ(::mkfifo(file("zandor.hdr").c_str(), 0600), 0);
    const zt::RunResult r = run_zandor(cwd(), {"img.kvf", "%Xout.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("'zandor.hdr' is not a regular file"), std::string::npos) << r.err;
    EXPECT_FALSE(zt::file_exists(file("out.kvf")));
}

// A merged series is checked file by file before its planes are allocated: a
// count of twenty million fails at the first missing file.
TEST_F(Safety, MergedSeriesAreCheckedBeforeTheirPlanesAreAllocated) {
    image("in_0001.kvf");
    image("in_0002.kvf");
    const zt::RunResult r = run_zandor(cwd(), {"in_0001.kvf,M20000000"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("file 'in_0003.kvf' of the merged series (20000000 files) is missing"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("# new image"), std::string::npos);
}

} // namespace
