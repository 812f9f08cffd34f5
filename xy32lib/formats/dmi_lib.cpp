// IPN-label format: the 512-byte label of such files, its header entries, and
// the dark average of a range of frames. The label comes from outside: every
// text is read inside its field and the frame size is checked before the
// record relies on it.
#include "dmi_lib.hpp"

#include <cctype>
#include <climits>
#include <cstring>

namespace {

const char* const kDmiOrigin = "../xy32lib/dmi_lib";

// Byte offsets and lengths of the label fields used.
enum : size_t {
    kRun = 0,
    kRunBytes = 20,
    kMap = 24,
    kMapBytes = 4,
    kDate = 48,
    kDateBytes = 20,
    kSample = 80, // sample description, running to the first NUL of the label
    kWidth = 88,
    kHeight = 104,
    kSizeTextBytes = 16, // the width and height texts
    kByteOrder = 153,
};

constexpr int64_t kMaxSide = 65535; // frame sides are 16-bit fields

const char* text_at(const unsigned char* label, size_t at) {
    return reinterpret_cast<const char*>(label + at);
}

// A text field: its bytes up to the first NUL or the field's end.
std::string field_text(const unsigned char* label, size_t at, size_t bytes) {
    return std::string(text_at(label, at), strnlen(text_at(label, at), bytes));
}

// A decimal text read as atoi reads it (leading blanks, a sign, digits), but
// never past its field. Sixteen digits at most cannot overflow 64 bits.
int64_t size_text_value(const unsigned char* label, size_t at) {
    const char* text = text_at(label, at);
    size_t i = 0;
    while (i < kSizeTextBytes && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < kSizeTextBytes && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < kSizeTextBytes && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        value = value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

uint16_t frame_side(const unsigned char* label, size_t at, const char* side, const std::string& name) {
    const int64_t value = size_text_value(label, at);
    if (value < 1 || value > kMaxSide)
        v_fatal(kDmiOrigin, "'%s' : the IPN label gives a frame %s of %lld, outside 1 to %lld\n",
                name.c_str(), side, static_cast<long long>(value), static_cast<long long>(kMaxSide));
    return static_cast<uint16_t>(value);
}

// "M": the file is written low byte first, "L": high byte first.
XyByteOrder byte_order_of(const unsigned char* label) {
    const unsigned char order = label[kByteOrder];
    if (order == 'M') return XyByteOrder::low_first;
    if (order == 'L') return XyByteOrder::high_first;
    if (std::isprint(order)) {
        v_fatal(kDmiOrigin, "unknown ByteOrder %4c\n", order);
    } else {
        v_fatal(kDmiOrigin, "unknown ByteOrder 0x%02x\n", order);
    }
}

// The sample description holds "BIT*16" for 16-bit samples; it ends at the
// first NUL or at the end of the label.
bool has_16bit_samples(const unsigned char* label) {
    const std::string sample = field_text(label, kSample, DMI_LABEL_BYTES - kSample);
    return sample.find("BIT*16") != std::string::npos;
}

bool looks_like_ipn_label(const std::string& head) {
    return head.compare(0, 15, " CARTE HPC1-SEP") == 0;
}

std::unique_ptr<HDR> open_ipn_label(const std::string& name, const std::string& program, bool,
                                    const XyReadOptions&) {
    return dmi_open(name, program);
}

void check_label_size(size_t size, const std::string& name) {
    if (size < DMI_LABEL_BYTES)
        v_fatal(kDmiOrigin, "'%s' is not an IPN-label file : %zu bytes, less than its %zu-byte label\n",
                name.c_str(), size, DMI_LABEL_BYTES);
}

} // namespace

const XyFormat dmi_format = {"IPN-label", {}, looks_like_ipn_label, nullptr, open_ipn_label, nullptr};

std::unique_ptr<HDR> dmi_gethdr(const unsigned char* label, size_t size, const std::string& name) {
    check_label_size(size, name);
    const XyByteOrder order = byte_order_of(label);
    auto hdr = std::make_unique<HDR>();
    hdr->byte_order = order;
    hdr->dim_x = frame_side(label, kWidth, "width", name);
    hdr->dim_y = frame_side(label, kHeight, "height", name);
    hdr->offset = static_cast<int64_t>(DMI_LABEL_BYTES);
    hdr->frames = 1;
    hdr->type = has_16bit_samples(label) ? XY_TYPE_UINT16 : XY_TYPE_UNSUPPORTED;
    return hdr;
}

void dmi_hdrfill(const unsigned char* label, size_t size, HDR& hdr, const std::string& file_name) {
    check_label_size(size, file_name);
    xy_standard_entries(hdr, nullptr);
    xy_kvfstr(hdr, "Experiment_date", field_text(label, kDate, kDateBytes));
    xy_kvfstr(hdr, "Ipn_Map", field_text(label, kMap, kMapBytes));
    xy_kvfstr(hdr, "Ipn_Run", field_text(label, kRun, kRunBytes));
    xy_kvfstr(hdr, "Ipn_File", file_name);
    xy_kvfstr(hdr, "Software", prg_format("%s based on IPN LABEL 1988, %s", kDmiOrigin, __DATE__));
    if (hdr.type != XY_TYPE_UINT16) {
        xy_fputhdr(stderr, hdr, 1);
        v_fatal(kDmiOrigin, " not supported data type!\n");
    }
}

std::unique_ptr<HDR> dmi_open(const std::string& name, const std::string& program) {
    FileHandle fp = xy_open_frame_file(kDmiOrigin, "dmi", program, name, false);
    const std::string label = xy_read_bytes(fp.get(), 0, DMI_LABEL_BYTES);
    const auto* bytes = reinterpret_cast<const unsigned char*>(label.data());
    std::unique_ptr<HDR> hdr = dmi_gethdr(bytes, label.size(), name);
    dmi_hdrfill(bytes, label.size(), *hdr, name);
    // Frame 1 must be in the file; a later frame missing ends the summation.
    xy_check_frame_fits(kDmiOrigin, *hdr, fp.get(), name);
    hdr->file_name = name;
    hdr->fp = std::move(fp);
    hdr->format = XY_FORMAT_NONE;
    return hdr;
}

std::vector<uint16_t> dmi_getdark(IMG& img, int32_t first, int32_t last) {
    if (img.size == 0) xy_setsize(img);
    const uint64_t pixels = static_cast<uint64_t>(img.reg_size);
    std::vector<uint16_t> mean = prg_alloc<uint16_t>("dmi_lib", "dark", pixels);
    std::vector<uint64_t> sums = prg_alloc<uint64_t>("dmi_lib", "res", pixels);
    std::vector<uint16_t> frame = prg_alloc<uint16_t>("dmi_lib", "dark frame", pixels);

    // Frames are added until the first one the file does not hold.
    uint64_t count = 0;
    const int64_t stop = last == 0 ? INT32_MAX : last;
    for (int64_t p = first < 1 ? 1 : first; p <= stop; ++p) {
        if (xy_getrawu(img, frame.data(), static_cast<int32_t>(p), nullptr) <= 0) break;
        for (uint64_t i = 0; i < pixels; ++i)
            sums[i] += frame[i];
        ++count;
    }
    if (count == 0) v_fatal(kDmiOrigin, "no data found in dark file between image %d and %d\n", first, last);

    img.frames = static_cast<int32_t>(count);
    for (uint64_t i = 0; i < pixels; ++i)
        mean[i] = static_cast<uint16_t>((sums[i] + count / 2) / count);
    return mean;
}
