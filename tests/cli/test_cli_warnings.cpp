// Warnings about silent traps: each appears on stderr as one " warning : "
// line when it should, not otherwise, and never changes a byte of stdout;
// QUIET_WARNINGS = 1 silences them all, and --strict makes each fatal before
// anything is written.
#include "kvf_writer.hpp"
#include "test_support.hpp"

#include <cstdio>
#include <sys/stat.h>

using zt::run_zandor;
using zt::without_clock_lines;

namespace {

class Warnings : public zt::InTempDir {
  protected:
    std::string cwd() const { return dir_->path(); }
};

std::vector<std::string> warning_lines(const std::string& err) {
    std::vector<std::string> lines;
    for (const std::string& line : zt::split_lines(err))
        if (line.compare(0, 11, " warning : ") == 0) lines.push_back(line);
    return lines;
}

struct WarningCase {
    const char* settings;
    std::vector<std::string> words;
    const char* expected; // the whole warning line after " warning : "; null: no warning
    const char* program = "zandor";
    const char* input = ""; // standard input (interactive runs)
    int status = 0;         // the run's exit status
};

// With --strict (the settings file of the case holding QUIET_WARNINGS = 1,
// which --strict overrides) a warning ends the run before any file is
// written; a run without a warning is the same as without --strict.
void expect_strict_run(const WarningCase& c, const zt::RunResult& quiet, const std::string& label) {
    std::vector<std::string> words = c.words;
    words.insert(words.begin(), "--strict");
    if (c.expected && !c.words.empty()) words.push_back("%Xstrict.kvf");
    std::remove("first.kvf"); // written by the runs without --strict
    const zt::RunResult strict = run_zandor(".", words, c.input, c.program);
    if (!c.expected) {
        EXPECT_EQ(strict.status, c.status) << label << strict.err;
        EXPECT_EQ(without_clock_lines(strict.out), without_clock_lines(quiet.out)) << label;
        return;
    }
    EXPECT_EQ(strict.status, 3) << label;
    EXPECT_EQ(warning_lines(strict.err), std::vector<std::string>{std::string(" warning : ") + c.expected})
        << label;
    EXPECT_NE(strict.err.find(" zandor error : 1 warning(s) with --strict, abort!"), std::string::npos)
        << label << strict.err;
    EXPECT_FALSE(zt::file_exists("first.kvf") || zt::file_exists("strict.kvf")) << label;
}

TEST_F(Warnings, EachTrapWarnsOnceAndOnlyOnStderr) {
    zt::KvfFile image;
    image.width = 2;
    image.height = 2;
    image.frames = {{1, 2, 3, 4}};
    zt::write_kvf(file("img.kvf"), image);
    ASSERT_EQ(::mkdir(file("outdir").c_str(), 0755), 0);
    const WarningCase cases[] = {
        // keys that nobody takes, with the nearest known key within two edits
        {"T_COSMC = 5\n", {"img.kvf"}, "settings key T_COSMC is not known, ignored (did you mean T_COSMIC?)"},
        {"t_cosmic = 5\n",
         {"img.kvf"},
         "settings key t_cosmic is not known, ignored (did you mean T_COSMIC?)"},
        {"LGO = 1\n", {"img.kvf"}, "settings key LGO is not known, ignored (did you mean LOG?)"},
        // one misspelt key per member of the settings chain: each member's keys are known
        {"X_MN = 1\n", {"img.kvf"}, "settings key X_MN is not known, ignored (did you mean X_MIN?)"},
        {"T_DAT = T_FLOAT\n", {"img.kvf"}, "settings key T_DAT is not known, ignored (did you mean T_DATA?)"},
        {"MAT_U = 1\n", {"img.kvf"}, "settings key MAT_U is not known, ignored (did you mean MAT_UB?)"},
        {"ORIGN = 1 1\n", {"img.kvf"}, "settings key ORIGN is not known, ignored (did you mean ORIG?)"},
        {"GRID_DCR = 3\n",
         {"img.kvf"},
         "settings key GRID_DCR is not known, ignored (did you mean GRID_DCOR?)"},
        {"GRID_XTB = 0 1 2\n",
         {"img.kvf"},
         "settings key GRID_XTB is not known, ignored (did you mean GRID_XTAB?)"},
        {"PLAN = 1\n", {"img.kvf"}, "settings key PLAN is not known, ignored (did you mean PLANE?)"},
        {"WSPEC2X = a\n", {"img.kvf"}, "settings key WSPEC2X is not known, ignored (did you mean WSPEC2XL?)"},
        {"C_EXCLUDD = 1 1 1\n",
         {"img.kvf"},
         "settings key C_EXCLUDD is not known, ignored (did you mean C_EXCLUDED?)"},
        {"RADIUSES = 2\n", {"img.kvf"}, "settings key RADIUSES is not known, ignored (did you mean RADIUS?)"},
        {"WAVELENGTH = 2\n", {"img.kvf"}, "settings key WAVELENGTH is not known, ignored"},
        {"T_COSMIC = 5\nRADIUS = 2\nC_ROI = 0 0 1\nGRID_MODE = FLAT\nMAT_UB = 1 0 0\n", {"img.kvf"}, nullptr},
        {"STAT_DEG = 2\n", {"img.kvf"}, "settings key STAT_DEG is used only in statistics mode, ignored"},
        {"STAT_DEG = 2\n", {"%x"}, nullptr, "zandor_stat"},
        {"STAT_DGE = 2\n",
         {"%x"},
         "settings key STAT_DGE is not known, ignored (did you mean STAT_DEG?)",
         "zandor_stat"},
        // lines that set nothing
        {"PRINT = 7\nMULT = 2",
         {"img.kvf"},
         "last settings line 'MULT = 2' has no line feed and is not used"},
        {"PRINT = 7\n# the end", {"img.kvf"}, nullptr},
        {"X_MIN\n", {"img.kvf"}, "settings line 'X_MIN' has no '=' and sets nothing"},
        {"GRID_XCOR = 0 1 0\n",
         {"img.kvf"},
         "GRID_XCOR before GRID_DCOR is ignored: the number of terms is not known yet"},
        // numbers read in part or not at all
        {"PRINT = 0x40\n", {"img.kvf"}, "PRINT = '0x40' is read as 0: hexadecimal is not read, write 64"},
        {"PRINT = 64\n", {"img.kvf"}, nullptr},
        {"T_COSMIC = 5x\n", {"img.kvf"}, "T_COSMIC = '5x' is read as 5: 'x' is ignored"},
        {"MULT = abc\n", {"img.kvf"}, "MULT = 'abc' is not a number, MULT stays 0"},
        {"X_MIN = 99999999999\n",
         {"img.kvf"},
         "X_MIN = '99999999999' is beyond the 32-bit range, X_MIN stays 0"},
        {"DFORMAT = 4.5\n", {"img.kvf"}, "DFORMAT = '4.5' is read as 4: '.5' is ignored"},
        {"ORIG = 100,200\n", {"img.kvf"}, "ORIG = '100,200' is read as 1 number(s): ',200' is ignored"},
        {"ORIG = 100 200\nLOW_LIMIT = -3.5\n", {"img.kvf"}, nullptr},
        // dark or flat that no image follows
        {"", {"img.kvf", "D=img.kvf"}, "D=img.kvf comes after the last image and applies to no image"},
        {"",
         {"F=img.kvf", "img.kvf", "%A1", "F=NONE"},
         "F=NONE comes after the last image and applies to no image"},
        {"", {"D=img.kvf", "img.kvf"}, nullptr},
        {"",
         {},
         "F=img.kvf comes after the last image and applies to no image",
         "zandor",
         "img.kvf\nF=img.kvf\n"},
        // output directories checked before any work
        {"OUT = missing/\n", {"img.kvf"}, "OUT directory 'missing/' does not exist: writing there will fail"},
        {"OUT = img.kvf\n",
         {"img.kvf"},
         "OUT directory 'img.kvf' is not a directory: writing there will fail"},
        {"OUT = outdir\n", {"img.kvf", "%Xa.kvf"}, nullptr},
        {"",
         {"img.kvf", "%X=nodir/a.kvf"},
         "output directory 'nodir/' does not exist: writing there will fail",
         "zandor",
         "",
         3},
        {"", {"img.kvf", "%Xoutdir/a.kvf"}, nullptr},
        // options of one image word
        {"", {"img.kvf,B1,B1"}, "option B given twice for 'img.kvf': the last one, B1, is used"},
        {"",
         {"img.kvf,A1,M1"},
         "options A and M exclude each other for 'img.kvf': the last one, M1, is used"},
        {"", {"img.kvf,,X"}, "options ',X' after an empty option are ignored for 'img.kvf'"},
        {"", {"img.kvf,B1,E1,X,U1"}, nullptr},
        {"",
         {"img.kvf", "%Xfirst.kvf", "img.kvf,B1,B1"},
         "option B given twice for 'img.kvf': the last one, B1, is used"},
        {"DARK_NAME = img.kvf,E1,E1\n",
         {"img.kvf"},
         "option E given twice for 'img.kvf': the last one, E1, is used"},
        // transform rules that do not group as written
        {"", {"img.kvf", "%Xfirst.kvf", "%T=x-1-1"}, "rule 'x-1-1' reads as x-(1-1); write (x-1)-1 for x-2"},
        {"RAD_X = 8/2/2\n", {"img.kvf", "%R"}, "rule '8/2/2' reads as 8/(2/2); write (8/2)/2 for 8/4"},
        {"RAD_X = 8/2/2\n", {"img.kvf"}, nullptr},
    };
    for (const WarningCase& c : cases) {
        const std::string label = std::string(c.settings) + " | " + (c.words.empty() ? c.input : c.words[0]);
        zt::write_file("zandor.ini", c.settings);
        zt::write_file("zandor_stat.ini", c.settings);
        const zt::RunResult loud = run_zandor(cwd(), c.words, c.input, c.program);
        ASSERT_EQ(loud.status, c.status) << label << loud.err;
        const std::vector<std::string> warned = warning_lines(loud.err);
        if (c.expected) {
            ASSERT_EQ(warned.size(), 1u) << label << loud.err;
            EXPECT_EQ(warned[0], std::string(" warning : ") + c.expected) << label;
        } else {
            EXPECT_TRUE(warned.empty()) << label << loud.err;
        }

        // The same run with the warnings off: not one, and the same stdout
        // but for the echo of the key.
        zt::write_file("zandor.ini", std::string("QUIET_WARNINGS = 1\n") + c.settings);
        zt::write_file("zandor_stat.ini", std::string("QUIET_WARNINGS = 1\n") + c.settings);
        const zt::RunResult quiet = run_zandor(cwd(), c.words, c.input, c.program);
        ASSERT_EQ(quiet.status, c.status) << label << quiet.err;
        EXPECT_EQ(quiet.err.find("warning"), std::string::npos) << label << quiet.err;
        std::string quiet_out = without_clock_lines(quiet.out);
        const std::string echo = " QUIET_WARNINGS= 1\n";
        const size_t at = quiet_out.find(echo);
        ASSERT_NE(at, std::string::npos) << label;
        quiet_out.erase(at, echo.size());
        EXPECT_EQ(quiet_out, without_clock_lines(loud.out)) << label;
        expect_strict_run(c, quiet, label);
    }
}

// QUIET_WARNINGS applies to the warnings of the lines before it, and a fatal
// report still comes after the warnings of the settings read so far.
TEST_F(Warnings, SettingsWarningsAreHeldUntilTheWholeFileIsRead) {
    zt::write_file("zandor.ini", "T_COSMC = 5\nQUIET_WARNINGS = 1\n");
    EXPECT_TRUE(warning_lines(run_zandor(cwd(), {"%x"}).err).empty());

    zt::write_file("zandor.ini", "T_COSMC = 5\nFILE = missing.ini\n");
    const zt::RunResult r = run_zandor(cwd(), {"%x"});
    EXPECT_EQ(r.status, 3);
    const size_t warning = r.err.find(" warning : settings key T_COSMC");
    const size_t fatal = r.err.find("unable to open file missing.ini");
    ASSERT_NE(warning, std::string::npos) << r.err;
    ASSERT_NE(fatal, std::string::npos) << r.err;
    EXPECT_LT(warning, fatal);
}

} // namespace
