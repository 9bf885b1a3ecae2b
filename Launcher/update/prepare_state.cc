#include "update/prepare_state.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cctype>
#include <fstream>
#include <utility>
#include <vector>

#include <json/json.h>

#include "app/device_id.h"
#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "app/system_util.h"
#include "base/text_util.h"
#include "base/tick_clock.h"
#include "download/download_manager.h"
#include "download/md5.h"
#include "update/check_version_state.h"
#include "update/enter_game_state.h"
#include "update/exception_state.h"
#include "update/request_remote_state.h"
#include "update/version_map.h"

namespace {

int64_t g_hash_slice_ms = 1000;

// Gate answers longer than this are kept in a file instead of the dialog.
constexpr size_t kLongBody = 128;
constexpr char kSavedBodyNote[] = "The information has been saved to file:exception/response.txt";

std::string RemoveWhiteSpace(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) out += c;
  }
  return out;
}

std::string Utf8(const std::wstring& wide) {
  std::string out;
  TextUtil::WideToUtf8(wide.c_str(), out);
  return out;
}

// Hashes one file; false when it cannot be opened or read.
bool HashFile(const std::wstring& path, VersionEntry& entry) {
  std::ifstream stream(SystemPathW(path).c_str(), std::ios::in | std::ios::binary);
  if (!stream.is_open()) return false;
  int64_t size = 0;
  std::string md5;
  if (!Md5OfStream(&stream, md5, size)) return false;
  if (size < 0 || size > 0x7FFFFFFF) return false;  // maps hold 31-bit sizes
  entry.md5 = md5;
  entry.size = static_cast<int>(size);
  return true;
}

std::string FirstLocalAddress() {
  char host[256] = {};
  if (gethostname(host, sizeof(host)) == 0) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) == 0 && found != nullptr) {
      char text[64] = {};
      const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
      const bool ok = inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)) != nullptr;
      freeaddrinfo(found);
      if (ok) return text;
    }
  }
  return "127.0.0.1";
}

// A text that names a document of its own ("Others", "CDN"): a string; any
// other scalar as its JSON text; arrays and objects have no text.
bool MemberText(const Json::Value& value, std::string& out) {
  if (value.isString()) {
    out = value.asString();
    return true;
  }
  if (value.isArray() || value.isObject()) return false;
  try {
    out = value.asString();
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

}  // namespace

bool ValidBaseUrls(const std::vector<std::string>& urls) {
  if (urls.empty()) return false;
  for (const std::string& url : urls) {
    std::string lower;
    for (char c : url) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (u <= 0x20 || u == 0x7F) return false;
      lower += static_cast<char>(std::tolower(u));
    }
    const bool https = lower.compare(0, 8, "https://") == 0 && lower.size() > 8;
    const bool http = lower.compare(0, 7, "http://") == 0 && lower.size() > 7;
    if (!https && !http) return false;
  }
  return true;
}

std::string BuildGateUrl() {
  LauncherManager& manager = LauncherManager::Instance();
  const GateSettings& gate = manager.gate_settings();
  std::string path = "get/urls?key=";
  path += gate.gateKey.empty() ? "WIN10VN_" + manager.local_game_version() : gate.gateKey;
  path += "&udid=" + GetDeviceId();
  if (gate.qaGate) path += "&is_qa=true";
  return RemoveWhiteSpace(path);
}

std::string BuildPreDownloadUrl() {
  return RemoveWhiteSpace("pre_download?channel=VN&udid=" + GetDeviceId());
}

void OnPublicIp(int /*user*/, int code, std::string /*url*/, const char* body, int length,
                std::string /*error*/) {
  std::string address;
  if (code >= 0 && body != nullptr && length > 0) {
    address = RemoveWhiteSpace(std::string(body, static_cast<size_t>(length)));
  }
  if (address.empty()) address = FirstLocalAddress();
  LauncherManager::Instance().set_public_ip(address);
}

void PrepareState::SetHashSliceMsForTesting(int64_t ms) { g_hash_slice_ms = ms; }

PrepareState::PrepareState(UpdateMode mode) : State(mode) {}

void PrepareState::StopPreDownload() {
  LauncherManager& manager = LauncherManager::Instance();
  State* pre = manager.pre_download_state();
  if (pre == nullptr) return;
  if (pre->Downloading()) {
    DownloadManager& engine = DownloadManager::Instance();
    engine.ReportSpeedStats("pause");
    engine.CancelAll(kSpeedLimitDownload);
    manager.preDownloadStarted = !manager.preDownloadPaused;
    manager.PostToMainWindow(kMsgPreDownloadPanel, static_cast<WPARAM>(-1), -1);
    manager.PostToGameWindows(kMsgPreDownloadStatus, 0, 2);
  }
  pre->Exit(nullptr);
  manager.SetPreDownloadState(nullptr);
}

