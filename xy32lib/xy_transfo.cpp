#include "xy_transfo.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

const char* const rule_name[OPER_COUNT] = {
    "OPER_NONE",    "OPER_L_NOT", "OPER_L_AND", "OPER_L_OR",  "OPER_N_EQ",  "OPER_N_NE",   "OPER_N_GT",
    "OPER_N_GE",    "OPER_N_LT",  "OPER_N_LE",  "OPER_N_ADD", "OPER_N_SUB", "OPER_N_MUL",  "OPER_N_DIV",
    "OPER_N_MOD",   "OPER_N_POW", "OPER_N_NEG", "OPER_P_X",   "OPER_P_Y",   "OPER_P_Z",    "OPER_P_NUM",
    "OPER_P_FLOAT", "OPER_P_PIX", "OPER_N_LOG", "OPER_N_EXP", "OPER_N_ABS", "OPER_N_SQRT",
};

namespace {

const char* const kSource = "../xy32lib/xy_transfo";

enum class Form { binary, prefix, function };

// The recognisers other than the primitive, in the order they are tried:
// that order is the precedence, loosest first.
struct Recogniser {
    Form form;
    const char* text;
    int32_t oper;
};
const Recogniser kRecognisers[] = {
    {Form::binary, "||", OPER_L_OR},     {Form::binary, "|", OPER_L_OR},
    {Form::binary, "&&", OPER_L_AND},    {Form::binary, "&", OPER_L_AND},
    {Form::binary, ">=", OPER_N_GE},     {Form::binary, "<=", OPER_N_LE},
    {Form::binary, "!=", OPER_N_NE},     {Form::binary, "==", OPER_N_EQ},
    {Form::binary, "=", OPER_N_EQ},      {Form::binary, ">", OPER_N_GT},
    {Form::binary, "<", OPER_N_LT},      {Form::prefix, "!", OPER_L_NOT},
    {Form::binary, "+", OPER_N_ADD},     {Form::binary, "-", OPER_N_SUB},
    {Form::binary, "*", OPER_N_MUL},     {Form::binary, "/", OPER_N_DIV},
    {Form::binary, "^", OPER_N_POW},     {Form::prefix, "-", OPER_N_NEG},
    {Form::function, "LOG", OPER_N_LOG}, {Form::function, "EXP", OPER_N_EXP},
    {Form::function, "ABS", OPER_N_ABS}, {Form::function, "SQRT", OPER_N_SQRT},
};
constexpr size_t kRecogniserCount = sizeof kRecognisers / sizeof kRecognisers[0];

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

int32_t arity(int32_t oper) {
    switch (oper) {
    case OPER_L_NOT:
    case OPER_N_NEG:
    case OPER_N_LOG:
    case OPER_N_EXP:
    case OPER_N_ABS:
    case OPER_N_SQRT:
        return 1;
    case OPER_L_AND:
    case OPER_L_OR:
    case OPER_N_EQ:
    case OPER_N_NE:
    case OPER_N_GT:
    case OPER_N_GE:
    case OPER_N_LT:
    case OPER_N_LE:
    case OPER_N_ADD:
    case OPER_N_SUB:
    case OPER_N_MUL:
    case OPER_N_DIV:
    case OPER_N_POW:
        return 2;
    default:
        return 0;
    }
}

// Turns a rule text into a tree. A node's text is a range [b, e) of the rule.
// Splitting at the first operator outside parentheses is answered from tables
// built once (parenthesis depth before every position, the partner of every
// opening parenthesis, each operator's positions sorted by depth), so that
// the work stays linear in the text whatever its nesting or chain length,
// and a work list replaces recursion.
class Analyser {
  public:
    // A silent analysis reports neither syntax errors nor the warning.
    Analyser(const std::string& text, bool silent) : s_(text), silent_(silent) {}

    RuleTree run() {
        build_tables();
        tree_.nodes.emplace_back();
        if (depth_[s_.size()] != 0) {
            report(0, static_cast<int32_t>(s_.size()), "is_enclosed, unbalanced parenthesis in", s_);
        } else {
            todo_.push_back({0, 0, static_cast<int32_t>(s_.size()), OPER_NONE, 0, 0});
            while (!todo_.empty() && errors_ == 0) {
                const Task task = todo_.back();
                todo_.pop_back();
                analyse_node(task);
            }
        }
        build_program();
        if (!warning_.empty() && !silent_) prg_warning("%s", warning_.c_str());
        return std::move(tree_);
    }
    int32_t errors() const { return errors_; }
    const std::string& warning() const { return warning_; }

  private:
    // For the right operand of a "-" or "/": that operator and the range of
    // its left operand (to warn about a right-grouped chain); else OPER_NONE.
    struct Task {
        int32_t node, b, e;
        int32_t chain_oper, chain_left_b, chain_left_e;
    };

