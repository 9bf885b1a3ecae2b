// Version maps in memory: for one tree of files, each file's relative path
// ("/" separators) with its MD5 and size, read from and written to their JSON
// file forms, compared with each other, and kept in the update engine's table
// under twelve version keys.
//
// Everything here is free of system headers, so the map reader and its
// validation also build natively as a fuzz target. Maps arrive from the
// network; the reader therefore refuses any map whose paths could leave the
// folder they are joined to or whose digests are not digests, before a single
// entry can reach a caller.
//
// Thread rules: no shared state and no locks. The update engine keeps its
// VersionTable on the worker thread (thread 1) only.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <json/json.h>

// One file of a map.
struct VersionEntry {
  // 32 lower-case hexadecimal digits, compared as text. In the pseudo-entry
  // "version" of a flat map it carries the tree's version text instead.
  std::string md5;
  // Bytes; files of 2 GiB or more cannot be described.
  int32_t size = 0;
};

inline bool operator==(const VersionEntry& a, const VersionEntry& b) {
  return a.md5 == b.md5 && a.size == b.size;
}
inline bool operator!=(const VersionEntry& a, const VersionEntry& b) { return !(a == b); }

// Relative path (UTF-8, byte-wise order) to its entry.
using VersionMap = std::map<std::string, VersionEntry>;

// The pseudo-entry of a flat map that holds the version text.
constexpr char kMapVersionEntry[] = "version";

// True for exactly 32 characters of "0123456789abcdef".
[[nodiscard]] bool IsValidMd5Text(const std::string& text);

// Fills `map` from the root of a map file in either form:
//  - wrapped: {"version": ..., "list": {path: {"md5", "size"}, ...}}; a null
//    "list" is an empty list; the root "version" is not an entry;
//  - flat (no "list"): the root itself is the list, and its member "version"
//    ({"md5": version text}) becomes the pseudo-entry "version".
// A missing "size" counts 0. The whole map is refused (false, `map` left as
// it was, `error` saying why) when the root or "list" is not an object, a
// member is not an object, a path fails IsSafeRelativePath, an "md5" is
// missing or not 32 lower-case hex digits, a "size" is not an integer from 0
// to 2^31 - 1, or the version text is not a string free of control
// characters. Never throws.
[[nodiscard]] bool VersionMapFromJson(const Json::Value& root, VersionMap& map, std::string& error);

// The wrapped form that the launcher writes: {"list": ..., "version":
// version}, with "list" null when the map holds no file. The pseudo-entry
// "version" is not written as a file. False, with `error`, for an entry that
// VersionMapFromJson would refuse, so no file is written that reads back
// differently.
[[nodiscard]] bool VersionMapToJson(const VersionMap& map, const std::string& version,
                                    Json::Value& out, std::string& error);

// Tab-indented text in jsoncpp's sorted member order, as every file of the
// launcher is written. Never throws; an empty text means the writer failed.
std::string StyledJsonText(const Json::Value& value);

// The files to fetch, computed from the installed (`local`) and the published
// (`remote`) map: `update` becomes every remote entry that is missing locally
// or has another md5 (sizes are not compared), without "version". `local`
// keeps only the paths the remote map lacks, and those paths are appended, in
// path order, to `local_only` (which is not emptied first).
void DiffVersionMaps(VersionMap& local, const VersionMap& remote, VersionMap& update,
                     std::vector<std::string>& local_only);

// The md5 field of the entry "version", or an empty text.
std::string GetMapVersion(const VersionMap& map);

// The update engine's maps by version key. Looking up a key that is not there
// makes an empty map under it.
class VersionTable {
 public:
  static constexpr char kLocalLauncherVersion[] = "_local_launcher_version_";
  static constexpr char kRemoteLauncherVersion[] = "_remote_launcher_version_";
  static constexpr char kUpdateLauncherVersion[] = "_update_launcher_version_";
  static constexpr char kLauncherPatchVersion[] = "_launcher_patch_version_";
  static constexpr char kLocalGameVersion[] = "_local_game_version_";
  static constexpr char kRemoteGameVersion[] = "_remote_game_version_";
  static constexpr char kUpdateGameVersion[] = "_update_game_version_";
  static constexpr char kGamePatchVersion[] = "_game_patch_version_";
  static constexpr char kLocalPreDownloadVersion[] = "_local_predownload_version_";
  static constexpr char kRemotePreDownloadVersion[] = "_remote_predownload_version_";
  static constexpr char kUpdatePreDownloadVersion[] = "_update_predownload_version_";
  static constexpr char kPreDownloadPatchVersion[] = "_predownload_patch_version_";

  // The twelve keys in the order above.
  static const std::array<const char*, 12>& Keys();

  // The map under `key`, made empty when missing.
  VersionMap& operator[](const std::string& key) { return maps_[key]; }
  VersionMap& Get(const std::string& key) { return maps_[key]; }

  // Empties (making it when needed) the map under `key` and returns it.
  VersionMap& Reset(const std::string& key);

  // Every one of the twelve keys present and empty, as at worker start.
  void ResetAll();

  // Erases every key, as at worker end.
  void Clear() { maps_.clear(); }

  bool Contains(const std::string& key) const { return maps_.count(key) != 0; }
  size_t size() const { return maps_.size(); }

 private:
  std::map<std::string, VersionMap> maps_;
};
