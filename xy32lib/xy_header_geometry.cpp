#include "xy_header_geometry.hpp"

#include "gel_lib.hpp"
#include "xy_decoder.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

// A unit as headers write it, and what one of it is in mm (lengths) or pixels.
struct UnitName {
    const char* name;
    double mm; // 0: a pixel
};
const UnitName kUnits[] = {
    {"m", 1e3},          {"cm", 10.0},     {"mm", 1.0},        {"um", 1e-3},
    {"\xc2\xb5m", 1e-3}, {"micron", 1e-3}, {"microns", 1e-3},  {"micrometer", 1e-3},
    {"nm", 1e-6},        {"a", 1e-7},      {"\xc3\x85", 1e-7}, {"angstrom", 1e-7},
    {"angstroms", 1e-7}, {"pixel", 0.0},   {"pixels", 0.0},    {"px", 0.0},
};
constexpr double kMmPerAngstrom = 1e-7;

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const UnitName* find_unit(const std::string& unit) {
    const std::string key = lower(unit);
    for (const UnitName& u : kUnits)
        if (key == u.name) return &u;
    return nullptr;
}

// A number of the text and the unit word written after it ("" when none).
struct NumberWithUnit {
    double number;
    std::string unit;
};

bool unit_char(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80;
}

// "172e-6 m x 172e-6 m" gives (172e-6, m) twice; "(730.00, 865.00) pixels"
// gives 730 and 865, the second with "pixels".
std::vector<NumberWithUnit> numbers_of(const std::string& text) {
    std::vector<NumberWithUnit> found;
    const char* p = text.c_str();
    while (*p) {
        const bool starts_number = std::isdigit(static_cast<unsigned char>(*p)) ||
                                   ((*p == '-' || *p == '+' || *p == '.') &&
                                    (std::isdigit(static_cast<unsigned char>(p[1])) || p[1] == '.'));
        char* end = nullptr;
        const double v = starts_number ? std::strtod(p, &end) : 0.0;
        if (!starts_number || end == p) {
            ++p;
            continue;
        }
        p = end;
        while (*p == ' ' || *p == ')')
            ++p;
        const char* word = p;
        while (unit_char(*p))
            ++p;
        found.push_back({v, std::string(word, p)});
    }
    return found;
}

// The numbers of an entry that must hold `count` of them; a unit written only
// after the last applies to all.
bool take_numbers(const std::string& value, size_t count, std::vector<NumberWithUnit>& out) {
    out = numbers_of(value);
    if (out.size() < count) return false;
    out.resize(count);
    for (size_t i = count - 1; i-- > 0;)
        if (out[i].unit.empty()) out[i].unit = out[i + 1].unit;
    return true;
}

void take_entry(HeaderQuantity quantity, const NumberWithUnit& n, const std::string& source,
                HeaderValue& field, bool* in_mm = nullptr) {
    if (field.known()) return;
    HeaderValue v;
    if (!xy_header_unit_value(quantity, n.number, n.unit, v, in_mm)) return;
    v.source = source;
    field = v;
}

std::string trimmed(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    return first == std::string::npos ? "" : s.substr(first, s.find_last_not_of(" \t") + 1 - first);
}

// Keys compare without case and without the blanks around them (native
// headers keep "Key = value" as it is written).
bool same_key(const std::string& a, const char* b) {
    return lower(trimmed(a)) == lower(b);
}

} // namespace

bool xy_header_unit_value(HeaderQuantity quantity, double number, const std::string& unit, HeaderValue& out,
                          bool* in_mm) {
    if (!std::isfinite(number)) return false;
    out.unit_assumed = unit.empty();
    const UnitName* u = unit.empty() ? nullptr : find_unit(unit);
    if (!unit.empty() && !u) return false;
    const bool beam = quantity == HeaderQuantity::beam_text || quantity == HeaderQuantity::beam_nexus;
    if (beam) {
        const bool as_length = u ? u->mm > 0 : quantity == HeaderQuantity::beam_nexus;
        out.value = u && as_length ? number * u->mm : number;
        if (in_mm) *in_mm = as_length;
        return true;
    }
    if (u && u->mm == 0) return false; // a distance or wavelength in pixels
    if (quantity == HeaderQuantity::wavelength)
        out.value = u ? number * u->mm / kMmPerAngstrom : number;
    else
        out.value = u ? number * u->mm : number;
    return true;
}

void xy_header_text_entry(const std::string& key, const std::string& value, HeaderGeometry& g) {
    std::vector<NumberWithUnit> n;
    const std::string source = trimmed(key) + " " + trimmed(value);
    if (same_key(key, "Detector_distance") && take_numbers(value, 1, n)) {
        take_entry(HeaderQuantity::length, n[0], source, g.distance);
    } else if (same_key(key, "Wavelength") && take_numbers(value, 1, n)) {
        take_entry(HeaderQuantity::wavelength, n[0], source, g.wavelength);
    } else if (same_key(key, "Pixel_size") && (take_numbers(value, 2, n) || take_numbers(value, 1, n))) {
        if (n.size() == 1) n.push_back(n[0]); // one size: a square pixel
        take_entry(HeaderQuantity::length, n[0], source, g.pixel_x);
        take_entry(HeaderQuantity::length, n[1], source, g.pixel_y);
    } else if (same_key(key, "Beam_xy") && !g.beam_known() && take_numbers(value, 2, n)) {
        bool x_mm = false, y_mm = false;
        take_entry(HeaderQuantity::beam_text, n[0], source, g.beam_x, &x_mm);
        take_entry(HeaderQuantity::beam_text, n[1], source, g.beam_y, &y_mm);
        g.beam_in_mm = x_mm;
        if (x_mm != y_mm) g.beam_x = g.beam_y = HeaderValue(); // one in pixels, one in mm: unusable
    }
}

void xy_header_text(const std::string& text, HeaderGeometry& g) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.compare(0, 2, "# ") != 0) continue;
        const size_t gap = line.find_first_of(" :=", 2);
        const size_t value = gap == std::string::npos ? gap : line.find_first_not_of(" :=", gap);
        if (value != std::string::npos) xy_header_text_entry(line.substr(2, gap - 2), line.substr(value), g);
    }
}

HeaderGeometry xy_header_geometry(const HDR& hdr) {
    HeaderGeometry g = hdr.source ? hdr.source->header_geometry() : HeaderGeometry();
    for (const KvfItem& item : hdr.items)
        xy_header_text_entry(item.key, item.value, g);
    if (hdr.format == XY_FORMAT_GEL) {
        const FileHandle fp(std::fopen(hdr.file_name.c_str(), "rb"));
        if (fp) xy_header_text(gel_description(GelFileBytes(fp.get())), g);
    }
    return g;
}
