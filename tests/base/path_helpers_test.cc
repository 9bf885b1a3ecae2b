#include "base/path_helpers.h"

#include <windows.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_dir.h"

namespace {

using testsupport::TestDir;

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

class ScopedLibrary {
 public:
  explicit ScopedLibrary(HMODULE module) : module_(module) {}
  ~ScopedLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  ScopedLibrary(const ScopedLibrary&) = delete;
  ScopedLibrary& operator=(const ScopedLibrary&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

class ScopedFind {
 public:
  ScopedFind(const std::wstring& pattern, WIN32_FIND_DATAW* data)
      : handle_(FindFirstFileW(pattern.c_str(), data)) {}
  ~ScopedFind() {
    if (valid()) FindClose(handle_);
  }
  ScopedFind(const ScopedFind&) = delete;
  ScopedFind& operator=(const ScopedFind&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool WriteWholeFile(const std::wstring& path, const void* data, DWORD size) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file.valid() && WriteFile(file.get(), data, size, &written, nullptr) && written == size;
}

// Every entry below `dir` (which ends with a separator), relative to it.
void ListTree(const std::wstring& dir, const std::wstring& relative,
              std::vector<std::wstring>& entries) {
  WIN32_FIND_DATAW data = {};
  ScopedFind find(dir + relative + L"*", &data);
  if (!find.valid()) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.push_back(relative + name);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ListTree(dir, relative + name + L"\\", entries);
    }
  } while (FindNextFileW(find.get(), &data));
}

std::vector<std::wstring> ListTree(const std::wstring& dir) {
  std::vector<std::wstring> entries;
  ListTree(dir, L"", entries);
  std::sort(entries.begin(), entries.end());
  return entries;
}

// Removes `dir` (with the "\\?\" prefix, so deep trees work) and all below it.
void RemoveTree(const std::wstring& dir) {
  {
    WIN32_FIND_DATAW data = {};
    ScopedFind find(dir + L"*", &data);
    if (find.valid()) {
      do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(dir + name + L"\\");
        } else {
          DeleteFileW((dir + name).c_str());
        }
      } while (FindNextFileW(find.get(), &data));
    }
  }
  RemoveDirectoryW(dir.c_str());
}

