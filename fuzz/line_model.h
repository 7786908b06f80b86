// The line rules of a text file, stated plainly, to hold the real reader
// against: the data ends at its first 0x1A byte; a line ends at CR LF, at a
// lone CR, or at the end of the data, and where line feeds end lines (as in
// the log) at a lone LF; every other byte, LF included otherwise, is part of
// the line.
#ifndef ZUB_FUZZ_LINE_MODEL_H_
#define ZUB_FUZZ_LINE_MODEL_H_

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace zub::fuzz {

class LineModel {
 public:
  explicit LineModel(std::string_view bytes, bool line_feed_ends_line = false)
      : data_(bytes.substr(0, bytes.find('\x1A'))), ends_(line_feed_ends_line ? "\r\n" : "\r") {}

  [[nodiscard]] bool AtEnd() const { return at_ == data_.size(); }

  unsigned char ReadChar() { return AtEnd() ? 0x1A : static_cast<unsigned char>(data_[at_++]); }

  std::string ReadLine() {
    const std::size_t end = std::min(data_.find_first_of(ends_, at_), data_.size());
    std::string line(data_.substr(at_, end - at_));
    at_ = std::min(end + 1, data_.size());
    if (data_.substr(end).starts_with("\r\n")) ++at_;
    return line;
  }

  // The next line from its first `watched` byte on; empty if it has none.
  std::string ReadWatchedPart(char watched) {
    const std::string line = ReadLine();
    const std::size_t at = line.find(watched);
    return at == std::string::npos ? std::string() : line.substr(at);
  }

 private:
  std::string_view data_;
  std::string_view ends_;  // the bytes that end a line
  std::size_t at_ = 0;
};

// The lines of `bytes`, each read while the data has not ended.
inline std::vector<std::string> LinesOf(std::string_view bytes) {
  std::vector<std::string> lines;
  for (LineModel model(bytes); !model.AtEnd();) lines.push_back(model.ReadLine());
  return lines;
}

}  // namespace zub::fuzz

#endif  // ZUB_FUZZ_LINE_MODEL_H_