    void build_tables() {
        const int32_t n = static_cast<int32_t>(s_.size());
        depth_.assign(n + 1, 0);
        partner_.assign(n, -1);
        std::vector<int32_t> open;
        for (int32_t i = 0; i < n; ++i) {
            depth_[i + 1] = depth_[i] + (s_[i] == '(') - (s_[i] == ')');
            if (s_[i] == '(') open.push_back(i);
            if (s_[i] == ')' && !open.empty()) {
                partner_[open.back()] = i;
                open.pop_back();
            }
        }
        for (size_t r = 0; r < kRecogniserCount; ++r) {
            if (kRecognisers[r].form != Form::binary) continue;
            auto& list = positions_[r];
            for (size_t at = s_.find(kRecognisers[r].text); at != std::string::npos;
                 at = s_.find(kRecognisers[r].text, at + 1))
                list.emplace_back(depth_[at], static_cast<int32_t>(at));
            std::sort(list.begin(), list.end());
        }
    }

    std::string text(int32_t b, int32_t e) const { return s_.substr(b, e - b); }

    void report(int32_t b, int32_t e, const char* reason, const std::string& what) {
        if (!silent_)
            prg_notice("syntax error in '%s' : %s '%s'\n", text(b, e).c_str(), reason, what.c_str());
        ++errors_;
    }

    int32_t new_node() {
        tree_.nodes.emplace_back();
        return static_cast<int32_t>(tree_.nodes.size() - 1);
    }

    void analyse_node(const Task& task) {
        // Strip leading blanks and enclosing parentheses.
        int32_t p = task.b;
        int32_t q = task.e;
        bool unwrapped = false;
        while (p < q) {
            if (s_[p] == '(' && partner_[p] == q - 1) {
                ++p;
                --q;
                unwrapped = true;
            } else if (is_blank(s_[p])) {
                ++p;
            } else {
                break;
            }
        }
        for (size_t r = 0; r < kRecogniserCount; ++r) {
            const Recogniser& rec = kRecognisers[r];
            bool taken = false;
            switch (rec.form) {
            case Form::binary:
                taken = try_binary(task, r, p, q, unwrapped);
                break;
            case Form::prefix:
                taken = try_prefix(task, rec, p, q);
                break;
            case Form::function:
                taken = try_function(task, rec, p, q);
                break;
            }
            if (taken) return;
        }
        if (!try_primitive(task, p, q)) report(task.b, task.e, "unresolved sentence ", text(p, q));
    }

    // First position of recogniser r's operator at the depth of p, within [p, q).
    int32_t find_operator(size_t r, int32_t p, int32_t q) const {
        const auto& list = positions_[r];
        const auto it = std::lower_bound(list.begin(), list.end(), std::make_pair(depth_[p], p));
        if (it == list.end() || it->first != depth_[p]) return -1;
        const int32_t len = static_cast<int32_t>(std::char_traits<char>::length(kRecognisers[r].text));
        return it->second + len <= q ? it->second : -1;
    }

    bool try_binary(const Task& task, size_t r, int32_t p, int32_t q, bool unwrapped) {
        const Recogniser& rec = kRecognisers[r];
        const int32_t at = find_operator(r, p, q);
        if (at < 0) return false;
        const int32_t right_b = at + static_cast<int32_t>(std::char_traits<char>::length(rec.text));
        if (at == p) {
            report(task.b, task.e, "empty left operand of", rec.text);
        } else if (right_b == q) {
            report(task.b, task.e, "empty right operand of", rec.text);
        } else {
            if (!unwrapped && rec.oper == task.chain_oper) note_chain(task, p, at, right_b, q, rec.text);
            set_binary(task.node, rec.oper, p, at, right_b, q);
        }
        return true;
    }

    void set_binary(int32_t node, int32_t oper, int32_t left_b, int32_t left_e, int32_t right_b,
                    int32_t right_e) {
        const int32_t left = new_node();
        const int32_t right = new_node();
        RuleNode& n = tree_.nodes[node];
        n.oper = oper;
        n.left = left;
        n.right = right;
        const int32_t chain = (oper == OPER_N_SUB || oper == OPER_N_DIV) ? oper : OPER_NONE;
        todo_.push_back({right, right_b, right_e, chain, left_b, left_e});
        todo_.push_back({left, left_b, left_e, OPER_NONE, 0, 0});
    }

    bool try_prefix(const Task& task, const Recogniser& rec, int32_t p, int32_t q) {
        if (p >= q || s_[p] != rec.text[0]) return false;
        if (p + 1 == q) {
            report(task.b, task.e, "empty right operand of", rec.text);
        } else {
            set_unary(task.node, rec.oper, p + 1, q);
        }
        return true;
    }

