// SPE header: the 4100 bytes before the frames.
#include "fuzz_support.hpp"
#include "wv_lib.hpp"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> head(data, data + size);
    if (head.size() < WV_HEADER_BYTES) head.resize(WV_HEADER_BYTES, 0);
    fuzz_guarded([&] {
        std::unique_ptr<HDR> hdr = wv_gethdr(head.data(), head.size(), "fuzz.spe");
        if (hdr) wv_hdrfill(head.data(), head.size(), *hdr);
    });
    return 0;
}
