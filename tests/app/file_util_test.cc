#include "app/file_util.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_process.h"

#include "base/path_helpers.h"
#include "base/text_util.h"
#include "test_dir.h"

namespace {

using testsupport::TestDir;

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

bool Exists(const std::wstring& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Writes test files without the functions under test.
bool PutFile(const std::wstring& path, const std::string& bytes) {
  return testsupport::WriteWholeFile(path, bytes);
}

std::string GetFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  char piece[4096];
  DWORD got = 0;
  while (ReadFile(file, piece, sizeof(piece), &got, nullptr) && got > 0) bytes.append(piece, got);
  CloseHandle(file);
  return bytes;
}

std::vector<std::wstring> Names(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data = {};
  HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) {
      names.push_back(data.cFileName);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  TextUtil::WideToMultiByte(text, out, CP_ACP);
  return out;
}

// A wide name whose ANSI form is not plain ASCII, when the code page has one.
// Empty when the ANSI code page cannot hold it.
std::wstring AnsiOnlyName() {
  const std::wstring name = L"caf\u00e9";
  std::string narrow;
  TextUtil::WideToMultiByte(name, narrow, CP_ACP);
  std::wstring back;
  TextUtil::MultiByteToWide(narrow, back, CP_ACP);
  return back == name ? name : std::wstring();
}

// A path of about `length` characters below the test folder, made of folders
// of 50 characters, so that it is far beyond MAX_PATH.
std::wstring DeepPath(size_t length) {
  std::wstring path = TestDir() + L"deep";
  while (path.size() < length) path += L"\\" + std::wstring(50, L'd');
  return path;
}

TEST(FileUtilTest, FixedFolders) {
  EXPECT_EQ(SaveDirA(), ".\\save");
  EXPECT_EQ(SaveDirW(), L".\\save");
  EXPECT_EQ(UpdateDir(), L".\\update");
  EXPECT_EQ(ExceptionDir(), L".\\exception");
  EXPECT_EQ(PreDownloadDir(), ".\\update\\predownload");
  EXPECT_EQ(DefaultInstallDir(), PathHelpers::CurrentModuleDirectory() + L"Varnholt Game");
  // Made once: the same object every time.
  EXPECT_EQ(&SaveDirW(), &SaveDirW());
}

TEST(FileUtilTest, NormalizeDirAndSplitPath) {
  struct Normalize {
    std::string path;
    bool add;
    std::string expected;
  };
  const std::vector<Normalize> normalize = {
      {"a/b/", true, "a\\b\\"},      {"a/b/", false, "a\\b"}, {"a\\b", true, "a\\b\\"},
      {"a\\b//\\/", false, "a\\b"},  {"", true, "\\"},        {"", false, ""},
      {"C:/x/y", false, "C:\\x\\y"}, {"x/", true, "x\\"},     {"\\", false, ""},
  };
  for (const Normalize& n : normalize) {
    SCOPED_TRACE(n.path + (n.add ? " with" : " without"));
    EXPECT_EQ(NormalizeDirA(n.path, n.add), n.expected);
    std::wstring wide;
    TextUtil::MultiByteToWide(n.path, wide, CP_ACP);
    std::wstring expected;
    TextUtil::MultiByteToWide(n.expected, expected, CP_ACP);
    EXPECT_EQ(NormalizeDirW(wide, n.add), expected);
  }

  struct Split {
    std::string path;
    bool ok;
    std::string folder;
    std::string name;
  };
  const std::vector<Split> split = {
      {"folder/file.txt", true, "folder", "file.txt"},
      {"a\\b/c.bin", true, "a\\b", "c.bin"},
      {"C:\\games\\VEXA.exe", true, "C:\\games", "VEXA.exe"},
      {"folder\\", true, "folder", ""},
      {"file.txt", false, "", ""},
      {"\\file.txt", false, "", ""},
      {"/file.txt", false, "", ""},
      {"", false, "", ""},
  };
  for (const Split& s : split) {
    SCOPED_TRACE(s.path);
    std::string folder = "untouched";
    std::string name = "untouched";
    EXPECT_EQ(SplitPathA(s.path, folder, name), s.ok);
    EXPECT_EQ(folder, s.ok ? s.folder : "untouched");
    EXPECT_EQ(name, s.ok ? s.name : "untouched");
    std::wstring wide;
    TextUtil::MultiByteToWide(s.path, wide, CP_ACP);
    std::wstring wide_folder = L"untouched";
    std::wstring wide_name = L"untouched";
    EXPECT_EQ(SplitPathW(wide, wide_folder, wide_name), s.ok);
    EXPECT_EQ(Narrow(wide_folder), s.ok ? s.folder : "untouched");
    EXPECT_EQ(Narrow(wide_name), s.ok ? s.name : "untouched");
  }
}

TEST(FileUtilTest, WholeFileReadsAndWritesNarrowAndWide) {
  const std::string binary("\0\x01\xff\r\n\0tail\0", 11);
  std::string large(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + (i >> 11));
  struct Case {
    const char* name;
    std::string content;
  };
  const std::vector<Case> cases = {
      {"empty", ""},
      {"binary with zero bytes", binary},
      {"CR LF kept", "line one\r\nline two\r\n\n"},
      {"larger than a read piece", large},
  };
  for (bool wide : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (wide ? " (W)" : " (A)"));
      const std::wstring path = TestDir() + (wide ? L"w_" : L"a_") + L"file.bin";
      // A longer old content must not survive the write.
      ASSERT_TRUE(PutFile(path, std::string(5000, 'o')));
      const bool written =
          wide ? WriteFileTextW(path, c.content) : WriteFileTextA(Narrow(path), c.content);
      ASSERT_TRUE(written);
      EXPECT_TRUE(GetFile(path) == c.content);
      std::string text = "stale";
      const bool read = wide ? ReadFileTextW(path, text) : ReadFileTextA(Narrow(path), text);
      EXPECT_TRUE(read);
      EXPECT_TRUE(text == c.content);
    }
  }
  // No temporary file is left beside the written ones.
  EXPECT_EQ(Names(TestDir()), (std::vector<std::wstring>{L"a_file.bin", L"w_file.bin"}));

  // Relative paths mean the current folder (the test folder here).
  ASSERT_TRUE(WriteFileTextA("relative.txt", "rel"));
  EXPECT_EQ(GetFile(TestDir() + L"relative.txt"), "rel");
}

