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

// What the system knows a file by, whatever names it has: device and inode
// on POSIX, volume serial number and file index on Windows.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileId&) const = default;
};

// What a file looked like when it was read, beyond which file it is. A file
// system that copies a file to a new one at its first write (an overlay, as
// in containers) gives the copy the same length, time of last change, owner
// and mode: the new file is the old one's copy, not another file swapped in.
struct FileLooks {
  std::uint64_t length = 0;
  std::int64_t changed = 0;  // nanoseconds
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  std::uint32_t mode = 0;
  bool operator==(const FileLooks&) const = default;
};

inline constexpr Handle kNoFolder = -1;

// Where a file that has been read stands, found once: the folder that holds
// it, held open, and the file's name in that folder. Every later step of a
// rewrite goes through the open folder, and checks that the name still
// leads to the file that was read, so that nobody who swaps a name on the
// path meanwhile can steer the rewrite onto another file.
struct FilePlace {
  // kNoFolder for a device or a pipe on a platform that names those apart
  // from any folder (Windows): there the name is all there is.
  Handle folder = 0;
  // The folder's whole path, for a platform that names files by whole
  // paths only; that platform keeps the folder from being renamed while it
  // holds it.
  std::string folder_path;
  std::string name;
  FileId file;
  FileLooks looks;
};

// A temporary file beside the file it is to replace.
struct TemporaryFile {
  Handle handle = 0;
  // Its name in the folder of the place, or the one it will have once
  // named; empty while it has no name.
  std::string name;
  // False while the file goes with the process that made it: it has no
  // name (Linux), or is to be deleted when its handle is closed (Windows).
  bool named = false;
};

struct PlatformCalls {
  // Opens an existing file for reading (share mode: readers only). The name
  // is resolved as `locate` resolves it.
  PlatformCode (*open_read)(const char* name, Handle* handle);
  // Creates a file, or truncates an existing one to length 0, for writing.
  PlatformCode (*open_write)(const char* name, Handle* handle);
  // Opens the file of `place` for reading and writing, without changing it.
  PlatformCode (*open_update)(const FilePlace& place, Handle* handle);
  // Tells whether the file of `place` may be written, without opening it
  // for writing: an overlay would copy a file opened so.
  PlatformCode (*probe_write)(const FilePlace& place);
  // Opens the device or pipe of `place` for writing, to give it back what
  // was read from it: never creates a file, never follows a link at the
  // name, and opens only what the name still leads to.
  PlatformCode (*open_stream)(const FilePlace& place, Handle* handle);
  // Takes the lock of an open file: shared for a reader, exclusive for a
  // writer, waiting a bounded time for another process to give it up. This
  // is what share modes do where the platform has none; where it has them,
  // or where the file system keeps no locks, there is nothing to do. A
  // reader is also refused a file that another program has open for
  // writing, where the system can tell (share modes refuse it at the open).
  PlatformCode (*lock)(Handle handle, bool exclusive);
  // The number of names (hard links) the open file has.
  PlatformCode (*link_count)(Handle handle, std::uint32_t* count);

  // Finds the place of the file `name`, a device or a pipe included: the
  // name is resolved once and its folder opened. The folder is released
  // with close; an exclusive lock on it keeps other runs from rewriting
  // files in it meanwhile. The layer refuses a name that leads through a
  // folder or a link of a user who is neither the system's administrator
  // nor the runner to what another user owns: that user could steer the
  // run there.
  PlatformCode (*locate)(const char* name, FilePlace* place);
  // Takes `file`, open for reading, as the file of `place`: the name in the
  // folder must lead to it.
  PlatformCode (*check_place)(Handle file, FilePlace* place);

  // Every call below that takes a place opens or renames the file of that
  // place only where its name still leads to the file that was read, and
  // fails with `moved` otherwise; none follows a symbolic link at the name.

  // The temporary file of a replacement, in the folder of `place`, open
  // for writing. An unnamed one leaves nothing behind when the process ends
  // before it is named; where the file system cannot make one, the call
  // fails with `not_supported`. A named one gets a fresh name that nobody
  // can guess.
  PlatformCode (*create_unnamed)(const FilePlace& place, TemporaryFile* file);
  PlatformCode (*create_temporary)(const FilePlace& place, TemporaryFile* file);
  // Gives the file everything the file of `place` has but its content:
  // owner and group, extended attributes (access control lists among
  // them), mode and inode flags. Fails where any of that cannot be carried
  // over. Called once the content is written, so that nothing the system
  // takes away on a write (set-id bits, capabilities) is lost.
  PlatformCode (*copy_metadata)(const FilePlace& place, Handle handle);
  // Gives an unnamed temporary file its name in the folder of `place`, just
  // before it replaces the file; a named one keeps its own.
  PlatformCode (*name_temporary)(const FilePlace& place, TemporaryFile* file);
  // Puts the temporary file in the place of the file, in one step.
  PlatformCode (*replace)(const FilePlace& place, const TemporaryFile& file);
  // Makes a finished replacement in the folder of `place` durable.
  PlatformCode (*sync_folder)(const FilePlace& place);
  // Removes the file `name` of the folder of `place`.
  PlatformCode (*remove)(const FilePlace& place, const std::string& name);
  // True when a failure of the calls above that make a replacement means
  // only that the file cannot be replaced by another: the folder takes no
  // new name, has no room or no free inode for one, or the file is a mount
  // point of its own. It may still be rewritten where it stands.
  bool (*only_in_place)(PlatformCode code);

  // Takes room on the disk for the file to grow to `length` bytes, without
  // changing its bytes or its length; where the system cannot take room
  // without writing, it takes none. A failure (a full disk) leaves the file
  // as it was.
  PlatformCode (*reserve)(Handle handle, std::uint64_t length);
  // Writes all `size` bytes from `offset` on, or fails.
  PlatformCode (*write_at)(Handle handle, std::uint64_t offset, const void* data, std::size_t size);
  // Cuts the file to `length` bytes.
  PlatformCode (*truncate)(Handle handle, std::uint64_t length);

  PlatformCode (*std_handle)(StdStream stream, Handle* handle);
  FileType (*file_type)(Handle handle);
  // Reads up to `size` bytes. The end of the data gives 0 bytes and code 0.
  PlatformCode (*read)(Handle handle, void* buffer, std::size_t size, std::size_t* got);
  // Writes all `size` bytes, or fails.
  PlatformCode (*write)(Handle handle, const void* data, std::size_t size);
  // Brings the file's bytes to stable storage.
  PlatformCode (*sync)(Handle handle);
  PlatformCode (*close)(Handle handle);

  // From now on an interrupt that ends the process (POSIX: SIGINT, SIGTERM,
  // SIGHUP; Windows: the console's Ctrl+C, Ctrl+Break and close) first
  // removes the named temporary file that has not yet replaced its file,
  // then ends the process as the platform's default would.
  PlatformCode (*watch_interrupts)();
  // While held, such an interrupt waits; it takes effect when let go.
  void (*hold_interrupts)(bool hold);

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
  PlatformCode not_supported;
  // The name of a file that is being rewritten leads to another file now.
  PlatformCode moved;
};

// The table in use. Starts as the native one.
extern PlatformCalls Sys;

// The native table of the platform this program was built for.
const PlatformCalls& NativeCalls();

}  // namespace zub

#endif  // ZUB_RUNTIME_PLATFORM_H_