void PrepareState::Enter(State* /*previous*/) {
  LauncherManager& manager = LauncherManager::Instance();
  DownloadManager& engine = DownloadManager::Instance();
  if (mode_ == kLauncherMode && manager.public_ip().empty()) {
    (void)engine.RequestUrl(engine.ipEchoUrl(), std::string(), &OnPublicIp, kStatePrepare);
  }
  StopPreDownload();
  manager.PostToMainWindow(kMsgSettingsChanged, 0, 0);
  manager.FindGameWindows();
  hash_queue_.clear();
  hash_total_ = 0;
  if (mode_ == kGameMode) {
    PrepareGameMap();
  } else {
    PrepareLauncherMap();
  }
  result_ = 0;
  engine.UseGateUrls();
  // Always answers (an empty list included) before it returns.
  (void)engine.DownloadMemory(BuildGateUrl(), std::string(), &OnDownloaderResponse, kStatePrepare);
}

void PrepareState::PrepareLauncherMap() {
  LauncherManager& manager = LauncherManager::Instance();
  MakeDirsW(UpdateDir());
  MakeDirsW(ExceptionDir());
  local_key_ = VersionTable::kLocalLauncherVersion;
  remote_key_ = VersionTable::kRemoteLauncherVersion;
  map_path_ = L".\\launcher_version_map.txt";
  tmp_map_path_ = L".\\tmp_launcher_version_map.txt";
  manager.resourcesChanged = 0;
  VersionMap& local = manager.version_table()[local_key_];
  std::string error;
  if (!LoadVersionMapFile(map_path_, local, error)) {
    hash_root_ = L".\\";
    for (const wchar_t* name : {L"resources.zip", L"SourceHanSansCNRegular.ttf",
                                L"SourceHanSansCNBold.ttf", L"LomaN.ttf", L"LomaB.ttf"}) {
      hash_queue_.push_back(hash_root_ + name);
    }
    std::vector<std::wstring> runtime;
    if (CollectFiles(std::wstring(L".\\cef"), runtime, {}) > 0) {
      hash_queue_.insert(hash_queue_.end(), runtime.begin(), runtime.end());
    }
    hash_total_ = static_cast<int>(hash_queue_.size());
  }
  VersionEntry self;
  if (HashFile(L".\\launcher.exe", self)) local["launcher.exe"] = self;
}

void PrepareState::PrepareGameMap() {
  LauncherManager& manager = LauncherManager::Instance();
  const std::wstring folder = manager.GameFolder();
  const std::wstring root = NormalizeDirW(folder, false);
  for (const auto& renamed : manager.RenamedFiles()) {
    std::wstring published, alias;
    if (root.empty() || !BuildPathUnder(root, Utf8(renamed.first), published) ||
        !BuildPathUnder(root, Utf8(renamed.second), alias)) {
      continue;
    }
    if (OpensForReadingW(published) && !OpensForReadingW(alias)) {
      CopyFileW(SystemPathW(published).c_str(), SystemPathW(alias).c_str(), TRUE);
    }
  }
  local_key_ = VersionTable::kLocalGameVersion;
  remote_key_ = VersionTable::kRemoteGameVersion;
  map_path_ = folder + L"version_map.txt";
  tmp_map_path_ = folder + L"tmp_version_map.txt";
  VersionMap& local = manager.version_table()[local_key_];
  local.clear();
  std::string text, error;
  if (folder.empty() || !ReadFileTextW(map_path_, text) || !ParseVersionMap(text, local, error)) {
    local.clear();
    hash_root_ = folder;
    std::vector<std::wstring> files;
    if (!folder.empty() &&
        CollectFiles(folder, files, {L"save", L"update", L"exception", L"cef_temp"}) > 0) {
      hash_queue_.assign(files.begin(), files.end());
    }
    hash_total_ = static_cast<int>(hash_queue_.size());
  }
  inline_map_ = false;
}

void PrepareState::Update() {
  LauncherManager& manager = LauncherManager::Instance();
  if (!hash_queue_.empty()) {
    VersionMap& local = manager.version_table()[local_key_];
    nbase::TickClock& clock = nbase::TickClock::Instance();
    const int64_t start = clock.NowMilliseconds();
    do {
      const std::wstring path = hash_queue_.front();
      hash_queue_.pop_front();
      VersionEntry entry;
      if (HashFile(path, entry) && path.compare(0, hash_root_.size(), hash_root_) == 0) {
        std::string key = Utf8(path.substr(hash_root_.size()));
        for (char& c : key) {
          if (c == '\\') c = '/';
        }
        if (IsSafeRelativePath(key)) local[key] = entry;
      }
      const float remaining = static_cast<float>(hash_queue_.size());
      const int percent =
          static_cast<int>((1.0f - remaining / static_cast<float>(hash_total_)) * 90.0f);
      manager.PostToMainWindow(kMsgCheckProgress, 0, percent);
    } while (!hash_queue_.empty() && clock.NowMilliseconds() - start < g_hash_slice_ms);
    // The rest goes on in the next tick, so posted work and a stop get in.
    if (!hash_queue_.empty()) return;
  }
  if (result_ > 0) {
    if (inline_map_) {
      manager.SetState(std::make_unique<CheckVersionState>(mode_));
    } else {
      manager.SetState(std::make_unique<RequestRemoteState>(mode_));
    }
  } else if (result_ < 0) {
    RestAfterFailure();
  }
}