TEST(FileUtilTest, WholeFileFailuresLeaveTextAndFilesAlone) {
  ASSERT_TRUE(CreateDirectoryW((TestDir() + L"folder").c_str(), nullptr));
  ASSERT_TRUE(PutFile(TestDir() + L"kept.txt", "kept"));
  struct Case {
    const char* name;
    std::wstring path;
    bool write_too;  // whether writing there must fail as well
  };
  const std::vector<Case> cases = {
      {"missing file", TestDir() + L"missing.txt", false},
      {"missing folder", TestDir() + L"no\\such\\file.txt", true},
      {"a folder", TestDir() + L"folder", true},
      {"empty path", L"", true},
      {"trailing separator", TestDir() + L"kept.txt\\", true},
      {"embedded zero", TestDir() + L"kept.txt" + std::wstring(1, L'\0') + L".evil", true},
      {"over-long path", TestDir() + std::wstring(40000, L'x'), true},
      {"name too long", TestDir() + std::wstring(300, L'n') + L".txt", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = "untouched";
    EXPECT_FALSE(ReadFileTextW(c.path, text));
    EXPECT_EQ(text, "untouched");
    if (c.write_too) {
      EXPECT_FALSE(WriteFileTextW(c.path, "data"));
    }
  }
  std::string text = "untouched";
  EXPECT_FALSE(ReadFileTextA("", text));
  EXPECT_FALSE(ReadFileTextA("missing.txt", text));
  EXPECT_EQ(text, "untouched");
  EXPECT_FALSE(WriteFileTextA("", "data"));
  EXPECT_FALSE(WriteFileTextA("no\\such\\file.txt", "data"));
  EXPECT_EQ(GetFile(TestDir() + L"kept.txt"), "kept");
  EXPECT_TRUE(IsFolder(TestDir() + L"folder"));
  EXPECT_EQ(Names(TestDir()), (std::vector<std::wstring>{L"folder", L"kept.txt"}));
}

TEST(FileUtilTest, AFailedWriteKeepsTheOldFile) {
  const std::wstring path = TestDir() + L"busy.txt";
  ASSERT_TRUE(PutFile(path, "old content"));
  // Another handle that allows no replacing: the write must fail as a whole.
  HANDLE busy = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(busy, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(WriteFileTextW(path, "new"));
  CloseHandle(busy);
  EXPECT_EQ(GetFile(path), "old content");
  EXPECT_EQ(Names(TestDir()), std::vector<std::wstring>{L"busy.txt"});
  EXPECT_TRUE(WriteFileTextW(path, "new"));
  EXPECT_EQ(GetFile(path), "new");
}

TEST(FileUtilTest, MakeDirsReportsWhetherTheFolderExists) {
  ASSERT_TRUE(PutFile(TestDir() + L"plain.txt", "x"));
  ASSERT_TRUE(CreateDirectoryW((TestDir() + L"existing").c_str(), nullptr));
  struct Case {
    const char* name;
    std::wstring path;
    bool result;
    std::wstring folder;  // must exist afterwards when not empty
  };
  const std::vector<Case> cases = {
      {"nested new", TestDir() + L"a\\b\\c", true, TestDir() + L"a\\b\\c"},
      {"forward slashes", TestDir() + L"f/g/h/", true, TestDir() + L"f\\g\\h"},
      {"existing", TestDir() + L"existing", true, TestDir() + L"existing"},
      {"existing with separator", TestDir() + L"existing\\", true, TestDir() + L"existing"},
      {"relative", L".\\update\\predownload\\x", true, TestDir() + L"update\\predownload\\x"},
      {"beyond MAX_PATH", DeepPath(400), true, DeepPath(400)},
      {"component is a file", TestDir() + L"plain.txt\\sub", false, L""},
      {"the file itself", TestDir() + L"plain.txt", false, L""},
      {"empty", L"", false, L""},
      {"embedded zero", TestDir() + L"z" + std::wstring(1, L'\0') + L"q", false, L""},
      {"over-long", TestDir() + std::wstring(40000, L'o'), false, L""},
      {"name too long", TestDir() + std::wstring(300, L'n'), false, L""},
  };
  for (bool wide : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (wide ? " (W)" : " (A)"));
      EXPECT_EQ(wide ? MakeDirsW(c.path) : MakeDirsA(Narrow(c.path)), c.result);
      if (!c.folder.empty()) {
        EXPECT_TRUE(IsDirW(c.folder));
      }
    }
  }
  EXPECT_TRUE(IsFile(TestDir() + L"plain.txt"));
  EXPECT_FALSE(Exists(TestDir() + L"z"));

  // Deep folders take files too.
  const std::wstring deep_file = DeepPath(400) + L"\\file.txt";
  EXPECT_TRUE(WriteFileTextW(deep_file, "deep"));
  std::string text;
  EXPECT_TRUE(ReadFileTextW(deep_file, text));
  EXPECT_EQ(text, "deep");
  // The shared clean-up after each test cannot remove paths beyond MAX_PATH.
  EXPECT_TRUE(RemoveTreeW(TestDir() + L"deep"));
}

