// The command loop, the settings file and the help, run as a user would.
#include "kvf_writer.hpp"
#include "test_support.hpp"

#include <sys/stat.h>
#include <unistd.h>

using zt::contains_line;
using zt::run_zandor;

namespace {

class Foundation : public zt::InTempDir {
  protected:
    std::string cwd() const { return dir_->path(); }
};

TEST_F(Foundation, NoArgumentsPromptsAndEndsAtAnEmptyLine) {
    const zt::RunResult r = run_zandor(cwd(), {}, "\n%x\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("\n [D=|F=]img_file[Bb,Ee,Aa|Mm]  name (return=end) : "), std::string::npos);
    // The word after the empty line is never run.
    EXPECT_EQ(r.err.find("unknown command"), std::string::npos);
    EXPECT_TRUE(contains_line(r.out, " no file 'zandor.ini' using defaults"));
    EXPECT_TRUE(contains_line(r.out, "## zandor :  extracting info/preprocessing image"));
    EXPECT_TRUE(contains_line(r.out, "## zandor_1.7 (07Jul03_0906)"));
}

TEST_F(Foundation, UnknownCommandsReportAndTheRunGoesOn) {
    const zt::RunResult r = run_zandor(cwd(), {"%", "%x", "--usage=cosmic"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("unknown command '%'unknown command '%x'"), std::string::npos);
    EXPECT_NE(r.out.find("# command : %x\n"), std::string::npos);
}

// Which commands are followed by the information block of the working image
// (PRINT bit 4): every command but the writers, %R, %P and %F; unknown letters
// too, but not "%" alone.
TEST_F(Foundation, InformationBlockFollowsTheCommandsThatReportIt) {
    zt::write_kvf(file("img.kvf"), 2, 1, 4, false, {{3, 5}});
    zt::write_file("zandor.ini", "GRID_DCOR = 3\nGRID_XCOR = 0 1 0\nGRID_YCOR = 0 0 1\n");
    const struct {
        const char* word;
        bool info;
    } cases[] = {{"%A1", true},      {"%M2", true},      {"%C=2", true},    {"%S=1", true},
                 {"%G", true},       {"%x", true},       {"%", false},      {"%Xo.kvf", false},
                 {"%Yo.tif", false}, {"%Zo.gel", false}, {"%Xo.txt", false}};
    for (const auto& c : cases) {
        const zt::RunResult r = run_zandor(cwd(), {"img.kvf", c.word});
        ASSERT_EQ(r.status, 0) << c.word << r.err;
        const size_t command = r.out.find(std::string("# command : ") + c.word + "\n");
        ASSERT_NE(command, std::string::npos) << c.word;
        const bool info = r.out.find("\n# img.kvf : 1 frame(s)", command) != std::string::npos;
        EXPECT_EQ(info, c.info) << c.word << "\n" << r.out.substr(command);
    }
}

TEST_F(Foundation, InteractiveLinesOnlyGiveTheirFirstWord) {
    const zt::RunResult r = run_zandor(cwd(), {}, "%q trailing words %x\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("unknown command '%q'"), std::string::npos);
    EXPECT_EQ(r.err.find("'%x'"), std::string::npos);
}

TEST_F(Foundation, SettingsEchoLinesAreExact) {
    zt::write_file("zandor.ini", "   DIR =  /data/run1/   # comment\n"
                                 "PRINT=5\n"
                                 "LOW_LIMIT = -3.5\n"
                                 "MAT_UB = 1 0 0 0 1 0 0 0 1\n"
                                 "T_DATA = T_FLOAT\n"
                                 "T_DATA = float\n"
                                 "X_MIN\t= 4\n"
                                 "STAT_DEG = 2\n"
                                 "PRINT = 1");
    const zt::RunResult r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 0);
    const std::string expected_start = " using file 'zandor.ini'\n"
                                       "        DIR= '/data/run1/'\n"
                                       "      PRINT= 5\n"
                                       "  LOW_LIMIT= -3.5\n";
    EXPECT_EQ(r.out.compare(0, expected_start.size(), expected_start), 0) << r.out;
    std::string ub = "     MAT_UB=";
    const double v[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (int i = 0; i < 9; ++i) {
        if (i == 4 || i == 8) ub += "\n        ...=";
        char buf[64];
        std::snprintf(buf, sizeof buf, " %14lg ", v[i]);
        ub += buf;
    }
    EXPECT_NE(r.out.find(ub + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(
                  " T_DATA= T_FLOAT\n invalid float mode in T_DATA, reset to INVALID_DATA\n T_DATA= float\n"),
              std::string::npos);
    // The tab key, the statistics key and the last line without a line feed are not used.
    EXPECT_EQ(r.out.find("X_MIN"), std::string::npos);
    EXPECT_EQ(r.out.find("STAT_DEG"), std::string::npos);
    EXPECT_EQ(r.out.find("PRINT= 1"), std::string::npos);
}

TEST_F(Foundation, FileRedirectionsNestAndReportInOrder) {
    zt::write_file("zandor.ini", "FILE = a.ini\nCR = 1\n");
    zt::write_file("a.ini", "FILE = b.ini\nDFORMAT = 3\n");
    zt::write_file("b.ini", "XL_COL = 2\n");
    const zt::RunResult r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 0);
    const std::string expected = " using file 'zandor.ini'\n"
                                 "       FILE= 'a.ini'\n"
                                 "now using file 'a.ini'\n"
                                 "       FILE= 'b.ini'\n"
                                 "now using file 'b.ini'\n"
                                 "     XL_COL= 2\n"
                                 "end of file 'b.ini', back to previous file\n"
                                 "    DFORMAT= 3\n"
                                 "end of file 'a.ini', back to previous file\n"
                                 "         CR= 1\n";
    EXPECT_EQ(r.out.compare(0, expected.size(), expected), 0) << r.out;
}

TEST_F(Foundation, SelfRedirectionIsStoppedWithAClearError) {
    zt::write_file("zandor.ini", "FILE = zandor.ini\n");
    const zt::RunResult r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("FILE redirections nested more than"), std::string::npos) << r.err;
}

TEST_F(Foundation, RedirectionToMissingOrSpecialFilesIsFatal) {
    zt::write_file("zandor.ini", "FILE = missing.ini\n");
    zt::RunResult r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, " prg_initag error (errno=2) : unable to open file missing.ini, abort!\n\n");
    zt::write_file("zandor.ini", "FILE = /dev/zero\n");
    r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos);
}

TEST_F(Foundation, LongCommentTailIsNeverObeyed) {
    zt::write_file("zandor.ini", "# " + std::string(5000, 'c') + " LOG = 1\nCR = 1\n");
    const zt::RunResult r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(zt::file_exists(file("zandor.log")));
    EXPECT_NE(r.out.find("         CR= 1\n"), std::string::npos);
}

TEST_F(Foundation, LogModesAcrossRuns) {
    zt::write_file("zandor.ini", "LOG = 1 # new log\n");
    run_zandor(cwd(), {"%x"});
    run_zandor(cwd(), {"%x"});
    std::string log = zt::read_file(file("zandor.log"));
    EXPECT_EQ(log.find("## zandor :"), log.rfind("## zandor :")) << "mode 1 keeps only the last run";
    EXPECT_NE(log.find("# command : %x"), std::string::npos);
    EXPECT_EQ(log.find("using file"), std::string::npos) << "settings echoes never reach the log";

    zt::write_file("zandor.ini", "LOG = 2\n");
    run_zandor(cwd(), {"%x"});
    log = zt::read_file(file("zandor.log"));
    EXPECT_NE(log.find("## zandor :"), log.rfind("## zandor :")) << "mode 2 appends";

    ::unlink(file("zandor.log").c_str());
    zt::write_file("zandor.ini", "LOG = 3\n");
    const zt::RunResult r = run_zandor(cwd(), {"%x"});
    EXPECT_FALSE(zt::file_exists(file("zandor.log")));
    EXPECT_EQ(r.status, 0);
}

TEST_F(Foundation, MissingRedirectedInputIsFatal) {
    zt::write_file("zandor.ini", "STDIN = nothere.txt\n");
    const zt::RunResult r = run_zandor(cwd(), {});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, " zandor error (errno=2) : unable to open redirected input 'nothere.txt', abort!\n\n");
    EXPECT_TRUE(contains_line(r.out, "input redirected to 'nothere.txt'"));
}

