// Text frames: the whole-line reader, the number parser and the generic text
// raw reader xy_getrawa. A text frame is dim_y lines of dim_x numbers; frames
// of one file are separated by a single line that starts with "#".
#include "xy_rawtext.hpp"

#include "xy_lib.hpp"
#include "xy_pixel.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>

namespace {

const char* const kLibOrigin = "../xy32lib/xy_lib";

constexpr size_t kBlockBytes = 1 << 16;
// A row of 65535 values, each written with many digits, stays far below this;
// a longer "line" is not a text image and would only exhaust memory.
constexpr size_t kMaxLineBytes = size_t(64) << 20;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

} // namespace

// ---------------------------------------------------------------- whole lines

TextLines::TextLines(std::FILE* fp, int64_t start, const std::string& file_name)
    : fp_(fp), file_name_(file_name), block_(kBlockBytes), block_offset_(start), line_offset_(start) {
    if (!fp_ || fseeko(fp_, static_cast<off_t>(start), SEEK_SET) != 0)
        v_error(kLibOrigin, "unable to seek to byte %lld of text file '%s'", static_cast<long long>(start),
                file_name_.c_str());
}

bool TextLines::fill() {
    if (at_end_) return false;
    block_offset_ += static_cast<int64_t>(end_);
    begin_ = end_ = 0;
    end_ = std::fread(block_.data(), 1, block_.size(), fp_);
    if (end_ == 0) {
        if (std::ferror(fp_)) v_error(kLibOrigin, "unable to read text file '%s'", file_name_.c_str());
        at_end_ = true;
        return false;
    }
    return true;
}

bool TextLines::next(std::string& line, bool& ended) {
    line.clear();
    ended = false;
    line_offset_ = block_offset_ + static_cast<int64_t>(begin_);
    bool any = false;
    while (begin_ < end_ || fill()) {
        any = true;
        const char* start = block_.data() + begin_;
        const size_t avail = end_ - begin_;
        const char* feed = static_cast<const char*>(std::memchr(start, '\n', avail));
        const size_t take = feed ? static_cast<size_t>(feed - start) : avail;
        if (line.size() + take > kMaxLineBytes) {
            v_fatal(kLibOrigin, "line at byte %lld of text file '%s' is longer than %zu bytes",
                    static_cast<long long>(line_offset_), file_name_.c_str(), kMaxLineBytes);
        }
        line.append(start, take);
        begin_ += take;
        if (feed) {
            ++begin_;
            ended = true;
            return true;
        }
    }
    return any;
}

bool TextLines::skip(int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        bool any = false, ended = false;
        while (!ended && (begin_ < end_ || fill())) {
            any = true;
            const char* start = block_.data() + begin_;
            const char* feed = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
            begin_ = feed ? static_cast<size_t>(feed - block_.data()) + 1 : end_;
            ended = feed != nullptr;
        }
        if (!any) return false;
    }
    return true;
}

// ---------------------------------------------------------------- numbers

bool text_next_token(const char* end, const char*& pos, TextToken& token) {
    while (pos < end && is_blank(*pos))
        ++pos;
    if (pos == end) return false;
    token.begin = pos;
    while (pos < end && !is_blank(*pos))
        ++pos;
    token.end = pos;
    return true;
}

TextNumber text_parse_number(const TextToken& token, double& value) {
    const char* first = token.begin;
    // "%lg" takes a leading plus; from_chars does not.
    if (first < token.end && *first == '+') {
        ++first;
        if (first < token.end && *first == '-') return TextNumber::not_a_number;
    }
    const std::from_chars_result r = std::from_chars(first, token.end, value, std::chars_format::general);
    if (r.ec == std::errc::invalid_argument || r.ptr != token.end) return TextNumber::not_a_number;
    if (r.ec == std::errc::result_out_of_range) {
        // Underflow is a harmless zero; only overflow is out of range.
        const std::string text = token.text();
        value = std::strtod(text.c_str(), nullptr);
        if (std::fabs(value) == HUGE_VAL) return TextNumber::out_of_range;
    }
    return std::isfinite(value) ? TextNumber::ok : TextNumber::out_of_range;
}

// ---------------------------------------------------------------- the text raw reader

