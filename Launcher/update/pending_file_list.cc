#include "update/pending_file_list.h"

#include <windows.h>

#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include <json/json.h>

bool ReadStringListFile(const std::wstring& path, std::vector<std::string>& paths) {
  std::ifstream in(path.c_str(), std::ios::binary);
  if (!in) return false;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) return false;
    if (!root.isArray()) return false;
    std::vector<std::string> found;
    for (const Json::Value& item : root) {
      if (!item.isString()) return false;
      found.push_back(item.asString());
    }
    paths.insert(paths.end(), found.begin(), found.end());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool WriteStringListFile(const std::wstring& path, const std::vector<std::string>& paths) {
  Json::Value root(Json::nullValue);
  for (const std::string& p : paths) root.append(p);
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "\t";
  const std::string text = Json::writeString(builder, root);
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.flush();
  return static_cast<bool>(out);
}
