// The self-update hand-off with real processes: the launcher copies itself to
// launcher_temp.exe, which waits for it, puts the new program in place,
// applies the pending runtime and font lists, starts the new launcher when a
// restart was confirmed and deletes itself. The test folder is the launcher
// folder. Real launchers look for the one instance of the session, so this
// program runs alone (RUN_SERIAL).
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "app/single_instance.h"
#include "download/md5.h"
#include "state_harness.h"
#include "test_dir.h"
#include "test_process.h"
#include "update/exception_state.h"
#include "update/launcher_fonts.h"
#include "update/self_update.h"
#include "update/version_map.h"

namespace {

using testsupport::BuiltLauncherPath;
using testsupport::FileExists;
using testsupport::ReadWholeFile;
using testsupport::TestDir;
using testsupport::TestProcess;
using testsupport::WaitUntil;
using testsupport::WriteWholeFile;

constexpr DWORD kTimeoutMs = 40000;

// A launcher folder in the test folder: the built program as the old
// launcher, a newer build waiting in update (the same program with a build
// note after its image, so the bytes differ), a runtime file and a font
// listed for the updater.
class HandoffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_bytes_ = ReadWholeFile(BuiltLauncherPath());
    ASSERT_FALSE(old_bytes_.empty());
    new_bytes_ = old_bytes_ + "\r\nlauncher build 2.0.0\r\n";
    ASSERT_TRUE(WriteWholeFile(L"launcher.exe", old_bytes_));
    CreateDirectoryW(L"update", nullptr);
    CreateDirectoryW(L"update\\cef", nullptr);
    ASSERT_TRUE(WriteWholeFile(L"update\\launcher.exe", new_bytes_));
    ASSERT_TRUE(WriteWholeFile(L"update\\cef\\runtime.pak", "new runtime"));
    ASSERT_TRUE(WriteWholeFile(L"update\\cef_update.txt", "[\n\t\"cef/runtime.pak\"\n]"));
    font_ = L"LauncherHandoffFont" + std::to_wstring(GetCurrentProcessId()) + L".ttf";
    ASSERT_TRUE(WriteWholeFile(L"update\\" + font_, "new font"));
    ASSERT_TRUE(WriteWholeFile(L"update\\font_update.txt",
                               "[\n\t\"" + std::string(font_.begin(), font_.end()) + "\"\n]"));
  }
  void TearDown() override {
    // Whatever a failed check left running must not outlive the test folder.
    if (HWND window = FindInstanceWindow()) CloseLauncher(window);
    DeleteFileW((SystemFontsFolder() + L"\\" + font_).c_str());
  }

  static void CloseLauncher(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (process) {
      EXPECT_EQ(WaitForSingleObject(process, kTimeoutMs), WAIT_OBJECT_0);
      CloseHandle(process);
    }
  }

  // The program file that the process owning window was started from.
  static std::wstring ImageOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return std::wstring();
    wchar_t path[MAX_PATH * 2] = {};
    DWORD n = MAX_PATH * 2;
    const BOOL ok = QueryFullProcessImageNameW(process, 0, path, &n);
    CloseHandle(process);
    return ok ? std::wstring(path, n) : std::wstring();
  }

  static bool SamePath(const std::wstring& a, const std::wstring& b) {
    wchar_t la[MAX_PATH * 2] = {}, lb[MAX_PATH * 2] = {};
    GetLongPathNameW(a.c_str(), la, MAX_PATH * 2);
    GetLongPathNameW(b.c_str(), lb, MAX_PATH * 2);
    return lstrcmpiW(la, lb) == 0;
  }

  void ExpectListsApplied() {
    EXPECT_EQ(ReadWholeFile(L"cef\\runtime.pak"), "new runtime");
    EXPECT_FALSE(FileExists(L"update\\cef\\runtime.pak"));
    EXPECT_FALSE(FileExists(L"update\\cef_update.txt"));
    EXPECT_EQ(ReadWholeFile(SystemFontsFolder() + L"\\" + font_), "new font");
    EXPECT_EQ(ReadWholeFile(font_), "new font");
    EXPECT_FALSE(FileExists(L"update\\font_update.txt"));
    // The new program stays in update for the record.
    EXPECT_EQ(ReadWholeFile(L"update\\launcher.exe"), new_bytes_);
  }

  std::string old_bytes_, new_bytes_;
  std::wstring font_;
};

