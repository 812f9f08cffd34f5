// CBF images: the text header, the MIME header of the binary section and the
// byte-offset decoder.
//
// The decoder is our own rather than libcbf's: it is a short loop, checked
// against libcbf in the tests, that reads the compressed bytes straight from
// the file and decodes them into the frame buffer with every read bounded,
// whereas libcbf parses the whole file into its own tree first.
#include "cbf_lib.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kOrigin = "../xy32lib/cbf_lib";
constexpr const char* kSection = "--CIF-BINARY-FORMAT-SECTION--";
constexpr const char kMarker[] = "\x0c\x1a\x04\xd5";
constexpr size_t kFirstRead = size_t{64} << 10; // most headers are a few kilobytes
constexpr size_t kMaxHeader = size_t{4} << 20;  // beyond this the file is not a detector image
constexpr uint64_t kMaxSide = 65535;

// ---------------------------------------------------------------- text

std::string trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\"");
    if (b == std::string::npos) return "";
    const size_t e = s.find_last_not_of(" \t\r\";");
    return s.substr(b, e - b + 1);
}

// The lines of `text` from `begin` to `end`, without their line ends.
std::vector<std::string> lines_of(const std::string& text, size_t begin, size_t end) {
    std::vector<std::string> lines;
    while (begin < end) {
        size_t nl = text.find('\n', begin);
        if (nl == std::string::npos || nl > end) nl = end;
        std::string line = text.substr(begin, nl - begin);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        begin = nl + 1;
    }
    return lines;
}

// "# Exposure_time 0.0970000 s" gives ("Exposure_time", "0.0970000 s");
// "# Tau = 383.8e-09 s" gives ("Tau", "383.8e-09 s"); a line that starts with
// a digit ("# 2010-Dec-14T21:43:23.655") is the date.
KvfItem text_entry(const std::string& line) {
    const std::string body = line.substr(2);
    const size_t end = body.find_first_of(" :=");
    std::string key = body.substr(0, end);
    std::string value = end == std::string::npos ? "" : body.substr(end);
    value.erase(0, value.find_first_not_of(" :="));
    if (!key.empty() && std::isdigit(static_cast<unsigned char>(key[0]))) {
        key = "Date";
        value = body;
    }
    return {key, trimmed(value)};
}

// ---------------------------------------------------------------- MIME header

uint64_t mime_number(const std::string& value, const char* field, const std::string& file_name) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(value.c_str(), &end, 10);
    if (value.empty() || value[0] == '-' || errno == ERANGE || end == value.c_str() || *end != '\0')
        v_fatal(kOrigin, " %s '%s' of '%s' is not a number\n", field, value.c_str(), file_name.c_str());
    return v;
}

// The conversions="..." part of a Content-Type value.
std::string conversions_of(const std::string& content_type) {
    const size_t at = content_type.find("conversions=");
    if (at == std::string::npos) return "none";
    return trimmed(content_type.substr(at + std::strlen("conversions=")));
}

// Fields of the MIME header, continuation lines joined to their field.
void read_mime_fields(const std::vector<std::string>& lines, const std::string& file_name, CbfBinary& b) {
    std::string key, value;
    auto store = [&]() {
        if (key == "Content-Type")
            b.compression = conversions_of(value);
        else if (key == "X-Binary-Size")
            b.size = mime_number(value, "X-Binary-Size", file_name);
        else if (key == "X-Binary-Element-Type")
            b.element_type = trimmed(value);
        else if (key == "X-Binary-Element-Byte-Order")
            b.byte_order = trimmed(value);
        else if (key == "X-Binary-Number-of-Elements")
            b.elements = mime_number(value, "X-Binary-Number-of-Elements", file_name);
        else if (key == "X-Binary-Size-Fastest-Dimension")
            b.fastest = mime_number(value, "X-Binary-Size-Fastest-Dimension", file_name);
        else if (key == "X-Binary-Size-Second-Dimension")
            b.second = mime_number(value, "X-Binary-Size-Second-Dimension", file_name);
        else if (key == "X-Binary-Size-Third-Dimension")
            b.third = mime_number(value, "X-Binary-Size-Third-Dimension", file_name);
    };
    for (const std::string& line : lines) {
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            value += " " + trimmed(line);
            continue;
        }
        store();
        const size_t colon = line.find(':');
        key = colon == std::string::npos ? "" : line.substr(0, colon);
        value = colon == std::string::npos ? "" : trimmed(line.substr(colon + 1));
    }
    store();
}

