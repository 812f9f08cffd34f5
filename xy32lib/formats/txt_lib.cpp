// Text image format: recognising the layout of a text file and writing an
// image as text. The values themselves are read by xy_getrawa.
#include "txt_lib.hpp"

#include "xy_rawtext.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>

namespace {

const char* const kTxtOrigin = "../xy32lib/txt_lib";
constexpr int64_t kMaxDim = 65535; // HDR dimensions are 16-bit

// Width of the first data line: its numbers up to the first token that is not
// one. That token, if any, is reported later by the reader with its position.
int64_t count_leading_numbers(const std::string& line) {
    const char* pos = line.data();
    const char* end = pos + line.size();
    TextToken token;
    double value = 0.0;
    int64_t count = 0;
    while (text_next_token(end, pos, token) && text_parse_number(token, value) != TextNumber::not_a_number)
        ++count;
    return count;
}

bool is_separator(const std::string& line) {
    return !line.empty() && line[0] == '#';
}

} // namespace

std::unique_ptr<HDR> txt_gethdr(std::FILE* fp, const std::string& name) {
    auto hdr = std::make_unique<HDR>();
    hdr->type = XY_TYPE_TEXT;
    hdr->frames = 1;

    TextLines lines(fp, 0, name);
    std::string line;
    bool ended = false;
    int64_t line_number = 0;
    // Leading comment lines.
    do {
        if (!lines.next(line, ended))
            v_fatal(kTxtOrigin, "text file '%s' holds no data line (%lld lines read)", name.c_str(),
                    static_cast<long long>(line_number));
        ++line_number;
    } while (is_separator(line));
    hdr->offset = lines.line_offset();

    const int64_t width = count_leading_numbers(line);
    if (width == 0)
        v_fatal(kTxtOrigin, "text file '%s' : its first data line (line %lld) holds no number", name.c_str(),
                static_cast<long long>(line_number));
    if (width > kMaxDim)
        v_fatal(kTxtOrigin, "text file '%s' : %lld values in a row, more than the %lld a row may hold",
                name.c_str(), static_cast<long long>(width), static_cast<long long>(kMaxDim));

    // Height: data lines up to the end or the "#" line that ends frame 1. A
    // blank line is a row (the reader refuses it for its missing values).
    int64_t height = 1;
    for (;;) {
        if (!lines.next(line, ended)) {
            prg_screen("feof =%d=\n", static_cast<int>(height));
            break;
        }
        if (is_separator(line)) {
            prg_screen("'#' =%d= buffer = %s%s", static_cast<int>(height), line.c_str(), ended ? "\n" : "");
            break;
        }
        if (line.empty() || line[0] != '\0') ++height;
        if (height > kMaxDim)
            v_fatal(kTxtOrigin, "text file '%s' : more than %lld rows in a frame", name.c_str(),
                    static_cast<long long>(kMaxDim));
    }
    hdr->dim_x = static_cast<uint16_t>(width);
    hdr->dim_y = static_cast<uint16_t>(height);
    return hdr;
}

void txt_hdrfill(HDR& hdr) {
    xy_standard_entries(hdr, "SignedInt");
}

std::unique_ptr<HDR> txt_open(const std::string& name, const std::string& program, bool as_named,
                              const XyReadOptions& /*reading*/) {
    const std::string file_name = xy_module_file_name(name, {".txt"}, as_named);
    FileHandle fp = xy_open_frame_file(kTxtOrigin, "txt", program, file_name);
    std::unique_ptr<HDR> hdr = txt_gethdr(fp.get(), file_name);
    txt_hdrfill(*hdr);
    hdr->file_name = file_name;
    hdr->fp = std::move(fp);
    hdr->format = XY_FORMAT_TXT;
    hdr->wide_stored_transposed = true;
    return hdr;
}

const XyFormat txt_format = {"text", {".txt", nullptr, nullptr}, nullptr, "txt", txt_open, nullptr};

// ---------------------------------------------------------------- writing

namespace {

void append_value(std::string& text, int32_t value) {
    char digits[16];
    digits[0] = ' ';
    const std::to_chars_result r = std::to_chars(digits + 1, digits + sizeof digits, value);
    text.append(digits, r.ptr);
}

} // namespace

void txt_write(const IMG& img, const std::string& path, int32_t cr_mode) {
    const std::string name = xy_module_file_name(path, {".txt"}, false);
    prg_printf("%s\n", name.c_str());
    const int64_t nx = img.nx, ny = img.ny;
    if (nx <= 0 || ny <= 0 || static_cast<int64_t>(img.data.size()) < nx * ny) {
        v_fatal(kTxtOrigin, "no image data of %lld * %lld pixels to write to %s", static_cast<long long>(nx),
                static_cast<long long>(ny), name.c_str());
    }
    AtomicOutFile out(name);
    if (!out.is_open()) v_error(kTxtOrigin, "unable to open the txt out file : %s\n", name.c_str());

    // One line per row; a wide image is written transposed, one line per column.
    const bool by_rows = ny >= nx;
    const int64_t lines = by_rows ? ny : nx, per_line = by_rows ? nx : ny;
    const char line_end[2] = {cr_mode != 0 ? '\r' : ' ', '\n'};
    std::string text;
    for (int64_t l = 0; l < lines; ++l) {
        text.clear();
        for (int64_t i = 0; i < per_line; ++i)
            append_value(text, img.data[by_rows ? l * nx + i : i * nx + l]);
        text.append(line_end, 2);
        if (std::fwrite(text.data(), 1, text.size(), out.get()) != text.size()) break;
    }
    if (!out.commit()) v_error(kTxtOrigin, "unable to write the txt out file : %s\n", name.c_str());
}

namespace {
void write_text(const IMG& img, const std::string& path, const XyWriteOptions& options) {
    txt_write(img, path, options.cr_mode);
}
OutputDepth text_depth(const IMG&, const XyWriteOptions&) {
    return OutputDepth{0, 0, 0.0};
}
} // namespace

const XyWriter txt_writer = {"txt", ".txt", ".txt", write_text, text_depth};
