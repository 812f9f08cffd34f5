// Transform rules: clean-up, analysis into a tree and evaluation.
#include "fuzz_support.hpp"
#include "xy_transfo.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz_bytes(data, size);
    fuzz_guarded([&] {
        const RuleTree tree = rule_analyse(rule_clean(text));
        for (const double x : {0.0, 1.5, -7.0})
            rule_evaluate(tree, x, 2.0 * x + 1.0);
    });
    return 0;
}
