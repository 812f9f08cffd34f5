// Native kvf format: opening (header fields and header list) and writing.
#include "kvf_lib.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const char* const kKvfOrigin = "../xy32lib/kvf_lib";

// Header lines are taken in pieces of at most this many characters.
constexpr size_t kPieceLength = 254;
// A header is a few kilobytes; a file claiming more is not a native file.
constexpr size_t kMaxHeaderBytes = 16u << 20;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view skip_blanks(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && is_blank(s[i]))
        ++i;
    return s.substr(i);
}

// Length of the piece starting at `pos`: up to and including a line feed, at
// most kPieceLength characters. 0 when the piece is not whole yet (more bytes
// may follow) or nothing is left.
size_t piece_length(std::string_view bytes, size_t pos, bool at_end) {
    const size_t avail = bytes.size() - pos;
    const size_t limit = avail < kPieceLength ? avail : kPieceLength;
    const size_t lf = bytes.substr(pos, limit).find('\n');
    if (lf != std::string_view::npos) return lf + 1;
    if (limit == kPieceLength || at_end) return limit;
    return 0;
}

// atoi without overflow: out-of-range values saturate.
int64_t atoi_saturated(std::string_view text) {
    return leading_integer(std::string(text).c_str()).value;
}

// A dimension "read as 16-bit decimal": negative values written by 16-bit
// signed printing are taken back modulo 65536; anything else out of range is
// refused rather than wrapped to a wrong size.
uint16_t dimension_value(std::string_view key, std::string_view value) {
    const int64_t v = atoi_saturated(value);
    if (v < INT16_MIN || v > UINT16_MAX)
        v_fatal(kKvfOrigin, "%.*s value%.*s out of the 16-bit range\n", static_cast<int>(key.size()),
                key.data(), static_cast<int>(value.size()), value.data());
    return static_cast<uint16_t>(v);
}

// The key tests of the header reader, first match in this order.
void apply_header_field(KvfHeader& h, std::string_view key, std::string_view value) {
    if (contains(key, "Image")) {
        const int64_t v = atoi_saturated(value);
        h.frames = static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);
    } else if (contains(key, "ByteOrder")) {
        if (contains(value, "HighByteFirst"))
            h.order = XyByteOrder::high_first;
        else if (contains(value, "LowByteFirst"))
            h.order = XyByteOrder::low_first;
        else
            v_fatal(kKvfOrigin, "unknown ByteOrder %.*s\n", static_cast<int>(value.size()), value.data());
    } else if (contains(key, "DataType")) {
        if (contains(value, "UnsignedShort")) h.type = XY_TYPE_UINT16;
        if (contains(value, "SignedInteger")) h.type = XY_TYPE_INT32;
        if (contains(value, "FloatValue")) h.type = XY_TYPE_FLOAT;
        h.uint32_samples = contains(value, "UnsignedInteger");
        if (h.uint32_samples) h.type = XY_TYPE_INT32;
    } else if (contains(key, "Dim_1")) {
        h.dim_x = dimension_value("Dim_1", value);
    } else if (contains(key, "Dim_2")) {
        h.dim_y = dimension_value("Dim_2", value);
    }
}

// The header-list entry of a piece: trailing blanks, line ends and ";" go
// (never the first character); what is left of one character is dropped.
void add_list_entry(KvfHeader& h, std::string_view piece) {
    size_t end = piece.size();
    while (end > 1 && (is_blank(piece[end - 1]) || std::strchr("\n\r;", piece[end - 1])))
        --end;
    if (end <= 1) return;
    const std::string_view text = piece.substr(0, end);
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos)
        h.entries.push_back({std::string(text), std::string()});
    else
        h.entries.push_back({std::string(text.substr(0, eq)), std::string(text.substr(eq + 1))});
}

// The whole header, read from the start of the file in growing blocks until
// the closing line is found.
KvfHeader read_header(std::FILE* fp) {
    std::string bytes;
    size_t want = 4096;
    for (;;) {
        bytes += xy_read_bytes(fp, static_cast<int64_t>(bytes.size()), want - bytes.size());
        const bool at_end = bytes.size() < want;
        KvfHeader h = kvf_parse_header(bytes, at_end);
        if (h.complete) return h;
        if (want >= kMaxHeaderBytes) v_fatal(kKvfOrigin, "header longer than %zu bytes\n", kMaxHeaderBytes);
        want *= 2;
    }
}

// ---------------------------------------------------------------- writing

std::string entry_line(const std::string& key, const std::string& value) {
    return prg_format("%-15s = %s ; \n", key.c_str(), value.c_str());
}

// True when a line of `text` would be taken for the header's closing line.
bool would_close_header(std::string_view text) {
    size_t start = 0;
    for (;;) {
        const std::string_view line = skip_blanks(text.substr(start));
        if (!line.empty() && line[0] == '}') return true;
        const size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) return false;
        start = lf + 1;
    }
}

