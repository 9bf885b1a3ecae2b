#include "app/gate_settings.h"

#include <exception>

#include <json/json.h>

#include "app/file_util.h"
#include "app/system_util.h"

namespace {

// Each reader converts one member and reports whether the value was usable.
// jsoncpp throws on a conversion it cannot make; that only means "skip".

bool ReadString(const Json::Value& value, std::string& out) {
  if (value.isObject() || value.isArray()) return false;
  try {
    out = value.asString();
    return true;
  } catch (const Json::Exception&) {
  } catch (const std::exception&) {
  }
  return false;
}

bool ReadBool(const Json::Value& value, bool& out) {
  try {
    out = value.asBool();
    return true;
  } catch (const Json::Exception&) {
  } catch (const std::exception&) {
  }
  return false;
}

bool ReadInt(const Json::Value& value, int32_t& out) {
  try {
    out = static_cast<int32_t>(value.asInt());
    return true;
  } catch (const Json::Exception&) {
  } catch (const std::exception&) {
  }
  return false;
}

// The whole list converts or none of it is taken, so a bad element cannot
// leave half a server list behind.
bool ReadList(const Json::Value& value, std::vector<std::string>& out) {
  std::vector<std::string> items;
  if (value.isArray()) {
    for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
      std::string item;
      if (!ReadString(value[i], item)) return false;
      items.push_back(std::move(item));
    }
  } else {
    std::string item;
    if (!ReadString(value, item)) return false;
    items.push_back(std::move(item));
  }
  out.insert(out.end(), items.begin(), items.end());
  return true;
}

// A member present and not null, or nullptr.
const Json::Value* Member(const Json::Value& root, const char* key) {
  const Json::Value* value = root.find(key, key + std::char_traits<char>::length(key));
  if (value == nullptr || value->isNull()) return nullptr;
  return value;
}

template <typename T, typename Reader>
void Apply(const Json::Value& root, const char* key, T& field, Reader read) {
  const Json::Value* value = Member(root, key);
  if (value == nullptr) return;
  T converted = field;
  if (read(*value, converted)) field = std::move(converted);
}

}  // namespace

bool LoadGateSettings(const std::wstring& path, GateSettings& out) {
  std::string text;
  if (!ReadFileTextW(path, text)) return false;
  Json::Value root;
  std::string error;
  if (!ParseJson(text, root, error) || !root.isObject()) return false;

  GateSettings result = out;
  try {
    Apply(root, "GateKey", result.gateKey, ReadString);
    Apply(root, "GateURLs", result.gateUrls, ReadList);
    Apply(root, "QaGate", result.qaGate, ReadBool);
    Apply(root, "DlcURLs", result.dlcUrls, ReadList);
    Apply(root, "ActivityURL", result.activityUrl, ReadString);
    Apply(root, "RefreshInterval", result.refreshInterval, ReadInt);
    Apply(root, "UpdateInterval", result.updateInterval, ReadInt);
    Apply(root, "TrackURL", result.trackUrl, ReadString);
    Apply(root, "IpEchoURL", result.ipEchoUrl, ReadString);
    Apply(root, "DisableAutoEnterGame", result.disableAutoEnterGame, ReadBool);
    Apply(root, "ca_bundle", result.caBundle, ReadString);
  } catch (const Json::Exception&) {
    return false;
  } catch (const std::exception&) {
    return false;
  }
  out = std::move(result);
  return true;
}
