// LineFile: reading and writing through the 128-byte buffer, the codes it
// leaves, the console files and the names it takes.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/line_file.h"
#include "support/fake_sys.h"
#include "support/files.h"
#include "support/host.h"

namespace zub {
namespace {

using namespace std::string_literals;
using testing::Call;
using testing::ReadFile;
namespace host = testing::host;
const host::Codes& kCode = host::kCodes;

std::string Bytes(char byte, std::size_t count) { return std::string(count, byte); }

std::string Line(LineFile& file) {
  std::string line = "junk";
  ReadLine(file, line);
  return line;
}

class LineFileTest : public ::testing::Test {
 protected:
  void SetUp() override { StartLineFiles(); }
  void TearDown() override {
    for (Handle handle : handles_) host::CloseFile(handle);
  }
  std::string Put(const std::string& name, const std::string& bytes) {
    testing::WriteFile(dir_ + "/" + name, bytes);
    return dir_ + "/" + name;
  }
  // A handle of the file, open for reading, or created for writing.
  Handle Open(const std::string& path, bool write) {
    Handle handle = host::OpenFile(path, write);
    EXPECT_NE(handle, -1) << path;
    handles_.push_back(handle);
    return handle;
  }
  std::size_t Size(const std::string& path) {
    return static_cast<std::size_t>(std::filesystem::file_size(path));
  }

