#include "fatal_capture.hpp"
#include "xy_transfo.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

namespace {

struct EvalCase {
    const char* rule;
    double x, y, expected;
};

class RuleValue : public ::testing::TestWithParam<EvalCase> {};

TEST_P(RuleValue, EvaluatesWithItsGrouping) {
    const EvalCase& c = GetParam();
    testing::internal::CaptureStderr();
    const RuleTree tree = rule_analyse(c.rule);
    const double v = rule_evaluate(tree, c.x, c.y);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(tree.syntax_errors, 0) << c.rule;
    if (std::isnan(c.expected))
        EXPECT_TRUE(std::isnan(v)) << c.rule;
    else
        EXPECT_DOUBLE_EQ(v, c.expected) << c.rule << " at " << c.x << "," << c.y;
}

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Language, RuleValue,
    ::testing::Values(
        // "-" and "/" chains group to the right; parentheses restore the left grouping
        EvalCase{"x-1-1", 7, 0, 7}, EvalCase{"(x-1)-1", 7, 0, 5}, EvalCase{"8/2/2", 0, 0, 8},
        EvalCase{"(8/2)/2", 0, 0, 2}, EvalCase{"2^3^2", 0, 0, 512}, EvalCase{"x-1+1", 5, 0, 5},
        EvalCase{"x-2+1", 5, 0, 4}, EvalCase{"2*3/6", 0, 0, 1}, EvalCase{"6/3*2", 0, 0, 4},
        EvalCase{"1+2*3^2", 0, 0, 19}, EvalCase{"0-3", 0, 0, -3}, EvalCase{"(0-3)*x", 2, 0, -6},
        // logic and comparisons yield exactly 0 or 1
        EvalCase{"x>1 && y<3", 2, 2, 1}, EvalCase{"x>1 && y<3", 2, 3, 0}, EvalCase{"x>1 & y<3", 1, 0, 0},
        EvalCase{"x | 0", 5, 0, 1}, EvalCase{"x || 0", 0, 0, 0}, EvalCase{"x|y", 0, 2, 1},
        EvalCase{"!x+1", 0 - 1, 0, 1}, EvalCase{"!x+1", 3, 0, 0}, EvalCase{"!x==y", 0, 1, 1},
        EvalCase{"x>=1==y", 2, 0, 1}, EvalCase{"x>=1==y", 2, 1, 1}, EvalCase{"x!=y", 1, 2, 1},
        EvalCase{"x=y", 2, 2, 1}, EvalCase{"x==y", 2, 3, 0}, EvalCase{"x<=y", 3, 3, 1},
        EvalCase{"x<y", 3, 3, 0}, EvalCase{"x>y", 4, 3, 1},
        // "&&" binds tighter than "||" without parentheses
        EvalCase{"x || y && 0", 1, 0, 1}, EvalCase{"0 && 1 || 1", 0, 0, 1}, EvalCase{"1 || 0 && 0", 0, 0, 1},
        EvalCase{"x && y || !x", 0, 5, 1}, EvalCase{"x | y & 0", 1, 0, 1},
        // functions, blanks and enclosing parentheses
        EvalCase{"SQRT(x*x+y*y)", 3, 4, 5}, EvalCase{"ABS(x-y)*2", 1, 4, 6},
        EvalCase{"EXP(0)+LOG(1)", 0, 0, 1}, EvalCase{"SQRT(x)*2", 9, 0, 6}, EvalCase{" (( x ))", 4, 0, 4},
        EvalCase{"((x))", 4, 0, 4}, EvalCase{"SQRT(0-1)", 0, 0, kNaN}, EvalCase{"1/x", 0, 0, kInf},
        // literals: integers beyond 32 bits keep their value; z and pixel references are 0
        EvalCase{"12345678901", 0, 0, 12345678901.0}, EvalCase{"99999999999999999999", 0, 0, 1e20},
        EvalCase{".5+3e2", 0, 0, 300.5}, EvalCase{"z+Z+w+x", 1, 0, 1}));

struct KindCase {
    const char* rule;
    int32_t root;
};

class RuleKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(RuleKind, RootHasTheOperatorKind) {
    const RuleTree tree = rule_analyse(GetParam().rule);
    EXPECT_EQ(tree.root_oper(), GetParam().root) << GetParam().rule;
    EXPECT_EQ(tree.syntax_errors, 0);
}

INSTANTIATE_TEST_SUITE_P(Language, RuleKind,
                         ::testing::Values(KindCase{"3", OPER_P_NUM}, KindCase{"3.5", OPER_P_FLOAT},
                                           KindCase{"3.0", OPER_P_FLOAT}, KindCase{"3e2", OPER_P_FLOAT},
                                           KindCase{".5", OPER_P_FLOAT}, KindCase{"4294967296", OPER_P_NUM},
                                           KindCase{"Z", OPER_P_PIX}, KindCase{"w", OPER_P_PIX},
                                           KindCase{"z", OPER_P_Z}, KindCase{"((x))", OPER_P_X},
                                           KindCase{"x*2", OPER_N_MUL}, KindCase{"!y", OPER_L_NOT},
                                           KindCase{"x-1+y", OPER_N_ADD}, KindCase{"ABS(y)", OPER_N_ABS}));

