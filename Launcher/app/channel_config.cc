#include "app/channel_config.h"

#include <windows.h>

#include <exception>
#include <utility>

#include <json/json.h>

#include "app/file_util.h"
#include "app/system_util.h"
#include "base/text_util.h"
#include "ui/resource_package_handle.h"

namespace {

std::wstring WideOfUtf8(const std::string& text) {
  std::wstring wide;
  TextUtil::MultiByteToWide(text, wide, CP_UTF8);
  return wide;
}

// The member's text when it is a string; empty otherwise.
std::string StringMember(const Json::Value& object, const std::string& key) {
  Json::Value value;
  if (FindJsonMember(object, key, value) && value.isString()) return value.asString();
  return std::string();
}

// The language's part of a section: section[code], else section["en"], else
// the section itself. False when the section is missing.
bool PickSection(const Json::Value& root, const char* section_name, const std::string& code,
                 Json::Value& out) {
  Json::Value section;
  if (!FindJsonMember(root, section_name, section)) return false;
  Json::Value part;
  if (!code.empty() && FindJsonMember(section, code, part)) {
    out = std::move(part);
  } else if (FindJsonMember(section, "en", part)) {
    out = std::move(part);
  } else {
    out = std::move(section);
  }
  return true;
}

void ReadOverrides(const Json::Value& root, ChannelUiConfig& config) {
  Json::Value list;
  if (!FindJsonMember(root, "OverwriteStrings", list) || !list.isArray()) return;
  for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
    const Json::Value& item = list[i];
    Json::Value key;
    Json::Value value;
    if (!FindJsonMember(item, "key", key) || !key.isString()) continue;
    if (!FindJsonMember(item, "value", value) || !value.isString()) continue;
    config.stringOverrides[WideOfUtf8(key.asString())] = WideOfUtf8(value.asString());
  }
}

void ReadTitles(const Json::Value& root, const std::string& code, ChannelUiConfig& config) {
  Json::Value section;
  if (!PickSection(root, "Titles", code, section)) return;
  for (const char* name : {"title_main", "title_sub"}) {
    Json::Value text;
    if (FindJsonMember(section, name, text) && text.isString()) {
      config.titleTable[name] = WideOfUtf8(text.asString());
    }
  }
}

void ReadLegalLink(const Json::Value& root, const char* name, const std::string& code,
                   ChannelUiConfig& config) {
  Json::Value url;
  if (PickSection(root, name, code, url) && url.isString()) config.urlTable[name] = url.asString();
}

void ReadForum(const Json::Value& root, const std::string& code, ChannelUiConfig& config) {
  Json::Value list;
  if (!PickSection(root, "Forum", code, list) || !list.isArray()) return;
  for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
    const Json::Value& item = list[i];
    std::string name = StringMember(item, "name");
    JumpLink link;
    link.normalImage = StringMember(item, "NormalImage");
    link.hotImage = StringMember(item, "HotImage");
    link.tooltip = StringMember(item, "Tooltips");
    if (name.empty() || link.normalImage.empty() || link.hotImage.empty()) continue;
    link.name = "Forum_" + name;
    config.urlTable[link.name] = StringMember(item, "url");
    config.jumpLinks.push_back(std::move(link));
  }
}

void ReadFaq(const Json::Value& root, const std::string& code, ChannelUiConfig& config) {
  Json::Value faq;
  if (!FindJsonMember(root, "FAQ", faq)) return;
  JumpLink link;
  link.normalImage = StringMember(faq, "NormalImage");
  link.hotImage = StringMember(faq, "HotImage");
  Json::Value section;
  if (!PickSection(root, "FAQ", code, section)) return;
  std::string url = StringMember(section, "url");
  link.tooltip = StringMember(section, "Tooltips");
  link.name = "FAQ";
  if (link.normalImage.empty() || link.hotImage.empty()) return;
  config.urlTable["FAQ"] = url;
  config.jumpLinks.push_back(std::move(link));
}

}  // namespace

std::wstring ChannelConfigFileName(const std::string& variant) {
  return L"common_config_" + WideOfUtf8(variant) + L".json";
}

bool ReadThemeFile(const std::wstring& name, std::string& bytes) {
  bytes.clear();
  std::wstring path = std::wstring(kThemeFolder) + name;
  if (ui::ReadResourcePackageEntry(path, bytes)) return true;
  return ReadFileTextW(path, bytes);
}

bool ParseChannelUiConfig(const std::string& text, const std::string& languageCode,
                          ChannelUiConfig& out) {
  Json::Value root;
  std::string error;
  if (!ParseJson(text, root, error)) return false;
  ChannelUiConfig config;
  try {
    ReadOverrides(root, config);
    ReadTitles(root, languageCode, config);
    ReadLegalLink(root, "Privacy", languageCode, config);
    ReadLegalLink(root, "Service", languageCode, config);
    ReadForum(root, languageCode, config);
    ReadFaq(root, languageCode, config);
  } catch (const Json::Exception&) {
    return false;
  } catch (const std::exception&) {
    return false;
  }
  out = std::move(config);
  return true;
}

bool LoadChannelUiConfig(const ThemeFileReader& read, const std::string& languageCode,
                         ChannelUiConfig& out) {
  if (!read) return false;
  std::string text;
  if (!read(ChannelConfigFileName(kChannelConfigVariant), text) &&
      !read(L"common_config.json", text)) {
    return false;
  }
  return ParseChannelUiConfig(text, languageCode, out);
}

bool LoadChannelUiConfig(const std::string& languageCode, ChannelUiConfig& out) {
  return LoadChannelUiConfig(ReadThemeFile, languageCode, out);
}
