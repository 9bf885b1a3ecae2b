// Command-line modes, their argument counts and the start-up overrides.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/command_line.h"

namespace {

void ClearOverrides() {
  LanguageOverride().Clear();
  PlatformOverride().Clear();
  TextAntiAliasOverride().Clear();
}

TEST(CommandLineTest, ModesAndArgumentCounts) {
  struct Case {
    Case(std::vector<std::wstring> a, LaunchMode m, std::vector<std::wstring> r,
         std::wstring l = L"", std::wstring p = L"", std::wstring t = L"")
        : argv(std::move(a)),
          mode(m),
          args(std::move(r)),
          language(l),
          platform(p),
          anti_alias(t) {}
    std::vector<std::wstring> argv;
    LaunchMode mode;
    std::vector<std::wstring> args;
    std::wstring language, platform, anti_alias;  // empty: not set
  };
  const std::wstring big(31, L'x');
  const std::wstring too_big(32, L'x');
  const std::vector<Case> cases = {
      {{L"l.exe"}, LaunchMode::kNormal, {}, L"", L"", L""},
      {{L"l.exe", L"replace", L"n", L"o", L"r"}, LaunchMode::kReplace, {L"n", L"o", L"r"}},
      {{L"l.exe", L"replace", L"", L"", L""}, LaunchMode::kReplace, {L"", L"", L""}},
      {{L"l.exe", L"replace", L"n", L"o"}, LaunchMode::kNormal, {}},
      {{L"l.exe", L"replace", L"n", L"o", L"r", L"x"}, LaunchMode::kNormal, {}},
      {{L"l.exe", L"Replace", L"n", L"o", L"r"}, LaunchMode::kNormal, {}},
      {{L"l.exe", L"make_version", L"2.3.1"}, LaunchMode::kMakeVersion, {L"2.3.1"}},
      {{L"l.exe", L"make_version", L""}, LaunchMode::kMakeVersion, {L""}},
      {{L"l.exe", L"make_version"}, LaunchMode::kNormal, {}},
      {{L"l.exe", L"make_version", L"1", L"2"}, LaunchMode::kNormal, {}},
      {{L"l.exe", L"make_dependence_version", L"7"}, LaunchMode::kMakeDependenceVersion, {L"7"}},
      {{L"l.exe", L"set_language", L"vi"}, LaunchMode::kNormal, {}, L"vi"},
      {{L"l.exe", L"set_language", L""}, LaunchMode::kNormal, {}},
      {{L"l.exe", L"set_language", L"th", L"taa"}, LaunchMode::kNormal, {}, L"th", L"", L"taa"},
      {{L"l.exe", L"set_language", L"", L"taa"}, LaunchMode::kNormal, {}, L"", L"", L"taa"},
      {{L"l.exe", L"set_platform", L"steam", L"x"}, LaunchMode::kNormal, {}},
      {{L"l.exe", L"set_platform", L"steam"}, LaunchMode::kNormal, {}, L"", L"steam"},
      {{L"l.exe", L"set_platform", big}, LaunchMode::kNormal, {}, L"", big},
      // Longer than the store: refused whole, never cut.
      {{L"l.exe", L"set_platform", too_big}, LaunchMode::kNormal, {}},
      {{L"l.exe", L"set_language", too_big, too_big}, LaunchMode::kNormal, {}},
      {std::vector<std::wstring>{}, LaunchMode::kNormal, {}},
  };
  for (const Case& c : cases) {
    ClearOverrides();
    const LaunchCommand command = ParseLaunchCommand(c.argv);
    const std::wstring what = c.argv.size() > 1 ? c.argv[1] : L"(none)";
    EXPECT_EQ(command.mode, c.mode) << std::string(what.begin(), what.end());
    EXPECT_EQ(command.args, c.args);
    EXPECT_EQ(LanguageOverride().is_set(), !c.language.empty());
    EXPECT_EQ(LanguageOverride().value(), c.language);
    EXPECT_EQ(PlatformOverride().value(), c.platform);
    EXPECT_EQ(TextAntiAliasOverride().value(), c.anti_alias);
  }
  ClearOverrides();
}

TEST(CommandLineTest, SplitsLikeTheShell) {
  const std::vector<std::wstring> words =
      SplitCommandLine(L"\"C:\\dir with blanks\\launcher.exe\" replace \"\" \"\" \".\\a b\"");
  EXPECT_EQ(words, (std::vector<std::wstring>{L"C:\\dir with blanks\\launcher.exe", L"replace", L"",
                                              L"", L".\\a b"}));
  EXPECT_TRUE(SplitCommandLine(nullptr).empty());
}

}  // namespace
