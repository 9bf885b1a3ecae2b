#include "app/command_line.h"

#include <windows.h>

#include <shellapi.h>

#include <memory>

bool OverrideStore::Set(const std::wstring& value) {
  if (value.empty() || value.size() > kMaxLength) return false;
  value_ = value;
  set_ = true;
  return true;
}

void OverrideStore::Clear() {
  set_ = false;
  value_.clear();
}

OverrideStore& LanguageOverride() {
  static OverrideStore store;
  return store;
}

OverrideStore& PlatformOverride() {
  static OverrideStore store;
  return store;
}

OverrideStore& TextAntiAliasOverride() {
  static OverrideStore store;
  return store;
}

std::vector<std::wstring> SplitCommandLine(const wchar_t* command_line) {
  std::vector<std::wstring> out;
  if (!command_line) return out;
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(command_line, &count);
  if (!words) return out;
  // The words are copied before the array is freed.
  std::unique_ptr<LPWSTR, decltype(&LocalFree)> hold(words, &LocalFree);
  for (int i = 0; i < count; ++i) out.emplace_back(words[i]);
  return out;
}

LaunchCommand ParseLaunchCommand(const std::vector<std::wstring>& argv) {
  LaunchCommand command;
  const size_t count = argv.size();
  if (count < 2) return command;
  const std::wstring& word = argv[1];
  if (count == 5 && word == L"replace") {
    command.mode = LaunchMode::kReplace;
    command.args.assign(argv.begin() + 2, argv.end());
  } else if (count == 3 && word == L"make_version") {
    command.mode = LaunchMode::kMakeVersion;
    command.args.push_back(argv[2]);
  } else if (count == 3 && word == L"make_dependence_version") {
    command.mode = LaunchMode::kMakeDependenceVersion;
    command.args.push_back(argv[2]);
  } else if ((count == 3 || count == 4) && word == L"set_language") {
    LanguageOverride().Set(argv[2]);
    if (count == 4) TextAntiAliasOverride().Set(argv[3]);
  } else if (count == 3 && word == L"set_platform") {
    PlatformOverride().Set(argv[2]);
  }
  return command;
}
