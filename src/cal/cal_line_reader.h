// The calibration file's lines, read from the file's bytes in memory.
//
// Lines end in CR LF, a lone CR or a lone LF; the last line may lack its line end. A line is
// handed out where it lies in the buffer, cut to 255 characters as the interactive reader keeps
// them; nothing is copied. Past the last line there is no line: the reader says so, where the
// interactive reader would hand out empty lines.
#pragma once

#include <cstddef>
#include <string_view>

#include "cal/cal_format.h"

namespace zel {

class CalLineReader {
 public:
  // bytes[size] must be writable: the reader puts a line end there as a sentinel, so that the
  // scan for a line end needs no bounds test.
  CalLineReader(char* bytes, std::size_t size) : pos_(bytes), end_(bytes + size) { *end_ = '\n'; }

  // The next line without its line end; false past the last line.
  bool Next(std::string_view* line) {
    if (pos_ == end_) return false;
    const char* p = LineEnd(pos_);
    const std::size_t length = static_cast<std::size_t>(p - pos_);
    *line = std::string_view(pos_, length < calfmt::kMaxLineChars ? length : calfmt::kMaxLineChars);
    Pass(p);
    return true;
  }

  // The reader's position, for a caller that parses a line in place: Line() is where the next
  // line starts, and Pass(end) moves past a line end that the caller found itself (*end is CR or
  // LF, or end is End()).
  const char* Line() const { return pos_; }
  const char* End() const { return end_; }
  void Pass(const char* line_end) {
    if (line_end == end_) {
      pos_ = end_;  // a last line without its line end
      return;
    }
    pos_ = line_end + 1;
    if (*line_end == '\r' && pos_ != end_ && *pos_ == '\n') ++pos_;
  }

  // The first CR or LF at or after p (the sentinel at the latest).
  static const char* LineEnd(const char* p) {
    // Both line ends lie below 14: one comparison passes over every other character.
    while (static_cast<unsigned char>(*p) > '\r' || (*p != '\r' && *p != '\n')) ++p;
    return p;
  }

 private:
  const char* pos_;
  char* end_;
};

}  // namespace zel