    bool try_function(const Task& task, const Recogniser& rec, int32_t p, int32_t q) {
        const int32_t len = static_cast<int32_t>(std::char_traits<char>::length(rec.text));
        if (q - p < len || s_.compare(p, len, rec.text) != 0) return false;
        if (p + len == q) {
            report(task.b, task.e, "empty right operand of", rec.text);
        } else if (s_[p + len] != '(') {
            report(task.b, task.e, "missing parenthesis", rec.text);
        } else {
            set_unary(task.node, rec.oper, p + len, q);
        }
        return true;
    }

    void set_unary(int32_t node, int32_t oper, int32_t b, int32_t e) {
        const int32_t operand = new_node();
        tree_.nodes[node].oper = oper;
        tree_.nodes[node].left = operand;
        todo_.push_back({operand, b, e, OPER_NONE, 0, 0});
    }

    // x, y, z, a pixel reference (one character from Z to ~) or a number,
    // followed by blanks only. False after reporting why not.
    bool try_primitive(const Task& task, int32_t p, int32_t q) {
        const std::string rest = text(p, q);
        size_t used = 0;
        RuleNode& n = tree_.nodes[task.node];
        const char c = rest.empty() ? '\0' : rest[0];
        if (c == 'x' || c == 'y' || c == 'z') {
            n.oper = c == 'x' ? OPER_P_X : c == 'y' ? OPER_P_Y : OPER_P_Z;
            used = 1;
        } else if (c >= 'Z' && c <= '~') {
            n.oper = OPER_P_PIX;
            used = 1;
        } else {
            char* end = nullptr;
            const double value = std::strtod(rest.c_str(), &end);
            used = static_cast<size_t>(end - rest.c_str());
            if (used == 0) {
                report(task.b, task.e, "unknown primitive ", rest);
                return false;
            }
            n.oper = is_integer_text(rest, used) ? OPER_P_NUM : OPER_P_FLOAT;
            n.value = value;
        }
        while (used < rest.size() && is_blank(rest[used]))
            ++used;
        if (used < rest.size()) {
            tree_.nodes[task.node].oper = OPER_NONE;
            tree_.nodes[task.node].value = 0.0;
            report(task.b, task.e, "unexpected char ", rest.substr(used));
            return false;
        }
        return true;
    }

    // An integer literal is what an integer conversion would read whole: an
    // optional sign and digits. Its value is kept as read in double precision,
    // also beyond 32 bits.
    static bool is_integer_text(const std::string& t, size_t len) {
        size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
        if (i == len) return false;
        for (; i < len; ++i)
            if (t[i] < '0' || t[i] > '9') return false;
        return true;
    }

    // A "-" or "/" whose right operand is itself an unparenthesised "-" or
    // "/" groups to the right (x-1-1 is x-(1-1)); users who meant the left
    // grouping are told once per rule.
    void note_chain(const Task& task, int32_t p, int32_t at, int32_t right_b, int32_t q, const char* op) {
        if (!warning_.empty()) return;
        const std::string a = trimmed(task.chain_left_b, task.chain_left_e);
        const std::string b = trimmed(p, at);
        const std::string c = trimmed(right_b, q);
        std::string meant = "a left-to-right reading";
        char* end_b = nullptr;
        char* end_c = nullptr;
        const double vb = std::strtod(b.c_str(), &end_b);
        const double vc = std::strtod(c.c_str(), &end_c);
        if (!b.empty() && !c.empty() && *end_b == '\0' && *end_c == '\0')
            meant = a + op + prg_format("%g", op[0] == '-' ? vb + vc : vb * vc);
        warning_ = "rule '" + trimmed(0, static_cast<int32_t>(s_.size())) + "' reads as " + a + op + "(" + b +
                   op + c + "); write (" + a + op + b + ")" + op + c + " for " + meant;
    }

    std::string trimmed(int32_t b, int32_t e) const {
        while (b < e && is_blank(s_[b]))
            ++b;
        while (e > b && is_blank(s_[e - 1]))
            --e;
        return text(b, e);
    }

    // Postfix order of the nodes, built without recursion.
    void build_program() {
        std::vector<std::pair<int32_t, bool>> stack{{0, false}};
        while (!stack.empty()) {
            auto [node, expanded] = stack.back();
            stack.pop_back();
            const RuleNode& n = tree_.nodes[node];
            if (expanded || arity(n.oper) == 0) {
                tree_.program.push_back(node);
                continue;
            }
            stack.emplace_back(node, true);
            if (n.right >= 0) stack.emplace_back(n.right, false);
            stack.emplace_back(n.left, false);
        }
        tree_.stack.assign(tree_.program.size(), 0.0);
    }

