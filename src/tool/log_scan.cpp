// The log scan: the digits behind the tag of the log's last tagged line.
#include "runtime/process_frame.h"
#include "tool/zub.h"

namespace zub {

std::string TagValue;

namespace {

LineFile LogFile;

bool IsDigit(char byte) { return byte >= '0' && byte <= '9'; }

}  // namespace

bool TakeTagValue(std::string_view line, std::string& value) {
  std::string_view::size_type tag = FindTag(line);
  if (tag == std::string_view::npos) return false;
  std::string_view::size_type first = tag + kTag.size();
  std::string_view::size_type last = first;
  while (last < line.size() && IsDigit(line[last])) ++last;
  value.assign(line.substr(first, last - first));
  return true;
}

void ScanLog(const std::string& log_path) {
  TagValue.clear();
  std::string& line = SettingsLines[0];

  Bind(LogFile, log_path);
  // A tag starts with its first byte, so only the part of a line from the
  // first such byte on can hold the first tag of the line.
  LogFile.watched = static_cast<unsigned char>(kTag[0]);
  // Logs come with either line end: a lone line feed ends a line too, so that
  // the last tagged line decides in every log.
  LogFile.line_feed_ends_line = true;
  OpenRead(LogFile);
  CheckIo();
  EnterProtectedBlock(LogFile);
  // Read before testing for the end: even an empty log gives one line.
  for (;;) {
    ReadWatchedPart(LogFile, line);
    CheckIo();
    TakeTagValue(line, TagValue);
    bool at_end = AtEnd(LogFile);
    CheckIo();
    if (at_end) break;
  }
  LeaveProtectedBlock();
  Close(LogFile);
  CheckIo();

  if (TagValue.empty()) FinishWith("Something is wrong, ZUB not found");
}

}  // namespace zub
