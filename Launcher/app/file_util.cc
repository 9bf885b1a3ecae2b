#include "app/file_util.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <exception>
#include <utility>

#include "app/path_rules.h"
#include "base/path_helpers.h"
#include "base/text_util.h"

namespace {

// Paths this long or longer go to the system in their extended form: the plain
// form stops at MAX_PATH, and CreateDirectoryW already 12 characters earlier.
constexpr size_t kPlainPathLimit = MAX_PATH - 12;
// The longest path the system takes in any form.
constexpr size_t kLongestPath = 32767;
// Reads of whole files go in pieces of this size.
constexpr DWORD kReadPiece = 1 << 20;
// Writes go in pieces of at most this size, below what one WriteFile takes.
constexpr size_t kWritePiece = 1 << 30;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

// Closes a handle of CreateFileW when it goes out of scope.
class ScopedFileHandle {
 public:
  explicit ScopedFileHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedFileHandle() { Close(); }
  ScopedFileHandle(const ScopedFileHandle&) = delete;
  ScopedFileHandle& operator=(const ScopedFileHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  // True when the handle closed cleanly (or there was none).
  bool Close() {
    const bool ok = !valid() || CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE handle_;
};

// Closes a search handle of FindFirstFileExW when it goes out of scope.
class ScopedFind {
 public:
  explicit ScopedFind(HANDLE handle) : handle_(handle) {}
  ~ScopedFind() {
    if (valid()) FindClose(handle_);
  }
  ScopedFind(const ScopedFind&) = delete;
  ScopedFind& operator=(const ScopedFind&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A path that a system call may take: not empty, no embedded zero character
// (which would silently cut it short), not longer than any path can be.
bool UsablePath(const std::wstring& path) {
  return !path.empty() && path.size() <= kLongestPath && path.find(L'\0') == std::wstring::npos;
}

// ANSI code page text to UTF-16; false for text that has no usable wide form.
bool AnsiToWide(const std::string& text, std::wstring& wide) {
  wide.clear();
  if (text.empty() || text.find('\0') != std::string::npos) return false;
  TextUtil::MultiByteToWide(text, wide, CP_ACP);
  return !wide.empty();
}

// UTF-16 file names to the ANSI code page without the system's "best fit",
// which would turn a full-width "\uff0e" or "\uff0f" into "." or "/" and so
// make a name that is harmless in UTF-16 climb out of its folder. Characters
// the code page lacks become "?", which no file name can hold.
std::string WideToAnsi(const std::wstring& text) {
  if (text.empty() || text.size() > INT_MAX) return std::string();
  // The flag is refused for UTF-8, which needs no best fit anyway.
  const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int length = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string narrow(static_cast<size_t>(needed), '\0');
  const int written =
      WideCharToMultiByte(CP_ACP, flags, text.data(), length, &narrow[0], needed, nullptr, nullptr);
  if (written <= 0) return std::string();
  narrow.resize(static_cast<size_t>(written));
  return narrow;
}

std::wstring FullPath(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length == 0) return std::wstring();
    if (length < full.size()) {
      full.resize(length);
      return full;
    }
    full.resize(length);
  }
  return std::wstring();
}

// The form of `path` to hand to the system: the path itself while its full
// form is short, else the extended ("\\?\") full form, which has no MAX_PATH
// limit. The extended form skips the system's own clean-up of "/", "." and
// "..", so it is made from the full path, which has had that clean-up.
std::wstring SystemPath(const std::wstring& path) {
  if (StartsWith(path, L"\\\\?\\")) return path;
  const bool absolute = (path.size() >= 3 && path[1] == L':' && IsSeparator(path[2])) ||
                        (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]));
  if (absolute && path.size() < kPlainPathLimit) return path;
  const std::wstring full = FullPath(path);
  if (full.empty() || full.size() < kPlainPathLimit) return path;
  if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) return full;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(SystemPath(path).c_str()); }