    const std::string& s_;
    const bool silent_;
    std::vector<int32_t> depth_;   // parenthesis depth before each position
    std::vector<int32_t> partner_; // closing partner of each "(" (-1: none)
    std::vector<std::pair<int32_t, int32_t>> positions_[kRecogniserCount]; // (depth, position)
    std::vector<Task> todo_;
    RuleTree tree_;
    int32_t errors_ = 0;
    std::string warning_;
};

double truth(bool b) {
    return b ? 1.0 : 0.0;
}

double apply_binary(int32_t oper, double a, double b) {
    switch (oper) {
    case OPER_L_AND:
        return truth(a != 0.0 && b != 0.0);
    case OPER_L_OR:
        return truth(a != 0.0 || b != 0.0);
    case OPER_N_EQ:
        return truth(a == b);
    case OPER_N_NE:
        return truth(a != b);
    case OPER_N_GT:
        return truth(a > b);
    case OPER_N_GE:
        return truth(a >= b);
    case OPER_N_LT:
        return truth(a < b);
    case OPER_N_LE:
        return truth(a <= b);
    case OPER_N_ADD:
        return a + b;
    case OPER_N_SUB:
        return a - b;
    case OPER_N_MUL:
        return a * b;
    case OPER_N_DIV:
        return a / b;
    case OPER_N_POW:
        return std::pow(a, b);
    default:
        return 0.0;
    }
}

double apply_unary(int32_t oper, double a) {
    switch (oper) {
    case OPER_L_NOT:
        return truth(a == 0.0);
    case OPER_N_NEG:
        return -a;
    case OPER_N_LOG:
        return std::log(a);
    case OPER_N_EXP:
        return std::exp(a);
    case OPER_N_ABS:
        return std::fabs(a);
    case OPER_N_SQRT:
        return std::sqrt(a);
    default:
        return 0.0;
    }
}

double leaf_value(const RuleNode& n, double x, double y) {
    switch (n.oper) {
    case OPER_P_X:
        return x;
    case OPER_P_Y:
        return y;
    case OPER_P_NUM:
    case OPER_P_FLOAT:
        return n.value;
    default:
        return 0.0; // z, pixel references and empty nodes have no value
    }
}

void check_axis(int32_t axis, const char* function) {
    if (axis < 0 || axis >= CoordinateRules::kAxes) v_fatal(kSource, "invalid axe reference in %s", function);
}

} // namespace

std::string rule_clean(const std::string& text) {
    std::string t = text;
    if (!t.empty() && t[0] == '=') t.erase(0, 1);
    for (const char quote : {'"', '\''}) {
        if (t.empty() || t[0] != quote) continue;
        t.erase(0, 1);
        const size_t close = t.find(quote);
        if (close != std::string::npos) t.erase(close);
    }
    return t;
}

RuleTree rule_analyse(const std::string& text) {
    Analyser analyser(text, false);
    RuleTree tree = analyser.run();
    tree.syntax_errors = analyser.errors();
    return tree;
}

std::string rule_warning(const std::string& text) {
    Analyser analyser(text, true);
    analyser.run();
    return analyser.warning();
}

double rule_evaluate(const RuleTree& tree, double x, double y) {
    if (tree.program.empty()) return 0.0;
    double* stack = tree.stack.data();
    size_t top = 0;
    for (const int32_t index : tree.program) {
        const RuleNode& n = tree.nodes[index];
        switch (arity(n.oper)) {
        case 0:
            stack[top++] = leaf_value(n, x, y);
            break;
        case 1:
            stack[top - 1] = apply_unary(n.oper, stack[top - 1]);
            break;
        default:
            --top;
            stack[top - 1] = apply_binary(n.oper, stack[top - 1], stack[top]);
            break;
        }
    }
    return stack[0];
}

void ini_transfo_coord(CoordinateRules& rules, std::string& text, int32_t axis) {
    check_axis(axis, "ini_transfo_coord");
    text = rule_clean(text);
    rules.axis[axis] = rule_analyse(text);
}

double transfo_coord(const CoordinateRules& rules, int32_t axis, double x, double y) {
    check_axis(axis, "transfo_coord");
    return rule_evaluate(rules.axis[axis], x, y);
}

double density_coord(const CoordinateRules& rules, int32_t axis, double x, double y) {
    return transfo_coord(rules, axis, x, y);
}

void end_transfo_coord() {}

void reset_transfo_coord(CoordinateRules& rules) {
    rules = CoordinateRules();
}

void transfo_image(std::string& text, const IMG& img) {
    if (img.data.empty()) v_fatal(kSource, "no data to process");
    text = rule_clean(text);
    prg_screen("\n-------------- name='%s'\n", text.c_str());
    prg_flush_messages();
    const RuleTree tree = rule_analyse(text);
    prg_notice("name '%s' rule %d\n", text.c_str(), tree.root_oper());
}
