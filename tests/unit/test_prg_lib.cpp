#include "fatal_capture.hpp"
#include "prg_lib.hpp"
#include "test_support.hpp"
#include "xy_lib.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

IniTag tag_of(const std::string& line) {
    IniTag tag;
    EXPECT_TRUE(prg_initag(line, tag)) << line;
    return tag;
}

TEST(FileNameRules, BaseNameCutsDirectoryAndFirstDot) {
    EXPECT_EQ(prg_basename("/a/b.c.d"), "b");
    EXPECT_EQ(prg_basename("img_0001.kvf"), "img_0001");
    EXPECT_EQ(prg_basename("out/"), "");
    EXPECT_EQ(prg_basename("back\\slash.x"), "back\\slash");
}

TEST(FileNameRules, PathAndExtension) {
    EXPECT_EQ(prg_pathname("b.c"), "");
    EXPECT_EQ(prg_pathname("/data/run/x.kvf"), "/data/run/");
    EXPECT_EQ(prg_extname("run.kvf.old"), ".kvf.old");
    EXPECT_EQ(prg_extname("noext"), "");
}

TEST(FileNameRules, OutputNameTakesDirectoryAndBaseFromTheRightPlace) {
    EXPECT_EQ(prg_outname("", "/data/img_0001.kvf", ".cosmic", "/res"), "/res/img_0001.cosmic");
    EXPECT_EQ(prg_outname("", "/data/img_0001.kvf", ".cosmic", ""), "img_0001.cosmic");
    EXPECT_EQ(prg_outname("out/", "run.gel", "", ""), "out/run");
    EXPECT_EQ(prg_outname("x.gel", "run.gel", "", ""), "x");
    EXPECT_EQ(prg_outname(".gel", "run.gel", "", ""), "run");
    EXPECT_EQ(prg_outname("", "a.kvf", "", "res"), "res/a");
    // Names of any length are handled whole (300 characters here).
    const std::string long_dir(300, 'd');
    EXPECT_EQ(prg_outname(long_dir + "/n.kvf", "", ".x", ""), long_dir + "/n.x");
}

TEST(FileNameRules, ResultNameCutsTheExtensionFromTheLastDot) {
    EXPECT_EQ(prg_result_name("", "scan.v2.kvf", ".rad"), "scan.v2.rad");
    EXPECT_EQ(prg_result_name("res", "/data.d/scan.v3.kvf", "df.rad"), "res/scan.v3df.rad");
    EXPECT_EQ(prg_result_name("res/", "data.d/scan", ".pks"), "res/scan.pks");
    EXPECT_EQ(prg_result_name("", ".hidden", ".map"), ".map");
}

