// The Win32 platform layer's paths. The *A calls keep to MAX_PATH; the paths
// this layer makes itself (the temporary file beside a settings file whose
// name is close to that limit is longer) go through the *W calls, in the
// code page the *A calls use, and every conversion between the two is exact
// or refused.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "runtime/platform_win32_path.h"

#include <aclapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/platform_win32.h"

namespace zub::win32 {

namespace {

UINT FileCodePage() { return ::AreFileApisANSI() ? ::GetACP() : ::GetOEMCP(); }

// The path of the open file `file`, links and junctions followed, as the
// system gives it ("\\?\C:\..."). Empty where the system cannot tell it.
std::wstring FinalWidePath(HANDLE file) {
  std::wstring final_path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetFinalPathNameByHandleW(
        file, final_path.data(), static_cast<DWORD>(final_path.size()), VOLUME_NAME_DOS);
    if (length == 0) return {};
    if (length < final_path.size()) {
      final_path.resize(length);
      return final_path;
    }
    final_path.resize(length);  // the size asked for, the final zero included
  }
}

}  // namespace

std::wstring Widen(const char* text) {
  const UINT code_page = FileCodePage();
  const int count = ::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (count <= 1) {
    if (count == 1) ::SetLastError(ERROR_INVALID_NAME);
    return {};
  }
  std::wstring wide(static_cast<std::size_t>(count), L'\0');
  ::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text, -1, wide.data(), count);
  wide.resize(static_cast<std::size_t>(count - 1));
  return wide;
}

bool Narrow(std::wstring_view wide, std::string* text) {
  const UINT code_page = FileCodePage();
  // UTF-8 holds every character; only an unpaired surrogate has no form.
  const bool utf8 = code_page == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL lossy = FALSE;
  BOOL* const lossy_check = utf8 ? nullptr : &lossy;
  const int length = static_cast<int>(wide.size());
  const int count = ::WideCharToMultiByte(code_page, flags, wide.data(), length, nullptr, 0,
                                          nullptr, lossy_check);
  if (count <= 0 && length > 0) return false;
  if (lossy) {
    ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  std::string narrow(static_cast<std::size_t>(count), '\0');
  ::WideCharToMultiByte(code_page, flags, wide.data(), length, narrow.data(), count, nullptr,
                        nullptr);
  *text = std::move(narrow);
  return true;
}

std::wstring FullPath(const std::wstring& name) {
  if (name.empty()) return {};  // Widen failed, and said why
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    DWORD length =
        ::GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return {};
    if (length < full.size()) {
      full.resize(length);
      return full;
    }
    full.resize(length);  // the size asked for, the final zero included
  }
}

std::wstring LongName(const char* name) {
  std::wstring full = FullPath(Widen(name));
  if (full.empty() || full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

bool FinalPath(HANDLE file, std::string* path) {
  std::wstring final_path = FinalWidePath(file);
  if (final_path.empty()) return false;
  if (final_path.starts_with(L"\\\\?\\UNC\\")) {
    final_path.replace(0, 8, L"\\\\");
  } else if (final_path.starts_with(L"\\\\?\\")) {
    final_path.erase(0, 4);
  }
  return Narrow(final_path, path);
}

namespace {

// Where a link on the path leads, and who stands behind each step. The
// system's own account, the administrators and the installer's own are
// trusted, as root is on POSIX, and so is the runner.
constexpr int kMaxLinks = 63;  // as many as the system follows in one name

using Sid = std::vector<std::byte>;

Sid SidOf(PSID sid) {
  const auto* bytes = static_cast<const std::byte*>(sid);
  return {bytes, bytes + ::GetLengthSid(sid)};
}

Sid Runner() {
  Sid runner;
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return runner;
  std::vector<std::byte> user(256);
  DWORD size = 0;
  if (::GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()),
                            &size)) {
    runner = SidOf(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
  }
  ::CloseHandle(token);
  return runner;
}

// NT SERVICE\TrustedInstaller, the owner of the system's own files.
bool IsInstaller(PSID sid) {
  static constexpr DWORD kParts[] = {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464};
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  if (*::GetSidSubAuthorityCount(sid) != std::size(kParts) ||
      std::memcmp(::GetSidIdentifierAuthority(sid), &nt, sizeof nt) != 0) {
    return false;
  }
  for (DWORD part = 0; part < std::size(kParts); ++part) {
    if (*::GetSidSubAuthority(sid, part) != kParts[part]) return false;
  }
  return true;
}

bool Trusted(const Sid& owner, const Sid& runner) {
  auto* sid = const_cast<std::byte*>(owner.data());
  return owner == runner || ::IsWellKnownSid(sid, WinLocalSystemSid) ||
         ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsInstaller(sid);
}

// True where a step from what `from` owns to what `to` owns would let the
// owner of `from`, whom the run does not trust, lead it to what another
// owns. An owner that cannot be read decides nothing: the step is taken as
// the system takes it.
bool Steered(const Sid& from, const Sid& to, const Sid& runner) {
  return !from.empty() && !to.empty() && from != to && !Trusted(from, runner);
}

// The length of the root of the full path `path`: "\\?\C:\" or
// "\\?\UNC\server\share\"; 0 for a device.
std::size_t RootLength(const std::wstring& path) {
  if (path.starts_with(L"\\\\?\\UNC\\")) {
    const std::size_t server = path.find(L'\\', 8);
    const std::size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    return share == std::wstring::npos ? 0 : share + 1;
  }
  if (path.starts_with(L"\\\\?\\") && path.size() >= 7 && path[5] == L':') return 7;
  return 0;
}

}  // namespace

bool LookAt(LPCWSTR path, bool follow, PathLook* look) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = ::CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                              OPEN_EXISTING, flags, nullptr);
  // Where its owner may not be read, what stands there may still be seen.
  if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
    file = ::CreateFileW(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, flags,
                         nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  *look = PathLook{};
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  look->link = ::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) &&
               (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
               IsReparseTagNameSurrogate(tag.ReparseTag);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) == ERROR_SUCCESS &&
      owner != nullptr) {
    look->owner = SidOf(owner);
  }
  if (descriptor != nullptr) ::LocalFree(descriptor);
  if (follow) look->final_path = FinalWidePath(file);
  ::CloseHandle(file);
  return true;
}

PlatformCode CheckLinks(const char* name) {
  std::wstring path = LongName(name);
  std::size_t at = RootLength(path);
  // A device, or a name the open will refuse for what it is.
  if (at == 0) return 0;
  const Sid runner = Runner();
  PathLook look;
  Sid previous;
  if (Win32.look(path.substr(0, at).c_str(), false, &look)) previous = look.owner;
  for (int links = 0; at < path.size();) {
    const std::size_t end = std::min(path.find(L'\\', at), path.size());
    const std::wstring step = path.substr(0, end);
    // Nothing there: the open says so.
    if (!Win32.look(step.c_str(), false, &look)) return 0;
    if (!look.link) {
      previous = std::move(look.owner);
      at = end + 1;
      continue;
    }
    PathLook target;
    if (!Win32.look(step.c_str(), true, &target) || target.final_path.empty()) return 0;
    if (Steered(previous, look.owner, runner) || Steered(look.owner, target.owner, runner)) {
      return kUntrustedLink;
    }
    if (++links > kMaxLinks) return ERROR_CANT_RESOLVE_FILENAME;
    // On from where the link leads.
    previous = std::move(target.owner);
    path = target.final_path + path.substr(end);
    at = target.final_path.size() + 1;
  }
  return 0;
}

}  // namespace zub::win32
