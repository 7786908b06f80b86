// The Win32 platform layer's files, and its table of the platform calls:
// opening, locating and locking, the temporary file of a replacement and
// its metadata, the replacement itself, reservations, reading and writing,
// the standard handles, removal, interrupts.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "runtime/platform.h"
#include "runtime/platform_win32.h"
#include "runtime/platform_win32_path.h"
#include "runtime/platform_win32_process.h"

namespace zub {

using namespace win32;

namespace {

// Every file this program opens may be read by others meanwhile, never
// written.
constexpr DWORD kShareMode = FILE_SHARE_READ;
// A file opened only to be looked at keeps nobody out.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Largest piece handed to one ReadFile or WriteFile.
constexpr std::size_t kMaxTransfer = 1u << 30;
// The attributes a replacement file takes over from the file it replaces.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

PlatformCode OpenWith(const char* name, DWORD access, DWORD disposition, DWORD attributes,
                      Handle* handle) {
  HANDLE file = Win32.open_file(name, access, kShareMode, disposition, attributes);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  *handle = reinterpret_cast<Handle>(file);
  return 0;
}

PlatformCode OpenRead(const char* name, Handle* handle) {
  if (PlatformCode code = CheckLinks(name); code != 0) return code;
  return AfterHolds([&] {
    return NotBetweenNames(
        [&] { return OpenWith(name, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, handle); });
  });
}

PlatformCode OpenWrite(const char* name, Handle* handle) {
  return OpenWith(name, GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, handle);
}

// The whole path of the file `leaf` of the folder of `place`, for the *W
// calls. Empty on failure, the code left for GetLastError.
std::wstring PlacePath(const FilePlace& place, const std::string& leaf) {
  std::string path = place.folder_path;
  if (!path.ends_with('\\') && !path.ends_with('/')) path += '\\';
  return LongName((path + leaf).c_str());
}

// What the open file is known by, and its attributes.
PlatformCode Identify(HANDLE file, FileId* id, DWORD* attributes) {
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!Win32.file_information(file, &information)) return LastError();
  *id = {information.dwVolumeSerialNumber,
         std::uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow};
  if (attributes != nullptr) *attributes = information.dwFileAttributes;
  return 0;
}

// Opens what stands at the name of `place` now, a link or a junction as
// itself, never what it leads to; only where that is the file that was
// read, else it fails with kMoved. Its attributes go to `attributes`.
PlatformCode OpenPlace(const FilePlace& place, DWORD access, DWORD share, DWORD flags, HANDLE* file,
                       DWORD* attributes) {
  const std::wstring path = PlacePath(place, place.name);
  if (path.empty()) return LastError();
  HANDLE opened = INVALID_HANDLE_VALUE;
  if (PlatformCode code = NotBetweenNames([&] {
        opened = Win32.create_file(path.c_str(), access, share, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | flags);
        return opened == INVALID_HANDLE_VALUE ? LastError() : 0;
      });
      code != 0) {
    return code;
  }
  FileId id;
  DWORD found = 0;
  PlatformCode code = Identify(opened, &id, &found);
  if (code == 0 && (id != place.file ||
                    (found & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0)) {
    code = kMoved;
  }
  if (code != 0) {
    ::CloseHandle(opened);
    return code;
  }
  *file = opened;
  if (attributes != nullptr) *attributes = found;
  return 0;
}

// 0 when the name of `place` leads to the file that was read. Whatever
// stands there, a folder or a junction too, is opened only to be looked at.
PlatformCode CheckPlace(const FilePlace& place, DWORD* attributes = nullptr) {
  HANDLE file = nullptr;
  const PlatformCode code = OpenPlace(place, FILE_READ_ATTRIBUTES, kShareAll,
                                      FILE_FLAG_BACKUP_SEMANTICS, &file, attributes);
  if (code == 0) ::CloseHandle(file);
  return code;
}

// The file of `place` opened with `access`, as its own security allows
// (no backup semantics), once another program's hold has passed. A refusal
// where the name leads to another file now is told as kMoved. Opened only
// to be deleted or to have its security read, it is refused access by its
// own security alone, which does not pass.
PlatformCode OpenPlaceFor(const FilePlace& place, DWORD access, DWORD share, HANDLE* file,
                          DWORD* attributes = nullptr) {
  const bool content = (access & (GENERIC_READ | GENERIC_WRITE)) != 0;
  const PlatformCode code =
      AfterHolds([&] { return OpenPlace(place, access, share, 0, file, attributes); },
                 content ? HeldOrRefused : Held);
  if (code != 0 && code != kMoved && CheckPlace(place) == kMoved) return kMoved;
  return code;
}

// The name once, links and junctions followed, and its folder held open,
// shared for reading and writing but not for deletion: while it is held,
// nobody can rename or remove the folder, nor put a junction in its place.
// A device has no place.
PlatformCode Locate(const char* name, FilePlace* place) {
  if (PlatformCode code = CheckLinks(name); code != 0) return code;
  HANDLE file = INVALID_HANDLE_VALUE;
  if (PlatformCode code = NotBetweenNames([&] {
        file = ::CreateFileA(name, 0, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
        return file == INVALID_HANDLE_VALUE ? LastError() : 0;
      });
      code != 0) {
    return code;
  }
  // A device or a pipe stands apart from any folder: its name is its place.
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    FilePlace found;
    found.folder = kNoFolder;
    found.name = name;
    *place = std::move(found);
    return 0;
  }
  std::string path;
  PlatformCode code = 0;
  // Where the system cannot tell the path the name leads to, the name
  // itself is taken.
  if (!FinalPath(file, &path)) {
    const std::wstring full = FullPath(Widen(name));
    if (full.empty() || !Narrow(full, &path)) code = LastError();
  }
  ::CloseHandle(file);
  if (code != 0) return code;
  const std::string::size_type separator = path.find_last_of("\\/");
  if (separator == std::string::npos || separator + 1 == path.size()) return ERROR_INVALID_NAME;
  FilePlace found;
  found.folder_path = path.substr(0, separator);
  // A root keeps its separator: "C:" alone is the current folder of C:.
  if (found.folder_path.empty() || found.folder_path.back() == ':') {
    found.folder_path = path.substr(0, separator + 1);
  }
  found.name = path.substr(separator + 1);
  const std::wstring wide = LongName(found.folder_path.c_str());
  if (wide.empty()) return LastError();
  // Traversal is the right to a folder most often granted that takes part
  // in sharing (as reading does); listing its files is the next.
  HANDLE folder = INVALID_HANDLE_VALUE;
  for (DWORD access : {DWORD{FILE_TRAVERSE}, DWORD{FILE_LIST_DIRECTORY}}) {
    folder = ::CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_ACCESS_DENIED) break;
  }
  if (folder == INVALID_HANDLE_VALUE) return LastError();
  found.folder = reinterpret_cast<Handle>(folder);
  *place = std::move(found);
  return 0;
}

// The identity of the file that was read, and the name in the held folder
// must lead to it.
PlatformCode CheckPlace(Handle file, FilePlace* place) {
  // A device or a pipe: a disk file has taken its name meanwhile.
  if (place->folder == kNoFolder) {
    return ::GetFileType(Native(file)) == FILE_TYPE_DISK ? kMoved : 0;
  }
  if (PlatformCode code = Identify(Native(file), &place->file, nullptr); code != 0) return code;
  return CheckPlace(*place);
}

// A device or a pipe is opened by its name, which must exist: no file is
// made for it, and a disk file that stands at the name by now is refused.
PlatformCode OpenStream(const FilePlace& place, Handle* handle) {
  if (place.folder != kNoFolder) return kMoved;
  HANDLE file = ::CreateFileA(place.name.c_str(), GENERIC_WRITE, kShareMode, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  if (::GetFileType(file) == FILE_TYPE_DISK) {
    ::CloseHandle(file);
    return kMoved;
  }
  *handle = reinterpret_cast<Handle>(file);
  return 0;
}

// A read-only file gives ERROR_ACCESS_DENIED, a file another process holds
// open for writing (or does not share for reading) ERROR_SHARING_VIOLATION.
PlatformCode ProbeWrite(const FilePlace& place) {
  // The attribute is asked for first: where the open would be granted all
  // the same (Wine run by root), a read-only file must still stay as it is.
  DWORD attributes = 0;
  if (PlatformCode code = CheckPlace(place, &attributes); code != 0) return code;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return ERROR_ACCESS_DENIED;
  HANDLE file = nullptr;
  if (PlatformCode code = OpenPlaceFor(place, GENERIC_WRITE, kShareMode, &file); code != 0) {
    return code;
  }
  ::CloseHandle(file);
  return 0;
}

PlatformCode OpenUpdate(const FilePlace& place, Handle* handle) {
  HANDLE file = nullptr;
  const PlatformCode code = OpenPlaceFor(place, GENERIC_READ | GENERIC_WRITE, kShareMode, &file);
  if (code == 0) *handle = reinterpret_cast<Handle>(file);
  return code;
}

// Runs on files of one folder take turns, as the lock of the folder makes
// them do elsewhere: the run that locks a folder owns a mutex named after
// the folder's final path until it lets the folder go; another waits for it
// up to kFolderWait, then finds the folder held by another run. (The name
// holds a hash of the path: a mutex's name has no backslash, and is shorter
// than a path may be.) Files need no lock: the share modes keep one writer
// and no reader beside it already. A folder held open with the right to
// traverse it alone may not tell its attributes: it is taken as a folder.
constexpr DWORD kFolderWait = 5000;
HANDLE FolderTurn = nullptr;
Handle TurnFolder = 0;

PlatformCode Lock(Handle handle, bool exclusive) {
  BY_HANDLE_FILE_INFORMATION information = {};
  std::string path;
  if (!exclusive || FolderTurn != nullptr ||
      (::GetFileInformationByHandle(Native(handle), &information) &&
       (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) ||
      !FinalPath(Native(handle), &path)) {
    return 0;
  }
  std::uint64_t hash = 14695981039346656037u;  // FNV-1a
  for (const char byte : path) hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211u;
  const std::wstring name = L"Local\\zub-folder-" + std::to_wstring(hash);
  if (Own(name.c_str(), kFolderWait, &FolderTurn) == WAIT_TIMEOUT) return ERROR_SHARING_VIOLATION;
  if (FolderTurn != nullptr) TurnFolder = handle;
  return 0;
}

PlatformCode LinkCount(Handle handle, std::uint32_t* count) {
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!::GetFileInformationByHandle(Native(handle), &information)) return LastError();
  *count = information.nNumberOfLinks;
  return 0;
}

// The named temporary file that has not yet replaced its file, for the
// console handler, which runs on a thread of its own. The main thread
// changes it, and makes the calls that create, rename or remove it, only
// while it holds PendingLock. The handler takes the lock and keeps it: after
// an interrupt the main thread goes no further with a replacement, and the
// process ends as the default handling ends it.
SRWLOCK PendingLock = SRWLOCK_INIT;
std::wstring PendingName;  // empty: none
std::atomic<bool> Interrupted = false;

void EnterPending() { ::AcquireSRWLockExclusive(&PendingLock); }

// Where an interrupt has come meanwhile, the main thread waits for the end
// of the process instead of going on.
void LeavePending() {
  ::ReleaseSRWLockExclusive(&PendingLock);
  if (Interrupted) ::Sleep(INFINITE);
}

void ClearPending(const std::wstring& name) {
  if (PendingName == name) PendingName.clear();
}

// Removes the file `wide` once another program's hold has passed.
PlatformCode RemoveFile(const std::wstring& wide) {
  return AfterHolds([&] { return Win32.delete_file(wide.c_str()) ? 0 : LastError(); });
}

// A name that nobody can guess, and that no process id or earlier run
// decides: a leftover never stands in the way.
std::string FreshName() {
  std::uint64_t bits = 0;
  if (!Win32.random(&bits, sizeof bits)) {
    LARGE_INTEGER now = {};
    ::QueryPerformanceCounter(&now);
    bits = static_cast<std::uint64_t>(now.QuadPart) * 0x9E3779B97F4A7C15u ^ ::GetTickCount64();
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name = ".zub-";
  for (int shift = 60; shift >= 0; shift -= 4) name += kDigits[bits >> shift & 0xF];
  return name + ".tmp";
}

constexpr int kNameAttempts = 100;
// A temporary file is written, takes over its model's security, and is
// deleted when its handle is closed, or by the console handler meanwhile.
constexpr DWORD kTemporaryAccess = GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER;
constexpr DWORD kTemporaryShareMode = kShareMode | FILE_SHARE_DELETE;

// Sets or clears the deletion of the open file when its last handle closes.
bool DeleteOnClose(HANDLE file, bool remove) {
  FILE_DISPOSITION_INFO disposition = {static_cast<BOOLEAN>(remove)};
  return Win32.set_information(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         FALSE;
}

// A new temporary file beside the file of `place`, with the attributes that
// file keeps. An unnamed one is deleted when its handle closes, so that a
// crash or a kill leaves nothing; until that is set, the console handler
// knows its name.
PlatformCode CreateBeside(const FilePlace& place, bool unnamed, TemporaryFile* file) {
  // A file that may not be deleted cannot be replaced; nor could a temporary
  // file that takes over its security be removed again.
  HANDLE target = nullptr;
  DWORD attributes = 0;
  if (PlatformCode code = OpenPlaceFor(place, DELETE, kShareAll, &target, &attributes); code != 0) {
    return code;
  }
  ::CloseHandle(target);
  attributes &= kKeptAttributes;
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string candidate = FreshName();
    const std::wstring wide = PlacePath(place, candidate);
    if (wide.empty()) return LastError();
    EnterPending();
    PendingName = wide;
    HANDLE created = Win32.create_file(wide.c_str(), kTemporaryAccess, kTemporaryShareMode,
                                       CREATE_NEW, attributes);
    PlatformCode code = created == INVALID_HANDLE_VALUE ? LastError() : 0;
    if (code == 0 && unnamed && !DeleteOnClose(created, true)) {
      code = LastError();
      ::CloseHandle(created);
      (void)RemoveFile(wide);
      // File systems that cannot do this say so in several ways.
      if (Unsupported(code)) code = ERROR_NOT_SUPPORTED;
    }
    if (code != 0 || unnamed) PendingName.clear();
    LeavePending();
    if (code == 0) {
      *file = TemporaryFile{reinterpret_cast<Handle>(created), std::move(candidate), !unnamed};
      return 0;
    }
    if (code != ERROR_FILE_EXISTS) return code;
  }
  return ERROR_FILE_EXISTS;
}

PlatformCode CreateUnnamed(const FilePlace& place, TemporaryFile* file) {
  return CreateBeside(place, true, file);
}

PlatformCode CreateTemporary(const FilePlace& place, TemporaryFile* file) {
  return CreateBeside(place, false, file);
}

// The file keeps its place beside the file of `place`: it only stops being
// deleted when its handle closes. From here on the console handler removes
// it.
PlatformCode NameTemporary(const FilePlace& place, TemporaryFile* file) {
  if (file->named) return 0;
  const std::wstring wide = PlacePath(place, file->name);
  if (wide.empty()) return LastError();
  EnterPending();
  PendingName = wide;
  const PlatformCode code = DeleteOnClose(Native(file->handle), false) ? 0 : LastError();
  if (code == 0) {
    file->named = true;
  } else {
    PendingName.clear();
  }
  LeavePending();
  return code;
}

// The owner, group and DACL of a file, self-relative, as `get` (a call in
// the manner of GetFileSecurityW) hands them.
constexpr SECURITY_INFORMATION kKeptSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

template <typename Get>
PlatformCode SecurityOf(Get get, std::vector<std::byte>* descriptor) {
  descriptor->resize(256);
  for (;;) {
    DWORD needed = 0;
    if (get(descriptor->data(), static_cast<DWORD>(descriptor->size()), &needed)) {
      descriptor->resize(::GetSecurityDescriptorLength(descriptor->data()));
      return 0;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return LastError();
    descriptor->resize(needed);
  }
}

// The new file gets the old one's owner, group and DACL, its explicit entries
// and inherited ones as they stand, protected or not, unless it has them
// already. They are read from the file that was read, open, not by its name
// again. Where the owner or any of it cannot be set (a user without the
// privilege to give a file another owner), this fails, and the file is
// rewritten in place.
PlatformCode CopyMetadata(const FilePlace& place, Handle handle) {
  HANDLE model = nullptr;
  if (PlatformCode code = OpenPlaceFor(place, READ_CONTROL, kShareAll, &model); code != 0) {
    return code;
  }
  std::vector<std::byte> wanted;
  std::vector<std::byte> present;
  PlatformCode code = SecurityOf(
      [&](void* descriptor, DWORD size, DWORD* needed) {
        return ::GetKernelObjectSecurity(model, kKeptSecurity, descriptor, size, needed);
      },
      &wanted);
  ::CloseHandle(model);
  if (code == 0) {
    code = SecurityOf(
        [&](void* descriptor, DWORD size, DWORD* needed) {
          return ::GetKernelObjectSecurity(Native(handle), kKeptSecurity, descriptor, size, needed);
        },
        &present);
  }
  if (code != 0 || wanted == present) return code;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!::GetSecurityDescriptorControl(wanted.data(), &control, &revision)) return LastError();
  const SECURITY_INFORMATION parts =
      kKeptSecurity | ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                          : UNPROTECTED_DACL_SECURITY_INFORMATION);
  return ::SetKernelObjectSecurity(Native(handle), parts, wanted.data()) ? 0 : LastError();
}

// A name in the folder of `place` that no file has yet. Empty on failure,
// the code left for GetLastError.
std::wstring UnusedName(const FilePlace& place) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::wstring wide = PlacePath(place, FreshName());
    if (wide.empty()) return wide;
    if (::GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES &&
        ::GetLastError() == ERROR_FILE_NOT_FOUND) {
      return wide;
    }
  }
  ::SetLastError(ERROR_FILE_EXISTS);
  return {};
}

