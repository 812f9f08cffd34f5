#include "ipn_writer.hpp"

#include "test_support.hpp"

namespace zt {

std::string ipn_label(const IpnLabel& label) {
    std::string bytes(512, label.fill);
    const auto put = [&bytes](size_t at, const std::string& text) { bytes.replace(at, text.size(), text); };
    put(0, label.run);
    put(24, label.map);
    put(48, label.date);
    put(80, label.sample);
    put(88, label.width);
    put(104, label.height);
    bytes[153] = label.byte_order;
    return bytes.substr(0, 512);
}

std::string ipn_file(const IpnLabel& label, const std::vector<std::vector<uint16_t>>& frames) {
    std::string bytes = ipn_label(label);
    for (const auto& frame : frames)
        for (const uint16_t v : frame)
            label.byte_order == 'L' ? put_u16be(bytes, v) : put_u16le(bytes, v);
    return bytes;
}

} // namespace zt