TEST_F(HandoffTest, ConfirmedRestartRunsTheNewLauncher) {
  // The restart prompt's handler, as the main window's dialog calls it.
  LauncherManager& manager = LauncherManager::Instance();
  manager.ResetForTesting();
  HWND main = CreateWindowExW(0, L"STATIC", L"main", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                              nullptr, nullptr);
  ASSERT_NE(main, nullptr);
  manager.set_main_window(main);
  manager.launcherUpdatePending = true;
  manager.cefUpdatePending = true;
  manager.fontUpdatePending = true;
  OnLauncherRestartChoice(1);
  EXPECT_TRUE(manager.selfUpdateStarted);
  EXPECT_FALSE(manager.launcherUpdatePending);
  EXPECT_TRUE(FileExists(L"launcher_temp.exe"));

  // About when the old launcher would be gone, the new one shows up.
  HWND window = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (window = FindInstanceWindow()) != nullptr; }, kTimeoutMs));
  const std::wstring image = ImageOf(window);
  EXPECT_TRUE(SamePath(image, TestDir() + L"launcher.exe"))
      << std::string(image.begin(), image.end());
  EXPECT_EQ(ReadWholeFile(image), new_bytes_);
  EXPECT_EQ(ReadWholeFile(L"launcher.exe"), new_bytes_);
  ExpectListsApplied();
  // The updater asked the command interpreter to delete it.
  EXPECT_TRUE(WaitUntil([] { return !FileExists(L"launcher_temp.exe"); }, kTimeoutMs));

  CloseLauncher(window);
  manager.set_main_window(nullptr);
  DestroyWindow(main);
  manager.ResetForTesting();
}

TEST_F(HandoffTest, LauncherKilledBeforeItsHandOffHandsOffAtTheNextExit) {
  // The earlier run applied the launcher update (the launcher map names the
  // new program) and was killed before it exited.
  VersionMap installed;
  installed["launcher.exe"].md5 = Md5OfBytes(new_bytes_.data(), new_bytes_.size());
  installed["launcher.exe"].size = static_cast<int>(new_bytes_.size());
  std::string error;
  ASSERT_TRUE(WriteVersionMapFile(L"launcher_version_map.txt", installed, "2.0.0", error));

  TestProcess launcher(TestDir() + L"launcher.exe", L"");
  ASSERT_TRUE(launcher.started());
  HWND window = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (window = FindInstanceWindow()) != nullptr; }, kTimeoutMs));
  PostMessageW(window, WM_CLOSE, 0, 0);
  DWORD code = 12345;
  ASSERT_TRUE(launcher.WaitForExit(kTimeoutMs, &code));
  EXPECT_EQ(code, 0u);

  // Its exit started the updater, which waited for it to end.
  EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(L"launcher.exe") == new_bytes_; }, kTimeoutMs));
  EXPECT_TRUE(WaitUntil([] { return !FileExists(L"launcher_temp.exe"); }, kTimeoutMs));
  ExpectListsApplied();
  // A plain exit starts nothing afterwards.
  EXPECT_EQ(FindInstanceWindow(), nullptr);
}

TEST_F(HandoffTest, ExitWithOnlyRuntimeAndFontsPendingKeepsTheProgram) {
  // No launcher map names the waiting program, so only the lists are due.
  TestProcess launcher(TestDir() + L"launcher.exe", L"");
  ASSERT_TRUE(launcher.started());
  HWND window = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (window = FindInstanceWindow()) != nullptr; }, kTimeoutMs));
  PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(launcher.WaitForExit(kTimeoutMs));

  EXPECT_TRUE(WaitUntil([] { return !FileExists(L"update\\cef_update.txt"); }, kTimeoutMs));
  EXPECT_TRUE(WaitUntil([] { return !FileExists(L"launcher_temp.exe"); }, kTimeoutMs));
  ExpectListsApplied();
  EXPECT_EQ(ReadWholeFile(L"launcher.exe"), old_bytes_);
  EXPECT_EQ(FindInstanceWindow(), nullptr);
}

// ------------------------------------------------------------ end to end

