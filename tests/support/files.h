// What several tests need of files and of the tool's output, once: whole
// files read and written, and the report line.
#ifndef ZUB_TESTS_SUPPORT_FILES_H_
#define ZUB_TESTS_SUPPORT_FILES_H_

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace zub::testing {

// The bytes of a file; empty where it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), {}};
}

inline void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// True when `text` ends with the report line for `code`: "Runtime error",
// the code's last digit in column 17, "at", eight upper-case hexadecimal
// digits, CR LF.
inline bool EndsWithReport(std::string_view text, std::uint32_t code) {
  const std::string digits = std::to_string(code);
  const std::string head = "Runtime error" + std::string(4 - digits.size(), ' ') + digits + " at ";
  const std::size_t length = head.size() + 10;
  if (text.size() < length) return false;
  const std::string_view line = text.substr(text.size() - length);
  return line.starts_with(head) &&
         line.find_first_not_of("0123456789ABCDEF", head.size()) == length - 2 &&
         line.ends_with("\r\n");
}

}  // namespace zub::testing

#endif  // ZUB_TESTS_SUPPORT_FILES_H_