// True when the name `wide` leads to the file that was read.
bool IsReadFile(const FilePlace& place, const std::wstring& wide) {
  HANDLE file = Win32.create_file(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
  if (file == INVALID_HANDLE_VALUE) return false;
  FileId id;
  const bool read = Identify(file, &id, nullptr) == 0 && id == place.file;
  ::CloseHandle(file);
  return read;
}

PlatformCode MoveNamed(const std::wstring& from, const std::wstring& to, DWORD flags) {
  return AfterHolds(
      [&] { return Win32.move_file(from.c_str(), to.c_str(), flags) ? 0 : LastError(); });
}

// ReplaceFileW keeps what the replaced file has beyond its content (its DACL,
// attributes and named streams). It moves the replaced file away, to
// `backup`, before it moves the replacement to its name; where that second
// step fails (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) the name is empty, and
// the new file takes it, or else the old one goes back. Without a backup
// name of its own, Windows would leave the old file under one it does not
// tell. Where nothing has moved (every other failure; a backup made as a
// copy is removed), the replacement is moved over the file, which is what
// ReplaceFileW does itself in the end. Each step replaces the
// name as it stands, a link there as itself, and only once the name is seen
// to lead to the file that was read. `old_kept`: the old file stays under
// the backup name, as neither could take the name. Whatever may leave the
// name empty for a moment is done owning the replacement mutex.
PlatformCode ReplaceFile(const FilePlace& place, const std::wstring& from, const std::wstring& to,
                         const std::wstring& backup, bool* old_kept) {
  PlatformCode code = AfterHolds([&] {
    const PlatformCode check = CheckPlace(place);
    if (check != 0) return check;
    HANDLE turn = ReplacementTurn();
    const BOOL replaced = Win32.replace_file(to.c_str(), from.c_str(), backup.c_str());
    const PlatformCode failure = replaced ? 0 : LastError();
    EndTurn(turn);
    return failure;
  });
  if (code == 0 || code == kMoved) return code;
  HANDLE turn = ReplacementTurn();
  if (CheckPlace(place) == ERROR_FILE_NOT_FOUND && IsReadFile(place, backup)) {
    if (MoveNamed(from, to, MOVEFILE_WRITE_THROUGH) == 0) {
      code = 0;
    } else {
      *old_kept = MoveNamed(backup, to, MOVEFILE_WRITE_THROUGH) != 0;
    }
  } else {
    code = CheckPlace(place);
    if (code == 0) code = MoveNamed(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  }
  EndTurn(turn);
  return code;
}

// The old file, under the backup name once replaced, is removed. Where
// another program still holds it after the wait, it is left there: the
// file has its new content all the same.
PlatformCode Replace(const FilePlace& place, const TemporaryFile& file) {
  const std::wstring wide_from = PlacePath(place, file.name);
  const std::wstring wide_to = PlacePath(place, place.name);
  if (wide_from.empty() || wide_to.empty()) return LastError();
  const std::wstring backup = UnusedName(place);
  if (backup.empty()) return LastError();
  EnterPending();
  bool old_kept = false;
  const PlatformCode code = ReplaceFile(place, wide_from, wide_to, backup, &old_kept);
  if (code == 0) ClearPending(wide_from);
  if (!old_kept) (void)RemoveFile(backup);
  LeavePending();
  return code;
}

// A file system that cannot flush a folder, or open one for it, has the file
// in place all the same: that is done as well as it can be.
PlatformCode SyncFolder(const FilePlace& place) {
  const std::wstring wide = LongName(place.folder_path.c_str());
  if (wide.empty()) return LastError();
  HANDLE folder = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return 0;
  const PlatformCode code = Win32.flush(folder) ? 0 : LastError();
  ::CloseHandle(folder);
  return code == ERROR_ACCESS_DENIED || Unsupported(code) ? 0 : code;
}

bool SetLength(HANDLE file, std::uint64_t length) {
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  return Win32.set_information(file, FileEndOfFileInfo, &end, sizeof end) != FALSE;
}

// Room on the disk for the file to grow to `length`, its size and bytes
// unchanged. Where no room can be taken ahead (Wine has no
// FileAllocationInfo), none is: growing the file instead would show zeros
// at its end until the write, and leave them there if the process were
// killed before it.
PlatformCode Reserve(Handle handle, std::uint64_t length) {
  HANDLE file = Native(handle);
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file, &size)) return LastError();
  if (length <= static_cast<std::uint64_t>(size.QuadPart)) return 0;
  FILE_ALLOCATION_INFO room = {};
  room.AllocationSize.QuadPart = static_cast<LONGLONG>(length);
  if (Win32.set_information(file, FileAllocationInfo, &room, sizeof room)) return 0;
  const PlatformCode code = LastError();
  return Unsupported(code) ? 0 : code;
}