TEST(FileUtilTest, NarrowNamesInTheAnsiCodePage) {
  const std::wstring name = AnsiOnlyName();
  if (name.empty()) GTEST_SKIP() << "the ANSI code page has no \u00e9";
  const std::string narrow = Narrow(TestDir() + name);
  ASSERT_TRUE(MakeDirsA(narrow + "\\sub"));
  EXPECT_TRUE(IsFolder(TestDir() + name + L"\\sub"));
  ASSERT_TRUE(WriteFileTextA(narrow + "\\sub\\" + Narrow(name) + ".txt", "ansi"));
  EXPECT_EQ(GetFile(TestDir() + name + L"\\sub\\" + name + L".txt"), "ansi");
  std::vector<std::string> files;
  EXPECT_EQ(CollectFiles(narrow, files, {}), 1);
  EXPECT_EQ(files, (std::vector<std::string>{narrow + "\\sub\\" + Narrow(name) + ".txt"}));
  EXPECT_TRUE(RemoveTreeA(narrow));
  EXPECT_FALSE(Exists(TestDir() + name));
}

TEST(FileUtilTest, NarrowListingsNeverTurnFullWidthDotsIntoDots) {
  // "\uff0e\uff0e" is a plain name in UTF-16; the ANSI code page's best fit
  // would make it "..", the parent folder.
  const std::wstring dots = L"\uff0e\uff0e";
  ASSERT_TRUE(MakeDirsW(TestDir() + L"list\\" + dots));
  ASSERT_TRUE(PutFile(TestDir() + L"list\\" + dots + L"\\x.txt", "x"));
  std::vector<std::string> names;
  ASSERT_EQ(ListSubfolders(Narrow(TestDir()) + "list", names), 1);
  EXPECT_NE(names[0], "..");
  std::vector<std::string> files;
  ASSERT_EQ(CollectFiles(Narrow(TestDir()) + "list", files, {}), 1);
  EXPECT_EQ(files[0].find("\\..\\"), std::string::npos) << files[0];
}