const char* const kElementTypes[] = {"signed 32-bit integer", "unsigned 32-bit integer",
                                     "signed 16-bit integer", "unsigned 16-bit integer",
                                     "signed 8-bit integer",  "unsigned 8-bit integer"};

// Refuses what the decoder cannot turn into one frame of 32-bit pixels.
void check_binary(const CbfBinary& b, const std::string& file_name) {
    const char* name = file_name.c_str();
    if (b.compression != "x-CBF_BYTE_OFFSET")
        v_fatal(kOrigin, " compression '%s' of '%s' not supported (x-CBF_BYTE_OFFSET only)\n",
                b.compression.c_str(), name);
    if (std::find(std::begin(kElementTypes), std::end(kElementTypes), b.element_type) ==
        std::end(kElementTypes))
        v_fatal(kOrigin, " element type '%s' of '%s' not supported\n", b.element_type.c_str(), name);
    if (b.byte_order != "LITTLE_ENDIAN")
        v_fatal(kOrigin, " byte order '%s' of '%s' not supported (LITTLE_ENDIAN only)\n",
                b.byte_order.c_str(), name);
    if (b.fastest == 0 || b.second == 0 || b.fastest > kMaxSide || b.second > kMaxSide || b.third != 1)
        v_fatal(kOrigin, " frame of %llu x %llu x %llu pixels in '%s' not supported\n",
                static_cast<unsigned long long>(b.fastest), static_cast<unsigned long long>(b.second),
                static_cast<unsigned long long>(b.third), name);
    if (b.elements != b.fastest * b.second)
        v_fatal(kOrigin, " '%s' declares %llu pixels for a frame of %llu x %llu\n", name,
                static_cast<unsigned long long>(b.elements), static_cast<unsigned long long>(b.fastest),
                static_cast<unsigned long long>(b.second));
    if (b.size == 0) v_fatal(kOrigin, " '%s' declares no binary data (X-Binary-Size)\n", name);
}

// ---------------------------------------------------------------- decoding

template <class T> T little_endian(const uint8_t* p) {
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        v = static_cast<T>(v | static_cast<T>(static_cast<uint64_t>(p[i]) << (8 * i)));
    return v;
}

class CbfFrame final : public FrameSource {
  public:
    CbfFrame(const CbfBinary& binary, std::FILE* fp, std::string file_name)
        : binary_(binary), fp_(fp), file_name_(std::move(file_name)) {}

    int32_t decode(int32_t frame, const XyWindow& w, int32_t* buf) override;
    int32_t decode(int32_t, const XyWindow&, uint8_t*) override {
        xy_decoder_wrong_type(kOrigin, file_name_);
    }
    int32_t decode(int32_t, const XyWindow&, uint16_t*) override {
        xy_decoder_wrong_type(kOrigin, file_name_);
    }
    int32_t decode(int32_t, const XyWindow&, float*) override { xy_decoder_wrong_type(kOrigin, file_name_); }
    bool decodes_apart() const override { return true; }

  private:
    void decode_frame(int32_t* out);
    void skip_unread(uint64_t unread);
    [[noreturn]] void fewer_bytes_than_declared() const;

    CbfBinary binary_;
    std::FILE* fp_;
    std::string file_name_;
    ScratchVector<uint8_t> piece_; // a piece of the compressed bytes
    ScratchVector<int32_t> frame_; // the whole frame, when a window of it is asked for
};

// The binary data are read and decoded a piece at a time, each piece small
// enough to stay in cache between the read and the decoding.
constexpr size_t kPieceBytes = size_t{1} << 18;

