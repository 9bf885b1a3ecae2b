#include "update/version_map_core.h"

#include <cstring>
#include <exception>
#include <utility>

#include "app/file_util.h"
#include "app/path_rules.h"

namespace {

// A path or text for an error message: printable ASCII as is, everything
// else as \xNN, cut after 80 bytes, so a hostile key cannot garble a trace.
std::string Printable(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < text.size() && i < 80; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  if (text.size() > 80) out += "...";
  return out;
}

// The member `name` of an object, or null; never adds one.
const Json::Value* Member(const Json::Value& object, const char* name) {
  return object.find(name, name + std::strlen(name));
}

bool IsVersionText(const std::string& text) {
  if (!IsValidUtf8(text)) return false;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return false;
  }
  return true;
}

// Reads one member of a list into `entry`.
bool EntryFromJson(const std::string& path, const Json::Value& value, VersionEntry& entry,
                   std::string& error) {
  const bool is_version = path == kMapVersionEntry;
  if (!is_version && !IsSafeRelativePath(path)) {
    error = "invalid path \"" + Printable(path) + "\"";
    return false;
  }
  if (!value.isObject()) {
    error = "entry \"" + Printable(path) + "\" is not an object";
    return false;
  }
  entry = VersionEntry();
  const Json::Value* md5 = Member(value, "md5");
  if (is_version) {
    if (md5 != nullptr && !md5->isNull()) {
      if (!md5->isString() || !IsVersionText(md5->asString())) {
        error = "invalid version text";
        return false;
      }
      entry.md5 = md5->asString();
    }
  } else {
    if (md5 == nullptr || !md5->isString() || !IsValidMd5Text(md5->asString())) {
      error = "invalid md5 of \"" + Printable(path) + "\"";
      return false;
    }
    entry.md5 = md5->asString();
  }
  const Json::Value* size = Member(value, "size");
  if (size != nullptr && !size->isNull()) {
    if (!size->isInt() || size->asInt() < 0) {
      error = "invalid size of \"" + Printable(path) + "\"";
      return false;
    }
    entry.size = size->asInt();
  }
  return true;
}

bool CheckEntryForWriting(const std::string& path, const VersionEntry& entry, std::string& error) {
  if (!IsSafeRelativePath(path)) {
    error = "invalid path \"" + Printable(path) + "\"";
    return false;
  }
  if (!IsValidMd5Text(entry.md5)) {
    error = "invalid md5 of \"" + Printable(path) + "\"";
    return false;
  }
  if (entry.size < 0) {
    error = "invalid size of \"" + Printable(path) + "\"";
    return false;
  }
  return true;
}

}  // namespace

bool IsValidMd5Text(const std::string& text) {
  if (text.size() != 32) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool VersionMapFromJson(const Json::Value& root, VersionMap& map, std::string& error) {
  error.clear();
  try {
    if (!root.isObject()) {
      error = "version map is not an object";
      return false;
    }
    const Json::Value* list = &root;
    const Json::Value* wrapped = Member(root, "list");
    if (wrapped != nullptr) {
      if (wrapped->isNull()) {
        // The launcher itself writes an empty list as null.
        map.clear();
        return true;
      }
      if (!wrapped->isObject()) {
        error = "\"list\" is not an object";
        return false;
      }
      list = wrapped;
    }
    VersionMap read;
    for (auto it = list->begin(); it != list->end(); ++it) {
      const std::string path = it.name();
      VersionEntry entry;
      if (!EntryFromJson(path, *it, entry, error)) return false;
      read[path] = std::move(entry);
    }
    map.swap(read);
    return true;
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (error.empty()) error = "version map unreadable";
  return false;
}

bool VersionMapToJson(const VersionMap& map, const std::string& version, Json::Value& out,
                      std::string& error) {
  error.clear();
  try {
    Json::Value list(Json::nullValue);
    for (const auto& item : map) {
      if (item.first == kMapVersionEntry) continue;
      if (!CheckEntryForWriting(item.first, item.second, error)) return false;
      Json::Value entry(Json::objectValue);
      entry["md5"] = item.second.md5;
      entry["size"] = static_cast<Json::Int>(item.second.size);
      list[item.first] = std::move(entry);
    }
    Json::Value root(Json::objectValue);
    root["version"] = version;
    root["list"] = std::move(list);
    out.swap(root);
    return true;
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (error.empty()) error = "version map not written";
  return false;
}

std::string StyledJsonText(const Json::Value& value) {
  try {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "\t";
    return Json::writeString(builder, value);
  } catch (const std::exception&) {
    return std::string();
  }
}

void DiffVersionMaps(VersionMap& local, const VersionMap& remote, VersionMap& update,
                     std::vector<std::string>& local_only) {
  update.clear();
  if (local.empty()) {
    update = remote;
  } else {
    for (const auto& item : remote) {
      auto found = local.find(item.first);
      if (found == local.end()) {
        update.insert(item);
        continue;
      }
      if (found->second.md5 != item.second.md5) update.insert(item);
      local.erase(found);
    }
    for (const auto& item : local) local_only.push_back(item.first);
  }
  update.erase(kMapVersionEntry);
}

std::string GetMapVersion(const VersionMap& map) {
  auto found = map.find(kMapVersionEntry);
  return found == map.end() ? std::string() : found->second.md5;
}

const std::array<const char*, 12>& VersionTable::Keys() {
  static const std::array<const char*, 12> kKeys = {
      kLocalLauncherVersion,     kRemoteLauncherVersion,    kUpdateLauncherVersion,
      kLauncherPatchVersion,     kLocalGameVersion,         kRemoteGameVersion,
      kUpdateGameVersion,        kGamePatchVersion,         kLocalPreDownloadVersion,
      kRemotePreDownloadVersion, kUpdatePreDownloadVersion, kPreDownloadPatchVersion};
  return kKeys;
}

VersionMap& VersionTable::Reset(const std::string& key) {
  VersionMap& map = maps_[key];
  map.clear();
  return map;
}

void VersionTable::ResetAll() {
  for (const char* key : Keys()) Reset(key);
}