struct SyntaxCase {
    const char* rule;
    const char* report; // everything written on stderr
    int32_t errors;
};

class RuleSyntax : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(RuleSyntax, IsReportedAndCountedWithoutStopping) {
    const SyntaxCase& c = GetParam();
    testing::internal::CaptureStderr();
    const RuleTree tree = rule_analyse(c.rule);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.report) << c.rule;
    EXPECT_EQ(tree.syntax_errors, c.errors) << c.rule;
    EXPECT_EQ(tree.root_oper(), OPER_NONE) << c.rule;
    EXPECT_EQ(rule_evaluate(tree, 3, 4), 0.0) << c.rule;
}

INSTANTIATE_TEST_SUITE_P(
    Language, RuleSyntax,
    ::testing::Values(
        SyntaxCase{"(x) ",
                   "syntax error in '(x) ' : unknown primitive  '(x) '\n"
                   "syntax error in '(x) ' : unresolved sentence  '(x) '\n",
                   2},
        SyntaxCase{"SQRT (x)", "syntax error in 'SQRT (x)' : missing parenthesis 'SQRT'\n", 1},
        SyntaxCase{"SQRT", "syntax error in 'SQRT' : empty right operand of 'SQRT'\n", 1},
        SyntaxCase{"x+", "syntax error in 'x+' : empty right operand of '+'\n", 1},
        SyntaxCase{"*x", "syntax error in '*x' : empty left operand of '*'\n", 1},
        SyntaxCase{"-3", "syntax error in '-3' : empty left operand of '-'\n", 1},
        SyntaxCase{"!", "syntax error in '!' : empty right operand of '!'\n", 1},
        SyntaxCase{"A",
                   "syntax error in 'A' : unknown primitive  'A'\n"
                   "syntax error in 'A' : unresolved sentence  'A'\n",
                   2},
        SyntaxCase{"X",
                   "syntax error in 'X' : unknown primitive  'X'\n"
                   "syntax error in 'X' : unresolved sentence  'X'\n",
                   2},
        SyntaxCase{"((x2))",
                   "syntax error in '((x2))' : unexpected char  '2'\n"
                   "syntax error in '((x2))' : unresolved sentence  'x2'\n",
                   2},
        SyntaxCase{"(x+1", "syntax error in '(x+1' : is_enclosed, unbalanced parenthesis in '(x+1'\n", 1},
        SyntaxCase{"",
                   "syntax error in '' : unknown primitive  ''\n"
                   "syntax error in '' : unresolved sentence  ''\n",
                   2}));

// An error inside an operand names that operand; nothing after the first
// error is analysed or reported, and the nodes built so far stay.
TEST(RuleSyntax, ErrorInAnOperandKeepsThePartBuiltBefore) {
    testing::internal::CaptureStderr();
    const RuleTree tree = rule_analyse("x+(2*)+y2");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "syntax error in '(2*)' : empty right operand of '*'\n");
    EXPECT_EQ(tree.syntax_errors, 1);
    EXPECT_EQ(tree.root_oper(), OPER_N_ADD);
    EXPECT_EQ(rule_evaluate(tree, 5, 0), 5.0); // x + (empty) + (not analysed)
}

TEST(RuleSyntax, EachAnalysisCountsItsOwnErrors) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(rule_analyse("x+").syntax_errors, 1);
    EXPECT_EQ(rule_analyse("(x) ").syntax_errors, 2);
    const RuleTree good = rule_analyse("x*2");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(good.syntax_errors, 0);
    EXPECT_EQ(rule_evaluate(good, 21, 0), 42.0);
}

struct WarningCase {
    const char* rule;
    const char* warning;
};

class RuleChainWarning : public ::testing::TestWithParam<WarningCase> {};

TEST_P(RuleChainWarning, RightGroupedChainIsWarnedOnce) {
    testing::internal::CaptureStderr();
    rule_analyse(GetParam().rule);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), GetParam().warning) << GetParam().rule;
}

INSTANTIATE_TEST_SUITE_P(
    Language, RuleChainWarning,
    ::testing::Values(
        WarningCase{"x-1-1", " warning : rule 'x-1-1' reads as x-(1-1); write (x-1)-1 for x-2\n"},
        WarningCase{"8/2/2", " warning : rule '8/2/2' reads as 8/(2/2); write (8/2)/2 for 8/4\n"},
        WarningCase{
            "x - y - 1 - 2",
            " warning : rule 'x - y - 1 - 2' reads as x-(y-1 - 2); write (x-y)-1 - 2 for a left-to-right "
            "reading\n"},
        WarningCase{"(x-1)-1", ""}, WarningCase{"x-(1-1)", ""}, WarningCase{"x-1+1", ""},
        WarningCase{"x*2/4", ""}, WarningCase{"2^3^2", ""}));

struct CleanCase {
    const char* text;
    const char* cleaned;
};

class RuleClean : public ::testing::TestWithParam<CleanCase> {};

