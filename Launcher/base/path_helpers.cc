#include "base/path_helpers.h"

#include <algorithm>
#include <utility>

namespace PathHelpers {
namespace {

// Module names longer than this cannot exist on Windows.
constexpr DWORD kLongestModuleName = 32768;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool EnsureDirectory(const std::wstring& path) {
  if (IsDirectory(path)) return true;
  if (CreateDirectoryW(path.c_str(), nullptr)) return true;
  // Someone else may have made it between the check and the call; that is
  // fine as long as what now exists is a directory.
  return GetLastError() == ERROR_ALREADY_EXISTS && IsDirectory(path);
}

}  // namespace

HMODULE CurrentModuleHandle() {
  // Every address inside a loaded image reports the image's base as its
  // allocation base, and an image's base is its module handle.
  MEMORY_BASIC_INFORMATION info = {};
  if (VirtualQuery(reinterpret_cast<const void*>(&CurrentModuleHandle), &info, sizeof(info)) != 0 &&
      info.AllocationBase != nullptr) {
    return static_cast<HMODULE>(info.AllocationBase);
  }
  return GetModuleHandleW(nullptr);
}

std::wstring ModuleFileName(HMODULE module) {
  std::wstring name;
  for (DWORD size = MAX_PATH;; size = std::min(size * 2, kLongestModuleName)) {
    name.resize(size);
    const DWORD length = GetModuleFileNameW(module, &name[0], size);
    if (length == 0) return std::wstring();
    // A full buffer means the name was cut, whatever the last error says.
    if (length < size) {
      name.resize(length);
      return name;
    }
    if (size == kLongestModuleName) return std::wstring();
  }
}

bool DirectoryPart(const std::wstring& path, std::wstring& out) {
  const size_t separator = path.size() < 2 ? std::wstring::npos : path.find_last_of(L"\\/");
  if (separator == std::wstring::npos || separator == 0) {
    out.clear();
    return false;
  }
  out = path.substr(0, separator + 1);
  return true;
}

std::wstring CurrentModuleDirectory() {
  std::wstring directory;
  if (!DirectoryPart(ModuleFileName(CurrentModuleHandle()), directory)) return L".\\";
  return directory;
}

bool SplitComponents(const wchar_t* path, std::list<std::wstring>& out) {
  out.clear();
  if (path == nullptr) return false;
  const wchar_t* p = path;
  if (IsSeparator(*p)) {
    out.push_back(L"\\");
    while (IsSeparator(*p)) ++p;
  }
  while (*p != L'\0') {
    const wchar_t* start = p;
    while (*p != L'\0' && !IsSeparator(*p)) ++p;
    std::wstring component(start, p);
    if (*p != L'\0') {
      component.push_back(L'\\');
      while (IsSeparator(*p)) ++p;
    }
    out.push_back(std::move(component));
  }
  return true;
}

bool CreateDirectories(const wchar_t* path) {
  if (path == nullptr) return false;
  if (IsDirectory(path)) return true;

  std::list<std::wstring> components;
  SplitComponents(path, components);
  if (components.empty()) return false;

  auto next = components.begin();
  std::wstring prefix = *next++;
  if (IsSeparator(path[0]) && IsSeparator(path[1])) {
    // Splitting folds the leading "\\" into one "\", which would turn
    // "\\server\share\dir" into "\server\..." on the current drive. Such a
    // root (a share, or "\\?\C:\") cannot be created, so it is only checked.
    prefix.push_back(L'\\');
    for (int i = 0; i < 2 && next != components.end(); ++i) prefix += *next++;
    if (!IsDirectory(prefix)) return false;
  }

  for (;;) {
    if (!EnsureDirectory(prefix)) return false;
    if (next == components.end()) return true;
    prefix += *next++;
  }
}

}  // namespace PathHelpers
