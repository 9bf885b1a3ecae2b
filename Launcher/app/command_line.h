// The launcher's command-line modes and the start-up overrides they set.
//
// Threads: parsed once on the main thread before any other thread exists; the
// override stores are written only then and read-only afterwards, so every
// thread may read them without a lock.
#pragma once

#include <string>
#include <vector>

enum class LaunchMode {
  kNormal,                 // start the launcher
  kReplace,                // self-update hand-off: new, old, program to start afterwards
  kMakeVersion,            // write launcher_version_map.txt
  kMakeDependenceVersion,  // write dependence_version_map.txt
};

struct LaunchCommand {
  LaunchMode mode = LaunchMode::kNormal;
  // The words after the mode word (replace: new, old, run-after; the map
  // writers: the version).
  std::vector<std::wstring> args;
};

// A start-up override: at most kMaxLength characters. A longer value does not
// fit its store and is refused as a whole (a cut language code or platform
// name would select something else).
class OverrideStore {
 public:
  static constexpr size_t kMaxLength = 31;

  // False (and nothing stored) for an empty or over-long value.
  bool Set(const std::wstring& value);
  bool is_set() const { return set_; }
  const std::wstring& value() const { return value_; }
  void Clear();

 private:
  bool set_ = false;
  std::wstring value_;
};

OverrideStore& LanguageOverride();       // set_language <code>
OverrideStore& PlatformOverride();       // set_platform <name>
OverrideStore& TextAntiAliasOverride();  // set_language <code> <option>

// Splits a command line the way the shell does (argument 0 is the program).
// An empty result means it could not be split.
std::vector<std::wstring> SplitCommandLine(const wchar_t* command_line);

// Picks the mode from the whole argument list (program path first) and fills
// the overrides that the set_language and set_platform forms give. Words are
// compared whole and case-sensitively; anything unknown starts normally.
LaunchCommand ParseLaunchCommand(const std::vector<std::wstring>& argv);
