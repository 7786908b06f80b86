// The process frame: the report line, the ending sequence, and processor
// faults caught by the real platform layer (POSIX signals here; under Wine,
// tests/wine/run.sh checks the Windows faults).
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#ifndef _WIN32
#include "runtime/platform_posix.h"
#endif
#include "runtime/process_frame.h"
#include "support/fake_sys.h"
#include "support/files.h"
#include "support/host.h"
#include "support/sanitizers.h"

namespace zub {
namespace {

using testing::Call;
using testing::ReadFile;
namespace host = testing::host;

const void* const kAddress40FD = reinterpret_cast<const void*>(0x40FD);  // in no module

TEST(FormatReport, FillsTheTemplate) {
  struct Case {
    std::uint32_t code;
    std::uintptr_t offset;
    const char* line;
  };
  const Case cases[] = {
      {0, 0x40FD, "Runtime error   0 at 000040FD"},
      {2, 0x40FD, "Runtime error   2 at 000040FD"},
      {32, 0x40FD, "Runtime error  32 at 000040FD"},
      {105, 0x40FD, "Runtime error 105 at 000040FD"},
      {1224, 0x40FD, "Runtime error1224 at 000040FD"},
      {4294967295u, 0x40FD, "Runtime4294967295 at 000040FD"},
      {216, 0, "Runtime error 216 at 00000000"},
      {200, 0xABCDEF, "Runtime error 200 at 00ABCDEF"},
      {200, static_cast<std::uintptr_t>(0x123456789ABCull), "Runtime error 200 at 56789ABC"},
      {200, ~std::uintptr_t{0}, "Runtime error 200 at FFFFFFFF"},
  };
  for (const Case& c : cases) {
    std::array<char, kReportLength> report = FormatReport(c.code, c.offset);
    EXPECT_EQ(std::string(report.data(), report.size()), c.line);
  }
}

#ifndef _WIN32
TEST(FaultCodeForSignal, MapsFaultsToCodes) {
  struct Case {
    int signal;
    int signal_code;
    std::uint32_t code;
  };
  const Case cases[] = {{SIGSEGV, SEGV_MAPERR, 216}, {SIGSEGV, SEGV_ACCERR, 216},
                        {SIGBUS, BUS_ADRERR, 216},   {SIGFPE, FPE_INTDIV, 200},
                        {SIGFPE, FPE_FLTDIV, 200},   {SIGFPE, FPE_FLTSUB, 201},
                        {SIGFPE, FPE_FLTOVF, 205},   {SIGFPE, FPE_FLTUND, 206},
                        {SIGFPE, FPE_FLTRES, 207},   {SIGFPE, FPE_FLTINV, 207},
                        {SIGFPE, FPE_INTOVF, 215},   {SIGFPE, 0, 255},
                        {SIGILL, ILL_PRVOPC, 218},   {SIGILL, ILL_PRVREG, 218},
                        {SIGILL, ILL_ILLOPC, 255},   {SIGABRT, 0, 255}};
  for (const Case& c : cases) {
    EXPECT_EQ(FaultCodeForSignal(c.signal, c.signal_code, false), c.code)
        << "signal " << c.signal << ", code " << c.signal_code;
  }
  EXPECT_EQ(FaultCodeForSignal(SIGSEGV, SEGV_MAPERR, true), 202u);  // on the stack's guard
}

#endif

FaultHandler InstalledHandler = nullptr;

// The ending sequence with the fake exit, standard output on a temp file.
class EndingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    out_ = host::OpenFile(dir_ + "/stdout", true);
    in_ = host::OpenFile(host::kNullDevice, false);
    ASSERT_NE(out_, -1);
    ASSERT_NE(in_, -1);
    sys_.SetStdHandles(in_, out_);
    Sys.install_fault_handler = [](FaultHandler handler) { InstalledHandler = handler; };
    StartProcessFrame(0, nullptr);
  }
  void RestartWithEmptyOutput() {
    host::CloseFile(out_);
    out_ = host::OpenFile(dir_ + "/stdout", true);
    sys_.SetStdHandles(in_, out_);
    sys_.Reset();
    StartProcessFrame(0, nullptr);
  }
  void TearDown() override {
    std::set_new_handler(nullptr);
    host::CloseFile(out_);
    host::CloseFile(in_);
  }

