// The narrow platform layer under the runtime.
//
// Every call the runtime makes into the operating system goes through the
// table `Sys`. One implementation file per platform fills `NativeCalls()`;
// tests copy the table and swap entries, for example to make the N-th call
// fail with a chosen code, or to turn the process exit into something a test
// can observe.
//
// Calls that can fail return the platform's error code (errno on POSIX,
// GetLastError on Win32), or 0 on success.
#ifndef ZUB_RUNTIME_PLATFORM_H_
#define ZUB_RUNTIME_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace zub {

using Handle = std::intptr_t;
using PlatformCode = std::int32_t;

enum class FileType { kUnknown, kDisk, kChar, kPipe };
enum class StdStream { kInput, kOutput };

// Called by the platform's fault handler with the runtime code for the fault
// and the address of the faulting instruction. Never returns.
using FaultHandler = void (*)(std::uint32_t code, const void* address);

struct PlatformCalls {
  // Opens an existing file for reading (share mode: readers only).
  PlatformCode (*open_read)(const char* name, Handle* handle);
  // Creates a file, or truncates an existing one to length 0, for writing.
  PlatformCode (*open_write)(const char* name, Handle* handle);
  // Opens an existing file for writing without changing it: tells whether
  // it may be written. The handle is closed again at once.
  PlatformCode (*probe_write)(const char* name);
  // Creates a new file, exclusively, in the folder of `model` with the
  // permission bits (and where allowed the owner) of `model`; gives its name.
  PlatformCode (*create_temporary)(const char* model, std::string* name, Handle* handle);
  PlatformCode (*std_handle)(StdStream stream, Handle* handle);
  FileType (*file_type)(Handle handle);
  // Reads up to `size` bytes. The end of the data gives 0 bytes and code 0.
  PlatformCode (*read)(Handle handle, void* buffer, std::size_t size, std::size_t* got);
  // Writes all `size` bytes, or fails.
  PlatformCode (*write)(Handle handle, const void* data, std::size_t size);
  // Brings the file's bytes to stable storage.
  PlatformCode (*sync)(Handle handle);
  PlatformCode (*close)(Handle handle);
  // The path a name finally refers to, symbolic links followed. A missing
  // final component is not an error; the name is then given as it stands.
  PlatformCode (*resolve)(const char* name, std::string* resolved);
  // Replaces `to` with `from` in one step, and makes the change durable.
  PlatformCode (*replace)(const char* from, const char* to);
  PlatformCode (*remove)(const char* name);
  // The running program's own path.
  PlatformCode (*program_path)(std::string* path);
  // The whole command line as one text, or nullptr where the platform hands
  // the program its arguments already split.
  const char* (*command_line)();
  // 0 when the text `command_line` gives is the command line the program
  // was started with, byte for byte as the name calls take it; otherwise
  // the code that refuses it. Where a character of the real command line
  // has no place in the code page of the name calls, a look-alike stands
  // in its place, and an argument could name another file.
  PlatformCode (*check_command_line)();
  // Ends the process with `status`. Never returns.
  void (*exit_process)(std::uint32_t status);
  // Base address of the loaded module that holds `address`; false if none.
  bool (*module_base)(const void* address, std::uintptr_t* base);
  void (*install_fault_handler)(FaultHandler handler);
  void (*remove_fault_handler)();

  // Codes this platform uses where the runtime itself refuses an operation.
  PlatformCode name_too_long;
  PlatformCode access_denied;
};

// The table in use. Starts as the native one.
extern PlatformCalls Sys;

// The native table of the platform this program was built for.
const PlatformCalls& NativeCalls();

}  // namespace zub

#endif  // ZUB_RUNTIME_PLATFORM_H_
