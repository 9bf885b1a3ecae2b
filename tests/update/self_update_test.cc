// The replace mode's work in-process: waiting for the old program's file,
// the pending runtime and font lists.
#include <windows.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "test_dir.h"
#include "test_process.h"
#include "update/self_update.h"

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

TEST(ReplaceModeTest, FailedFontCopyKeepsTheListForTheNextStart) {
  CreateDirectoryW(L"update", nullptr);
  ASSERT_TRUE(WriteWholeFile(L"update\\font_update.txt", "[\"NoSuchFont.ttf\"]"));
  ApplyPendingFontUpdate();
  EXPECT_TRUE(FileExists(L"update\\font_update.txt"));

  // A font that copies: into the system fonts folder and beside the program.
  const std::wstring name = L"LauncherTestFont" + std::to_wstring(GetCurrentProcessId()) + L".ttf";
  const std::string name8(name.begin(), name.end());
  ASSERT_TRUE(WriteWholeFile(L"update\\" + name, "font bytes"));
  ASSERT_TRUE(WriteWholeFile(L"update\\font_update.txt", "[\"" + name8 + "\"]"));
  ApplyPendingFontUpdate();
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  const std::wstring installed = std::wstring(windows) + L"\\Fonts\\" + name;
  EXPECT_EQ(ReadWholeFile(installed), "font bytes");
  EXPECT_EQ(ReadWholeFile(name), "font bytes");
  EXPECT_FALSE(FileExists(L"update\\" + name));
  EXPECT_FALSE(FileExists(L"update\\font_update.txt"));
  DeleteFileW(installed.c_str());
}

}  // namespace
