// CBF text and MIME headers, then the byte-offset data of an accepted file.
#include "cbf_lib.hpp"
#include "fuzz_support.hpp"

#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes = fuzz_bytes(data, size);
    fuzz_guarded([&] {
        CbfBinary binary;
        if (!cbf_looks_like(bytes) || !cbf_parse_header(bytes, "fuzz.cbf", binary)) return;
        if (binary.data_offset > bytes.size() || binary.elements > (1u << 20)) return;
        std::vector<int32_t> out(binary.elements);
        const size_t available = std::min<uint64_t>(binary.size, bytes.size() - binary.data_offset);
        cbf_byte_offset_decode(data + binary.data_offset, available, out.data(), out.size());
    });
    return 0;
}