TEST(FileUtilTest, IsDir) {
  ASSERT_TRUE(PutFile(TestDir() + L"file.txt", "x"));
  ASSERT_TRUE(MakeDirsW(TestDir() + L"sub"));
  struct Case {
    std::wstring path;
    bool result;
  };
  const std::vector<Case> cases = {
      {TestDir() + L"sub", true},
      {TestDir() + L"sub\\", true},
      {L"sub", true},
      {L".\\sub", true},
      {L".", true},
      {TestDir() + L"file.txt", false},
      {TestDir() + L"missing", false},
      {L"", false},
      {std::wstring(40000, L'd'), false},
      {std::wstring(1, L'\0'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.path.substr(0, 100)));
    EXPECT_EQ(IsDirW(c.path), c.result);
    EXPECT_EQ(IsDirA(Narrow(c.path)), c.result);
  }
}

// Builds:
//   tree\top.txt
//   tree\a\a1.txt, tree\a\cache\skip.txt, tree\a\b\b1.txt, tree\a\b\cache\skip2.txt
//   tree\c\ (empty), tree\d\d1.txt
void MakeSampleTree() {
  const std::wstring tree = TestDir() + L"tree\\";
  ASSERT_TRUE(MakeDirsW(tree + L"a\\cache"));
  ASSERT_TRUE(MakeDirsW(tree + L"a\\b\\cache"));
  ASSERT_TRUE(MakeDirsW(tree + L"c"));
  ASSERT_TRUE(MakeDirsW(tree + L"d"));
  for (const wchar_t* file : {L"top.txt", L"a\\a1.txt", L"a\\cache\\skip.txt", L"a\\b\\b1.txt",
                              L"a\\b\\cache\\skip2.txt", L"d\\d1.txt"}) {
    ASSERT_TRUE(PutFile(tree + file, "x"));
  }
}

TEST(FileUtilTest, CollectFilesAndListSubfolders) {
  MakeSampleTree();
  const std::wstring tree = TestDir() + L"tree";

  std::vector<std::wstring> files = {L"earlier"};
  EXPECT_EQ(CollectFiles(tree, files, {L"cache"}), 5);
  // Listing order is the file system's; sort the part that does not depend
  // on it: every file of a folder comes before those of its subfolders.
  ASSERT_EQ(files.size(), 5u);
  EXPECT_EQ(files[0], L"earlier");
  EXPECT_EQ(files[1], tree + L"\\top.txt");
  std::vector<std::wstring> rest(files.begin() + 2, files.end());
  std::sort(rest.begin(), rest.end());
  EXPECT_EQ(rest, (std::vector<std::wstring>{tree + L"\\a\\a1.txt", tree + L"\\a\\b\\b1.txt",
                                             tree + L"\\d\\d1.txt"}));
  const auto a1 = std::find(files.begin(), files.end(), tree + L"\\a\\a1.txt");
  const auto b1 = std::find(files.begin(), files.end(), tree + L"\\a\\b\\b1.txt");
  EXPECT_LT(a1, b1);

  // Without a skip list, and case matters in it.
  std::vector<std::wstring> all;
  EXPECT_EQ(CollectFiles(tree + L"\\", all, {L"CACHE"}), 6);
  std::vector<std::string> narrow;
  EXPECT_EQ(CollectFiles(Narrow(tree) + "/", narrow, {"cache", "d"}), 3);
  std::sort(narrow.begin(), narrow.end());
  EXPECT_EQ(narrow,
            (std::vector<std::string>{Narrow(tree) + "\\a\\a1.txt", Narrow(tree) + "\\a\\b\\b1.txt",
                                      Narrow(tree) + "\\top.txt"}));

  std::vector<std::wstring> untouched = {L"kept"};
  EXPECT_EQ(CollectFiles(TestDir() + L"missing", untouched, {}), -1);
  EXPECT_EQ(CollectFiles(std::wstring(), untouched, {}), -1);
  EXPECT_EQ(CollectFiles(TestDir() + L"tree\\top.txt", untouched, {}), -1);
  EXPECT_EQ(untouched, std::vector<std::wstring>{L"kept"});
  std::vector<std::string> untouched_narrow = {"kept"};
  EXPECT_EQ(CollectFiles(std::string(), untouched_narrow, {}), -1);
  EXPECT_EQ(untouched_narrow, std::vector<std::string>{"kept"});

  std::vector<std::wstring> subfolders = {L"stale"};
  EXPECT_EQ(ListSubfolders(tree, subfolders), 3);
  std::sort(subfolders.begin(), subfolders.end());
  EXPECT_EQ(subfolders, (std::vector<std::wstring>{L"a", L"c", L"d"}));
  std::vector<std::string> narrow_subfolders = {"stale"};
  EXPECT_EQ(ListSubfolders(Narrow(tree) + "\\c", narrow_subfolders), 0);
  EXPECT_TRUE(narrow_subfolders.empty());
  narrow_subfolders = {"stale"};
  EXPECT_EQ(ListSubfolders("missing", narrow_subfolders), -1);
  EXPECT_TRUE(narrow_subfolders.empty());
  EXPECT_EQ(ListSubfolders(std::wstring(), subfolders), -1);
  EXPECT_TRUE(subfolders.empty());
}

