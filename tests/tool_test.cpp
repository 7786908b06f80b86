// The tool's editing steps: the value taken from a log line, and the
// settings line patched with it.
#include <string>

#include <gtest/gtest.h>

#include "tool/zub.h"

namespace zub {
namespace {

TEST(TakeTagValue, TakesTheDigitsBehindTheFirstTag) {
  struct Case {
    const char* line;
    bool tagged;
    const char* value;  // for an untagged line: the value kept
  };
  const Case cases[] = {
      {"zub=0042;x", true, "0042"},
      {"zub=17", true, "17"},
      {"#12 zub=815 ok", true, "815"},
      {"a zub=1 b zub=2", true, "1"},
      {"zub=12a34", true, "12"},
      {"zub=-3", true, ""},
      {"zub=x", true, ""},
      {"text zub=", true, ""},
      {"zub= 5", true, ""},
      {"zub=12\nzub=5\n", true, "12"},
      {"zub=123456789012345678901234567890", true, "123456789012345678901234567890"},
      {"ZUB=12", false, "old"},
      {"zub", false, "old"},
      {"", false, "old"},
      {"zzub=5", true, "5"},
      {"zuzub=6", true, "6"},
      {"zub-zub=7", true, "7"},
      {"z zu zub zub=8", true, "8"},
      {"xzub", false, "old"},
      {"zub=", true, ""},
  };
  for (const Case& c : cases) {
    std::string value = "old";
    EXPECT_EQ(TakeTagValue(c.line, value), c.tagged) << c.line;
    EXPECT_EQ(value, c.value) << c.line;
  }
}

TEST(PatchLine, ReplacesTheOldValueOfTheFirstTag) {
  struct Case {
    const char* before;
    const char* after;  // nullptr: no tag, the line stays
  };
  const Case cases[] = {
      {"path=x zub=12 y", "path=x zub=345 y"},
      {"zub=12\\book", "zub=345\\book"},
      {"zub= y", "zub=345 y"},
      {"mode zub=abc", "mode zub=345"},
      {"zub=ab,cd\tef gh", "zub=345 gh"},
      {"zub=1 zub=2", "zub=345 zub=2"},
      {"last zub=", "last zub=345"},
      {"zub=\\", "zub=345\\"},
      {"zub=12\nnext zub=5", "zub=345\nnext zub=5"},
      {"no tag", nullptr},
      {"ZUB=12 x", nullptr},
      {"", nullptr},
      {"zzub=1 x", "zzub=345 x"},
      {"zu zub", nullptr},
  };
  for (const Case& c : cases) {
    std::string line = c.before;
    EXPECT_EQ(PatchLine(line, "345"), c.after != nullptr) << c.before;
    EXPECT_EQ(line, c.after != nullptr ? c.after : c.before);
  }
}

}  // namespace
}  // namespace zub