TEST_F(Foundation, RedirectedInputIsEchoed) {
    zt::write_file("words.txt", "%q\n\n");
    zt::write_file("zandor.ini", "STDIN = words.txt\n");
    const zt::RunResult r = run_zandor(cwd(), {});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains_line(r.out, "%q"));
    EXPECT_NE(r.err.find("unknown command '%q'"), std::string::npos);
}

TEST_F(Foundation, SpecFileMustExist) {
    zt::write_file("zandor.ini", "SPEC = nolog.spec\n");
    zt::RunResult r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("unable to open spec file 'nolog.spec'"), std::string::npos);
    zt::write_file("log.spec", "#S 1\n");
    zt::write_file("zandor.ini", "SPEC = log.spec\n");
    r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains_line(r.out, "spec file to be seached 'log.spec'"));
}

TEST_F(Foundation, HelpTopicsAndStatuses) {
    zt::RunResult r = run_zandor(cwd(), {"--usage=mask"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("usage : zandor [D=|F=]img_file"), std::string::npos);
    EXPECT_NE(r.err.find("\nUsing : zandor --usage=mask \n\nValid options in .ini files are : \n C_ROI"),
              std::string::npos);
    EXPECT_EQ(r.err.find(" DIR = full path"), std::string::npos);
    EXPECT_NE(r.err.find("ROI(s) are added together before all excluding zone\n"), std::string::npos);

    // A topic prints exactly its own lines.
    r = run_zandor(cwd(), {"--usage=spec,cosmic"});
    EXPECT_EQ(r.status, 0);
    const std::string topics = "\nValid options in .ini files are : \n"
                               " SPEC = full path to spec file for collecting info\n"
                               " WSPEC2XL = script (and args) to extract normation, use * for file name \n"
                               " XL_COL = pos of the selected column in WSPEC2XL\n"
                               " O_COSMIC = file_name, STDOUT or default to image_name.cosmic\n"
                               " T_COSMIC = used for time removal\n"
                               " S_COSMIC = used for space removal\n"
                               " R_COSMIC = ratio on the standard deviation used for time and space removal\n"
                               " H_COSMIC = lower cosmics on one frame for time removal\n"
                               " P_COSMIC = lower cosmics on the frame sum for spacial removal\n"
                               "\n";
    ASSERT_GE(r.err.size(), topics.size());
    EXPECT_EQ(r.err.substr(r.err.size() - topics.size()), topics) << r.err;

    // The "other" topic: the settings-file layer, the image keys, then the
    // driver's keys in their fixed order.
    r = run_zandor(cwd(), {"--usage=other"});
    EXPECT_EQ(r.status, 0);
    size_t at = 0;
    for (const char* key :
         {" LOG =",      " FILE =",      "  X_MIN",      " DIR =",       " OUT =",       " DEF =",
          " CR =",       " DFORMAT =",   " STDIN =",     " FLAT_NAME =", " DARK_NAME =", " SCA_DARK =",
          " ADD_DARK =", " SET_LIMIT =", " LOW_LIMIT =", " ADD_DARK =",  " REALTIME =",  " PRINT   =",
          " T_DATA  =",  " ORIG =",      " MAT_UB =",    " LAMBDA =",    " GONIO =",     " DETEC =",
          " SCALE =",    " ORIG =",      " PLANE =",     " SUMMARY ="}) {
        const size_t next = r.err.find(std::string("\n") + key, at);
        ASSERT_NE(next, std::string::npos) << key << " after " << r.err.substr(at);
        at = next + 1;
    }
    EXPECT_EQ(r.err.find("\n", r.err.find('\n', at) + 1), r.err.size() - 1) << "SUMMARY is the last line";
    EXPECT_EQ(r.err.find("C_ROI"), std::string::npos);

    r = run_zandor(cwd(), {"--usage"});
    EXPECT_EQ(r.status, 0);
    for (const char* line :
         {" DIR = full path to search for data file", " LOG = 0 (none), 1 (new0 or 2 (append)",
          " XL_COL = pos of the selected column in WSPEC2XL", " T_COSMIC = used for time removal",
          " RADIUS = radius binning"})
        EXPECT_TRUE(contains_line(r.err, line)) << line;

    r = run_zandor(cwd(), {"-h"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("try zandor --usage[=grid,radial,mask,spec,cosmic,other,stat] \n"),
              std::string::npos);
    EXPECT_EQ(r.err.find("Using"), std::string::npos);
}

TEST_F(Foundation, InvocationNameChoosesTheSettingsFile) {
    zt::write_file("kvfzan.ini", "CR = 1\n");
    const zt::RunResult r = run_zandor(cwd(), {"%x"}, "", "./kvfzan.exe");
    EXPECT_TRUE(contains_line(r.out, " using file 'kvfzan.ini'"));
}

TEST_F(Foundation, StatisticsModeTakesItsKeysAndPrintsTheirHelp) {
    zt::write_file("zstat.ini", "STAT_DEG = 2\nUNKNOWN_KEY = 1\n");
    zt::RunResult r = run_zandor(cwd(), {"--usage=mask"}, "", "zstat");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains_line(r.out, "   STAT_DEG= 2"));
    EXPECT_EQ(r.out.find("UNKNOWN_KEY"), std::string::npos);
    EXPECT_TRUE(contains_line(r.err, " STAT_NB =  8 (default)"));
    // Under another name the key is ignored and the help has no statistics lines.
    zt::write_file("zandor.ini", "STAT_DEG = 2\n");
    r = run_zandor(cwd(), {"--usage=mask"});
    EXPECT_EQ(r.out.find("STAT_DEG"), std::string::npos);
    EXPECT_EQ(r.err.find("STAT_NB"), std::string::npos);
}

TEST_F(Foundation, EndlessOrBinaryInputIsRefusedNotHung) {
    zt::write_file("zandor.ini", "STDIN = /dev/zero\n");
    zt::RunResult r = run_zandor(cwd(), {});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("input line longer than"), std::string::npos) << r.err;
    // A NUL byte does not swallow the line feed after it: the next line is a line of its own.
    zt::write_file("zandor.ini", std::string("X\0\nCR = 1\n", 10));
    r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("         CR= 1\n"), std::string::npos);
}

