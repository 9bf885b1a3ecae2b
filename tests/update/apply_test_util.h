// Helpers of the fetch and apply tests: copying and comparing file trees,
// maps of a tree, and a launcher set up for running the apply state on the
// test's own thread.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "base/text_util.h"
#include "download/md5.h"
#include "test_dir.h"
#include "test_process.h"
#include "update/version_map.h"

namespace applytest {

inline std::wstring Wide(const std::string& utf8) {
  std::wstring out;
  TextUtil::Utf8ToWide(utf8.c_str(), out);
  return out;
}

inline std::string Utf8(const std::wstring& wide) {
  std::string out;
  TextUtil::WideToUtf8(wide.c_str(), out);
  return out;
}

inline std::string Md5Of(const std::string& bytes) {
  return Md5OfBytes(bytes.data(), bytes.size());
}

// Relative paths ("/" separators, UTF-8) of every file under root, sorted.
inline std::vector<std::string> TreeFiles(const std::wstring& root) {
  std::vector<std::wstring> found;
  std::vector<std::string> out;
  const std::wstring base = NormalizeDirW(root, true);
  if (CollectFiles(base, found, {}) <= 0) return out;
  for (const std::wstring& path : found) {
    std::string rel = Utf8(path.substr(base.size()));
    for (char& c : rel) {
      if (c == '\\') c = '/';
    }
    out.push_back(rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

inline bool PutFile(const std::wstring& root, const std::string& relative,
                    const std::string& bytes) {
  std::wstring path;
  if (!BuildPathUnder(NormalizeDirW(root, false), relative, path)) return false;
  std::wstring folder, name;
  if (SplitPathW(path, folder, name)) MakeDirsW(folder);
  return testsupport::WriteWholeFile(path, bytes);
}

inline std::string GetFile(const std::wstring& root, const std::string& relative) {
  std::wstring path;
  if (!BuildPathUnder(NormalizeDirW(root, false), relative, path)) return std::string();
  return testsupport::ReadWholeFile(path);
}

inline bool Exists(const std::wstring& root, const std::string& relative) {
  std::wstring path;
  return BuildPathUnder(NormalizeDirW(root, false), relative, path) &&
         testsupport::FileExists(path);
}

inline bool CopyTree(const std::wstring& from, const std::wstring& to) {
  for (const std::string& rel : TreeFiles(from)) {
    if (!PutFile(to, rel, GetFile(from, rel))) return false;
  }
  return true;
}

// The map of a tree (every file with its md5 and size).
inline VersionMap MapOfTree(const std::wstring& root) {
  VersionMap map;
  for (const std::string& rel : TreeFiles(root)) {
    const std::string bytes = GetFile(root, rel);
    map[rel] = VersionEntry{Md5Of(bytes), static_cast<int32_t>(bytes.size())};
  }
  return map;
}

// Paths of `expected` whose bytes differ in `actual` (or are missing there).
inline std::vector<std::string> DifferingFiles(const std::wstring& expected,
                                               const std::wstring& actual) {
  std::vector<std::string> out;
  for (const std::string& rel : TreeFiles(expected)) {
    if (!Exists(actual, rel) || GetFile(expected, rel) != GetFile(actual, rel)) {
      out.push_back(rel);
    }
  }
  return out;
}

// The game-running test of these tests: no client runs (other tests' stand-in
// clients hold the same session-wide mutex).
inline bool NotRunning() { return false; }

// A clock whose every reading advances by `step` milliseconds.
struct SteppingClock {
  static inline uint32_t now = 1000;
  static inline uint32_t step = 10;
  static uint32_t Read() {
    now += step;
    return now;
  }
};

}  // namespace applytest
