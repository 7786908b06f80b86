// The report names the place of the failed check as an offset into the
// program's own image, however the program is linked: added to the address
// the image's first byte is given in the file, it lies in the program's code.
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/run_tool.h"

namespace zub::e2e {
namespace {

TEST(Report, OffsetLiesInTheProgramsCode) {
  ZUB_NATIVE_ONLY();
  ToolRun run;
  run.arguments = {"/nonexistent/log.001", "/nonexistent/InBetween.ini"};
  const ToolResult result = RunTool(run);
  ASSERT_EQ(result.exit_status, 2);
  ASSERT_GE(result.output.size(), 10u);
  const std::uint64_t offset =
      std::stoull(result.output.substr(result.output.size() - 10, 8), nullptr, 16);

  std::ifstream image(ToolCommand().front(), std::ios::binary);
  Elf64_Ehdr header{};
  image.read(reinterpret_cast<char*>(&header), sizeof header);
  ASSERT_TRUE(image && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
              header.e_ident[EI_CLASS] == ELFCLASS64);
  std::vector<Elf64_Phdr> segments(header.e_phnum);
  image.seekg(static_cast<std::streamoff>(header.e_phoff));
  image.read(reinterpret_cast<char*>(segments.data()),
             static_cast<std::streamsize>(segments.size() * sizeof(Elf64_Phdr)));
  ASSERT_TRUE(image);

  const auto loads = [](const Elf64_Phdr& segment) { return segment.p_type == PT_LOAD; };
  const auto first = std::find_if(segments.begin(), segments.end(),
                                  [&](const Elf64_Phdr& s) { return loads(s) && s.p_offset == 0; });
  ASSERT_NE(first, segments.end());
  const std::uint64_t address = first->p_vaddr + offset;
  EXPECT_TRUE(std::any_of(segments.begin(), segments.end(),
                          [&](const Elf64_Phdr& s) {
                            return loads(s) && (s.p_flags & PF_X) != 0 && address >= s.p_vaddr &&
                                   address < s.p_vaddr + s.p_memsz;
                          }))
      << std::hex << "offset " << offset;
}

}  // namespace
}  // namespace zub::e2e