namespace {

// Where one frame's values go: the region of interest inside a file frame.
struct TextFrameTarget {
    const XyWindow& window;
    const HDR& hdr;
    int32_t* buf;
    int32_t frame;
    double scale; // MULT when above 1, else 1
    bool scaled;
};

[[noreturn]] void refuse_value(const TextFrameTarget& t, int32_t y, int32_t x, const char* what,
                               const std::string& token) {
    v_fatal(kLibOrigin, "xy_getrawa reading image %d of '%s' at y = %d/%d, x = %d/%d : '%s' %s", t.frame,
            t.hdr.file_name.c_str(), y, t.hdr.dim_y, x, t.hdr.dim_x, token.c_str(), what);
}

// The value stored for one number: scaled by MULT, truncated toward zero,
// refused when the result does not fit a 32-bit pixel.
int32_t text_pixel(const TextFrameTarget& t, int32_t y, int32_t x, const TextToken& token) {
    double value = 0.0;
    switch (text_parse_number(token, value)) {
    case TextNumber::not_a_number:
        refuse_value(t, y, x, "is not a number", token.text());
    case TextNumber::out_of_range:
        refuse_value(t, y, x, "is out of the 32-bit pixel range", token.text());
    case TextNumber::ok:
        break;
    }
    if (t.scaled) value *= t.scale;
    int32_t pixel = 0;
    if (!truncate_to_pixel(value, pixel))
        refuse_value(t, y, x,
                     t.scaled ? "times MULT is out of the 32-bit pixel range"
                              : "is out of the 32-bit pixel range",
                     token.text());
    return pixel;
}

// Parses one file row: exactly dim_x numbers, the region's part stored.
void read_text_row(const TextFrameTarget& t, int32_t y, const std::string& line) {
    const XyWindow& w = t.window;
    const bool in_rows = y >= w.y0 && y < w.y0 + w.height;
    int32_t* row = in_rows ? t.buf + static_cast<int64_t>(y - w.y0) * w.width : nullptr;
    const char* pos = line.data();
    const char* end = pos + line.size();
    TextToken token;
    int32_t x = 0;
    for (; text_next_token(end, pos, token); ++x) {
        const int32_t value = text_pixel(t, y, x, token);
        if (x >= t.hdr.dim_x) {
            v_fatal(kLibOrigin,
                    "xy_getrawa reading image %d of '%s' at y = %d/%d : the row holds more than %d values",
                    t.frame, t.hdr.file_name.c_str(), y, t.hdr.dim_y, t.hdr.dim_x);
        }
        if (row && x >= w.x0 && x < w.x0 + w.width) row[x - w.x0] = value;
    }
    if (x < t.hdr.dim_x) {
        v_fatal(kLibOrigin,
                "xy_getrawa reading image %d of '%s' at y = %d/%d : the row holds %d values, %d expected",
                t.frame, t.hdr.file_name.c_str(), y, t.hdr.dim_y, x, t.hdr.dim_x);
    }
}

void dump_text_row(std::FILE* dump, const XyWindow& w, int32_t r, const int32_t* row) {
    std::string text = prg_format("#I %3d :", r);
    for (int32_t i = 0; i < w.width; ++i)
        text += prg_format(" %5d", row[i]);
    text += '\n';
    prg_write(dump, text);
}

// The window must lie inside this file's frame, or part of the buffer would
// silently keep old values (a series whose files differ in size).
void check_window_fits(const XyWindow& w, const HDR& hdr) {
    if (w.x0 < 0 || w.y0 < 0 || w.width < 0 || w.height < 0 || int64_t(w.x0) + w.width > hdr.dim_x ||
        int64_t(w.y0) + w.height > hdr.dim_y) {
        v_fatal(kLibOrigin, "xy_getrawa : region (%d+%d) * (%d+%d) does not fit the %d * %d frames of '%s'",
                w.x0, w.width, w.y0, w.height, hdr.dim_x, hdr.dim_y, hdr.file_name.c_str());
    }
}

} // namespace

int32_t xy_getrawa(const IMG& img, const XyWindow& window, int32_t* buf, int32_t frame, std::FILE* dump) {
    if (!img.hdr || !img.hdr->fp) {
        v_fatal(kLibOrigin, "xy_getrawa : no open text file");
    }
    HDR& hdr = *img.hdr;
    check_window_fits(window, hdr);
    const TextFrameTarget target{window,         hdr, buf, frame, img.mult > 1.0f ? double(img.mult) : 1.0,
                                 img.mult > 1.0f};

    // Start from the nearest frame already found, then pass over the frames
    // between it and this one: dim_y rows and their "#" separator each.
    if (hdr.frame_starts.empty()) hdr.frame_starts.push_back(hdr.offset);
    int32_t known = frame < 1 ? 1 : frame;
    if (static_cast<size_t>(known) > hdr.frame_starts.size())
        known = static_cast<int32_t>(hdr.frame_starts.size());
    TextLines lines(hdr.fp.get(), hdr.frame_starts[static_cast<size_t>(known) - 1], hdr.file_name);
    std::string line;
    for (int32_t p = known; p < frame; ++p) {
        lines.skip(hdr.dim_y);
        bool ended = false;
        const bool got = lines.next(line, ended);
        if (!got || line.empty() || line[0] != '#') {
            // The line is printed as read, with its own line feed.
            prg_screen("xy_getrawa pos %d : multiframe txt image with more than one '#' line\n%s%s\n", frame,
                       got ? line.c_str() : "", got && ended ? "\n" : "");
            return -1;
        }
        hdr.frame_starts.push_back(lines.position());
    }

    for (int32_t y = 0; y < hdr.dim_y; ++y) {
        if (!lines.next(line)) {
            if (y == 0) return 0; // the frame does not exist
            prg_notice("xy_getrawa error %d reading image %d at y = %d/%d, x = %d/%d\n", errno, frame, y,
                       hdr.dim_y, 0, hdr.dim_x);
            return -1;
        }
        if (!line.empty() && line[0] == '#') {
            v_fatal(kLibOrigin,
                    "xy_getrawa reading image %d of '%s' : the frame ends after %d of its %d rows", frame,
                    hdr.file_name.c_str(), y, hdr.dim_y);
        }
        read_text_row(target, y, line);
    }

    if (dump)
        for (int32_t r = 0; r < window.height; ++r)
            dump_text_row(dump, window, r, buf + static_cast<int64_t>(r) * window.width);
    prg_screen(" txt frame %d read\n", frame);
    return window.height;
}
