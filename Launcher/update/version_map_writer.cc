#include "update/version_map_writer.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/file_util.h"
#include "base/text_util.h"
#include "download/md5.h"
#include "update/version_map.h"

namespace {

// Sizes are written as signed 32-bit integers: the map format cannot describe
// a file of 2 GiB or more.
constexpr int64_t kLargestSize = 0x7FFFFFFF;

// Hashes each path (".\" + relative name) into `map`; unreadable files are
// left out. False, with a message, for a file the format cannot hold.
bool AddFiles(const std::vector<std::wstring>& paths, VersionMap& map, const char* mode) {
  for (const std::wstring& path : paths) {
    std::wstring key = path.substr(2);  // without the leading ".\"
    for (wchar_t& c : key) {
      if (c == L'\\') c = L'/';
    }
    std::string key8;
    TextUtil::WideToMultiByte(key, key8, CP_UTF8);
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) &&
        (static_cast<int64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow) > kLargestSize) {
      std::fprintf(stderr, "%s: %s is 2 GiB or larger, which a version map cannot hold\n", mode,
                   key8.c_str());
      return false;
    }
    std::string md5;
    int64_t size = 0;
    if (!Md5OfFileW(path, md5, size)) continue;
    if (size > kLargestSize) {  // grew while it was read
      std::fprintf(stderr, "%s: %s is 2 GiB or larger, which a version map cannot hold\n", mode,
                   key8.c_str());
      return false;
    }
    VersionEntry& entry = map[key8];
    entry.md5 = md5;
    entry.size = static_cast<int32_t>(size);
  }
  return true;
}

bool WriteMap(const std::vector<std::wstring>& paths, const std::wstring& version,
              const std::wstring& out_file, const char* mode) {
  VersionMap map;
  if (!AddFiles(paths, map, mode)) return false;
  std::string version8;
  TextUtil::WideToMultiByte(version, version8, CP_UTF8);
  std::string error;
  if (!WriteVersionMapFile(out_file, map, version8.empty() ? std::string("1.0.0") : version8,
                           error)) {
    std::string name;
    TextUtil::WideToMultiByte(out_file, name, CP_UTF8);
    std::fprintf(stderr, "%s: could not write %s: %s\n", mode, name.c_str(), error.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool WriteLauncherVersionMap(const std::wstring& version) {
  std::vector<std::wstring> paths = {L".\\launcher.exe",
                                     L".\\resources.zip",
                                     L".\\SourceHanSansCNRegular.ttf",
                                     L".\\SourceHanSansCNBold.ttf",
                                     L".\\LomaN.ttf",
                                     L".\\LomaB.ttf"};
  CollectFiles(std::wstring(L".\\cef"), paths, {});  // a missing folder adds nothing
  return WriteMap(paths, version, L".\\launcher_version_map.txt", "make_version");
}

bool WriteDependenceVersionMap(const std::wstring& version) {
  std::vector<std::wstring> paths;
  CollectFiles(std::wstring(L".\\dependence"), paths, {});
  return WriteMap(paths, version, L".\\dependence_version_map.txt", "make_dependence_version");
}
