// Start and stop of the browser runtime through the manager, with a recording
// runtime in place of the real one.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_dir.h"
#include "test_process.h"
#include "webview/cef_manager.h"

namespace qln_comp {
namespace {

std::wstring Env(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return std::wstring();
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(name, &value[0], size));
  return value;
}

// Restores PATH and ComSpec after each test.
class CefManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = Env(L"PATH");
    comspec_ = Env(L"ComSpec");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"PATH", path_.c_str());
    SetEnvironmentVariableW(L"ComSpec", comspec_.empty() ? nullptr : comspec_.c_str());
    CefManager::GetInstance().SetRuntimeForTesting(nullptr);
  }
  std::wstring path_, comspec_;
};

TEST_F(CefManagerTest, RuntimeFolderGoesInFrontOfTheSearchPath) {
  const std::wstring dir = testsupport::TestDir();
  // No folder: nothing changes.
  EXPECT_FALSE(CefManager::GetInstance().AddRuntimeFolderToPath(dir));
  EXPECT_EQ(Env(L"PATH"), path_);
  // A file named cef is not the runtime folder.
  ASSERT_TRUE(testsupport::WriteWholeFile(dir + L"cef", "x"));
  EXPECT_FALSE(CefManager::GetInstance().AddRuntimeFolderToPath(dir));
  DeleteFileW((dir + L"cef").c_str());

  // A search path longer than any fixed buffer survives whole.
  std::wstring long_path = path_;
  for (int i = 0; i < 300; ++i) long_path += L";C:\\some\\long\\folder" + std::to_wstring(i);
  ASSERT_GT(long_path.size(), 4096u);
  SetEnvironmentVariableW(L"PATH", long_path.c_str());

  ASSERT_TRUE(CreateDirectoryW((dir + L"cef").c_str(), nullptr));
  EXPECT_TRUE(CefManager::GetInstance().AddRuntimeFolderToPath(dir));
  EXPECT_EQ(Env(L"PATH"), dir + L"cef;" + long_path);
  EXPECT_EQ(Env(L"ComSpec"), dir + L"cef\\dummy_cmd.exe");
}

struct Recorder : WebRuntime {
  std::vector<std::string>* calls;
  bool result;
  CefSettings seen;
  Recorder(std::vector<std::string>* c, bool r) : calls(c), result(r) {}
  bool Initialize(const CefSettings& s) override {
    calls->push_back("Initialize");
    seen = s;
    return result;
  }
  void Shutdown() override { calls->push_back("Shutdown"); }
};

TEST_F(CefManagerTest, InitializeFillsSettingsAndShutdownClearsTheFlag) {
  CefManager& manager = CefManager::GetInstance();
  for (bool runs : {true, false}) {
    std::vector<std::string> calls;
    auto recorder = std::make_unique<Recorder>(&calls, runs);
    Recorder* seen = recorder.get();
    manager.SetRuntimeForTesting(std::move(recorder));
    const std::wstring data = testsupport::TestDir() + L"cef_temp\\";
    CefSettings settings;
    EXPECT_EQ(manager.Initialize(data, settings), runs);
    EXPECT_EQ(manager.IsInitialized(), runs);
    EXPECT_TRUE(manager.IsOffscreenRendering());
    EXPECT_TRUE(testsupport::FileExists(data));  // the data folder is made
    EXPECT_TRUE(seen->seen.no_sandbox);
    EXPECT_EQ(seen->seen.cache_path, data + L"CefLocalStorage");
    EXPECT_EQ(seen->seen.log_file, data + L"cef.log");
    EXPECT_FALSE(seen->seen.single_process);
    EXPECT_TRUE(seen->seen.multi_threaded_message_loop);
    EXPECT_TRUE(seen->seen.windowless_rendering_enabled);
    EXPECT_EQ(seen->seen.browser_subprocess_path, L".\\cef\\cef_helper.exe");
    manager.Shutdown();  // whatever Initialize returned
    EXPECT_FALSE(manager.IsInitialized());
    EXPECT_EQ(calls, (std::vector<std::string>{"Initialize", "Shutdown"}));
  }
}

TEST_F(CefManagerTest, StandInRecordsItsCallsAndRunsNoRuntime) {
  CefManager& manager = CefManager::GetInstance();
  const std::wstring data = testsupport::TestDir() + L"cef_temp\\";
  CefSettings settings;
  EXPECT_FALSE(manager.Initialize(data, settings));
  manager.Shutdown();
  const std::string log = testsupport::ReadWholeFile(data + L"runtime_calls.log");
  EXPECT_EQ(log.find("Initialize no_sandbox=1"), 0u) << log;
  EXPECT_NE(log.find("\nShutdown\n"), std::string::npos) << log;
}

TEST_F(CefManagerTest, BrowserCount) {
  CefManager& manager = CefManager::GetInstance();
  const int before = manager.browser_count();
  manager.AddBrowserCount();
  manager.AddBrowserCount();
  manager.SubBrowserCount();
  EXPECT_EQ(manager.browser_count(), before + 1);
  manager.SubBrowserCount();
}

}  // namespace
}  // namespace qln_comp
