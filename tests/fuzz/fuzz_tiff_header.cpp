// TIFF header and first IFD, then the header entries of an accepted file.
#include "fuzz_support.hpp"
#include "gel_lib.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes = fuzz_bytes(data, size);
    const GelMemoryBytes file(bytes);
    fuzz_guarded([&] {
        std::unique_ptr<HDR> hdr = gel_gethdr(file);
        if (hdr) gel_hdrfill(file, *hdr);
    });
    return 0;
}
