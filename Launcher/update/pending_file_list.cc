#include "update/pending_file_list.h"

#include <json/json.h>

#include "app/file_util.h"
#include "app/system_util.h"

bool ReadStringListFile(const std::wstring& path, std::vector<std::string>& paths) {
  std::string text;
  if (!ReadFileTextW(path, text)) return false;
  Json::Value root;
  std::string error;
  if (!ParseJson(text, root, error) || !root.isArray()) return false;
  std::vector<std::string> found;
  for (const Json::Value& item : root) {
    if (!item.isString()) return false;
    found.push_back(item.asString());
  }
  paths.insert(paths.end(), found.begin(), found.end());
  return true;
}

bool WriteStringListFile(const std::wstring& path, const std::vector<std::string>& paths) {
  Json::Value root(Json::nullValue);
  for (const std::string& p : paths) root.append(p);
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "\t";
  return WriteFileTextW(path, Json::writeString(builder, root));
}
