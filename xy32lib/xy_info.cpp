// Header list of a frame file, its description, image statistics and the
// release levels of the records.
#include "xy_lib.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <new>

namespace {

const char* const kLibOrigin = "../xy32lib/xy_lib";

// The description lines of a frame file, shared by the message channel and
// the explicit-stream variants.
std::string header_description(const HDR& hdr, int32_t with_entries) {
    // Text files have no byte order to describe.
    const char* order = hdr.type == XY_TYPE_TEXT ? "" : xy_byte_order_text(hdr.byte_order);
    std::string text = prg_format("# file  '%s' : images size %d * %d, frames %d\n", hdr.file_name.c_str(),
                                  hdr.dim_x, hdr.dim_y, hdr.frames);
    text += prg_format("# data_type (%s)  %s\n", xy_type_name(hdr.type), order);
    if (with_entries) {
        text += "# kvf header contents :  \n";
        for (size_t i = 0; i < hdr.items.size(); ++i)
            text += prg_format("#%02d# %-15s = %s ; \n", static_cast<int>(i), hdr.items[i].key.c_str(),
                               hdr.items[i].value.c_str());
    }
    return text;
}

// Which statistics a `what` selection asks for (0 selects everything).
struct InfoSelection {
    bool nonzero;
    bool min;
    bool max;
    bool mean;
    bool sigma;
};

InfoSelection info_selection(int32_t what) {
    const bool all = what == 0;
    return {all || (what & 1) != 0, all || (what & 2) != 0, all || (what & 4) != 0, all || (what & 24) != 0,
            all || (what & 16) != 0};
}

// Pixels really present: a record whose planes were released keeps its size,
// so the planes bound the scan.
int64_t present_pixels(const IMG& img) {
    int64_t n = img.size < 0 ? 0 : img.size;
    if (static_cast<int64_t>(img.data.size()) < n) n = static_cast<int64_t>(img.data.size());
    if (!img.frame.empty() && static_cast<int64_t>(img.frame.size()) < n)
        n = static_cast<int64_t>(img.frame.size());
    return n;
}

void set_position(int64_t index, int32_t nx, int32_t& x, int32_t& y) {
    if (nx <= 0) { // no geometry: the index itself, never a division by zero
        x = static_cast<int32_t>(index);
        y = 0;
        return;
    }
    x = static_cast<int32_t>(index % nx);
    y = static_cast<int32_t>(index / nx);
}

// Statistics over the pixels of one record. Corrected records take only the
// pixels with a non-zero frame count, raw sums take every pixel corrected to
// the full frame count.
class InfoScan {
  public:
    InfoScan(const IMG& img, int64_t pixels)
        : img_(img), pixels_(pixels), corrected_(img.corrected == 1), has_frame_(!img.frame.empty()) {}

    bool taken(int64_t i) const { return !corrected_ || !has_frame_ || img_.frame[i] != 0; }
    int32_t value(int64_t i) const { return corrected_ ? img_.data[i] : xy_valcor(img_, i); }

    struct Extremes {
        int32_t min = INT32_MAX;
        int64_t min_index = -1;
        int32_t max = INT32_MIN;
        int64_t max_index = -1;
    };

    // The first of equal extremes wins. Raw sums start from pixel 0.
    Extremes extremes() const {
        Extremes e;
        int64_t start = 0;
        if (!corrected_ && pixels_ > 0) {
            e.min = e.max = value(0);
            e.min_index = e.max_index = 0;
            start = 1;
        }
        for (int64_t i = start; i < pixels_; ++i) {
            if (!taken(i)) continue;
            const int32_t v = value(i);
            if (v < e.min) {
                e.min = v;
                e.min_index = i;
            }
            if (v > e.max) {
                e.max = v;
                e.max_index = i;
            }
        }
        return e;
    }

    double sum() const {
        double s = 0.0;
        for (int64_t i = 0; i < pixels_; ++i)
            if (taken(i)) s += value(i);
        return s;
    }

    double squared_deviations(double mean) const {
        double s = 0.0;
        for (int64_t i = 0; i < pixels_; ++i)
            if (taken(i)) {
                const double d = value(i) - mean;
                s += d * d;
            }
        return s;
    }

  private:
    const IMG& img_;
    int64_t pixels_;
    bool corrected_;
    bool has_frame_;
};

} // namespace

// ---------------------------------------------------------------- header list

