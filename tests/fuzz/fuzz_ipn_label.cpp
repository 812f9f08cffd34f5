// IPN label: the 512 bytes before the frames, given exactly as many bytes as
// the input holds so that any read past them is caught.
#include "dmi_lib.hpp"
#include "fuzz_support.hpp"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<unsigned char> label(data, data + size);
    fuzz_guarded([&] {
        std::unique_ptr<HDR> hdr = dmi_gethdr(label.data(), label.size(), "fuzz.ipn");
        if (hdr) dmi_hdrfill(label.data(), label.size(), *hdr, "fuzz.ipn");
    });
    return 0;
}