void CbfFrame::decode_frame(int32_t* out) {
    const char* name = file_name_.c_str();
    const uint64_t declared = binary_.size;
    if (piece_.empty())
        piece_ = prg_alloc<uint8_t, ScratchVector<uint8_t>>("cbf_lib", "compressed frame piece",
                                                            std::min<uint64_t>(declared, kPieceBytes));
    if (::fseeko(fp_, static_cast<off_t>(binary_.data_offset), SEEK_SET) != 0) fewer_bytes_than_declared();
    ByteOffsetRun run;
    uint64_t unread = declared, used = 0;
    size_t held = 0; // bytes of the piece read but not decoded
    while (unread > 0 && run.values < binary_.elements) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(unread, piece_.size() - held));
        if (std::fread(piece_.data() + held, 1, n, fp_) != n) fewer_bytes_than_declared();
        unread -= n;
        held += n;
        const int64_t taken = cbf_byte_offset_values(piece_.data(), held, unread > 0 ? kByteOffsetLongest : 0,
                                                     out, binary_.elements, run);
        if (taken < 0) break;
        used += static_cast<uint64_t>(taken);
        held -= static_cast<size_t>(taken);
        std::memmove(piece_.data(), piece_.data() + taken, held);
    }
    skip_unread(unread);
    if (run.values < binary_.elements)
        v_fatal(kOrigin, " the %llu bytes of binary data of '%s' end before its %llu pixels\n",
                static_cast<unsigned long long>(declared), name,
                static_cast<unsigned long long>(binary_.elements));
    if (used != declared)
        v_fatal(kOrigin, " '%s' declares %llu bytes of binary data but its %llu pixels use %llu\n", name,
                static_cast<unsigned long long>(declared), static_cast<unsigned long long>(binary_.elements),
                static_cast<unsigned long long>(used));
    if (binary_.element_type == "unsigned 32-bit integer")
        for (uint64_t i = 0; i < binary_.elements; ++i)
            if (out[i] < 0)
                v_fatal(kOrigin, " pixel (%llu, %llu) of '%s' lies beyond the 32-bit pixel range\n",
                        static_cast<unsigned long long>(i % binary_.fastest),
                        static_cast<unsigned long long>(i / binary_.fastest), name);
}

// Reads the declared bytes the pixels did not need: a file shorter than it
// declares is reported as such first.
void CbfFrame::skip_unread(uint64_t unread) {
    while (unread > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(unread, piece_.size()));
        if (std::fread(piece_.data(), 1, n, fp_) != n) fewer_bytes_than_declared();
        unread -= n;
    }
}

void CbfFrame::fewer_bytes_than_declared() const {
    v_fatal(kOrigin, " '%s' holds fewer than the %llu bytes of binary data it declares\n", file_name_.c_str(),
            static_cast<unsigned long long>(binary_.size));
}

int32_t CbfFrame::decode(int32_t frame, const XyWindow& w, int32_t* buf) {
    if (frame != 1) return 0;
    const uint64_t width = binary_.fastest;
    if (w.x0 < 0 || w.y0 < 0 || w.width <= 0 || w.height <= 0 || uint64_t(w.x0) + w.width > width ||
        uint64_t(w.y0) + w.height > binary_.second)
        v_fatal(kOrigin, " window %d+%d * %d+%d outside the frame of '%s'\n", w.x0, w.width, w.y0, w.height,
                file_name_.c_str());
    if (uint64_t(w.width) == width && w.y0 == 0 && uint64_t(w.height) == binary_.second) {
        decode_frame(buf);
        return w.height;
    }
    if (frame_.empty())
        frame_ = prg_alloc<int32_t, ScratchVector<int32_t>>("cbf_lib", "frame", binary_.elements);
    decode_frame(frame_.data());
    for (int32_t r = 0; r < w.height; ++r)
        std::copy_n(frame_.data() + (uint64_t(w.y0) + r) * width + w.x0, w.width, buf + int64_t{r} * w.width);
    return w.height;
}

} // namespace

bool cbf_looks_like(const std::string& head) {
    return head.compare(0, 6, "###CBF") == 0;
}

bool cbf_parse_header(const std::string& head, const std::string& file_name, CbfBinary& binary) {
    binary = CbfBinary{};
    if (!cbf_looks_like(head)) v_fatal(kOrigin, " '%s' does not start with ###CBF\n", file_name.c_str());
    const size_t section = head.find(kSection);
    const size_t marker = section == std::string::npos ? section : head.find(kMarker, section, 4);
    if (marker == std::string::npos) return false;
    for (const std::string& line : lines_of(head, 0, section))
        if (line.compare(0, 2, "# ") == 0) binary.text_entries.push_back(text_entry(line));
    const size_t mime_start = head.find('\n', section);
    read_mime_fields(lines_of(head, mime_start == std::string::npos ? marker : mime_start + 1, marker),
                     file_name, binary);
    binary.data_offset = marker + 4;
    check_binary(binary, file_name);
    return true;
}

