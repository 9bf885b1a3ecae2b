// Shared main of every test program: GoogleTest plus a listener that gives each
// test its own temporary folder as current directory.
#include <windows.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "test_dir.h"

namespace testsupport {
namespace {

std::wstring g_test_dir;
std::wstring g_start_dir;

class TempDirListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    wchar_t tmp[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH, tmp);
    std::wstring base = (n > 0 && n <= MAX_PATH) ? std::wstring(tmp, n) : L".\\";
    static unsigned counter = 0;
    for (;;) {
      std::wstring dir = base + L"lt-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                         std::to_wstring(++counter) + L"\\";
      if (CreateDirectoryW(dir.c_str(), nullptr)) {
        g_test_dir = dir;
        break;
      }
      if (GetLastError() != ERROR_ALREADY_EXISTS) {
        g_test_dir = base;
        break;
      }
    }
    SetCurrentDirectoryW(g_test_dir.c_str());
  }

  void OnTestEnd(const ::testing::TestInfo&) override {
    SetCurrentDirectoryW(g_start_dir.c_str());
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(g_test_dir), ec);
    g_test_dir.clear();
  }
};

}  // namespace

const std::wstring& TestDir() { return g_test_dir; }

}  // namespace testsupport

int wmain(int argc, wchar_t** argv) {
  wchar_t cwd[MAX_PATH + 1] = {};
  GetCurrentDirectoryW(MAX_PATH, cwd);
  testsupport::g_start_dir = cwd;
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new testsupport::TempDirListener);
  return RUN_ALL_TESTS();
}