TEST_F(Foundation, EmptyStdinValueIsTriedAndRefused) {
    zt::write_file("zandor.ini", "STDIN =\n");
    const zt::RunResult r = run_zandor(cwd(), {});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("unable to open redirected input ''"), std::string::npos) << r.err;
}

TEST_F(Foundation, SpecFileThatIsNotRegularIsRefused) {
    ASSERT_EQ(::mkfifo(file("log.fifo").c_str(), 0644), 0);
    zt::write_file("zandor.ini", "SPEC = log.fifo\n");
    const zt::RunResult r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("unable to open spec file 'log.fifo' (not a regular file)"), std::string::npos);
}

TEST_F(Foundation, KeyWithoutEqualsSetsNothing) {
    zt::write_file("zandor.ini", "T_DATA = T_FLOAT\nT_DATA\nPRINT\n");
    const zt::RunResult r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("invalid"), std::string::npos) << r.out;
    EXPECT_TRUE(contains_line(r.out, "      PRINT= 7"));
}

TEST_F(Foundation, MaskKeysAndEmptyWordsAreRefused) {
    zt::write_file("zandor.ini", "P_EXCLUDED = 0\n");
    zt::RunResult r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("P_EXCLUDED = 0 : a zone needs 2 numbers (x1 y1), 1 given"), std::string::npos)
        << r.err;
    ::unlink(file("zandor.ini").c_str());
    r = run_zandor(cwd(), {"%x", ""});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("empty word 2 on the command line"), std::string::npos) << r.err;
}

TEST_F(Foundation, AnalysesWithoutAnImageFailLoudly) {
    for (const char* word : {"%P", "%H"}) {
        const zt::RunResult r = run_zandor(cwd(), {word});
        EXPECT_EQ(r.status, 3) << word;
        EXPECT_NE(r.err.find(" : no data to write, abort!"), std::string::npos) << r.err;
    }
}

} // namespace