int64_t cbf_byte_offset_values(const uint8_t* in, size_t size, size_t keep, int32_t* out, size_t count,
                               ByteOffsetRun& run) {
    // Each value is the previous one plus a delta: one signed byte, or after
    // the escape 0x80 two bytes, or after 0x8000 four, or after 0x80000000 eight.
    uint32_t value = run.last;
    size_t pos = 0;
    size_t i = run.values;
    for (; i < count && pos < size && size - pos >= keep; ++i) {
        const int8_t d8 = static_cast<int8_t>(in[pos++]);
        if (d8 != INT8_MIN) {
            value += static_cast<uint32_t>(static_cast<int32_t>(d8));
        } else {
            if (size - pos < 2) return -1;
            const int16_t d16 = little_endian<int16_t>(in + pos);
            pos += 2;
            if (d16 != INT16_MIN) {
                value += static_cast<uint32_t>(static_cast<int32_t>(d16));
            } else {
                if (size - pos < 4) return -1;
                const int32_t d32 = little_endian<int32_t>(in + pos);
                pos += 4;
                if (d32 != INT32_MIN) {
                    value += static_cast<uint32_t>(d32);
                } else {
                    if (size - pos < 8) return -1;
                    value += static_cast<uint32_t>(little_endian<uint64_t>(in + pos));
                    pos += 8;
                }
            }
        }
        out[i] = static_cast<int32_t>(value);
    }
    run.values = i;
    run.last = value;
    return static_cast<int64_t>(pos);
}

int64_t cbf_byte_offset_decode(const uint8_t* in, size_t size, int32_t* out, size_t count) {
    ByteOffsetRun run;
    const int64_t used = cbf_byte_offset_values(in, size, 0, out, count, run);
    return run.values < count ? -1 : used;
}

std::unique_ptr<HDR> cbf_open(const std::string& name, const std::string& program, bool as_named,
                              const XyReadOptions& /*reading*/) {
    const std::string file_name = xy_module_file_name(name, {".cbf"}, as_named);
    FileHandle fp = xy_open_frame_file(kOrigin, "cbf", program, file_name);
    CbfBinary binary;
    bool found = false;
    for (size_t n = kFirstRead; !found; n *= 4) {
        const std::string head = xy_read_bytes(fp.get(), 0, n);
        found = cbf_parse_header(head, file_name, binary);
        if (!found && (head.size() < n || n >= kMaxHeader))
            v_fatal(kOrigin, " no binary section found in the first %zu bytes of '%s'\n", head.size(),
                    file_name.c_str());
    }
    const int64_t bytes = xy_file_bytes(fp.get());
    if (bytes >= 0 && binary.data_offset + binary.size > static_cast<uint64_t>(bytes))
        v_fatal(kOrigin, " '%s' declares %llu bytes of binary data at byte %llu but ends at byte %lld\n",
                file_name.c_str(), static_cast<unsigned long long>(binary.size),
                static_cast<unsigned long long>(binary.data_offset), static_cast<long long>(bytes));

    auto hdr = std::make_unique<HDR>();
    hdr->dim_x = static_cast<uint16_t>(binary.fastest);
    hdr->dim_y = static_cast<uint16_t>(binary.second);
    hdr->frames = 1;
    hdr->type = XY_TYPE_INT32;
    xy_standard_entries(*hdr, nullptr);
    for (const KvfItem& item : binary.text_entries)
        xy_kvfstr(*hdr, item.key, item.value);
    xy_kvfstr(*hdr, "Compression", binary.compression);
    xy_kvfstr(*hdr, "X-Binary-Element-Type", binary.element_type);
    xy_kvfstr(*hdr, "X-Binary-Size", std::to_string(binary.size));
    xy_kvfstr(*hdr, "X-Binary-Size-Fastest-Dimension", std::to_string(binary.fastest));
    xy_kvfstr(*hdr, "X-Binary-Size-Second-Dimension", std::to_string(binary.second));
    hdr->file_name = file_name;
    hdr->source = std::make_shared<CbfFrame>(binary, fp.get(), file_name);
    hdr->decoder = xy_source_decoder;
    hdr->byte_order = xy_host_byte_order(); // the decoder gives host-order values
    hdr->fp = std::move(fp);
    hdr->format = XY_FORMAT_CBF;
    return hdr;
}

const XyFormat cbf_format = {"CBF",    {".cbf", nullptr, nullptr}, cbf_looks_like, "cbf",
                             cbf_open, xy_source_decoder};