TEST(FileUtilTest, RemoveTreeRemovesEverythingBelow) {
  for (bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "W" : "A");
    MakeSampleTree();
    const std::wstring tree = TestDir() + L"tree";
    // Read-only files and folders go too.
    ASSERT_TRUE(SetFileAttributesW((tree + L"\\a\\a1.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW((tree + L"\\c").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW((tree + L"\\top.txt").c_str(),
                                   FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(wide ? RemoveTreeW(tree + L"/") : RemoveTreeA(Narrow(tree)));
    EXPECT_FALSE(Exists(tree));
  }
  EXPECT_TRUE(Names(TestDir()).empty());

  // Far deeper than MAX_PATH.
  const std::wstring deep = DeepPath(2000);
  ASSERT_TRUE(MakeDirsW(deep));
  ASSERT_TRUE(WriteFileTextW(deep + L"\\leaf.txt", "leaf"));
  EXPECT_TRUE(RemoveTreeW(TestDir() + L"deep"));
  EXPECT_FALSE(Exists(TestDir() + L"deep"));
}

TEST(FileUtilTest, RemoveTreeRefusesBadInput) {
  ASSERT_TRUE(PutFile(TestDir() + L"file.txt", "x"));
  struct Case {
    const char* name;
    std::wstring path;
    bool result;
  };
  const std::vector<Case> cases = {
      {"missing: nothing left", TestDir() + L"missing", true},
      {"a file", TestDir() + L"file.txt", false},
      {"empty", L"", false},
      {"separators only", L"\\/", false},
      {"drive root", L"Q:\\", false},
      {"drive alone", L"Q:", false},
      {"share root", L"\\\\nosuchserver\\share\\", false},
      {"embedded zero", TestDir() + std::wstring(1, L'\0'), false},
      {"over-long", std::wstring(40000, L'r'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RemoveTreeW(c.path), c.result);
  }
  EXPECT_FALSE(RemoveTreeA(""));
  EXPECT_FALSE(RemoveTreeA("/"));
  EXPECT_EQ(GetFile(TestDir() + L"file.txt"), "x");
}

bool IsReparsePoint(const std::wstring& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The layout of a mount-point reparse buffer (a junction).
struct MountPointBuffer {
  DWORD tag;
  WORD data_length;
  WORD reserved;
  WORD substitute_offset;
  WORD substitute_length;
  WORD print_offset;
  WORD print_length;
  wchar_t path[1024];
};

// Makes `link` a junction to `target` through FSCTL_SET_REPARSE_POINT.
bool MakeJunction(const std::wstring& link, const std::wstring& target) {
  const std::wstring substitute = L"\\??\\" + target;
  if (substitute.size() + target.size() + 2 > 1024) return false;
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  MountPointBuffer buffer = {};
  buffer.tag = IO_REPARSE_TAG_MOUNT_POINT;
  buffer.substitute_offset = 0;
  buffer.substitute_length = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  buffer.print_offset = static_cast<WORD>(buffer.substitute_length + sizeof(wchar_t));
  buffer.print_length = static_cast<WORD>(target.size() * sizeof(wchar_t));
  std::memcpy(buffer.path, substitute.c_str(), (substitute.size() + 1) * sizeof(wchar_t));
  std::memcpy(buffer.path + substitute.size() + 1, target.c_str(),
              (target.size() + 1) * sizeof(wchar_t));
  buffer.data_length =
      static_cast<WORD>(8 + buffer.print_offset + buffer.print_length + sizeof(wchar_t));
  HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  bool ok = false;
  if (handle != INVALID_HANDLE_VALUE) {
    DWORD returned = 0;
    ok = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, &buffer, 8 + buffer.data_length, nullptr,
                         0, &returned, nullptr) != FALSE;
    CloseHandle(handle);
  }
  if (!ok) RemoveDirectoryW(link.c_str());
  return ok;
}

// Under Wine: the Unix name of a Windows path, or "" elsewhere.
std::string WineUnixName(const std::wstring& path) {
  using UnixNameFunction = char*(CDECL*)(const wchar_t*);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto unix_name = reinterpret_cast<UnixNameFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
  if (unix_name == nullptr) return std::string();
  char* name = unix_name(path.c_str());
  if (name == nullptr) return std::string();
  std::string result = name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Under Wine: starts a program of the host ("/bin/ln"). Wine neither waits
// for a host process nor learns its exit code, so callers poll for its effect.
bool StartHostProgram(const std::wstring& program, const std::string& arguments) {
  std::wstring command;
  TextUtil::MultiByteToWide(arguments, command, CP_UTF8);
  command = L"\"" + program + L"\" " + command;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW((L"Z:" + program).c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// Waits up to two seconds for `done`, for the effect of a host program.
template <typename Condition>
bool PollFor(Condition done) {
  for (int i = 0; i < 100 && !done(); ++i) Sleep(20);
  return done();
}

enum class LinkKind {
  kNone,
  // A symbolic link or junction made through the Windows interfaces.
  kWindows,
  // Wine 8 accepts neither (CreateSymbolicLinkW claims success but makes
  // nothing; FSCTL_SET_REPARSE_POINT is not supported), but shows a symbolic
  // link of the host file system as a reparse point. Such a link cannot be
  // removed through Win32 under Wine at all: every attempt fails and leaves
  // both the link and its target alone.
  kHostSymlink,
};

// Removes a host symbolic link, which Win32 under Wine cannot remove.
void RemoveHostLink(const std::wstring& link) {
  const std::string unix_link = WineUnixName(link);
  if (unix_link.empty() || !StartHostProgram(L"/bin/rm", "-f \"" + unix_link + "\"")) return;
  PollFor([&]() { return !Exists(link); });
}

// Makes `link` a link to `target` (a folder when `folder`) in whichever way
// this system allows, and checks that it works as one.
LinkKind MakeLink(const std::wstring& link, const std::wstring& target, bool folder) {
  const auto works = [&]() {
    return IsReparsePoint(link) && (folder ? IsFile(link + L"\\precious.txt") : IsFile(link));
  };
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  if (folder) flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
  if (CreateSymbolicLinkW(link.c_str(), target.c_str(), flags)) {
    if (works()) return LinkKind::kWindows;
    if (folder) RemoveDirectoryW(link.c_str());
    if (!folder) DeleteFileW(link.c_str());
  }
  if (folder && MakeJunction(link, target)) {
    if (works()) return LinkKind::kWindows;
    RemoveDirectoryW(link.c_str());
  }
  const std::string unix_link = WineUnixName(link);
  const std::string unix_target = WineUnixName(target);
  if (unix_link.empty() || unix_target.empty() ||
      !StartHostProgram(L"/bin/ln", "-s \"" + unix_target + "\" \"" + unix_link + "\"")) {
    return LinkKind::kNone;
  }
  if (PollFor([&]() { return Exists(link); }) && works()) return LinkKind::kHostSymlink;
  // Wine shows a host symbolic link to a file as a plain file: no use here.
  RemoveHostLink(link);
  return LinkKind::kNone;
}

TEST(FileUtilTest, RemoveTreeNeverFollowsFolderLinksOutOfTheTree) {
  // The target lies outside the tree that is removed.
  const std::wstring outside = TestDir() + L"outside";
  ASSERT_TRUE(MakeDirsW(outside + L"\\inner"));
  ASSERT_TRUE(PutFile(outside + L"\\precious.txt", "keep me"));
  ASSERT_TRUE(PutFile(outside + L"\\inner\\deeper.txt", "keep me too"));
  const std::wstring tree = TestDir() + L"tree";
  ASSERT_TRUE(MakeDirsW(tree + L"\\sub"));
  ASSERT_TRUE(PutFile(tree + L"\\sub\\own.txt", "mine"));
  const std::wstring inner_link = tree + L"\\sub\\link";
  const std::wstring top_link = TestDir() + L"toplink";
  const LinkKind kind = MakeLink(inner_link, outside, true);
  if (kind == LinkKind::kNone) {
    GTEST_SKIP() << "this system can make no link to a folder: CreateSymbolicLinkW, "
                    "FSCTL_SET_REPARSE_POINT and (under Wine) a host symbolic link all failed";
  }
  ASSERT_EQ(MakeLink(top_link, outside, true), kind);
  const bool removable = kind == LinkKind::kWindows;
  // A read-only file in the target keeps its attribute (Wine keeps none on
  // folders, so a file carries it).
  ASSERT_TRUE(SetFileAttributesW((outside + L"\\precious.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_NE(Attributes(outside + L"\\precious.txt") & FILE_ATTRIBUTE_READONLY, 0u);

  // Listing does not enter the link either.
  std::vector<std::wstring> files;
  EXPECT_EQ(CollectFiles(tree, files, {}), 1);
  EXPECT_EQ(files, std::vector<std::wstring>{tree + L"\\sub\\own.txt"});

  EXPECT_EQ(RemoveTreeW(tree), removable);
  EXPECT_FALSE(Exists(tree + L"\\sub\\own.txt"));
  EXPECT_EQ(Exists(inner_link), !removable);
  EXPECT_EQ(Exists(tree), !removable);
  // The link given as the path itself is treated as a link too.
  EXPECT_EQ(RemoveTreeW(top_link), removable);
  EXPECT_EQ(Exists(top_link), !removable);

  EXPECT_EQ(GetFile(outside + L"\\precious.txt"), "keep me");
  EXPECT_EQ(GetFile(outside + L"\\inner\\deeper.txt"), "keep me too");
  EXPECT_NE(Attributes(outside + L"\\precious.txt") & FILE_ATTRIBUTE_READONLY, 0u);
  SetFileAttributesW((outside + L"\\precious.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!removable) {
    RemoveHostLink(inner_link);
    RemoveHostLink(top_link);
  }
}

TEST(FileUtilTest, RemoveTreeDeletesFileLinksNotTheirTargets) {
  const std::wstring target = TestDir() + L"target.txt";
  ASSERT_TRUE(PutFile(target, "keep me"));
  const std::wstring tree = TestDir() + L"tree";
  ASSERT_TRUE(MakeDirsW(tree));
  const std::wstring link = tree + L"\\link.txt";
  if (MakeLink(link, target, false) == LinkKind::kNone) {
    GTEST_SKIP() << "this system can make no symbolic link to a file that shows as a reparse "
                    "point: Wine 8's CreateSymbolicLinkW makes nothing, and Wine shows a host "
                    "symbolic link to a file as a plain file";
  }
  ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(RemoveTreeW(tree));
  EXPECT_FALSE(Exists(tree));
  EXPECT_EQ(GetFile(target), "keep me");
  EXPECT_NE(Attributes(target) & FILE_ATTRIBUTE_READONLY, 0u);
  SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (Exists(link)) RemoveHostLink(link);
}

TEST(FileUtilTest, PathLiesUnder) {
  const std::wstring root = L"C:\\Games\\Varnholt Game";
  struct Case {
    const wchar_t* root;
    std::wstring candidate;
    bool result;
  };
  const std::vector<Case> cases = {
      {root.c_str(), root + L"\\VEXA.exe", true},
      {root.c_str(), root + L"\\data\\a.pak", true},
      {root.c_str(), L"c:/games/VARNHOLT GAME/data/a.pak", true},
      {root.c_str(), root + L"\\\\data//a.pak", true},
      {root.c_str(), root + L"\\data\\", true},
      {L"C:\\Games\\Varnholt Game\\", root + L"\\x", true},
      {L".\\update", L".\\update\\predownload\\x.bin", true},
      {L".", L".\\save\\EnvConfig.json", true},
      {L"\\\\server\\share\\game", L"\\\\server\\share\\game\\x", true},
      {root.c_str(), root + L"\\.hidden", true},
      {root.c_str(), root + L"\\a..b", true},
      // The root itself and its look-alikes.
      {root.c_str(), root, false},
      {root.c_str(), root + L"\\", false},
      {root.c_str(), root + L"2\\x", false},
      {root.c_str(), L"C:\\Games\\Varnholt", false},
      {root.c_str(), L"C:\\Games\\x", false},
      // Climbing out.
      {root.c_str(), root + L"\\..\\x", false},
      {root.c_str(), root + L"\\data\\..\\..\\x", false},
      {root.c_str(), root + L"\\..", false},
      {root.c_str(), root + L"/../x", false},
      {root.c_str(), root + L"\\.\\x", false},
      {root.c_str(), root + L"\\.", false},
      {root.c_str(), root + L"\\... \\x", false},
      {root.c_str(), root + L"\\.. \\x", false},
      {root.c_str(), root + L"\\x.", false},
      {root.c_str(), root + L"\\x \\y", false},
      // Drives, streams, devices, wildcards, control characters.
      {root.c_str(), root + L"\\C:\\Windows\\x", false},
      {root.c_str(), root + L"\\file.txt:stream", false},
      {root.c_str(), root + L"\\data\\CON", false},
      {root.c_str(), root + L"\\nul.txt", false},
      {root.c_str(), root + L"\\com1", false},
      {root.c_str(), root + L"\\LPT9.log", false},
      {root.c_str(), root + L"\\a*", false},
      {root.c_str(), root + L"\\a?b", false},
      {root.c_str(), root + L"\\a\tb", false},
      {root.c_str(), root + L"\\a\"b", false},
      {root.c_str(), root + L"\\a|b", false},
      {root.c_str(), root + L"\\a" + std::wstring(1, L'\0') + L"b", false},
      // Other places entirely.
      {root.c_str(), L"D:\\Games\\Varnholt Game\\x", false},
      {root.c_str(), L"\\\\?\\C:\\Games\\Varnholt Game\\x", false},
      {root.c_str(), L"x", false},
      {root.c_str(), L"", false},
      {L"", L"\\x", false},
      {root.c_str(), root + L"\\" + std::wstring(256, L'n'), false},
      {root.c_str(), root + L"\\" + std::wstring(40000, L'n'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(std::wstring(c.root) + L" | " + c.candidate.substr(0, 120)));
    EXPECT_EQ(PathLiesUnder(c.root, c.candidate), c.result);
  }
}

TEST(FileUtilTest, IsSafeRelativePath) {
  struct Case {
    std::string path;
    bool result;
  };
  const std::vector<Case> cases = {
      {"VEXA.exe", true},
      {"data/a.pak", true},
      {"data/sub dir/file name.txt", true},
      {".hidden/x", true},
      {"a..b/c", true},
      {"\xe6\x96\x87\xe4\xbb\xb6/ti\xe1\xba\xbfng.txt", true},  // CJK and Vietnamese
      {"\xf0\x9f\x8e\xae.bin", true},                           // outside the BMP
      {std::string(255, 'n'), true},
      {"", false},
      {"/etc/passwd", false},
      {"\\x", false},
      {"a\\b", false},
      {"C:/x", false},
      {"C:x", false},
      {"file:stream", false},
      {"a//b", false},
      {"a/", false},
      {".", false},
      {"..", false},
      {"../x", false},
      {"a/../../x", false},
      {"a/./b", false},
      {"a/..", false},
      {"x.", false},
      {"x ", false},
      {"a/... /b", false},
      {"a\tb", false},
      {"a\nb", false},
      {std::string("a\0b", 3), false},
      {"a\x7f", false},
      {"CON", false},
      {"data/aux.txt", false},
      {"wild*", false},
      {"q?", false},
      {"a<b>", false},
      {"\xc0\xaf..", false},                  // overlong "/"
      {"\xe0\x80\xae\xe0\x80\xae/x", false},  // overlong "."
      {"\xff\xfe", false},
      {"\xed\xa0\x80", false},  // encoded surrogate
      {"\xe6\x96", false},      // cut short
      {std::string(256, 'n'), false},
      {std::string(40000, 'a'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 80));
    EXPECT_EQ(IsSafeRelativePath(c.path), c.result);
    std::wstring built = L"stale";
    EXPECT_EQ(BuildPathUnder(L"C:\\game", c.path, built), c.result);
    if (!c.result) {
      EXPECT_EQ(built, L"");
    }
  }

  std::wstring built;
  ASSERT_TRUE(BuildPathUnder(L"C:/game/", "data/a.pak", built));
  EXPECT_EQ(built, L"C:\\game\\data\\a.pak");
  ASSERT_TRUE(BuildPathUnder(L".\\update", "\xe6\x96\x87/x", built));
  EXPECT_EQ(built, L".\\update\\\u6587\\x");
  EXPECT_FALSE(BuildPathUnder(L"", "x", built));
}

}  // namespace
