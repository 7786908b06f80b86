#include "runtime/process_frame.h"

#include <cstdlib>
#include <iterator>
#include <new>

namespace zub {

std::uint32_t ExitStatus = 0;

namespace {

bool ReportPending = false;
const void* ErrorAddress = nullptr;
LineFile* ProtectedFile = nullptr;
EndingStep EndingSteps[4] = {};
std::size_t EndingStepCount = 0;

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::uint32_t kOutOfMemory = 203;

// A string could not get memory: the caller's request is the place named.
[[gnu::noinline]] void OnOutOfMemory() { AbortWithCode(kOutOfMemory, __builtin_return_address(0)); }

// A processor fault: the open protected block's clean-up first, then the
// report with the fault's code.
void OnFault(std::uint32_t code, const void* address) {
  if (LineFile* file = ProtectedFile) {
    ProtectedFile = nullptr;
    Close(*file);
    CheckIo();
  }
  AbortWithCode(code, address);
}

[[noreturn]] void RunEndingSequence() {
  if (ReportPending) {
    const auto address = reinterpret_cast<std::uintptr_t>(ErrorAddress);
    std::uintptr_t base = 0;
    std::uintptr_t offset = Sys.module_base(ErrorAddress, &base) ? address - base : address;
    std::array<char, kReportLength> report = FormatReport(ExitStatus, offset);
    WriteLine(ConsoleOut, std::string_view(report.data(), report.size()));
    ReportPending = false;
  }
  for (std::size_t k = 0; k < EndingStepCount; ++k) EndingSteps[k]();
  StopLineFiles();
  Sys.remove_fault_handler();
  Sys.exit_process(ExitStatus);
  std::abort();  // an exit that came back
}

}  // namespace

void StartProcessFrame(int argc, char** argv) {
  ExitStatus = 0;
  ReportPending = false;
  ErrorAddress = nullptr;
  ProtectedFile = nullptr;
  EndingStepCount = 0;
  SetArgumentSource(argc, argv);
  StartLineFiles();
  std::set_new_handler(OnOutOfMemory);
  Sys.install_fault_handler(OnFault);
}

// Kept out of line: its return address is the place the report names.
[[gnu::noinline]] void CheckIo() {
  if (PendingIoError != 0) {
    AbortWithCode(static_cast<std::uint32_t>(PendingIoError), __builtin_return_address(0));
  }
}

void AtEnd(EndingStep step) {
  for (std::size_t k = 0; k < EndingStepCount; ++k) {
    if (EndingSteps[k] == step) return;
  }
  if (EndingStepCount == std::size(EndingSteps)) std::abort();  // a step no ending would run
  EndingSteps[EndingStepCount++] = step;
}

void EndProcess() { RunEndingSequence(); }

void AbortWithCode(std::uint32_t code, const void* address) {
  ExitStatus = code;
  ErrorAddress = address;
  ReportPending = true;
  RunEndingSequence();
}

std::array<char, kReportLength> FormatReport(std::uint32_t code, std::uintptr_t offset) {
  constexpr char kTemplate[] = "Runtime error     at 00000000";
  static_assert(sizeof kTemplate - 1 == kReportLength);
  std::array<char, kReportLength> report;
  for (std::size_t i = 0; i < kReportLength; ++i) report[i] = kTemplate[i];

  // The code's last digit in column 17, the offset's in column 29.
  std::size_t column = 16;
  do {
    report[column--] = static_cast<char>('0' + code % 10);
    code /= 10;
  } while (code != 0);
  for (column = kReportLength - 1; column >= kReportLength - 8; --column) {
    report[column] = kHexDigits[offset & 0xF];
    offset >>= 4;
  }
  return report;
}

void EnterProtectedBlock(LineFile& file) { ProtectedFile = &file; }

void LeaveProtectedBlock() { ProtectedFile = nullptr; }

}  // namespace zub
