// The format registry: every format module xy_open can choose, in the order
// it tries them. A new format module adds its entry here and nowhere else.
#include "cbf_lib.hpp"
#include "dmi_lib.hpp"
#include "h5_lib.hpp"
#include "kvf_lib.hpp"
#include "tif_lib.hpp"
#include "txt_lib.hpp"
#include "wv_lib.hpp"
#include "xy_lib.hpp"

// SPE comes after the formats with a default key, as it takes any other text.
const std::vector<const XyFormat*>& xy_formats() {
    static const std::vector<const XyFormat*> registry = {&tiff_format, &kvf_format, &txt_format, &h5_format,
                                                          &cbf_format,  &wv_format,  &dmi_format};
    return registry;
}
