#include "app/launcher_settings.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "app/file_util.h"
#include "app/languages.h"
#include "app/system_util.h"
#include "base/text_util.h"

namespace {

constexpr wchar_t kRunKey32[] = L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"ZEPLauncher";

const Json::Value* Member(const Json::Value& root, const char* key) {
  if (!root.isObject()) return nullptr;
  const Json::Value* found = root.find(key, key + std::char_traits<char>::length(key));
  return found;
}

// An integer in the signed 32-bit range, or an integral number in it.
bool ReadInt32(const Json::Value& root, const char* key, int& out) {
  const Json::Value* v = Member(root, key);
  if (!v) return false;
  if (v->isInt()) {
    out = v->asInt();
    return true;
  }
  if (v->isDouble()) {
    const double d = v->asDouble();
    if (std::isfinite(d) && d == std::floor(d) && d >= -2147483648.0 && d <= 2147483647.0) {
      out = static_cast<int>(d);
      return true;
    }
  }
  return false;
}

// A non-negative integer (or integral number) below 2^64.
bool ReadUint64(const Json::Value& root, const char* key, uint64_t& out) {
  const Json::Value* v = Member(root, key);
  if (!v) return false;
  if (v->isUInt64()) {
    out = v->asUInt64();
    return true;
  }
  if (v->isDouble()) {
    const double d = v->asDouble();
    if (std::isfinite(d) && d == std::floor(d) && d >= 0.0 && d < 18446744073709551616.0) {
      out = static_cast<uint64_t>(d);
      return true;
    }
  }
  return false;
}

bool ReadBool(const Json::Value& root, const char* key, bool& out) {
  const Json::Value* v = Member(root, key);
  if (!v || !v->isBool()) return false;
  out = v->asBool();
  return true;
}

bool ReadString(const Json::Value& root, const char* key, std::string& out) {
  const Json::Value* v = Member(root, key);
  if (!v || !v->isString()) return false;
  out = v->asString();
  return true;
}

// Digits only, within 0..INT_MAX.
bool ParseDecimal(const std::string& text, int& out) {
  if (text.empty() || text.size() > 10) return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > std::numeric_limits<int>::max()) return false;
  out = static_cast<int>(value);
  return true;
}

bool RunValueIn(const wchar_t* key) {
  std::wstring text;
  return ReadRegistryString(HKEY_LOCAL_MACHINE, key, kRunValue, 0, text);
}

}  // namespace

int LanguageForLocale(LCID locale) {
  struct Row {
    int type;
    std::vector<LCID> locales;
  };
  static const Row kRows[] = {
      {1, {2052, 133124}},
      {2, {1041}},
      {3, {1042}},
      {4, {1028, 3076, 4100, 5124, 197636}},
      {5, {1066}},
      {6, {1036}},
      {7, {1057}},
      {8, {1040, 2064}},
      {9, {1034,  2058,  3082,  4106,  5130,  6154,  7178,  8202,  9226,  10250,
           11274, 12298, 13322, 14346, 15370, 16394, 17418, 18442, 19466, 20490}},
      {10, {1055}},
      {11, {1054}},
      {12, {1046, 2070}},
      {13, {2049, 3073, 4097, 5121, 6145, 11265, 12289, 13313, 14337, 15361}},
      {14, {1049}},
      {15, {1031, 2055, 3079, 4103, 5127, 66567}},
      {16, {1045}},
      {17, {1086, 2110}},
  };
  for (const Row& row : kRows) {
    for (LCID l : row.locales) {
      if (l == locale) return row.type;
    }
  }
  return 0;
}

std::string LanguageCodeFor(int language_type) { return LanguageCodeAt(language_type); }

void ReadSettingsJson(const Json::Value& root, LauncherSettings& s) {
  ReadInt32(root, "languageType", s.languageType);
  std::string path;
  if (ReadString(root, "gamePath", path)) TextUtil::MultiByteToWide(path, s.gamePath, CP_UTF8);
  ReadBool(root, "closeToHide", s.closeToHide);
  ReadBool(root, "downloadLimit", s.downloadLimit);
  ReadInt32(root, "downloadSpeed", s.downloadSpeed);
  ReadBool(root, "predlcLimit", s.predlcLimit);
  ReadInt32(root, "predlcSpeed", s.predlcSpeed);
  ReadBool(root, "automaticStart", s.automaticStart);
  ReadBool(root, "autoUpdate", s.autoUpdate);
}