TEST_P(RuleClean, QuotesAndLeadingEqualsAreDropped) {
    EXPECT_EQ(rule_clean(GetParam().text), GetParam().cleaned);
}

INSTANTIATE_TEST_SUITE_P(Language, RuleClean,
                         ::testing::Values(CleanCase{"=\"x*2\"", "x*2"}, CleanCase{"'x*2'", "x*2"},
                                           CleanCase{"x*2", "x*2"}, CleanCase{"=x*2", "x*2"},
                                           CleanCase{"\"x*2", "x*2"}, CleanCase{"\"x\" junk", "x"},
                                           CleanCase{"==x", "=x"}, CleanCase{"\"'y'\"", "y"}));

// Runs `work` on a thread with a small stack, bound to the caller's job:
// input-sized recursion would overflow it long before the inputs below are done.
void on_small_stack(const std::function<void()>& work) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    pthread_t thread;
    ProgramState& state = prg_state();
    const std::function<void()> bound_work = [&] {
        const ProgramScope bind(state);
        work();
    };
    auto body = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&bound_work)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

std::string repeated(const std::string& piece, int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += piece;
    return s;
}

TEST(RuleDepth, DeepNestingAndLongChainsNeedNoStack) {
    const int n = 100000;
    struct Case {
        std::string rule;
        double expected;
    };
    const Case cases[] = {
        {repeated("(", n) + "x" + repeated(")", n), 3.0},
        {"x" + repeated("+1", n), 3.0 + n},
        {"x" + repeated("-1", n), 3.0}, // right-grouped: alternating signs cancel for an even count
        {repeated("ABS(", n) + "x" + repeated(")", n), 3.0},
        {repeated("!", n) + "x", 1.0},
        {repeated("(x+", n) + "1" + repeated(")", n), 3.0 * n + 1},
        {repeated("1^", n) + "x", 1.0},
    };
    double values[sizeof cases / sizeof cases[0]];
    int32_t errors[sizeof cases / sizeof cases[0]];
    testing::internal::CaptureStderr();
    on_small_stack([&] {
        for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
            const RuleTree tree = rule_analyse(cases[i].rule);
            errors[i] = tree.syntax_errors;
            values[i] = rule_evaluate(tree, 3.0, 0.0);
        }
    });
    testing::internal::GetCapturedStderr();
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        EXPECT_EQ(errors[i], 0) << "case " << i;
        EXPECT_DOUBLE_EQ(values[i], cases[i].expected) << "case " << i;
    }
}

TEST(RuleDepth, DeepUnbalancedRuleIsRefusedWhole) {
    const std::string rule = repeated("(", 100000) + "x" + repeated(")", 99999);
    testing::internal::CaptureStderr();
    int32_t errors = -1;
    int32_t root = -1;
    on_small_stack([&] {
        const RuleTree tree = rule_analyse(rule);
        root = tree.root_oper();
        errors = tree.syntax_errors;
    });
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(root, OPER_NONE);
    EXPECT_NE(err.find("is_enclosed, unbalanced parenthesis in"), std::string::npos);
}

class RuleSlots : public ::testing::Test {
  protected:
    CoordinateRules slots;
};

TEST_F(RuleSlots, EachAxisKeepsItsCleanedRule) {
    std::string rx = "=\"x*2\"";
    std::string ry = "'y+x'";
    ini_transfo_coord(slots, rx, 0);
    ini_transfo_coord(slots, ry, 3);
    EXPECT_EQ(rx, "x*2");
    EXPECT_EQ(ry, "y+x");
    EXPECT_EQ(transfo_coord(slots, 0, 4, 5), 8.0);
    EXPECT_EQ(density_coord(slots, 3, 4, 5), 9.0);
    EXPECT_EQ(transfo_coord(slots, 1, 4, 5), 0.0); // never filled
    std::string again = "x-y";
    ini_transfo_coord(slots, again, 0);
    end_transfo_coord();
    EXPECT_EQ(transfo_coord(slots, 0, 4, 5), -1.0);
    reset_transfo_coord(slots);
    EXPECT_EQ(transfo_coord(slots, 0, 4, 5), 0.0);
}

TEST_F(RuleSlots, AxisOutsideTheFourSlotsStops) {
    std::string rule = "x";
    const std::string err = zt::fatal_report([&] { ini_transfo_coord(slots, rule, 4); });
    EXPECT_NE(err.find("../xy32lib/xy_transfo error : invalid axe reference in ini_transfo_coord, abort!"),
              std::string::npos)
        << err;
}

TEST_F(RuleSlots, TransfoImageReportsTheRuleAndLeavesTheImage) {
    IMG img;
    std::string rule = "=\"x*2\"";
    EXPECT_NE(zt::fatal_report([&] { transfo_image(rule, img); }).find("no data to process"),
              std::string::npos);
    img.data = {1, 2, 3};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    transfo_image(rule, img);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "name 'x*2' rule 12\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n-------------- name='x*2'\n");
    EXPECT_EQ(img.data, (std::vector<int32_t>{1, 2, 3}));
}

} // namespace
