// Version-map files and the small state files around them: reading and
// writing maps, game version texts and their order, the pre-download folders
// by version, the apply checkpoint (.\update\apply_list.txt) and, through
// pending_file_list.h, the deferred runtime and font lists.
//
// Maps, texts and versions are UTF-8 narrow strings; paths are wide. Every
// path built from a version text or a folder name is checked to lie under its
// root before anything is read, written or deleted there.
//
// Thread rules: free functions without shared state or locks. The update
// engine calls them on the worker thread (thread 1); HasPartialPreDownload
// and the version comparisons are also safe on the UI thread.
#pragma once

#include <string>
#include <vector>

#include "update/pending_file_list.h"
#include "update/version_map_core.h"

// Parses a map file's text (either form) into `map`. An empty text fails at
// once; text the JSON reader refuses, or a map VersionMapFromJson refuses,
// fails as well. On failure `map` is left as it was and `error` says why.
[[nodiscard]] bool ParseVersionMap(const std::string& text, VersionMap& map, std::string& error);

// Empties `map`, then reads and parses the file. False when it cannot be read
// or does not parse (`map` stays empty).
[[nodiscard]] bool LoadVersionMapFile(const std::wstring& path, VersionMap& map,
                                      std::string& error);

// Writes the map in the wrapped form with `version`, tab-indented with sorted
// members, replacing the file whole. False (with `error`) for an entry the
// reader would refuse or a failed write.
[[nodiscard]] bool WriteVersionMapFile(const std::wstring& path, const VersionMap& map,
                                       const std::string& version, std::string& error);

// True when the bytes are not empty and parse as JSON with no error text.
[[nodiscard]] bool IsValidJsonText(const char* bytes, int length, std::string& error);

// A game version A_B_C. Versions order by A, then C, then B.
struct GameVersion {
  int first = 0;
  int second = 0;
  int third = 0;
};

// True when `text` is three "_"-joined decimal integers (ParseVersionTriple).
[[nodiscard]] bool ParseGameVersion(const std::string& text, GameVersion& out);

// -1, 0 or 1 as `a` is older than, equal to or newer than `b`.
int CompareGameVersions(const GameVersion& a, const GameVersion& b);

// Whether a pre-download of version `pre` is usable over the installed version
// `local`, given the published version `remote` (may be empty):
//   1  newer than the installed game (usable);
//   0  no pre-download version;
//  -1  no installed version;  -2 / -3 / -4  pre / local / remote is no version;
//  -5  newer than the published version (the game must be updated first);
//  -6  not newer than the installed game;
//  -7  older than the published version.
int CheckPreDownloadVersion(const std::string& pre, const std::string& local,
                            const std::string& remote);

// Drops from `dirs` (sub-folder names of `root`, .\update\predownload) every
// name that is no newer than `local_version`, deleting that folder's tree, and
// every name that is no version, leaving that folder on disk. Returns the
// number of names kept, 0 for an empty list, -1 for an empty local version and
// -2 for a local version that is no version (the list is left then).
int PrunePreDownloadDirs(const std::wstring& root, const std::string& local_version,
                         std::vector<std::string>& dirs);

// Whether a finished pre-download of `version` is at hand: -1 for an empty
// version; 1 when `dirs` lacks it or its predownload_version_map.txt under
// `root` cannot be read or parsed, or names another version; 0 when the map's
// version equals `version`. `map` (the "_local_predownload_version_" map) is
// emptied and receives the map read.
int GetPreDownloadStatus(const std::wstring& root, const std::string& version,
                         const std::vector<std::string>& dirs, VersionMap& map);

// Whether an unfinished pre-download of `version` exists: its
// tmp_predownload_version_map.txt under `root` opens for reading.
bool HasPartialPreDownload(const std::wstring& root, const std::string& version);

// The apply state's checkpoint: the version being applied and the relative
// paths already put in place, in order.
struct ApplyList {
  std::string version;
  std::vector<std::string> fileList;
};

// Reads {"fileList": [...], "version": "..."}. False when the file cannot be
// read or parsed, "version" is not a string, "fileList" is not an array, or an
// element is not a path that IsSafeRelativePath accepts. `list` is replaced
// only on success.
[[nodiscard]] bool ReadApplyList(const std::wstring& path, ApplyList& list);

// Writes the checkpoint (replacing the file whole) when the version is not
// empty and at least one path is listed; otherwise writes nothing and leaves
// an older file as it is. True when the file was written.
bool WriteApplyList(const std::wstring& path, const ApplyList& list);

// Makes the fetched map (`tmp`) the installed map (`installed`): its bytes
// replace the installed file in one move, and only then is `tmp` deleted. On
// a failure both files stay as they were, so the next check sees the update
// as unfinished instead of losing the fetched map. True on success.
[[nodiscard]] bool PromoteTmpMap(const std::wstring& tmp, const std::wstring& installed);