void PrepareState::Exit(State* /*next*/) {
  hash_queue_.clear();
  hash_total_ = 0;
}

void PrepareState::OnResponse(int code, const std::string& url, const char* body, int length,
                              const std::string& error) {
  const std::string text = body != nullptr && length > 0
                               ? std::string(body, static_cast<size_t>(length))
                               : std::string();
  if (mode_ == kGameMode) {
    OnGameGateReply(code, url, text, error);
  } else {
    OnLauncherGateReply(code, url, text);
  }
}

void PrepareState::OnLauncherGateReply(int code, const std::string& /*url*/,
                                       const std::string& body) {
  LauncherManager& manager = LauncherManager::Instance();
  result_ = -1;
  if (code < 0) return;  // a launcher check keeps no error text
  Json::Value root, others;
  std::string error, others_text;
  if (!ParseJson(body, root, error)) return;
  Json::Value found;
  if (!FindJsonMember(root, "Others", found) || !MemberText(found, others_text)) return;
  if (!ParseJson(others_text, others, error) || !others.isObject()) return;

  Json::Value value;
  if (FindJsonMember(others, "PatchOption", value) && value.isInt()) {
    manager.patchOption = value.asInt();
  }
  if (FindJsonMember(others, "UseWebExtraParam", value) && value.isBool()) {
    manager.useWebExtraParam = value.asBool();
  }
  if (FindJsonMember(others, "DeleteLogTXT", value) && value.isBool()) {
    manager.deleteLogTxt = value.asBool();
  }
  if (FindJsonMember(others, "PreDlcCheck", value) && value.isBool()) {
    manager.preDlcCheck = value.asBool();
  }
  if (FindJsonMember(others, "TransToGame", value)) {
    MakeDirsW(SaveDirW());
    (void)WriteJsonFile(SaveDirA() + "\\TransToGame", value);
  }

  if (!FindJsonMember(others, "DlcAddr", value)) return;
  std::vector<std::string> urls;
  if (!ReadJsonStringList(others, "DlcAddr", urls) || !ValidBaseUrls(urls)) return;
  manager.forceLauncherUpdate = false;
  DownloadManager::Instance().SetResourceUrls(urls);
  if (FindJsonMember(others, "ActivityAddr", value) && value.isString()) {
    manager.set_activity_addr(value.asString());
  }
  if (FindJsonMember(others, "ForceUpdateLauncher", value)) {
    // Only a value that means true forces the update.
    bool force = false;
    if (value.isBool()) {
      force = value.asBool();
    } else if (value.isNumeric()) {
      force = value.asDouble() != 0;
    } else if (value.isString()) {
      std::string text;
      for (char c : value.asString())
        text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      force = !text.empty() && text != "0" && text != "false";
    }
    manager.forceLauncherUpdate = force;
  }
  result_ = 1;
}

void PrepareState::KeepLongBody(const std::string& body) {
  if (error_detail_.size() <= kLongBody) return;
  MakeDirsW(ExceptionDir());
  (void)WriteFileTextW(ExceptionDir() + L"\\response.txt", body);
  error_detail_ = kSavedBodyNote;
}

void PrepareState::OnGameGateReply(int code, const std::string& url, const std::string& body,
                                   const std::string& error) {
  LauncherManager& manager = LauncherManager::Instance();
  result_ = -1;
  if (code < 0) {
    SetRequestFailure(code, url, error);
    return;
  }
  Json::Value root;
  std::string parse_error;
  if (!ParseJson(body, root, parse_error) || !root.isObject()) {
    if (parse_error.empty()) parse_error = "the answer is not a JSON object";
    error_text_ = "Parse Failed:" + parse_error;
    error_detail_ = body;
    KeepLongBody(body);
    return;
  }
  Json::Value value;
  std::vector<std::string> urls;
  if (!FindJsonMember(root, "DlcAddr", value) || !ReadJsonStringList(root, "DlcAddr", urls) ||
      !ValidBaseUrls(urls)) {
    error_text_ = "Invalid DlcAddr";
    error_detail_ = body;
    KeepLongBody(body);
    return;
  }
  DownloadManager::Instance().SetResourceUrls(urls);
  std::string cdn;
  if (FindJsonMember(root, "CDN", value) && MemberText(value, cdn)) {
    VersionMap remote;
    std::string map_error;
    std::wstring folder, name;
    if (SplitPathW(tmp_map_path_, folder, name)) MakeDirsW(folder);  // a first install
    if (ParseVersionMap(cdn, remote, map_error) && WriteFileTextW(tmp_map_path_, cdn)) {
      manager.version_table()[remote_key_] = std::move(remote);
      inline_map_ = true;
    }
  }
  result_ = 1;
}
