#include "memory_sys.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace zub::fuzz {

namespace {

constexpr Handle kConsoleInput = 1;
constexpr Handle kConsoleOutput = 2;
constexpr Handle kFirstFile = 16;
constexpr Handle kHandlesPerRun = 1 << 20;
// The name of the handle of the folder of a file, before the file's name.
constexpr std::string_view kFolderOf = "folder of ";

struct OpenFile {
  std::string name;
  std::size_t at = 0;  // reading: the next byte
  bool open = false;
  bool ended = false;      // a read has met the end of the data
  bool hidden = false;     // an unnamed file, kept in Hidden until named
  bool temporary = false;  // the new file of a replacement
};

MemorySys* State = nullptr;
std::map<std::string, std::string> Hidden;  // unnamed files, by a name of their own
Handle Generation = 0;
std::vector<OpenFile> Handles;
std::size_t Piece = 0;
std::size_t ConsoleAt = 0;

// The open file behind a handle of this run; nullptr for one of an earlier
// run, which counts as closed.
OpenFile* FileOf(Handle handle) {
  if (handle / kHandlesPerRun != Generation) return nullptr;
  const auto index = static_cast<std::size_t>(handle % kHandlesPerRun - kFirstFile);
  Require(index < Handles.size() && Handles[index].open, "a call on a closed handle");
  return &Handles[index];
}

// Counts a file call; true when it is the one to fail.
bool Fails(const char* call) {
  if (++State->file_calls != State->fail_at) return false;
  State->failed_call = call;
  return true;
}

Handle NewHandle(const std::string& name, bool hidden = false, bool temporary = false) {
  Handles.push_back({name, 0, true, false, hidden, temporary});
  return Generation * kHandlesPerRun + kFirstFile + static_cast<Handle>(Handles.size() - 1);
}

bool Exists(const std::string& name) { return State->files.contains(name); }

std::string& Content(const OpenFile& file) {
  return file.hidden ? Hidden[file.name] : State->files[file.name];
}

// A name beside `model` that no file has.
std::string FreeName(const char* model) {
  for (int attempt = 0;; ++attempt) {
    std::string candidate = std::string(model) + ".~" + std::to_string(attempt);
    if (!Exists(candidate)) return candidate;
  }
}

PlatformCode OpenRead(const char* name, Handle* handle) {
  if (Fails("open_read")) return State->fail_code;
  ++State->opens[name];
  if (!Exists(name)) return ENOENT;
  *handle = NewHandle(name);
  return 0;
}

PlatformCode OpenWrite(const char* name, Handle* handle) {
  if (Fails("open_write")) return State->fail_code;
  State->files[name].clear();
  *handle = NewHandle(name);
  return 0;
}

PlatformCode ProbeWrite(const FilePlace& place) {
  if (Fails("probe_write")) return State->fail_code;
  return Exists(place.name) ? 0 : ENOENT;
}

PlatformCode OpenUpdate(const FilePlace& place, Handle* handle) {
  if (Fails("open_update")) return State->fail_code;
  if (!Exists(place.name)) return ENOENT;
  *handle = NewHandle(place.name);
  return 0;
}

// A device or a pipe: the model has none, so no name leads to one.
PlatformCode OpenStream(const FilePlace& /*place*/, Handle* /*handle*/) {
  if (Fails("open_stream")) return State->fail_code;
  Require(false, "a stream opened for a file of the model");
  return 0;
}

PlatformCode Lock(Handle handle, bool /*exclusive*/) {
  if (FileOf(handle) == nullptr) return 0;
  return Fails("lock") ? State->fail_code : 0;
}

PlatformCode LinkCount(Handle handle, std::uint32_t* count) {
  if (Fails("link_count")) return State->fail_code;
  Require(FileOf(handle) != nullptr, "the link count of a file of another run");
  *count = State->links;
  return 0;
}

// The place of a file is its whole name; the folder a handle of its own.
PlatformCode Locate(const char* name, FilePlace* place) {
  if (Fails("locate")) return State->fail_code;
  *place = FilePlace{NewHandle(std::string(kFolderOf) + name, true), "", name, {}, {}};
  return 0;
}

PlatformCode CheckPlace(Handle file, FilePlace* place) {
  if (Fails("check_place")) return State->fail_code;
  OpenFile* open = FileOf(file);
  Require(open != nullptr, "the place of a file of another run");
  return open->name == place->name ? 0 : ESTALE;
}

PlatformCode CreateUnnamed(const FilePlace& place, TemporaryFile* file) {
  if (Fails("create_unnamed")) return State->fail_code;
  if (State->named_only) return EOPNOTSUPP;
  if (!Exists(place.name)) return ENOENT;
  const std::string name = "hidden " + std::to_string(Hidden.size());
  Hidden[name];
  *file = TemporaryFile{NewHandle(name, true, true), "", false};
  return 0;
}

PlatformCode CreateTemporary(const FilePlace& place, TemporaryFile* file) {
  if (Fails("create_temporary")) return State->fail_code;
  if (!Exists(place.name)) return ENOENT;
  std::string name = FreeName(place.name.c_str());
  State->files[name];
  *file = TemporaryFile{NewHandle(name, false, true), name, true};
  return 0;
}

PlatformCode CopyMetadata(const FilePlace& place, Handle /*handle*/) {
  if (Fails("copy_metadata")) return State->fail_code;
  return Exists(place.name) ? 0 : ENOENT;
}

PlatformCode NameTemporary(const FilePlace& place, TemporaryFile* file) {
  if (Fails("name_temporary")) return State->fail_code;
  if (file->named) return 0;
  OpenFile* open = FileOf(file->handle);
  Require(open != nullptr && open->hidden, "an unnamed file to name");
  std::string name = FreeName(place.name.c_str());
  State->files[name] = std::move(Hidden[open->name]);
  Hidden.erase(open->name);
  *open = OpenFile{name, open->at, true, open->ended, false, true};
  file->name = std::move(name);
  file->named = true;
  return 0;
}

PlatformCode SyncFolder(const FilePlace& /*place*/) {
  return Fails("sync_folder") ? State->fail_code : 0;
}

PlatformCode Reserve(Handle handle, std::uint64_t /*length*/) {
  Require(FileOf(handle) != nullptr, "room for a file of another run");
  return Fails("reserve") ? State->fail_code : 0;
}

PlatformCode WriteAt(Handle handle, std::uint64_t offset, const void* data, std::size_t size) {
  OpenFile* file = FileOf(handle);
  Require(file != nullptr, "a write to a file of another run");
  if (Fails("write_at")) return State->fail_code;
  std::string& content = Content(*file);
  Require(offset <= content.size(), "a write past the end of the file");
  content.replace(static_cast<std::size_t>(offset), size, static_cast<const char*>(data), size);
  return 0;
}

PlatformCode Truncate(Handle handle, std::uint64_t length) {
  OpenFile* file = FileOf(handle);
  Require(file != nullptr, "a file of another run cut");
  if (Fails("truncate")) return State->fail_code;
  Content(*file).resize(static_cast<std::size_t>(length));
  return 0;
}

PlatformCode WatchInterrupts() { return Fails("watch_interrupts") ? State->fail_code : 0; }

PlatformCode StdHandle(StdStream stream, Handle* handle) {
  *handle = stream == StdStream::kInput ? kConsoleInput : kConsoleOutput;
  return 0;
}

FileType TypeOf(Handle handle) {
  return handle == kConsoleInput || handle == kConsoleOutput ? State->console_type
                                                             : FileType::kDisk;
}

// Hands over the next bytes of `data` from `*at`: at most `count`.
std::size_t Take(const std::string& data, std::size_t* at, void* buffer, std::size_t count) {
  count = std::min(count, data.size() - std::min(*at, data.size()));
  std::memcpy(buffer, data.data() + *at, count);
  *at += count;
  return count;
}

PlatformCode Read(Handle handle, void* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  Require(size > 0, "a read of no bytes");
  if (handle == kConsoleInput) {
    *got = Take(State->console_input, &ConsoleAt, buffer, size);
    return 0;
  }
  if (handle == kConsoleOutput) return EBADF;
  OpenFile* file = FileOf(handle);
  if (file == nullptr) return 0;
  if (Fails("read")) return State->fail_code;
  Require(!file->ended, "a file read again after the end of its data");
  std::size_t count = size;
  if (!State->pieces.empty()) count = std::min(size, State->pieces[Piece++ % State->pieces.size()]);
  *got = Take(Content(*file), &file->at, buffer, count);
  file->ended = *got == 0;
  return 0;
}

PlatformCode Write(Handle handle, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  if (handle == kConsoleOutput) {
    State->console_output.append(bytes, size);
    return 0;
  }
  if (handle == kConsoleInput) return EBADF;
  OpenFile* file = FileOf(handle);
  if (file == nullptr) return 0;
  if (Fails(file->temporary ? "write_temporary" : "write")) return State->fail_code;
  Content(*file).append(bytes, size);
  return 0;
}

PlatformCode Sync(Handle handle) {
  if (handle == kConsoleInput || handle == kConsoleOutput) return 0;
  const OpenFile* file = FileOf(handle);
  if (file == nullptr) return 0;
  return Fails(file->temporary ? "sync_temporary" : "sync") ? State->fail_code : 0;
}

PlatformCode Close(Handle handle) {
  if (handle == kConsoleInput || handle == kConsoleOutput) return 0;
  OpenFile* file = FileOf(handle);
  if (file == nullptr) return 0;
  file->open = false;                          // released even when the call fails, as on POSIX
  if (file->hidden) Hidden.erase(file->name);  // an unnamed file goes with its handle
  const char* call = file->name.starts_with(kFolderOf) ? "close_folder"
                     : file->temporary                 ? "close_temporary"
                                                       : "close";
  return Fails(call) ? State->fail_code : 0;
}

PlatformCode Replace(const FilePlace& place, const TemporaryFile& file) {
  if (Fails("replace")) return State->fail_code;
  auto source = State->files.extract(file.name);
  if (source.empty()) return ENOENT;
  State->files[place.name] = std::move(source.mapped());
  return 0;
}

PlatformCode Remove(const FilePlace& /*place*/, const std::string& name) {
  if (Fails("remove")) return State->fail_code;
  return State->files.erase(name) != 0 ? 0 : ENOENT;
}

PlatformCode ProgramPath(std::string* path) {
  *path = "zub";
  return 0;
}
PlatformCode CheckCommandLine() { return 0; }

}  // namespace

void StartMemorySys(MemorySys* state) {
  State = state;
  ++Generation;
  Handles.clear();
  Hidden.clear();
  Piece = 0;
  ConsoleAt = 0;
  Sys = NativeCalls();
#define ZUB_MODEL(name, Name, parameters, codes) Sys.name = Name;
  ZUB_PLATFORM_CALLS(ZUB_MODEL)
#undef ZUB_MODEL
  Sys.file_type = TypeOf;
  Sys.hold_interrupts = [](bool) {};
  Sys.command_line = [] { return static_cast<const char*>(nullptr); };
  Sys.exit_process = [](std::uint32_t status) { throw ProcessExit{status}; };
  Sys.install_fault_handler = [](FaultHandler) {};
  Sys.remove_fault_handler = [] {};
}

void Require(bool holds, const char* what) {
  if (holds) return;
  (void)std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}

}  // namespace zub::fuzz
