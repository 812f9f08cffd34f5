// Text images at the byte level: whole lines of any length read in large
// blocks, and the parsing of one whitespace-separated number. Shared by the
// text format module (layout detection) and the text raw reader.
#pragma once

#include "prg_lib.hpp"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Reads a stream line by line from a given offset, whatever the length of a
// line (a 2048-wide row of 6-digit numbers is a normal 14 KB line). Works on
// its own buffer, so the stream position is left anywhere: every user seeks.
class TextLines {
  public:
    TextLines(std::FILE* fp, int64_t start, const std::string& file_name);
    // The next line without its line feed; false at the end of the stream.
    // `ended` tells whether a line feed closed it.
    bool next(std::string& line, bool& ended);
    bool next(std::string& line) {
        bool ended;
        return next(line, ended);
    }
    // Passes over `count` lines without keeping them; false when the stream
    // ended first.
    bool skip(int64_t count);
    // Byte offset of the first character of the line last returned.
    int64_t line_offset() const { return line_offset_; }
    // Byte offset of the next line to be returned.
    int64_t position() const { return block_offset_ + static_cast<int64_t>(begin_); }

  private:
    bool fill();
    std::FILE* fp_;
    std::string file_name_;
    std::vector<char> block_;
    size_t begin_ = 0;
    size_t end_ = 0;
    int64_t block_offset_; // stream offset of block_[0]
    int64_t line_offset_;
    bool at_end_ = false;
};

// One token of a text line: the characters between blanks.
struct TextToken {
    const char* begin;
    const char* end;
    std::string text() const { return std::string(begin, end); }
};

// Finds the token starting at or after `pos` in [begin, end); false when only
// blanks remain. On success `pos` is moved past the token.
bool text_next_token(const char* end, const char*& pos, TextToken& token);

enum class TextNumber { ok, not_a_number, out_of_range };

// Reads a whole token as a decimal number ("12", "-3", "+4", "1.5e3"), the
// forms "%lg" reads. "12abc" is not a number; "nan", "inf" and magnitudes
// beyond a double are out of range.
TextNumber text_parse_number(const TextToken& token, double& value);
