// WinView SPE format: the byte-order probe, the header fields and the header
// entries of an SPE file. Header values come from outside and are checked
// before the record relies on them.
#include "wv_lib.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

const char* const kWvOrigin = "../xy32lib/wv_lib";

// Byte offsets of the header fields used.
enum : size_t {
    kOldProbe = 0,
    kExposureMsec16 = 4,
    kDetectorX = 6,
    kExposureSec = 10,
    kDetectorY = 18,
    kDate = 20,
    kDateBytes = 10,
    kHour = 30,
    kMinute = 32,
    kWidth = 42,
    kDataType = 108,
    kHeight = 656,
    kExposureMsec32 = 660,
    kFrames = 1446,
    kRoiSlots = 1512,
    kRoiSlotBytes = 12,
    kRoiSlotCount = 10,
};

// The header bytes and the byte order of their numbers.
struct SpeHeader {
    const unsigned char* bytes;
    XyByteOrder order;

    uint16_t u16(size_t at) const { return xy_field16(bytes + at, order); }
    int16_t s16(size_t at) const { return static_cast<int16_t>(u16(at)); }
    int32_t s32(size_t at) const { return static_cast<int32_t>(xy_field32(bytes + at, order)); }
    float f32(size_t at) const {
        const uint32_t bits = xy_field32(bytes + at, order);
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
};

uint16_t stored16(const unsigned char* head, size_t at) {
    uint16_t v;
    std::memcpy(&v, head + at, sizeof v);
    return v;
}

// The first non-zero probe word read in host order: a value with any of its
// top four bits set means the file has the other byte order than the host.
SpeHeader spe_header(const unsigned char* head) {
    uint16_t probe = stored16(head, kDetectorX);
    if (probe == 0) probe = stored16(head, kWidth);
    if (probe == 0) probe = stored16(head, kOldProbe);
    const bool other_order = (probe & 0xF000) != 0;
    const bool file_little = other_order != xy_host_little_endian();
    return SpeHeader{head, file_little ? XyByteOrder::low_first : XyByteOrder::high_first};
}

int32_t pixel_type(int16_t spe_type) {
    switch (spe_type) {
    case 0:
        return XY_TYPE_FLOAT;
    case 1:
        return XY_TYPE_INT32;
    case 2:
        return XY_TYPE_INT16;
    case 3:
        return XY_TYPE_UINT16;
    default:
        return XY_TYPE_UNSUPPORTED;
    }
}

const char* data_type_entry(int32_t type) {
    switch (type) {
    case XY_TYPE_INT32:
        return "SignedInt";
    case XY_TYPE_UINT16:
        return "UnsignedShort";
    case XY_TYPE_FLOAT:
        return "FloatValue";
    default:
        return "Unknown";
    }
}

void check_header_size(size_t size, const std::string& name) {
    if (size < WV_HEADER_BYTES)
        v_fatal(kWvOrigin, "'%s' is not an SPE file : %zu bytes, less than its %zu-byte header", name.c_str(),
                size, WV_HEADER_BYTES);
}

std::string experiment_date(const unsigned char* head) {
    const char* date = reinterpret_cast<const char*>(head + kDate);
    return std::string(date, strnlen(date, kDateBytes));
}

void add_exposure_msec(const SpeHeader& head, HDR& hdr) {
    if (head.u16(kExposureMsec16) != 0xFFFF) {
        xy_kvfstr(hdr, "Exposure_msec", prg_format("%hd", head.s16(kExposureMsec16)));
        return;
    }
    const int32_t msec = head.s32(kExposureMsec32);
    if (msec != -1) xy_kvfstr(hdr, "Exposure_msec", prg_format("%d", msec));
}

void add_roi_entries(const SpeHeader& head, HDR& hdr) {
    for (size_t i = 0; i < kRoiSlotCount; ++i) {
        const size_t at = kRoiSlots + kRoiSlotBytes * i;
        const int16_t start_x = head.s16(at), end_x = head.s16(at + 2), group_x = head.s16(at + 4);
        const int16_t start_y = head.s16(at + 6), end_y = head.s16(at + 8), group_y = head.s16(at + 10);
        if (group_x == 0 || group_y == 0) continue;
        xy_kvfstr(hdr, "ROI_info",
                  prg_format("%d X=(%hd-%hd)/%hd Y=(%hd-%hd)/%hd", static_cast<int>(i + 1), start_x, end_x,
                             group_x, start_y, end_y, group_y));
    }
}

std::string software_entry() {
    std::string text = prg_format("%s (%s) based on Winhead.txt (1.6)\n", kWvOrigin, __DATE__);
    const size_t feed = text.rfind('\n');
    if (feed != std::string::npos) text.erase(feed);
    const size_t cr = text.rfind('\r');
    if (cr != std::string::npos) text.erase(cr);
    return text;
}

} // namespace

