// The user's settings and the download statistics as records, their JSON
// files in .\save, the first-run language choice and the version-text helpers.
// The LauncherManager holds one record of each and loads and saves them.
//
// Threads: plain functions over records; the LauncherManager says which thread
// touches its records (the settings: the UI thread).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include <json/json.h>

struct LauncherSettings {
  int languageType = 0;
  std::wstring gamePath;
  bool closeToHide = false;
  bool autoUpdate = true;
  bool downloadLimit = false;
  int downloadSpeed = 4096;  // KB/s
  bool predlcLimit = false;
  int predlcSpeed = 4096;  // KB/s
  bool automaticStart = false;
  std::string languageCode = "en";  // derived from languageType, not stored
};

struct DownloadStats {
  bool firstInstall = true;
  uint64_t downloadSize = 0;
  uint64_t downloadSpeed = 0;
  uint64_t downloadTime = 0;
  std::string downloadVersion;
};

// The language index a first run picks for a locale identifier (0, English,
// for every locale not in the table).
int LanguageForLocale(LCID locale);

// The language code of an index; "en" outside the table.
std::string LanguageCodeFor(int language_type);

// Takes each member of root whose JSON type fits into the record; everything
// else keeps its current value. Any root (array, number) is accepted.
void ReadSettingsJson(const Json::Value& root, LauncherSettings& settings);
Json::Value SettingsToJson(const LauncherSettings& settings);
void ReadStatsJson(const Json::Value& root, DownloadStats& stats);
Json::Value StatsToJson(const DownloadStats& stats);

// What reading a JSON state file found.
enum class JsonFileStatus { kParsed, kMissing, kUnreadable, kUnparsable };
JsonFileStatus LoadJsonFile(const std::wstring& path, Json::Value& root);

// Writes root tab-indented in sorted key order, replacing the file in one
// move (a failed write leaves the old file as it was).
[[nodiscard]] bool SaveJsonFile(const std::wstring& path, const Json::Value& root);

// The version text of a version-map file: a string "version" unchanged, an
// object "version" by its "md5" member; fallback when the file cannot be read
// or parsed or has no usable "version".
void ReadMapVersion(const std::wstring& path, std::string& out, const std::string& fallback);

// Display form of a game version A_B_C (10076_5_3 gives 1.0.76.3.5); anything
// that is not three parts with a numeric first part is shown unchanged.
void FormatVersion(const std::string& version, std::string& out);

// The start-with-Windows Run value: on writes the quoted program path, off
// removes it. Returns whether the value is present afterwards, read back from
// the registry.
bool SetStartWithWindows(bool on, const std::wstring& program_path);
bool StartWithWindowsPresent();