Json::Value SettingsToJson(const LauncherSettings& s) {
  Json::Value root(Json::objectValue);
  std::string path;
  TextUtil::WideToMultiByte(s.gamePath, path, CP_UTF8);
  root["languageType"] = s.languageType;
  root["gamePath"] = path;
  root["closeToHide"] = s.closeToHide;
  root["downloadLimit"] = s.downloadLimit;
  root["downloadSpeed"] = s.downloadSpeed;
  root["predlcLimit"] = s.predlcLimit;
  root["predlcSpeed"] = s.predlcSpeed;
  root["automaticStart"] = s.automaticStart;
  root["autoUpdate"] = s.autoUpdate;
  return root;
}

void ReadStatsJson(const Json::Value& root, DownloadStats& stats) {
  ReadBool(root, "firstInstall", stats.firstInstall);
  ReadUint64(root, "downloadSize", stats.downloadSize);
  ReadUint64(root, "downloadSpeed", stats.downloadSpeed);
  ReadUint64(root, "downloadTime", stats.downloadTime);
  ReadString(root, "downloadVersion", stats.downloadVersion);
}

Json::Value StatsToJson(const DownloadStats& stats) {
  Json::Value root(Json::objectValue);
  root["firstInstall"] = stats.firstInstall;
  // Written as signed 64-bit values, as the file has always held them.
  root["downloadSize"] = static_cast<Json::Int64>(stats.downloadSize);
  root["downloadSpeed"] = static_cast<Json::Int64>(stats.downloadSpeed);
  root["downloadTime"] = static_cast<Json::Int64>(stats.downloadTime);
  root["downloadVersion"] = stats.downloadVersion;
  return root;
}

JsonFileStatus LoadJsonFile(const std::wstring& path, Json::Value& root) {
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return JsonFileStatus::kMissing;
    }
  }
  std::string text;
  if (!ReadFileTextW(path, text)) return JsonFileStatus::kUnreadable;
  std::string error;
  if (!ParseJson(text, root, error)) return JsonFileStatus::kUnparsable;
  return JsonFileStatus::kParsed;
}

bool SaveJsonFile(const std::wstring& path, const Json::Value& root) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "\t";
  return WriteFileTextW(path, Json::writeString(writer, root));
}

void ReadMapVersion(const std::wstring& path, std::string& out, const std::string& fallback) {
  out = fallback;
  Json::Value root;
  if (LoadJsonFile(path, root) != JsonFileStatus::kParsed) return;
  Json::Value version;
  if (!FindJsonMember(root, "version", version) || version.isNull()) return;
  if (version.isString()) {
    out = version.asString();
  } else if (version.isObject()) {
    const Json::Value* md5 = Member(version, "md5");
    out = (md5 && md5->isString()) ? md5->asString() : std::string();
  }
  // Any other kind of "version" is unusable: the fallback stays.
}

void FormatVersion(const std::string& version, std::string& out) {
  std::vector<std::string> parts;
  SplitA(version, "_", parts);
  int n = 0;
  if (parts.size() != 3 || !ParseDecimal(parts[0], n)) {
    out = version;
    return;
  }
  std::string text;
  if (n >= 1000000) {
    text += std::to_string(n / 1000000) + ".";
    n %= 1000000;
  }
  if (n >= 10000) {
    text += std::to_string(n / 10000) + ".";
    n %= 10000;
  } else {
    text += "0.";
  }
  if (n >= 100) {
    text += std::to_string(n / 100) + ".";
    n %= 100;
  } else {
    text += "0.";
  }
  text += std::to_string(n);
  out = text + "." + parts[2] + "." + parts[1];
}

bool StartWithWindowsPresent() { return RunValueIn(kRunKey32) || RunValueIn(kRunKey); }

bool SetStartWithWindows(bool on, const std::wstring& program_path) {
  if (on) {
    // Quoted, so that a folder with blanks is not split into a program and
    // arguments.
    RegistryString(kRunKey32, kRunKey, kRunValue, L"\"" + program_path + L"\"");
  } else {
    for (const wchar_t* key : {kRunKey32, kRunKey}) {
      HKEY handle = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &handle) == ERROR_SUCCESS) {
        RegDeleteValueW(handle, kRunValue);
        RegCloseKey(handle);
      }
    }
  }
  return StartWithWindowsPresent();
}