TEST(IntegerText, LeadingIntegerReadsLikeStrtollAndTellsTheRange) {
    struct Case {
        const char* text;
        bool found;
        bool fits32;
        int64_t value;
        int consumed;
    };
    const Case cases[] = {
        {"  12abc", true, true, 12, 4},
        {"-2147483648", true, true, INT32_MIN, 11},
        {"+2147483647 ", true, true, INT32_MAX, 11},
        {"2147483648", true, false, 2147483648LL, 10},
        {"-2147483649", true, false, -2147483649LL, 11},
        {"99999999999999999999", true, false, LLONG_MAX, 20},
        {"+", false, false, 0, 0},
        {"", false, false, 0, 0},
        {"x1", false, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        errno = EINVAL;
        const LeadingInteger n = leading_integer(c.text);
        EXPECT_EQ(n.found, c.found);
        EXPECT_EQ(n.fits32, c.fits32);
        EXPECT_EQ(n.value, c.value);
        EXPECT_EQ(n.consumed, c.consumed);
        EXPECT_EQ(errno, 0); // a range error is not a system error for a later report
        int32_t v = 77;
        int used = -1;
        EXPECT_EQ(scan_int32(c.text, v, &used), c.fits32);
        EXPECT_EQ(v, c.fits32 ? c.value : 77);
        EXPECT_EQ(used, c.fits32 ? c.consumed : -1);
    }
}

TEST(IntegerText, ContainsFindsAPartAnywhereAndIsCaseSensitive) {
    EXPECT_TRUE(contains("out.tif.old", ".tif"));
    EXPECT_TRUE(contains("x", ""));
    EXPECT_FALSE(contains("OUT.TIF", ".tif"));
    EXPECT_FALSE(contains("", "a"));
}

TEST(SettingsLineSyntax, KeyAndValueAreTrimmed) {
    IniTag t = tag_of("   DIR   =   /data/run1/   # a comment");
    EXPECT_EQ(t.key, "DIR");
    EXPECT_EQ(t.value, "/data/run1/");
    EXPECT_TRUE(t.has_value);
    EXPECT_EQ(tag_of("X_MIN=10").value, "10");
    EXPECT_EQ(tag_of("X_MIN = 10").key, "X_MIN");
    EXPECT_EQ(tag_of("KEY =    ").value, "");
    EXPECT_EQ(tag_of("A = b = c").value, "b = c");
}

TEST(SettingsLineSyntax, TabsAreOrdinaryCharactersAndCommentsAreIgnored) {
    EXPECT_EQ(tag_of("X_MIN\t= 10").key, "X_MIN\t");
    IniTag t;
    EXPECT_FALSE(prg_initag("# X_MIN = 10", t));
    EXPECT_FALSE(prg_initag("     ", t));
    EXPECT_FALSE(prg_initag(" = value", t));
    IniTag no_value = tag_of("X_MIN");
    EXPECT_FALSE(no_value.has_value);
}

TEST(TypedGetters, ConversionFailureKeepsThePreviousValue) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int32_t i = 5;
    EXPECT_TRUE(prg_iniint(tag_of("N = abc"), "N", i));
    EXPECT_EQ(i, 5);
    EXPECT_TRUE(prg_iniint(tag_of("N = 12"), "N", i));
    EXPECT_EQ(i, 12);
    EXPECT_TRUE(prg_iniint(tag_of("N = 99999999999"), "N", i));
    EXPECT_EQ(i, 12);
    EXPECT_TRUE(prg_iniint(tag_of("N = -2147483648"), "N", i));
    EXPECT_EQ(i, INT_MIN);
    EXPECT_FALSE(prg_iniint(tag_of("M = 3"), "N", i));
    float f = 1.5f;
    EXPECT_TRUE(prg_iniflt(tag_of("F = x"), "F", f));
    EXPECT_EQ(f, 1.5f);
    EXPECT_TRUE(prg_iniflt(tag_of("F = 2.25"), "F", f));
    EXPECT_EQ(f, 2.25f);
    double d[3] = {7, 8, 9};
    EXPECT_TRUE(prg_inidbln(tag_of("D = 1 2"), "D", d, 3));
    EXPECT_EQ(d[0], 1);
    EXPECT_EQ(d[1], 2);
    EXPECT_EQ(d[2], 9);
    std::string s = "old";
    EXPECT_TRUE(prg_inistr(tag_of("S"), "S", s));
    EXPECT_EQ(s, "old");
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    // One warning for each number not read; none for the numbers read whole.
    EXPECT_EQ(err, " warning : N = 'abc' is not a whole number, N stays 5\n"
                   " warning : N = '99999999999' is beyond the 32-bit range, N stays 12\n"
                   " warning : F = 'x' is not a number, F stays 1.5\n");
    EXPECT_NE(out.find("          N= 5\n"), std::string::npos);
    EXPECT_NE(out.find("          F= 2.25\n"), std::string::npos);
}

TEST(EditDistance, CountsInsertionsDeletionsAndSubstitutionsIgnoringCase) {
    const struct {
        const char* a;
        const char* b;
        size_t edits; // with a limit of 2: 3 stands for "more than 2"
    } cases[] = {
        {"T_COSMIC", "T_COSMIC", 0},
        {"t_cosmic", "T_COSMIC", 0},
        {"T_COSMC", "T_COSMIC", 1},
        {"T_COSMICS", "T_COSMIC", 1},
        {"S_COSMIC", "T_COSMIC", 1},
        {"T_CSOMIC", "T_COSMIC", 2},
        {"RADIUSES", "RADIUS", 2},
        {"RADIUSESS", "RADIUS", 3},
        {"", "LOG", 3},
        {"", "", 0},
        {"XY", "YX", 2},
        {"ABCDEF", "UVWXYZ", 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(prg_edit_distance(c.a, c.b, 2), c.edits) << c.a << " / " << c.b;
        EXPECT_EQ(prg_edit_distance(c.b, c.a, 2), c.edits) << c.b << " / " << c.a;
    }
    EXPECT_EQ(prg_edit_distance("ABCDEF", "UVWXYZ", 10), 6u);
}

// A number read in part is used as far as it goes, and said so on stderr;
// a list with a stray character reports how many numbers it gave.
TEST(TypedGetters, PartlyReadNumbersWarnOnStderr) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    double c[6] = {};
    prg_inidblt(tag_of("GRID_XTAB = 0 3 1.5;2.5"), "GRID_XTAB", c, 6);
    EXPECT_EQ(c[0], 1.5);
    EXPECT_EQ(c[1], 0.0);
    prg_inidblt(tag_of("GRID_XTAB = 0 2 1 2"), "GRID_XTAB", c, 6);
    float f = 0;
    prg_iniflt(tag_of("F = 2.5e"), "F", f);
    int32_t i = 0;
    prg_iniint(tag_of("N = -0X1f"), "N", i);
    const std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, " warning : GRID_XTAB = '0 3 1.5;2.5' is read as 3 number(s): ';2.5' is ignored\n"
                   " warning : N = '-0X1f' is read as 0: hexadecimal is not read, write -31\n");
    EXPECT_EQ(f, 2.5f);
}

