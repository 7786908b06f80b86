// The Win32 platform layer's paths: names between the code page of the *A
// calls and the *W calls, full and final paths, and the links on a path.
#ifndef ZUB_RUNTIME_PLATFORM_WIN32_PATH_H_
#define ZUB_RUNTIME_PLATFORM_WIN32_PATH_H_

#include <windows.h>

#include <string>
#include <string_view>

#include "runtime/platform.h"

namespace zub::win32 {

// The name as the *A calls read it. Empty on failure, with
// ERROR_NO_UNICODE_TRANSLATION for bytes that are no text in the code page
// (the system would read another character there, and so another name) and
// ERROR_INVALID_NAME for the empty name.
std::wstring Widen(const char* text);
// False, with ERROR_NO_UNICODE_TRANSLATION, where a character has no place
// of its own in the code page. The system's usual conversion puts a
// look-alike there ("L" for "Ł", '"' for the fullwidth quotation mark) or
// the default character, and a name changed that way names another file.
bool Narrow(std::wstring_view wide, std::string* text);
// The full path of `name`, made from the current folder; the file need not
// exist. Empty on failure, the code left for GetLastError.
std::wstring FullPath(const std::wstring& name);
// The full path of `name` with the prefix "\\?\" that lifts the limit of
// MAX_PATH. Empty on failure, the code left for GetLastError.
std::wstring LongName(const char* name);
// The path of the open file `file`, links and junctions followed, in the
// form the *A calls take ("\\?\C:\..." becomes "C:\...", "\\?\UNC\..."
// "\\..."). False where the system cannot tell it.
bool FinalPath(HANDLE file, std::string* path);

// 0 where no link on the path `name` (a symbolic link or a junction) lets
// a user who is neither the system, an administrator nor the runner lead
// the run to what another user owns: neither a link of such a user that
// leads to what another owns, nor any link of another in a folder of such
// a user. kUntrustedLink otherwise. Plain files and folders are the
// system's affair: a hard link there needs the right to write the file.
// Where an owner may not be read, the step is taken as the system takes
// it.
PlatformCode CheckLinks(const char* name);
// ERROR_UNTRUSTED_MOUNT_POINT, which the system gives where it keeps a
// process from following such a junction itself.
inline constexpr PlatformCode kUntrustedLink = 448;

}  // namespace zub::win32

#endif  // ZUB_RUNTIME_PLATFORM_WIN32_PATH_H_