std::string fixed_entries(const IMG& img, int32_t out_type) {
    std::string head = "{\n";
    head += entry_line("HeaderID", "EH:000001:000000:000000");
    head += entry_line("ByteOrder", "LowByteFirst");
    head += entry_line("DataType", out_type == XY_TYPE_FLOAT ? "FloatValue" : "SignedInteger");
    head += prg_format("%-15s = %lld ; \n", "Size", static_cast<long long>(img.size) * 4);
    head += prg_format("%-15s = %d ; \n", "Dim_1", img.nx);
    head += prg_format("%-15s = %d ; \n", "Dim_2", img.ny);
    head += prg_format("%-15s = %d ; \n", "Image", 1);
    return head;
}

// Keys the writer sets itself: a copy of any of them later in the header
// would describe the data wrongly when the file is read back.
const char* const kOwnKeys[] = {"HeaderID", "ByteOrder", "Dim_1", "Dim_2", "DataType", "Size"};

bool names_own_key(std::string_view key) {
    for (const char* own : kOwnKeys)
        if (key.find(own) != std::string_view::npos) return true;
    return false;
}

// The key of a header line: the text before its "=" (none without one).
std::string_view line_key(std::string_view line) {
    const size_t eq = line.find('=');
    return eq == std::string_view::npos ? std::string_view() : line.substr(0, eq);
}

// The extra-header file (program base name + ".hdr") is copied line by line;
// a line that would end the header early, or would redefine the layout of
// the data, is left out.
void add_extra_header(std::string& head) {
    const std::string& program = prg_state().name;
    const std::string name = program.substr(program.rfind('/') + 1) + ".hdr";
    prg_refuse_special_file(kKvfOrigin, name);
    FileHandle fp(std::fopen(name.c_str(), "rb"));
    if (!fp) {
        errno = 0;
        prg_printf(" no  %s file to add to kvf header\n", name.c_str());
        return;
    }
    prg_printf(" adding %s contents to kvf header\n", name.c_str());
    std::string text;
    char chunk[256];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, fp.get())) > 0)
        text.append(chunk, n);
    if (!text.empty() && text.back() != '\n') text += '\n'; // the next entry starts a line of its own
    size_t start = 0;
    int32_t line_no = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start) + 1;
        const std::string_view line = std::string_view(text).substr(start, end - start);
        ++line_no;
        if (would_close_header(line))
            prg_printf(" %s line %d begins with '}' and is left out of the kvf header\n", name.c_str(),
                       line_no);
        else if (names_own_key(line_key(line)))
            prg_printf(" %s line %d sets a key of the data layout and is left out of the kvf header\n",
                       name.c_str(), line_no);
        else
            head.append(line);
        start = end;
    }
}

// Entries of the source file, without those the writer sets itself.
void add_source_entries(std::string& head, const IMG& img) {
    if (!img.hdr) return;
    for (const KvfItem& item : img.hdr->items) {
        if (names_own_key(item.key)) continue;
        const std::string line =
            entry_line(contains(item.key, "Image") ? "Added_images" : item.key, item.value);
        if (would_close_header(line))
            prg_printf(" header entry '%s' would end the kvf header and is left out\n", item.key.c_str());
        else
            head += line;
    }
}

std::string offset_line(int64_t first_data_byte) {
    return prg_format("vtool_start = % 5lld ;\n", static_cast<long long>(first_data_byte));
}

// Ends the header at H, the smallest multiple of 1024 that holds the frame
// offset line, at least one blank and the closing "\n}\n".
void close_header(std::string& head) {
    const int64_t p = static_cast<int64_t>(head.size());
    int64_t h = (p + 22 + 4 + 1023) / 1024 * 1024;
    while (p + static_cast<int64_t>(offset_line(h + 1).size()) + 4 > h)
        h += 1024;
    head += offset_line(h + 1);
    head.append(static_cast<size_t>(h - 3 - static_cast<int64_t>(head.size())), ' ');
    head += "\n}\n";
}

void put_le32(unsigned char* out, uint32_t v) {
    out[0] = static_cast<unsigned char>(v);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v >> 16);
    out[3] = static_cast<unsigned char>(v >> 24);
}

void write_rows(std::FILE* fp, const IMG& img, int32_t out_type) {
    const size_t nx = static_cast<size_t>(img.nx);
    std::vector<unsigned char> row(nx * 4);
    for (int32_t y = 0; y < img.ny; ++y) {
        const int32_t* values = img.data.data() + static_cast<size_t>(y) * nx;
        for (size_t x = 0; x < nx; ++x) {
            uint32_t bits;
            if (out_type == XY_TYPE_FLOAT) {
                const float f = static_cast<float>(values[x]);
                std::memcpy(&bits, &f, sizeof bits);
            } else {
                bits = static_cast<uint32_t>(values[x]);
            }
            put_le32(&row[x * 4], bits);
        }
        if (std::fwrite(row.data(), 1, row.size(), fp) != row.size())
            v_error(kKvfOrigin, "writing data in kvf file\n");
    }
}

} // namespace

// ---------------------------------------------------------------- reading