TEST(TypedGetters, DoubleListEchoWrapsEveryFourValues) {
    testing::internal::CaptureStdout();
    double ub[9] = {};
    prg_inidbln(tag_of("MAT_UB = 1 2 3 4 5 6 7 8 9"), "MAT_UB", ub, 9);
    const std::string out = testing::internal::GetCapturedStdout();
    std::string expected = "     MAT_UB=";
    for (int i = 1; i <= 9; ++i) {
        if (i == 5 || i == 9) expected += "\n        ...=";
        expected += prg_format(" %14lg ", static_cast<double>(i));
    }
    expected += "\n";
    EXPECT_EQ(out, expected);
}

TEST(TypedGetters, IndexedDoublesStoreARangeAndRefuseOneOutside) {
    testing::internal::CaptureStdout();
    double c[6] = {};
    prg_inidblt(tag_of("GRID_XTAB = 2 3 1.5 2.5 3.5"), "GRID_XTAB", c, 6);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(c[2], 1.5);
    EXPECT_EQ(c[4], 3.5);
    EXPECT_EQ(out, prg_format("  GRID_XTAB=  2  3 %14lg  %14lg  %14lg \n", 1.5, 2.5, 3.5));
    testing::internal::CaptureStderr();
    EXPECT_THROW(prg_inidblt(tag_of("GRID_XTAB = 4 3 1 2 3"), "GRID_XTAB", c, 6), Fatal);
    testing::internal::GetCapturedStderr();
}

TEST(NameHelpers, GetNameSkipsBlanksAndEquals) {
    EXPECT_EQ(prg_get_name("%X", "%X= out.kvf rest"), "out.kvf");
    EXPECT_EQ(prg_get_names("%X", "%X= out.kvf rest"), "out.kvf rest");
    EXPECT_EQ(prg_get_name("%Xlonger", "%X"), "");
}

TEST(HomeExpansion, TildeSlashUsesHomeAndOtherFormsAreFatal) {
    const char* old = std::getenv("HOME");
    const std::string saved = old ? old : "";
    ::setenv("HOME", "/home/x", 1);
    EXPECT_EQ(prg_home_name("~/a.ini"), "/home/x/a.ini");
    EXPECT_EQ(prg_home_name("a~/b"), "a~/b");
    EXPECT_NE(zt::fatal_report([] {
                  prg_home_name("~bob/a.ini");
              }).find("unable to expand file name '~bob/a.ini' for other users"),
              std::string::npos);
    ::unsetenv("HOME");
    EXPECT_NE(zt::fatal_report([] { prg_home_name("~/a.ini"); }).find("HOME is not set"), std::string::npos);
    if (old) ::setenv("HOME", saved.c_str(), 1);
}

