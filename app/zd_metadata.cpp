#include "zd_metadata.hpp"

#include "zandor.hpp"
#include "zd_driver.hpp"
#include "zd_run.hpp"
#include "zd_summary.hpp"

#include <cstdlib>

namespace {

// Header entries of the readers and the NeXus fields they fill.
struct InstrumentKey {
    const char* key;
    const char* group;
    const char* field;
    const char* default_units;
};
const InstrumentKey kInstrumentKeys[] = {
    {"Wavelength", "instrument/beam", "incident_wavelength", "angstrom"},
    {"DetectorDistance", "instrument/detector", "detector_distance", "m"},
    {"Detector_distance", "instrument/detector", "detector_distance", "m"},
    {"BeamCenterX", "instrument/detector", "beam_center_x", "pixel"},
    {"BeamCenterY", "instrument/detector", "beam_center_y", "pixel"},
    {"Pixel_size", "instrument/detector", "x_pixel_size", "m"},
};

// The number that starts `text` and the word after it (its units, else
// `default_units`); false without a number.
bool quantity(const std::string& text, const char* default_units, double& number, std::string& units) {
    const char* start = text.c_str();
    char* stop = nullptr;
    number = std::strtod(start, &stop);
    if (stop == start) return false;
    const std::string rest = text.substr(static_cast<size_t>(stop - start));
    const size_t p = rest.find_first_not_of(' ');
    units = p == std::string::npos ? std::string() : rest.substr(p, rest.find_first_of(" \r\n", p) - p);
    if (units.empty()) units = default_units;
    return true;
}

XyMetadataItem number_item(const char* group, const std::string& name, double value,
                           const std::string& units) {
    XyMetadataItem item;
    item.group = group;
    item.name = name;
    item.number = value;
    item.numeric = true;
    item.units = units;
    return item;
}

XyMetadataItem text_item(const char* group, const char* name, const std::string& text) {
    XyMetadataItem item;
    item.group = group;
    item.name = name;
    item.text = text;
    return item;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words)
        text += (text.empty() ? "" : "\n") + w;
    return text;
}

std::string settings_text() {
    std::string text;
    for (const std::string& name : prg_settings_files()) {
        FileHandle fp(std::fopen(name.c_str(), "rb"));
        text += "# " + name + "\n";
        if (!fp) continue;
        char buf[4096];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, fp.get())) > 0)
            text.append(buf, n);
    }
    return text;
}

const char* const kTypeWords[] = {"auto", "int32", "float32"};
const char* const kCompressionWords[] = {"none", "gzip", "bslz4"};

} // namespace

std::vector<XyMetadataItem> instrument_facts(const std::string& key, const std::string& value) {
    std::vector<XyMetadataItem> facts;
    for (const InstrumentKey& k : kInstrumentKeys) {
        if (key != k.key) continue;
        // "172e-6 m x 172e-6 m": two pixel sizes.
        const bool sizes = std::string(k.field) == "x_pixel_size";
        const size_t x = sizes ? value.find(" x ") : std::string::npos;
        double number = 0.0;
        std::string units;
        if (quantity(value.substr(0, x), k.default_units, number, units))
            facts.push_back(number_item(k.group, k.field, number, units));
        if (x != std::string::npos && quantity(value.substr(x + 3), k.default_units, number, units))
            facts.push_back(number_item(k.group, "y_pixel_size", number, units));
        break;
    }
    return facts;
}

std::vector<XyMetadataItem> output_metadata(const IMG& img) {
    std::vector<XyMetadataItem> items;
    if (img.hdr)
        for (const KvfItem& entry : img.hdr->items)
            for (XyMetadataItem& fact : instrument_facts(entry.key, entry.value))
                items.push_back(std::move(fact));
    if (run.orig_det[0] != 0.0 || run.orig_det[1] != 0.0) {
        items.push_back(number_item("instrument/detector", "beam_center_x", run.orig_det[0], "pixel"));
        items.push_back(number_item("instrument/detector", "beam_center_y", run.orig_det[1], "pixel"));
    }
    items.push_back(text_item("process", "program", "zandor"));
    items.push_back(text_item("process", "version", RELEASE));
    items.push_back(text_item("process", "image_words", joined(summary_image_words())));
    items.push_back(text_item("process", "dark", drv.dark_in_force ? drv.d_image.name : ""));
    items.push_back(text_item("process", "flat", drv.flat_in_force ? drv.f_image.name : ""));
    items.push_back(text_item("process", "grid", drv.grid_done ? "applied" : "none"));
    items.push_back(text_item("process", "settings_files", joined(prg_settings_files())));
    items.push_back(text_item("process", "settings", settings_text()));
    items.push_back(text_item("process", "h5_type", kTypeWords[static_cast<int>(run.h5_type)]));
    items.push_back(
        text_item("process", "h5_compression", kCompressionWords[static_cast<int>(run.h5_compression)]));
    return items;
}
