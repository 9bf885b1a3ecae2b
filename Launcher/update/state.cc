#include "update/state.h"

#include <memory>
#include <utility>

#include "app/launcher_manager.h"
#include "base/text_util.h"
#include "download/download_manager.h"
#include "update/enter_game_state.h"
#include "update/exception_state.h"

namespace {

bool g_patch_suffix_qvdiff = false;

State* CurrentStateOfType(int user) {
  State* state = LauncherManager::Instance().current_state();
  return state != nullptr && state->TypeId() == user ? state : nullptr;
}

std::wstring Wide(const std::string& utf8) {
  std::wstring out;
  TextUtil::Utf8ToWide(utf8.c_str(), out);
  return out;
}

}  // namespace

State::State() : State(kGameMode) {}

State::State(UpdateMode mode) : mode_(mode) { LauncherManager::Instance().updateFailed = false; }

std::string State::BuildPatchUrl(const std::string& file_name) const {
  LauncherManager& manager = LauncherManager::Instance();
  std::string version;
  if (mode_ == kLauncherMode) {
    version = manager.launcher_version();
    for (char& c : version) {
      if (c == '.') c = '_';
    }
  } else {
    version = manager.local_game_version();
  }
  return "patchs/" + version + "/" + file_name;
}

std::wstring State::ErrorMessage(int code, const std::string& text, const std::string& detail) {
  std::wstring message;
  if (code != 0) message = std::to_wstring(code) + L"\n";
  message += Wide(text);
  if (!detail.empty()) message += L"(" + Wide(detail) + L")";
  return message;
}

void State::ShowError(const std::wstring& first_button_id, const std::wstring& second_button_id,
                      std::function<void(bool)> on_result) const {
  LauncherManager& manager = LauncherManager::Instance();
  manager.updateFailed = true;
  const std::wstring content = manager.hooks().language_text
                                   ? manager.hooks().language_text(L"STRING_ERROR_UPDATE")
                                   : std::wstring(L"STRING_ERROR_UPDATE");
  ErrorBoxRequest request;
  request.title_id = L"STRING_ERROR_NOTICE";
  request.content_text = content;
  request.detail_text = ErrorMessage(error_code_, error_text_, error_detail_);
  request.first_button_id = first_button_id;
  request.second_button_id = second_button_id;
  if (on_result) {
    request.result = [on_result](int result) { on_result(result != 0); };
  }
  manager.RequestErrorBox(std::move(request));
}

void State::SetRequestFailure(int code, const std::string& url, const std::string& error) {
  result_ = -1;
  error_code_ = code;
  error_text_ = "Request Failed:" + error;
  error_detail_ = url;
}

void State::RestAfterFailure() const {
  LauncherManager& manager = LauncherManager::Instance();
  if (mode_ == kGameMode) {
    manager.SetState(
        std::make_unique<ExceptionState>(error_code_, error_text_, error_detail_, true));
  } else {
    manager.SetState(std::make_unique<EnterGameState>());
  }
}

bool PatchSuffixFlag() { return g_patch_suffix_qvdiff; }
void SetPatchSuffixFlag(bool qvdiff) { g_patch_suffix_qvdiff = qvdiff; }
const char* PatchSuffix() { return g_patch_suffix_qvdiff ? ".qvdiff" : ".patch"; }

void OnDownloaderFileDone(int user, int code, std::string url, std::string error) {
  if (State* state = CurrentStateOfType(user)) state->OnFileDone(code, url, error);
}

void OnDownloaderResponse(int user, int code, std::string url, const char* body, int length,
                          std::string error) {
  if (State* state = CurrentStateOfType(user)) state->OnResponse(code, url, body, length, error);
}

void OnDownloaderFileCheck(int user, int code, std::string url, bool exists, std::string error) {
  if (State* state = CurrentStateOfType(user)) state->OnFileCheck(code, url, exists, error);
}

void OnDownloaderProgress(int user, double bytes_per_second) {
  if (user == kStateDownloadFiles && CurrentStateOfType(user) != nullptr) {
    DownloadManager::Instance().AddSpeedSample(bytes_per_second);
  }
}