KvfHeader kvf_parse_header(std::string_view bytes, bool at_end) {
    KvfHeader h;
    size_t pos = 0;
    size_t len = piece_length(bytes, pos, at_end);
    if (len == 0) {
        if (at_end) v_fatal(kKvfOrigin, "file end in the header\n");
        return h;
    }
    if (bytes[0] != '{') v_fatal(kKvfOrigin, "header indentifier error\n");
    bool line_start = bytes[len - 1] == '\n';
    pos += len;
    while ((len = piece_length(bytes, pos, at_end)) > 0) {
        const std::string_view raw = bytes.substr(pos, len);
        const bool starts_line = line_start;
        line_start = raw.back() == '\n';
        pos += len;
        const std::string_view piece = skip_blanks(raw);
        if (piece.empty()) continue;
        // Only a piece that starts a line can close the header: the rest of a
        // long line is never taken for its end.
        if (starts_line && piece[0] == '}') {
            h.complete = true;
            h.length = static_cast<int64_t>(pos);
            return h;
        }
        const size_t eq = piece.find('=');
        apply_header_field(h, piece.substr(0, eq), eq == std::string_view::npos ? "" : piece.substr(eq + 1));
        add_list_entry(h, piece);
    }
    if (at_end) v_fatal(kKvfOrigin, "file end in the header\n");
    return h;
}

std::unique_ptr<HDR> kvf_gethdr(std::FILE* fp) {
    const KvfHeader h = read_header(fp);
    auto hdr = std::make_unique<HDR>();
    hdr->byte_order = h.order;
    hdr->dim_x = h.dim_x;
    hdr->dim_y = h.dim_y;
    hdr->frames = h.frames;
    hdr->type = h.type;
    hdr->uint32_samples = h.uint32_samples;
    hdr->offset = h.length;
    ::fseeko(fp, static_cast<off_t>(h.length), SEEK_SET);
    return hdr;
}

void kvf_hdrfill(std::FILE* fp, HDR& hdr) {
    for (const KvfItem& item : read_header(fp).entries)
        xy_kvfstr(hdr, item.key, item.value);
}

std::unique_ptr<HDR> kvf_open(const std::string& name, const std::string& program, bool as_named,
                              const XyReadOptions& /*reading*/) {
    const std::string file_name = xy_module_file_name(name, {".kvf"}, as_named);
    FileHandle fp = xy_open_frame_file(kKvfOrigin, "kvf", program, file_name);
    std::unique_ptr<HDR> hdr = kvf_gethdr(fp.get());
    // The declared sizes are checked against the file before anyone allocates.
    if (hdr->type == XY_TYPE_UNSUPPORTED)
        v_fatal(kKvfOrigin, "missing or unknown DataType in kvf file '%s'\n", file_name.c_str());
    xy_check_frame_fits(kKvfOrigin, *hdr, fp.get(), file_name);
    kvf_hdrfill(fp.get(), *hdr);
    hdr->file_name = file_name;
    hdr->format = XY_FORMAT_KVF;
    hdr->fp = std::move(fp);
    return hdr;
}

// ---------------------------------------------------------------- registry entry

namespace {

bool looks_like_kvf(const std::string& head) {
    return head.compare(0, 2, "{\n") == 0;
}

} // namespace

const XyFormat kvf_format = {"native", {".kvf", nullptr, nullptr}, looks_like_kvf, "kvf", kvf_open, nullptr};

// ---------------------------------------------------------------- writing

void kvf_write(const IMG& img, const std::string& path, int32_t out_type) {
    const std::string name = xy_module_file_name(path, {".kvf"}, false);
    prg_printf(" %s\n", name.c_str());
    if (img.nx <= 0 || img.ny <= 0 || img.nx > UINT16_MAX || img.ny > UINT16_MAX)
        v_fatal(kKvfOrigin, "image of %d * %d pixels cannot be described in a kvf header : %s\n", img.nx,
                img.ny, name.c_str());
    if (img.data.size() < static_cast<size_t>(img.nx) * static_cast<size_t>(img.ny))
        v_fatal(kKvfOrigin, "image '%s' holds fewer values than %d * %d\n", name.c_str(), img.nx, img.ny);

    // The data go to a temporary file renamed over `name` only when all is
    // written, so a failure never destroys the previous file.
    errno = 0;
    AtomicOutFile out(name);
    if (!out.is_open()) v_error(kKvfOrigin, "unable to open the kvf out file : %s\n", name.c_str());

    std::string head = fixed_entries(img, out_type);
    add_extra_header(head);
    add_source_entries(head, img);
    close_header(head);
    if (std::fwrite(head.data(), 1, head.size(), out.get()) != head.size())
        v_error(kKvfOrigin, "writing data in kvf file\n");
    write_rows(out.get(), img, out_type);
    if (!out.commit()) v_error(kKvfOrigin, "closing kvf data file\n");
    prg_printf(" end kvf_write\n");
}

namespace {
void write_kvf(const IMG& img, const std::string& path, const XyWriteOptions& options) {
    kvf_write(img, path, options.kvf_type);
}
OutputDepth native_depth(const IMG&, const XyWriteOptions&) {
    return OutputDepth{};
}
} // namespace

const XyWriter kvf_writer = {"kvf", ".kvf", ".kvf", write_kvf, native_depth};
