#include "update/version_map.h"

#include <windows.h>

#include <exception>
#include <utility>

#include <json/json.h>

#include "app/file_util.h"
#include "app/system_util.h"

namespace {

constexpr char kFinishedMapName[] = "predownload_version_map.txt";
constexpr char kPartialMapName[] = "tmp_predownload_version_map.txt";

// The file `name` in the folder `version` under `root`, when the version is a
// plain folder name.
bool PreDownloadFile(const std::wstring& root, const std::string& version, const char* name,
                     std::wstring& out) {
  if (version.empty()) return false;
  return BuildPathUnder(root, version + "/" + name, out);
}

// Compares two versions already parsed; the order is A, then C, then B.
int CompareTriples(const GameVersion& a, const GameVersion& b) {
  if (a.first != b.first) return a.first < b.first ? -1 : 1;
  if (a.third != b.third) return a.third < b.third ? -1 : 1;
  if (a.second != b.second) return a.second < b.second ? -1 : 1;
  return 0;
}

}  // namespace

bool ParseVersionMap(const std::string& text, VersionMap& map, std::string& error) {
  Json::Value root;
  if (!ParseJson(text, root, error)) return false;
  return VersionMapFromJson(root, map, error);
}

bool LoadVersionMapFile(const std::wstring& path, VersionMap& map, std::string& error) {
  map.clear();
  error.clear();
  std::string text;
  if (!ReadFileTextW(path, text)) {
    error = "cannot read the file";
    return false;
  }
  return ParseVersionMap(text, map, error);
}

bool WriteVersionMapFile(const std::wstring& path, const VersionMap& map,
                         const std::string& version, std::string& error) {
  Json::Value root;
  if (!VersionMapToJson(map, version, root, error)) return false;
  const std::string text = StyledJsonText(root);
  if (text.empty() || !WriteFileTextW(path, text)) {
    error = "cannot write the file";
    return false;
  }
  return true;
}

bool IsValidJsonText(const char* bytes, int length, std::string& error) {
  error.clear();
  if (bytes == nullptr || length <= 0) {
    error = "empty text";
    return false;
  }
  Json::Value root;
  return ParseJson(std::string(bytes, static_cast<size_t>(length)), root, error);
}

bool ParseGameVersion(const std::string& text, GameVersion& out) {
  GameVersion parsed;
  if (!ParseVersionTriple(text, parsed.first, parsed.third, parsed.second)) return false;
  out = parsed;
  return true;
}

int CompareGameVersions(const GameVersion& a, const GameVersion& b) { return CompareTriples(a, b); }

int CheckPreDownloadVersion(const std::string& pre, const std::string& local,
                            const std::string& remote) {
  if (pre.empty()) return 0;
  if (local.empty()) return -1;
  GameVersion pre_version;
  GameVersion local_version;
  if (!ParseGameVersion(pre, pre_version)) return -2;
  if (!ParseGameVersion(local, local_version)) return -3;
  if (!remote.empty()) {
    GameVersion remote_version;
    if (!ParseGameVersion(remote, remote_version)) return -4;
    if (CompareTriples(remote_version, local_version) != 0) {
      const int order = CompareTriples(pre_version, remote_version);
      if (order < 0) return -7;
      if (order > 0) return -5;
    }
  }
  return CompareTriples(pre_version, local_version) > 0 ? 1 : -6;
}

int PrunePreDownloadDirs(const std::wstring& root, const std::string& local_version,
                         std::vector<std::string>& dirs) {
  if (dirs.empty()) return 0;
  if (local_version.empty()) return -1;
  GameVersion local;
  if (!ParseGameVersion(local_version, local)) return -2;
  std::vector<std::string> kept;
  for (const std::string& name : dirs) {
    GameVersion version;
    if (!ParseGameVersion(name, version)) continue;  // not ours to delete
    if (CompareTriples(version, local) > 0) {
      kept.push_back(name);
      continue;
    }
    std::wstring folder;
    if (BuildPathUnder(root, name, folder)) RemoveTreeW(folder);
  }
  dirs.swap(kept);
  return static_cast<int>(dirs.size());
}

int GetPreDownloadStatus(const std::wstring& root, const std::string& version,
                         const std::vector<std::string>& dirs, VersionMap& map) {
  if (version.empty()) return -1;
  bool listed = false;
  for (const std::string& name : dirs) {
    if (name == version) {
      listed = true;
      break;
    }
  }
  if (!listed) return 1;
  map.clear();
  std::wstring path;
  if (!PreDownloadFile(root, version, kFinishedMapName, path)) return 1;
  std::string error;
  if (!LoadVersionMapFile(path, map, error)) return 1;
  return GetMapVersion(map) == version ? 0 : 1;
}

bool HasPartialPreDownload(const std::wstring& root, const std::string& version) {
  std::wstring path;
  if (!PreDownloadFile(root, version, kPartialMapName, path)) return false;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

bool ReadApplyList(const std::wstring& path, ApplyList& list) {
  std::string text;
  if (!ReadFileTextW(path, text)) return false;
  Json::Value root;
  std::string error;
  if (!ParseJson(text, root, error) || !root.isObject()) return false;
  try {
    const Json::Value& version = root["version"];
    const Json::Value& files = root["fileList"];
    if (!version.isString() || !files.isArray()) return false;
    ApplyList read;
    read.version = version.asString();
    for (const Json::Value& item : files) {
      // The checkpoint names files in the tree; anything else means the file
      // is not ours, and starting the apply over is the safe answer.
      if (!item.isString() || !IsSafeRelativePath(item.asString())) return false;
      read.fileList.push_back(item.asString());
    }
    list = std::move(read);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool WriteApplyList(const std::wstring& path, const ApplyList& list) {
  if (list.version.empty() || list.fileList.empty()) return false;
  try {
    Json::Value root(Json::objectValue);
    root["version"] = list.version;
    Json::Value files(Json::arrayValue);
    for (const std::string& file : list.fileList) files.append(file);
    root["fileList"] = std::move(files);
    const std::string text = StyledJsonText(root);
    return !text.empty() && WriteFileTextW(path, text);
  } catch (const std::exception&) {
    return false;
  }
}

bool PromoteTmpMap(const std::wstring& tmp, const std::wstring& installed) {
  std::string text;
  if (!ReadFileTextW(tmp, text)) return false;
  if (!WriteFileTextW(installed, text)) return false;
  return DeleteFileW(SystemPathW(tmp).c_str()) != 0;
}