bool IsMissingError(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// True for a drive root, a share root ("\\server\share") or the root of the
// current drive, in any spelling. Unknown paths count as roots, so that
// nothing is emptied on a guess.
bool IsRootPath(const std::wstring& path) {
  std::wstring full = FullPath(path);
  if (full.empty()) return true;
  if (StartsWith(full, L"\\\\?\\UNC\\")) {
    full = L"\\\\" + full.substr(8);
  } else if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) {
    full = full.substr(4);
  }
  while (!full.empty() && IsSeparator(full.back())) full.pop_back();
  if (full.empty()) return true;
  if (full.size() == 2 && full[1] == L':') return true;
  if (full.size() >= 2 && IsSeparator(full[0]) && IsSeparator(full[1])) {
    int names = 0;
    bool in_name = false;
    for (size_t i = 2; i < full.size(); ++i) {
      if (IsSeparator(full[i])) {
        in_name = false;
      } else if (!in_name) {
        in_name = true;
        ++names;
      }
    }
    return names <= 2;
  }
  return false;
}

// Lists `folder` (which ends in a separator) and calls `visit` with every entry
// other than "." and "..". False when the folder cannot be listed or the
// listing breaks off early.
template <typename Visit>
bool ForEachEntry(const std::wstring& folder, Visit visit) {
  WIN32_FIND_DATAW data = {};
  ScopedFind find(FindFirstFileExW(SystemPath(folder + L"*").c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (!find.valid()) {
    // Only a drive root can be a folder without "." and "..".
    const DWORD error = GetLastError();
    const DWORD attributes = Attributes(folder);
    return error == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  do {
    const wchar_t* name = data.cFileName;
    if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
    visit(data);
  } while (FindNextFileW(find.get(), &data));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

bool IsFolderEntry(const WIN32_FIND_DATAW& data) {
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsLinkEntry(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Clears the read-only attribute of the entry itself: a link's own attribute,
// never its target's.
bool ClearReadOnly(const std::wstring& path, DWORD attributes) {
  ScopedFileHandle handle(
      CreateFileW(SystemPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) return false;
  FILE_BASIC_INFO info = {};
  // Zero times leave the times as they are; zero attributes would too, so an
  // entry with no attribute left is given the "normal" one.
  info.FileAttributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle.get(), FileBasicInfo, &info, sizeof(info)) != FALSE;
}

// Removes one entry that is not descended into: a file, an emptied folder, or
// a link to a file or folder (the link alone goes: DeleteFileW and
// RemoveDirectoryW both act on a reparse point itself). The read-only
// attribute is cleared only when it is what stands in the way, and never on a
// reparse point: not every system honours FILE_FLAG_OPEN_REPARSE_POINT there
// (Wine changes the target), and a link's target must stay as it is.
bool RemoveEntry(const std::wstring& path, DWORD attributes) {
  const std::wstring system_path = SystemPath(path);
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const auto remove = [&]() {
    return (folder ? RemoveDirectoryW(system_path.c_str()) : DeleteFileW(system_path.c_str())) !=
           FALSE;
  };
  if (remove()) return true;
  if (GetLastError() != ERROR_ACCESS_DENIED || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      IsLinkEntry(attributes)) {
    return false;
  }
  return ClearReadOnly(path, attributes) && remove();
}

// The tree below `root` (a real folder, no separator at the end), deepest
// first. Kept on the heap rather than the call stack: a hostile tree can be
// thousands of levels deep.
bool RemoveFolderTree(const std::wstring& root) {
  struct Pending {
    std::wstring folder;
    bool listed;
  };
  std::vector<Pending> pending;
  pending.push_back({root, false});
  bool ok = true;
  while (!pending.empty()) {
    if (pending.back().listed) {
      const std::wstring folder = std::move(pending.back().folder);
      pending.pop_back();
      const DWORD attributes = Attributes(folder);
      if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!IsMissingError(GetLastError())) ok = false;
        continue;
      }
      if (!RemoveEntry(folder, attributes)) ok = false;
      continue;
    }
    pending.back().listed = true;
    const std::wstring folder = pending.back().folder;
    // The folder might have been swapped for a link since its parent was
    // listed; a link is removed, never entered.
    const DWORD attributes = Attributes(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) continue;
    if (IsLinkEntry(attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    const bool listed = ForEachEntry(folder + L"\\", [&](const WIN32_FIND_DATAW& data) {
      const std::wstring path = folder + L"\\" + data.cFileName;
      if (IsFolderEntry(data) && !IsLinkEntry(data.dwFileAttributes)) {
        pending.push_back({path, false});
      } else if (!RemoveEntry(path, data.dwFileAttributes)) {
        ok = false;
      }
    });
    if (!listed) ok = false;
  }
  return ok;
}

// Lists the files below `root` into `out` (see CollectFiles). `root` ends in a
// separator.
int CollectInto(const std::wstring& root, std::vector<std::wstring>& out,
                const std::vector<std::wstring>& skip) {
  const size_t held = out.size();
  std::vector<std::wstring> pending;
  pending.push_back(root);
  bool first = true;
  try {
    while (!pending.empty()) {
      const std::wstring folder = std::move(pending.back());
      pending.pop_back();
      std::vector<std::wstring> subfolders;
      const bool listed = ForEachEntry(folder, [&](const WIN32_FIND_DATAW& data) {
        if (!IsFolderEntry(data)) {
          out.push_back(folder + data.cFileName);
        } else if (!IsLinkEntry(data.dwFileAttributes) &&
                   std::find(skip.begin(), skip.end(), data.cFileName) == skip.end()) {
          subfolders.push_back(folder + data.cFileName + L"\\");
        }
      });
      if (!listed && first) {
        out.resize(held);
        return -1;
      }
      first = false;
      // Reversed, so that the first subfolder is taken next: the same order as
      // descending into each one in turn.
      pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());
    }
  } catch (const std::exception&) {
    // Out of memory on an enormous tree: what was found so far stays.
  }
  return static_cast<int>(std::min<size_t>(out.size(), INT_MAX));
}

int ListInto(const std::wstring& folder, std::vector<std::wstring>& out) {
  out.clear();
  if (!UsablePath(folder)) return -1;
  try {
    const bool listed =
        ForEachEntry(NormalizeDirW(folder, true), [&](const WIN32_FIND_DATAW& data) {
          if (IsFolderEntry(data)) out.push_back(data.cFileName);
        });
    if (!listed) {
      out.clear();
      return -1;
    }
  } catch (const std::exception&) {
    out.clear();
    return -1;
  }
  return static_cast<int>(std::min<size_t>(out.size(), INT_MAX));
}

template <typename Char>
std::basic_string<Char> NormalizeDir(const std::basic_string<Char>& path, bool add_separator) {
  std::basic_string<Char> out = path;
  std::replace(out.begin(), out.end(), static_cast<Char>('/'), static_cast<Char>('\\'));
  if (add_separator) {
    if (out.empty() || out.back() != static_cast<Char>('\\')) {
      out.push_back(static_cast<Char>('\\'));
    }
  } else {
    while (!out.empty() && out.back() == static_cast<Char>('\\')) out.pop_back();
  }
  return out;
}

template <typename Char>
bool SplitPath(const std::basic_string<Char>& path, std::basic_string<Char>& folder,
               std::basic_string<Char>& name) {
  std::basic_string<Char> normal = path;
  std::replace(normal.begin(), normal.end(), static_cast<Char>('/'), static_cast<Char>('\\'));
  const size_t cut = normal.rfind(static_cast<Char>('\\'));
  if (cut == std::basic_string<Char>::npos || cut == 0) return false;
  name = normal.substr(cut + 1);
  folder = normal.substr(0, cut);
  return true;
}

// "/" becomes "\" and runs of separators become one, except that a leading
// "\\" (a share or an extended path) stays.
std::wstring FoldSeparators(const std::wstring& path) {
  std::wstring out;
  out.reserve(path.size());
  size_t i = 0;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    out = L"\\\\";
    i = 2;
    while (i < path.size() && IsSeparator(path[i])) ++i;
  }
  for (; i < path.size(); ++i) {
    if (!IsSeparator(path[i])) {
      out.push_back(path[i]);
    } else if (out.empty() || out.back() != L'\\') {
      out.push_back(L'\\');
    }
  }
  return out;
}

bool EqualIgnoringCase(const wchar_t* a, const wchar_t* b, size_t length) {
  if (length == 0) return true;
  if (length > INT_MAX) return false;
  const int n = static_cast<int>(length);
  return CompareStringOrdinal(a, n, b, n, TRUE) == CSTR_EQUAL;
}

}  // namespace

const std::string& SaveDirA() {
  static const std::string dir = std::string(".") + "\\" + "save";
  return dir;
}

const std::wstring& SaveDirW() {
  static const std::wstring dir = L".\\save";
  return dir;
}

const std::wstring& UpdateDir() {
  static const std::wstring dir = L".\\update";
  return dir;
}

const std::wstring& ExceptionDir() {
  static const std::wstring dir = L".\\exception";
  return dir;
}

const std::string& PreDownloadDir() {
  static const std::string dir = ".\\update\\predownload";
  return dir;
}

const std::wstring& DefaultInstallDir() {
  static const std::wstring dir = PathHelpers::CurrentModuleDirectory() + L"Varnholt Game";
  return dir;
}

std::string NormalizeDirA(const std::string& path, bool add_separator) {
  return NormalizeDir(path, add_separator);
}

std::wstring NormalizeDirW(const std::wstring& path, bool add_separator) {
  return NormalizeDir(path, add_separator);
}

bool SplitPathA(const std::string& path, std::string& folder, std::string& name) {
  return SplitPath(path, folder, name);
}

bool SplitPathW(const std::wstring& path, std::wstring& folder, std::wstring& name) {
  return SplitPath(path, folder, name);
}

bool ReadFileTextA(const std::string& path, std::string& text) {
  std::wstring wide;
  return AnsiToWide(path, wide) && ReadFileTextW(wide, text);
}

bool ReadFileTextW(const std::wstring& path, std::string& text) {
  if (!UsablePath(path)) return false;
  ScopedFileHandle file(CreateFileW(SystemPath(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) return false;
  std::string data;
  try {
    LARGE_INTEGER size = {};
    // One byte more than the size, so that the final empty read needs no
    // reallocation.
    if (GetFileSizeEx(file.get(), &size) && size.QuadPart >= 0 &&
        static_cast<unsigned long long>(size.QuadPart) < data.max_size()) {
      data.reserve(static_cast<size_t>(size.QuadPart) + 1);
    }
    // Read to the end rather than trusting the size: the file may change.
    for (;;) {
      const size_t used = data.size();
      data.resize(used + kReadPiece);
      DWORD got = 0;
      if (!ReadFile(file.get(), &data[used], kReadPiece, &got, nullptr)) return false;
      data.resize(used + got);
      if (got == 0) break;
    }
  } catch (const std::exception&) {
    // Too large to hold in memory.
    return false;
  }
  text.swap(data);
  return true;
}

bool WriteFileTextA(const std::string& path, const std::string& text) {
  std::wstring wide;
  return AnsiToWide(path, wide) && WriteFileTextW(wide, text);
}

bool WriteFileTextW(const std::wstring& path, const std::string& text) {
  if (!UsablePath(path) || IsSeparator(path.back())) return false;
  const std::wstring temporary = path + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(GetCurrentThreadId()) + L".tmp";
  const std::wstring system_temporary = SystemPath(temporary);
  ScopedFileHandle file(CreateFileW(system_temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    const DWORD piece = static_cast<DWORD>(std::min(text.size() - done, kWritePiece));
    DWORD written = 0;
    ok = WriteFile(file.get(), text.data() + done, piece, &written, nullptr) && written == piece;
    done += written;
  }
  ok = file.Close() && ok;
  ok = ok && MoveFileExW(system_temporary.c_str(), SystemPath(path).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) DeleteFileW(system_temporary.c_str());
  return ok;
}

bool MakeDirsA(const std::string& path) {
  std::wstring wide;
  return AnsiToWide(path, wide) && MakeDirsW(wide);
}

bool MakeDirsW(const std::wstring& path) {
  if (!UsablePath(path)) return false;
  const std::wstring folder = NormalizeDirW(path, false);
  // Only separators: the root of the current drive.
  if (folder.empty()) return IsDirW(L"\\");
  return PathHelpers::CreateDirectories(SystemPath(folder).c_str());
}

bool RemoveTreeA(const std::string& path) {
  std::wstring wide;
  return AnsiToWide(path, wide) && RemoveTreeW(wide);
}

bool RemoveTreeW(const std::wstring& path) {
  if (!UsablePath(path)) return false;
  const std::wstring folder = NormalizeDirW(path, false);
  // "X:" alone means the current folder of that drive: too vague to empty.
  if (folder.empty() || (folder.size() == 2 && folder[1] == L':') || IsRootPath(folder)) {
    return false;
  }
  const DWORD attributes = Attributes(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES) return IsMissingError(GetLastError());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  if (IsLinkEntry(attributes)) return RemoveEntry(folder, attributes);
  try {
    RemoveFolderTree(folder);
  } catch (const std::exception&) {
    // Out of memory: whatever is left shows below.
  }
  return Attributes(folder) == INVALID_FILE_ATTRIBUTES && IsMissingError(GetLastError());
}

bool IsDirA(const std::string& path) {
  std::wstring wide;
  return AnsiToWide(path, wide) && IsDirW(wide);
}

bool IsDirW(const std::wstring& path) {
  if (!UsablePath(path)) return false;
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int CollectFiles(const std::string& folder, std::vector<std::string>& out,
                 const std::vector<std::string>& skip) {
  std::wstring wide;
  if (!AnsiToWide(folder, wide) || !UsablePath(wide)) return -1;
  std::vector<std::wstring> wide_skip;
  std::vector<std::wstring> found;
  try {
    for (const std::string& name : skip) {
      std::wstring wide_name;
      TextUtil::MultiByteToWide(name, wide_name, CP_ACP);
      wide_skip.push_back(std::move(wide_name));
    }
    if (CollectInto(NormalizeDirW(wide, true), found, wide_skip) < 0) return -1;
    // The folder part keeps the caller's own spelling.
    const std::string prefix = NormalizeDirA(folder, true);
    const size_t wide_prefix = NormalizeDirW(wide, true).size();
    for (const std::wstring& path : found)
      out.push_back(prefix + WideToAnsi(path.substr(wide_prefix)));
  } catch (const std::exception&) {
    // Out of memory: what was added so far stays.
  }
  return static_cast<int>(std::min<size_t>(out.size(), INT_MAX));
}

int CollectFiles(const std::wstring& folder, std::vector<std::wstring>& out,
                 const std::vector<std::wstring>& skip) {
  if (!UsablePath(folder)) return -1;
  return CollectInto(NormalizeDirW(folder, true), out, skip);
}

int ListSubfolders(const std::string& folder, std::vector<std::string>& out) {
  out.clear();
  std::wstring wide;
  if (!AnsiToWide(folder, wide)) return -1;
  std::vector<std::wstring> names;
  const int count = ListInto(wide, names);
  if (count < 0) return -1;
  try {
    for (const std::wstring& name : names) out.push_back(WideToAnsi(name));
  } catch (const std::exception&) {
    out.clear();
    return -1;
  }
  return count;
}

int ListSubfolders(const std::wstring& folder, std::vector<std::wstring>& out) {
  return ListInto(folder, out);
}

std::wstring SystemPathW(const std::wstring& path) { return SystemPath(path); }

bool PathLiesUnder(const std::wstring& root, const std::wstring& candidate) {
  if (!UsablePath(root) || !UsablePath(candidate)) return false;
  std::wstring base = FoldSeparators(root);
  while (!base.empty() && base.back() == L'\\') base.pop_back();
  std::wstring path = FoldSeparators(candidate);
  if (path.size() <= base.size() + 1 || path[base.size()] != L'\\') return false;
  if (!EqualIgnoringCase(path.data(), base.data(), base.size())) return false;
  size_t begin = base.size() + 1;
  size_t end = path.size();
  if (path[end - 1] == L'\\') --end;
  if (end <= begin) return false;
  while (begin < end) {
    size_t stop = path.find(L'\\', begin);
    if (stop == std::wstring::npos || stop > end) stop = end;
    if (!IsPlainPathSegment(path.data() + begin, path.data() + stop)) return false;
    begin = stop + 1;
  }
  return true;
}

bool BuildPathUnder(const std::wstring& root, const std::string& utf8_relative, std::wstring& out) {
  out.clear();
  if (!UsablePath(root) || !IsSafeRelativePath(utf8_relative)) return false;
  std::wstring relative;
  if (!TextUtil::Utf8ToWide(utf8_relative.c_str(), relative)) return false;
  std::replace(relative.begin(), relative.end(), L'/', L'\\');
  std::wstring path = NormalizeDirW(root, true) + relative;
  if (!PathLiesUnder(root, path)) return false;
  out.swap(path);
  return true;
}

bool OpensForReadingW(const std::wstring& path) {
  if (path.empty()) return false;
  HANDLE h = CreateFileW(SystemPathW(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}