DWORD Piece(std::size_t size) {
  return static_cast<DWORD>(size < kMaxTransfer ? size : kMaxTransfer);
}

// Writes all `size` bytes: from `offset` on where it is not negative, else
// at the file's position.
PlatformCode WriteAll(Handle handle, const void* data, std::size_t size, std::int64_t offset) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD count = 0;
    if (!::WriteFile(Native(handle), bytes, Piece(size), &count, offset < 0 ? nullptr : &at)) {
      return LastError();
    }
    // A write that takes nothing would be repeated for ever.
    if (count == 0) return ERROR_WRITE_FAULT;
    bytes += count;
    size -= count;
    if (offset >= 0) offset += count;
  }
  return 0;
}

PlatformCode WriteAt(Handle handle, std::uint64_t offset, const void* data, std::size_t size) {
  return WriteAll(handle, data, size, static_cast<std::int64_t>(offset));
}

PlatformCode Truncate(Handle handle, std::uint64_t length) {
  return SetLength(Native(handle), length) ? 0 : LastError();
}

// Interrupts: the console's Ctrl+C, Ctrl+Break and close. The handler removes
// the pending temporary file, then hands the event on to the default
// handling, which ends the process as it would have without the handler. It
// waits while the main thread holds interrupts.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  Interrupted = true;
  ::AcquireSRWLockExclusive(&PendingLock);  // kept until the process ends
  if (!PendingName.empty()) ::DeleteFileW(PendingName.c_str());
  return FALSE;
}