std::wstring Lower(std::wstring text) {
  if (!text.empty()) CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

bool EndsWithIgnoringCase(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() &&
         Lower(text.substr(text.size() - suffix.size())) == Lower(suffix);
}

// A drive letter with nothing behind it, or 0 if every letter is taken.
wchar_t UnusedDriveLetter() {
  const DWORD drives = GetLogicalDrives();
  for (int i = 25; i >= 3; --i) {
    if ((drives & (1u << i)) == 0) return static_cast<wchar_t>(L'A' + i);
  }
  return 0;
}

TEST(PathHelpersModuleTest, CurrentModuleHandleIsTheProgramThatLinksTheLibrary) {
  EXPECT_EQ(GetModuleHandleW(nullptr), PathHelpers::CurrentModuleHandle());
}

TEST(PathHelpersModuleTest, ModuleFileName) {
  const std::wstring program = PathHelpers::ModuleFileName(nullptr);
  EXPECT_TRUE(EndsWithIgnoringCase(program, L".exe")) << program;
  EXPECT_TRUE(IsFile(program)) << program;
  EXPECT_EQ(program, PathHelpers::ModuleFileName(PathHelpers::CurrentModuleHandle()));

  const std::wstring kernel = PathHelpers::ModuleFileName(GetModuleHandleW(L"kernel32.dll"));
  EXPECT_TRUE(EndsWithIgnoringCase(kernel, L"\\kernel32.dll")) << kernel;

  // A handle that names no module gives an empty name, not garbage.
  std::vector<char> not_a_module(4096);
  EXPECT_EQ(L"", PathHelpers::ModuleFileName(reinterpret_cast<HMODULE>(not_a_module.data())));
}

TEST(PathHelpersModuleTest, CurrentModuleDirectoryHoldsTheProgram) {
  const std::wstring dir = PathHelpers::CurrentModuleDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(L'\\', dir.back()) << dir;
  EXPECT_NE(L".\\", dir);
  EXPECT_TRUE(IsDirectory(dir)) << dir;

  const std::wstring program = PathHelpers::ModuleFileName(nullptr);
  ASSERT_GT(program.size(), dir.size());
  EXPECT_EQ(dir, program.substr(0, dir.size()));
  const std::wstring file_name = program.substr(dir.size());
  EXPECT_EQ(std::wstring::npos, file_name.find_first_of(L"\\/")) << file_name;
  EXPECT_TRUE(IsFile(dir + file_name));
}

TEST(PathHelpersModuleTest, LongModulePathIsReturnedWhole) {
  const std::wstring program = PathHelpers::ModuleFileName(nullptr);
  ASSERT_FALSE(program.empty());

  // About 800 characters: the name needs two enlargements of the first buffer.
  std::wstring relative = L"deep\\";
  for (int i = 0; i < 60; ++i) relative += L"level" + std::to_wstring(100000 + i) + L"\\";
  const std::wstring deep_dir = L"\\\\?\\" + TestDir() + relative;
  ASSERT_TRUE(PathHelpers::CreateDirectories(deep_dir.c_str()));
  struct TreeCleanup {
    std::wstring root;
    ~TreeCleanup() { RemoveTree(root); }
  } cleanup{L"\\\\?\\" + TestDir() + L"deep\\"};
  const std::wstring copy = deep_dir + L"copy.exe";
  ASSERT_TRUE(CopyFileW(program.c_str(), copy.c_str(), TRUE)) << GetLastError();

  // Loading a program as a module maps it without running any of its code.
  ScopedLibrary module(LoadLibraryW(copy.c_str()));
  ASSERT_NE(nullptr, module.get()) << GetLastError();
  const std::wstring name = PathHelpers::ModuleFileName(module.get());
  EXPECT_GT(name.size(), 2u * MAX_PATH);
  EXPECT_TRUE(EndsWithIgnoringCase(name, L"\\" + relative + L"copy.exe")) << name;
  EXPECT_TRUE(IsFile(L"\\\\?\\" + name) || IsFile(name)) << name;
}

TEST(PathHelpersSplitTest, DirectoryPart) {
  struct Case {
    std::wstring path;
    bool ok;
    std::wstring expected;
  };
  const std::vector<Case> cases = {
      {L"C:\\", true, L"C:\\"},    {L"C:\\games\\launcher.exe", true, L"C:\\games\\"},
      {L"a/b/c", true, L"a/b/"},   {L"x/y\\z", true, L"x/y\\"},
      {L"dir\\", true, L"dir\\"},  {L"a\\", true, L"a\\"},
      {L"\\x\\y", true, L"\\x\\"}, {L"\\x", false, L""},
      {L"/x", false, L""},         {L"x", false, L""},
      {L"file.txt", false, L""},   {L"\\", false, L""},
      {L"", false, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "path " << c.path);
    std::wstring out = L"previous";
    EXPECT_EQ(c.ok, PathHelpers::DirectoryPart(c.path, out));
    EXPECT_EQ(c.expected, out);
  }

  std::wstring same = L"C:\\dir\\file";
  EXPECT_TRUE(PathHelpers::DirectoryPart(same, same));
  EXPECT_EQ(L"C:\\dir\\", same);
}

TEST(PathHelpersSplitTest, SplitComponents) {
  struct Case {
    std::wstring path;
    std::list<std::wstring> expected;
  };
  const std::vector<Case> cases = {
      {L"C:/games//x\\y", {L"C:\\", L"games\\", L"x\\", L"y"}},
      {L"\\a\\b", {L"\\", L"a\\", L"b"}},
      {L"//a", {L"\\", L"a"}},
      {L"a\\b\\", {L"a\\", L"b\\"}},
      {L"a/b//", {L"a\\", L"b\\"}},
      {L"C:\\", {L"C:\\"}},
      {L"name", {L"name"}},
      {L"\\", {L"\\"}},
      {L"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "path " << c.path);
    std::list<std::wstring> out = {L"previous"};
    EXPECT_TRUE(PathHelpers::SplitComponents(c.path.c_str(), out));
    EXPECT_EQ(c.expected, out);
  }

  std::list<std::wstring> out = {L"previous"};
  EXPECT_FALSE(PathHelpers::SplitComponents(nullptr, out));
  EXPECT_TRUE(out.empty());
}

TEST(PathHelpersCreateTest, CreatesEveryMissingLevel) {
  const std::wstring dir = TestDir();
  struct Case {
    std::wstring path;
    std::vector<std::wstring> made;  // Relative to the test folder.
  };
  const std::vector<Case> cases = {
      {dir + L"one\\two\\three", {L"one", L"one\\two", L"one\\two\\three"}},
      {dir + L"one\\two\\other\\", {L"one\\two\\other"}},
      {dir + L"mixed/sep//deep/", {L"mixed", L"mixed\\sep", L"mixed\\sep\\deep"}},
      // The current directory is the test folder.
      {L"relative\\sub", {L"relative", L"relative\\sub"}},
      {L"\\\\?\\" + dir + L"prefixed\\x", {L"prefixed", L"prefixed\\x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "path " << c.path);
    const std::vector<std::wstring> before = ListTree(dir);
    EXPECT_TRUE(PathHelpers::CreateDirectories(c.path.c_str()));
    std::vector<std::wstring> expected = before;
    expected.insert(expected.end(), c.made.begin(), c.made.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, ListTree(dir));
    for (const std::wstring& made : c.made) EXPECT_TRUE(IsDirectory(dir + made)) << made;
  }
}

TEST(PathHelpersCreateTest, ExistingDirectorySucceedsWithoutCreatingAnything) {
  const std::wstring dir = TestDir();
  ASSERT_TRUE(CreateDirectoryW((dir + L"a").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((dir + L"a\\b").c_str(), nullptr));
  const std::vector<std::wstring> before = ListTree(dir);
  for (const std::wstring& path :
       {dir, dir + L"a", dir + L"a\\b\\", dir + L"a//b", std::wstring(L"a\\b")}) {
    SCOPED_TRACE(testing::Message() << "path " << path);
    EXPECT_TRUE(PathHelpers::CreateDirectories(path.c_str()));
    EXPECT_EQ(before, ListTree(dir));
  }
}

TEST(PathHelpersCreateTest, FailsWhereADirectoryCannotBe) {
  const std::wstring dir = TestDir();
  ASSERT_TRUE(WriteWholeFile(dir + L"file.txt", "x", 1));
  const wchar_t drive = UnusedDriveLetter();
  std::vector<std::wstring> paths = {
      L"",
      dir + L"file.txt",
      dir + L"file.txt\\sub",
      dir + L"file.txt\\sub\\deeper\\",
      L"file.txt\\sub",
  };
  if (drive != 0) {
    paths.push_back(std::wstring(1, drive) + L":\\missing\\dir");
    paths.push_back(L"\\\\?\\" + std::wstring(1, drive) + L":\\missing");
  }
  const std::vector<std::wstring> before = ListTree(dir);
  for (const std::wstring& path : paths) {
    SCOPED_TRACE(testing::Message() << "path " << path);
    EXPECT_FALSE(PathHelpers::CreateDirectories(path.c_str()));
    EXPECT_EQ(before, ListTree(dir));
  }
  EXPECT_TRUE(IsFile(dir + L"file.txt"));
  EXPECT_FALSE(PathHelpers::CreateDirectories(nullptr));
}

TEST(PathHelpersCreateTest, StopsAtTheFirstFailureKeepingWhatItMade) {
  const std::wstring dir = TestDir();
  ASSERT_TRUE(CreateDirectoryW((dir + L"made").c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(dir + L"made\\blocker", "x", 1));
  EXPECT_FALSE(PathHelpers::CreateDirectories((dir + L"made\\new\\..\\blocker\\x").c_str()));
  EXPECT_TRUE(IsDirectory(dir + L"made\\new"));
  EXPECT_TRUE(IsFile(dir + L"made\\blocker"));
  EXPECT_FALSE(IsDirectory(dir + L"made\\blocker\\x"));
}

}  // namespace
