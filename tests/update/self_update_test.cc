// The replace mode's work in-process: waiting for the old program's file,
// the pending runtime and font lists.
#include <windows.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "download/md5.h"
#include "test_dir.h"
#include "test_process.h"
#include "update/apply_update_state.h"
#include "update/launcher_fonts.h"
#include "update/pending_file_list.h"
#include "update/self_update.h"
#include "update/version_map.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

// Holds a file open without sharing, as a running program holds its image.
class FileLock {
 public:
  explicit FileLock(const std::wstring& path)
      : handle_(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~FileLock() { Release(); }
  bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Release() {
    if (held()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

TEST(SelfUpdateTest, ArgumentLineOfTheUpdater) {
  EXPECT_EQ(SelfUpdateArguments(L".\\launcher.exe", true),
            L"replace \".\\update\\launcher.exe\" \".\\launcher.exe\" \".\\launcher.exe\"");
  EXPECT_EQ(SelfUpdateArguments(L"", true),
            L"replace \".\\update\\launcher.exe\" \".\\launcher.exe\" \"\"");
  // Only runtime or font files pending: nothing to copy over the program.
  EXPECT_EQ(SelfUpdateArguments(L"", false), L"replace \"\" \"\" \"\"");
  EXPECT_EQ(SelfUpdateArguments(L".\\launcher.exe", false),
            L"replace \"\" \"\" \".\\launcher.exe\"");
}

TEST(ReplaceModeTest, RetriesUntilTheOldProgramIsReleased) {
  ASSERT_TRUE(WriteWholeFile(L"new.exe", "new"));
  ASSERT_TRUE(WriteWholeFile(L"old.exe", "old"));
  FileLock lock(L"old.exe");
  ASSERT_TRUE(lock.held());
  std::thread releaser([&lock] {
    Sleep(400);
    lock.Release();
  });
  const bool replaced = RunReplaceMode(L"new.exe", L"old.exe", L"", ReplaceTiming{10000, 50});
  releaser.join();
  EXPECT_TRUE(replaced);
  EXPECT_EQ(ReadWholeFile(L"old.exe"), "new");
  EXPECT_TRUE(FileExists(L"new.exe"));
}

TEST(ReplaceModeTest, GivesUpAfterTheBoundAndKeepsBothFiles) {
  ASSERT_TRUE(WriteWholeFile(L"new.exe", "new"));
  ASSERT_TRUE(WriteWholeFile(L"old.exe", "old"));
  FileLock lock(L"old.exe");
  ASSERT_TRUE(lock.held());
  EXPECT_FALSE(RunReplaceMode(L"new.exe", L"old.exe", L"", ReplaceTiming{300, 50}));
  lock.Release();
  EXPECT_EQ(ReadWholeFile(L"old.exe"), "old");
  EXPECT_EQ(ReadWholeFile(L"new.exe"), "new");
}

TEST(ReplaceModeTest, EmptyProgramsCopyNothingButApplyTheRuntimeList) {
  CreateDirectoryW(L"update", nullptr);
  CreateDirectoryW(L"update\\cef", nullptr);
  ASSERT_TRUE(WriteWholeFile(L"update\\cef\\a.pak", "pak"));
  ASSERT_TRUE(WriteWholeFile(L"update\\cef_update.txt",
                             "[\"cef/a.pak\", \"cef/missing.pak\", \"C:/x.dll\", \"cef\\\\b.dll\","
                             " \"..\\\\up.dll\", \"\"]"));
  EXPECT_TRUE(RunReplaceMode(L"", L"", L"", ReplaceTiming{300, 50}));
  EXPECT_EQ(ReadWholeFile(L"cef\\a.pak"), "pak");
  EXPECT_FALSE(FileExists(L"update\\cef\\a.pak"));
  // The list goes whatever the copies did; unsafe entries were never applied.
  EXPECT_FALSE(FileExists(L"update\\cef_update.txt"));
  EXPECT_FALSE(FileExists(L"cef\\missing.pak"));
}

TEST(ReplaceModeTest, UnreadableListsAreLeftAlone) {
  CreateDirectoryW(L"update", nullptr);
  for (const char* text : {"", "{\"a\":1}", "[1, 2]", "null", "[\"a\""}) {
    ASSERT_TRUE(WriteWholeFile(L"update\\cef_update.txt", text));
    ApplyPendingCefUpdate();
    EXPECT_TRUE(FileExists(L"update\\cef_update.txt")) << text;
  }
}

std::vector<std::string> ListIn(const std::wstring& path) {
  std::vector<std::string> entries;
  EXPECT_TRUE(ReadStringListFile(path, entries)) << "list unreadable";
  return entries;
}

TEST(ReplaceModeTest, FailedFontCopyKeepsTheListForTheNextStart) {
  CreateDirectoryW(L"update", nullptr);
  const std::wstring pid = std::to_wstring(GetCurrentProcessId());
  const std::wstring busy = L"LauncherTestBusy" + pid + L".ttf";
  const std::wstring spare = L"LauncherTestFree" + pid + L".ttf";
  const std::string busy8(busy.begin(), busy.end()), spare8(spare.begin(), spare.end());
  const std::wstring busy_installed = SystemFontsFolder() + L"\\" + busy;
  const std::wstring spare_installed = SystemFontsFolder() + L"\\" + spare;
  ASSERT_TRUE(WriteWholeFile(L"update\\" + busy, "busy font"));
  ASSERT_TRUE(WriteWholeFile(L"update\\" + spare, "spare font"));
  ASSERT_TRUE(WriteWholeFile(busy_installed, "font in use"));
  ASSERT_TRUE(WriteStringListFile(L"update\\font_update.txt", {busy8, spare8}));
  {
    // The system holds one font: its copy into the fonts folder fails.
    FileLock in_use(busy_installed);
    ASSERT_TRUE(in_use.held());
    ApplyPendingFontUpdate();
  }
  EXPECT_EQ(ListIn(L"update\\font_update.txt"), std::vector<std::string>{busy8});
  EXPECT_TRUE(FileExists(L"update\\" + busy));
  EXPECT_FALSE(FileExists(busy));
  EXPECT_EQ(ReadWholeFile(spare_installed), "spare font");
  EXPECT_EQ(ReadWholeFile(spare), "spare font");
  EXPECT_FALSE(FileExists(L"update\\" + spare));

  // Released: the font copies into the system fonts folder and beside the
  // program, and the list goes.
  ApplyPendingFontUpdate();
  EXPECT_EQ(ReadWholeFile(busy_installed), "busy font");
  EXPECT_EQ(ReadWholeFile(busy), "busy font");
  EXPECT_FALSE(FileExists(L"update\\" + busy));
  EXPECT_FALSE(FileExists(L"update\\font_update.txt"));
  DeleteFileW(busy_installed.c_str());
  DeleteFileW(spare_installed.c_str());
}

// One launcher apply of the listed files, as a launcher check makes it.
int ApplyLauncherFiles(const std::vector<std::pair<std::string, std::string>>& files) {
  LauncherManager& manager = LauncherManager::Instance();
  VersionMap& update = manager.version_table()[VersionTable::kUpdateLauncherVersion];
  update.clear();
  for (const auto& file : files) {
    std::wstring path;
    EXPECT_TRUE(BuildPathUnder(L"update", file.first, path));
    std::wstring folder, name;
    if (SplitPathW(path, folder, name)) MakeDirsW(folder);
    EXPECT_TRUE(WriteWholeFile(path, file.second));
    update[file.first].md5 = Md5OfBytes(file.second.data(), file.second.size());
    update[file.first].size = static_cast<int>(file.second.size());
  }
  ApplyUpdateState apply(kLauncherMode);
  apply.Enter(nullptr);
  return apply.result();
}

TEST(PendingListTest, SecondLauncherUpdateInTheSameRunMergesTheLists) {
  LauncherManager& manager = LauncherManager::Instance();
  manager.ResetForTesting();
  manager.patchOption = 0;
  ASSERT_EQ(ApplyLauncherFiles({{"cef/a.dll", "a1"}, {"LomaN.ttf", "loma"}}), 1);
  EXPECT_EQ(ListIn(L"update\\cef_update.txt"), std::vector<std::string>{"cef/a.dll"});
  EXPECT_EQ(ListIn(L"update\\font_update.txt"), std::vector<std::string>{"LomaN.ttf"});

  // Nothing handed off yet; the next check of this run brings more.
  ASSERT_EQ(ApplyLauncherFiles({{"cef/b.dll", "b1"}, {"launcher.exe", "new program"}}), 1);
  EXPECT_EQ(ListIn(L"update\\cef_update.txt"),
            (std::vector<std::string>{"cef/a.dll", "cef/b.dll"}));
  EXPECT_EQ(ListIn(L"update\\font_update.txt"), std::vector<std::string>{"LomaN.ttf"});
  EXPECT_TRUE(manager.launcherUpdatePending);
  EXPECT_TRUE(manager.cefUpdatePending);
  EXPECT_TRUE(manager.fontUpdatePending);

  // The hand-off applies all of it.
  ApplyPendingCefUpdate();
  EXPECT_EQ(ReadWholeFile(L"cef\\a.dll"), "a1");
  EXPECT_EQ(ReadWholeFile(L"cef\\b.dll"), "b1");
  EXPECT_FALSE(FileExists(L"update\\cef_update.txt"));
  manager.ResetForTesting();
}

TEST(PendingListTest, RuntimeEntriesThatFailedStayListed) {
  CreateDirectoryW(L"update", nullptr);
  CreateDirectoryW(L"update\\cef", nullptr);
  CreateDirectoryW(L"cef", nullptr);
  ASSERT_TRUE(WriteWholeFile(L"update\\cef\\ok.pak", "new ok"));
  ASSERT_TRUE(WriteWholeFile(L"update\\cef\\busy.dll", "new busy"));
  ASSERT_TRUE(WriteWholeFile(L"cef\\busy.dll", "old busy"));
  ASSERT_TRUE(WriteStringListFile(L"update\\cef_update.txt",
                                  {"cef/ok.pak", "cef/busy.dll", "cef/gone.dll", "../up.dll"}));
  {
    FileLock loaded(L"cef\\busy.dll");  // a runtime library still loaded
    ASSERT_TRUE(loaded.held());
    ApplyPendingCefUpdate();
  }
  EXPECT_EQ(ReadWholeFile(L"cef\\ok.pak"), "new ok");
  EXPECT_FALSE(FileExists(L"update\\cef\\ok.pak"));
  EXPECT_EQ(ReadWholeFile(L"cef\\busy.dll"), "old busy");
  EXPECT_EQ(ReadWholeFile(L"update\\cef\\busy.dll"), "new busy");
  EXPECT_EQ(ListIn(L"update\\cef_update.txt"), std::vector<std::string>{"cef/busy.dll"});

  ApplyPendingCefUpdate();
  EXPECT_EQ(ReadWholeFile(L"cef\\busy.dll"), "new busy");
  EXPECT_FALSE(FileExists(L"update\\cef_update.txt"));
}

TEST(PendingListTest, FontEntriesWithoutASourceAreDropped) {
  // A font applied earlier (its source already moved) cannot keep the list
  // alive for ever.
  CreateDirectoryW(L"update", nullptr);
  ASSERT_TRUE(WriteWholeFile(L"update\\font_update.txt", "[\"NoSuchFont.ttf\", \"../x.ttf\"]"));
  ApplyPendingFontUpdate();
  EXPECT_FALSE(FileExists(L"update\\font_update.txt"));
}

// A launcher folder as a killed run leaves it after its launcher apply.
struct Leftover {
  const char* name;
  const char* cef_list;    // null: no file
  const char* font_list;   // null: no file
  const char* new_exe;     // update\launcher.exe, null: none
  const char* map_md5_of;  // whose md5 the installed map names for launcher.exe
  PendingUpdates expected;
};

TEST(PendingListTest, WhatAnEarlierRunLeftCountsAsPending) {
  const Leftover cases[] = {
      {"nothing", nullptr, nullptr, nullptr, nullptr, {false, false, false}},
      {"runtime list", "[\"cef/a.dll\"]", nullptr, nullptr, nullptr, {false, true, false}},
      {"font list", nullptr, "[\"LomaN.ttf\"]", nullptr, nullptr, {false, false, true}},
      {"empty and broken lists", "null", "[\"LomaN.ttf\"", nullptr, nullptr, {false, false, false}},
      {"new launcher", nullptr, nullptr, "new program", "new program", {true, false, false}},
      {"launcher already replaced",
       nullptr,
       nullptr,
       "old program",
       "old program",
       {false, false, false}},
      {"launcher download incomplete",
       nullptr,
       nullptr,
       "new prog",
       "new program",
       {false, false, false}},
      {"all three",
       "[\"cef/a.dll\"]",
       "[\"LomaB.ttf\"]",
       "new program",
       "new program",
       {true, true, true}},
  };
  for (const Leftover& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteFileW(L"update\\cef_update.txt");
    DeleteFileW(L"update\\font_update.txt");
    DeleteFileW(L"update\\launcher.exe");
    DeleteFileW(L"launcher_version_map.txt");
    CreateDirectoryW(L"update", nullptr);
    ASSERT_TRUE(WriteWholeFile(L"launcher.exe", "old program"));
    if (c.cef_list) {
      ASSERT_TRUE(WriteWholeFile(L"update\\cef_update.txt", c.cef_list));
    }
    if (c.font_list) {
      ASSERT_TRUE(WriteWholeFile(L"update\\font_update.txt", c.font_list));
    }
    if (c.new_exe) {
      ASSERT_TRUE(WriteWholeFile(L"update\\launcher.exe", c.new_exe));
    }
    if (c.map_md5_of) {
      VersionMap map;
      map["launcher.exe"].md5 = Md5OfBytes(c.map_md5_of, strlen(c.map_md5_of));
      map["launcher.exe"].size = static_cast<int>(strlen(c.map_md5_of));
      std::string error;
      ASSERT_TRUE(WriteVersionMapFile(L"launcher_version_map.txt", map, "2.0.0", error)) << error;
    }
    const PendingUpdates found = FindLeftoverUpdates();
    EXPECT_EQ(found.launcher, c.expected.launcher);
    EXPECT_EQ(found.cef, c.expected.cef);
    EXPECT_EQ(found.font, c.expected.font);
  }
}

TEST(PendingListTest, WorkerStartTakesTheLeftoverAsPending) {
  LauncherManager& manager = LauncherManager::Instance();
  manager.ResetForTesting();
  manager.SetHooks(LauncherManager::Hooks());
  CreateDirectoryW(L"update", nullptr);
  ASSERT_TRUE(WriteWholeFile(L"update\\cef_update.txt", "[\"cef/a.dll\"]"));
  manager.BeginWorker();
  EXPECT_TRUE(manager.cefUpdatePending);
  EXPECT_FALSE(manager.launcherUpdatePending);
  EXPECT_FALSE(manager.fontUpdatePending);
  manager.EndWorker();

  // Handed off: the next start has nothing pending.
  ApplyPendingCefUpdate();
  manager.BeginWorker();
  EXPECT_FALSE(manager.cefUpdatePending);
  manager.EndWorker();
  manager.ResetForTesting();
}

}  // namespace