// The report travels in the exception, whole; nothing is written on the way.
TEST(FatalReport, ExceptionCarriesTheOneLineReportWithErrnoOnlyWhenSet) {
    const struct {
        int err;
        bool system_call;
        const char* text;
        const char* report;
    } cases[] = {
        {0, true, "message 4", " origin error : message 4, abort!\n\n"},
        {2, true, "unable to open 'x'", " origin error (errno=2) : unable to open 'x', abort!\n\n"},
        {2, false, "found in the data", " origin error : found in the data, abort!\n\n"},
        {0, false, "ends with its feed\n", " origin error : ends with its feed, abort!\n\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        errno = c.err;
        try {
            if (c.system_call)
                v_error("origin", "%s", c.text);
            else
                v_fatal("origin", "%s", c.text);
            ADD_FAILURE() << "no exception";
        } catch (const Fatal& f) {
            EXPECT_EQ(f.status, 3);
            EXPECT_STREQ(f.what(), c.report);
            EXPECT_EQ(f.origin, "origin");
            EXPECT_EQ(f.err, c.system_call ? c.err : 0);
            EXPECT_EQ(f.message, c.text);
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    errno = 0;
}

TEST(Allocation, HugeRequestEndsTheRunWithTheAllocationReport) {
    const std::string err =
        zt::fatal_report([] { prg_alloc<int32_t>("xy_lib", "img->data", UINT64_MAX / 2); });
    EXPECT_NE(err.find(" ../xy32lib/prg_lib error"), std::string::npos);
    EXPECT_NE(err.find(" :  xy_lib : allocating memory : img->data "), std::string::npos);
    EXPECT_NE(err.find(" 18446744073709551612, abort!\n\n"), std::string::npos) << err;
}

// Scratch buffers on either side of the size taken as mapped pages: they hold
// what is written, grow keeping it, and a huge one gets the allocation report.
TEST(Allocation, ScratchBuffersOfEverySizeHoldWhatIsWritten) {
    const size_t large = kPrgLargeBytes / sizeof(int32_t);
    for (const size_t n : {size_t{1}, large - 1, large, large + 1}) {
        ScratchVector<int32_t> v = prg_alloc<int32_t, ScratchVector<int32_t>>("test", "scratch", n);
        ASSERT_EQ(v.size(), n);
        for (size_t i = 0; i < n; ++i)
            v[i] = static_cast<int32_t>(i * 7);
        if (n >= large) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(v.data()) % 4096, 0u) << n;
        }
        v.resize(n + large);
        for (size_t i = 0; i < n; i += 997)
            ASSERT_EQ(v[i], static_cast<int32_t>(i * 7)) << n << " " << i;
    }
    EXPECT_NE(zt::fatal_report([] {
                  prg_alloc<int32_t, ScratchVector<int32_t>>("xy_lib", "scratch", UINT64_MAX / 8);
              }).find(" :  xy_lib : allocating memory : scratch "),
              std::string::npos);
}

TEST(Messages, LongMessagesAreNotCut) {
    const std::string long_text(1000, 'q');
    EXPECT_EQ(prg_format("<%s>", long_text.c_str()).size(), 1002u);
}

class AtomicOutput : public zt::InTempDir {};

TEST_F(AtomicOutput, FailedWriteKeepsThePreviousFile) {
    zt::write_file("target.bin", "previous");
    {
        AtomicOutFile out("target.bin");
        ASSERT_TRUE(out.is_open());
        std::fputs("new contents", out.get());
        // Not committed: the destructor drops the temporary file.
    }
    EXPECT_EQ(zt::read_file("target.bin"), "previous");
    {
        AtomicOutFile out("target.bin");
        std::fputs("new contents", out.get());
        EXPECT_TRUE(out.commit());
    }
    EXPECT_EQ(zt::read_file("target.bin"), "new contents");
    AtomicOutFile nowhere("no/such/dir/file");
    EXPECT_FALSE(nowhere.is_open());
}

} // namespace

// A caller's sink gets every message of the engine by its kind; nothing
// reaches the standard streams, and the log still gets the report lines.
TEST(MessageSink, EngineMessagesReachTheCallersSinkByKind) {
    struct Recorder : MessageSink {
        std::string reports, screens, notices, progresses;
        void report(std::string_view t) override { reports += t; }
        void screen(std::string_view t) override { screens += t; }
        void notice(std::string_view t) override { notices += t; }
        void progress(const char* what, int64_t done, int64_t total) override {
            progresses += prg_format("%s %lld/%lld;", what, static_cast<long long>(done),
                                     static_cast<long long>(total));
        }
    } sink;
    prg_set_sink(&sink);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    prg_printf("# line %d\n", 1);
    IMG img;
    img.name = "a";
    xy_fputinfo(stdout, img);
    int32_t value = 0;
    prg_iniint(tag_of("T_COSMIC = 5"), "T_COSMIC", value);
    prg_warning("careful");
    prg_progress("frames", 3, 4);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    zt::use_standard_streams();
    EXPECT_EQ(out + err, "");
    EXPECT_EQ(sink.reports, "# line 1\n# a : 0 frame(s), mean 0.0 sigma 0.0 [0@0*0 - 0@0*0] 0!=0, 0 used\n");
    EXPECT_EQ(sink.screens, "   T_COSMIC= 5\n");
    EXPECT_EQ(sink.notices, " warning : careful\n");
    EXPECT_EQ(sink.progresses, "frames 3/4;");
}
