// The differential checks of the test suite, their cases drawn from the
// fuzzer's bytes: any difference between a fast path and its plain
// equivalent stops the run.
#include "differential.hpp"
#include "prg_lib.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = [] {
        char pattern[] = "/tmp/zandor-differential.XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (!made) std::abort();
        return std::string(made);
    }();
    ProgramState state;
    const ProgramScope bind(state);
    zt::ByteSource source(data, size);
    const std::string difference = zt::differential_case(source, dir);
    if (!difference.empty()) {
        std::fprintf(stderr, "%s\n", difference.c_str());
        std::abort();
    }
    return 0;
}
