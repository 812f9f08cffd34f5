// The format registry: every format module xy_open can choose, in the order
// it tries them, and every writer. A new format module adds its entries here
// and nowhere else.
#include "cbf_lib.hpp"
#include "dmi_lib.hpp"
#include "gel_lib.hpp"
#include "h5_lib.hpp"
#include "kvf_lib.hpp"
#include "nexus_writer.hpp"
#include "png_writer.hpp"
#include "tif_lib.hpp"
#include "tif_writer.hpp"
#include "txt_lib.hpp"
#include "wv_lib.hpp"
#include "xy_lib.hpp"

// SPE comes after the formats with a default key, as it takes any other text.
const std::vector<const XyFormat*>& xy_formats() {
    static const std::vector<const XyFormat*> registry = {&tiff_format, &kvf_format, &txt_format, &h5_format,
                                                          &cbf_format,  &wv_format,  &dmi_format};
    return registry;
}

// GEL before TIFF before native before text, then HDF5 and the preview: a
// name holding two markers gets the first of them that is not the caller's
// fallback.
const std::vector<const XyWriter*>& xy_writers() {
    static const std::vector<const XyWriter*> writers = {&gel_writer, &tif_writer, &kvf_writer,  &txt_writer,
                                                         &h5_writer,  &nxs_writer, &hdf5_writer, &png_writer};
    return writers;
}

const XyWriter& xy_writer_for(const std::string& name, const char* fallback) {
    const XyWriter* chosen = nullptr;
    for (const XyWriter* w : xy_writers()) {
        const bool is_fallback = std::string(w->label) == fallback;
        if (is_fallback && !chosen) chosen = w;
        if (!is_fallback && name.find(w->marker) != std::string::npos) return *w;
    }
    if (!chosen) v_fatal("xy_lib", " no writer named '%s'\n", fallback);
    return *chosen;
}

const XyWriter& xy_write(const IMG& img, const std::string& name, const char* fallback,
                         const XyWriteOptions& options) {
    const XyWriter& writer = xy_writer_for(name, fallback);
    writer.write(img, name, options);
    return writer;
}