  testing::FakeSys sys_;
  host::TempFolder temp_;
  const std::string dir_ = temp_.path.string();
  Handle out_ = -1;
  Handle in_ = -1;
};

TEST_F(EndingTest, WritesEarlierOutputThenTheReportAsTheLastLine) {
  const std::string before(200, 'b');  // partly written out already
  struct Case {
    const char* name;
    std::function<void()> end;
    std::uint32_t status;
    const char* report;  // a pattern for what follows the earlier output
  };
  const Case cases[] = {
      {"AbortWithCode", [] { AbortWithCode(2, kAddress40FD); }, 2,
       "Runtime error   2 at 000040FD\r\n"},
      {"wide code", [] { AbortWithCode(1224, kAddress40FD); }, 1224,
       "Runtime error1224 at 000040FD\r\n"},
      {"CheckIo with a code pending",
       [] {
         PendingIoError = 32;
         CheckIo();
       },
       32, "Runtime error  32 at [0-9A-F]{8}\r\n"},
      {"out of memory",
       [] {
         void* volatile block = ::operator new (~std::size_t{0} >> 2);
         (void)block;
       },
       203, "Runtime error 203 at [0-9A-F]{8}\r\n"},
      {"EndProcess", [] { EndProcess(); }, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.status == 203 && !testing::kOwnAllocator) continue;
    RestartWithEmptyOutput();
    CheckIo();  // nothing pending: returns
    WriteLine(ConsoleOut, before);
    EXPECT_EQ(testing::ExitStatusOf(c.end), c.status);
    const std::string output = ReadFile(dir_ + "/stdout");
    ASSERT_EQ(output.substr(0, before.size() + 2), before + "\r\n");
    EXPECT_TRUE(std::regex_match(output.substr(before.size() + 2), std::regex(c.report)))
        << output.substr(before.size());
  }
}

// A fault, through the handler the frame installs, runs the protected
// block's close first; AbortWithCode leaves every tool file as it is.
TEST_F(EndingTest, OnlyAFaultClosesTheProtectedFile) {
  const PlatformCode kIo = host::kCodes.io;
  const auto status_io = static_cast<std::uint32_t>(kIo);
  struct Case {
    const char* name;
    void (*end)();
    std::uint32_t status;
    bool fail_close;
    bool protect;
    std::string report;
    const char* kept;
  };
  const auto fault = [] { InstalledHandler(216, kAddress40FD); };
  const Case cases[] = {
      {"fault", fault, 216, false, true, "Runtime error 216 at 000040FD\r\n", "kept\r\n"},
      {"fault, failed close", fault, status_io, true, true,
       std::string(FormatReport(status_io, 0).data(), kReportLength - 8) + "[0-9A-F]{8}\r\n", ""},
      {"fault, block left", fault, 216, false, false, "Runtime error 216 at 000040FD\r\n", ""},
      {"AbortWithCode", [] { AbortWithCode(105, kAddress40FD); }, 105, false, true,
       "Runtime error 105 at 000040FD\r\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RestartWithEmptyOutput();
    ASSERT_NE(InstalledHandler, nullptr);
    LineFile file;
    Bind(file, dir_ + "/kept");
    OpenWrite(file);
    if (c.protect) EnterProtectedBlock(file);
    WriteLine(file, "kept");
    if (c.fail_close) sys_.FailNth(Call::kWrite, 1, kIo);
    EXPECT_EQ(testing::ExitStatusOf(c.end), c.status);
    EXPECT_TRUE(std::regex_match(ReadFile(dir_ + "/stdout"), std::regex(c.report)));
    EXPECT_EQ(ReadFile(file.name), c.kept);
    if (file.state == FileState::kWriting) Sys.close(file.handle);
  }
}

TEST_F(EndingTest, AReportThatCannotBeWrittenStillGivesTheCode) {
  sys_.SetStdHandles(in_, host::NoHandle());
  EXPECT_EQ(testing::ExitStatusOf([] { AbortWithCode(2, kAddress40FD); }), 2u);
}

// Processor faults, through the real platform table, in a child process:
// POSIX signals and fork-based death tests. tests/wine/run.sh checks the
// Windows faults under Wine.
#ifndef _WIN32
[[gnu::noinline]] ZUB_NO_SANITIZE void DivideByZero() {
  volatile int dividend = 1;
  volatile int divisor = 0;
  volatile int quotient = dividend / divisor;
  (void)quotient;
}

[[gnu::noinline]] ZUB_NO_SANITIZE void WriteThroughNull() {
  volatile int* volatile pointer = nullptr;
  *pointer = 1;
}

volatile int StopDepth = -1;

[[gnu::noinline]] int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (depth == StopDepth) return 0;
  return Recurse(depth + 1) + frame[0];
}

