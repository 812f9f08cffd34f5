// The choice between the built-in TIFF reader and libtiff, over any bytes.
#include "fuzz_support.hpp"
#include "tif_lib.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ProgramState state;
    const ProgramScope bind(state);
    const std::string bytes = fuzz_bytes(data, size);
    tif_needs_library(GelMemoryBytes(bytes));
    return 0;
}