// A wrapped launcher map of the given files.
std::string LauncherMapOf(const std::vector<std::pair<std::string, std::string>>& files,
                          const std::string& version) {
  VersionMap map;
  for (const auto& file : files) {
    map[file.first].md5 = Md5OfBytes(file.second.data(), file.second.size());
    map[file.first].size = static_cast<int>(file.second.size());
  }
  Json::Value root;
  std::string error;
  EXPECT_TRUE(VersionMapToJson(map, version, root, error)) << error;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "\t";
  return Json::writeString(builder, root);
}

class LauncherSelfUpdateTest : public HandoffTest {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(statetest::StateHarness::StartSuite()); }
  static void TearDownTestSuite() { statetest::StateHarness::StopSuite(); }
};

TEST_F(LauncherSelfUpdateTest, CheckFindsANewerLauncherAndRestartsIntoIt) {
  using statetest::StateHarness;
  // The installed launcher: this build, at 1.0.0, nothing waiting.
  RemoveTreeW(L".\\update");
  CreateDirectoryW(L"update", nullptr);
  const std::string font(font_.begin(), font_.end());
  ASSERT_TRUE(WriteWholeFile(L"launcher_version_map.txt",
                             LauncherMapOf({{"launcher.exe", old_bytes_}}, "1.0.0")));
  // Published: 2.0.0 with a new program, a runtime file and a font.
  StateHarness::ClearCdn();
  const std::vector<std::pair<std::string, std::string>> published = {
      {"launcher.exe", new_bytes_}, {"cef/runtime.pak", "new runtime"}, {font, "new font"}};
  for (const auto& file : published) ASSERT_TRUE(StateHarness::PutCdnFile(file.first, file.second));
  ASSERT_TRUE(
      StateHarness::PutCdnFile("launcher_version_map.txt", LauncherMapOf(published, "2.0.0")));
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers(",\"PatchOption\":0")));

  std::vector<std::pair<std::wstring, bool>> handoffs;
  StateHarness harness;
  harness.Start([&handoffs](LauncherManager::Hooks& hooks) {
    hooks.start_self_update = [&handoffs](const std::wstring& run_after, bool new_exe) {
      handoffs.emplace_back(run_after, new_exe);
      EXPECT_TRUE(StartSelfUpdate(run_after, new_exe));
    };
  });
  ASSERT_TRUE(harness.WaitFor(kStateEnterGame));
  ASSERT_TRUE(testsupport::WaitUntil([] { return StateHarness::Boxes().size() == 1; }, 10000));

  // Applied: the program, the runtime file and the font wait in update.
  LauncherManager& manager = LauncherManager::Instance();
  EXPECT_TRUE(manager.launcherUpdatePending);
  EXPECT_TRUE(manager.cefUpdatePending);
  EXPECT_TRUE(manager.fontUpdatePending);
  EXPECT_EQ(manager.launcher_version(), "2.0.0");
  EXPECT_EQ(ReadWholeFile(L"launcher.exe"), old_bytes_);
  EXPECT_EQ(ReadWholeFile(L"update\\launcher.exe"), new_bytes_);
  const statetest::Box prompt = StateHarness::Boxes()[0];
  EXPECT_EQ(prompt.spec.content.value, L"STRING_UPDATE_LAUNCHER");
  EXPECT_EQ(prompt.spec.second_button.value, L"STRING_CONFIRM");

  // Confirmed: one hand-off, with the new program, starting the launcher.
  ASSERT_TRUE(harness.AnswerBox(0, 1));
  ASSERT_EQ(handoffs.size(), 1u);
  EXPECT_EQ(handoffs[0].first, L".\\launcher.exe");
  EXPECT_TRUE(handoffs[0].second);
  EXPECT_TRUE(manager.selfUpdateStarted);
  harness.Stop();

  HWND window = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (window = FindInstanceWindow()) != nullptr; }, kTimeoutMs));
  const std::wstring image = ImageOf(window);
  EXPECT_TRUE(SamePath(image, TestDir() + L"launcher.exe"));
  EXPECT_EQ(ReadWholeFile(image), new_bytes_);
  EXPECT_EQ(ReadWholeFile(L"launcher.exe"), new_bytes_);
  ExpectListsApplied();
  EXPECT_TRUE(WaitUntil([] { return !FileExists(L"launcher_temp.exe"); }, kTimeoutMs));
  CloseLauncher(window);
}

}  // namespace
