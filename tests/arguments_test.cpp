// Splitting the command line, and the arguments from a command-line text or
// from the table main was given.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/process_frame.h"
#include "support/fake_sys.h"

namespace zub {
namespace {

std::string Bytes(char byte, std::size_t count) { return std::string(count, byte); }

std::vector<std::string> Split(std::string_view text) {
  std::vector<std::string> arguments;
  std::size_t position = 0;
  for (std::string argument; !(argument = NextArgument(text, position)).empty();) {
    EXPECT_LE(position, text.size());
    arguments.push_back(argument);
    if (arguments.size() > text.size()) break;  // a splitter that stopped moving
  }
  return arguments;
}

struct SplitCase {
  const char* name;
  std::string text;
  std::vector<std::string> arguments;
};

const SplitCase kSplitCases[] = {
    {"a blank b", "a b", {"a", "b"}},
    {"blanks and tabs around", " \t a \t\t b \t ", {"a", "b"}},
    // Bytes in octal: 001, 037, 177 (127) and 240 (0xA0).
    {"control bytes separate", "a\nb\rc\001d\037e", {"a", "b", "c", "d", "e"}},
    {"byte 127 is ordinary", "a\177b", {"a\177b"}},
    {"byte 0xA0 is ordinary", "a\240b", {"a\240b"}},
    {"quoted paths",
     R"("C:\Program Files\a.log" "D:\My Files\x.ini")",
     {R"(C:\Program Files\a.log)", R"(D:\My Files\x.ini)"}},
    {"a lone pair vanishes", R"("" x y)", {"x", "y"}},
    {"pairs only", R"( "" "" """" )", {}},
    {"a pair in front of a word", R"(""abc)", {"abc"}},
    {"quoted and unquoted pieces join", R"(a"b c"d)", {"ab cd"}},
    {"a pair inside a word", R"(a""b)", {"ab"}},
    {"a trailing backslash stays", R"("C:\dir\" x)", {R"(C:\dir\)", "x"}},
    {"backslash before a quote", R"(a\"b c")", {R"(a\b c)"}},
    {"unterminated quote", R"("a b)", {"a b"}},
    {"empty text", "", {}},
    {"blanks only", " \t  ", {}},
    {"5000-byte word", Bytes('w', 5000), {Bytes('w', 4096), Bytes('w', 904)}},
    {"full word, then a quoted stretch", Bytes('w', 4096) + R"("b c")", {Bytes('w', 4096), "b c"}},
    {"quoted stretch past the limit", "\"" + Bytes('q', 5000) + "\" x", {Bytes('q', 4096), "x"}},
    {"stretch that crosses the limit",
     Bytes('a', 4000) + "\"" + Bytes('b', 200) + "\"",
     {Bytes('a', 4000) + Bytes('b', 96)}},
    {"full quoted stretch, then a word",
     "\"" + Bytes('q', 4096) + "\"zz",
     {Bytes('q', 4096), "zz"}},
};

TEST(NextArgument, SplitsTheCommandLine) {
  for (const SplitCase& c : kSplitCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Split(c.text), c.arguments);
  }
}

// ArgumentCount and Argument agree with `arguments`, and give nothing past them.
void ExpectArguments(const std::vector<std::string>& arguments) {
  const auto count = static_cast<std::int32_t>(arguments.size());
  EXPECT_EQ(ArgumentCount(), count);
  for (std::int32_t i = 1; i <= count; ++i) {
    EXPECT_EQ(Argument(i), arguments[static_cast<std::size_t>(i - 1)]);
  }
  EXPECT_EQ(Argument(count + 1), "");
  EXPECT_EQ(Argument(count + 2), "");
  EXPECT_EQ(Argument(-1), "");
}

// The command-line text that the fake platform hands out.
std::string CommandLine;

class ArgumentsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetArgumentSource(0, nullptr); }
  void TearDown() override { SetArgumentSource(0, nullptr); }
  testing::FakeSys sys_;
};

TEST_F(ArgumentsTest, FromTheCommandLineText) {
  Sys.command_line = [] { return CommandLine.c_str(); };
  const SplitCase cases[] = {
      {"two arguments", "zub a b", {"a", "b"}},
      {"quoted program name", R"("C:\Program Files\zub.exe" "x y" z)", {"x y", "z"}},
      {"a lone pair", R"(zub "" x y)", {"x", "y"}},
      {"nothing behind the name", "zub", {}},
      {"blanks behind the name", "zub  \t ", {}},
      {"no text at all", "", {}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    CommandLine = c.text;
    ExpectArguments(c.arguments);
  }
}

TEST_F(ArgumentsTest, FromTheArgumentTable) {
  char program[] = "zub", empty[] = "", a[] = "a", spaced[] = "b c";
  struct Case {
    std::vector<char*> argv;
    std::vector<std::string> arguments;
  };
  const Case cases[] = {
      {{program, a, spaced}, {"a", "b c"}},
      {{program, empty, a, empty, spaced, empty}, {"a", "b c"}},
      {{program}, {}},
      {{program, empty}, {}},
      {{}, {}},
  };
  // As where the platform hands the program its arguments already split.
  Sys.command_line = [] { return static_cast<const char*>(nullptr); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.size());
    std::vector<char*> argv = c.argv;
    SetArgumentSource(static_cast<int>(argv.size()), argv.empty() ? nullptr : argv.data());
    ExpectArguments(c.arguments);
    SetArgumentSource(0, nullptr);
  }
}

TEST_F(ArgumentsTest, IndexZeroIsTheProgramPath) {
  for (const char* text : {"other.exe a", static_cast<const char*>(nullptr)}) {
    CommandLine = text != nullptr ? text : "";
    Sys.command_line =
        text != nullptr ? +[] { return CommandLine.c_str(); } : NativeCalls().command_line;
    const std::filesystem::path path = Argument(0);
    EXPECT_TRUE(path.is_absolute()) << path;
    EXPECT_EQ(path.stem(), "unit_tests");
  }
}

}  // namespace
}  // namespace zub
