// Text image layout: comment lines, rows of numbers, frame separators.
#include "fuzz_support.hpp"
#include "txt_lib.hpp"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string bytes = fuzz_bytes(data, size);
    std::FILE* fp = fmemopen(bytes.data(), bytes.size(), "rb");
    if (!fp) return 0;
    fuzz_guarded([&] { txt_gethdr(fp, "fuzz.txt"); });
    std::fclose(fp);
    return 0;
}