int32_t xy_kvfstr(HDR& hdr, const std::string& key, const std::string& value) {
    const auto index = static_cast<int32_t>(hdr.items.size());
    if (hdr.n_alloc <= index) {
        // Grows by 8 entries; a list filled behind our back still gets room.
        const int64_t grown = static_cast<int64_t>(std::max(hdr.n_alloc, index)) + 8;
        if (grown > INT32_MAX) v_fatal(kLibOrigin, "allocating kvfstr  '%d'\n", index);
        try {
            hdr.items.reserve(static_cast<size_t>(grown));
        } catch (const std::bad_alloc&) {
            v_error(kLibOrigin, "allocating kvfstr  '%d'\n", index);
        } catch (const std::length_error&) {
            v_error(kLibOrigin, "allocating kvfstr  '%d'\n", index);
        }
        hdr.n_alloc = static_cast<int32_t>(grown);
    }
    KvfItem item;
    try {
        item.key = key;
    } catch (const std::bad_alloc&) {
        v_error(kLibOrigin, "allocating kvfstr key '%s'\n", key.c_str());
    }
    try {
        item.value = value;
    } catch (const std::bad_alloc&) {
        v_error(kLibOrigin, "allocating kvfstr string '%s'\n", value.c_str());
    }
    hdr.items.push_back(std::move(item)); // capacity reserved above: cannot throw
    hdr.n_items = static_cast<int32_t>(hdr.items.size());
    return index;
}

const char* xy_type_name(int32_t type) {
    switch (type) {
    case XY_TYPE_INT16:
        return "INT16";
    case XY_TYPE_UINT16:
        return "INT16U";
    case XY_TYPE_INT32:
        return "INT32";
    case XY_TYPE_FLOAT:
        return "FLOAT";
    case XY_TYPE_TEXT:
        return "ASCII";
    default:
        return "UNKNOWN";
    }
}

void xy_puthdr(const HDR& hdr, int32_t with_entries) {
    prg_printf("%s", header_description(hdr, with_entries).c_str());
}

void xy_fputhdr(std::FILE* stream, const HDR& hdr, int32_t with_entries) {
    const std::string text = header_description(hdr, with_entries);
    std::fwrite(text.data(), 1, text.size(), stream);
}

// ---------------------------------------------------------------- image information

void xy_info(IMG& img, int32_t what) {
    const InfoSelection sel = info_selection(what);
    const int64_t pixels = present_pixels(img);

    int64_t n = pixels;
    if (img.frame.empty()) {
        img.used = -1;
    } else {
        int64_t used = 0;
        for (int64_t i = 0; i < pixels; ++i)
            used += img.frame[i] != 0;
        img.used = static_cast<int32_t>(used);
        n = used;
    }

    if (sel.nonzero) {
        int64_t nonzero = 0;
        for (int64_t i = 0; i < pixels; ++i)
            nonzero += img.data[i] != 0;
        img.nonzero = static_cast<int32_t>(nonzero);
    }

    const InfoScan scan(img, pixels);
    if (sel.min || sel.max) {
        const InfoScan::Extremes e = scan.extremes();
        if (sel.min) {
            img.min = e.min;
            set_position(e.min_index, img.nx, img.min_x, img.min_y);
        }
        if (sel.max) {
            img.max = e.max;
            set_position(e.max_index, img.nx, img.max_x, img.max_y);
        }
    }
    // Zero pixels give NaN and one pixel an infinite or NaN sigma: IEEE rules,
    // as reported values only.
    if (sel.mean) img.mean = scan.sum() / static_cast<double>(n);
    if (sel.sigma) img.sigma = std::sqrt(scan.squared_deviations(img.mean) / static_cast<double>(n - 1));
}

void xy_fputinfo(std::FILE* stream, const IMG& img) {
    prg_fprintf(stream, "# %s : %d frame(s), mean %.1lf sigma %.1lf [%ld@%d*%d - %ld@%d*%d] %d!=0,",
                img.name.c_str(), img.frames, img.mean, img.sigma, static_cast<long>(img.min), img.min_x,
                img.min_y, static_cast<long>(img.max), img.max_x, img.max_y, img.nonzero);
    if (img.used < 0)
        prg_fprintf(stream, " all used\n");
    else
        prg_fprintf(stream, " %d used\n", img.used);
}

// ---------------------------------------------------------------- release

void xy_freehdr(std::unique_ptr<HDR>& hdr) {
    if (!hdr) return;
    hdr->fp.close();
    hdr.reset();
}

void xy_freeimg(IMG& img, int32_t level) {
    if (level < 0 || level > 3) return;
    img.cosmic = CosmicArrays{};
    if (level >= 1) img.frame = std::vector<uint16_t>{};
    if (level >= 2) {
        img.name = std::string{};
        img.data = std::vector<int32_t>{};
    }
    if (level >= 3) xy_freehdr(img.hdr);
}
