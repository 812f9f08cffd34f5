// The format registry: every format module xy_open can choose, in the order
// it tries them. A new format module adds its entry here and nowhere else.
#include "dmi_lib.hpp"
#include "gel_lib.hpp"
#include "kvf_lib.hpp"
#include "txt_lib.hpp"
#include "wv_lib.hpp"
#include "xy_lib.hpp"

namespace {

// IPN-label files are recognised by their label only; they open as named.
bool looks_like_ipn_label(const std::string& head) {
    return head.compare(0, 15, " CARTE HPC1-SEP") == 0;
}
std::unique_ptr<HDR> open_ipn_label(const std::string& name, const std::string& program, bool) {
    return dmi_open(name, program);
}
const XyFormat ipn_label_format = {"IPN-label", {}, looks_like_ipn_label, nullptr, open_ipn_label, nullptr};

} // namespace

// SPE comes after the formats with a default key, as it takes any other text.
const std::vector<const XyFormat*>& xy_formats() {
    static const std::vector<const XyFormat*> registry = {&gel_format, &kvf_format, &txt_format, &wv_format,
                                                          &ipn_label_format};
    return registry;
}
