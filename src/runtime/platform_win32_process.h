// The Win32 platform layer's process services, which its table hands out:
// the program's own path and command line, the exit, and the handler that
// reports a processor fault.
#ifndef ZUB_RUNTIME_PLATFORM_WIN32_PROCESS_H_
#define ZUB_RUNTIME_PLATFORM_WIN32_PROCESS_H_

#include <cstdint>
#include <string>

#include "runtime/platform.h"

namespace zub::win32 {

PlatformCode ProgramPath(std::string* path);
const char* CommandLine();
PlatformCode CheckCommandLine();
[[noreturn]] void EndProcessWith(std::uint32_t status);
bool ModuleBase(const void* address, std::uintptr_t* base);
void InstallFaultHandler(FaultHandler handler);
void RemoveFaultHandler();

}  // namespace zub::win32

#endif  // ZUB_RUNTIME_PLATFORM_WIN32_PROCESS_H_
