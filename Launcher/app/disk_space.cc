#include "app/disk_space.h"

#include <windows.h>

#include <utility>
#include <vector>

#include "app/launcher_manager.h"
#include "app/system_util.h"
#include "base/text_util.h"

namespace {

const wchar_t kTitleId[] = L"STRING_ERROR_NOTICE";
const wchar_t kInvalidSpaceId[] = L"STRING_ERROR_INVALID_DISKSPACE";
const wchar_t kNeedSpaceForUpdateId[] = L"STRING_ERROR_NEED_DISKSPACE_R";
const wchar_t kNeedSpaceForInstallId[] = L"STRING_ERROR_NEED_DISKSPACE";
const wchar_t kCancelId[] = L"STRING_CANCEL";
const wchar_t kContinueId[] = L"STRING_DOWNLOAD_CONTINUE";
const wchar_t kConfirmId[] = L"STRING_CONFIRM";

std::wstring TextOf(const DiskSpaceEnv& env, const std::wstring& id) {
  return env.text_of ? env.text_of(id) : id;
}

std::wstring UpdateText(const DiskSpaceEnv& env, const std::wstring& drive) {
  std::wstring text = TextOf(env, kNeedSpaceForUpdateId);
  TextUtil::ReplaceAllW(L"{p2}", RequiredSpaceText(), text);
  TextUtil::ReplaceAllW(L"{p1}", drive, text);
  return text;
}

}  // namespace

std::wstring RequiredSpaceText() {
  return TextUtil::Format(L"%5.2fG", static_cast<double>(kRequiredFreeSpace) / (1u << 30));
}

std::wstring SubstitutePlaceholder(const std::wstring& text, const std::wstring& value) {
  std::wstring out;
  out.reserve(text.size() + value.size());
  bool substituted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'%') {
      out += text[i];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == L'%') {
      out += L'%';
      ++i;
    } else if (!substituted && i + 1 < text.size() && text[i + 1] == L's') {
      out += value;
      substituted = true;
      ++i;
    } else if (!substituted && i + 2 < text.size() && text[i + 1] == L'l' && text[i + 2] == L's') {
      out += value;
      substituted = true;
      i += 2;
    } else {
      out += L'%';
    }
  }
  return out;
}

std::wstring CurrentModulePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::wstring();
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    if (buffer.size() >= 32768) return std::wstring();
    buffer.resize(buffer.size() * 2);
  }
}

DiskSpaceEnv MakeDiskSpaceEnv(std::function<std::wstring(const std::wstring& id)> text_of) {
  DiskSpaceEnv env;
  if (text_of) {
    env.text_of = std::move(text_of);
  } else {
    env.text_of = [](const std::wstring& id) { return id; };
  }
  env.request_box = [](const std::wstring& title_id, const std::wstring& content_id,
                       const std::wstring& first_button_id, const std::wstring& second_button_id,
                       ModalResultCallback result) {
    LauncherManager::Instance().RequestMessageBox(nullptr, title_id, content_id, first_button_id,
                                                  second_button_id, std::move(result), false);
  };
  env.request_text_box = [](const std::wstring& title_id, const std::wstring& content_text,
                            const std::wstring& first_button_id,
                            const std::wstring& second_button_id, ModalResultCallback result) {
    LauncherManager::Instance().RequestMessageBoxEx(
        nullptr, title_id, std::wstring(), std::wstring(), content_text, first_button_id,
        second_button_id, std::wstring(), std::wstring(), std::move(result), false);
  };
  env.game_folder = [] { return LauncherManager::Instance().settings().gamePath; };
  env.module_path = [] { return CurrentModulePath(); };
  return env;
}

bool CheckFreeSpace(const DiskSpaceEnv& env, const std::wstring& path, const std::wstring& content,
                    const std::wstring& first_button_id, const std::wstring& second_button_id,
                    const ModalResultCallback& result) {
  uint64_t total = 0;
  uint64_t available = 0;
  if (!DiskFreeW(path, total, available)) {
    // Without a figure the user is told, and the download goes on: refusing
    // would lock out installs on drives that cannot report their space.
    if (env.request_box) {
      env.request_box(kTitleId, kInvalidSpaceId, std::wstring(), kConfirmId, ModalResultCallback());
    }
    return true;
  }
  if (available >= kRequiredFreeSpace) return true;
  if (env.request_text_box) {
    env.request_text_box(kTitleId, content, first_button_id, second_button_id, result);
  }
  return false;
}

bool CheckUpdateSpace(const DiskSpaceEnv& env, const ModalResultCallback& result) {
  const std::wstring game_folder = env.game_folder ? env.game_folder() : std::wstring();
  const std::wstring module_path = env.module_path ? env.module_path() : std::wstring();
  const std::wstring game_text = UpdateText(env, DriveLetterOf(game_folder));
  const std::wstring launcher_text = UpdateText(env, DriveLetterOf(module_path));
  if (!CheckFreeSpace(env, game_folder, game_text, kCancelId, kContinueId, result)) return false;
  return CheckFreeSpace(env, module_path, launcher_text, kCancelId, kContinueId, result);
}

bool CheckInstallSpace(const DiskSpaceEnv& env, const ModalResultCallback& result) {
  const std::wstring game_folder = env.game_folder ? env.game_folder() : std::wstring();
  const std::wstring module_path = env.module_path ? env.module_path() : std::wstring();
  const std::wstring content =
      SubstitutePlaceholder(TextOf(env, kNeedSpaceForInstallId), RequiredSpaceText());
  if (!CheckFreeSpace(env, game_folder, content, std::wstring(), kConfirmId, result)) return false;
  return CheckFreeSpace(env, module_path, content, std::wstring(), kConfirmId, result);
}
