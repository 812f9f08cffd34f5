// Native file header: "key = value ;" lines between braces.
#include "fuzz_support.hpp"
#include "kvf_lib.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes = fuzz_bytes(data, size);
    fuzz_guarded([&] { kvf_parse_header(bytes, false); });
    fuzz_guarded([&] { kvf_parse_header(bytes, true); });
    return 0;
}