std::unique_ptr<HDR> wv_gethdr(const unsigned char* head, size_t size, const std::string& name) {
    check_header_size(size, name);
    const SpeHeader h = spe_header(head);
    auto hdr = std::make_unique<HDR>();
    hdr->byte_order = h.order;
    const uint16_t width = h.u16(kWidth), height = h.u16(kHeight);
    const int32_t frames = h.s32(kFrames);
    if (width == 0 || height == 0)
        v_fatal(kWvOrigin, "'%s' : the SPE header gives an image of %hu * %hu pixels", name.c_str(), width,
                height);
    if (frames < 1) v_fatal(kWvOrigin, "'%s' : the SPE header declares %d frames", name.c_str(), frames);
    hdr->dim_x = width;
    hdr->dim_y = height;
    hdr->offset = static_cast<int64_t>(WV_HEADER_BYTES);
    hdr->frames = frames;
    hdr->type = pixel_type(h.s16(kDataType));
    return hdr;
}

void wv_hdrfill(const unsigned char* bytes, size_t size, HDR& hdr) {
    check_header_size(size, hdr.file_name);
    const SpeHeader head{bytes, hdr.byte_order};
    xy_standard_entries(hdr, data_type_entry(hdr.type));
    xy_kvfstr(hdr, "Detector_Xsize", prg_format("%hd", head.s16(kDetectorX)));
    hdr.exposure = head.f32(kExposureSec);
    if (hdr.exposure != 0.0f) xy_kvfstr(hdr, "Exposure_sec", prg_format("%f", double(hdr.exposure)));
    xy_kvfstr(hdr, "Detector_Ysize", prg_format("%hd", head.s16(kDetectorY)));
    xy_kvfstr(hdr, "Experiment_date", experiment_date(bytes));
    xy_kvfstr(hdr, "Experiment_time", prg_format("%02hd:%02hd", head.s16(kHour), head.s16(kMinute)));
    add_exposure_msec(head, hdr);
    add_roi_entries(head, hdr);
    xy_kvfstr(hdr, "Software", software_entry());
    if (hdr.type == XY_TYPE_UNSUPPORTED) {
        xy_fputhdr(stderr, hdr, true);
        v_fatal(kWvOrigin, " not supported data type!\n");
    }
}

std::unique_ptr<HDR> wv_open(const std::string& name, const std::string& program) {
    const bool named = name.find(".spe") != std::string::npos || name.find(".SPE") != std::string::npos;
    std::string file_name = named ? name : name + ".spe";
    prg_refuse_special_file(kWvOrigin, file_name);
    FileHandle fp(std::fopen(file_name.c_str(), "rb"));
    if (!fp) {
        file_name = name + ".SPE";
        prg_refuse_special_file(kWvOrigin, file_name);
        fp = FileHandle(std::fopen(file_name.c_str(), "rb"));
    }
    if (!fp)
        v_error(kWvOrigin, "wv_open : unable to open %s file '%s(.spe|.SPE)'\n", program.c_str(),
                name.c_str());

    const std::string head = xy_read_bytes(fp.get(), 0, WV_HEADER_BYTES);
    const auto* bytes = reinterpret_cast<const unsigned char*>(head.data());
    std::unique_ptr<HDR> hdr = wv_gethdr(bytes, head.size(), file_name);
    hdr->file_name = file_name;
    wv_hdrfill(bytes, head.size(), *hdr);
    // Frame 1 must be in the file; later frames missing end the summation.
    xy_check_frame_fits(kWvOrigin, *hdr, fp.get(), file_name);
    hdr->fp = std::move(fp);
    hdr->format = XY_FORMAT_SPE;
    hdr->bytes_after_frames = true;
    return hdr;
}

namespace {

// SPE files are only chosen by name or as the default, never by content.
std::unique_ptr<HDR> open_spe(const std::string& name, const std::string& program, bool,
                              const XyReadOptions&) {
    return wv_open(name, program);
}

} // namespace

// "" in the default format text: SPE is the default for any text the formats
// before it in the registry do not claim.
const XyFormat wv_format = {"SPE", {".spe", ".SPE", nullptr}, nullptr, "", open_spe, nullptr};
