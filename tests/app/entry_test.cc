// The launcher as a real process: its folder becomes the current directory,
// one instance per session, the command-line modes and the self-update
// hand-off. Every launcher process of the test suite starts here, one test
// after the other, so that instances of different tests never meet.
#include <windows.h>

#include <wincrypt.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "app/single_instance.h"
#include "test_dir.h"
#include "test_process.h"

namespace {

using testsupport::BuiltLauncherPath;
using testsupport::FileExists;
using testsupport::TestDir;
using testsupport::TestProcess;
using testsupport::WaitUntil;

constexpr DWORD kStartTimeoutMs = 30000;

// A launcher installed in a folder of its own within the test folder.
std::wstring InstallLauncher(const std::wstring& folder, const wchar_t* name = L"launcher.exe") {
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring target = folder + L"\\" + name;
  EXPECT_TRUE(CopyFileW(BuiltLauncherPath().c_str(), target.c_str(), FALSE))
      << "copy of " << std::string(BuiltLauncherPath().begin(), BuiltLauncherPath().end());
  return target;
}

HWND WaitForInstanceWindow() {
  HWND found = nullptr;
  WaitUntil([&] { return (found = FindInstanceWindow()) != nullptr; }, kStartTimeoutMs);
  return found;
}

void CloseInstance(HWND hwnd, TestProcess& process) {
  PostMessageW(hwnd, WM_CLOSE, 0, 0);
  DWORD code = 12345;
  EXPECT_TRUE(process.WaitForExit(kStartTimeoutMs, &code));
  EXPECT_EQ(code, 0u);
}

TEST(EntryTest, ProgramFolderBecomesTheCurrentDirectory) {
  const std::wstring exe = InstallLauncher(TestDir() + L"inst");
  const std::wstring elsewhere = TestDir() + L"elsewhere";
  CreateDirectoryW(elsewhere.c_str(), nullptr);
  TestProcess launcher(exe, L"", elsewhere);
  ASSERT_TRUE(launcher.started());
  HWND window = WaitForInstanceWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(FileExists(TestDir() + L"inst\\save"));
  EXPECT_FALSE(FileExists(elsewhere + L"\\save"));
  CloseInstance(window, launcher);
}

TEST(EntryTest, SecondStartShowsTheFirstInstanceAndEnds) {
  const std::wstring exe = InstallLauncher(TestDir() + L"inst");
  TestProcess first(exe, L"");
  ASSERT_TRUE(first.started());
  HWND window = WaitForInstanceWindow();
  ASSERT_NE(window, nullptr);

  // Hidden in the tray: the second start asks it to show itself.
  ShowWindow(window, SW_HIDE);
  ASSERT_FALSE(IsWindowVisible(window));
  {
    TestProcess second(exe, L"set_language vi");
    DWORD code = 12345;
    ASSERT_TRUE(second.WaitForExit(kStartTimeoutMs, &code));
    EXPECT_EQ(code, 0u);
  }
  auto show_requests = [window] {
    return reinterpret_cast<UINT_PTR>(GetPropW(window, L"LauncherShowRequests"));
  };
  EXPECT_TRUE(WaitUntil([&] { return show_requests() == 1 && IsWindowVisible(window); }, 10000));

  // Already visible: brought forward without a show request.
  {
    TestProcess third(exe, L"");
    DWORD code = 12345;
    ASSERT_TRUE(third.WaitForExit(kStartTimeoutMs, &code));
    EXPECT_EQ(code, 0u);
  }
  Sleep(200);
  EXPECT_EQ(show_requests(), 1u);
  EXPECT_EQ(FindInstanceWindow(), window);  // still the one instance
  CloseInstance(window, first);
}

TEST(EntryTest, ReplaceModeHandsOverToTheNewProgram) {
  const std::wstring inst = TestDir() + L"inst";
  InstallLauncher(inst, L"launcher_temp.exe");
  CreateDirectoryW((inst + L"\\update").c_str(), nullptr);
  InstallLauncher(inst + L"\\update");  // the new launcher
  ASSERT_TRUE(testsupport::WriteWholeFile(inst + L"\\launcher.exe", "old launcher"));
  // A pending runtime file, and a hostile entry that must not escape.
  CreateDirectoryW((inst + L"\\update\\cef").c_str(), nullptr);
  CreateDirectoryW((inst + L"\\update\\cef\\sub").c_str(), nullptr);
  ASSERT_TRUE(testsupport::WriteWholeFile(inst + L"\\update\\cef\\sub\\a.dll", "runtime"));
  ASSERT_TRUE(testsupport::WriteWholeFile(inst + L"\\update\\evil.dll", "evil"));
  ASSERT_TRUE(testsupport::WriteWholeFile(inst + L"\\update\\cef_update.txt",
                                          "[\n\t\"cef/sub/a.dll\",\n\t\"../evil.dll\"\n]"));

  const std::wstring elsewhere = TestDir() + L"elsewhere";
  CreateDirectoryW(elsewhere.c_str(), nullptr);
  TestProcess updater(
      inst + L"\\launcher_temp.exe",
      L"replace \".\\update\\launcher.exe\" \".\\launcher.exe\" \".\\launcher.exe\"", elsewhere);
  ASSERT_TRUE(updater.started());
  DWORD code = 12345;
  ASSERT_TRUE(updater.WaitForExit(kStartTimeoutMs, &code));
  EXPECT_EQ(code, 0u);

  // The new program replaced the old one and stays in update for the record.
  const std::string new_bytes = testsupport::ReadWholeFile(inst + L"\\update\\launcher.exe");
  ASSERT_FALSE(new_bytes.empty());
  EXPECT_EQ(testsupport::ReadWholeFile(inst + L"\\launcher.exe"), new_bytes);
  EXPECT_EQ(testsupport::ReadWholeFile(inst + L"\\cef\\sub\\a.dll"), "runtime");
  EXPECT_FALSE(FileExists(inst + L"\\update\\cef\\sub\\a.dll"));
  EXPECT_FALSE(FileExists(inst + L"\\update\\cef_update.txt"));
  EXPECT_FALSE(FileExists(TestDir() + L"evil.dll"));
  EXPECT_FALSE(FileExists(inst + L"\\evil.dll"));

  // The program to start afterwards runs: the new launcher's window appears.
  HWND window = WaitForInstanceWindow();
  ASSERT_NE(window, nullptr);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
  PostMessageW(window, WM_CLOSE, 0, 0);
  if (process) {
    EXPECT_EQ(WaitForSingleObject(process, kStartTimeoutMs), WAIT_OBJECT_0);
    CloseHandle(process);
  }
  // The updater asked the command interpreter to delete it.
  EXPECT_TRUE(WaitUntil([&] { return !FileExists(inst + L"\\launcher_temp.exe"); }, 20000));
}

// ---------------------------------------------------------- version maps

// MD5 by the system's crypto provider: a second opinion on our own digest.
std::string SystemMd5(const std::string& bytes) {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  std::string hex;
  if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
      CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()),
                    static_cast<DWORD>(bytes.size()), 0);
      BYTE digest[16];
      DWORD length = sizeof(digest);
      if (CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0)) {
        static const char kHex[] = "0123456789abcdef";
        for (BYTE b : digest) {
          hex += kHex[b >> 4];
          hex += kHex[b & 15];
        }
      }
      CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
  }
  return hex;
}

