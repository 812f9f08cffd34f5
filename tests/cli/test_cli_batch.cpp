// The batch options: --quiet keeps on stdout only the files written and the
// final statistics line, and changes nothing else; --settings (-s) names the
// settings file; other words starting with "-" still print the help.
#include "kvf_writer.hpp"
#include "test_support.hpp"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

namespace {

using nlohmann::json;

class Batch : public zt::InTempDir {
  protected:
    zt::RunResult run(const std::vector<std::string>& words) { return zt::run_zandor(dir_->path(), words); }
    void write_images() {
        const std::vector<double> a = {10, 20, 30, 40, 50, 60, 70, 80};
        zt::write_kvf(file("img_0001.kvf"), 4, 2, 3, false, {a, a, a});
        zt::write_kvf(file("img_0002.kvf"), 4, 2, 3, false, {a, a, {1, 2, 3, 4, 5, 6, 7, 9}});
        zt::write_kvf(file("dark_0001.kvf"), 4, 2, 3, false, {{1, 1, 1, 1, 1, 1, 1, 1}});
    }
};

std::string last_statistics_line(const std::string& out) {
    std::string last;
    for (const std::string& line : zt::split_lines(out))
        if (line.find(" frame(s), mean ") != std::string::npos) last = line;
    return last;
}

TEST_F(Batch, QuietRunPrintsOnlyTheFilesWrittenAndTheFinalStatistics) {
    write_images();
    zt::write_file(file("zandor.ini"), "SUMMARY = run.json\nLOG = 1\n");
    const std::vector<std::string> words = {
        "D=dark_0001.kvf", "img_0001.kvf,A2", "%Xsum.kvf", "%Ysum16.tif", "%R", "%M=1"};
    const zt::RunResult loud = run(words);
    ASSERT_EQ(loud.status, 0) << loud.err;
    const std::vector<std::string> outputs = {"sum.kvf", "sum16.tif", "img_2d.rad", "run.json"};
    std::vector<std::string> loud_bytes;
    for (const std::string& name : outputs)
        loud_bytes.push_back(zt::read_file(file(name)));
    const std::string loud_log = zt::read_file(file("zandor.log"));
    EXPECT_EQ(loud.out.find("# written"), std::string::npos);

    std::vector<std::string> quiet_words = words;
    quiet_words.insert(quiet_words.begin() + 2, "--quiet");
    const zt::RunResult quiet = run(quiet_words);
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    std::string expected;
    for (const std::string& name : outputs)
        expected += "# written " + name + "\n";
    EXPECT_EQ(quiet.out, expected + last_statistics_line(loud.out) + "\n");
    EXPECT_EQ(quiet.err, loud.err);
    EXPECT_EQ(zt::without_clock_lines(zt::read_file(file("zandor.log"))), zt::without_clock_lines(loud_log));
    for (size_t i = 0; i + 1 < outputs.size(); ++i)
        EXPECT_EQ(zt::read_file(file(outputs[i])), loud_bytes[i]) << outputs[i];
    const json summary = json::parse(zt::read_file(file("run.json")));
    EXPECT_EQ(summary["files_written"], json(std::vector<std::string>(outputs.begin(), outputs.end() - 1)));
    EXPECT_EQ(summary, json::parse(loud_bytes.back()));
}

TEST_F(Batch, QuietRunThatFailsListsOnlyWhatItWrote) {
    write_images();
    const zt::RunResult r = run({"--quiet", "img_0001.kvf", "%Xa.kvf", "missing.kvf", "%Xb.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "# written a.kvf\n");
    EXPECT_NE(r.err.find("missing.kvf"), std::string::npos) << r.err;
}

TEST_F(Batch, NamedSettingsFileReplacesTheProgramsOwn) {
    write_images();
    ASSERT_EQ(::mkdir(file("own").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(file("named").c_str(), 0755), 0);
    zt::write_file(file("zandor.ini"), "OUT = own\n");
    zt::write_file(file("batch.ini"), "FILE = more.ini\n");
    zt::write_file(file("more.ini"), "OUT = named\n");
    for (const char* option : {"--settings=batch.ini", "-s=batch.ini"}) {
        const zt::RunResult named = run({option, "img_0001.kvf", "%X"});
        ASSERT_EQ(named.status, 0) << option << named.err;
        EXPECT_TRUE(zt::file_exists(file("named/img_1.kvf"))) << option;
        EXPECT_FALSE(zt::file_exists(file("own/img_1.kvf"))) << option;
        EXPECT_EQ(zt::split_lines(named.out)[0], " using file 'batch.ini'");
        ASSERT_EQ(std::remove(file("named/img_1.kvf").c_str()), 0);
    }
    // The option is not a word: one image word still prints the file header.
    zt::write_file(file("zandor.ini"), "FILE = more.ini\n");
    const zt::RunResult own = run({"img_0001.kvf"});
    std::string named_out = run({"img_0001.kvf", "--settings=batch.ini"}).out;
    named_out.replace(0, named_out.find('\n'), " using file 'zandor.ini'");
    EXPECT_EQ(named_out, own.out);
}

TEST_F(Batch, BadSettingsFileOrOptionStopsBeforeAnyWork) {
    write_images();
    struct Case {
        const char* word;
        const char* report;
    };
    const Case cases[] = {
        {"--settings=nowhere.ini",
         " prg_inifile error (errno=2) : unable to open settings file nowhere.ini, abort!\n\n"},
        {"-s=.", " prg_inifile error : '.' is not a regular file: only regular files are read, abort!\n\n"},
        {"--settings=", "try zandor --usage"},
        {"--strictly", "try zandor --usage"},
        {"-s", "try zandor --usage"},
    };
    for (const Case& c : cases) {
        const zt::RunResult r = run({c.word, "%Xa.kvf", "img_0001.kvf", "%Xb.kvf"});
        EXPECT_EQ(r.status, 3) << c.word;
        EXPECT_NE(r.err.find(c.report), std::string::npos) << c.word << "\n" << r.err;
        EXPECT_FALSE(zt::file_exists(file("b.kvf"))) << c.word;
    }
}

} // namespace
