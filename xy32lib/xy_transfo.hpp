// Transform rules: a small expression language over the pixel coordinates x
// and y. A rule is analysed once into an expression tree and evaluated for any
// coordinate pair. Four axis slots hold the rules of the radial distribution
// (0: X position, 1: Y position, 2: X density, 3: Y density).
//
// Precedence, loosest first: || |, && &, >= <= != == = > <, prefix !, + -,
// * /, ^, prefix -, the functions LOG EXP ABS SQRT, then the primitives.
// Every binary operator splits at its first occurrence outside parentheses,
// so all of them group to the right: x-1-1 is x-(1-1) and 8/2/2 is 8/(2/2).
#pragma once

#include "xy_lib.hpp"

#include <cstdint>
#include <string>
#include <vector>

enum RuleOper : int32_t {
    OPER_NONE = 0, // empty node: nothing recognised, or an analysis that failed
    OPER_L_NOT = 1,
    OPER_L_AND = 2,
    OPER_L_OR = 3,
    OPER_N_EQ = 4,
    OPER_N_NE = 5,
    OPER_N_GT = 6,
    OPER_N_GE = 7,
    OPER_N_LT = 8,
    OPER_N_LE = 9,
    OPER_N_ADD = 10,
    OPER_N_SUB = 11,
    OPER_N_MUL = 12,
    OPER_N_DIV = 13,
    OPER_N_MOD = 14, // no written form
    OPER_N_POW = 15,
    OPER_N_NEG = 16,
    OPER_P_X = 17,
    OPER_P_Y = 18,
    OPER_P_Z = 19,     // recognised, no value (0)
    OPER_P_NUM = 20,   // integer literal
    OPER_P_FLOAT = 21, // any other numeric literal
    OPER_P_PIX = 22,   // pixel reference: recognised, no value (0)
    OPER_N_LOG = 23,
    OPER_N_EXP = 24,
    OPER_N_ABS = 25,
    OPER_N_SQRT = 26,
    OPER_COUNT = 27,
};

extern const char* const rule_name[OPER_COUNT];

// One node of a rule tree; operands are indices into RuleTree::nodes (-1: none).
struct RuleNode {
    int32_t oper = OPER_NONE;
    int32_t left = -1;
    double value = 0.0;
    int32_t right = -1;
};

// A rule analysed once. The nodes live in one array (node 0 is the root) so
// that neither building nor releasing a deep tree recurses; `program` is the
// tree in postfix order, which the evaluator runs on a value stack.
struct RuleTree {
    std::vector<RuleNode> nodes;
    std::vector<int32_t> program;
    mutable std::vector<double> stack; // evaluation scratch, sized at analysis
    int32_t syntax_errors = 0;         // reported by the analysis that built the tree
    int32_t root_oper() const { return nodes.empty() ? OPER_NONE : nodes[0].oper; }
    bool empty() const { return nodes.empty(); }
};

// Rule text clean-up: one leading "=" is skipped, then a text in double
// quotes, then in single quotes, is taken without them (up to the closing
// quote when there is one).
std::string rule_clean(const std::string& text);

// Analyses `text` into a tree. Syntax errors are reported on stderr and never
// stop the run; the tree keeps what was built before the first error (nodes
// not built have OPER_NONE and evaluate to 0). The tree counts the errors of
// its analysis (syntax_errors). Any length and nesting depth is analysed in time
// and memory linear in the text, without recursion.
RuleTree rule_analyse(const std::string& text);
// The warning (without " warning : ") that analysing `text` gives, or "" when
// none; nothing is reported and no state changes.
std::string rule_warning(const std::string& text);
// Value of the tree at (x, y), in double precision; an empty tree gives 0.
double rule_evaluate(const RuleTree& tree, double x, double y);

// The four axis slots of a computation's coordinate rules: x, y, then the
// densities dx and dy.
struct CoordinateRules {
    static constexpr int32_t kAxes = 4;
    RuleTree axis[kAxes];
};
void ini_transfo_coord(CoordinateRules& rules, std::string& text, int32_t axis); // text is cleaned in place
double transfo_coord(const CoordinateRules& rules, int32_t axis, double x, double y);
double density_coord(const CoordinateRules& rules, int32_t axis, double x, double y);
void end_transfo_coord();
// Clears the slots.
void reset_transfo_coord(CoordinateRules& rules);

// The %T command: analyses the rule and reports it; the image is unchanged.
void transfo_image(std::string& text, const IMG& img);