void OverflowStack() { (void)Recurse(0); }

// Runs in the child: the frame started on the native table, a protected
// file with a buffered line, then the fault.
void FaultWithProtectedFile(const std::string& dir, void (*fault)()) {
  int out = ::open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(out, 1);
  ::close(out);
  Sys = NativeCalls();
  // A bounded stack, so that an overflow comes soon wherever the test runs;
  // set before the frame measures the stack.
  struct rlimit limit = {};
  ::getrlimit(RLIMIT_STACK, &limit);
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (8u << 20)) limit.rlim_cur = 8u << 20;
  ::setrlimit(RLIMIT_STACK, &limit);
  StartProcessFrame(0, nullptr);
  static LineFile file;
  Bind(file, dir + "/kept");
  OpenWrite(file);
  CheckIo();
  EnterProtectedBlock(file);
  WriteLine(file, "kept");
  CheckIo();
  fault();
  std::_Exit(99);
}

TEST(FaultDeathTest, ClosesTheProtectedFileThenReports) {
  struct Case {
    const char* name;
    void (*fault)();
    int code;
  };
  const Case cases[] = {
      {"integer division by zero", DivideByZero, 200},
      {"write through a null pointer", WriteThroughNull, 216},
      {"stack overflow", OverflowStack, 202},
  };
  const auto image_size = std::filesystem::file_size("/proc/self/exe");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const host::TempFolder temp;
    const std::string dir = temp.path.string();
    EXPECT_EXIT(FaultWithProtectedFile(dir, c.fault), ::testing::ExitedWithCode(c.code), "");
    const std::string report = ReadFile(dir + "/stdout");
    std::smatch match;
    ASSERT_TRUE(
        std::regex_match(report, match, std::regex("Runtime error (\\d+) at ([0-9A-F]{8})\r\n")))
        << report;
    EXPECT_EQ(match[1], std::to_string(c.code));
    // The offset is taken from the load address: it lies inside the image.
    EXPECT_LT(std::stoull(match[2], nullptr, 16), image_size);
    EXPECT_EQ(ReadFile(dir + "/kept"), "kept\r\n");
  }
}

TEST(ExitDeathTest, WideCodesNeverComeOutAsAnotherCode) {
  const std::pair<std::uint32_t, int> cases[] = {{2, 2}, {255, 255}, {256, 255}, {1224, 255}};
  for (auto [code, status] : cases) {
    auto end = [code = code] {
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      Sys = NativeCalls();
      StartProcessFrame(0, nullptr);
      AbortWithCode(code, kAddress40FD);
    };
    EXPECT_EXIT(end(), ::testing::ExitedWithCode(status), "") << code;
  }
}

#endif

}  // namespace
}  // namespace zub