Json::Value ParseFile(const std::wstring& path) {
  const std::string text = testsupport::ReadWholeFile(path);
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  reader->parse(text.data(), text.data() + text.size(), &root, &errors);
  return root;
}

DWORD RunMode(const std::wstring& exe, const std::wstring& arguments) {
  TestProcess mode(exe, arguments);
  DWORD code = 12345;
  EXPECT_TRUE(mode.WaitForExit(kStartTimeoutMs, &code));
  return code;
}

TEST(EntryTest, MakeVersionWritesTheLauncherMapBesideARunningInstance) {
  const std::wstring inst = TestDir() + L"inst";
  const std::wstring exe = InstallLauncher(inst);
  CreateDirectoryW((inst + L"\\cef").c_str(), nullptr);
  CreateDirectoryW((inst + L"\\cef\\sub").c_str(), nullptr);
  ASSERT_TRUE(testsupport::WriteWholeFile(inst + L"\\cef\\sub\\a.dll", "abc"));
  ASSERT_TRUE(testsupport::WriteWholeFile(inst + L"\\cef\\empty.bin", ""));

  // The modes never reach the single-instance check.
  TestProcess running(exe, L"");
  HWND window = WaitForInstanceWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(RunMode(exe, L"make_version 2.3.1"), 0u);
  CloseInstance(window, running);

  const Json::Value map = ParseFile(inst + L"\\launcher_version_map.txt");
  EXPECT_EQ(map["version"].asString(), "2.3.1");
  const Json::Value& list = map["list"];
  ASSERT_TRUE(list.isObject());
  EXPECT_EQ(list.getMemberNames(),
            (std::vector<std::string>{"cef/empty.bin", "cef/sub/a.dll", "launcher.exe"}));
  const std::string exe_bytes = testsupport::ReadWholeFile(exe);
  EXPECT_EQ(list["launcher.exe"]["md5"].asString(), SystemMd5(exe_bytes));
  EXPECT_EQ(list["launcher.exe"]["size"].asInt64(), static_cast<int64_t>(exe_bytes.size()));
  EXPECT_EQ(list["cef/sub/a.dll"]["md5"].asString(), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(list["cef/sub/a.dll"]["size"].asInt(), 3);
  EXPECT_EQ(list["cef/empty.bin"]["md5"].asString(), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_TRUE(list["cef/empty.bin"]["size"].isInt());
  // Tab-indented, as every file the launcher writes.
  EXPECT_NE(testsupport::ReadWholeFile(inst + L"\\launcher_version_map.txt").find("\n\t\"list\""),
            std::string::npos);

  // An empty version argument stands for 1.0.0.
  EXPECT_EQ(RunMode(exe, L"make_version \"\""), 0u);
  EXPECT_EQ(ParseFile(inst + L"\\launcher_version_map.txt")["version"].asString(), "1.0.0");
}

TEST(EntryTest, MakeDependenceVersionMapsTheDependenceFolder) {
  const std::wstring inst = TestDir() + L"inst";
  const std::wstring exe = InstallLauncher(inst);
  EXPECT_EQ(RunMode(exe, L"make_dependence_version 4"), 0u);
  Json::Value map = ParseFile(inst + L"\\dependence_version_map.txt");
  EXPECT_EQ(map["version"].asString(), "4");
  EXPECT_TRUE(map["list"].isNull());  // no folder, no files

  CreateDirectoryW((inst + L"\\dependence").c_str(), nullptr);
  CreateDirectoryW((inst + L"\\dependence\\x").c_str(), nullptr);
  ASSERT_TRUE(testsupport::WriteWholeFile(inst + L"\\dependence\\x\\d.bin", "message digest"));
  EXPECT_EQ(RunMode(exe, L"make_dependence_version 5"), 0u);
  map = ParseFile(inst + L"\\dependence_version_map.txt");
  EXPECT_EQ(map["list"]["dependence/x/d.bin"]["md5"].asString(),
            "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST(EntryTest, MakeVersionFailsForAFileTheMapCannotHold) {
  const std::wstring inst = TestDir() + L"inst";
  const std::wstring exe = InstallLauncher(inst);
  CreateDirectoryW((inst + L"\\cef").c_str(), nullptr);
  // 2 GiB, sparse: nothing is written to disk.
  HANDLE big = CreateFileW((inst + L"\\cef\\big.pak").c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(big, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size;
  size.QuadPart = int64_t{1} << 31;
  ASSERT_TRUE(SetFilePointerEx(big, size, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(big));
  CloseHandle(big);
  EXPECT_NE(RunMode(exe, L"make_version 1.2.3"), 0u);
  EXPECT_FALSE(FileExists(inst + L"\\launcher_version_map.txt"));
}

}  // namespace