bool Watching = false;

PlatformCode WatchInterrupts() {
  if (Watching) return 0;
  if (!::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) return LastError();
  Watching = true;
  return 0;
}

// The handler is what makes an interrupt wait, so a hold puts it in place.
void HoldInterrupts(bool hold) {
  if (hold) {
    (void)WatchInterrupts();
    EnterPending();
  } else {
    LeavePending();
  }
}

PlatformCode StdHandle(StdStream stream, Handle* handle) {
  HANDLE standard =
      ::GetStdHandle(stream == StdStream::kInput ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
  if (standard == INVALID_HANDLE_VALUE) return LastError();
  *handle = reinterpret_cast<Handle>(standard);
  return 0;
}

FileType TypeOf(Handle handle) {
  switch (::GetFileType(Native(handle))) {
    case FILE_TYPE_UNKNOWN:
      return FileType::kUnknown;
    case FILE_TYPE_DISK:
      return FileType::kDisk;
    case FILE_TYPE_CHAR:
      return FileType::kChar;
    default:
      // A pipe, or a kind not known here: written as a stream, never
      // replaced by another file.
      return FileType::kPipe;
  }
}

PlatformCode Read(Handle handle, void* buffer, std::size_t size, std::size_t* got) {
  DWORD count = 0;
  if (!::ReadFile(Native(handle), buffer, Piece(size), &count, nullptr)) {
    *got = 0;
    // A pipe whose writer has gone has simply come to its end.
    PlatformCode code = LastError();
    return code == ERROR_BROKEN_PIPE ? 0 : code;
  }
  *got = count;
  return 0;
}

PlatformCode Write(Handle handle, const void* data, std::size_t size) {
  return WriteAll(handle, data, size, -1);
}

PlatformCode Sync(Handle handle) { return Win32.flush(Native(handle)) ? 0 : LastError(); }

PlatformCode Close(Handle handle) {
  const PlatformCode code = ::CloseHandle(Native(handle)) ? 0 : LastError();
  if (handle == TurnFolder) EndTurn(std::exchange(FolderTurn, nullptr));
  return code;
}

PlatformCode Remove(const FilePlace& place, const std::string& name) {
  const std::wstring wide = PlacePath(place, name);
  if (wide.empty()) return LastError();
  EnterPending();
  const PlatformCode code = RemoveFile(wide);
  if (code == 0) ClearPending(wide);
  LeavePending();
  return code;
}

}  // namespace

const PlatformCalls& NativeCalls() {
  // Each call of the list by the name of its implementation, then the rest.
  // clang-format off
  static const PlatformCalls calls = {
      ZUB_PLATFORM_CALLS(ZUB_IMPLEMENTED_BY_NAME)
      .file_type = TypeOf,
      .hold_interrupts = HoldInterrupts,
      .command_line = CommandLine,
      .exit_process = EndProcessWith,
      .module_base = ModuleBase,
      .install_fault_handler = InstallFaultHandler,
      .remove_fault_handler = RemoveFaultHandler,
      .name_too_long = ERROR_FILENAME_EXCED_RANGE,
      .not_supported = ERROR_NOT_SUPPORTED,
      .moved = kMoved,
  };
  // clang-format on
  return calls;
}

}  // namespace zub