  testing::FakeSys sys_;
  host::TempFolder folder_;
  const std::string dir_ = folder_.path.string();
  std::vector<Handle> handles_;
};

struct ReadCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> lines;
  // The lines where a lone line feed ends a line too, where they differ.
  std::optional<std::vector<std::string>> lf_lines = std::nullopt;
};

const std::string A126 = Bytes('a', 126), A127 = Bytes('a', 127), A128 = Bytes('a', 128);

const ReadCase kReadCases[] = {
    {"empty file", "", {}},
    {"a CR LF b", "a\r\nb", {"a", "b"}},
    {"trailing CR LF", "a\r\nb\r\n", {"a", "b"}},
    {"lone CR", "a\rb\r", {"a", "b"}},
    {"CR CR LF", "a\r\r\nb", {"a", "", "b"}},
    {"LF only", "a\nb\n", {"a\nb\n"}, {{"a", "b"}}},
    {"LF, CR LF, LF LF", "a\n\r\nb\n\n", {"a\n", "b\n\n"}, {{"a", "", "b", ""}}},
    {"LF byte 128", A127 + "\nb", {A127 + "\nb"}, {{A127, "b"}}},
    {"LF before 0x1A", "a\n\032b\n", {"a\n"}, {{"a"}}},
    {"0x1A in the middle", "a\r\nb\032c\r\n", {"a", "b"}},
    {"0x1A first", "\032a\r\n", {}},
    {"CR LF alone", "\r\n", {""}},
    {"NUL in a line", "a\0b\r\n"s, {"a\0b"s}},
    {"300-byte line", Bytes('x', 300), {Bytes('x', 300)}},
    {"over several buffers", Bytes('x', 200) + "\r\n" + A127, {Bytes('x', 200), A127}},
    {"CR byte 128, LF byte 129", A127 + "\r\nb", {A127, "b"}},
    {"CR byte 128 ends the data", A127 + "\r", {A127}},
    {"lone CR byte 128", A127 + "\rb", {A127, "b"}},
    {"CR byte 128, 0x1A byte 129", A127 + "\r\032b", {A127}},
    {"CR byte 128, CR LF after", A127 + "\r\r\nb", {A127, "", "b"}},
    {"CR LF bytes 127 and 128", A126 + "\r\nb", {A126, "b"}},
    {"CR LF, then a lone CR", "zub=1\r\n\r", {"zub=1", ""}},
    {"empty line whose CR is byte 128", Bytes('a', 125) + "\r\n\r\nb", {Bytes('a', 125), "", "b"}},
    {"content of exactly 128 bytes", A128, {A128}},
    {"128 bytes, then CR LF", A128 + "\r\n", {A128}},
    {"0x1A byte 129", A128 + "\032b\r\n", {A128}},
    {"0x1A byte 128", A127 + "\032b\r\n", {A127}},
    {"0x1A byte 130, line across buffers", A128 + "a\032b\r\n", {A128 + "a"}},
    {"0x1A, then CR in the same buffer", "a\032\rb\r\n", {"a"}},
    {"0x1A after CR LF", "a\r\n\032b\r\n", {"a"}},
    {"two 0x1A", "a\032\032\r\n", {"a"}},
    // A short last fill leaves older bytes behind it in the buffer.
    {"short fill, old CR behind it",
     Bytes('x', 30) + "\r\n" + Bytes('y', 96) + Bytes('w', 20),
     {Bytes('x', 30), Bytes('y', 96) + Bytes('w', 20)}},
    {"short fill, old CR far behind it",
     Bytes('x', 100) + "\r\n" + Bytes('y', 26) + Bytes('w', 70),
     {Bytes('x', 100), Bytes('y', 26) + Bytes('w', 70)}},
    // Fills of exactly 64 bytes, the first and the second.
    {"fill of 64 bytes",
     Bytes('x', 30) + "\r\n" + Bytes('y', 32),
     {Bytes('x', 30), Bytes('y', 32)}},
    {"fill of 128, then 64 bytes",
     A128 + Bytes('x', 30) + "\r\n" + Bytes('y', 32),
     {A128 + Bytes('x', 30), Bytes('y', 32)}},
    // Cases for the watched bytes 'a' and 'b' (see below).
    {"b byte 128, CR after", A127 + "b\r\nb", {A127 + "b", "b"}},
    {"b bytes 128 and 129", A127 + "bb\r\nab\r\n", {A127 + "bb", "ab"}},
    {"b before 0x1A", "xb\032c\r\n", {"xb"}},
    {"b, then a", "xbya\rzb\n\r\n", {"xbya", "zb\n"}, {{"xbya", "zb", ""}}},
    {"b, LF, then a b", "xb\nab", {"xb\nab"}, {{"xb", "ab"}}},
};

TEST_F(LineFileTest, ReadsLinesByteInputs) {
  for (const ReadCase& c : kReadCases) {
    SCOPED_TRACE(c.name);
    sys_.Reset();
    LineFile file;
    Bind(file, Put("in", c.bytes));
    OpenRead(file);
    std::vector<std::string> lines;
    while (!AtEnd(file) && lines.size() <= c.lines.size()) {
      EXPECT_FALSE(AtEnd(file));  // consumes nothing
      ReadLine(file, lines.emplace_back("junk"));
    }
    EXPECT_EQ(lines, c.lines);
    for (int again = 0; again < 2; ++again) {
      EXPECT_EQ(Line(file), "");
      EXPECT_EQ(ReadChar(file), kEndMarker);
      EXPECT_TRUE(AtEnd(file));
    }
    EXPECT_EQ(PendingIoError, 0);
    // One read per buffer up to the end, then no more.
    std::size_t marker = c.bytes.find('\032');
    std::size_t reads =
        marker == std::string::npos ? (c.bytes.size() + 127) / 128 + 1 : marker / 128 + 1;
    EXPECT_EQ(sys_.Count(Call::kRead), static_cast<int>(reads));

    // A watched byte changes nothing for ReadLine; ReadWatchedPart gives each
    // line from its first watched byte on. Both read the same lines, with
    // line feeds ending lines or not.
    for (bool line_feeds : {false, true}) {
      file.line_feed_ends_line = line_feeds;
      const auto& expected = line_feeds && c.lf_lines ? *c.lf_lines : c.lines;
      for (char watched : {'a', 'b'}) {
        SCOPED_TRACE(std::string(1, watched) + (line_feeds ? ", line feeds end lines" : ""));
        file.watched = static_cast<unsigned char>(watched);
        std::vector<std::string> whole, parts, expected_parts;
        for (const std::string& line : expected) {
          std::size_t at = line.find(watched);
          expected_parts.push_back(at == std::string::npos ? "" : line.substr(at));
        }
        OpenRead(file);
        while (!AtEnd(file) && whole.size() <= expected.size())
          ReadLine(file, whole.emplace_back());
        OpenRead(file);
        while (!AtEnd(file) && parts.size() <= expected.size()) {
          ReadWatchedPart(file, parts.emplace_back("junk"));
        }
        EXPECT_EQ(whole, expected);
        EXPECT_EQ(parts, expected_parts);
      }
    }
    file.watched = '\r';
    file.line_feed_ends_line = false;

    // ReadChar gives every byte before the end, then 0x1A.
    OpenRead(file);
    std::string bytes;
    for (unsigned char next;
         (next = ReadChar(file)) != kEndMarker && bytes.size() <= c.bytes.size();) {
      bytes += static_cast<char>(next);
    }
    EXPECT_EQ(bytes, c.bytes.substr(0, marker));
    Close(file);
    EXPECT_EQ(PendingIoError, 0);
  }
}

TEST_F(LineFileTest, FailedRefillGivesWhatItHasAndTheNextReadTriesAgain) {
  LineFile file;
  Bind(file, Put("in", Bytes('x', 130) + "\r\ntail"));
  OpenRead(file);
  sys_.FailNth(Call::kRead, 2, kCode.io);
  EXPECT_EQ(Line(file), Bytes('x', 128));
  EXPECT_EQ(PendingIoError, kCode.io);
  EXPECT_EQ(file.state, FileState::kReading);
  EXPECT_FALSE(AtEnd(file));
  EXPECT_EQ(Line(file), "xx");
  EXPECT_EQ(Line(file), "tail");
  EXPECT_TRUE(AtEnd(file));
  EXPECT_EQ(sys_.Count(Call::kRead), 4);
  Close(file);

  for (bool by_char : {false, true}) {
    PendingIoError = 0;
    sys_.Reset();
    OpenRead(file);
    sys_.FailNth(Call::kRead, 1, kCode.io);
    EXPECT_TRUE(by_char ? ReadChar(file) == kEndMarker : AtEnd(file));
    EXPECT_EQ(PendingIoError, kCode.io);
    EXPECT_EQ(ReadChar(file), 'x');
    Close(file);
  }
}

// Disk files are written out in pieces of exactly 128 bytes, as the buffer
// fills, and the rest at Close.
TEST_F(LineFileTest, WriteLineAppendsCrLfAndWritesOutFullBuffers) {
  const std::vector<std::string> cases[] = {
      {""},
      {"a", "b"},
      {"a\nb\n"},
      {"x\0\032\ry"s},
      {A126, "x"},  // with CR LF the first line fills the buffer exactly
      {A128, Bytes('y', 300), "z"},
  };
  for (const std::vector<std::string>& lines : cases) {
    SCOPED_TRACE(lines.front().size());
    sys_.Reset();
    LineFile file;
    Bind(file, dir_ + "/out");
    OpenWrite(file);
    std::string bytes;
    for (const std::string& line : lines) {
      WriteLine(file, line);
      bytes += line + "\r\n";
      EXPECT_EQ(Size(file.name), bytes.size() / 128 * 128);
      EXPECT_EQ(sys_.Count(Call::kWrite), static_cast<int>(bytes.size() / 128));
    }
    Close(file);
    EXPECT_EQ(PendingIoError, 0);
    EXPECT_EQ(file.state, FileState::kClosed);
    EXPECT_EQ(ReadFile(file.name), bytes);
    EXPECT_EQ(sys_.Count(Call::kWrite), static_cast<int>((bytes.size() + 127) / 128));
  }
}

TEST_F(LineFileTest, LineFlushExactlyOnCharacterDevices) {
  Handle ends[2];
  host::MakePipe(&ends[0], &ends[1]);
  handles_.insert(handles_.end(), {ends[0], ends[1]});
  struct Case {
    const char* name;
    const char* path;  // a named file; nullptr: ConsoleOut on `handle`
    Handle handle;
    bool flush;
  };
  const Case cases[] = {
      {"regular file", "", -1, false},
      {"null device", host::kNullDevice, -1, true},
      {"console to a pipe", nullptr, ends[1], false},
      {"console to the null device", nullptr, Open(host::kNullDevice, true), true},
      {"console to a regular file", nullptr, Open(dir_ + "/console", true), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartLineFiles();
    sys_.Reset();
    sys_.SetStdHandles(0, c.handle);
    LineFile named;
    LineFile& file = c.path == nullptr ? ConsoleOut : named;
    if (c.path != nullptr) {
      Bind(named, *c.path != '\0' ? c.path : dir_ + "/out");
      OpenWrite(named);
    }
    WriteLine(file, "x");
    EXPECT_EQ(file.line_flush, c.flush);
    EXPECT_EQ(sys_.Count(Call::kWrite), c.flush ? 1 : 0);
    Close(file);
    EXPECT_EQ(PendingIoError, 0);
  }
}

TEST_F(LineFileTest, FailedWriteOutLosesThoseBytesOnly) {
  LineFile file;
  Bind(file, dir_ + "/out");
  OpenWrite(file);
  sys_.FailNth(Call::kWrite, 1, kCode.no_space);
  WriteLine(file, Bytes('x', 130));  // the first 128 bytes fail, the other 2 are dropped
  EXPECT_EQ(PendingIoError, kCode.no_space);
  EXPECT_EQ(file.state, FileState::kWriting);
  WriteLine(file, "next");
  Close(file);
  EXPECT_EQ(ReadFile(file.name), "\r\nnext\r\n");
  EXPECT_EQ(file.state, FileState::kClosed);

  // A close whose write-out fails stays writing, with its handle.
  PendingIoError = 0;
  OpenWrite(file);
  WriteLine(file, "abc");
  sys_.Reset();
  sys_.FailNth(Call::kWrite, 1, kCode.io);
  Close(file);
  EXPECT_EQ(PendingIoError, kCode.io);
  EXPECT_EQ(file.state, FileState::kWriting);
  EXPECT_EQ(sys_.Count(Call::kClose), 0);
  Close(file);
  EXPECT_EQ(file.state, FileState::kClosed);
  EXPECT_EQ(Size(file.name), 0u);
}

enum class Op { kOpenRead, kOpenWrite, kClose, kWriteLine, kReadLine, kAtEnd, kReadChar };

// Runs `op`; a read gives its result as a text.
std::string Do(Op op, LineFile& file) {
  switch (op) {
    case Op::kOpenRead:
      return OpenRead(file), "";
    case Op::kOpenWrite:
      return OpenWrite(file), "";
    case Op::kClose:
      return Close(file), "";
    case Op::kWriteLine:
      return WriteLine(file, "x"), "";
    case Op::kReadLine:
      return Line(file);
    case Op::kAtEnd:
      return AtEnd(file) ? "true" : "false";
    case Op::kReadChar:
      return std::string(1, static_cast<char>(ReadChar(file)));
  }
  return "";
}

TEST_F(LineFileTest, LeavesCodes102To105) {
  sys_.SetStdHandles(0, host::NoHandle());  // standard output of unknown type
  const std::string path = Put("in", "a\r\n");
  struct Case {
    const char* name;
    LineFile* console;  // nullptr: a named file in `state`
    FileState state;
    Op op;
    std::int32_t code;
    const char* result;
    Call fail = Call::kAny;
  };
  using enum FileState;
  const Case cases[] = {
      {"OpenRead unbound", nullptr, kUnbound, Op::kOpenRead, kIoNotBound, ""},
      {"OpenWrite unbound", nullptr, kUnbound, Op::kOpenWrite, kIoNotBound, ""},
      {"Close unbound", nullptr, kUnbound, Op::kClose, kIoNotOpen, ""},
      {"Close closed", nullptr, kClosed, Op::kClose, kIoNotOpen, ""},
      {"WriteLine closed", nullptr, kClosed, Op::kWriteLine, kIoNotOpen, ""},
      {"WriteLine reading", nullptr, kReading, Op::kWriteLine, kIoNotOpen, ""},
      {"ReadLine closed", nullptr, kClosed, Op::kReadLine, kIoNotOpenForInput, ""},
      {"AtEnd closed", nullptr, kClosed, Op::kAtEnd, kIoNotOpenForInput, "true"},
      {"ReadChar unbound", nullptr, kUnbound, Op::kReadChar, kIoNotOpenForInput, "\032"},
      {"ReadChar writing", nullptr, kWriting, Op::kReadChar, kIoNotOpenForInput, "\032"},
      {"Close ConsoleIn before its first read", &ConsoleIn, kClosed, Op::kClose, 0, ""},
      {"ConsoleIn that cannot open", &ConsoleIn, kClosed, Op::kAtEnd, kIoNotOpenForInput, "true",
       Call::kStdHandle},
      {"OpenWrite of unknown type", &ConsoleOut, kClosed, Op::kOpenWrite, kIoNotOpenForOutput, ""},
      {"WriteLine, unknown type", &ConsoleOut, kClosed, Op::kWriteLine, kIoNotOpen, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartLineFiles();
    sys_.Reset();
    LineFile named;
    if (c.state != kUnbound) Bind(named, c.state == kWriting ? dir_ + "/out" : path);
    if (c.state == kReading) OpenRead(named);
    if (c.state == kWriting) OpenWrite(named);
    if (c.fail != Call::kAny) sys_.FailNth(c.fail, 1, kCode.bad_handle);
    LineFile& file = c.console != nullptr ? *c.console : named;
    EXPECT_EQ(Do(c.op, file), c.result);
    EXPECT_EQ(PendingIoError, c.code);
    EXPECT_EQ(file.state, c.state);  // a refused operation changes nothing
    if (c.state == kReading || c.state == kWriting) Close(file);
  }
}

TEST_F(LineFileTest, NamesAreUsedWholeOrRefusedNeverCut) {
  // A 259-byte path whose folder leaves room for a long last component.
  const std::string folder = dir_ + "/" + Bytes('d', 150 - dir_.size());
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  const std::string name259 = folder + "/" + Bytes('f', 258 - folder.size());
  ASSERT_EQ(name259.size(), 259u);
  LineFile file;
  Bind(file, name259);
  OpenWrite(file);
  WriteLine(file, "whole");
  Close(file);
  EXPECT_EQ(PendingIoError, 0);
  EXPECT_EQ(ReadFile(name259), "whole\r\n");

  for (auto open : {OpenRead, OpenWrite}) {
    Bind(file, name259 + "x");
    open(file);
    EXPECT_EQ(PendingIoError, Sys.name_too_long);
    EXPECT_EQ(file.state, FileState::kClosed);
    EXPECT_EQ(file.name.size(), 260u);
    EXPECT_EQ(ReadFile(name259), "whole\r\n");  // the cut name was never opened
    PendingIoError = 0;
  }

  Bind(file, name259 + "\0junk"s);
  EXPECT_EQ(file.name, name259);
  OpenRead(file);
  EXPECT_EQ(Line(file), "whole");
  Close(file);
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(LineFileTest, OpeningNamedFiles) {
  LineFile file;
  Bind(file, dir_ + "/missing");
  OpenRead(file);
  EXPECT_EQ(PendingIoError, kCode.not_found);
  EXPECT_EQ(file.state, FileState::kClosed);
  EXPECT_EQ(file.name, dir_ + "/missing");
  PendingIoError = 0;

  // OpenWrite on the file being read closes it, then cuts it at once.
  Bind(file, Put("f", "one\r\ntwo\r\n"));
  OpenRead(file);
  const std::string one = Line(file), two = Line(file);
  OpenWrite(file);
  EXPECT_EQ(file.state, FileState::kWriting);
  EXPECT_EQ(sys_.Count(Call::kClose), 1);
  EXPECT_EQ(Size(file.name), 0u);
  WriteLine(file, two);
  WriteLine(file, one);
  Close(file);
  EXPECT_EQ(ReadFile(file.name), "two\r\none\r\n");

  OpenWrite(file);
  Close(file);
  EXPECT_EQ(Size(file.name), 0u);
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(LineFileTest, ConsoleFilesOpenOnFirstUseAndStayOpen) {
  const std::string out = dir_ + "/stdout";
  const Handle out_handle = Open(out, true);
  sys_.SetStdHandles(Open(Put("stdin", "hi\r\n"), false), out_handle);
  EXPECT_EQ(ConsoleIn.state, FileState::kClosed);
  EXPECT_EQ(ConsoleOut.state, FileState::kClosed);
  EXPECT_EQ(ReadChar(ConsoleIn), 'h');
  EXPECT_EQ(ConsoleIn.state, FileState::kReading);
  Close(ConsoleIn);
  EXPECT_EQ(ConsoleIn.state, FileState::kReading);
  EXPECT_EQ(ReadChar(ConsoleIn), 'i');

  // At the end of the data: an empty file, or a pipe whose writer has gone.
  Handle ends[2];
  host::MakePipe(&ends[0], &ends[1]);
  handles_.push_back(ends[0]);
  host::CloseFile(ends[1]);
  for (Handle input : {Open(Put("empty", ""), false), ends[0]}) {
    StartLineFiles();
    sys_.SetStdHandles(input, out_handle);
    EXPECT_EQ(ReadChar(ConsoleIn), kEndMarker);
    EXPECT_EQ(ReadChar(ConsoleIn), kEndMarker);
    EXPECT_EQ(PendingIoError, 0);
  }

  WriteLine(ConsoleOut, "one");
  EXPECT_EQ(ConsoleOut.state, FileState::kWriting);
  Close(ConsoleOut);
  EXPECT_EQ(ConsoleOut.state, FileState::kWriting);
  EXPECT_EQ(ReadFile(out), "one\r\n");

  // Any LineFile with the empty name is the console.
  sys_.SetStdHandles(Open(Put("stdin2", "rest"), false), out_handle);
  LineFile console;
  Bind(console, "");
  OpenRead(console);
  EXPECT_EQ(Line(console), "rest");
  Close(console);
  EXPECT_EQ(console.state, FileState::kReading);
  OpenWrite(console);
  WriteLine(console, "two");
  Close(console);
  EXPECT_EQ(console.state, FileState::kWriting);
  EXPECT_EQ(ReadFile(out), "one\r\ntwo\r\n");
  EXPECT_EQ(sys_.Count(Call::kClose), 0);
  EXPECT_EQ(PendingIoError, 0);
}

}  // namespace
}  // namespace zub
